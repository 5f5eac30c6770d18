"""The fixed ladder: the table of a match whose order is known (a stand-in for the games), the
references read back from their file in a second invocation, real games in worker processes
and in this one giving the same results, the distinct games counted against the games' own
histories, and an interrupted invocation leaving no process behind."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time

import pytest

import tralix_engine
from tralix_harness.learning import ladder as ladder_module
from tralix_harness.learning.ladder import (
    OPENING_TILES,
    REFERENCES,
    Ladder,
    LadderSettings,
)
from tralix_harness.learning.ladder_cache import ReferenceCache
from tralix_harness.learning.ladder_play import GameOutcome, GameTask, SeatKind
from tralix_harness.local.openings import arena_opening
from tralix_harness.networks.names import NetworkName

REFERENCE_NAMES = [r.name for r in REFERENCES]


def tralix(*args, timeout=300):
    return subprocess.run([sys.executable, "-m", "tralix_harness", *args],
                          capture_output=True, text=True, timeout=timeout)


def strength(task: GameTask, seat: int) -> float:
    """The stand-in's order of play: random < heuristic < 64 simulations < the checkpoint
    (any other network) < 256 simulations; equal players ordered by the game's seed."""
    player = task.seats[seat]
    base = {SeatKind.RANDOM: 0.0, SeatKind.SEARCH: 1.0 + player.sims / 64}.get(player.kind)
    if base is None:
        base = 1.0 if player.network == "heuristic" else 3.5
    return base + ((task.seed >> (8 * seat)) % 256) / 1000


def stand_in(tasks, workers, on_game):
    for index, task in enumerate(tasks):
        points = tuple(strength(task, seat) for seat in range(4))
        outcome = tuple(1.0 if p == max(points) else 0.0 for p in points)
        on_game(index, GameOutcome(outcome, points, f"{task.opening}:{task.number % 4}"))


def test_a_known_order_gives_its_table_and_the_references_come_back_identical(
        tmp_path, monkeypatch):
    played = []

    def counted(tasks, workers, on_game):
        played.append(len(tasks))
        stand_in(tasks, workers, on_game)

    monkeypatch.setattr(ladder_module, "play_games", counted)
    cache = ReferenceCache(tmp_path / "references.json")
    settings = LadderSettings(side=5, games=7, reference_games=12, workers=1)
    first = Ladder([("uniform", NetworkName.parse("uniform"))], settings, cache)
    assert first.games_to_play == 3 * 12 + 4 * 8  # --games rounded up to whole openings
    result = first.play()
    order = [player for player, _ in result.ranked()]
    assert order == ["search256", "uniform (checkpoint)", "search64", "heuristic", "uniform"]
    assert result.ratings["uniform"].mu == 0.0 and result.ratings["uniform"].sigma == 0.0
    scores = {s.opponent: s for s in result.scores}
    assert scores["uniform"].mean == 1.0 and scores["search256"].mean == 0.0
    # Two openings all won (all lost) are no certainty: the exact bound of 2 trials.
    assert scores["uniform"].half_width == scores["search256"].half_width == pytest.approx(
        1 - 0.025 ** 0.5)
    assert scores["search64"].games == 8 and scores["search64"].openings == 2
    # The stand-in's games differ by opening and seat only: 4 per opening.
    assert {s.distinct for s in result.scores} == {8}
    # A second invocation reads the references' games and plays the checkpoint's alone.
    again = Ladder([("a", NetworkName.parse("heuristic"))], settings, cache)
    assert again.games_to_play == 4 * 8
    second = again.play()
    assert played == [3 * 12 + 4 * 8, 4 * 8]
    for name in REFERENCE_NAMES:
        assert second.ratings[name] == result.ratings[name]
    assert all(s.cached for s in second.reference_scores)
    assert [s.as_dict() | {"cached": True} for s in second.reference_scores] == [
        s.as_dict() | {"cached": True} for s in result.reference_scores]
    # The heuristic given as a checkpoint plays as the reference does: rated near it.
    assert abs(second.ratings["a"].mu - second.ratings["heuristic"].mu) < 3.0
    # Meeting some references only plays those matches, game for game the same.
    some = Ladder([("a", NetworkName.parse("heuristic"))], settings, cache,
                  against=("search256", "heuristic"))
    assert some.games_to_play == 2 * 8
    third = some.play()
    assert [s.as_dict() for s in third.scores] == [
        s.as_dict() for s in second.scores if s.opponent in ("heuristic", "search256")]
    with pytest.raises(ValueError, match="search128"):
        Ladder([("a", NetworkName.parse("heuristic"))], settings, cache, against=("search128",))


def test_real_games_count_their_distinct_histories_from_distinct_openings(tmp_path, monkeypatch):
    histories = []
    play_match = tralix_engine.play_match

    def recording(*args, **kwargs):
        outcome, history = play_match(*args, **kwargs)
        histories.append(tuple(tile for _, tile in history))
        return outcome, history

    monkeypatch.setattr(tralix_engine, "play_match", recording)
    settings = LadderSettings(side=5, games=12, reference_games=8, workers=1, seed=3)
    ladder = Ladder([("heuristic", NetworkName.parse("heuristic"))], settings,
                    ReferenceCache(tmp_path / "references.json"))
    matches = ladder._to_play()
    result = ladder.play()
    by_match = {}
    for match in matches:
        tasks = match.tasks(5, 3, ladder.backend)
        openings = [tasks[4 * k].opening for k in range(match.openings)]
        assert len(set(openings)) == match.openings  # the arena's openings, all different
        assert openings == [tuple(arena_opening(5, OPENING_TILES, 3, k))
                            for k in range(match.openings)]
        by_match[(match.rated.name, match.opponent.name)] = len(set(histories[:len(tasks)]))
        del histories[:len(tasks)]
    assert histories == []
    for score in [*result.scores, *result.reference_scores]:
        assert score.distinct == by_match[(score.rated, score.opponent)]
    # The greedy heuristic against itself replays one game per opening but for tie-breaks.
    mirror = next(s for s in result.scores if s.opponent == "heuristic")
    assert mirror.distinct < mirror.games


