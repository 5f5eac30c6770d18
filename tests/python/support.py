"""Shared helpers for the tralix_self_play tests: configurations, stand-ins for the harness's
queues and pipes, reply builders, and small decoding helpers. Test modules import what they
need from here (`from support import ...`); conftest.py holds only pytest hooks.

The module talks to the harness through duck-typed objects: it calls `put(request)` on a
queue and then `recv()` on a pipe, on the same thread. A synchronous pipe can therefore
compute its reply from the last request that was put on one of its queues.
"""

from __future__ import annotations

import functools
import math
import struct

import tralix_self_play as tsp

import rules_model

FIELDS = (
    "dim",
    "rep",
    "sims_per_move",
    "sample_moves",
    "c_base",
    "c_init",
    "dirichlet_alpha",
    "exploration_fraction",
)

PARAMETERS_OF = {
    "play_training_game": ["id", "config", "result_queue", "inference_queue", "pipe"],
    "play_test_game": ["id", "config", "result_queue", "model_queue", "baseline_queue", "pipe"],
    "play_test_against_random": ["id", "config", "result_queue", "inference_queue", "pipe"],
}

DEFAULTS = dict(
    dim=6,
    rep=1,
    sims_per_move=2,
    sample_moves=4,
    c_base=19652.0,
    c_init=1.25,
    dirichlet_alpha=0.3,
    exploration_fraction=0.25,
)


def f32(x: float) -> float:
    """x rounded to the nearest single-precision float, widened back to a Python float."""
    return struct.unpack("f", struct.pack("f", x))[0]


# Every result a game against other players can report for seat 0, as single-precision values.
SEAT_RESULTS = {f32(0.0), f32(0.25), f32(1.0 / 3.0), f32(0.5), f32(1.0)}


class Config:
    """A plain configuration object; keyword arguments override the defaults."""

    def __init__(self, **overrides):
        values = dict(DEFAULTS)
        values.update(overrides)
        for name, value in values.items():
            setattr(self, name, value)


class LoggingConfig:
    """A configuration that logs every attribute read, in order.

    Fields listed in `missing` raise AttributeError when read.
    """

    def __init__(self, missing=(), **overrides):
        values = dict(DEFAULTS)
        values.update(overrides)
        for name in missing:
            values.pop(name, None)
        object.__setattr__(self, "_values", values)
        object.__setattr__(self, "log", [])

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        log = object.__getattribute__(self, "log")
        log.append(name)
        values = object.__getattribute__(self, "_values")
        if name not in values:
            raise AttributeError(f"'LoggingConfig' object has no attribute '{name}'")
        return values[name]


# ---------------------------------------------------------------------------------------
# Decoding of requests
# ---------------------------------------------------------------------------------------


def planes_first(planes, rep):
    """The planes of a request in the planes-first layout, as nested lists of ints."""
    if rep == 1:
        return [[[int(v) for v in row] for row in plane] for plane in planes]
    dim = len(planes)
    return [[[int(planes[r][c][k]) for c in range(dim)] for r in range(dim)] for k in range(5)]


def plane_tiles(plane):
    """The tiles marked 1 in one dim x dim plane."""
    dim = len(plane)
    return {r * dim + c for r in range(dim) for c in range(dim) if plane[r][c]}


def tile_logits(dim):
    """Distinct, bounded policy logits, one per tile: a fixed pseudo-random order of tiles."""
    return tuple(((t * 7919) % 1009) / 100.0 for t in range(dim * dim))


def greedy_choice(valid, logits):
    """The valid tile whose logit is the largest (logits are distinct)."""
    return max(valid, key=lambda t: logits[t])


# ---------------------------------------------------------------------------------------
# Replies
# ---------------------------------------------------------------------------------------


def zero_reply(harness, request):
    """Equal policy logits on every tile and equal value logits for every player."""
    return ([0.0] * (harness.dim * harness.dim), [0.0, 0.0, 0.0, 0.0])


def fixed_reply(policy, value):
    """Always the same reply object."""
    reply = (policy, value)
    return lambda harness, request: reply


def logits_reply(logits, value=(0.0, 0.0, 0.0, 0.0)):
    """A fixed policy per tile, so greedy players choose a predictable tile."""
    policy = list(logits)
    value = list(value)
    return lambda harness, request: (policy, value)


def planes_reply(function):
    """A reply computed from the request's planes (planes-first layout)."""
    return lambda harness, request: function(planes_first(request[1], harness.rep))


def forced_line_reply(dim):
    """Gives a finite logit only to the smallest valid tile and minus infinity elsewhere.

    Every evaluated position then has exactly one child: the smallest valid tile.
    """

    def reply(planes):
        valid = plane_tiles(planes[4])
        policy = [-math.inf] * (dim * dim)
        if valid:
            policy[min(valid)] = 0.0
        return (policy, [0.0, 0.0, 0.0, 0.0])

    return planes_reply(reply)


def _smallest_valid(planes):
    dim = len(planes[4])
    policy = [0.0] * (dim * dim)
    policy[min(plane_tiles(planes[4]))] = 5.0
    return (policy, [0.0, 0.0, 0.0, 0.0])


# Favours the smallest valid tile, so greedy players are predictable without ruling out others.
smallest_valid_reply = planes_reply(_smallest_valid)


class RecvError(Exception):
    pass


