"""The generation loop end to end on side 5: two generations from scratch, a resume after a
kill in the middle of a generation, a Ctrl-C in the middle of the rating matches, a folder
refused for other settings; the greedy match."""

import importlib.util
import io
import json
import logging
import os
import signal
import sys
import threading
import time
from types import SimpleNamespace

import numpy as np
import pytest

torch = pytest.importorskip("torch")

from tralix_harness.base.settings import SearchSettings  # noqa: E402
from tralix_harness.cli import main  # noqa: E402
from tralix_harness.data.records import read_games  # noqa: E402
from tralix_harness.data.samples import read_data_file  # noqa: E402
from tralix_harness.learning import evaluation as evaluation_module  # noqa: E402
from tralix_harness.learning.folder import RunFolder, read_metrics  # noqa: E402
from tralix_harness.learning.match import (  # noqa: E402
    MatchStopped,
    PolicyNetwork,
    greedy_match,
    play_matches,
    random_policy,
    search_match,
)
from tralix_harness.learning.ratings import fit_ratings, load_ratings, read_matches  # noqa: E402
from tralix_harness.learning.report import Report  # noqa: E402
from tralix_harness.learning.settings import LoopSettings, TrainSettings  # noqa: E402
from tralix_harness.learning.trainer import Trainer  # noqa: E402
from tralix_harness.networks.builtin import HeuristicNetwork  # noqa: E402
from tralix_harness.networks.model import load_model  # noqa: E402
from tralix_harness.networks.settings import ModelSettings  # noqa: E402

SIDE = 5
LOOP = ["--side", str(SIDE), "--games", "3", "--first-games", "4", "--sims", "4",
        "--first-sims", "2",
        "--steps", "5", "--blocks", "1", "--channels", "8", "--batch-size", "16",
        "--eval-games", "4", "--arena-games", "8", "--rating-games", "4",
        "--search-rating-games", "4", "--rating-previous", "2", "--workers", "1", "--threads",
        "2", "--train-threads", "1"]


def _rating_games(run):
    """Rating games per generation in the run folder."""
    counts = {}
    for line in (run / "matches.jsonl").read_text().splitlines():
        generation = json.loads(line)["generation"]
        counts[generation] = counts.get(generation, 0) + 1
    return counts


def _score_ok(part, games):
    return 0.0 <= part["mean"] <= 1.0 and part["half_width"] >= 0 and part["games"] == games


