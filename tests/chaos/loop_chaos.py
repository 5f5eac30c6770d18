"""The training loop killed at random instants: ``tralix loop`` on a tiny network and board runs
in a session of its own, is sent SIGKILL at a random instant, resumed by the same command, and
so on for ``--kills`` kills; then it runs to its end. After each kill the loop's worker and
server processes must be gone within ``--orphan-seconds``; at the end

- every games file (``games/gen-N.jsonl.gz``) and checkpoint there was at a kill is still
  there, byte for byte, and so are the metrics lines and the rating games of the generations
  finished then (a generation in progress is played again by design: its ``.part`` file's
  games are counted as replayed, not lost);
- ``metrics.jsonl`` holds one line per finished generation, 0 to ``--generations``, in order;
- every generation's rating games are in ``matches.jsonl`` once;
- the last checkpoint loads, and its ONNX file gives its logits (within 1e-4) on positions of
  the run's own games;
- ``tralix ratings`` and ``tralix view`` read the folder (the page holds every game).

    python tests/chaos/loop_chaos.py [--kills 20] [--generations 30] [--side 5] [--seed 1]
                                     [--run RUN_DIR] [--log LOG]

Prints a line per kill (when, what the loop was doing, what the folder kept) and a summary;
exit status 1 when anything was lost or a check failed. Uses the command line and the
harness's public network loader only."""

from __future__ import annotations

import argparse
import dataclasses
import gzip
import hashlib
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import tralix_rules as tr
from tralix_harness.networks import load_network
from tralix_harness.networks.builtin import evaluate
from tralix_harness.networks.inputs import InputKind, network_inputs

TINY = ["--games", "2", "--first-games", "2", "--sims", "2", "--steps", "2", "--blocks", "1",
        "--channels", "8", "--batch-size", "8", "--eval-games", "4", "--rating-games", "4",
        "--search-rating-games", "4", "--workers", "1", "--threads", "2", "--train-threads", "1"]


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def metrics_lines(run: Path) -> list[str]:
    """The complete lines of metrics.jsonl (a last line cut by a kill left out)."""
    path = run / "metrics.jsonl"
    if not path.exists():
        return []
    text = path.read_text(encoding="utf-8")
    return text.split("\n")[:-1]


def matches_by_generation(run: Path) -> dict[int, list[str]]:
    path = run / "matches.jsonl"
    found: dict[int, list[str]] = {}
    if path.exists():
        for line in path.read_text(encoding="utf-8").split("\n")[:-1]:
            try:
                found.setdefault(json.loads(line)["generation"], []).append(line)
            except (ValueError, KeyError):
                pass  # a line cut by the kill: the loop keeps whole generations only
    return found


def games_in(path: Path) -> int:
    """The complete games of a gzip data file, also one cut short."""
    count = 0
    try:
        with gzip.open(path, "rt", encoding="utf-8") as f:
            for line in f:
                count += line.endswith("\n")
    except (EOFError, OSError):
        pass
    return count


@dataclasses.dataclass
class Snapshot:
    """What the run folder held at a kill."""

    files: dict[str, str]           # games files and checkpoints (and ONNX files): digests
    metrics: list[str]              # finished generations' lines
    matches: dict[int, list[str]]   # rating games of the finished generations
    replayed: int                   # games of the generation in progress (.part)
    doing: str                      # where the generation in progress stood

    @staticmethod
    def take(run: Path) -> Snapshot:
        files = {str(p.relative_to(run)): digest(p)
                 for pattern in ("games/gen-*.jsonl.gz", "checkpoints/gen-*.pt")
                 for p in sorted(run.glob(pattern))}
        metrics = metrics_lines(run)
        finished = len(metrics)
        matches = {g: lines for g, lines in matches_by_generation(run).items() if g < finished}
        part = run / "games" / f"gen-{finished:04d}.jsonl.gz.part"
        replayed = games_in(part) if part.exists() else 0
        # Where the generation in progress stood on disk (the process may still have been
        # starting up, or redoing a step the folder shows undone).
        if not (run / "settings.json").exists():
            doing = "no run folder yet"
        elif finished == 0:
            doing = "generation 0 not recorded"
        elif not (run / "games" / f"gen-{finished:04d}.jsonl.gz").exists():
            doing = (f"generation {finished}: {replayed} game(s) in its .part file"
                     if part.exists() else f"generation {finished}: no self-play game yet")
        elif not (run / "checkpoints" / f"gen-{finished:04d}.pt").exists():
            doing = f"generation {finished}: games kept, not trained"
        else:
            doing = f"generation {finished}: trained, not evaluated"
        return Snapshot(files, metrics, matches, replayed, doing)