def test_worker_processes_and_a_second_invocation_give_the_same_ladder(tmp_path):
    references = tmp_path / "cache" / "references.json"
    common = ["--side", "5", "--games", "8", "--reference-games", "8", "--seed", "1",
              "--references", str(references)]
    first = tralix("ladder", "heuristic", *common, "--workers", "2", "--json",
                   str(tmp_path / "first.json"))
    assert first.returncode == 0, first.stderr
    assert "3 played now" in first.stdout and " pinned " in first.stdout
    second = tralix("ladder", "uniform", "heuristic", *common, "--workers", "1", "--json",
                    str(tmp_path / "second.json"))
    assert second.returncode == 0, second.stderr
    assert "0 played now" in second.stdout
    a, b = (json.loads((tmp_path / f"{n}.json").read_text()) for n in ("first", "second"))
    ratings_a = {r["player"]: r for r in a["ratings"]}
    ratings_b = {r["player"]: r for r in b["ratings"]}
    for name in REFERENCE_NAMES:
        assert ratings_a[name] == ratings_b[name]
    assert ratings_b["uniform"]["rating"] == 0.0 and ratings_b["uniform"]["sigma"] == 0.0
    assert [r["rating"] for r in b["ratings"]] == sorted(
        (r["rating"] for r in b["ratings"]), reverse=True)
    # The same games in two worker processes and in the command's own.
    checkpoint = "heuristic (checkpoint)"
    assert [s for s in a["scores"] if s["rated"] == checkpoint] == [
        s for s in b["scores"] if s["rated"] == checkpoint]
    assert ratings_a[checkpoint] == ratings_b[checkpoint]
    assert {r["kind"] for r in b["ratings"] if r["player"] in REFERENCE_NAMES} == {"reference"}
    assert {s["opponent"] for s in b["scores"] if s["rated"] == "uniform (checkpoint)"} == set(
        REFERENCE_NAMES)
    # A damaged match in the file is played again, with a warning, to the same games.
    kept = json.loads(references.read_text())
    key = next(k for k in kept["matches"] if "search64 vs 3 heuristic" in k)
    damaged = json.loads(json.dumps(kept))
    damaged["matches"][key] = kept["matches"][key][:3]
    references.write_text(json.dumps(damaged))
    third = tralix("ladder", "heuristic", *common, "--workers", "1", "--sims", "2")
    assert third.returncode == 0, third.stderr
    assert "each checkpoint searching 2 simulations per move" in third.stdout
    assert "are damaged (3 games, 8 expected): played again" in third.stderr
    assert "1 played now" in third.stdout
    assert json.loads(references.read_text()) == kept
    table = [line for line in third.stdout.splitlines() if line.startswith("  search64 ")]
    assert table == [line for line in first.stdout.splitlines()
                     if line.startswith("  search64 ")]


def test_bad_invocations_are_one_line_and_status_2(tmp_path):
    foreign = tmp_path / "notes.json"
    foreign.write_text('{"mine": 1}\n')
    cases = [
        (["heuristic", "heuristic"], "tralix: checkpoint heuristic: given twice"),
        (["heuristic", "--references", str(foreign)],
         f"tralix: {foreign}: is not a file of the ladder's reference matches"),
        (["heuristic", "--json", str(foreign)],
         f"--json {foreign}: exists and is not a file tralix ladder wrote"),
        (["nosuch.pt"], "tralix ladder: argument CHECKPOINT: nosuch.pt: no such checkpoint"),
        (["heuristic", "--games", "0"],
         "tralix ladder: argument --games: must be at least 1, not 0"),
        (["heuristic", "--workers", "0"],
         "tralix ladder: argument --workers: must be at least 1, not 0"),
        (["heuristic", "--sims", "-1"],
         "tralix ladder: argument --sims: must be at least 0, not -1"),
    ]
    for arguments, said in cases:
        references = [] if "--references" in arguments else [
            "--references", str(tmp_path / "references.json")]
        done = tralix("ladder", *arguments, "--side", "5", *references)
        assert done.returncode == 2 and done.stdout == "", (arguments, done.stderr)
        assert done.stderr.count("\n") == 1 and said in done.stderr, done.stderr
    missing = tralix("ladder", "heuristic")
    assert missing.returncode == 2
    assert missing.stderr == "tralix ladder: the following arguments are required: --side\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["notes.json"]
    assert foreign.read_text() == '{"mine": 1}\n'


def test_an_interrupted_ladder_ends_its_worker_processes(tmp_path):
    process = subprocess.Popen(
        [sys.executable, "-m", "tralix_harness", "ladder", "heuristic", "--side", "14",
         "--games", "400", "--workers", "2", "--references", str(tmp_path / "r.json")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
        # As from a terminal: a shell's background job inherits Ctrl-C ignored, and so would
        # the command under test.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        time.sleep(4.0)  # the workers started and playing
        assert process.poll() is None
        os.killpg(process.pid, signal.SIGINT)  # as Ctrl-C in a terminal: the whole group
        _, err = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    assert process.returncode == 130
    assert "interrupted: the reference matches that finished are kept in" in err
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            os.killpg(process.pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.1)
    else:
        pytest.fail("worker processes outlived the interrupted command")