def test_the_loop_runs_resumes_and_keeps_its_settings(tmp_path, capsys):
    run = tmp_path / "run"
    assert main(["loop", str(run), *LOOP, "--generations", "2"]) == 0
    out = capsys.readouterr().out
    metrics = read_metrics(run / "metrics.jsonl")
    assert [m["generation"] for m in metrics] == [0, 1, 2]
    for generation, games, sims in ((1, 4, 2), (2, 3, 4)):
        path = run / "games" / f"gen-{generation:04d}.jsonl.gz"
        contents = read_data_file(path, SIDE)
        assert len(contents.games) == games and not contents.cut_short
        assert {g["settings"]["sims_per_move"] for g in read_games(path)} == {sims}
        load_model(run / "checkpoints" / f"gen-{generation:04d}.pt", side=SIDE)
    # ONNX Runtime installed: each checkpoint's ONNX file beside it, which the games ran.
    if importlib.util.find_spec("onnxruntime") is not None:
        for generation in range(3):
            checkpoint = run / "checkpoints" / f"gen-{generation:04d}.pt"
            assert checkpoint.with_suffix(".onnx").stat().st_mtime >= checkpoint.stat().st_mtime
        assert all(f"onnx:{run}" not in g["settings"]["network"]
                   for g in read_games(run / "games" / "gen-0002.jsonl.gz"))
    last = metrics[-1]
    assert last["train"]["total_steps"] == 10 and last["window"]["total_games"] == 7
    assert last["selfplay"]["games"] == 3 and last["selfplay"]["games_per_second"] > 0
    assert np.isfinite([last["train"]["policy_loss"], last["train"]["value_loss"]]).all()
    for line in metrics:
        assert _score_ok(line["random"], 4) and _score_ok(line["random_baseline"], 4)
    assert all(_score_ok(line["previous"], 8) for line in metrics[1:])
    assert metrics[0]["wall_time"] < metrics[1]["wall_time"] < metrics[2]["wall_time"]
    rows = [line.split() for line in out.splitlines() if line[:4].strip().isdigit()]
    assert [row[0] for row in rows] == ["0", "1", "2"]
    assert "against three uniformly random players" in out
    assert f"learning curve: {run / 'learning_curve.png'}" in out
    assert (run / "learning_curve.png").read_bytes()[:4] == b"\x89PNG"
    assert any((run / "tensorboard").iterdir())
    # Four games against uniform, the heuristic and the searching heuristic, then against each
    # of two earlier generations.
    assert _rating_games(run) == {0: 12, 1: 16, 2: 20}
    assert {"uniform_mu", "heuristic_mu", "heuristic-search32_mu"} < set(metrics[-1]["rating"])
    assert all(line["rating"]["sigma"] > 0 for line in metrics)

    # A kill during generation 2's evaluation: its metrics line half written, its games and
    # checkpoint complete; and a kill during generation 3's self-play.
    kept = (run / "metrics.jsonl").read_text().splitlines(keepends=True)
    (run / "metrics.jsonl").write_text("".join(kept[:2]) + kept[2][:30])
    games_2 = (run / "games" / "gen-0002.jsonl.gz").read_bytes()
    checkpoint_2 = (run / "checkpoints" / "gen-0002.pt").read_bytes()
    (run / "games" / "gen-0003.jsonl.gz.part").write_bytes(b"\x1f\x8b")
    # The temporary files of atomic writes that a kill cut short, which nothing else removes.
    left = [run / "checkpoints" / ".gen-0003.pt.0a1b2c3d.tmp", run / ".ratings.json.u_9x2k7q.tmp",
            run / ".metrics.jsonl.00ff00ff.tmp"]
    for path in left:
        path.write_bytes(b"half a file")
    mine = run / ".notes.txt.0a1b2c3d.tmp"  # not the loop's
    mine.write_bytes(b"mine")
    # Resumed with its games played in bfloat16: the evaluation stays on ONNX Runtime.
    assert main(["loop", str(run), "--generations", "3", "--workers", "1", "--threads", "2",
                 "--eval-games", "4", "--arena-games", "8", "--train-threads", "1",
                 "--rating-games", "4", "--search-rating-games", "4", "--anneal", "0",
                 "--backend", "torch-bfloat16"]) == 0
    resumed = read_metrics(run / "metrics.jsonl")
    assert [m["generation"] for m in resumed] == [0, 1, 2, 3]
    assert not any(path.exists() for path in left) and mine.read_bytes() == b"mine"
    assert not list(run.rglob("*.part"))
    if importlib.util.find_spec("onnxruntime") is not None:
        assert (run / "checkpoints" / "gen-0003.onnx").exists()
    assert resumed[:2] == metrics[:2]
    assert (run / "games" / "gen-0002.jsonl.gz").read_bytes() == games_2
    assert (run / "checkpoints" / "gen-0002.pt").read_bytes() == checkpoint_2
    assert resumed[3]["train"]["total_steps"] == 15 and resumed[3]["window"]["total_games"] == 10
    # The last generation of the run's anneal (the last 30 % of its two generations) trained
    # at a tenth of the rate, the first at the full rate, and the third, extended without an
    # anneal, at the full rate again (all still warming up: 5 steps of 100 a generation).
    rates = [line["train"]["learning_rate"] for line in [*metrics[1:], resumed[3]]]
    assert rates == pytest.approx([2e-3 * 6 / 100, 0.1 * 2e-3 * 11 / 100, 2e-3 * 16 / 100])
    # Generation 2's evaluation played again: its rating games replaced, not counted twice,
    # and with the one match against an earlier generation of this invocation's default.
    assert _rating_games(run) == {0: 12, 1: 16, 2: 16, 3: 16}
    capsys.readouterr()
    assert main(["ratings", str(run)]) == 0
    table = capsys.readouterr().out
    assert all(name in table for name in ("gen-0003", "uniform", "heuristic",
                                          "heuristic-search32"))

    assert main(["loop", str(run), "--sims", "8", "--channels", "8"]) == 2
    err = capsys.readouterr().err
    assert "other settings" in err and "sims: 4 -> 8" in err and "channels" not in err
    assert json.loads((run / "settings.json").read_text())["sims"] == 4

    assert main(["plot", str(run), "--output", str(tmp_path / "curve.png")]) == 0
    assert (tmp_path / "curve.png").read_bytes()[:4] == b"\x89PNG"


