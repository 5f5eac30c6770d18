"""Fuzzes the config object: every attribute missing, raising, or holding a value of any type
(negative, huge, non-finite, a str, None, objects whose conversions raise).

A config that cannot be read, an unusable side or representation, or noise the search cannot
draw ends the call in a `PanicException`; anything that converts otherwise plays a game
(0, or 1 when the search fails on non-finite numbers). A plainly sound config must give 0,
nothing else may escape, and every reference taken must be given back."""

from __future__ import annotations

import math
import sys
from typing import Any

import atheris

import tralix_self_play as tsp

import fuzzing

INTEGERS = ("dim", "rep", "sims_per_move", "sample_moves")
FLOATS = ("c_base", "c_init", "dirichlet_alpha", "exploration_fraction")
SOUND = dict(dim=(4, 6), rep=(1, 2), sims_per_move=(0, 3), sample_moves=(0, 9))


class Refused(Exception):
    pass


class Convertible:
    """An object with conversions that give a value or raise."""

    def __init__(self, value: Any, refuse: bool) -> None:
        self.value = value
        self.refuse = refuse

    def __index__(self) -> int:
        if self.refuse or not isinstance(self.value, int):
            raise Refused("no index")
        return self.value

    def __float__(self) -> float:
        if self.refuse:
            raise Refused("no float")
        return float(self.value)


class FuzzedConfig:
    """Attributes from the fuzzer; a name absent from `values` is missing, one in `raising`
    raises when read."""

    def __init__(self, values: dict[str, Any], raising: set[str]) -> None:
        object.__setattr__(self, "values", values)
        object.__setattr__(self, "raising", raising)

    def __getattr__(self, name: str) -> Any:
        if name in self.raising:
            raise Refused(name)
        if name not in self.values:
            raise AttributeError(name)
        return self.values[name]


class Network:
    def __init__(self, dim: int) -> None:
        self.reply = ([0.5] * (dim * dim), [0.0, 0.1, 0.2, 0.3])
        self.items: list[Any] = []

    def put(self, item: object) -> None:
        self.items.append(item)

    def recv(self) -> object:
        return self.reply


def value(data: atheris.FuzzedDataProvider, name: str, handed: fuzzing.Handed) -> Any:
    kind = data.ConsumeIntInRange(0, 9)
    if kind <= 4:  # most of the time a value that converts and lets a short game run
        if name in SOUND:
            return data.ConsumeIntInRange(*SOUND[name])
        return data.PickValueInList([0.3, 1.25, 19652.0, 0.25, 1.0, 0.0, 1e-3, 5])
    if kind == 5:  # a side or a count out of range; no search of billions of simulations
        odd = [True, False, -1, 0, 3, 2**32, 2**70, -2**70]
        return data.PickValueInList(odd if name == "sims_per_move" else [*odd, 257, 2**32 - 1])
    if kind == 6:
        return data.PickValueInList([math.nan, math.inf, -math.inf, 1e300, -0.0, 4.0, -3.5])
    if kind == 7:
        return data.PickValueInList([None, "4", b"4", [4], 4j])
    if kind == 8:
        number = data.PickValueInList([-2, -1, 0, 1, 2, 3, 4, 5, 257, 2**32])
        return handed(Convertible(number, data.ConsumeBool()))
    return handed(Convertible(data.ConsumeRegularFloat(), data.ConsumeBool()))


def sound_value(values: dict[str, Any], name: str) -> bool:
    """Whether the field holds a plain value a game is sure to run with."""
    if name in SOUND:
        return type(values.get(name)) is int and SOUND[name][0] <= values[name] <= SOUND[name][1]
    return (type(values.get(name)) is float and 0 < values[name] < 1e5
            and (name != "exploration_fraction" or values[name] <= 1))


def test_one_input(raw: bytes) -> None:
    data = atheris.FuzzedDataProvider(raw)
    handed = fuzzing.Handed()
    values: dict[str, Any] = {}
    raising: set[str] = set()
    for name in INTEGERS + FLOATS:
        fate = data.ConsumeIntInRange(0, 30)
        if fate == 29:
            continue  # missing
        if fate == 30:
            raising.add(name)
        values[name] = value(data, name, handed)
    config = FuzzedConfig(values, raising)
    network = Network(values["dim"] if sound_value(values, "dim") else 4)
    handed(values)
    before = sys.getrefcount(config), sys.getrefcount(network), sys.getrefcount(network.reply)
    entry = data.ConsumeIntInRange(0, 1)
    call = tsp.play_training_game if entry == 0 else tsp.play_test_against_random
    clean = all(sound_value(values, name) for name in INTEGERS + FLOATS) and not raising
    try:
        result = call(5, config, network, network, network)
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        assert not clean, f"a sound config stopped: {error}"
    else:
        assert type(result) is int and result in (0, 1), result
        assert result == 0 or not clean, "a sound config failed"
        assert result == 1 or type(network.items[-1][1]) in (tuple, float), network.items[-1]
    after = sys.getrefcount(config), sys.getrefcount(network), sys.getrefcount(network.reply)
    assert after == before, (before, after)
    del config, values  # the values are then the handed list's alone
    handed.objects += network.items
    network.items.clear()
    handed.drop_tracebacks()
    leaked = handed.leaked()
    assert not leaked, leaked


if __name__ == "__main__":
    fuzzing.run(test_one_input)