def fail_at(k, reply=zero_reply, exc=None):
    """Answers with `reply`, but raises on the k-th reply (counting from 1)."""
    error = exc if exc is not None else RecvError(f"reply {k} failed")

    def wrapped(harness, request):
        if harness.pipe.calls == k:
            raise error
        return reply(harness, request)

    return wrapped


# ---------------------------------------------------------------------------------------
# Harness objects
# ---------------------------------------------------------------------------------------


def assert_each_request_lays(planes, choose):
    """Between consecutive requests of a game against random players, the mover's plane gains
    exactly the tile choose(valid tiles) picks from the earlier request's plane 4."""
    for i in range(len(planes) - 1):
        added = plane_tiles(planes[i + 1][0]) - plane_tiles(planes[i][0])
        assert added == {choose(plane_tiles(planes[i][4]))}


class RecordingQueue:
    """A request queue that records what is put on it, in the harness's shared log."""

    def __init__(self, harness, name):
        self.harness = harness
        self.name = name
        self.fail = None  # an exception to raise from put

    def put(self, request):
        self.harness.requests.append((self.name, request))
        if self.fail is not None:
            raise self.fail


class ResultQueue:
    def __init__(self, fail=None):
        self.items = []
        self.fail = fail

    def put(self, item):
        self.items.append(item)
        if self.fail is not None:
            raise self.fail


class SyncPipe:
    """A pipe end whose recv computes the reply to the last request at once."""

    def __init__(self, harness):
        self.harness = harness
        self.calls = 0

    def recv(self):
        self.calls += 1
        harness = self.harness
        return harness.reply(harness, harness.requests[-1][1])


class Harness:
    """The harness's objects for one call, answering synchronously."""

    def __init__(self, dim=DEFAULTS["dim"], rep=1, reply=zero_reply):
        self.dim = dim
        self.rep = rep
        self.reply = reply
        self.requests = []  # (queue name, request) in the order put
        self.inference_queue = RecordingQueue(self, "inference")
        self.model_queue = RecordingQueue(self, "model")
        self.baseline_queue = RecordingQueue(self, "baseline")
        self.result_queue = ResultQueue()
        self.pipe = SyncPipe(self)

    # Calls of the three entry functions with this harness's objects.
    def training(self, config, id=1):
        return tsp.play_training_game(
            id, config, self.result_queue, self.inference_queue, self.pipe
        )

    def vs_random(self, config, id=1):
        return tsp.play_test_against_random(
            id, config, self.result_queue, self.inference_queue, self.pipe
        )

    def test_game(self, config, id=1, result_queue=None):
        rq = self.result_queue if result_queue is None else result_queue
        return tsp.play_test_game(
            id, config, rq, self.model_queue, self.baseline_queue, self.pipe
        )

    @property
    def planes(self):
        """Every request's planes in the planes-first layout, in order."""
        return [planes_first(req[1], self.rep) for _, req in self.requests]

    @property
    def results(self):
        return self.result_queue.items


def panic_type():
    """The module's PanicException class, obtained from a call that stops fatally."""
    h = Harness()
    try:
        h.vs_random(None)
    except BaseException as e:  # noqa: BLE001 - the class is what we are after
        return type(e)
    raise AssertionError("a config of None did not stop the call")


def expect_panic(call, *args, **kwargs):
    """Runs call, checks that it ends in PanicException, and returns the exception."""
    try:
        call(*args, **kwargs)
    except Exception as e:  # an ordinary handler must not see a fatal stop
        raise AssertionError(f"fatal stop surfaced as an ordinary exception: {e!r}") from e
    except BaseException as e:
        assert type(e).__name__ == "PanicException", repr(e)
        assert type(e).__bases__ == (BaseException,)
        assert len(e.args) == 1 and isinstance(e.args[0], str)
        return e
    raise AssertionError("the call did not stop")


# ---------------------------------------------------------------------------------------
# Predicted games
# ---------------------------------------------------------------------------------------


@functools.cache
def predicted_greedy_game(dim, logits):
    """A game in which every seat lays the valid tile with the largest logit.

    Returns the finished rules-model game and, for every decision, the seat to move and the
    planes-first encoding of the position it decided in.
    """
    game = rules_model.Game(dim)
    positions = []
    while not game.is_over():
        positions.append((game.current_player, game.planes()))
        game.apply_move(greedy_choice(game.valid_tiles(), logits))
    return game, positions


@functools.cache
def predicted_smallest_tile_game(dim):
    """A game in which every seat lays its smallest valid tile."""
    game = rules_model.Game(dim)
    positions = []
    while not game.is_over():
        positions.append((game.current_player, game.planes()))
        game.apply_move(min(game.valid_tiles()))
    return game, positions


# ---------------------------------------------------------------------------------------
# Self-play data files
# ---------------------------------------------------------------------------------------


def training_game_lines(dim, games, sims=4, sample_moves=8):
    """Data-file lines (as `tralix selfplay` writes them) of games played by the module with
    zero replies."""
    from tralix_harness.data.records import game_line

    lines = []
    config = Config(dim=dim, sims_per_move=sims, sample_moves=sample_moves)
    for number in range(games):
        h = Harness(dim=dim)
        assert h.training(config, id=number) == 0
        lines.append(game_line(number, dim, h.results[0][1], {"sims_per_move": sims}))
    return lines


def write_data_file(path, lines, newline=True):
    """A gzip JSON Lines file holding `lines`; without the last newline if not `newline`."""
    import gzip

    text = "\n".join(lines) + ("\n" if newline else "")
    with gzip.open(path, "wt", encoding="utf-8") as f:
        f.write(text)
    return path
