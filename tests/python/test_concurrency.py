"""Several games at once on several Python threads, sharing one request queue and answered
by a responder thread, as a real harness does. The calls must let other threads run while
they wait for a reply, and keep their games apart."""

import itertools
import multiprocessing
import queue
import threading

import pytest

import tralix_self_play as tsp

import rules_model
from support import Config, ResultQueue, f32, plane_tiles, planes_first, tile_logits


class ThreadPipe:
    """A pipe end whose recv blocks on a thread-safe queue."""

    def __init__(self):
        self.replies = queue.Queue()

    def recv(self):
        return self.replies.get(timeout=30)

    def send(self, reply):
        self.replies.put(reply)


class ConnectionPipe:
    """A real multiprocessing connection pair; the module reads from one end."""

    def __init__(self):
        self.reader, self.writer = multiprocessing.Pipe(duplex=False)

    def send(self, reply):
        self.writer.send(reply)

    def close(self):
        self.reader.close()
        self.writer.close()


class Responder:
    """Answers requests from a shared queue on the pipe registered for their id."""

    def __init__(self, rep=1):
        self.requests = queue.Queue()
        self.pipes = {}
        self.seen = []  # ids in the order requests were answered
        self.rep = rep
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while True:
            request = self.requests.get()
            if request is None:
                return
            ident, planes = request
            self.seen.append(ident)
            p = planes_first(planes, self.rep)
            dim = len(p[4])
            logits = list(tile_logits(dim))
            self.pipes[ident].send((logits, [0.0, 0.0, 0.0, 0.0]))

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.requests.put(None)
        self.thread.join(timeout=30)


def _check_training(result, ident, dim):
    got_id, (history, records, outcome) = result
    assert got_id == ident
    assert len(history) == len(records)
    game = rules_model.replay(dim, history)
    assert game.is_over()
    assert outcome == [f32(v) for v in game.outcome()]


def _run_threads(targets):
    barrier = threading.Barrier(len(targets))
    errors = []
    outputs = [None] * len(targets)

    def wrap(i, target):
        try:
            barrier.wait(timeout=30)
            outputs[i] = target()
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=wrap, args=(i, t)) for i, t in enumerate(targets)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    return outputs


@pytest.mark.parametrize("pipe_kind", ["thread", "connection"])
def test_two_training_games_on_two_threads(pipe_kind):
    make_pipe = ThreadPipe if pipe_kind == "thread" else ConnectionPipe
    dims = {11: 6, 22: 8}
    with Responder() as responder:
        pipes = {ident: make_pipe() for ident in dims}
        responder.pipes = pipes
        results = {ident: ResultQueue() for ident in dims}

        def game(ident):
            recv_end = pipes[ident] if pipe_kind == "thread" else pipes[ident].reader
            return tsp.play_training_game(
                ident, Config(dim=dims[ident], sims_per_move=3), results[ident],
                responder.requests, recv_end,
            )

        outputs = _run_threads([lambda i=i: game(i) for i in dims])
    assert outputs == [0, 0]
    for ident, dim in dims.items():
        assert len(results[ident].items) == 1
        _check_training(results[ident].items[0], ident, dim)
    # The games ran side by side: their requests are interleaved on the shared queue.
    seen = responder.seen
    switches = sum(1 for a, b in itertools.pairwise(seen) if a != b)
    assert switches > 1
    if pipe_kind == "connection":
        for p in pipes.values():
            p.close()


def test_all_three_kinds_of_game_at_once():
    with Responder() as responder:
        pipes = {1: ThreadPipe(), 2: ThreadPipe(), 3: ThreadPipe()}
        responder.pipes = pipes
        training_results = ResultQueue()
        random_results = ResultQueue()
        baseline = queue.Queue()

        # The baseline's requests are forwarded to the shared queue by another thread.
        def forward():
            while True:
                item = baseline.get()
                if item is None:
                    return
                responder.requests.put(item)

        forwarder = threading.Thread(target=forward, daemon=True)
        forwarder.start()

        outputs = _run_threads([
            lambda: tsp.play_training_game(1, Config(dim=7), training_results,
                                           responder.requests, pipes[1]),
            lambda: tsp.play_test_against_random(2, Config(dim=9), random_results,
                                                 responder.requests, pipes[2]),
            lambda: tsp.play_test_game(3, Config(dim=9), None, responder.requests, baseline,
                                       pipes[3]),
        ])
        baseline.put(None)
        forwarder.join(timeout=30)

    assert outputs[0] == 0 and outputs[1] == 0
    assert type(outputs[2]) is float
    _check_training(training_results.items[0], 1, 7)
    assert len(random_results.items) == 1 and random_results.items[0][0] == 2
    # The test game is deterministic with these logits: compare with the rules.
    logits = tile_logits(20)
    game = rules_model.Game(20)
    while not game.is_over():
        game.apply_move(max(game.valid_tiles(), key=lambda t: logits[t]))
    assert outputs[2] == f32(game.outcome()[0])


def test_many_games_on_one_thread_each():
    dims = {i: 5 + i % 3 for i in range(1, 7)}
    with Responder(rep=2) as responder:
        pipes = {i: ThreadPipe() for i in dims}
        responder.pipes = pipes
        results = {i: ResultQueue() for i in dims}
        outputs = _run_threads([
            (lambda i=i: tsp.play_training_game(
                i, Config(dim=dims[i], rep=2, sims_per_move=2), results[i],
                responder.requests, pipes[i]))
            for i in dims
        ])
    assert outputs == [0] * len(dims)
    for i, dim in dims.items():
        _check_training(results[i].items[0], i, dim)


def test_planes_helper_reads_both_layouts():
    # Sanity check of the responder's decoding: a 2-tile board in both layouts.
    rep1 = [[[False, True], [False, False]]] * 4 + [[[True, False], [False, True]]]
    rep2 = [[[rep1[k][r][c] for k in range(5)] for c in range(2)] for r in range(2)]
    assert planes_first(rep2, 2) == planes_first(rep1, 1)
    assert plane_tiles(planes_first(rep2, 2)[4]) == {0, 3}


def test_game_started_from_inside_another_games_recv():
    """A call made while another call on the same thread waits in recv is a separate game:
    both complete with their own results."""
    from support import Harness, zero_reply

    inner = Harness(dim=5)
    inner_done = []

    def reply(harness, request):
        if not inner_done:
            inner_done.append(inner.training(Config(dim=5), id=99))
        return zero_reply(harness, request)

    outer = Harness(dim=6, reply=reply)
    assert outer.training(Config(dim=6), id=98) == 0
    assert inner_done == [0]
    _check_training(inner.results[0], 99, 5)
    _check_training(outer.results[0], 98, 6)
