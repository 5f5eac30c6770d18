"""What the self-play search teaches: its policy targets on a fixed set of positions, against
the targets of a deeper search of the same kind.

Positions: games of the network playing its highest prior in every seat from random openings
(`--opening` tiles, from `--seed`), a few positions of each (those with more than one valid
tile, evenly spread through the game). For each position the reference is `--repeats`
searches of `--reference-sims` simulations with the base teacher's other settings: its top
tile is the tile most often on top of their targets, and each root child's reference value is
its completed value for the player to move, averaged over them. Each teacher then searches the
position `--repeats` times (through `tralix_engine.search_position`, as a training game
searches that move, draws and playouts seeded per repeat) and is scored by

- agreement: the share of its targets whose top tile is the reference's top tile;
- regret: the reference's best child value less the target's mean of the reference values
  (0 for a target on the best child); the network's own prior is scored the same way.

Means over positions with 95 % intervals (Student's t).

    .venv/bin/python bench/target_quality.py --network torch:RUN/checkpoints/gen-0177.pt \\
        --side 10 --positions 48 --repeats 8 \\
        --teacher today="" --teacher sims32="sims_per_move=32 gumbel_considered=8" \\
        --teacher sharp="temperature=0.5"

A teacher is NAME=SETTINGS: search settings changed from the loop's self-play search (the
names of `SearchSettings`' fields), and `temperature=T`, raising the target to 1/T as
training sharpens visit shares.
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import multiprocessing
import shlex
import sys
from collections import Counter
from collections.abc import Sequence
from types import SimpleNamespace
from typing import Any

import numpy as np
from tqdm import tqdm

import tralix_engine
import tralix_rules
from tralix_harness.base.settings import SearchSettings
from tralix_harness.base.statistics import mean_interval
from tralix_harness.learning.settings import LOOP_SEARCH
from tralix_harness.local.openings import arena_opening, game_seed
from tralix_harness.networks import NetworkName, load_network
from tralix_harness.networks.synchronous import SyncNetwork


@dataclasses.dataclass(frozen=True)
class Teacher:
    name: str
    search: Any  # the config object handed to the engine
    temperature: float = 1.0


def engine_config(search: SearchSettings, **extra: Any) -> SimpleNamespace:
    """The search settings as the engine reads them, with engine fields the settings may not
    have (a flag of the engine's training games)."""
    return SimpleNamespace(**{f.name: getattr(search, f.name)
                              for f in dataclasses.fields(search)}, **extra)


def parse_teacher(text: str, side: int, rep: int) -> Teacher:
    name, _, settings = text.partition("=")
    if not name:
        raise argparse.ArgumentTypeError(f"a teacher is NAME=SETTINGS, not {text!r}")
    changes: dict[str, Any] = {}
    extra: dict[str, Any] = {}
    temperature = 1.0
    fields = {f.name for f in dataclasses.fields(SearchSettings)}
    for item in shlex.split(settings):
        key, _, value = item.partition("=")
        if key == "temperature":
            temperature = float(value)
        elif key in fields:
            current = getattr(LOOP_SEARCH, key)
            changes[key] = (value.lower() in ("1", "true")) if isinstance(current, bool) \
                else type(current)(value)
        elif key in ENGINE_FLAGS:
            extra[key] = value.lower() in ("1", "true")
        else:
            raise argparse.ArgumentTypeError(f"{key}: not a search setting")
    search = dataclasses.replace(LOOP_SEARCH, dim=side, rep=rep, **changes)
    return Teacher(name, engine_config(search, **extra), temperature)


# The engine's flags of training games, taken beside the settings' fields.
ENGINE_FLAGS = ("gumbel_every_move", "skip_forced_moves")


# ----- the worker processes: one network each ---------------------------------------------

_queue: SyncNetwork | None = None


def _start(network: str, side: int) -> None:
    global _queue
    _queue = SyncNetwork(load_network(network, side, threads=1))


def _search(job: tuple[Any, list[int], int]) -> tuple[Any, ...]:
    settings, position, seed = job
    assert _queue is not None
    tile, record, root_value, children = tralix_engine.search_position(
        0, settings, position, _queue, _queue, seed)
    return tile, record, children


def _play(job: tuple[Any, list[int], int]) -> list[int]:
    settings, opening, seed = job
    assert _queue is not None
    _, history = tralix_engine.play_match(0, settings, [_queue] * 4, _queue, opening, seed)
    return [tile for _, tile in history]


# ----- scoring ----------------------------------------------------------------------------


def target_of(record: Sequence[tuple[int, float]], temperature: float) -> dict[int, float]:
    shares = {t: s for t, s in record}
    if temperature != 1.0:
        raised = {t: s ** (1.0 / temperature) for t, s in shares.items()}
        total = sum(raised.values())
        shares = {t: s / total for t, s in raised.items()}
    return shares


def regret(target: dict[int, float], values: dict[int, float]) -> float:
    return max(values.values()) - sum(share * values[t] for t, share in target.items())


def top(target: dict[int, float]) -> int:
    return max(target, key=lambda t: (target[t], -t))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--network", required=True)
    parser.add_argument("--side", type=int, default=10)
    parser.add_argument("--positions", type=int, default=48)
    parser.add_argument("--per-game", type=int, default=4, help="positions taken from a game")
    parser.add_argument("--repeats", type=int, default=8)
    parser.add_argument("--reference-sims", type=int, default=64)
    parser.add_argument("--opening", type=int, default=6)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--teacher", action="append", required=True,
                        help="NAME=SETTINGS (repeat)")
    args = parser.parse_args()
    # Requests in the layout the network takes: the full position or the loop's five planes.
    rep = NetworkName.parse(args.network).inputs().rep(LOOP_SEARCH.rep)
    teachers = [parse_teacher(text, args.side, rep) for text in args.teacher]
    base = dataclasses.replace(LOOP_SEARCH, dim=args.side, rep=rep)

    with multiprocessing.get_context("spawn").Pool(
            args.workers, _start, (args.network, args.side)) as pool:
        # The positions.
        games = math.ceil(args.positions / args.per_game)
        histories = pool.map(_play, [(base, arena_opening(args.side, args.opening, args.seed, g),
                                      game_seed(args.seed, g)) for g in range(games)])
        positions: list[list[int]] = []
        for history in histories:
            _, _, valid = tralix_rules.replay(args.side, history, 1)
            open_moves = [i for i in range(args.opening, len(history)) if valid[i].sum() > 1]
            picks = np.linspace(0, len(open_moves) - 1, args.per_game).round().astype(int)
            positions += [history[:open_moves[i]] for i in picks]
        positions = positions[:args.positions]

        def searched(settings: Any, label: str, seeds: int) -> list[list[tuple[Any, ...]]]:
            jobs = [(settings, p, game_seed(seeds + r, i))
                    for i, p in enumerate(positions) for r in range(args.repeats)]
            flat = list(tqdm(pool.imap(_search, jobs, chunksize=4), total=len(jobs),
                             desc=label, file=sys.stderr))
            return [flat[i * args.repeats:(i + 1) * args.repeats] for i in range(len(positions))]

        deeper = engine_config(dataclasses.replace(base, sims_per_move=args.reference_sims))
        reference = searched(deeper, f"reference ({args.reference_sims} simulations)",
                             1_000_000 + args.seed)
        best: list[int] = []
        values: list[dict[int, float]] = []
        priors: list[dict[int, float]] = []
        for runs in reference:
            best.append(Counter(top(target_of(record, 1.0)) for _, record, _ in runs)
                        .most_common(1)[0][0])
            sums: Counter[int] = Counter()
            for _, _, children in runs:
                for tile, _, _, value in children:
                    sums[tile] += value / len(runs)
            values.append(dict(sums))
            priors.append({tile: prior for tile, prior, _, _ in runs[0][2]})

        rows = [("prior", [float(top(p) == b) for p, b in zip(priors, best, strict=True)],
                 [regret(p, v) for p, v in zip(priors, values, strict=True)])]
        for teacher in teachers:
            runs_by_position = searched(teacher.search, teacher.name, 1 + args.seed)
            agreement, regrets = [], []
            for runs, b, v in zip(runs_by_position, best, values, strict=True):
                targets = [target_of(record, teacher.temperature) for _, record, _ in runs
                           if record]
                agreement.append(float(np.mean([top(t) == b for t in targets])))
                regrets.append(float(np.mean([regret(t, v) for t in targets])))
            rows.append((teacher.name, agreement, regrets))

    print(f"{len(positions)} positions of side {args.side}, {args.repeats} searches each, "
          f"reference {args.reference_sims} simulations ({args.network})")
    print("| teacher | top-tile agreement | regret |")
    print("| --- | --- | --- |")
    for name, agreement, regrets in rows:
        a, ah = mean_interval(agreement)
        r, rh = mean_interval(regrets)
        print(f"| {name} | {a:.3f} ± {ah:.3f} | {r:.4f} ± {rh:.4f} |")


if __name__ == "__main__":
    main()
