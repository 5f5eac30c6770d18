"""Fuzzes `tralix_engine.play_match`: seats of every kind (random, greedy and searching
networks, searching seats with their own configs, network-free searches, players) and of bad
kinds; players that drop or replace the caller's seats mid-match, raise, return what is not a
valid tile or play a match of their own inside their turn; configs whose attributes raise or
change the seats while they are read; networks and a pipe that fail at random steps; openings
with refused tiles; seeds at and past their bounds.

A bad argument must be a TypeError or ValueError (or the exception our own object raised
while it was read) before any request is put or any player called. Otherwise the match ends
with a game that replays under the rules engine (the opening first, each player's tile the
one it returned, the outcome the replay's), or with RuntimeError "seat S: ..." for a seat that
failed, or the KeyboardInterrupt a player raised. Nothing else may escape, the sanitizers must
stay quiet, and the module must give back every reference it took."""

from __future__ import annotations

import sys
from typing import Any

import atheris

import tralix_engine as te
import tralix_rules as tr

import fuzzing

LIMIT = 400  # replies per match; then recv raises
SEED_BOUNDS = [0, 1, 2**63, 2**64 - 1]
BAD_SEEDS = [-1, 2**64, 1.5, True, "5"]


class Refused(Exception):
    """Raised by the fuzzer's own objects."""


class Match:
    """What one input's call did: requests by seat, players' calls, who misbehaved."""

    def __init__(self, data: atheris.FuzzedDataProvider, side: int) -> None:
        self.data, self.side = data, side
        self.requests: list[tuple[int, object]] = []
        self.player_calls = 0
        self.failing: set[int] = set()   # seats whose network or player failed on purpose
        self.interrupted = False          # a player raised KeyboardInterrupt
        self.bad_argument = False         # an argument the call must refuse
        self.raising_argument = False     # an argument whose reading raises Refused
        self.chosen: list[tuple[int, int]] = []  # (index in the history, tile) of players
        self.inner_failures: list[str] = []


class Queue:
    """A network seat's queue; its put may fail."""

    def __init__(self, match: Match, seat: int) -> None:
        self.match, self.seat = match, seat

    def put(self, request: object) -> None:
        match = self.match
        match.requests.append((self.seat, request))
        if match.data.ConsumeIntInRange(0, 300) == 0:
            match.failing.add(self.seat)
            raise Refused("put")


class Pipe:
    """The one pipe: zeros for the last request, or a failure at random."""

    def __init__(self, match: Match) -> None:
        self.match = match

    def recv(self) -> object:
        match = self.match
        seat = match.requests[-1][0]
        if len(match.requests) > LIMIT or match.data.ConsumeIntInRange(0, 300) == 0:
            match.failing.add(seat)
            raise Refused("recv")
        return ([0.0] * (match.side * match.side), [0.0, 0.0, 0.0, 0.0])


class SeatConfig:
    """A searching seat's own settings: sound ones, one field bad or missing or raising, or a
    read that empties the caller's seats list."""

    def __init__(self, values: dict[str, Any], raising: str = "",
                 seats: list[Any] | None = None) -> None:
        object.__setattr__(self, "values", values)
        object.__setattr__(self, "raising", raising)
        object.__setattr__(self, "seats", seats)

    def __getattr__(self, name: str) -> Any:
        if self.seats is not None:
            self.seats.clear()
        if name == self.raising:
            raise Refused(name)
        if name not in self.values:
            raise AttributeError(name)
        return self.values[name]


def settings(data: atheris.FuzzedDataProvider, side: int) -> dict[str, Any]:
    return dict(dim=data.PickValueInList([side, 4, 30]), rep=data.ConsumeIntInRange(1, 2),
                sims_per_move=data.ConsumeIntInRange(0, 4), sample_moves=3, c_base=19652.0,
                c_init=data.PickValueInList([1.25, 0.5, 3.0]), dirichlet_alpha=0.3,
                exploration_fraction=0.25, search_mode=data.ConsumeIntInRange(0, 2),
                gumbel_considered=data.ConsumeIntInRange(1, 16),
                playout_mix=data.PickValueInList([0.0, 0.5, 1.0]))


REQUIRED = ["dim", "rep", "sims_per_move", "sample_moves", "c_base", "c_init",
            "dirichlet_alpha", "exploration_fraction"]
BAD_FIELDS = [("search_mode", 3), ("search_mode", "1"), ("gumbel_considered", 0),
              ("playout_mix", 2.0), ("playout_mix", "x"), ("dim", "six"), ("rep", None),
              ("c_init", "high")]


