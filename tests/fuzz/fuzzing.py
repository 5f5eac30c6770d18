"""What the fuzz targets share: the libFuzzer entry through atheris, and a check that the
module gave back every reference it took to the objects a target handed it."""

from __future__ import annotations

import gc
import os
import sys
from collections.abc import Callable

import atheris

# Objects the interpreter never frees (None, small ints...) have counts from here up.
IMMORTAL = 1 << 30


def run(test_one_input: Callable[[bytes], None]) -> None:
    """Runs the target under libFuzzer with the command line's options (-runs, -seed,
    -max_total_time, a corpus folder...). What the games print for a person (the final
    board, "Error running MCTS") goes to standard error with libFuzzer's reports; atheris
    reports a failing input's traceback on standard output, which stays."""
    # Coverage of the Python code loaded so far guides the mutations; with a sanitizer runtime
    # preloaded, atheris cannot see coverage at all, and instrumenting would only cost time.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


class Handed:
    """Every object a target handed the module, to count their references after the call.

    Objects are kept only here and inside one another (lists, tuples, dicts), so once the
    call is over each must be referenced exactly by this list and by the handed containers
    that hold it; one more reference is one the module kept."""

    def __init__(self) -> None:
        self.objects: list[object] = []

    def __call__[T](self, obj: T) -> T:
        if sys.getrefcount(obj) < IMMORTAL:
            self.objects.append(obj)
        return obj

    def drop_tracebacks(self) -> None:
        """Lets the exceptions handed go of the frames they were raised in."""
        for obj in self.objects:
            if isinstance(obj, BaseException):
                obj.__traceback__ = None

    def leaked(self) -> list[str]:
        """The handed objects with references nobody accounts for, as text."""
        inside = _held_inside(self.objects)
        found = self._unexplained(inside)
        if found:  # a cycle through a frame or a traceback may just be waiting for collection
            gc.collect()
            found = self._unexplained(inside)
        return found

    def _unexplained(self, inside: dict[int, int]) -> list[str]:
        # Each object: this list, the containers that hold it, the loop's name, the argument.
        return [f"a {type(obj).__name__} kept {sys.getrefcount(obj) - 3 - inside.get(id(obj), 0)}"
                " reference(s) too many"
                for obj in self.objects
                if sys.getrefcount(obj) != 3 + inside.get(id(obj), 0)]


def _held_inside(objects: list[object]) -> dict[int, int]:
    """How many times each object (by id) is an item of the lists, tuples and dicts given."""
    inside: dict[int, int] = {}
    for holder in objects:
        if isinstance(holder, list | tuple):
            items: list[object] = list(holder)
        elif isinstance(holder, dict):
            items = [*holder.keys(), *holder.values()]
        else:
            continue
        for item in items:
            inside[id(item)] = inside.get(id(item), 0) + 1
    return inside
