"""``tralix ladder``: checkpoints rated against the fixed references (learning.ladder), with a
progress line, the rating table and the scores, and on request the same as JSON."""

from __future__ import annotations

import argparse
import json
import logging
import math
import sys
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path
from typing import Any

from tqdm import tqdm

from ..base.files import write_text_atomically
from ..base.settings import MAX_SIDE, MIN_SIDE
from ..learning.folder import json_safe
from ..learning.ladder import (
    RATING_Z,
    REFERENCES,
    Ladder,
    LadderResult,
    LadderSettings,
    MatchScore,
)
from ..learning.ladder_cache import ReferenceCache, default_cache_file
from ..networks.names import NetworkName
from . import arguments, paths
from .options import add_options, build

logger = logging.getLogger(__name__)


def add_command(commands: Any) -> None:
    ladder = commands.add_parser(
        "ladder", help="rate checkpoints against fixed references",
        description="Each checkpoint in one seat against three of each reference (uniformly "
                    "random play, the greedy heuristic, and searches without a network of "
                    "64 and 256 simulations per move), four games from each random opening, "
                    "one per seat; then one rating table: the references' ratings fitted "
                    "from their own matches (played once per side and seed, kept in the "
                    "references file) with uniform at 0, each checkpoint's with the "
                    "references held there. Scores are means over openings; 0.25 is even.")
    ladder.add_argument("checkpoints", nargs="+", type=arguments.checkpoint,
                        metavar="CHECKPOINT",
                        help="a checkpoint's path, or a network: uniform, heuristic, "
                             "torch:CHECKPOINT, onnx:FILE or module:factory")
    ladder.add_argument("--side", type=arguments.int_from_to(MIN_SIDE, MAX_SIDE),
                        required=True, help="board side")
    add_options(ladder, LadderSettings, skip=("side",))
    ladder.add_argument("--references", type=arguments.path_text,
                        help=f"the file keeping the reference matches (default: "
                             f"{default_cache_file()})")
    ladder.add_argument("--against", nargs="+", choices=[r.name for r in REFERENCES],
                        metavar="REFERENCE",
                        help="the references the checkpoints meet (default: all four, "
                             f"{', '.join(r.name for r in REFERENCES)}); the references' own "
                             "matches are played all the same")
    ladder.add_argument("--json", type=arguments.path_text,
                        help="also write the ratings and scores to this JSON file")
    ladder.set_defaults(handler=cmd_ladder)


def _is_ladder_json(path: Path) -> bool:
    try:
        return bool(json.loads(path.read_text())["generator"] == "tralix ladder")
    except (ValueError, KeyError, TypeError, OSError):
        return False


def cmd_ladder(args: argparse.Namespace) -> int:
    settings = build(LadderSettings, args)
    candidates: list[tuple[str, NetworkName]] = args.checkpoints
    references = Path(args.references) if args.references else default_cache_file()
    paths.check_output(references, "--references")
    inputs = [n.path for _, n in candidates if n.path is not None]
    paths.check_not_input(references, inputs, "--references")
    output = Path(args.json) if args.json else None
    if output is not None:
        paths.check_output(output, "--json")
        paths.check_not_input(output, [*inputs, references], "--json")
        paths.check_replaceable(output, "--json", _is_ladder_json,
                                "a file tralix ladder wrote", overwrite=None)
    ladder = Ladder(candidates, settings, ReferenceCache(references), args.against)
    progress = tqdm(total=ladder.games_to_play, unit="game", file=sys.stderr,
                    dynamic_ncols=True)
    try:
        result = ladder.play(lambda: progress.update(1))
    except KeyboardInterrupt:
        progress.close()
        logger.warning("interrupted: the reference matches that finished are kept in %s",
                       references)
        return 130
    except (RuntimeError, BrokenProcessPool) as error:  # a network failed, a process died
        progress.close()
        logger.error("tralix ladder: %s", error)
        return 1
    finally:
        progress.close()
    print(summary(result, references))
    if output is not None:
        write_text_atomically(output, json.dumps(json_safe(
            dict(result.as_dict(), references_file=str(references))), indent=1) + "\n")
    return 0


def _interval(half: float) -> str:
    return "± inf" if not math.isfinite(half) else f"± {half:.3f}"


def _score_line(score: MatchScore, width: int) -> str:
    return (f"  {score.rated:<{width}} vs 3 {score.opponent:<10} {score.mean:.3f} "
            f"{_interval(score.half_width):<8} {score.games} games, {score.distinct} distinct")


def summary(result: LadderResult, references: Path) -> str:
    """The rating table, each checkpoint's scores and the references' own."""
    s = result.settings
    width = max(len(p) for p in result.ratings)
    how = f"searching {s.sims} simulations per move" if s.sims else "greedy"
    played = sum(not score.cached for score in result.reference_scores)
    lines = [f"ladder on side {s.side}, seed {s.seed}: each checkpoint {how}, "
             f"{4 * s.openings} games ({s.openings} openings) against each reference; the "
             f"references' matches of {4 * s.reference_openings} games in {references} "
             f"({played} played now)",
             f"  {'player':<{width}} {'rating':>8}  95% interval  games"]
    for player, rating in result.ranked():
        interval = ("pinned" if player == "uniform" and rating.sigma == 0
                    else f"± {RATING_Z * rating.sigma:6.2f}")
        lines.append(f"  {player:<{width}} {rating.mu:8.2f}  {interval:<12} {rating.games:6d}")
    lines.append("scores, one seat against three (mean over openings, 95% CI by Student's t; "
                 "0.25 is even):")
    lines += [_score_line(score, width) for score in result.scores]
    lines.append("the references' own matches:")
    lines += [_score_line(score, width) for score in result.reference_scores]
    return "\n".join(lines)
