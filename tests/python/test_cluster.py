"""Games on a Ray cluster: a two-node cluster started on this machine inside a network namespace
that holds only the loopback interface (so Ray advertises 127.0.0.1 and nothing leaves the
machine), driven through the command line by cluster_scenario.py; a node's player without
Ray; and the command line without --ray, which must not import Ray at all."""

from __future__ import annotations

import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import tralix_rules
from tralix_harness.base.settings import SearchSettings
from tralix_harness.cluster.player import NodePlayer, ShippedNetwork
from tralix_harness.data.records import read_games
from tralix_harness.local.lifecycle import GameStatus
from tralix_harness.local.options import RunKind, RunOptions
from tralix_harness.networks.names import NetworkKind

# Ray's own programs and the worker processes do not run under a preloaded sanitizer runtime.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="Ray does not run under the sanitizer runtime")

HERE = Path(__file__).parent
# A new network namespace with only loopback, and a new process-id namespace whose processes
# all end when the command does (or when the test kills it).
ISOLATED = ["unshare", "--net", "--pid", "--fork", "--mount-proc", "--kill-child",
            "sh", "-c", 'ip link set lo up && "$@"', "sh"]


def _isolation_refused() -> str | None:
    try:
        probe = subprocess.run([*ISOLATED, "true"], capture_output=True, text=True, timeout=30)
    except FileNotFoundError:
        return "unshare is not installed"
    if probe.returncode:
        return f"namespaces cannot be made here: {probe.stderr.strip()}"
    return None


