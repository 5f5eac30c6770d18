"""What the learning benchmarks read from a `tralix loop` run folder and from tralix's own
printouts: the last checkpoint, the value loss of the last generations, the scores that
`tralix eval-random` and `tralix arena` print."""

from __future__ import annotations

import functools
import json
import re
import subprocess
import sys
from pathlib import Path

import tralix_harness
from tralix_harness.base.statistics import mean_interval

SOURCES = Path(__file__).resolve().parent.parent / "harness" / "tralix_harness"

# "mean score 0.650 ± 0.141" and "a uniformly random player in seat 0 scores 0.475 ± 0.153"
SCORE = re.compile(r"scores? (\d\.\d+) ± (\d\.\d+|inf)")


def stale_files(installed: Path, sources: Path) -> list[Path]:
    """The harness's Python files whose installed copy is missing or differs from the
    sources (the virtual environment's install is a copy, not a link)."""
    if installed.resolve() == sources.resolve():
        return []
    stale = []
    for source in sorted(sources.rglob("*.py")):
        copy = installed / source.relative_to(sources)
        if not copy.is_file() or copy.read_bytes() != source.read_bytes():
            stale.append(source.relative_to(sources))
    return stale


@functools.cache
def require_current_install() -> None:
    """Refuse to measure an installed harness older than the sources: the runs would carry
    the old defaults under the new commit's name."""
    if not SOURCES.is_dir():
        return
    stale = stale_files(Path(tralix_harness.__file__).parent, SOURCES)
    if stale:
        raise SystemExit(
            f"the installed tralix_harness differs from {SOURCES} in "
            f"{', '.join(map(str, stale[:5]))}{' …' if len(stale) > 5 else ''}: "
            "reinstall it (pip install --no-build-isolation '.[train]') before measuring")


def tralix(*arguments: str) -> list[str]:
    require_current_install()
    return [sys.executable, "-m", "tralix_harness", *arguments]


def last_checkpoint(run: Path) -> Path:
    checkpoints = sorted((run / "checkpoints").glob("gen-*.pt"))
    if not checkpoints:
        raise SystemExit(f"{run}: no checkpoint")
    return checkpoints[-1]


def generations(run: Path) -> int:
    """Generations trained: the checkpoints but the untrained one."""
    return len(list((run / "checkpoints").glob("gen-*.pt"))) - 1


def scores(command: list[str]) -> list[tuple[float, float]]:
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    return [(float(m), float(h)) for m, h in SCORE.findall(done.stdout)]


def last_value_loss(run: Path, generations: int = 3) -> float:
    """The training value loss (against the outcome) of the last generations, averaged."""
    lines = map(json.loads, (run / "metrics.jsonl").read_text().splitlines())
    losses = [line.get("train", {}).get("value_loss") for line in lines]
    found = [x for x in losses if isinstance(x, int | float)][-generations:]
    return sum(found) / len(found) if found else float("nan")


def greedy_scores(network: str, side: int, random_games: int, heuristic_games: int,
                  seed: int) -> dict[str, tuple[float, float]]:
    """The network's highest prior in seat 0 against three uniformly random players (and a
    random player's own score in that seat), and in one seat against three heuristics,
    seat-rotated from `seed`'s openings."""
    greedy, random_seat = scores(tralix(
        "eval-random", "--side", str(side), "--network", network, "--games", str(random_games)))
    [heuristics] = scores(tralix(
        "arena", "--side", str(side), "--network", network, "--baseline", "heuristic",
        "--games", str(heuristic_games), "--seed", str(seed)))
    return {"random": greedy, "random_seat": random_seat, "heuristics": heuristics}


def interval(values: list[float], digits: int = 3) -> str:
    mean, half = mean_interval(values)
    return f"{mean:.{digits}f} ± {half:.{digits}f}"
