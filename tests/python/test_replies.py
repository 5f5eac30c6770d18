"""The replies read from the pipe: the forms accepted, the errors captured from the harness's
objects (and how each kind of game reports them), and the replies that are fatal stops."""

import math
import operator
import re

import pytest

import tralix_self_play as tsp

from support import (
    Config,
    Harness,
    RecvError,
    assert_each_request_lays,
    expect_panic,
    f32,
    panic_type,
    plane_tiles,
    planes_reply,
    predicted_greedy_game,
    rules_model,
    tile_logits,
)

LOGITS = tile_logits(20)
VALUES = [0.0, 0.0, 0.0, 0.0]


def _error_text(action):
    """The 'TypeName: message' form of the exception raised by action."""
    try:
        action()
    except Exception as e:  # noqa: BLE001
        return f"{type(e).__qualname__}: {e}"
    raise AssertionError("action did not raise")


# ----- accepted forms --------------------------------------------------------------------


class Scalar:
    """A numeric array scalar stand-in: only __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class FloatSubclass(float):
    """Not exactly the built-in float: goes through the interpreter's float conversion."""


class GetItemOnly:
    """A reply that is neither tuple, list nor dict; it only answers item access."""

    def __init__(self, policy, value, log):
        self.items = {0: policy, 1: value}
        self.log = log

    def __getitem__(self, key):
        self.log.append(key)
        return self.items[key]


class NoLength:
    """A sequence whose length cannot be asked; the length is only a capacity hint."""

    def __init__(self, values):
        self.values = list(values)

    def __getitem__(self, i):
        return self.values[i]

    def __iter__(self):
        return iter(self.values)

    def __len__(self):
        raise RuntimeError("length unknown")


class HugeLength(NoLength):
    """Claims an absurd length; only iteration tells the truth."""

    def __len__(self):
        return 2**62


getitem_log: list[object] = []

REPLY_FORMS = {
    "tuple": lambda: (list(LOGITS), list(VALUES)),
    "list": lambda: [list(LOGITS), list(VALUES)],
    "dict": lambda: {0: list(LOGITS), 1: list(VALUES)},
    "tuple-items": lambda: (tuple(LOGITS), tuple(VALUES)),
    "three-items": lambda: (list(LOGITS), list(VALUES), "ignored"),
    "scalars": lambda: ([Scalar(x) for x in LOGITS], [Scalar(0.0)] * 4),
    "int-values": lambda: (list(LOGITS), [0, 0, 0, 0]),
    "float-subclass": lambda: ([FloatSubclass(x) for x in LOGITS], VALUES),
    "long-policy": lambda: (list(LOGITS) + [1000.0] * 600, list(VALUES)),
    "long-values": lambda: (list(LOGITS), [0.0] * 9),
    "getitem-only": lambda: GetItemOnly(list(LOGITS), list(VALUES), getitem_log),
    "no-length": lambda: (NoLength(LOGITS), NoLength(VALUES)),
    "huge-length": lambda: (HugeLength(LOGITS), HugeLength(VALUES)),
}


@pytest.mark.parametrize("form", list(REPLY_FORMS))
def test_reply_forms_give_the_same_game(form):
    """Each form of the same numbers plays the same deterministic test game."""
    game, positions = predicted_greedy_game(20, LOGITS)
    getitem_log.clear()
    make = REPLY_FORMS[form]
    h = Harness(dim=20, reply=lambda harness, request: make())
    score = h.test_game(Config(dim=20))
    assert score == f32(game.outcome()[0])
    assert h.planes == [p for _, p in positions]
    if form == "getitem-only":
        # Exactly items 0 and 1, once each per reply, in that order.
        assert getitem_log == [0, 1] * len(positions)


def test_range_and_bytes_are_sequences_of_numbers():
    """Any sequence other than str serves: a range gives each tile its own number as logit."""
    logits = tuple(range(400))
    game, positions = predicted_greedy_game(20, logits)
    h = Harness(dim=20, reply=lambda harness, request: (range(400), range(4)))
    assert h.test_game(Config(dim=20)) == f32(game.outcome()[0])
    assert h.planes == [p for _, p in positions]
    b = Harness(dim=6, reply=lambda harness, request: (bytes(36), bytearray(4)))
    assert b.vs_random(Config(dim=6)) == 0


