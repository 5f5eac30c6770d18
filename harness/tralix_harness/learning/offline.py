"""Training a network on data files, outside the loop (``tralix train``): a checkpoint trained
on the most recent games of the files, oldest first, resumed where it exists, saved every so
many steps and at the end.

The first Ctrl-C or SIGTERM asks to stop after the current step, which is saved; a second
aborts.
"""

from __future__ import annotations

import dataclasses
import logging
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

import torch

from ..base.signals import SignalStop
from ..data.samples import DataError
from ..networks.settings import NEW_NETWORK
from .settings import TrainSettings
from .trainer import Trainer, TrainStats

logger = logging.getLogger(__name__)


@dataclasses.dataclass(frozen=True)
class OfflineSummary:
    """What a call of ``OfflineTraining.run`` did."""

    first_step: int           # the steps the checkpoint had taken before
    last_step: int            # and after
    games: int                # in the window
    positions: int
    means: TrainStats | None  # over the steps taken, each chunk weighted by its steps; None
    #                           when none was
    interrupted: bool         # stopped by a signal before ``steps``


class OfflineTraining:
    """A checkpoint to train on ``data``: ``output`` resumed where it exists (the data files
    must then begin with those it was trained on, in that order, and ``model`` and ``train``,
    the settings asked for, agree with its own), else a new network of those settings. A
    DataError when the files hold no game of ``side``."""

    def __init__(self, data: Sequence[Path], output: Path, side: int,
                 model: Mapping[str, Any], train: Mapping[str, Any], threads: int) -> None:
        torch.set_num_threads(threads)
        self.output = output
        if output.exists():
            trainer = Trainer.load(output, side, model, train)
            known = [s.path.resolve() for s in trainer.sources()]
            named = [p.resolve() for p in data]
            if named[:len(known)] != known:
                raise DataError(f"checkpoint {output} was trained on "
                                f"{', '.join(str(p) for p in known)}; name these first, in "
                                "this order, to resume it")
            new_files = list(data[len(known):])
            logger.info("resuming %s at step %d", output, trainer.steps)
        else:
            trainer = Trainer(side, dataclasses.replace(NEW_NETWORK, **model),
                              dataclasses.replace(TrainSettings(), **train))
            new_files = list(data)
        for path in new_files:
            trainer.window.add_file(path)
        if not trainer.window.games:
            raise DataError(f"the data files hold no game of side {side}")
        self.trainer = trainer

    def run(self, steps: int, checkpoint_every: int,
            progress: Callable[[int, float], None] | None = None) -> OfflineSummary:
        """Trains to ``steps`` steps in all, saving every ``checkpoint_every`` steps and at
        the end (also when there is nothing to train: the batch norms calibrated again).
        ``progress`` is told each step's number and loss."""
        trainer = self.trainer
        first = trainer.steps
        remaining = steps - first
        stop = SignalStop(message="stopping after this step...")
        done = 0
        chunks: list[TrainStats] = []
        if remaining <= 0:
            trainer.save(self.output)
        with stop.installed():
            while done < remaining and not stop.requested:
                chunk = min(checkpoint_every, remaining - done)
                stats = trainer.train(chunk, progress, lambda: stop.requested)
                done += stats.steps
                if stats.steps:
                    chunks.append(stats)
                trainer.save(self.output)
        return OfflineSummary(first, trainer.steps, trainer.window.games, len(trainer.window),
                              _weighted(chunks), stop.requested)


def _weighted(chunks: Sequence[TrainStats]) -> TrainStats | None:
    """The chunks' means, each weighted by its steps."""
    if not chunks:
        return None
    steps = sum(c.steps for c in chunks)

    def mean(name: str) -> float:
        return float(sum(getattr(c, name) * c.steps for c in chunks) / steps)

    return TrainStats(steps=steps, policy_loss=mean("policy_loss"), value_loss=mean("value_loss"),
                      policy_entropy=mean("policy_entropy"),
                      target_entropy=mean("target_entropy"),
                      ownership_loss=mean("ownership_loss"),
                      samples_per_second=mean("samples_per_second"),
                      seconds=sum(c.seconds for c in chunks),
                      learning_rate=chunks[-1].learning_rate,
                      value_target_loss=mean("value_target_loss"),
                      score_loss=mean("score_loss"))
