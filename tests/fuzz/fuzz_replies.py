"""Fuzzes what the network's side hands the module during a game: replies of every shape
(wrong lengths, non-finite and huge floats, items that are not floats or refuse to convert,
nested junk, objects that raise), and `put` and `recv` raising at random steps.

Every game must end as documented: 0 with its result put, or 1 (`Exception("Error running
MCTS")` from a test game) when a reply could not be used; a `PanicException` only for a reply
too short for the tiles or seats it must cover, or a root left without children by replies
that were not clean. Nothing else may escape, and the module must
give back every reference it took."""

from __future__ import annotations

import math
import sys
from collections.abc import Iterator
from typing import Any

import atheris

import tralix_self_play as tsp

import fuzzing

LIMIT = 150  # replies per game; then recv raises, so that a test game on side 20 stays short
SPECIAL = (math.nan, math.inf, -math.inf, 1e300, -1e300, 3.5e38, 5e-324, -0.0)
# Fatal stops: a reply too short for a valid tile or a seat, and a root left without children
# (every prior NaN or zero).
SHORT_TEXTS = ("index out of bounds", "assertion failed: k <= self.len()")
CHILDLESS_TEXT = "assertion failed: visit_dist.len() > 0"


class Refused(Exception):
    """Raised by the fake network's objects."""


class Number:
    """An item that converts to a float, or refuses to."""

    def __init__(self, value: float, refuse: bool) -> None:
        self.value = value
        self.refuse = refuse

    def __float__(self) -> float:
        if self.refuse:
            raise Refused("no float")
        return self.value


class Reentrant:
    """An item whose conversion plays a whole game on the same thread, mid-evaluation. What
    goes wrong in it is kept in `failures`: the outer game would take a raise for a bad item."""

    depth = 0
    failures: list[str] = []

    def __float__(self) -> float:
        if Reentrant.depth == 0:
            Reentrant.depth += 1
            try:
                inner = Zeros()
                status = tsp.play_training_game(9, Config(4, 1, 0), inner, inner, inner)
                if status != 0 or len(inner.results) != 1:
                    Reentrant.failures.append(f"inner game: {status}, {inner.results!r}")
            except BaseException as error:  # noqa: BLE001 - reported by the input's check
                Reentrant.failures.append(f"inner game raised {error!r}")
            finally:
                Reentrant.depth -= 1
        return 0.5


class Zeros:
    """A network answering zeros, for the inner game."""

    def __init__(self) -> None:
        self.results: list[object] = []

    def put(self, item: tuple[int, object]) -> None:
        if isinstance(item[1], tuple):
            self.results.append(item)

    def recv(self) -> object:
        return ([0.0] * 16, [0.0] * 4)


class Lying:
    """A sequence whose length says one thing and whose items another."""

    def __init__(self, items: tuple[float, ...], length: int) -> None:
        self.items = items
        self.length = length

    def __len__(self) -> int:
        if self.length < 0:
            raise Refused("no length")
        return self.length

    def __getitem__(self, index: int) -> float:
        return self.items[index]

    def __iter__(self) -> Iterator[float]:
        return iter(self.items)


class Unreadable:
    """A reply whose items cannot be read."""

    def __getitem__(self, index: int) -> Any:
        raise Refused(f"no item {index}")


class Network:
    """The queue(s) and the pipe of one call, answering from the fuzzer's bytes."""

    def __init__(self, data: atheris.FuzzedDataProvider, dim: int, handed: fuzzing.Handed):
        self.data = data
        self.dim = dim
        self.handed = handed
        self.requests: list[object] = []
        self.calls = 0
        self.faulty = False  # a reply or call that may end the game with 1
        self.short = False  # a reply too short: a fatal stop is allowed

    def put(self, request: object) -> None:
        self.requests.append(request)
        if self.data.ConsumeIntInRange(0, 40) == 40:
            self.faulty = True
            raise self.handed(Refused("put"))

    def recv(self) -> object:
        self.calls += 1
        if self.calls > LIMIT:
            self.faulty = True
            raise self.handed(Refused("enough"))
        return self.reply(self.data.ConsumeIntInRange(0, 12))

    def floats(self, n: int, kind: int) -> list[Any]:
        data, keep = self.data, self.handed
        if kind == 0:  # the bytes ran out, or a clean reply: finite and moderate
            return [data.ConsumeIntInRange(-50, 50) / 8 for _ in range(n)]
        if kind == 1:
            self.faulty = True
            return [data.PickValueInList(SPECIAL) if data.ConsumeBool() else data.ConsumeFloat()
                    for _ in range(n)]
        if kind == 3:  # clean, but one item plays a game when converted
            items: list[Any] = [0.0] * n
            if n:
                items[data.ConsumeIntInRange(0, n - 1)] = keep(Reentrant())
            return items
        self.faulty = True
        return [keep(Number(data.ConsumeRegularFloat(), data.ConsumeIntInRange(0, 9) == 0))
                if data.ConsumeBool() else
                data.PickValueInList([None, "1.5", b"x", 7, True, [1.0], 2**80])
                for _ in range(n)]

    def reply(self, kind: int) -> object:
        data, keep, tiles = self.data, self.handed, self.dim * self.dim
        if kind <= 6:  # lists of the right length or not, holding floats or not
            policy_length, value_length = tiles, 4
            if kind >= 4:
                policy_length = data.ConsumeIntInRange(0, tiles + 3)
                value_length = data.ConsumeIntInRange(0, 6)
                self.short |= policy_length < tiles or value_length < 4
            items = data.ConsumeIntInRange(0, 3) if kind in (1, 2, 5, 6) else 0
            policy = keep(self.floats(policy_length, items))
            value = keep(self.floats(value_length, items))
            shape = data.ConsumeIntInRange(0, 3)
            if shape == 0:
                return keep((policy, value))
            if shape == 1:
                return keep([policy, value, None])
            if shape == 2:
                return keep({0: policy, 1: value})
            return keep((keep(tuple(policy)), value))
        self.faulty = True
        if kind == 7:
            raise keep(Refused("recv"))
        if kind == 8:
            return keep(Unreadable())
        if kind == 9:  # of any length
            self.short = True
            return keep(junk(data, 3))
        if kind == 10:  # a sequence that lies about its length
            length = data.ConsumeIntInRange(-1, 4)
            policy_lie = keep(Lying(tuple([0.0] * tiles), [tiles, 2**40, -1, 0, 1, 2][length + 1]))
            return keep((policy_lie, keep(Lying((0.0,) * 4, length))))
        if kind == 11:  # an item that is not a sequence at all
            return keep((keep(iter([0.0] * tiles)), keep([0.0] * 4)))
        return keep(("0" * tiles, keep([0.0] * 4)))


