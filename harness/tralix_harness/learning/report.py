"""What the loop reports as it goes: a line per generation on standard output under a header
that says what the run plays and what the columns mean, the same metrics as TensorBoard event
files in the run folder, and at the end the learning curve (plot.py)."""

from __future__ import annotations

import logging
import math
import sys
from pathlib import Path
from typing import Any, TextIO

from ..networks.inputs import InputKind
from .folder import RunFolder
from .plot import plot_run
from .settings import LoopSettings

logger = logging.getLogger(__name__)


class Report:
    """The table and the event files of one invocation of the loop on a run folder."""

    def __init__(self, folder: RunFolder, out: TextIO | None = None) -> None:
        self.folder = folder
        # Standard output as it is now, not as it was when this module was imported (a
        # stream that may have been replaced and closed since).
        self.out = out if out is not None else sys.stdout
        self._writer: Any = None  # TensorBoard's, made with the first line; False without it

    def header(self, s: LoopSettings) -> None:
        """What a generation plays and learns, and what the score columns mean."""
        sims = f"{s.search.sims_per_move} simulations per move"
        if s.search.full_search_share < 1:
            sims = (f"{sims} on {s.search.full_search_share:.0%} of the moves, "
                    f"{s.search.cheap_sims} on the others")
        if s.search.playout_mix:
            sims += f", a random playout weighing {s.search.playout_mix:g} in each value"
        start = (f"from the network of {s.initial_weights}" if s.initial_weights else
                 f"generation 1: {s.first_games} games of {s.first_sims}"
                 + (" by the search without a network" if s.first_search else ""))
        sees = ("the full position" if s.model.inputs is InputKind.FULL
                else "the five planes")
        print(f"run {self.folder.path}: side {s.side}, {s.model.blocks} blocks of "
              f"{s.model.channels} channels seeing {sees}; per generation {s.games} self-play "
              "games of "
              f"{sims} ({start}) and {s.steps} training steps of {s.train.batch_size} "
              "positions",
              file=self.out)
        print("'random': greedy score in seat 0, which moves first, against three uniformly "
              "random players, beside a uniformly random player's own score there; "
              "'previous': greedy score in one seat against the previous generation in the "
              "three others (0.25 is even)", file=self.out)
        print(TABLE_HEADER, file=self.out, flush=True)

    def row(self, line: dict[str, Any]) -> None:
        """A generation's line of the table."""
        print(table_row(line), file=self.out, flush=True)

    def record(self, line: dict[str, Any]) -> None:
        """A generation's metrics as TensorBoard scalars (none without TensorBoard)."""
        writer = self._tensorboard()
        if writer is None:
            return
        for name, value in flatten(line).items():
            if name != "generation" and isinstance(value, int | float) and value is not None:
                writer.add_scalar(name, value, line["generation"])
        writer.flush()

    def close(self) -> None:
        if self._writer:
            self._writer.close()

    def _tensorboard(self) -> Any:
        if self._writer is None:
            try:
                from torch.utils.tensorboard import SummaryWriter
            except ImportError:
                logger.warning("tensorboard is not installed: no event files are written")
                self._writer = False
                return None
            self._writer = SummaryWriter(str(self.folder.tensorboard))
        return self._writer or None


def learning_curve(path: Path) -> Path | None:
    """Draws the run folder's learning curve; its PNG's path, or None, with a warning,
    without matplotlib."""
    try:
        return plot_run(path)
    except ImportError:
        logger.warning("matplotlib is not installed: no learning curve")
        return None


TABLE_HEADER = (f"{'gen':>4} {'wall':>8} {'games':>6} {'policy':>7} {'value':>7} "
                f"{'entropy':>7} {'random':>13} {'random player':>13} {'previous':>13} "
                f"{'rating':>11}")


def _number(value: Any, digits: int = 3) -> str:
    return "-" if value is None or not math.isfinite(value) else f"{value:.{digits}f}"


def _score(part: dict[str, Any] | None) -> str:
    if not part or part.get("mean") is None:
        return "-"
    half = part.get("half_width")
    return f"{part['mean']:.3f}±{half:.3f}" if half is not None else f"{part['mean']:.3f}"


def table_row(line: dict[str, Any]) -> str:
    train = line.get("train") or {}
    minutes, seconds = divmod(int(line.get("wall_time") or 0), 60)
    window = line.get("window") or {}
    return (f"{line['generation']:>4} {minutes:>5}:{seconds:02d} "
            f"{window.get('total_games', 0):>6} "
            f"{_number(train.get('policy_loss')):>7} {_number(train.get('value_loss')):>7} "
            f"{_number(train.get('policy_entropy')):>7} {_score(line.get('random')):>13} "
            f"{_score(line.get('random_baseline')):>13} {_score(line.get('previous')):>13} "
            f"{_rating(line.get('rating')):>11}")


def _rating(part: dict[str, Any] | None) -> str:
    if not part or part.get("mu") is None:
        return "-"
    return f"{part['mu']:.1f}±{part['sigma']:.1f}"


def flatten(line: dict[str, Any], prefix: str = "") -> dict[str, Any]:
    flat: dict[str, Any] = {}
    for key, value in line.items():
        if isinstance(value, dict):
            flat.update(flatten(value, f"{prefix}{key}/"))
        else:
            flat[prefix + key] = value
    return flat
