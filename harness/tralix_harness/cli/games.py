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
from ..base.statistics import share_interval
from ..cluster.options import add_ray_option, run_opener
from ..data.records import GameLines, GameWriter, UnreadableFile, WriteFailed, game_line
from ..local.lifecycle import GameResult, GameRun, GameStatus, RunFailed, RunInterrupted
from ..local.options import RunKind, RunOptions
from ..networks.names import NetworkKind, NetworkName
from ..viewer.games import owners_after
from . import arguments, paths
from .options import add_options, build
from .show import board_text

logger = logging.getLogger(__name__)

# The command line spreads games over two worker processes unless told otherwise; a Run made
# in code gets RunOptions' single worker.
_WORKERS = 2
# The run options whose command-line options are generated, the rest coming from the command.
_RUN_OPTIONS = ("games", "workers", "threads", "batch_size", "max_wait_ms", "inference",
                "backend", "torch_threads")


def _add_run_options(parser: argparse.ArgumentParser, kind: RunKind, games: int,
                     search: tuple[str, ...] | None, run: tuple[str, ...] = ()) -> None:
    """The options of a command that plays a run of ``kind``: the run's (``games`` of them
    unless told otherwise, and those named in ``run``), the search settings' (those named in
    ``search``, or all), and ``--ray``."""
    defaults = RunOptions(kind=kind, games=games, settings=SearchSettings(),
                          networks=["uniform"] * kind.networks, workers=_WORKERS)
    add_options(parser, RunOptions, defaults, only=_RUN_OPTIONS + run)
    if "match_sims" in run:  # its former name, which selfplay and loop give the search's
        parser.add_argument("--sims", dest="match_sims", action=arguments.Renamed,
                            new="--match-sims", type=arguments.int_at_least(0),
                            default=argparse.SUPPRESS, help=argparse.SUPPRESS)
    add_options(parser, SearchSettings, only=search)
    add_ray_option(parser)
    parser.set_defaults(run_defaults=defaults)


def _open_run(args: argparse.Namespace, options: RunOptions) -> GameRun:
    """A local run, or with --ray one across the cluster (connected once per command)."""
    return run_opener(args)(options)


# The search settings of evaluation games: the board, the input layout and, for networks that
# search (--match-sims), the search's constants.
_MATCH_SEARCH = ("dim", "rep", "search_mode", "gumbel_considered", "gumbel_min_spread",
                 "playout_mix", "c_base", "c_init")
_NETWORK_HELP = ("uniform, heuristic, torch:CHECKPOINT, onnx:FILE or module:factory "
                 "(%(default)s)")


def _options(args: argparse.Namespace, settings: SearchSettings,
             networks: list[NetworkName]) -> RunOptions:
    """The run's options, its networks as the processes will load them. Before any process
    starts, a torch:CHECKPOINT network on ONNX Runtime is exported if it must be, and the
    checkpoint or ONNX file must load and play the board's side (a clear error naming the file
    otherwise); one trained on another side is played with a warning saying so."""
    defaults: RunOptions = args.run_defaults
    options = dataclasses.replace(build(RunOptions, args, defaults), settings=settings,
                                  networks=networks, quiet=True)
    asked = options.names
    options = options.settle()
    notes: list[str] = []
    for name, network in zip(asked, options.names, strict=True):
        if network.kind in (NetworkKind.TORCH, NetworkKind.ONNX):
            note = name.side_note(network.check(settings.side), settings.side)
            if note is not None and note not in notes:
                notes.append(note)
    for note in notes:
        logger.warning("%s", note)
    return options


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
                evaluations = run.requests_served() / elapsed
                progress.set_postfix_str(f"{unit_label(elapsed)}, {evaluations:,.0f} evaluations/s",
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
    lines = GameLines(output, warn=False)
    try:
        games = sum(1 for _ in lines)
    except UnreadableFile as error:
        return f"cannot append to {output}: {error}"
    except OSError as error:
        return f"cannot append to {output}: {error.strerror or error}"
    if lines.cut_short:
        return (f"cannot append to {output}: it is cut short after {games} complete game(s) "
                "(a run stopped while writing it), so games added after it could not be read; "
                "write to another file")
    return None


def cmd_selfplay(args: argparse.Namespace) -> int:
    settings = build(SearchSettings, args)
    output = Path(args.output or time.strftime("data/selfplay-%Y%m%d-%H%M%S.jsonl.gz"))
    paths.check_output(output, "--output")
    refused = _output_refused(output, args.append, args.overwrite)
    if refused:
        logger.error("tralix selfplay: argument --output: %s", refused)
        return 2
    options = _options(args, settings, [args.network])
    # The settings the games were played in: the network's request layout among them.
    stored = dict(options.network_settings(0).as_dict(), network=str(args.network))
    tiles = failed = 0
    seat_totals = [0.0] * 4
    with _open_run(args, options) as run:
        with GameWriter(output, append=args.append) as writer:
            def on_result(result: GameResult) -> None:
                nonlocal tiles, failed
                game = result.game
                if result.status is not GameStatus.FINISHED or game is None:
                    failed += 1
                    return
                writer.write(game_line(result.number, settings.side, game, stored,
                                       root_values=result.root_values))
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
                 ) -> tuple[list[GameResult], int, int, str | None]:
    """Plays the games; returns (finished games, games abandoned, exit code, failure
    text)."""
    settings = build(SearchSettings, args)
    results: list[GameResult] = []
    failed = 0

    def on_result(result: GameResult) -> None:
        nonlocal failed
        if result.status is not GameStatus.FINISHED or result.score is None:
            failed += 1
        else:
            results.append(result)
            if kind is RunKind.ARENA and args.boards and result.history is not None:
                print(board_text(settings.side, owners_after(settings.side, result.history)))

    with _open_run(args, _options(args, settings, networks)) as run:
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


