"""``tralix selfplay``, ``eval-random`` and ``arena``: a run of games (on this machine, or with
``--ray`` on a cluster) with a progress line, the games stored or scored, and a summary."""

from __future__ import annotations

import argparse
import dataclasses
import logging
import math
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from tqdm import tqdm

from ..base.settings import SearchSettings
from ..base.signals import SignalStop
from ..base.statistics import mean_interval
from ..cluster.options import add_ray_option, run_opener
from ..data.records import GameLines, GameWriter, UnreadableFile, WriteFailed, game_line
from ..local.options import (
    GameResult,
    GameRun,
    GameStatus,
    Inference,
    RunFailed,
    RunInterrupted,
    RunKind,
    RunOptions,
)
from ..networks.names import NetworkKind, NetworkName
from . import arguments

logger = logging.getLogger(__name__)

_SEARCH_DEFAULTS = SearchSettings()
_RUN_DEFAULTS: dict[str, Any] = {field.name: field.default
                                 for field in dataclasses.fields(RunOptions)}
# The command line spreads games over two worker processes unless told otherwise; a Run made
# in code gets RunOptions' single worker.
_WORKERS = 2


def _add_run_options(parser: argparse.ArgumentParser, games: int) -> None:
    positive = arguments.int_at_least(1)
    parser.add_argument("--games", type=positive, default=games,
                        help="games to play (%(default)s)")
    parser.add_argument("--workers", type=positive, default=_WORKERS,
                        help="worker processes (%(default)s)")
    parser.add_argument("--threads", type=positive, default=_RUN_DEFAULTS["threads"],
                        help="games played at once by each worker (%(default)s)")
    parser.add_argument("--batch-size", type=positive, default=_RUN_DEFAULTS["batch_size"],
                        help="largest batch the server evaluates at once (%(default)s)")
    parser.add_argument("--max-wait-ms", type=float, default=_RUN_DEFAULTS["max_wait"] * 1000.0,
                        help="how long the server waits to fill a batch (%(default)s ms)")
    parser.add_argument("--side", type=arguments.side, default=_SEARCH_DEFAULTS.dim,
                        help="board side (%(default)s)")
    parser.add_argument("--rep", type=int, choices=(1, 2), default=_SEARCH_DEFAULTS.rep,
                        help="input layout: 1 planes first, 2 values last (%(default)s)")
    parser.add_argument("--torch-threads", type=positive, default=_RUN_DEFAULTS["torch_threads"],
                        help="torch threads of each process running a torch:CHECKPOINT "
                             "network (%(default)s)")
    parser.add_argument("--inference", type=Inference, choices=list(Inference),
                        default=_RUN_DEFAULTS["inference"],
                        help="where the network runs: in an inference server process batching "
                             "every worker's games, in each worker for its own games, or auto: "
                             "in the workers for the built-in and torch:CHECKPOINT networks, "
                             "which run on the CPU (%(default)s)")
    add_ray_option(parser)


def _open_run(args: argparse.Namespace, options: RunOptions) -> GameRun:
    """A local run, or with --ray one across the cluster (connected once per command)."""
    return run_opener(args)(options)


def _add_search_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--sims", type=arguments.int_at_least(0),
                        default=_SEARCH_DEFAULTS.sims_per_move,
                        help="simulations per move (%(default)s)")
    parser.add_argument("--sample-moves", type=arguments.int_at_least(0),
                        default=_SEARCH_DEFAULTS.sample_moves,
                        help="moves (tiles) before this count are sampled by visits "
                             "(%(default)s)")
    parser.add_argument("--c-base", type=float, default=_SEARCH_DEFAULTS.c_base)
    parser.add_argument("--c-init", type=float, default=_SEARCH_DEFAULTS.c_init)
    parser.add_argument("--alpha", type=float, default=_SEARCH_DEFAULTS.dirichlet_alpha,
                        help="root noise concentration")
    parser.add_argument("--exploration-fraction", type=float,
                        default=_SEARCH_DEFAULTS.exploration_fraction,
                        help="weight of the root noise (%(default)s)")


def _settings(args: argparse.Namespace, search: bool) -> SearchSettings:
    if not search:
        return SearchSettings(dim=args.side, rep=args.rep)
    return SearchSettings(dim=args.side, rep=args.rep, sims_per_move=args.sims,
                          sample_moves=args.sample_moves, c_base=args.c_base,
                          c_init=args.c_init, dirichlet_alpha=args.alpha,
                          exploration_fraction=args.exploration_fraction)


_NETWORK_HELP = "uniform, heuristic, torch:CHECKPOINT or module:factory (%(default)s)"


