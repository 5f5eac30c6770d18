"""The module must give back every reference it takes: to the arguments, to the replies and
to the requests and results it hands over, whether the game ends normally, is abandoned,
stops fatally or never starts."""

import gc
import sys

import pytest

import tralix_self_play as tsp

from support import Config, LoggingConfig, tile_logits
from support import ResultQueue as Queue


class Pipe:
    """Answers every request with the same reply object (or raises)."""

    def __init__(self, reply):
        self.reply = reply
        self.fail_at = None
        self.calls = 0

    def recv(self):
        self.calls += 1
        if self.fail_at is not None and self.calls >= self.fail_at:
            raise ConnectionResetError("gone")
        return self.reply


def _objects(dim=5):
    policy = list(tile_logits(dim))
    value = [0.0, 0.0, 0.0, 0.0]
    reply = (policy, value)
    return dict(
        config=Config(dim=dim),
        result_queue=Queue(),
        inference_queue=Queue(),
        baseline_queue=Queue(),
        pipe=Pipe(reply),
        reply=reply,
        policy=policy,
        value=value,
    )


def _counts(objs):
    gc.collect()
    return {name: sys.getrefcount(obj) for name, obj in objs.items()}


def _call(kind, o, id=1, config=None):
    config = o["config"] if config is None else config
    if kind == "training":
        return tsp.play_training_game(id, config, o["result_queue"], o["inference_queue"],
                                      o["pipe"])
    if kind == "vs_random":
        return tsp.play_test_against_random(id, config, o["result_queue"], o["inference_queue"],
                                            o["pipe"])
    return tsp.play_test_game(id, config, o["result_queue"], o["inference_queue"],
                              o["baseline_queue"], o["pipe"])


def _clear(o):
    o["result_queue"].items.clear()
    o["inference_queue"].items.clear()
    o["baseline_queue"].items.clear()
    o["pipe"].calls = 0


@pytest.mark.parametrize("kind", ["training", "vs_random", "test_game"])
def test_successful_calls_keep_reference_counts(kind):
    o = _objects(20 if kind == "test_game" else 5)
    if kind == "test_game":
        o["config"] = Config(dim=20)
    repeats = 5 if kind == "test_game" else 50
    _call(kind, o)
    _clear(o)
    before = _counts(o)
    for i in range(repeats):
        _call(kind, o, id=i)
        _clear(o)
    assert _counts(o) == before


@pytest.mark.parametrize("kind", ["training", "vs_random"])
def test_abandoned_games_keep_reference_counts(kind):
    o = _objects()
    before = _counts(o)
    for i in range(50):
        o["pipe"].fail_at = 1 + i % 4
        assert _call(kind, o) == 1
        _clear(o)
    o["pipe"].fail_at = None
    o["inference_queue"].fail = RuntimeError("refused")
    for _ in range(20):
        assert _call(kind, o) == 1
        _clear(o)
    o["inference_queue"].fail = None
    assert _counts(o) == before


def test_failed_test_games_keep_reference_counts():
    o = _objects(20)
    o["config"] = Config(dim=20)
    before = _counts(o)
    for i in range(30):
        o["pipe"].fail_at = 1 + i % 8
        with pytest.raises(Exception, match="^Error running MCTS$"):
            _call("test_game", o)
        _clear(o)
    assert _counts(o) == before


@pytest.mark.parametrize("kind", ["training", "vs_random", "test_game"])
def test_fatal_stops_keep_reference_counts(kind):
    o = _objects()
    configs = [
        LoggingConfig(missing=["c_init"]),
        LoggingConfig(dim=5, rep=3),
        Config(dim=5, sample_moves=-1),
    ]
    if kind != "test_game":
        configs.append(Config(dim=2))
    before = _counts(o)
    config_counts = [sys.getrefcount(c) for c in configs]
    for _ in range(20):
        for config in configs:
            with pytest.raises(BaseException) as info:
                _call(kind, o, config=config)
            assert type(info.value).__name__ == "PanicException"
            del info
            _clear(o)
    del config  # the loop variable's own reference
    gc.collect()
    assert _counts(o) == before
    assert [sys.getrefcount(c) for c in configs] == config_counts