def test_ctrl_c_in_the_rating_matches_keeps_none_of_the_generations_games(tmp_path,
                                                                            monkeypatch):
    run = tmp_path / "run"
    assert main(["loop", str(run), *LOOP, "--generations", "1"]) == 0
    kept = (run / "matches.jsonl").read_bytes()
    # A real Ctrl-C in the middle of generation 2's last rating match (the searching
    # heuristic's, played by the engine), its other matches played already.
    evaluations = 0
    played = evaluation_module.search_match

    def interrupted(candidate, opponent, *args, **kwargs):
        def evaluate(planes):
            nonlocal evaluations
            evaluations += 1
            if evaluations == 300:
                os.kill(os.getpid(), signal.SIGINT)
                # The match runs on a thread of its own: wait for the interruption to reach
                # it, as it would on its own at the next evaluation or two.
                deadline = time.monotonic() + 30
                while not kwargs["stop"]() and time.monotonic() < deadline:
                    time.sleep(0.01)
            return opponent.evaluate(planes)

        return played(candidate, SimpleNamespace(evaluate=evaluate), *args, **kwargs)

    monkeypatch.setattr(evaluation_module, "search_match", interrupted)
    assert main(["loop", str(run), *LOOP, "--generations", "2"]) == 130
    assert evaluations == 300
    assert [m["generation"] for m in read_metrics(run / "metrics.jsonl")] == [0, 1]
    assert (run / "matches.jsonl").read_bytes() == kept
    assert load_ratings(run / "ratings.json", run / "matches.jsonl") == fit_ratings(
        read_matches(run / "matches.jsonl"))
    monkeypatch.undo()
    assert main(["loop", str(run), *LOOP, "--generations", "2"]) == 0
    assert _rating_games(run) == {0: 12, 1: 16, 2: 20}


def test_ctrl_c_in_the_random_players_games_stops_the_matches_beside_them(tmp_path,
                                                                         monkeypatch):
    run = tmp_path / "run"
    assert main(["loop", str(run), *LOOP, "--generations", "1"]) == 0
    kept = (run / "matches.jsonl").read_bytes()
    # A real Ctrl-C as generation 2's games against random players start, in their worker
    # processes, while the rating matches are played here.
    played = evaluation_module.against_random

    def interrupted(*args, stop, **kwargs):
        def started(run):
            stop(run)
            os.kill(os.getpid(), signal.SIGINT)

        return played(*args, stop=started, **kwargs)

    monkeypatch.setattr(evaluation_module, "against_random", interrupted)
    assert main(["loop", str(run), *LOOP, "--generations", "2"]) == 130
    assert [m["generation"] for m in read_metrics(run / "metrics.jsonl")] == [0, 1]
    assert (run / "matches.jsonl").read_bytes() == kept


def test_the_settings_file_keeps_its_flat_names_while_the_search_settings_nest():
    # A run folder's settings.json as every earlier version wrote it must still resume.
    train = TrainSettings().as_dict()
    del train["precision"]
    model = ModelSettings().as_dict()
    del model["ownership"]
    saved = {"side": 7, "games": 5, "sims": 3, "first_games": 6, "first_sims": 1,
             "sample_moves": 9, "c_init": 1.5, "alpha": 0.4, "exploration_fraction": 0.2,
             "lookahead_temperature": 0.05, "steps": 11, "model": model, "train": train}
    settings = LoopSettings.from_dict(saved)
    # Written before the search had modes: played, and resumed, with the module's own search
    # and no playout cap; before training had a precision: resumed in float32; before the
    # network had an ownership head: without one.
    assert settings.as_dict() == dict(saved, search_mode=0, full_search_share=1.0, cheap_sims=0,
                                      playout_mix=0.0, gumbel_considered=16,
                                      gumbel_min_spread=0.0, gumbel_every_move=False,
                                      skip_forced_moves=False, initial_weights="",
                                      first_search=False,
                                      train=dict(train, precision="float32"),
                                      model=dict(model, ownership=False))
    assert settings.search == SearchSettings(dim=7, sims_per_move=3, sample_moves=9,
                                             c_init=1.5, dirichlet_alpha=0.4,
                                             exploration_fraction=0.2)
    assert settings.generation_search(1).sims_per_move == 1
    assert settings.generation_search(2) == settings.search
    with pytest.raises(ValueError, match="unknown setting"):
        LoopSettings.from_dict(dict(saved, dim=7))
    # What the file does not hold cannot differ from run to run.
    with pytest.raises(ValueError, match="the loop's search settings"):
        LoopSettings(search=SearchSettings(dim=7, rep=2))
    # The playout blend is read by tralix_engine's searches alone.
    for mix, mode, reason in ((1.5, 2, "--playout-mix: must be from 0 to 1, not 1.5"),
                              (0.5, 0, "--playout-mix needs --search-mode 1 or 2")):
        with pytest.raises(ValueError, match=reason):
            SearchSettings(dim=7, playout_mix=mix, search_mode=mode)
    with pytest.raises(ValueError, match="--gumbel-considered: must be from 1 to 1024, not 0"):
        SearchSettings(dim=7, gumbel_considered=0)
    # The loop blends playouts in by default, except with the self-play module's own search.
    assert LoopSettings().with_changes({}).search.playout_mix == 0.5
    assert LoopSettings().with_changes({"search_mode": 0}).search.playout_mix == 0.0
    assert LoopSettings().with_changes({"search_mode": 1}).search.playout_mix == 0.5
    with pytest.raises(ValueError, match="needs --search-mode 1 or 2"):
        LoopSettings().with_changes({"search_mode": 0, "playout_mix": 0.5})
    with pytest.raises(ValueError, match="--first-search: the search without a network"):
        LoopSettings().with_changes({"search_mode": 0, "first_search": True})
    # Changes reach the loop's own settings and each nested one, by field name.
    changed = LoopSettings().with_changes({"dim": 12, "steps": 3, "blocks": 2, "seed": 5})
    assert (changed.side, changed.steps, changed.model.blocks, changed.train.seed) == (12, 3, 2, 5)
    with pytest.raises(ValueError, match="unknown setting 'nosuch'"):
        LoopSettings().with_changes({"nosuch": 2})


