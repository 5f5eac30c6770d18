"""The reference harness end to end, through real processes: self-play files that replay
legally, replies routed to the right game, evaluation summaries, a failing network, an
interrupted run, options a run cannot play, and the run's life as a context manager."""

import gzip
import json
import multiprocessing
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import tralix_rules
from tralix_harness.base.settings import SearchSettings
from tralix_harness.base.signals import SignalStop
from tralix_harness.cli import main
from tralix_harness.cli.main import build_parser
from tralix_harness.data.records import read_games
from tralix_harness.local.answering import load_answerer
from tralix_harness.local.channels import WorkerChannels
from tralix_harness.local.lifecycle import GameStatus, RunFailed
from tralix_harness.local.options import RunKind, RunOptions
from tralix_harness.local.run import Run
from tralix_harness.local.server import ServerSettings, serve
from tralix_harness.networks.builtin import HeuristicNetwork
from tralix_harness.networks.names import NetworkKind, NetworkName

from rules_model import Game, replay

HERE = Path(__file__).parent
ENV = dict(os.environ, PYTHONPATH=str(HERE) + os.pathsep + os.environ.get("PYTHONPATH", ""))


def tralix(*args, timeout=120, **kwargs):
    return subprocess.run([sys.executable, "-m", "tralix_harness", *args], env=ENV,
                          capture_output=True, text=True, timeout=timeout, **kwargs)


def harness_children():
    """The run processes this test process has started and that are still alive."""
    return [p for p in multiprocessing.active_children() if p.name.startswith("tralix-")]


def process_group_gone(pgid):
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return True
    return False


@pytest.mark.parametrize("rep", [1, 2])
def test_selfplay_file_replays_legally(tmp_path, rep):
    output = tmp_path / "games.jsonl.gz"
    done = tralix("selfplay", "--games", "5", "--side", "7", "--rep", str(rep), "--sims", "6",
                  "--sample-moves", "4", "--workers", "2", "--threads", "2",
                  "--output", str(output))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(output)
    assert "5 games written" in done.stderr
    games = list(read_games(output))
    assert sorted(g["id"] for g in games) == [0, 1, 2, 3, 4]
    for g in games:
        assert g["side"] == 7 and g["settings"]["sims_per_move"] == 6
        assert g["settings"]["rep"] == rep
        assert len(g["records"]) == len(g["history"]) > 0
        final = replay(7, g["history"])
        assert final.is_over()
        assert g["outcome"] == pytest.approx(final.outcome())
        # Each record lists children of the position it was made for: valid tiles only, and
        # the tile played among them.
        position = Game(7)
        for (_, tile), record in zip(g["history"], g["records"], strict=True):
            tiles = [t for t, _ in record]
            assert set(tiles) <= position.valid_tiles()
            assert tile in tiles
            assert sum(share for _, share in record) == pytest.approx(1.0, abs=1e-5)
            position.apply_move(tile)


def test_show_prints_the_final_board(tmp_path):
    output = tmp_path / "games.jsonl.gz"
    assert tralix("selfplay", "--games", "1", "--side", "6", "--sims", "2", "--workers", "1",
                  "--threads", "1", "--output", str(output)).returncode == 0
    game = next(read_games(output))
    shown = tralix("show", str(output))
    assert shown.returncode == 0, shown.stderr
    board = replay(6, game["history"]).board_text()
    assert board.rstrip("\n") in shown.stdout
    replayed = tralix("show", str(output), "--replay")
    pieces = tralix_rules.piece_ends(6, [tile for _, tile in game["history"]])
    assert replayed.stdout.count("after move") == len(pieces)