def test_panic_exception_from_the_harness_is_captured_like_any_error(capfd):
    cls = panic_type()
    h = Harness(dim=6, reply=_reply_raising(cls("raised by the harness")))
    assert h.vs_random(Config(dim=6)) == 1
    assert capfd.readouterr().out == (
        "Error running MCTS: Error evaluating root node: "
        f"{cls.__qualname__}: raised by the harness\n"
    )


def test_integer_policy_logits():
    logits = tuple((t * 7919) % 1009 for t in range(400))
    game, positions = predicted_greedy_game(20, logits)
    h = Harness(dim=20, reply=lambda harness, request: (list(logits), [0, 0, 0, 0]))
    assert h.test_game(Config(dim=20)) == f32(game.outcome()[0])
    assert len(h.requests) == len(positions)


def test_extra_policy_entries_never_become_moves():
    """Huge scores beyond the board are ignored by the greedy seat against random players."""

    def reply(planes):
        valid = plane_tiles(planes[4])
        policy = [0.0] * 25 + [500.0] * 50
        policy[min(valid)] = 1.0
        return (policy, VALUES)

    h = Harness(dim=5, reply=planes_reply(reply))
    assert h.vs_random(Config(dim=5)) == 0
    assert_each_request_lays(h.planes, min)


# ----- captured errors -------------------------------------------------------------------


class Outer:
    class NestedError(Exception):
        pass


class StrFails(Exception):
    def __str__(self):
        raise ValueError("cannot describe myself")


class BadFloat:
    def __float__(self):
        raise ArithmeticError("bad float")


class BrokenIter:
    def __getitem__(self, i):
        return 0.0

    def __len__(self):
        return 4

    def __iter__(self):
        yield 0.0
        raise LookupError("iteration broke")


class Unindexable:
    def __getitem__(self, key):
        if key == 1:
            raise LookupError("no item 1")
        return [0.0] * 400


def _local_error():
    class LocalError(Exception):
        pass

    return LocalError


LocalError = _local_error()


def _reply_raising(exc):
    def reply(harness, request):
        raise exc

    return reply


def _returning(obj):
    return lambda harness, request: obj


# Each case: reply function, the expected captured text, and whether recv is reached.
# Some expected texts come from Python failing on the same mistake: those calls are ill-typed on
# purpose.
CAPTURED = {
    "recv-raises": (
        _reply_raising(OSError("pipe closed")),
        "OSError: pipe closed",
    ),
    "nested-qualname": (
        _reply_raising(Outer.NestedError("deep")),
        "Outer.NestedError: deep",
    ),
    "local-qualname": (
        _reply_raising(LocalError("local")),
        "_local_error.<locals>.LocalError: local",
    ),
    "str-fails": (
        _reply_raising(StrFails()),
        "StrFails: <exception str() failed>",
    ),
    # str() works but its text cannot be UTF-8: the lone surrogate is escaped, not lost.
    "lone-surrogate": (
        _reply_raising(RecvError("bad \udc80 byte")),
        "RecvError: bad \\udc80 byte",
    ),
    "empty-message": (
        _reply_raising(RecvError()),
        "RecvError: ",
    ),
    "reply-none": (
        _returning(None),
        _error_text(lambda: operator.getitem(None, 0)),  # type: ignore[call-overload]
    ),
    "reply-too-short": (
        _returning(([0.0] * 400,)),
        _error_text(lambda: ([0.0],)[1]),  # type: ignore[misc]
    ),
    "dict-without-value": (
        _returning({0: [0.0] * 400}),
        _error_text(lambda: {}[1]),  # type: ignore[index]
    ),
    "item-access-raises": (
        _returning(Unindexable()),
        "LookupError: no item 1",
    ),
    "policy-dict": (
        _returning(({0: 1.0}, VALUES)),
        "TypeError: 'dict' object cannot be converted to 'Sequence'",
    ),
    "value-set": (
        _returning(([0.0] * 400, {0.0})),
        "TypeError: 'set' object cannot be converted to 'Sequence'",
    ),
    "policy-int": (
        _returning((5, VALUES)),
        "TypeError: 'int' object cannot be converted to 'Sequence'",
    ),
    "float-raises": (
        _returning(([BadFloat()] + [0.0] * 399, VALUES)),
        "ArithmeticError: bad float",
    ),
    "str-element": (
        _returning((["x"] + [0.0] * 399, VALUES)),
        _error_text(lambda: math.sqrt("x")),  # type: ignore[arg-type]
    ),
    "none-element": (
        _returning(([0.0] * 399 + [None], VALUES)),
        _error_text(lambda: math.sqrt(None)),  # type: ignore[arg-type]
    ),
    "int-too-large": (
        _returning(([10**400] + [0.0] * 399, VALUES)),
        _error_text(lambda: float(10**400)),
    ),
    "generator-policy": (
        _returning(((x for x in [0.0] * 400), VALUES)),
        "TypeError: 'generator' object cannot be converted to 'Sequence'",
    ),
    "keyboard-interrupt": (
        _reply_raising(KeyboardInterrupt("stop")),
        "KeyboardInterrupt: stop",
    ),
    "system-exit": (
        _reply_raising(SystemExit(3)),
        "SystemExit: 3",
    ),
    "non-ascii-message": (
        _reply_raising(RuntimeError("naïve 🟥 \u00e9t\u00e9")),
        "RuntimeError: naïve 🟥 été",
    ),
    "multi-line-message": (
        _reply_raising(RuntimeError("first\nsecond")),
        "RuntimeError: first\nsecond",
    ),
    "iteration-breaks": (
        _returning(([0.0] * 400, BrokenIter())),
        "LookupError: iteration broke",
    ),
}

