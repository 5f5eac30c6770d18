"""Runs the command line against a two-node Ray cluster started on this machine and writes what
happened to WORKDIR/report.json, for test_cluster.py to check.

Run it inside a network namespace that holds only the loopback interface (test_cluster.py does
so), where Ray advertises 127.0.0.1 and nothing leaves the machine. In order: the training loop
for two generations on side 5; self-play with a network that fails; self-play across both
nodes with the second node removed mid-run; a node added again and a self-play run stopped by
SIGTERM; the processes left after it.
"""

from __future__ import annotations

import json
import logging
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

from ray.cluster_utils import Cluster

from tralix_harness.data.records import read_games

NODE: dict[str, Any] = {"num_cpus": 1, "object_store_memory": 80 * 2**20}
HEAD = dict(NODE, include_dashboard=False,
            # A removed node is noticed within a few seconds.
            _system_config={"health_check_initial_delay_ms": 0,
                            "health_check_period_ms": 1000,
                            "health_check_failure_threshold": 3})
PLAY = ["--workers", "1", "--threads", "2", "--side", "7", "--sims", "16"]
# Seconds for any one command: a hang fails the test instead of blocking it (generous: a
# machine busy with other work can slow the commands many times over).
DEADLINE = 900.0


def _tralix(*args: str, path: str = "") -> subprocess.Popen[str]:
    """The command line, with ``path`` added to PYTHONPATH (Ray's workers get it too)."""
    environment = dict(os.environ)
    if path:
        environment["PYTHONPATH"] = os.pathsep.join(
            p for p in (path, environment.get("PYTHONPATH")) if p)
    return subprocess.Popen([sys.executable, "-m", "tralix_harness", *args], env=environment,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def _finish(process: subprocess.Popen[str], **extra: Any) -> dict[str, Any]:
    try:
        out, err = process.communicate(timeout=DEADLINE)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
        extra["hung"] = True
    return dict(extra, code=process.returncode, stdout=out, stderr=err)


def _games_in(path: Path) -> int:
    try:
        return sum(1 for _ in read_games(path))
    except (OSError, EOFError, ValueError):
        return 0  # not there yet, or its first block is being written


def _when_games(process: subprocess.Popen[str], path: Path, count: int) -> bool:
    """Waits until the file holds ``count`` games; False if the command ended first."""
    deadline = time.monotonic() + DEADLINE
    while time.monotonic() < deadline and process.poll() is None:
        if _games_in(path) >= count:
            return True
        time.sleep(0.1)
    return False


def _harness_processes() -> list[str]:
    """The command lines of the players and of the harness's worker and server processes
    still running (this namespace has its own process ids: only this scenario's are seen)."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            command = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode()
            state = (entry / "stat").read_text().split(")")[-1].split()[0]
        except OSError:
            continue
        if ("multiprocessing" in command or "NodePlayer" in command) and state != "Z":
            found.append(command)
    return found


def main() -> None:
    work = Path(sys.argv[1])
    report: dict[str, Any] = {}
    cluster = Cluster(initialize_head=True, head_node_args=HEAD)
    second = cluster.add_node(**NODE)
    cluster.wait_for_nodes()
    try:
        loop = _tralix("loop", str(work / "run"), "--ray", cluster.address, "--side", "5",
                       "--games", "6", "--first-games", "6", "--sims", "4", "--first-sims", "2",
                       "--steps", "4", "--blocks", "1", "--channels", "8", "--batch-size",
                       "16", "--eval-games", "4", "--arena-games", "4", "--workers", "1",
                       "--threads", "2", "--train-threads", "1", "--generations", "2")
        report["loop"] = _finish(loop)

        failing = _tralix("selfplay", "--ray", cluster.address, "--games", "6", *PLAY,
                          "--network", "harness_networks:failing", "--output",
                          str(work / "failing.jsonl.gz"), path=str(Path(__file__).parent))
        report["failing"] = _finish(failing)

        output = work / "lost.jsonl.gz"
        # Enough games that many are still unfinished when the node goes: 40 once all
        # finished in the moment it took to remove it.
        selfplay = _tralix("selfplay", "--ray", cluster.address, "--games", "200", *PLAY,
                           "--output", str(output))
        removed = _when_games(selfplay, output, 4)
        if removed:
            cluster.remove_node(second)
        report["lost"] = _finish(selfplay, removed=removed, games=200, output=str(output))

        cluster.add_node(**NODE)
        cluster.wait_for_nodes()
        output = work / "stopped.jsonl.gz"
        selfplay = _tralix("selfplay", "--ray", cluster.address, "--games", "400", *PLAY,
                           "--output", str(output))
        signalled = _when_games(selfplay, output, 3)
        if signalled:
            selfplay.send_signal(signal.SIGTERM)
        sent = time.monotonic()
        report["stopped"] = _finish(selfplay, signalled=signalled, output=str(output))
        report["stopped"]["seconds_to_exit"] = time.monotonic() - sent
        deadline = time.monotonic() + 30.0
        while _harness_processes() and time.monotonic() < deadline:
            time.sleep(0.5)
        report["stopped"]["left_running"] = _harness_processes()
    finally:
        (work / "report.json").write_text(json.dumps(report))
        cluster.shutdown()


if __name__ == "__main__":
    logging.getLogger("tralix_harness").setLevel(logging.ERROR)  # files read while written
    os.environ.setdefault("RAY_DEDUP_LOGS", "0")
    main()