def session_alive(pgid: int) -> list[int]:
    """The processes still in the session the loop led."""
    alive = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            alive.append(int(entry.name))
    return alive


class Chaos:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.run = Path(args.run)
        self.command = [sys.executable, "-m", "tralix_harness", "loop", str(self.run),
                        "--side", str(args.side), "--generations", str(args.generations),
                        *TINY]
        self.run.parent.mkdir(parents=True, exist_ok=True)
        self.log = open(args.log, "a", encoding="utf-8")  # noqa: SIM115 - kept for the run
        self.problems: list[str] = []
        self.snapshots: list[Snapshot] = []

    def start(self) -> subprocess.Popen[bytes]:
        self.log.write(f"\n=== {time.strftime('%H:%M:%S')} {' '.join(self.command)}\n")
        self.log.flush()
        return subprocess.Popen(self.command, stdout=self.log, stderr=self.log,
                                start_new_session=True)

    def kill_once(self, rng: random.Random, number: int) -> bool:
        """One start, and a SIGKILL at a random instant; False when the loop ended first."""
        process = self.start()
        delay = rng.uniform(self.args.least_seconds, self.args.most_seconds)
        try:
            process.wait(timeout=delay)
        except subprocess.TimeoutExpired:
            pass
        if process.poll() is not None:
            print(f"attempt {number}: the loop ended by itself (exit status "
                  f"{process.returncode}) before {delay:.1f} s", flush=True)
            if process.returncode != 0:
                self.problems.append(f"the loop failed on its own (exit {process.returncode})")
            return False
        os.kill(process.pid, signal.SIGKILL)
        process.wait()
        deadline = time.monotonic() + self.args.orphan_seconds
        while (alive := session_alive(process.pid)) and time.monotonic() < deadline:
            time.sleep(0.1)
        if alive:
            self.problems.append(f"kill {len(self.snapshots) + 1}: processes {alive} outlived "
                                 f"the loop by {self.args.orphan_seconds} s")
            for pid in alive:
                os.kill(pid, signal.SIGKILL)
        snapshot = Snapshot.take(self.run)
        self.snapshots.append(snapshot)
        print(f"kill {len(self.snapshots):2d} at {delay:5.1f} s: {snapshot.doing}; kept "
              f"{len(snapshot.metrics)} finished generation(s), "
              f"{sum(k.startswith('games/') for k in snapshot.files)} games file(s)", flush=True)
        return True

    def check(self) -> None:
        run, side = self.run, self.args.side
        final = Snapshot.take(run)
        for number, snapshot in enumerate(self.snapshots, start=1):
            for name, value in snapshot.files.items():
                if final.files.get(name) != value:
                    self.problems.append(f"kill {number}: {name} changed or went missing")
            if final.metrics[:len(snapshot.metrics)] != snapshot.metrics:
                self.problems.append(f"kill {number}: the metrics lines of then changed")
            for generation, lines in snapshot.matches.items():
                if final.matches.get(generation) != lines:
                    self.problems.append(f"kill {number}: generation {generation}'s rating "
                                         "games changed")
        generations = [json.loads(line)["generation"] for line in final.metrics]
        if generations != list(range(self.args.generations + 1)):
            self.problems.append(f"metrics.jsonl holds generations {generations}")
        rated = sorted(final.matches)
        if rated != list(range(self.args.generations + 1)):
            self.problems.append(f"matches.jsonl rates generations {rated}")
        left = sorted(str(p.relative_to(run)) for p in [*run.glob("games/*.part"),
                                                         *run.rglob("*.tmp")])
        if left:
            self.problems.append(f"temporary files left in the run folder: {', '.join(left)}")
        self.check_checkpoint(run, side)
        self.check_readers(run)

    def check_checkpoint(self, run: Path, side: int) -> None:
        last = run / "checkpoints" / f"gen-{self.args.generations:04d}.pt"
        onnx = last.with_suffix(".onnx")
        if not onnx.exists():  # exported when a run needs it: the command line does so
            subprocess.run([sys.executable, "-m", "tralix_harness", "eval-random", "--side",
                            str(side), "--games", "1", "--workers", "1", "--network",
                            f"torch:{last}"], capture_output=True, check=True)
        torch_network = load_network(f"torch:{last}", side)
        onnx_network = load_network(f"onnx:{onnx}", side)
        with gzip.open(run / "games" / f"gen-{self.args.generations:04d}.jsonl.gz", "rt") as f:
            history = json.loads(f.readline())["history"]
        # The position as the network sees it: the loop's network takes the full position.
        tiles = [tile for _, tile in history]
        arrays: tuple[np.ndarray, ...] = (
            tuple(a.astype(np.float32) for a in tr.replay_full(side, tiles)[:2])
            if network_inputs(torch_network) is InputKind.FULL
            else (tr.replay(side, tiles)[0].astype(np.float32),))
        planes = arrays[0]
        expected, got = evaluate(torch_network, *arrays), evaluate(onnx_network, *arrays)
        gap = max(float(np.abs(a - b).max()) for a, b in zip(expected, got, strict=True))
        if gap > 1e-4:
            self.problems.append(f"{onnx.name} differs from {last.name} by {gap:.2e}")
        print(f"last checkpoint {last.name} loads; {onnx.name} gives its logits within "
              f"{gap:.1e} on {len(planes)} positions", flush=True)

    def check_readers(self, run: Path) -> None:
        games = sum(games_in(p) for p in run.glob("games/gen-*.jsonl.gz"))
        with tempfile.TemporaryDirectory() as folder:
            page = Path(folder) / "run.html"
            for command in (["ratings", str(run)], ["view", str(run), "--output", str(page)]):
                done = subprocess.run([sys.executable, "-m", "tralix_harness", *command],
                                      capture_output=True, text=True)
                if done.returncode != 0:
                    self.problems.append(f"tralix {command[0]}: exit {done.returncode}: "
                                         f"{done.stderr.strip()}")
                elif command[0] == "view" and f": {games} game(s)," not in done.stdout:
                    self.problems.append(f"tralix view: {done.stdout.strip()}, not {games} games")
                elif command[0] == "ratings" and f"gen-{self.args.generations:04d}" not in \
                        done.stdout:
                    self.problems.append("tralix ratings does not rate the last generation")
        print(f"tralix ratings and tralix view read the folder ({games} games)", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kills", type=int, default=20)
    parser.add_argument("--generations", type=int, default=30,
                        help="the run's length; lengthened when it ends before the kills")
    parser.add_argument("--side", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--least-seconds", type=float, default=0.5,
                        help="the earliest kill after a start")
    parser.add_argument("--most-seconds", type=float, default=20.0,
                        help="the latest kill after a start")
    parser.add_argument("--orphan-seconds", type=float, default=10.0,
                        help="how long the loop's processes may outlive it")
    parser.add_argument("--run", help="the run folder (default: a new temporary one)")
    parser.add_argument("--log", help="the loop's output (default: RUN.log)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        args.run = args.run or str(Path(folder) / "run")
        args.log = args.log or args.run + ".log"
        chaos = Chaos(args)
        rng = random.Random(args.seed)
        attempt = 0
        while len(chaos.snapshots) < args.kills:
            attempt += 1
            if not chaos.kill_once(rng, attempt) and chaos.problems:
                break
            if attempt > 4 * args.kills:
                chaos.problems.append("the loop kept ending before the kills")
                break
            finished = len(Snapshot.take(chaos.run).metrics)
            if len(chaos.snapshots) < args.kills and finished > args.generations:
                # Finished before the kills: a longer run, more than a start can play.
                args.generations = finished + int(args.most_seconds) + 5
                chaos.command[chaos.command.index("--generations") + 1] = str(args.generations)
        status = chaos.start().wait()
        if status != 0:
            chaos.problems.append(f"the last resume ended with exit status {status}")
        chaos.check()
        replayed = sum(s.replayed for s in chaos.snapshots)
        print(f"{len(chaos.snapshots)} kills in {attempt} starts; generations 0 to "
              f"{args.generations} finished; {replayed} self-play game(s) of generations in "
              f"progress played again, as designed; "
              + ("nothing lost" if not chaos.problems else "PROBLEMS:"), flush=True)
        for problem in chaos.problems:
            print(f"  {problem}", flush=True)
        chaos.log.close()
    return 1 if chaos.problems else 0


if __name__ == "__main__":
    sys.exit(main())
