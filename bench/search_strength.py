"""Playing strength of the search modes: seat 0 searching against three uniformly random players
through tralix_engine.play_match, for each side, network, search mode and simulation budget,
beside a uniformly random seat 0's own score on the same side. Each cell is the mean score of
seat 0 over its games with the 95 % interval (1.96 standard errors).

    python bench/search_strength.py [--sides 10,20] [--networks heuristic] [--modes 0,1,2]
        [--sims 8,32,128] [--games 400] [--workers 2]

--networks takes any network name the harness loads (uniform, heuristic, torch:CHECKPOINT,
module:factory); --sims 0 is the network playing its highest prior without search. The module
draws its random numbers from a generator seeded by the operating system, so two runs agree
within their intervals, not game for game.
"""

from __future__ import annotations

import argparse
import math
import multiprocessing
import time
from dataclasses import dataclass
from typing import Any

import tralix_engine
from tralix_harness.networks import load_network
from tralix_harness.networks.synchronous import SyncNetwork


@dataclass(frozen=True)
class Cell:
    side: int
    network: str  # "" for a uniformly random seat 0
    mode: int
    sims: int


@dataclass
class SearchConfig:
    """The config object play_match reads."""

    dim: int
    search_mode: int
    rep: int = 1
    sims_per_move: int = 0
    sample_moves: int = 0
    c_base: float = 19652.0
    c_init: float = 1.25
    dirichlet_alpha: float = 0.3
    exploration_fraction: float = 0.25


_networks: dict[tuple[str, int], SyncNetwork] = {}


def play(job: tuple[Cell, int]) -> tuple[Cell, list[float], int, float]:
    """Plays `count` games of one cell in this process: seat 0's scores, the network's
    requests and the seconds taken."""
    cell, count = job
    config = SearchConfig(cell.side, cell.mode)
    network = None
    seat0: Any = None
    if cell.network:
        key = (cell.network, cell.side)
        if key not in _networks:
            _networks[key] = SyncNetwork(load_network(cell.network, cell.side))
        network = _networks[key]
        seat0 = (network, cell.sims) if cell.sims > 0 else network
    before = network.requests if network else 0
    start = time.process_time()
    scores = []
    for _ in range(count):
        outcome, _history = tralix_engine.play_match(0, config, [seat0, None, None, None], network)
        scores.append(outcome[0])
    requests = (network.requests - before) if network else 0
    return cell, scores, requests, time.process_time() - start


def interval(scores: list[float]) -> tuple[float, float]:
    mean = sum(scores) / len(scores)
    variance = sum((s - mean) ** 2 for s in scores) / max(1, len(scores) - 1)
    return mean, 1.96 * math.sqrt(variance / len(scores))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sides", default="10,20")
    parser.add_argument("--networks", default="heuristic")
    parser.add_argument("--modes", default="0,1,2")
    parser.add_argument("--sims", default="8,32,128")
    parser.add_argument("--games", type=int, default=400, help="games per cell")
    parser.add_argument("--workers", type=int, default=2, help="processes playing games")
    parser.add_argument("--chunk", type=int, default=25, help="games per job")
    args = parser.parse_args()
    sides = [int(s) for s in args.sides.split(",")]
    modes = [int(m) for m in args.modes.split(",")]
    sims = [int(n) for n in args.sims.split(",")]
    cells = []
    for side in sides:
        cells.append(Cell(side, "", 0, 0))
        for network in args.networks.split(","):
            for n in sims:
                for mode in (modes if n > 0 else [0]):
                    cells.append(Cell(side, network, mode, n))
    jobs = [(cell, min(args.chunk, args.games - start))
            for cell in cells for start in range(0, args.games, args.chunk)]
    scores: dict[Cell, list[float]] = {cell: [] for cell in cells}
    cost: dict[Cell, list[float]] = {cell: [0.0, 0.0] for cell in cells}
    with multiprocessing.get_context("spawn").Pool(args.workers) as pool:
        for cell, played, requests, seconds in pool.imap_unordered(play, jobs):
            scores[cell].extend(played)
            cost[cell][0] += requests
            cost[cell][1] += seconds
    print(f"{args.games} games per cell; seat 0's mean score with its 95 % interval; "
          "seats 1 to 3 uniformly random")
    print("| side | seat 0 | mode | sims | score | games | requests per game | CPU s per game |")
    print("| --- | --- | --- | --- | --- | --- | --- | --- |")
    for cell in cells:
        mean, half = interval(scores[cell])
        games = len(scores[cell])
        who = cell.network or "uniformly random"
        mode_text = str(cell.mode) if cell.network and cell.sims > 0 else "–"
        sims_text = str(cell.sims) if cell.network else "–"
        print(f"| {cell.side} | {who} | {mode_text} | {sims_text} | {mean:.3f} ± {half:.3f} | "
              f"{games} | "
              f"{cost[cell][0] / games:,.0f} | {cost[cell][1] / games:.3f} |")


if __name__ == "__main__":
    main()