class Player:
    """A player seat: its tile, or something else at one of its calls."""

    def __init__(self, match: Match, seat: int, seats: list[Any], behaviour: int) -> None:
        self.match, self.seat, self.seats, self.behaviour = match, seat, seats, behaviour
        self.calls = 0
        self.odd_call = match.data.ConsumeIntInRange(0, 6)

    def __call__(self, history: list[tuple[int, int]], valid: list[int]) -> Any:
        match = self.match
        match.player_calls += 1
        self.calls += 1
        if valid != tr_valid(match.side, history):
            raise AssertionError(f"offered {valid}, not the valid tiles of the replay")
        tile = valid[match.data.ConsumeIntInRange(0, len(valid) - 1)]
        if self.calls - 1 == self.odd_call:
            odd = self.odd(history, valid)
            if odd is not None:
                return odd
        match.chosen.append((len(history), tile))
        return tile

    def odd(self, history: list[tuple[int, int]], valid: list[int]) -> Any:
        """What this player does at its odd call; None: lays a valid tile after all."""
        match, behaviour = self.match, self.behaviour
        if behaviour == 0:  # drops every seat the caller holds
            self.seats[:] = [None] * 4
        elif behaviour == 1:
            self.seats.clear()
        elif behaviour == 2:
            self.seats[:] = ["junk", 5, (None,), self]
        elif behaviour == 3:  # a match of its own, inside its turn
            try:
                values = settings(match.data, match.side)
                values["dim"] = match.side
                outcome, inner = te.play_match(1, SeatConfig(values),
                                               [None, (None, 2), None, None], None,
                                               seed=match.data.ConsumeIntInRange(0, 9))
                if list(tr_replayed(match.side, inner).outcome()) != outcome:
                    match.inner_failures.append("the inner match does not replay")
            except BaseException as error:  # noqa: BLE001 - reported by the input's check
                match.inner_failures.append(f"the inner match raised {error!r}")
        elif behaviour == 4:
            match.failing.add(self.seat)
            raise Refused("the player")
        elif behaviour == 5:
            match.interrupted = True
            raise KeyboardInterrupt
        elif behaviour == 6:  # what is not a valid tile
            match.failing.add(self.seat)
            occupied = history[0][1] if history else -1
            return match.data.PickValueInList(
                ["3", None, 2.0, True, -1, 2**70, match.side * match.side, occupied])
        return None


def tr_replayed(side: int, history: list[tuple[int, int]]) -> Any:
    game = tr.Game(side)
    for player, tile in history:
        if game.current_player != player:
            raise AssertionError(f"player {player} out of turn")
        game.apply(tile)
    return game


def tr_valid(side: int, history: list[tuple[int, int]]) -> list[int]:
    return list(tr_replayed(side, history).valid_tiles())


def seat(data: atheris.FuzzedDataProvider, match: Match, index: int, seats: list[Any],
         keep: fuzzing.Handed, odd: str) -> Any:
    """A seat of every kind; with ``odd`` "seat" one the call refuses, with "config" a config
    of its own that is refused or raises."""
    kind = 9 if odd == "seat" else 3 if odd == "config" else data.ConsumeIntInRange(0, 8)
    sims = data.ConsumeIntInRange(0, 4)
    if kind == 0:
        return None
    if kind == 1:
        return keep(Queue(match, index))
    if kind == 2:
        return keep((keep(Queue(match, index)), sims))
    if kind == 4 and data.ConsumeBool():
        return keep((None, max(sims, 1)))
    if kind in (3, 4):
        queue = keep(Queue(match, index)) if kind == 3 or data.ConsumeBool() else None
        if queue is None and sims == 0:
            match.bad_argument = True
        values = settings(data, match.side)
        raising, mutating = "", None
        if odd == "config":
            way = data.ConsumeIntInRange(0, len(BAD_FIELDS) + 1)
            if way < len(BAD_FIELDS):
                name, value = BAD_FIELDS[way]
                values[name] = value
                match.bad_argument = True
            elif way == len(BAD_FIELDS):
                raising = data.PickValueInList(["rep", "search_mode", "playout_mix"])
                match.raising_argument = True
            else:
                del values[data.PickValueInList(REQUIRED)]
                match.bad_argument = True
        elif data.ConsumeIntInRange(0, 5) == 0:  # reading it empties the caller's list
            mutating = seats
        return keep((queue, sims, keep(SeatConfig(values, raising, mutating))))
    if kind in (5, 6, 7, 8):
        return keep(Player(match, index, seats, data.ConsumeIntInRange(0, 7)))
    match.bad_argument = True
    # Tuples built at run time: a constant one would be counted in its code object too.
    return data.PickValueInList([
        3, "queue", keep(tuple([None])), keep((keep(Queue(match, index)), -1)),
        keep((keep(Queue(match, index)), 1.5)), keep((object(), 2)),
        keep(tuple([None, 2, None, 4])), keep((keep(Queue(match, index)), 2**40)),
        keep(tuple([None, True]))])


