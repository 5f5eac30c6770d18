"""The harness's runs through tralix_engine: self-play records of the sound and Gumbel searches
as training targets, searching players against random ones, the seat-rotated arena from
random openings, and the learning commands' checks of their counts."""

import json
import re
import subprocess
import sys

import numpy as np
import pytest

import tralix_rules as tr
from tralix_harness.base.settings import SearchSettings
from tralix_harness.cli.games import arena_summary
from tralix_harness.data.records import game_line
from tralix_harness.data.samples import game_samples
from tralix_harness.local.lifecycle import GameStatus
from tralix_harness.local.options import RunKind, RunOptions
from tralix_harness.local.run import Run


def run_games(kind, games, settings, networks, **options):
    with Run(RunOptions(kind=kind, games=games, settings=settings, networks=networks,
                        workers=1, threads=2, **options)) as run:
        results = list(run)
    assert all(r.status is GameStatus.FINISHED for r in results)
    return sorted(results, key=lambda r: r.number)


@pytest.mark.parametrize("mode", [1, 2])
@pytest.mark.parametrize("share", [1.0, 0.5])
def test_records_of_the_engine_become_policy_targets(mode, share):
    side = 6
    settings = SearchSettings(dim=side, sims_per_move=6, search_mode=mode,
                              full_search_share=share, cheap_sims=2)
    [result] = run_games(RunKind.SELFPLAY, 1, settings, ["heuristic"])
    line = json.loads(game_line(0, side, result.game, settings.as_dict()))
    samples = game_samples(line, side)
    assert samples.policy_mask.any()
    # Under the playout cap the cheaply searched moves have empty records and no target;
    # every move with more than one valid tile and a record is one.
    cheap = [not record for record in line["records"]]
    assert any(cheap) == (share < 1)
    game = tr.Game(side)
    for i, (_, tile) in enumerate(line["history"]):
        begin, end = samples.offsets[i], samples.offsets[i + 1]
        assert samples.policy_mask[i] == (not cheap[i] and len(game.valid_tiles()) > 1)
        if samples.policy_mask[i]:
            assert float(samples.shares[begin:end].astype(np.float64).sum()) == pytest.approx(
                1.0, abs=2e-3)
            assert set(samples.tiles[begin:end].tolist()) <= set(game.valid_tiles())
        game.apply(tile)
    # A game stored as the untrained network's teaches the value alone.
    masked = game_samples(dict(line, policy_targets=False), side)
    assert not masked.policy_mask.any()
    assert np.array_equal(masked.value, samples.value)


def test_searching_and_greedy_players_in_the_harness_runs():
    side = 6
    settings = SearchSettings(dim=side, search_mode=1)
    for sims in (0, 4):
        scores = run_games(RunKind.RANDOM, 4, settings, ["heuristic"], match_sims=sims)
        # Shares of a tie come through single precision: 1/3 is not exact.
        assert all(min(abs(r.score - v) for v in (0.0, 0.25, 1 / 3, 0.5, 1.0)) < 1e-6
                   for r in scores)
    # The arena: four games from each opening, the network in each seat once; every game
    # replays from its opening, and the score is the network's seat's.
    results = run_games(RunKind.ARENA, 8, settings, ["heuristic", "uniform"], match_sims=3,
                        arena_opening=4, seed=5)
    for opening in range(2):
        games = results[4 * opening:4 * opening + 4]
        assert len({tuple(map(tuple, g.history[:4])) for g in games}) == 1
        for seat, game in enumerate(games):
            replay = tr.Game(side)
            for player, tile in game.history:
                assert replay.current_player == player
                replay.apply(tile)
            assert replay.is_over() and replay.outcome()[seat] == pytest.approx(game.score)
    # The searches draw from the arena's seed and the game's number: the match replays game
    # for game, whichever slot played which game; another seed plays other games.
    again = run_games(RunKind.ARENA, 8, settings, ["heuristic", "uniform"], match_sims=3,
                      arena_opening=4, seed=5)
    assert [g.history for g in again] == [g.history for g in results]
    other = run_games(RunKind.ARENA, 8, settings, ["heuristic", "uniform"], match_sims=3,
                      arena_opening=4, seed=6)
    assert [g.history for g in other] != [g.history for g in results]
    # The summary counts the games that differ: identical greedy players mostly replay one
    # game from each opening (ties of priors aside).
    same = run_games(RunKind.ARENA, 8, settings, ["heuristic", "heuristic"], seed=5)
    distinct = len({tuple(map(tuple, g.history)) for g in same})
    assert distinct < 8
    assert arena_summary(same).endswith(f"from 2 openings, {distinct} distinct games; 0.25 is "
                                         "even")
    assert "0.250 ± 0.000" in arena_summary(same)


def tralix(*args):
    return subprocess.run([sys.executable, "-m", "tralix_harness", *args], capture_output=True,
                          text=True, timeout=120)


def test_the_arena_counts_distinct_games_and_train_checks_its_counts(tmp_path):
    done = tralix("arena", "--side", "6", "--games", "5", "--workers", "1", "--threads", "2",
                  "--network", "heuristic", "--baseline", "heuristic")
    assert done.returncode == 0, done.stderr
    assert re.search(r"over 8 games from 2 openings, [2-8] distinct games", done.stdout)
    data = tmp_path / "games.jsonl.gz"
    data.write_bytes(b"")
    for option, value in (("--checkpoint-every", "0"), ("--checkpoint-every", "-3"),
                          ("--steps", "-1"), ("--side", "3")):
        done = tralix("train", str(data), "--output", str(tmp_path / "n.pt"), option, value)
        assert done.returncode == 2 and f"argument {option}" in done.stderr
    assert not (tmp_path / "n.pt").exists()