@pytest.mark.parametrize("inference", ["server", "worker"])
def test_each_reply_reaches_its_own_game(inference):
    # Two workers of six game slots each share a network; every slot sends requests that the
    # fingerprint network answers with a policy naming that very request.
    context = multiprocessing.get_context("spawn")
    workers, per_worker, rounds, dim = 2, 6, 25, 6
    total = workers * per_worker
    events, stop = context.Queue(), context.Event()
    statistics = context.RawArray("d", 3)
    requests = [context.Pipe(duplex=False) for _ in range(workers)]
    replies = [context.Pipe(duplex=False) for _ in range(workers)]
    server = None
    if inference == "server":
        server = context.Process(
            target=serve,
            args=(ServerSettings("harness_networks:fingerprint", dim, 1, 8, 0.001),
                  [r for r, _ in requests], [s for _, s in replies], stop, events, statistics),
            daemon=True)
        server.start()
    errors, answered = [], []

    def play(channels, slot):
        rng = np.random.default_rng(slot)
        queue, pipe = channels.queue(0), channels.pipe(slot)
        for round_ in range(rounds):
            occupied = int(rng.integers(0, dim * dim))
            planes = np.zeros((5, dim, dim), dtype=bool)
            planes[0].flat[:occupied] = True
            valid = int(rng.integers(0, dim * dim))
            planes[4].flat[valid] = True
            queue.put((round_ * total + slot, planes.tolist()))
            policy, value = pipe.recv()
            expected = [occupied + (1000.0 if t == valid else 0.0) for t in range(dim * dim)]
            if list(policy)[:dim * dim] != expected or len(value) != 4:
                errors.append((slot, round_))
            answered.append(slot)

    def worker(w):
        if inference == "server":
            route = (requests[w][1], replies[w][0])
        else:
            route = load_answerer(NetworkName.parse("harness_networks:fingerprint"), dim, 1, 8, 1,
                                  events, None)
        channels = WorkerChannels([route], range(w * per_worker, (w + 1) * per_worker), total,
                                  dim, stop)
        channels.run(lambda slot: play(channels, slot))

    try:
        threads = [threading.Thread(target=worker, args=(w,)) for w in range(workers)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert not errors
        assert sorted(answered) == sorted(list(range(total)) * rounds)
        if server is not None:
            assert statistics[0] == total * rounds
    finally:
        stop.set()
        if server is not None:
            server.join(5)


def test_many_games_share_one_queue():
    options = RunOptions(kind="selfplay", games=10, networks=["harness_networks:fingerprint"],
                         settings=SearchSettings(dim=5, sims_per_move=3, sample_moves=2),
                         workers=1, threads=5, batch_size=4)
    results = list(Run(options))
    assert sorted(r.number for r in results) == list(range(10))
    for r in results:
        assert r.status == 0
        history, records, outcome = r.game
        assert len(history) == len(records)
        assert replay(5, history).outcome() == pytest.approx(outcome)


def test_eval_random_and_arena_report_mean_scores():
    evaluated = tralix("eval-random", "--games", "8", "--side", "7", "--workers", "1",
                       "--threads", "4")
    assert evaluated.returncode == 0, evaluated.stderr
    line = next(s for s in evaluated.stdout.splitlines() if "mean score" in s)
    mean = float(line.split("mean score ")[1].split()[0])
    assert 0.0 <= mean <= 1.0
    assert "over 8 games" in line and "in seat 0 (moves first)" in line
    # The random player's own score in the same seat stands beside it, measured alike.
    base = float(line.split("a uniformly random player in seat 0 scores ")[1].split()[0])
    assert 0.0 <= base <= 1.0 and line.count("over 8 games") == 2

    arena = tralix("arena", "--games", "2", "--workers", "1", "--threads", "2",
                   "--network", "uniform", "--baseline", "heuristic")
    assert arena.returncode == 0, arena.stderr
    assert "against baseline heuristic" in arena.stdout
    assert "Finished Game" not in arena.stdout  # boards are kept off the terminal by default


def test_heuristic_beats_random_players():
    done = tralix("eval-random", "--games", "200", "--side", "10", "--workers", "2",
                  "--threads", "4")
    assert done.returncode == 0, done.stderr
    assert "better than a random player" in done.stdout, done.stdout


def test_the_heuristic_sums_each_tiles_neighbourhood():
    # Its policy against its terms summed cell by cell, on boards running off every edge.
    rng = np.random.default_rng(3)
    for side in (4, 7):
        planes = (rng.random((3, 5, side, side)) < 0.3).astype(np.float32)
        net = HeuristicNetwork(side)
        free, others = 1.0 - planes[:, :4].sum(axis=1), planes[:, 1:4].sum(axis=1)
        near = [[(slice(max(r - d, 0), r + d + 1), slice(max(c - d, 0), c + d + 1))
                 for d in (1, 2)] for r in range(side) for c in range(side)]
        expected = [[net.openness * free[b][two].sum() + net.contact * others[b][one].sum()
                     + net.centre_bonus.flat[tile] for tile, (one, two) in enumerate(near)]
                    for b in range(3)]
        assert np.allclose(net.evaluate(planes)[0], expected, rtol=0, atol=1e-5)


def test_failing_network_abandons_games_and_ends_the_run(tmp_path):
    output = tmp_path / "games.jsonl.gz"
    start = time.monotonic()
    done = tralix("selfplay", "--games", "6", "--side", "6", "--sims", "2", "--workers", "1",
                  "--threads", "2", "--network", "harness_networks:failing",
                  "--output", str(output), start_new_session=True)
    assert time.monotonic() - start < 60
    assert done.returncode == 1
    assert "the model is broken" in done.stderr
    assert "abandoned after a failed evaluation" in done.stderr
    assert list(read_games(output)) == []
    with gzip.open(output) as f:
        assert f.read() == b""


@pytest.mark.parametrize("inference", ["server", "worker"])
def test_failing_network_through_the_run_api(inference):
    options = RunOptions(kind="random", games=3, networks=["harness_networks:failing"],
                         settings=SearchSettings(dim=6), workers=1, threads=2,
                         inference=inference)
    run = Run(options)
    seen = []
    with pytest.raises(RunFailed, match="the model is broken"):
        for result in run:
            seen.append(result)
    assert seen and all(r.status == 1 for r in seen)


def test_eval_random_reports_a_failing_network_on_stderr(capsys):
    code = main(["eval-random", "--games", "3", "--side", "6", "--workers", "1", "--threads",
                 "1", "--network", "harness_networks:failing"])
    out, err = capsys.readouterr()
    assert code == 1
    assert "mean score" not in out
    lines = err.splitlines()
    assert any(line.endswith(" games abandoned after a failed evaluation") for line in lines)
    assert ("run stopped: network 'harness_networks:failing' failed: RuntimeError: the model "
            "is broken") in lines


@pytest.mark.parametrize("overrides, message", [
    (dict(batch_size=0), "--batch-size: must be at least 1, not 0"),
    (dict(batch_size=-4), "--batch-size: must be at least 1, not -4"),
    (dict(kind="tournament"), "kind: must be one of selfplay, random, arena, not 'tournament'"),
    (dict(kind=RunKind.ARENA), "arena needs 2 network"),
    (dict(games=-1), "--games: must be at least 0, not -1"),
    (dict(threads=0), "--threads: must be at least 1, not 0"),
    # Checked when the options are made, so that a run on a cluster, which once took a
    # negative game number, refuses them as a local one does.
    (dict(numbers=(0, -1)), "numbers must be games distinct numbers >= 0"),
    (dict(numbers=(3, 3)), "numbers must be games distinct"),
    (dict(inference="gpu"), "--inference: must be one of server, worker, auto, not 'gpu'"),
    (dict(networks=["nosuch"]), "unknown network 'nosuch'"),
])
def test_run_refuses_options_it_cannot_play(overrides, message):
    # A batch size below one once gave a server that never answered: the run hung.
    options = dict(kind="selfplay", games=2, networks=["uniform"],
                   settings=SearchSettings(dim=5), workers=1, threads=1)
    options.update(overrides)
    with pytest.raises(ValueError, match=message):
        Run(RunOptions(**options))


@pytest.mark.parametrize("command, message", [
    (["selfplay", "--batch-size", "0"], "argument --batch-size: must be at least 1, not 0"),
    (["selfplay", "--games", "0"], "argument --games: must be at least 1, not 0"),
    (["eval-random", "--games", "-2"], "argument --games: must be at least 1, not -2"),
    (["selfplay", "--side", "3"], "argument --side: must be from 4 to 256, not 3"),
    (["arena", "--side", "257"], "argument --side: must be from 4 to 256, not 257"),
    (["selfplay", "--rep", "3"], "argument --rep: must be from 1 to 2, not 3"),
    (["loop", "run", "--side", "2"], "argument --side: must be from 4 to 256, not 2"),
    (["ladder", "heuristic", "--side", "3"], "argument --side: must be from 4 to 256, not 3"),
    (["selfplay", "--sims", "-1"], "argument --sims: must be at least 0, not -1"),
    # Every setting's bounds are checked as its option is parsed, whole numbers or not.
    (["loop", "run", "--blocks", "0"], "argument --blocks: must be at least 1, not 0"),
    (["loop", "run", "--learning-rate", "0"], "argument --learning-rate: must be above 0, not 0.0"),
    (["loop", "run", "--average-decay", "1"],
     "argument --average-decay: must be at least 0 and below 1, not 1.0"),
    (["loop", "run", "--anneal", "1.5"], "argument --anneal: must be from 0 to 1, not 1.5"),
    (["loop", "run", "--eval-games", "-1"], "argument --eval-games: must be at least 0, not -1"),
    (["loop", "run", "--minutes", "soon"], "argument --minutes: not a number: 'soon'"),
    (["selfplay", "--alpha", "0"], "argument --alpha: must be above 0, not 0.0"),
    (["eval-random", "--match-sims", "-1"], "argument --match-sims: must be at least 0, not -1"),
    (["selfplay", "--threads", "many"], "argument --threads: not a whole number: 'many'"),
    (["selfplay", "--network", "nosuch_module:load"],
     "argument --network: nosuch_module:load: no module named 'nosuch_module'"),
    (["arena", "--baseline", "harness_networks:nosuch"],
     "argument --baseline: harness_networks:nosuch: harness_networks has no factory 'nosuch'"),
    (["show", "missing.jsonl.gz"], "argument file: missing.jsonl.gz: no such file or folder"),
    (["train", "missing.jsonl.gz", "--output", "net.pt"],
     "argument data: missing.jsonl.gz: no such file"),
])
def test_bad_command_line_input_is_one_line_naming_the_option(tmp_path, command, message):
    # Refused before any process starts: exit status 2, no traceback, nothing written.
    output = ["--output", "games.jsonl.gz"] if command[0] == "selfplay" else []
    done = tralix(*command, *output, cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr == f"tralix {command[0]}: {message}\n"
    assert done.stdout == "" and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("command", ["eval-random", "arena"])
def test_the_matches_simulations_keep_their_former_option_name_for_a_release(capsys, command):
    parser = build_parser()
    assert parser.parse_args([command, "--match-sims", "3"]).match_sims == 3
    assert capsys.readouterr().err == ""
    assert parser.parse_args([command, "--sims", "3"]).match_sims == 3
    assert capsys.readouterr().err == (f"tralix {command}: warning: --sims is deprecated here "
                                       "and goes in a coming release: use --match-sims\n")
    # Elsewhere --sims is the search's simulations per move, as it has been.
    assert parser.parse_args(["selfplay", "--sims", "3"]).sims_per_move == 3


@pytest.mark.parametrize("text, kind", [
    ("uniform", NetworkKind.UNIFORM), ("heuristic", NetworkKind.HEURISTIC),
    ("torch:runs/a:b.pt", NetworkKind.TORCH), ("harness_networks:fingerprint", NetworkKind.FACTORY),
])
def test_a_network_name_is_parsed_once_and_reads_back_as_given(text, kind):
    name = NetworkName.parse(text)
    assert name.kind is kind and str(name) == text and NetworkName.parse(name) is name
    assert name.on_cpu == (kind is not NetworkKind.FACTORY)
    if kind is NetworkKind.TORCH:
        assert name.path == Path("runs/a:b.pt")


def test_a_second_signal_waits_for_the_held_block_and_a_first_without_a_run_aborts():
    stop = SignalStop(lambda: True)
    with stop.installed():
        os.kill(os.getpid(), signal.SIGINT)  # the first asks for a clean stop
        assert stop.requested
        stored = []
        with pytest.raises(KeyboardInterrupt):
            with stop.held():
                os.kill(os.getpid(), signal.SIGINT)
                stored.append("game")  # the abort strikes only once this is done
        assert stored == ["game"]
    nothing_to_stop = SignalStop(lambda: False)
    with nothing_to_stop.installed(), pytest.raises(KeyboardInterrupt):
        os.kill(os.getpid(), signal.SIGINT)
    assert not nothing_to_stop.requested


def test_run_continues_its_one_stream_across_loops():
    options = RunOptions(kind=RunKind.RANDOM, games=4, networks=["uniform"],
                         settings=SearchSettings(dim=5), workers=1, threads=2)
    with Run(options) as run:
        first = [next(iter(run)).number]
        rest = [r.number for r in run]
        assert sorted(first + rest) == [0, 1, 2, 3]
    assert not harness_children()


def test_leaving_the_block_early_stops_every_process():
    options = RunOptions(kind="selfplay", games=500, networks=["harness_networks:slow"],
                         settings=SearchSettings(dim=5, sims_per_move=2), workers=2, threads=2)
    with Run(options) as run:
        for result in run:
            assert result.status is GameStatus.FINISHED
            assert len(harness_children()) == 3  # two workers and the server
            break
    assert not harness_children()
    assert list(run) == []  # a closed run yields nothing more


def test_show_reports_an_unreadable_file_without_a_traceback(tmp_path, capsys):
    path = tmp_path / "games.jsonl.gz"
    path.write_bytes(b"not a gzip file\n")
    assert main(["show", str(path)]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith("tralix: ") and "Traceback" not in err
    assert len(err.splitlines()) == 1


def test_show_reports_a_game_that_is_not_in_the_file(tmp_path, capsys):
    output = tmp_path / "games.jsonl.gz"
    with gzip.open(output, "wt") as f:
        f.write(json.dumps({"id": 3, "side": 4, "history": [[0, 5]], "records": [[[5, 1.0]]],
                            "outcome": [1.0, 0.0, 0.0, 0.0], "settings": {}}) + "\n")
    assert main(["show", str(output), "--id", "3"]) == 0
    assert "game 3, side 4, 1 tiles" in capsys.readouterr().out
    assert main(["show", str(output), "--id", "4"]) == 2
    assert capsys.readouterr() == ("", "tralix: --id 4: no game has this id; the data holds 1 "
                                       "game(s) (indexes 0 to 0)\n")


@pytest.mark.parametrize("inference", ["server", "worker"])
def test_interrupted_run_keeps_a_valid_file_and_leaves_no_process(tmp_path, inference):
    output = tmp_path / "games.jsonl.gz"
    process = subprocess.Popen(
        [sys.executable, "-m", "tralix_harness", "selfplay", "--games", "500", "--side", "5",
         "--sims", "2", "--workers", "2", "--threads", "2", "--network", "harness_networks:slow",
         "--inference", inference, "--output", str(output)],
        env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if output.exists() and any(True for _ in read_games(output)):
                break
            time.sleep(0.2)
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=15)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    assert process.returncode == 130, stderr
    assert "stopping..." in stderr.splitlines()
    assert "run stopped: interrupted" in stderr.splitlines()
    games = list(read_games(output))
    assert 1 <= len(games) < 500
    with gzip.open(output, "rt") as f:  # the file is complete, trailer and all
        lines = f.read().splitlines()
    assert len(lines) == len(games)
    for line in lines:
        replay(5, json.loads(line)["history"])
    deadline = time.monotonic() + 5
    while not process_group_gone(process.pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert process_group_gone(process.pid)