STR_ITEM = _returning(("0" * 400, VALUES))


def _run_vs_random(capfd, reply):
    h = Harness(dim=20, reply=reply)
    done = h.vs_random(Config(dim=20))
    return h, done, capfd.readouterr()


@pytest.mark.parametrize("case", list(CAPTURED))
def test_captured_error_against_random_players(capfd, case):
    reply, text = CAPTURED[case]
    h, done, captured = _run_vs_random(capfd, reply)
    assert type(done) is int and done == 1
    assert h.results == []
    assert len(h.requests) == 1 and h.pipe.calls == 1
    assert captured.out == f"Error running MCTS: Error evaluating root node: {text}\n"


def test_str_item_is_refused(capfd):
    h, done, captured = _run_vs_random(capfd, STR_ITEM)
    assert done == 1 and h.results == []
    assert captured.out.startswith("Error running MCTS: Error evaluating root node: TypeError: ")
    assert captured.out.endswith("\n") and captured.out.count("\n") == 1


@pytest.mark.parametrize("case", list(CAPTURED))
def test_captured_error_in_test_game(capfd, case):
    reply, text = CAPTURED[case]
    h = Harness(dim=20, reply=reply)
    with pytest.raises(Exception) as info:
        h.test_game(Config(dim=20))
    assert type(info.value) is Exception
    assert info.value.args == ("Error running MCTS",)
    out = capfd.readouterr().out
    assert out == f"Error running MCTS: Error evaluating root node: {text}\n"
    assert "Finished Game" not in out


@pytest.mark.parametrize("case", list(CAPTURED))
def test_captured_error_in_training_game(capfd, case):
    reply, _ = CAPTURED[case]
    h = Harness(dim=20, reply=reply)
    done = h.training(Config(dim=20))
    assert type(done) is int and done == 1
    assert h.results == [] and len(h.requests) == 1
    captured = capfd.readouterr()
    assert captured.out == ""


def test_queue_none(capfd):
    text = _error_text(lambda: None.put)
    assert text.startswith("AttributeError: ")
    h = Harness(dim=6)
    assert tsp.play_test_against_random(1, Config(dim=6), h.result_queue, None, h.pipe) == 1
    assert h.pipe.calls == 0 and h.results == []
    assert capfd.readouterr().out == f"Error running MCTS: Error evaluating root node: {text}\n"
    assert tsp.play_training_game(1, Config(dim=6), h.result_queue, None, h.pipe) == 1
    assert h.results == []
    with pytest.raises(Exception) as info:
        tsp.play_test_game(1, Config(), h.result_queue, None, h.baseline_queue, h.pipe)
    assert info.value.args == ("Error running MCTS",)
    assert capfd.readouterr().out == f"Error running MCTS: Error evaluating root node: {text}\n"


