"""Fuzzes the readers of self-play data files with broken gzip JSON Lines: bytes that are not
gzip, gzip of junk, sound games (some with searched values) with one value replaced anywhere
in them (non-finite and huge numbers, deep nesting, wrong types), edited bytes, and streams
cut short.

`read_data_file` (of the five planes or of the full position) must give its games or a
DataError naming the file; `read_games` must give JSON values or refuse the file with an
OSError or ValueError. Nothing else may escape."""

from __future__ import annotations

import gzip
import json
import logging
import random
import tempfile
from pathlib import Path
from typing import Any

import atheris
import numpy  # noqa: F401 - imported here so that only the harness is instrumented

import tralix_rules as tr

import fuzzing

with atheris.instrument_imports():
    from tralix_harness.data import records, samples

SIDE = 5
FOLDER = Path(tempfile.mkdtemp(prefix="tralix-fuzz-"))
logging.disable(logging.WARNING)  # a file cut short is reported by a warning per input


def sound_game(seed: int) -> dict[str, Any]:
    """A game line as self-play writes it: random tiles, uniform shares over the valid tiles;
    for odd seeds the values the search met (none for a forced move), as the engine's Gumbel
    search records them."""
    rng = random.Random(seed)
    game = tr.Game(SIDE)
    history, shares, searched = [], [], []
    while not game.is_over():
        valid = game.valid_tiles()
        shares.append([[t, 1 / len(valid)] for t in valid])
        searched.append(None if len(valid) == 1 else [0.25, 0.5, 0.125, 0.125])
        history.append([game.current_player, rng.choice(valid)])
        game.apply(history[-1][1])
    line = {"id": seed, "side": SIDE, "history": history, "records": shares,
            "outcome": game.outcome(), "settings": {}}
    if seed % 2:
        line.update(root_values=searched, settings={"search_mode": 2})
    return line


GAMES = [sound_game(seed) for seed in range(4)]
ODD = [float("inf"), float("nan"), -1e308, 2**70, -1, 0, 1, True, None, "", "x", [], {},
       [[1, 0.5]], [1, 2], {"side": SIDE}, SIDE * SIDE, 0.5]


def odd_value(data: atheris.FuzzedDataProvider) -> Any:
    kind = data.ConsumeIntInRange(0, 3)
    if kind == 0:
        return data.PickValueInList(ODD)
    if kind == 1:
        return data.ConsumeFloat()
    if kind == 2:
        return data.ConsumeInt(10)
    nested: Any = 0
    for _ in range(data.ConsumeIntInRange(1, 3000)):
        nested = [nested]
    return nested


def replace_somewhere(data: atheris.FuzzedDataProvider, value: Any) -> Any:
    """The value with one item, at a path the fuzzer picks, replaced by an odd value."""
    if isinstance(value, list) and value and data.ConsumeIntInRange(0, 3) != 0:
        i = data.ConsumeIntInRange(0, len(value) - 1)
        return value[:i] + [replace_somewhere(data, value[i])] + value[i + 1:]
    if isinstance(value, dict) and data.ConsumeIntInRange(0, 3) != 0:
        keys = sorted(value) + ["lookahead", "new"]
        key = keys[data.ConsumeIntInRange(0, len(keys) - 1)]
        changed = dict(value)
        if data.ConsumeIntInRange(0, 5) == 0:
            changed.pop(key, None)
        else:
            changed[key] = replace_somewhere(data, value.get(key, []))
        return changed
    return odd_value(data)


def file_bytes(data: atheris.FuzzedDataProvider) -> tuple[bytes, list[Any] | None]:
    """The bytes of a data file, and its games when they are all sound."""
    kind = data.ConsumeIntInRange(0, 6)
    if kind == 0:
        return data.ConsumeBytes(data.ConsumeIntInRange(0, 200)), None
    if kind == 1:
        return gzip.compress(data.ConsumeBytes(data.ConsumeIntInRange(0, 400))), None
    games = [GAMES[data.ConsumeIntInRange(0, len(GAMES) - 1)]
             for _ in range(data.ConsumeIntInRange(1, 3))]
    if kind == 2:
        return gzip.compress("".join(json.dumps(g) + "\n" for g in games).encode()), games
    if kind == 3:
        games[-1] = replace_somewhere(data, games[-1])
        return gzip.compress("".join(json.dumps(g) + "\n" for g in games).encode()), None
    text = bytearray("".join(json.dumps(g) + "\n" for g in games).encode())
    if kind == 6:  # a line nested deeper than a decoder recurses
        depth = data.ConsumeIntInRange(1, 1 << 17)
        return gzip.compress(bytes(text) + b"[" * depth + b"]" * depth + b"\n"), None
    if kind == 4:  # edited bytes of the text
        for _ in range(data.ConsumeIntInRange(1, 4)):
            text[data.ConsumeIntInRange(0, len(text) - 1)] = data.ConsumeIntInRange(0, 255)
        return gzip.compress(bytes(text)), None
    packed = bytearray(gzip.compress(bytes(text)))  # edited or cut compressed bytes
    if data.ConsumeBool():
        return bytes(packed[:data.ConsumeIntInRange(0, len(packed))]), None
    packed[data.ConsumeIntInRange(0, len(packed) - 1)] ^= 1 << data.ConsumeIntInRange(0, 7)
    return bytes(packed), None


def test_one_input(raw: bytes) -> None:
    data = atheris.FuzzedDataProvider(raw)
    content, sound = file_bytes(data)
    path = FOLDER / "games.jsonl.gz"
    path.write_bytes(content)
    try:
        games = list(records.read_games(path))
    except (OSError, ValueError):
        assert sound is None, "sound games refused"
    else:
        assert sound is None or games == json.loads(json.dumps(sound)), "games changed"
    try:
        contents = samples.read_data_file(path, SIDE, full=data.ConsumeBool())
    except samples.DataError as error:
        assert sound is None, f"sound games refused: {error}"
        assert str(path) in str(error), error
    else:
        assert sound is None or len(contents.games) == len(sound), "games lost"


if __name__ == "__main__":
    fuzzing.run(test_one_input)