def test_a_run_starts_from_a_network_trained_on_another_side(tmp_path, capsys):
    # A network of side 5 with weights of its own seed and no ownership head, the start of a
    # side-6 run with one.
    small = tmp_path / "side5.pt"
    Trainer(SIDE, ModelSettings(blocks=1, channels=8, ownership=False),
            TrainSettings(seed=7)).save(small)
    other = tmp_path / "wide.pt"
    Trainer(SIDE, ModelSettings(blocks=1, channels=16), TrainSettings()).save(other)
    options = [*LOOP[2:], "--side", "6", "--generations", "1"]
    refused = tmp_path / "refused"
    assert main(["loop", str(refused), *options, "--initial-weights", str(other)]) == 2
    assert "another network" in capsys.readouterr().err and not refused.exists()

    run = tmp_path / "run"
    assert main(["loop", str(run), *options, "--initial-weights", str(small)]) == 0
    assert json.loads((run / "settings.json").read_text())["initial_weights"] == str(small)
    start, _ = load_model(run / "checkpoints" / "gen-0000.pt", side=6)
    source, _ = load_model(small)
    assert start.ownership is not None and source.ownership is None
    for name, tensor in source.state_dict().items():
        assert torch.equal(start.state_dict()[name], tensor), name
    # Generation 1 is an ordinary one: its games, its search, and its records as targets.
    games = list(read_games(run / "games" / "gen-0001.jsonl.gz"))
    assert len(games) == 3 and {g["settings"]["sims_per_move"] for g in games} == {4}
    assert all(g.get("policy_targets", True) for g in games)


def test_generation_1_is_the_search_without_a_network_unless_asked_otherwise(tmp_path):
    searched, untrained = tmp_path / "searched", tmp_path / "untrained"
    assert main(["loop", str(searched), *LOOP, "--generations", "1"]) == 0
    assert main(["loop", str(untrained), *LOOP, "--generations", "1", "--no-first-search"]) == 0
    games = list(read_games(searched / "games" / "gen-0001.jsonl.gz"))
    assert len(games) == 4 and all(g.get("policy_targets", True) for g in games)
    assert {(g["settings"]["network"], g["settings"]["playout_mix"],
             g["settings"]["sims_per_move"]) for g in games} == {("uniform", 1.0, 2)}
    games = list(read_games(untrained / "games" / "gen-0001.jsonl.gz"))
    assert len(games) == 4 and not any(g.get("policy_targets", True) for g in games)
    assert {g["settings"]["network"] for g in games} != {"uniform"}
    # The search's records are policy targets: the first training measures a policy loss,
    # which the untrained network's games (the value alone) never do.
    first = read_metrics(searched / "metrics.jsonl")[1]["train"]
    assert first["policy_loss"] is not None and np.isfinite(first["policy_loss"])
    assert read_metrics(untrained / "metrics.jsonl")[1]["train"]["policy_loss"] is None
    # The self-play module's search has no playouts: generation 1 is then the untrained
    # network's, at the few simulations it is worth, and a saved run resumes as saved.
    module = LoopSettings().with_changes({"search_mode": 0})
    assert (module.first_search, module.first_sims) == (False, 8)
    saved = LoopSettings().with_changes({"search_mode": 0, "first_sims": 16})
    assert saved.first_sims == 16 and saved.with_changes({}) == saved