def _options(args: argparse.Namespace, kind: RunKind, settings: SearchSettings,
             networks: list[NetworkName]) -> RunOptions:
    """The run's options. Before any process starts, a torch:CHECKPOINT network's file must
    load (a clear error naming the file otherwise)."""
    for network in networks:
        if network.kind is NetworkKind.TORCH:
            network.check()
    return RunOptions(kind=kind, games=args.games, settings=settings, networks=networks,
                      workers=args.workers, threads=args.threads, batch_size=args.batch_size,
                      max_wait=args.max_wait_ms / 1000.0, inference=args.inference,
                      torch_threads=args.torch_threads,
                      quiet=kind is RunKind.ARENA and not args.boards)


def _run(run: GameRun, on_result: Callable[[GameResult], None],
         unit_label: Callable[[float], str]) -> tuple[int, str | None]:
    """Drives the run with a progress line; returns (exit code, failure text)."""
    progress = tqdm(total=run.options.games, unit="game", file=sys.stderr, dynamic_ncols=True)

    def ask() -> bool:
        run.stop()
        return True

    try:
        # The first Ctrl-C or SIGTERM asks the run to stop cleanly; a second one aborts, but
        # never in the middle of storing a game.
        with SignalStop(ask).installed() as stop:
            for result in run:
                with stop.held():
                    on_result(result)
                progress.update(1)
                elapsed = time.perf_counter() - run.started
                progress.set_postfix_str(
                    f"{unit_label(elapsed)}, {run.requests_served() / elapsed:,.0f} sims/s",
                    refresh=False)
        return 0, None
    except RunInterrupted:
        return 130, "interrupted"
    except KeyboardInterrupt:
        return 130, "interrupted"
    except RunFailed as failure:
        return 1, str(failure)
    finally:
        progress.close()


def _output_refused(output: Path, append: bool, overwrite: bool) -> str | None:
    """Why the output file may not be written as asked, if it may not: an existing file is
    never replaced unless --overwrite says so, and --append needs a file that reads to its
    end (after a file cut short, new games would be unreadable)."""
    if not output.exists() or overwrite:
        return None
    if not append:
        return (f"{output} exists: add --append to add the games to it, or --overwrite to "
                "replace it")
    lines = GameLines(output)
    try:
        games = sum(1 for _ in lines)
    except (UnreadableFile, IsADirectoryError) as error:
        return f"cannot append to {output}: {error}"
    if lines.cut_short:
        return (f"cannot append to {output}: it is cut short after {games} complete game(s) "
                "(a run stopped while writing it), so games added after it could not be read; "
                "write to another file")
    return None


def cmd_selfplay(args: argparse.Namespace) -> int:
    settings = _settings(args, search=True)
    output = Path(args.output or time.strftime("data/selfplay-%Y%m%d-%H%M%S.jsonl.gz"))
    refused = _output_refused(output, args.append, args.overwrite)
    if refused:
        logger.error("tralix selfplay: argument --output: %s", refused)
        return 2
    stored = dict(settings.as_dict(), network=str(args.network))
    tiles = failed = 0
    seat_totals = [0.0] * 4
    with _open_run(args, _options(args, RunKind.SELFPLAY, settings, [args.network])) as run:
        with GameWriter(output, append=args.append) as writer:
            def on_result(result: GameResult) -> None:
                nonlocal tiles, failed
                game = result.game
                if result.status is not GameStatus.FINISHED or game is None:
                    failed += 1
                    return
                writer.write(game_line(result.number, settings.side, game, stored))
                tiles += len(game.history)
                for seat, value in enumerate(game.outcome):
                    seat_totals[seat] += value

            try:
                code, problem = _run(run, on_result,
                                     lambda elapsed: f"{tiles / elapsed:,.0f} tiles/s")
            except WriteFailed as error:  # a full disk: the run stops, the file keeps its games
                code, problem = 1, str(error)
    elapsed = time.perf_counter() - run.started
    games = writer.games
    print(f"self-play: {games} games written to {output}", file=sys.stderr)
    print(f"  {failed} games abandoned after a failed evaluation", file=sys.stderr)
    cluster_summary = getattr(run, "summary", None)  # a run on a cluster: nodes lost
    if cluster_summary is not None and cluster_summary():
        print(f"  {cluster_summary()}", file=sys.stderr)
    print(f"  {tiles} tiles, {run.requests_served()} network evaluations in {elapsed:.1f} s "
          f"({tiles / elapsed:,.1f} tiles/s, {run.requests_served() / elapsed:,.0f} "
          f"evaluations/s)", file=sys.stderr)
    if games:
        print("  mean outcome by seat: "
              + ", ".join(f"{t / games:.3f}" for t in seat_totals), file=sys.stderr)
    if problem:
        logger.error("run stopped: %s", problem)
    print(output)
    return code or (1 if failed else 0)