def opening(data: atheris.FuzzedDataProvider, match: Match, keep: fuzzing.Handed,
            odd: bool) -> Any:
    kind = 5 if odd else data.ConsumeIntInRange(0, 4)
    if kind == 0:
        return None
    game = tr.Game(match.side)
    tiles: list[Any] = []
    for _ in range(data.ConsumeIntInRange(0, 8)):
        if game.is_over():
            break
        valid = game.valid_tiles()
        tiles.append(valid[data.ConsumeIntInRange(0, len(valid) - 1)])
        game.apply(tiles[-1])
    if kind == 5 and len(tiles) > 1:
        match.bad_argument = True
        tiles[data.ConsumeIntInRange(1, len(tiles) - 1)] = data.PickValueInList(
            [-1, match.side * match.side, 2**70, True, "1", tiles[0], 1.0])
    return keep(tiles) if kind % 2 else keep(tuple(tiles))


def test_one_input(raw: bytes) -> None:
    data = atheris.FuzzedDataProvider(raw)
    side = data.ConsumeIntInRange(4, 7)
    match = Match(data, side)
    keep = fuzzing.Handed()
    config = SeatConfig(settings(data, side))
    config.values["dim"] = side
    # One input in three has one odd argument: a seat, a seat's config, the number of seats,
    # the opening, the seed or the pipe.
    odd = data.PickValueInList([""] * 12 + ["seat", "config", "count", "opening", "seed",
                                            "pipe"])
    odd_seat = data.ConsumeIntInRange(0, 3)
    seats: list[Any] = []
    for index in range(4):
        seats.append(seat(data, match, index, seats, keep,
                          odd if index == odd_seat and odd in ("seat", "config") else ""))
    if odd == "count":
        if data.ConsumeBool():
            seats.append(None)
        else:
            seats.pop()
        match.bad_argument = True
    given: Any = seats if data.ConsumeIntInRange(0, 5) else tuple(seats)
    start = opening(data, match, keep, odd == "opening")
    seed_kind = data.ConsumeIntInRange(0, 5)
    if odd == "seed":
        seed: Any = data.PickValueInList(BAD_SEEDS)
        match.bad_argument = True
    elif seed_kind <= 2:
        seed = None if seed_kind == 0 else data.ConsumeIntInRange(0, 2**32)
    else:
        seed = data.PickValueInList(SEED_BOUNDS)
    pipe: Any = Pipe(match)
    networks = any(isinstance(s, Queue) or (isinstance(s, tuple) and s and
                                            isinstance(s[0], Queue)) for s in seats)
    if odd == "pipe":
        pipe = None if data.ConsumeBool() else object()
        match.bad_argument |= networks
    counts = sys.getrefcount(config), sys.getrefcount(pipe)
    try:
        outcome, history = te.play_match(7, config, given, pipe, start, seed)
    except (TypeError, ValueError, Refused) as error:
        if match.requests or match.player_calls:  # only arguments may be refused like this
            raise
        expected = match.raising_argument if isinstance(error, Refused) else (
            match.bad_argument or match.raising_argument)
        assert expected, repr(error)
    except RuntimeError as error:
        text = str(error)
        assert not match.bad_argument, repr(error)
        assert any(text.startswith(f"seat {s}: ") for s in match.failing), repr(error)
        if not text.split(": ", 1)[1].startswith("the player chose tile"):
            assert error.__cause__ is not None, repr(error)
    except KeyboardInterrupt:
        assert match.interrupted and not match.bad_argument
    else:
        assert not match.bad_argument, "a bad argument was accepted"
        game = tr_replayed(side, [(p, t) for p, t in history])
        assert game.is_over() and list(game.outcome()) == outcome, (history, outcome)
        assert [t for _, t in history[:len(start or ())]] == list(start or ())
        for index, tile in match.chosen:
            assert history[index][1] == tile, (index, tile, history[index])
    assert not match.inner_failures, match.inner_failures
    keep.drop_tracebacks()
    seats.clear()  # the seats are counted from the containers handed (tuples) alone
    del given, start
    assert (sys.getrefcount(config), sys.getrefcount(pipe)) == counts
    match.requests.clear()
    leaked = keep.leaked()
    assert not leaked, leaked


if __name__ == "__main__":
    fuzzing.run(test_one_input)