def test_a_folder_that_is_not_a_run_is_refused(tmp_path, capsys):
    (tmp_path / "notes.txt").write_text("mine")
    assert main(["loop", str(tmp_path), *LOOP]) == 2
    assert "is not empty and is not a run folder" in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["notes.txt"]


def test_a_loop_without_tensorboard_warns_once_and_ends_cleanly(tmp_path, caplog, monkeypatch):
    monkeypatch.setitem(sys.modules, "torch.utils.tensorboard", None)  # its import fails
    caplog.set_level(logging.WARNING, logger="tralix_harness")
    report = Report(RunFolder(tmp_path / "run"), io.StringIO())
    for generation in (0, 1):
        report.record({"generation": generation, "train": {"policy_loss": 1.5}})
    report.close()  # once raised AttributeError, the loop's last act
    assert caplog.text.count("tensorboard is not installed") == 1
    assert not (tmp_path / "run" / "tensorboard").exists()


def test_greedy_match_rotates_seats():
    heuristic = HeuristicNetwork(6)

    def policy(planes):
        return heuristic.evaluate(planes)[0]

    # The same player in every seat: each opening's four games are one game, seen from each
    # seat in turn, so the candidate's mean is exactly an even share.
    same = greedy_match(policy, policy, 6, 8, opening=3, seed=1)
    assert same.mean == 0.25 and same.half_width == 0.0 and same.games == 8
    # Against a player that always lays its smallest valid tile, the heuristic does better.
    def smallest(planes):
        return np.zeros((len(planes), 36), np.float32)

    better = greedy_match(policy, smallest, 6, 16, opening=2, seed=2)
    assert better.mean > 0.25 and better.evaluations > 0


def test_the_engines_match_replays_the_greedy_match():
    # Two networks with unlike linear policies: with no search the engine's match, each
    # network answering through the shared pipe, plays the same games seat for seat as the
    # greedy match played here.
    rng = np.random.default_rng(4)
    first, second = ((lambda planes, w=w: planes.reshape(len(planes), -1) @ w)
                     for w in rng.normal(size=(2, 5 * 36, 36)).astype(np.float32))
    here, engine = [], []
    greedy = greedy_match(first, second, 6, 8, opening=0, seed=1, outcomes=here)
    matched = search_match(PolicyNetwork(first), PolicyNetwork(second), 0, 6, 8, opening=0,
                           seed=1, outcomes=engine)
    assert engine == here and matched.mean == greedy.mean and matched.games == 8


def test_matches_side_by_side_play_what_they_play_one_after_the_other():
    heuristic = HeuristicNetwork(6)

    def greedy(opponent):
        return lambda seed, played, stop: greedy_match(
            lambda planes: heuristic.evaluate(planes)[0], opponent, 6, 8, opening=2, seed=seed,
            outcomes=played, stop=stop)

    def searching(seed, played, stop):
        return search_match(PolicyNetwork(random_policy(seed)), HeuristicNetwork(6), 8, 6, 4,
                            opening=2, seed=seed, outcomes=played, stop=stop)

    def matches():  # a random player's draws go on from match to match: fresh ones
        return [greedy(random_policy(3)), searching, greedy(random_policy(4))]

    one, two = play_matches(matches(), 11, 1), play_matches(matches(), 11, 2)
    assert [(s.mean, games) for s, games in one] == [(s.mean, games) for s, games in two]
    assert [len(games) for _, games in one] == [8, 4, 8]

    # A match that fails stops the others at their next move, and the failure comes out.
    # The watched match waits at its first move until the failure is out, so that it cannot
    # finish its games before the stop reaches it.
    asked = []
    raised = threading.Event()

    def failing(seed, played, stop):
        raised.set()
        raise ValueError("broken")

    def watched(seed, played, stop):
        def check():
            raised.wait(10)
            deadline = time.monotonic() + 10
            while not stop() and time.monotonic() < deadline:
                time.sleep(0.01)
            asked.append(stop())
            return asked[-1]
        return searching(seed, played, check)

    with pytest.raises(ValueError, match="broken"):
        play_matches([watched, failing], 0, 2)
    assert asked[-1] is True
    with pytest.raises(MatchStopped):
        greedy_match(random_policy(0), random_policy(1), 6, 4, opening=0, seed=0,
                     stop=lambda: True)
