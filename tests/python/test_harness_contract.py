"""What the module does with the harness's objects: which attributes it touches, in which
order, and nothing else; plus the import from a second interpreter."""

import subprocess
import sys
import textwrap

import pytest

import tralix_self_play as tsp

from support import Config, LoggingConfig, f32, planes_first, predicted_greedy_game, tile_logits


class Log:
    def __init__(self):
        self.events = []


def _spy(log, name, methods):
    """An object that records every attribute read made on it, and offers `methods`."""

    class Spy:
        def __getattribute__(self, attr):
            log.events.append((name, attr))
            if attr in methods:
                return methods[attr]
            raise AttributeError(attr)

    return Spy()


def _harness(log, dim, reply):
    requests = []

    def put(request):
        requests.append(request)

    def recv():
        return reply(requests[-1])

    results = []
    objects = dict(
        inference_queue=_spy(log, "queue", {"put": put}),
        pipe=_spy(log, "pipe", {"recv": recv}),
        result_queue=_spy(log, "results", {"put": results.append}),
    )
    return objects, requests, results


@pytest.mark.parametrize("kind", ["training", "vs_random"])
def test_only_put_and_recv_are_used_in_strict_alternation(kind):
    log = Log()
    logits = list(tile_logits(6))
    objects, requests, results = _harness(log, 6, lambda r: (logits, [0.0] * 4))
    function = tsp.play_training_game if kind == "training" else tsp.play_test_against_random
    assert function(1, Config(dim=6), objects["result_queue"], objects["inference_queue"],
                    objects["pipe"]) == 0
    n = len(requests)
    assert n > 0 and len(results) == 1
    assert log.events == [("queue", "put"), ("pipe", "recv")] * n + [("results", "put")]


def test_test_game_never_touches_the_result_queue():
    log = Log()
    logits = tile_logits(20)
    requests = []

    def reply():
        return (list(logits), [0.0] * 4)

    def put(request):
        requests.append(request)

    model = _spy(log, "model", {"put": put})
    baseline = _spy(log, "baseline", {"put": put})
    pipe = _spy(log, "pipe", {"recv": reply})
    results = _spy(log, "results", {})
    game, positions = predicted_greedy_game(20, logits)
    assert tsp.play_test_game(1, Config(), results, model, baseline, pipe) == f32(
        game.outcome()[0]
    )
    expected = []
    for seat, _ in positions:
        expected += [("model" if seat == 0 else "baseline", "put"), ("pipe", "recv")]
    assert log.events == expected


def test_failed_evaluation_touches_nothing_more():
    log = Log()

    def put(request):
        pass

    def recv():
        raise EOFError("closed")

    objects = dict(
        inference_queue=_spy(log, "queue", {"put": put}),
        pipe=_spy(log, "pipe", {"recv": recv}),
        result_queue=_spy(log, "results", {"put": put}),
    )
    assert tsp.play_training_game(1, Config(), objects["result_queue"],
                                  objects["inference_queue"], objects["pipe"]) == 1
    assert log.events == [("queue", "put"), ("pipe", "recv")]


def test_reply_items_are_read_with_int_keys_once_each():
    keys = []
    logits = list(tile_logits(6))

    class Reply:
        def __getitem__(self, key):
            keys.append((type(key), key))
            return logits if key == 0 else [0.0] * 4

    log = Log()
    objects, requests, results = _harness(log, 6, lambda r: Reply())
    assert tsp.play_test_against_random(1, Config(dim=6), objects["result_queue"],
                                        objects["inference_queue"], objects["pipe"]) == 0
    assert keys == [(int, 0), (int, 1)] * len(requests)


def test_config_attributes_are_all_that_is_read_from_config():
    config = LoggingConfig(dim=6)
    log = Log()
    logits = list(tile_logits(6))
    objects, requests, _ = _harness(log, 6, lambda r: (logits, [0.0] * 4))
    tsp.play_training_game(1, config, objects["result_queue"], objects["inference_queue"],
                           objects["pipe"])
    assert config.log == ["dim", "rep", "sims_per_move", "sample_moves", "c_base", "c_init",
                          "dirichlet_alpha", "exploration_fraction"]


def test_id_conversion_carries_the_cause_over():
    root = KeyError("root cause")

    class BadIndex:
        def __index__(self):
            raise TypeError("no integer here") from root

    with pytest.raises(TypeError) as info:
        tsp.play_training_game(BadIndex(), Config(), None, None, None)
    assert str(info.value) == "argument 'id': no integer here"
    assert info.value.__cause__ is root


def test_import_from_a_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    del interpreters
    script = textwrap.dedent(
        """
        import _interpreters
        import tralix_self_play
        interp = _interpreters.create("legacy")
        code = (
            "try:\\n"
            "    import tralix_self_play\\n"
            "    print('imported')\\n"
            "except ImportError as e:\\n"
            "    print('ImportError')\\n"
        )
        _interpreters.run_string(interp, code)
        _interpreters.destroy(interp)
        # The first interpreter keeps its module.
        print(tralix_self_play.__all__)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "ImportError"
    assert lines[1] == str(["play_training_game", "play_test_game", "play_test_against_random"])


def _fresh_training_game(dim, sims, sample_moves, rep, show):
    """Plays one training game in a new interpreter and returns what it printed: the status
    and show, an expression of the result tuple r."""
    script = textwrap.dedent(
        f"""
        import tralix_self_play as m
        class C: pass
        c = C()
        for k, v in dict(dim={dim}, rep={rep}, sims_per_move={sims}, sample_moves={sample_moves},
                         c_base=19652.0, c_init=1.25, dirichlet_alpha=0.3,
                         exploration_fraction=0.25).items():
            setattr(c, k, v)
        class H:
            def put(self, r): self.last = r
            def recv(self): return ([0.0] * {dim * dim}, [0.0] * 4)
        class R:
            def put(self, r): self.r = r
        h, r = H(), R()
        print(m.play_training_game(3, c, r, h, h), {show})
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_fresh_process_imports_and_plays():
    assert _fresh_training_game(5, 1, 2, 2, "r.r[0]") == "0 3\n"


def test_planes_first_helper_matches_rules_model_layout():
    from rules_model import Game

    g = Game(5)
    p = g.planes()
    rep2 = [[[p[k][r][c] for k in range(5)] for c in range(5)] for r in range(5)]
    assert planes_first(rep2, 2) == p


def test_random_sources_are_seeded_per_process():
    """Fresh processes play different training games: the generators (and the keys of the
    children maps) are seeded from the operating system, not from a fixed seed."""
    histories = set()
    for _ in range(3):
        printed = _fresh_training_game(7, 3, 30, 1, "r.r[1][0]")
        assert printed.startswith("0 ")
        histories.add(printed)
    assert len(histories) > 1