def test_short_policy_fatal_stop_keeps_reference_counts():
    o = _objects(20)
    o["config"] = Config(dim=20)
    short = ([0.0] * 10, [0.0] * 4)
    o["pipe"].reply = short
    before = _counts(o)
    short_count = sys.getrefcount(short)
    for _ in range(30):
        with pytest.raises(BaseException) as info:
            _call("vs_random", o)
        assert type(info.value).__name__ == "PanicException"
        del info
        _clear(o)
    assert _counts(o) == before
    assert sys.getrefcount(short) == short_count


def test_binding_and_id_errors_keep_reference_counts():
    o = _objects()
    before = _counts(o)
    for _ in range(50):
        with pytest.raises(TypeError):
            tsp.play_training_game(1, o["config"], o["result_queue"], o["inference_queue"])
        with pytest.raises(TypeError):
            tsp.play_training_game(1, o["config"], o["result_queue"], o["inference_queue"],
                                   o["pipe"], o["pipe"])
        with pytest.raises(TypeError):
            tsp.play_training_game(1, o["config"], o["result_queue"], o["inference_queue"],
                                   pipe=o["pipe"], config=o["config"])
        with pytest.raises(TypeError):
            tsp.play_test_against_random(1.0, o["config"], o["result_queue"],
                                         o["inference_queue"], o["pipe"])
        with pytest.raises(OverflowError):
            tsp.play_test_game(2**40, o["config"], o["result_queue"], o["inference_queue"],
                               o["baseline_queue"], o["pipe"])
    assert _counts(o) == before


def test_requests_and_results_are_owned_by_the_harness_alone():
    o = _objects(6)
    o["config"] = Config(dim=6)
    assert _call("training", o) == 0
    gc.collect()
    requests = o["inference_queue"].items
    assert requests
    # Each is held by its list (or tuple) and by getrefcount's own argument only. The counts
    # are taken outside the assertions, whose rewriting keeps temporaries alive.
    request_counts = [sys.getrefcount(requests[i]) for i in range(len(requests))]
    planes_counts = [sys.getrefcount(requests[i][1]) for i in range(len(requests))]
    assert request_counts == [2] * len(requests)
    assert planes_counts == [2] * len(requests)
    results = o["result_queue"].items
    result_counts = [sys.getrefcount(results[0]), sys.getrefcount(results[0][1])]
    result_counts += [sys.getrefcount(results[0][1][part]) for part in range(3)]
    assert result_counts == [2] * 5


def test_id_object_is_released():
    class Index:
        def __index__(self):
            return 3

    o = _objects()
    ident = Index()
    count = sys.getrefcount(ident)
    for _ in range(20):
        _call("vs_random", o, id=ident)
        _clear(o)
    assert sys.getrefcount(ident) == count


# ----- memory of the games themselves -------------------------------------------------------


def _resident_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 1e6


class _Lean:
    """Queue and pipe in one, keeping nothing, so only the module's own memory can grow."""

    def __init__(self, reply, fail_at=None):
        self.reply = reply
        self.fail_at = fail_at
        self.calls = 0

    def put(self, item):
        pass

    def recv(self):
        self.calls += 1
        if self.fail_at is not None and self.calls >= self.fail_at:
            raise ConnectionResetError("gone")
        return self.reply


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("ending", ["finished", "abandoned", "fatal"])
def test_search_trees_are_released(ending):
    """Each training game on side 10 with 8 simulations grows a tree of tens of thousands of
    nodes; a tree kept after the call would show as steady growth of the process."""
    config = Config(dim=10, sims_per_move=8)
    values = [0.0, 0.0, 0.0] if ending == "fatal" else [0.0] * 4
    reply = ([0.0] * 100, values)

    def play():
        lean = _Lean(reply, fail_at=300 if ending == "abandoned" else None)
        try:
            return tsp.play_training_game(1, config, lean, lean, lean)
        except BaseException as e:  # noqa: BLE001
            assert type(e).__name__ == "PanicException"
            return None

    for _ in range(10):
        play()
    gc.collect()
    before = _resident_mb()
    for _ in range(60):
        outcome = play()
        assert outcome == {"finished": 0, "abandoned": 1, "fatal": None}[ending]
    gc.collect()
    assert _resident_mb() - before < 15