def _play_scored(args: argparse.Namespace, kind: RunKind, networks: list[NetworkName]
                 ) -> tuple[list[float], int, int, str | None]:
    """Plays the games; returns (scores, games abandoned, exit code, failure text)."""
    settings = _settings(args, search=False)
    results: list[float] = []
    failed = 0

    def on_result(result: GameResult) -> None:
        nonlocal failed
        if result.status is not GameStatus.FINISHED or result.score is None:
            failed += 1
        else:
            results.append(result.score)

    with _open_run(args, _options(args, kind, settings, networks)) as run:
        code, problem = _run(run, on_result, lambda elapsed: f"{len(results)} scored")
    return results, failed, code, problem


def _verdict(mean: float, half: float, reference_mean: float, reference_half: float) -> str:
    """Whether two independent means differ at the 95% level (their difference's interval)."""
    difference_half = math.hypot(half, reference_half)
    if mean - reference_mean > difference_half:
        return "better than"
    if reference_mean - mean > difference_half:
        return "worse than"
    return "not distinguishable from"


def _score_games(args: argparse.Namespace, kind: RunKind, networks: list[NetworkName]) -> int:
    results, failed, code, problem = _play_scored(args, kind, networks)
    # Seat 0 moves first, which is worth much more than an even share against random
    # players: the score means something only beside a random player's own in that seat.
    uniform = NetworkName(NetworkKind.UNIFORM)
    measure_baseline = kind is RunKind.RANDOM and networks[0] != uniform
    baseline: list[float] = []
    if measure_baseline and results and not code:
        baseline, base_failed, code, problem = _play_scored(args, kind, [uniform])
        failed += base_failed
    who = networks[0]
    if results:
        mean, half = mean_interval(results)
        summary = (f"mean score {mean:.3f} ± {half:.3f} (95% CI [{mean - half:.3f}, "
                   f"{mean + half:.3f}]) over {len(results)} games")
        if kind is RunKind.ARENA:
            print(f"{who} against baseline {networks[1]}: {summary}")
        else:
            if not measure_baseline:
                beside = "this is the random player's own figure (an even share is 0.25)"
            elif not baseline:
                beside = "a uniformly random player in seat 0: not measured, the run stopped"
            else:
                base_mean, base_half = mean_interval(baseline)
                beside = (f"a uniformly random player in seat 0 scores {base_mean:.3f} ± "
                          f"{base_half:.3f} over {len(baseline)} games: "
                          f"{_verdict(mean, half, base_mean, base_half)} a random player")
            print(f"{who} in seat 0 (moves first) against three uniformly random players: "
                  f"{summary}; {beside}")
    if failed:
        logger.warning("%d games abandoned after a failed evaluation", failed)
    if problem:
        logger.error("run stopped: %s", problem)
    return code or (1 if failed else 0)


def cmd_eval_random(args: argparse.Namespace) -> int:
    return _score_games(args, RunKind.RANDOM, [args.network])


def cmd_arena(args: argparse.Namespace) -> int:
    return _score_games(args, RunKind.ARENA, [args.network, args.baseline])


def add_commands(commands: Any) -> None:
    """Adds selfplay, eval-random and arena to the ``tralix`` subcommands."""
    selfplay = commands.add_parser("selfplay", help="play training games and store them")
    _add_run_options(selfplay, games=16)
    _add_search_options(selfplay)
    selfplay.add_argument("--network", type=arguments.network, default="heuristic",
                          help=_NETWORK_HELP)
    selfplay.add_argument("--output",
                          help="gzip JSON Lines file (default: data/selfplay-*.jsonl.gz); an "
                               "existing file is refused unless --append or --overwrite")
    existing = selfplay.add_mutually_exclusive_group()
    existing.add_argument("--append", action="store_true",
                          help="add the games to an existing output file")
    existing.add_argument("--overwrite", action="store_true",
                          help="replace an existing output file")
    selfplay.set_defaults(handler=cmd_selfplay)

    evaluate = commands.add_parser(
        "eval-random", help="the network against random players",
        description="Greedy games of the network in seat 0, which moves first, against three "
                    "uniformly random players; then as many games of a uniformly random "
                    "player in that seat, the figure to compare with.")
    _add_run_options(evaluate, games=100)
    evaluate.add_argument("--network", type=arguments.network, default="heuristic",
                          help=_NETWORK_HELP)
    evaluate.set_defaults(handler=cmd_eval_random)

    arena = commands.add_parser("arena", help="the network against a baseline, side 20")
    _add_run_options(arena, games=20)
    arena.add_argument("--network", type=arguments.network, default="heuristic",
                       help=_NETWORK_HELP)
    arena.add_argument("--baseline", type=arguments.network, default="uniform",
                       help=_NETWORK_HELP)
    arena.add_argument("--boards", action="store_true", help="print every final board")
    arena.set_defaults(handler=cmd_arena)