@pytest.mark.parametrize("pipe", [None, object()], ids=["None", "object"])
def test_pipe_without_recv(capfd, pipe):
    text = _error_text(lambda: pipe.recv)
    h = Harness(dim=6)
    assert tsp.play_test_against_random(1, Config(dim=6), h.result_queue, h.inference_queue,
                                        pipe) == 1
    # The request was put before the pipe was tried.
    assert len(h.requests) == 1 and h.results == []
    assert capfd.readouterr().out == f"Error running MCTS: Error evaluating root node: {text}\n"


def test_put_raising_skips_recv(capfd):
    h = Harness(dim=6)
    h.inference_queue.fail = MemoryError("full")
    assert h.vs_random(Config(dim=6)) == 1
    assert len(h.requests) == 1 and h.pipe.calls == 0
    assert capfd.readouterr().out == (
        "Error running MCTS: Error evaluating root node: MemoryError: full\n")


def test_put_return_value_is_ignored():
    class ReturningQueue:
        def __init__(self):
            self.items = []

        def put(self, item):
            self.items.append(item)
            return "something unexpected"

    q = ReturningQueue()
    logits = list(LOGITS[:36])
    h = Harness(dim=6)

    class Pipe:
        def recv(self):
            return (logits, VALUES)

    assert tsp.play_test_against_random(1, Config(dim=6), h.result_queue, q, Pipe()) == 0
    assert q.items


def test_put_with_keyword_only_signature_fails_as_a_captured_error(capfd):
    class KeywordQueue:
        def put(self, *, item):
            pass

    h = Harness(dim=6)
    assert tsp.play_test_against_random(1, Config(dim=6), h.result_queue, KeywordQueue(),
                                        h.pipe) == 1
    assert capfd.readouterr().out.startswith(
        "Error running MCTS: Error evaluating root node: TypeError: "
    )


# ----- fatal stops ----------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["training", "vs_random", "test_game"])
def test_policy_shorter_than_the_largest_valid_tile(kind):
    # On the first turn of side 20 the valid tiles go up to 80: 80 entries are one too few.
    h = Harness(dim=20, reply=_returning(([0.0] * 80, VALUES)))
    e = expect_panic(getattr(h, kind), Config(dim=20))
    assert e.args[0] == "index out of bounds: the len is 80 but the index is 80"
    assert len(h.requests) == 1 and h.results == []


def test_empty_policy_names_a_valid_tile():
    h = Harness(dim=20, reply=_returning(([], VALUES)))
    e = expect_panic(h.vs_random, Config(dim=20))
    match = re.fullmatch(r"index out of bounds: the len is 0 but the index is (\d+)", e.args[0])
    assert match, e.args[0]
    assert int(match.group(1)) in rules_model.Game(20).valid_tiles()


def test_policy_exactly_covering_the_valid_tiles_is_enough():
    h = Harness(dim=20, reply=_returning(([0.0] * 81, VALUES)))
    # Seat 0's first decision uses tiles up to 80 only; later ones need more and stop.
    e = expect_panic(h.vs_random, Config(dim=20))
    assert e.args[0].startswith("index out of bounds: the len is 81 but the index is ")
    assert len(h.requests) >= 2


def test_fatal_stop_from_a_reply_reports_on_standard_error(capfd):
    h = Harness(dim=20, reply=_returning(([0.0] * 80, VALUES)))
    expect_panic(h.vs_random, Config(dim=20))
    captured = capfd.readouterr()
    assert "index out of bounds: the len is 80 but the index is 80" in captured.err
    assert captured.out == ""


def test_nan_policy_in_training_leaves_the_root_without_children():
    """No child can be made, so every simulation re-evaluates the root, and the move cannot be
    chosen."""
    sims = 3
    h = Harness(dim=6, reply=_returning(([math.nan] * 36, VALUES)))
    e = expect_panic(h.training, Config(dim=6, sims_per_move=sims))
    assert e.args[0] == "assertion failed: visit_dist.len() > 0"
    assert len(h.requests) == 1 + sims and h.results == []
    # All those requests are for the same, initial position.
    assert all(p == h.planes[0] for p in h.planes)