def _isolated(args: list[str], timeout: float) -> subprocess.CompletedProcess[str]:
    refused = _isolation_refused()
    if refused:
        pytest.skip(f"the cluster tests need a network namespace of their own: {refused}")
    return subprocess.run([*ISOLATED, *args], capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def scenario(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Any]:
    pytest.importorskip("ray")
    pytest.importorskip("torch")
    work = tmp_path_factory.mktemp("cluster")
    done = _isolated([sys.executable, str(HERE / "cluster_scenario.py"), str(work)],
                     timeout=3600)
    report_file = work / "report.json"
    assert done.returncode == 0 and report_file.exists(), (
        f"the scenario failed:\n{done.stdout}\n{done.stderr[-5000:]}")
    report: dict[str, Any] = json.loads(report_file.read_text())
    report["work"] = work
    return report


def _checked_games(path: Path, side: int) -> list[int]:
    """Each game's id, after checking the game tile by tile: every tile valid when laid and
    laid by the player to move, the game over at its end with the outcome stored, one
    search record per tile that offered the tile laid."""
    ids = []
    for game in read_games(path):
        history = game["history"]
        tiles = [tile for _, tile in history]
        _, players, _ = tralix_rules.replay(side, tiles, 1)  # ValueError at an invalid tile
        assert players.tolist() == [player for player, _ in history]
        board = tralix_rules.Game(side)
        for tile in tiles:
            board.apply(tile)
        assert board.is_over() and game["side"] == side
        assert list(board.outcome()) == pytest.approx(game["outcome"])
        assert len(game["records"]) == len(history)
        for tile, record in zip(tiles, game["records"], strict=True):
            assert tile in {child for child, _ in record}
        ids.append(game["id"])
    return ids


def _players_on(stderr: str) -> int:
    found = re.search(r"Ray cluster: a player on (.*)", stderr)
    assert found, stderr
    return len(found.group(1).split("], "))


def test_selfplay_across_two_nodes_replays_the_games_of_a_lost_node(
        scenario: dict[str, Any]) -> None:
    lost = scenario["lost"]
    assert lost["removed"] and not lost.get("hung"), lost["stderr"][-3000:]
    assert lost["code"] == 0, lost["stderr"][-3000:]
    assert _players_on(lost["stderr"]) == 2
    ids = _checked_games(Path(lost["output"]), 7)
    assert sorted(ids) == list(range(lost["games"]))  # every game once, none twice
    summary = re.search(r"lost node .* with (\d+) unfinished games; (\d+) games played again",
                        lost["stderr"])
    assert summary, lost["stderr"][-3000:]
    assert int(summary.group(1)) == int(summary.group(2)) >= 1
    assert f"self-play: {lost['games']} games written" in lost["stderr"]


def test_a_stopped_run_keeps_its_finished_games_and_ends_every_process(
        scenario: dict[str, Any]) -> None:
    stopped = scenario["stopped"]
    assert stopped["signalled"] and not stopped.get("hung"), stopped["stderr"][-3000:]
    assert stopped["code"] == 130 and "interrupted" in stopped["stderr"]
    ids = _checked_games(Path(stopped["output"]), 7)
    assert 3 <= len(ids) < 400 and len(set(ids)) == len(ids)
    written = re.search(r"self-play: (\d+) games written", stopped["stderr"])
    assert written and int(written.group(1)) == len(ids)
    assert stopped["left_running"] == []


def test_a_failing_network_fails_the_run_as_it_does_locally(scenario: dict[str, Any]) -> None:
    failing = scenario["failing"]
    assert failing["code"] == 1 and not failing.get("hung"), failing["stderr"][-3000:]
    assert re.search(r"run stopped: node .*: network 'harness_networks:failing' failed: "
                     r"RuntimeError: the model is broken", failing["stderr"]), failing["stderr"]
    assert "played again" not in failing["stderr"]  # a failure, not a lost node


def test_the_loop_plays_its_games_on_the_cluster(scenario: dict[str, Any]) -> None:
    loop = scenario["loop"]
    assert loop["code"] == 0 and not loop.get("hung"), loop["stderr"][-3000:]
    assert _players_on(loop["stderr"]) == 2
    run = scenario["work"] / "run"
    metrics = [json.loads(line) for line in (run / "metrics.jsonl").read_text().splitlines()]
    assert [m["generation"] for m in metrics] == [0, 1, 2]
    for line in metrics:
        assert line["random"]["games"] == 4 and line["random_baseline"]["games"] == 4
    # Each checkpoint goes to the cluster once, though generations 0 and 1 are each used by
    # two runs (the evaluation of one generation, the self-play of the next): as its ONNX
    # file when ONNX Runtime runs it.
    suffix = "onnx" if importlib.util.find_spec("onnxruntime") is not None else "pt"
    sent = re.findall(rf"network .*/(gen-\d+)\.{suffix} sent to the cluster", loop["stderr"])
    assert sent == ["gen-0000", "gen-0001", "gen-0002"], loop["stderr"][-3000:]
    for generation in (1, 2):
        games = run / "games" / f"gen-{generation:04d}.jsonl.gz"
        assert sorted(_checked_games(games, 5)) == list(range(6))
        assert metrics[generation]["selfplay"]["games"] == 6
        assert (run / "checkpoints" / f"gen-{generation:04d}.pt").exists()


@pytest.mark.parametrize("command, address, environment, code, error", [
    ("selfplay", "127.0.0.1:9", "", 1, "tralix: cannot reach the Ray cluster at 127.0.0.1:9"),
    ("selfplay", "auto", "RAY_ADDRESS=127.0.0.1:9", 1, "tralix: cannot reach the Ray cluster"),
    ("loop", "127.0.0.1:9", "", 1, "tralix: cannot reach the Ray cluster at 127.0.0.1:9"),
    ("selfplay", "nowhere", "", 2, "tralix selfplay: argument --ray: a Ray cluster's address"),
])
def test_an_unreachable_cluster_is_one_error_line(tmp_path: Path, command: str, address: str,
                                                  environment: str, code: int,
                                                  error: str) -> None:
    pytest.importorskip("ray")
    target = ["--output", str(tmp_path / "games.jsonl.gz")] if command == "selfplay" else []
    if command == "loop":
        target = [str(tmp_path / "run")]
    done = _isolated(["env", *environment.split(), sys.executable, "-m", "tralix_harness",
                      command, *target, "--ray", address], timeout=120)
    lines = done.stderr.strip().splitlines()
    assert done.returncode == code and len(lines) == 1, done.stderr
    assert lines[0].startswith(error), done.stderr
    assert not any(tmp_path.iterdir())  # nothing written, no run folder made


def test_without_ray_the_commands_never_import_it(tmp_path: Path) -> None:
    output = tmp_path / "games.jsonl.gz"
    script = ("import sys\nfrom tralix_harness.cli import main\n"
              f"code = main(['selfplay', '--games', '2', '--side', '5', '--sims', '2', "
              f"'--workers', '1', '--threads', '2', '--output', {str(output)!r}])\n"
              "assert code == 0, code\n"
              "assert not [m for m in sys.modules if m == 'ray' or m.startswith('ray.')]\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert sorted(_checked_games(output, 5)) == [0, 1]


# ----- a node's player, without Ray -----------------------------------------------------


def _options(games: int, numbers: tuple[int, ...] | None = None,
             network: str = "heuristic", sims: int = 4) -> RunOptions:
    return RunOptions(kind=RunKind.SELFPLAY, games=games,
                      settings=SearchSettings(dim=5, sims_per_move=sims), networks=[network],
                      workers=1, threads=2, numbers=numbers)


def _take_all(player: NodePlayer, job: int) -> tuple[list[Any], list[Any]]:
    results, batches = [], []
    for _ in range(600):
        batch = player.take(job, wait=1.0, linger=0.2, limit=3)
        assert batch.job == job and len(batch.results) <= 3
        batches.append(batch)
        results += batch.results
        if batch.finished:
            return results, batches
    raise AssertionError("the job never finished")


def test_a_player_runs_jobs_of_given_numbers_and_hands_out_batches() -> None:
    player = NodePlayer()
    try:
        numbers = (7, 3, 11, 20, 5)
        player.start(1, _options(5, numbers), ["heuristic"])
        with pytest.raises(RuntimeError, match="still running"):
            player.start(2, _options(1), ["heuristic"])
        results, batches = _take_all(player, 1)
        assert sorted(r.number for r in results) == sorted(numbers)
        assert all(r.status is GameStatus.FINISHED for r in results)
        assert batches[-1].failure is None and batches[-1].served > 0
        # A stale job's take says so at once; the next job starts on the same player.
        assert player.take(0, wait=5.0, linger=0.0, limit=3).failure is not None
        player.start(2, _options(2), ["heuristic"])
        results, _ = _take_all(player, 2)
        assert sorted(r.number for r in results) == [0, 1]
    finally:
        player.close()


def test_a_stopped_job_keeps_its_finished_games_and_a_shipped_network_becomes_a_file(
        tmp_path: Path) -> None:
    pytest.importorskip("torch")
    from tralix_harness.learning.settings import TrainSettings
    from tralix_harness.learning.trainer import Trainer
    from tralix_harness.networks.model import load_model
    from tralix_harness.networks.settings import ModelSettings

    checkpoint = tmp_path / "net.pt"
    Trainer(5, ModelSettings(blocks=1, channels=8), TrainSettings()).save(checkpoint)
    content = checkpoint.read_bytes()
    player = NodePlayer()
    try:
        shipped = ShippedNetwork("abc123", content)
        assert player._network_name(shipped) == player._network_name(shipped)
        name = player._network_name(shipped)
        assert name.kind is NetworkKind.TORCH and name.path is not None
        assert name.path.read_bytes() == content
        load_model(name.path, 5)
        player.start(1, _options(500, sims=8), [shipped])
        first = player.take(1, wait=120.0, linger=0.0, limit=1)
        assert len(first.results) == 1 and not first.finished
        player.stop()
        rest, batches = _take_all(player, 1)
        numbers = [r.number for r in first.results + rest]
        assert len(numbers) == len(set(numbers)) < 500
        assert batches[-1].failure is None  # stopped on request: not a failure
    finally:
        player.close()
    assert not name.path.exists()


# ----- addresses and shares ---------------------------------------------------------------


def test_addresses_and_shares() -> None:
    from tralix_harness.cluster.address import split_address

    assert split_address("10.1.2.3:6379") == ("10.1.2.3", 6379)
    assert split_address("ray://head:10001") == ("head", 10001)
    assert split_address("[::1]:6379") == ("::1", 6379)
    for bad in ("head", "head:", ":6379", "head:port", "head:0", "head:70000", ""):
        assert split_address(bad) is None, bad
    pytest.importorskip("ray")
    from tralix_harness.cluster.run import _split

    for count, parts in ((10, 3), (2, 3), (0, 2), (7, 7)):
        shares = _split(list(range(count)), parts)
        assert len(shares) == parts and sum(shares, []) == list(range(count))
        assert max(map(len, shares)) - min(map(len, shares)) <= 1