def junk(data: atheris.FuzzedDataProvider, depth: int) -> object:
    """A random nested object."""
    kind = data.ConsumeIntInRange(0, 6 if depth > 0 else 3)
    if kind == 0:
        return data.ConsumeFloat()
    if kind == 1:
        return data.ConsumeInt(9)
    if kind == 2:
        return data.ConsumeUnicode(4)
    if kind == 3:
        return None
    items = [junk(data, depth - 1) for _ in range(data.ConsumeIntInRange(0, 40))]
    if kind == 4:
        return items
    if kind == 5:
        return tuple(items)
    return dict(enumerate(items))


class Results:
    """The result queue; its put may raise too."""

    def __init__(self, network: Network) -> None:
        self.network = network
        self.items: list[object] = []

    def put(self, item: object) -> None:
        self.items.append(item)
        if self.network.data.ConsumeIntInRange(0, 20) == 20:
            self.network.faulty = True
            raise self.network.handed(Refused("result"))


class Config:
    def __init__(self, dim: int, rep: int, sims: int) -> None:
        self.dim, self.rep, self.sims_per_move, self.sample_moves = dim, rep, sims, 3
        self.c_base, self.c_init = 19652.0, 1.25
        self.dirichlet_alpha, self.exploration_fraction = 0.3, 0.25


def test_one_input(raw: bytes) -> None:
    data = atheris.FuzzedDataProvider(raw)
    entry = data.ConsumeIntInRange(0, 5)  # training games most, test games least
    dim = 20 if entry == 5 else data.ConsumeIntInRange(4, 6)
    config = Config(dim, data.ConsumeIntInRange(1, 2), data.ConsumeIntInRange(0, 3))
    handed = fuzzing.Handed()
    network = Network(data, dim, handed)
    results = Results(network)
    counts = sys.getrefcount(config), sys.getrefcount(network), sys.getrefcount(results)
    try:
        if entry <= 2:
            result: object = tsp.play_training_game(3, config, results, network, network)
        elif entry <= 4:
            result = tsp.play_test_against_random(3, config, results, network, network)
        else:
            result = tsp.play_test_game(3, config, results, network, network, network)
    except BaseException as error:
        kind = type(error)
        if kind is Exception and error.args == ("Error running MCTS",) and entry == 5:
            assert network.faulty, "a test game failed without a faulty reply"
        elif kind.__name__ == "PanicException":
            text = str(error)
            allowed = ((network.short and text.startswith(SHORT_TEXTS))
                       or ((network.short or network.faulty) and text == CHILDLESS_TEXT))
            assert allowed, repr(error)
        else:
            raise
    else:
        if entry == 5:
            assert isinstance(result, float) and 0.0 <= result <= 1.0, result
        else:
            assert result in (0, 1) and type(result) is int, result
            assert result == 1 or len(results.items) == 1, results.items
            assert result == 0 or network.faulty, "a game failed without a faulty reply"
    assert not Reentrant.failures, Reentrant.failures
    handed.drop_tracebacks()  # their frames hold the network
    assert (sys.getrefcount(config), sys.getrefcount(network),
            sys.getrefcount(results)) == counts
    handed.objects += network.requests + results.items
    network.requests.clear()
    results.items.clear()
    leaked = handed.leaked()
    assert not leaked, leaked


if __name__ == "__main__":
    fuzzing.run(test_one_input)
