"""Fuzzes the rules binding with tile sequences: mostly valid tiles with refused ones mixed in
(occupied, off the board, negative, beyond 64 bits, bools, floats, strs, numpy scalars), in
lists, tuples, generators and numpy arrays of every integer width, strided or reversed; odd
sides and layouts.

`replay` must agree with a game laid tile by tile through `Game.apply`: the same players,
valid tiles and encodings, and for the first refused tile a ValueError or TypeError naming
its index; `apply` must leave the game unchanged when it refuses a tile."""

from __future__ import annotations

import operator
from collections.abc import Iterable
from typing import Any

import atheris
import numpy as np

import tralix_rules as tr

import fuzzing

DTYPES = (np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
          np.float64, np.bool_)


def junk(data: atheris.FuzzedDataProvider, side: int) -> Any:
    return data.PickValueInList([
        -1, side * side, 2**31, 2**63, 2**64 + 3, -(2**63) - 1, True, False, 1.0, "3", None,
        np.int16(side), np.uint64(2**64 - 1), np.float32(2.0), [1]])


def sequence(data: atheris.FuzzedDataProvider, side: int) -> list[Any]:
    """Tiles of a game of this side: valid ones picked among the valid tiles, sometimes junk."""
    game = tr.Game(side)
    tiles: list[Any] = []
    for _ in range(data.ConsumeIntInRange(0, 80)):
        valid = game.valid_tiles()
        if not valid or data.ConsumeIntInRange(0, 30) == 0:
            tiles.append(junk(data, side))
            break
        tiles.append(valid[data.ConsumeIntInRange(0, len(valid) - 1)])
        game.apply(tiles[-1])
    return tiles


def container(data: atheris.FuzzedDataProvider,
              tiles: list[Any]) -> tuple[Iterable[Any], list[Any]]:
    """The tiles as replay is handed them, and as the items it will read."""
    kind = data.ConsumeIntInRange(0, 4)
    if kind == 0:
        return tiles, tiles
    if kind == 1:
        return tuple(tiles), tiles
    if kind == 2:
        return (t for t in tiles), tiles
    if not all(type(t) is int and -(2**63) <= t < 2**63 for t in tiles):
        return tiles, tiles
    dtype = data.PickValueInList(list(DTYPES))
    with np.errstate(all="ignore"):  # narrow types wrap
        array = np.array(tiles, np.int64).astype(dtype)
    if kind == 4:  # every other item of a longer array, or the items backwards
        if data.ConsumeBool():
            wide = np.zeros(2 * len(array), dtype)
            wide[::2] = array
            array = wide[::2]
        else:
            array = array[::-1].copy()[::-1]
    return array, list(array)


def expected(side: int, items: list[Any], layout: int) -> tuple[Any, ...] | tuple[type, int]:
    """What replay must give: its three arrays, or the error and the index of the refused tile."""
    game = tr.Game(side)
    planes, players, valid = [], [], []
    for i, item in enumerate(items):
        if type(item) is bool or isinstance(item, np.bool_):
            return TypeError, i
        try:
            tile = operator.index(item)
        except TypeError:
            return TypeError, i
        if tile not in game.valid_tiles():
            return ValueError, i
        planes.append(game.encode(layout))
        players.append(game.current_player)
        row = np.zeros(side * side, bool)
        row[game.valid_tiles()] = True
        valid.append(row)
        before = game.history
        try:
            game.apply(junk_for(game, tile, side))
        except ValueError:
            assert game.history == before, "a refused tile changed the game"
        game.apply(tile)
    return planes, players, valid


def junk_for(game: tr.Game, tile: int, side: int) -> int:
    """A tile that is never valid here: one already laid, or one off the board."""
    return game.history[-1][1] if game.history else side * side


def test_one_input(raw: bytes) -> None:
    data = atheris.FuzzedDataProvider(raw)
    side = data.ConsumeIntInRange(4, 7)
    layout = data.PickValueInList([1, 2, 1, 2, 0, 3, True, 1.0])
    tiles, items = container(data, sequence(data, side))
    side_given = data.PickValueInList([side] * 8 + [3, 257, -side, 2**70, True, float(side)])
    try:
        result = tr.replay(side_given, tiles, layout)
    except (TypeError, ValueError) as error:
        if side_given is not side:
            assert type(error) is (TypeError if type(side_given) in (bool, float) else ValueError)
            assert "side" in str(error), error
            return
        if layout not in (1, 2) or type(layout) is not int:
            assert type(error) is (TypeError if type(layout) in (bool, float) else ValueError)
            assert "layout" in str(error), error
            return
        want = expected(side, items, layout)
        assert want[0] is type(error), (want, error)
        assert f"tile {want[1]} of the sequence" in str(error), (want, error)
        return
    assert side_given is side, f"side {side_given!r} was taken"
    assert layout in (1, 2) and type(layout) is int, f"layout {layout!r} was taken"
    want = expected(side, items, layout)
    assert len(want) == 3, f"replay took what it should refuse: {want}"
    planes, players, valid = result
    n = len(items)
    assert planes.shape == ((n, 5, side, side) if layout == 1 else (n, side, side, 5))
    assert players.tolist() == want[1], (players, want[1])
    assert (valid == np.array(want[2]).reshape(n, side * side)).all()
    assert (planes == np.array(want[0]).reshape(planes.shape)).all()


if __name__ == "__main__":
    fuzzing.run(test_one_input)