def arena_summary(results: list[GameResult]) -> str:
    """The mean over openings of the network's score in its four seats, and how many of the
    games differ: two greedy networks replay the same game from the same opening."""
    by_opening: dict[int, list[float]] = {}
    for result in results:
        by_opening.setdefault(result.number // 4, []).append(float(result.score or 0.0))
    whole = [sum(scores) / 4 for scores in by_opening.values() if len(scores) == 4]
    distinct = len({tuple(map(tuple, r.history or [])) for r in results})
    if not whole:
        return f"no opening played in all four seats ({len(results)} games)"
    mean, half = share_interval(whole)
    return (f"mean score {mean:.3f} ± {half:.3f} (95% CI over openings) over {4 * len(whole)} "
            f"games from {len(whole)} openings, {distinct} distinct games; 0.25 is even")


def _score_games(args: argparse.Namespace, kind: RunKind, networks: list[NetworkName]) -> int:
    games, failed, code, problem = _play_scored(args, kind, networks)
    results = [float(game.score or 0.0) for game in games]
    # Seat 0 moves first, which is worth much more than an even share against random
    # players: the score means something only beside a random player's own in that seat.
    uniform = NetworkName(NetworkKind.UNIFORM)
    measure_baseline = kind is RunKind.RANDOM and networks[0] != uniform
    baseline: list[float] = []
    if measure_baseline and results and not code:
        base_games, base_failed, code, problem = _play_scored(args, kind, [uniform])
        baseline = [float(game.score or 0.0) for game in base_games]
        failed += base_failed
    who = networks[0]
    if results:
        mean, half = share_interval(results)
        summary = (f"mean score {mean:.3f} ± {half:.3f} (95% CI [{mean - half:.3f}, "
                   f"{mean + half:.3f}]) over {len(results)} games")
        if kind is RunKind.ARENA:
            print(f"{who} in one seat against baseline {networks[1]} in the three others: "
                  f"{arena_summary(games)}")
        else:
            if not measure_baseline:
                beside = "this is the random player's own figure (an even share is 0.25)"
            elif not baseline:
                beside = "a uniformly random player in seat 0: not measured, the run stopped"
            else:
                base_mean, base_half = share_interval(baseline)
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
    args.games = 4 * math.ceil(getattr(args, "games", args.run_defaults.games) / 4)
    return _score_games(args, RunKind.ARENA, [args.network, args.baseline])


def add_commands(commands: Any) -> None:
    """Adds selfplay, eval-random and arena to the ``tralix`` subcommands."""
    selfplay = commands.add_parser("selfplay", help="play training games and store them")
    _add_run_options(selfplay, RunKind.SELFPLAY, games=16, search=None)
    selfplay.add_argument("--network", type=arguments.network, default="heuristic",
                          help=_NETWORK_HELP)
    selfplay.add_argument("--output", type=arguments.path_text,
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
    _add_run_options(evaluate, RunKind.RANDOM, games=100, search=_MATCH_SEARCH,
                     run=("match_sims",))
    evaluate.add_argument("--network", type=arguments.network, default="heuristic",
                          help=_NETWORK_HELP)
    evaluate.set_defaults(handler=cmd_eval_random)

    arena = commands.add_parser(
        "arena", help="the network against a baseline, seat-rotated",
        description="The network in one seat against the baseline in the three others: from "
                    "each random opening four games, the network in each seat once (--games "
                    "is rounded up to a multiple of four). The score is the mean over "
                    "openings; 0.25 is even.")
    _add_run_options(arena, RunKind.ARENA, games=20, search=_MATCH_SEARCH,
                     run=("match_sims", "arena_opening", "seed"))
    arena.add_argument("--network", type=arguments.network, default="heuristic",
                       help=_NETWORK_HELP)
    arena.add_argument("--baseline", type=arguments.network, default="uniform",
                       help=_NETWORK_HELP)
    arena.add_argument("--boards", action="store_true", help="print every final board")
    arena.set_defaults(handler=cmd_arena)
