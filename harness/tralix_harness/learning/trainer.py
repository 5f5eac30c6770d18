"""The trainer: minibatches from the window, AdamW with a warm-up, a moving average of the
weights, the batch norms calibrated before a save, and checkpoints that resume exactly.

Loss per minibatch (losses.py): the policy cross-entropy, plus the value cross-entropy against
the value target (the outcome, or mixed with the searched values) times the value weight,
plus, where the network has an ownership head, the ownership cross-entropy times the ownership
weight, and where it has a score head, the score's squared error times the score weight.
Weight decay applies to the convolution and linear weights.

The batch norms' running statistics are not what play uses: training leaves them an average
over the last few dozen steps' weights, which at the learning rate here moved enough that the
saved network valued positions markedly worse than the trained one. Before every save they are
measured afresh with the weights as they are (``calibrate_norms``), from minibatches of the
window drawn by a generator of their own, so the training steps and their draws are the same
with or without a save between them.

With ``average_decay`` set, the network saved (and so played and evaluated) is a moving
average of the trained weights rather than the weights of the last step: the last step's
weights swing with the last few minibatches. The trained weights are kept beside it in the
checkpoint, under ``trained_weights``, for training to go on from.

Training steps keep the network's tensors channels last, the layout the CPU's convolutions
are fastest in, and with ``precision`` bfloat16 run the forward pass under autocast: the
convolutions and linear layers in bfloat16, the losses, weights and optimizer in float32. The
batch norms are calibrated, and the saved network plays, in float32.

A checkpoint holds everything the next step depends on (training_state.py): training from a
checkpoint takes the same steps as training on without stopping.
"""

from __future__ import annotations

import copy
import dataclasses
import math
import time
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import torch
from torch import nn

from ..data.symmetries import Batch
from ..data.window import Source, Window
from ..networks import checkpoint
from ..networks.errors import CheckpointError
from ..networks.inputs import InputKind
from ..networks.model import TralixNet, native_bfloat16
from ..networks.settings import ModelSettings
from .losses import StepLosses, batch_losses, measured
from .settings import PolicyTarget, Precision, TrainSettings
from .training_state import (
    random_states,
    restore_random_states,
    restored_window,
    saved_settings,
    saved_weights,
    starting_network,
    window_state,
)

# Minibatches over which the batch norms' statistics are measured before a save.
CALIBRATION_BATCHES = 32


@dataclasses.dataclass
class TrainStats:
    """Means over the steps of one call of ``Trainer.train``."""

    steps: int = 0
    policy_loss: float = math.nan
    value_loss: float = math.nan       # against the outcome alone
    policy_entropy: float = math.nan   # of the network's policy on the training samples
    target_entropy: float = math.nan   # of the policy targets
    ownership_loss: float = math.nan   # per tile (nan without an ownership head)
    samples_per_second: float = math.nan
    seconds: float = 0.0
    learning_rate: float = math.nan
    value_target_loss: float = math.nan  # against the value target, what training minimises
    score_loss: float = math.nan       # nan without a score head


class Trainer:
    def __init__(self, side: int, model: ModelSettings, train: TrainSettings) -> None:
        self.side = side
        self.model_settings = model
        self.settings = train
        torch.manual_seed(train.seed)
        self.model = TralixNet(model).to(memory_format=torch.channels_last)
        self.bfloat16 = uses_bfloat16(train.precision)
        decay = [p for p in self.model.parameters() if p.ndim > 1]
        no_decay = [p for p in self.model.parameters() if p.ndim <= 1]
        self.optimizer = torch.optim.AdamW(
            [{"params": decay, "weight_decay": train.weight_decay},
             {"params": no_decay, "weight_decay": 0.0}], lr=train.learning_rate)
        warmup = train.warmup_steps
        self.rate_scale = 1.0  # the caller's factor on top of the warm-up (an anneal)
        self.schedule = torch.optim.lr_scheduler.LambdaLR(
            self.optimizer, lambda step: self.rate_scale * (
                min(1.0, (step + 1) / warmup) if warmup else 1.0))
        self.rng = np.random.Generator(np.random.PCG64(train.seed))
        self.steps = 0
        # The moving average of the weights, when there is one: what is saved and played.
        self.average: TralixNet | None = copy.deepcopy(self.model) if train.average_decay else None
        self.window = Window(side, train.window, train.policy_target is PolicyTarget.LOOKAHEAD,
                             model.inputs is InputKind.FULL)
        self.extra: dict[str, Any] = {}  # what the caller keeps in the checkpoint beside

    # ----- training -----------------------------------------------------------------------

    def step(self, batch: Batch) -> StepLosses:
        """One optimizer step; returns what it measured on the minibatch."""
        self.model.train()
        losses = batch_losses(self.model, batch, self.bfloat16)
        loss = losses.policy + self.settings.value_weight * losses.trained_value
        if losses.ownership is not None:
            loss = loss + self.settings.ownership_weight * losses.ownership
        if losses.score is not None:
            loss = loss + self.settings.score_weight * losses.score
        self.optimizer.zero_grad(set_to_none=True)
        loss.backward()  # type: ignore[no-untyped-call]
        self.optimizer.step()
        self.schedule.step()
        self.steps += 1
        self._update_average()
        return measured(losses)

    def _update_average(self) -> None:
        """Moves the average towards the trained weights: a plain mean over the first
        1/(1 - decay) steps, then an exponential moving average."""
        if self.average is None:
            return
        share = max(1.0 - self.settings.average_decay, 1.0 / self.steps)
        with torch.no_grad():
            for mean, trained in zip(self.average.parameters(), self.model.parameters(),
                                     strict=True):
                mean.lerp_(trained, share)

    @property
    def played(self) -> TralixNet:
        """The network that is saved and played: the average, or the trained one."""
        return self.model if self.average is None else self.average

    def draw(self, rng: np.random.Generator | None = None) -> Batch:
        """A minibatch of the window, drawn with ``rng`` (the trainer's own by default)."""
        s = self.settings
        return self.window.draw(self.rng if rng is None else rng, s.batch_size,
                                s.target_temperature, s.rotations, s.reflections,
                                s.sharpen_improved, s.value_target_mix)

    def train(self, steps: int, progress: Callable[[int, float], None] | None = None,
              should_stop: Callable[[], bool] | None = None,
              rate_scale: float = 1.0) -> TrainStats:
        """``steps`` steps (fewer if ``should_stop`` says so between steps), at the learning
        rate of the schedule times ``rate_scale``."""
        self.rate_scale = rate_scale
        schedule = self.schedule
        for group, lr, factor in zip(self.optimizer.param_groups, schedule.base_lrs,
                                     schedule.lr_lambdas, strict=True):
            group["lr"] = lr * factor(schedule.last_epoch)
        start = time.perf_counter()
        measures = len(StepLosses._fields)
        totals, counts = np.zeros(measures), np.zeros(measures)
        done = 0
        for _ in range(steps):
            if should_stop is not None and should_stop():
                break
            losses = np.array(self.step(self.draw()))
            measured = ~np.isnan(losses)
            totals[measured] += losses[measured]
            counts += measured
            done += 1
            if progress is not None:
                progress(done, float(np.nansum(losses[:2])))
        seconds = time.perf_counter() - start
        if not done:
            return TrainStats(seconds=seconds)
        # Each loss over the steps whose minibatch had it: a minibatch without policy targets
        # (the first generation's games alone) measures no policy loss, not one of 0.
        means = np.where(counts > 0, totals / np.maximum(counts, 1), np.nan)
        return TrainStats(steps=done, policy_loss=means[0], value_loss=means[1],
                          policy_entropy=means[2], target_entropy=means[3],
                          ownership_loss=means[4],
                          samples_per_second=done * self.settings.batch_size / seconds,
                          seconds=seconds, learning_rate=float(self.schedule.get_last_lr()[0]),
                          value_target_loss=means[5], score_loss=means[6])

    # ----- checkpoints --------------------------------------------------------------------

    def state(self, directory: Path) -> dict[str, Any]:
        trained = {} if self.average is None else {"trained_weights": self.model.state_dict()}
        return {
            "side": self.side,
            "model": self.model_settings.as_dict(),
            "train": self.settings.as_dict(),
            "weights": self.played.state_dict(),
            **trained,
            "optimizer": self.optimizer.state_dict(),
            "schedule": self.schedule.state_dict(),
            "random": random_states(self.rng),
            "steps": self.steps,
            "window": window_state(self.window.sources, directory),
            "extra": self.extra,
        }

    def calibrate_norms(self, batches: int = CALIBRATION_BATCHES) -> None:
        """Sets every batch norm's running statistics of the played network to their mean
        over ``batches`` minibatches of the window under its current weights (nothing when the
        window is empty). The minibatches depend on the seed and the step count alone."""
        if not len(self.window):
            return
        played = self.played
        norms = [m for m in played.modules() if isinstance(m, nn.modules.batchnorm._BatchNorm)]
        momenta = [norm.momentum for norm in norms]
        for norm in norms:
            norm.reset_running_stats()
            norm.momentum = None  # a cumulative mean over the passes below
        rng = np.random.Generator(np.random.PCG64([self.settings.seed, self.steps, 0x6E6F726D]))
        played.train()
        with torch.no_grad():
            for _ in range(batches):
                batch = self.draw(rng)
                played(torch.from_numpy(batch.planes),
                       None if batch.globals_ is None else torch.from_numpy(batch.globals_))
        for norm, momentum in zip(norms, momenta, strict=True):
            norm.momentum = momentum

    def save(self, path: Path) -> None:
        """Saves the trainer, its batch norms calibrated first."""
        self.calibrate_norms()
        checkpoint.save(self.state(path.parent), path)

    @classmethod
    def load(cls, path: Path, side: int, model: Mapping[str, Any] | None = None,
             train: Mapping[str, Any] | None = None) -> Trainer:
        """The trainer a checkpoint saved. ``model`` and ``train`` are settings asked for
        (some or all fields): where they differ from the checkpoint's, it is refused, listing
        the differences."""
        state = checkpoint.load(path)
        saved_model, saved_train = saved_settings(state, path, side, model, train)
        trainer = cls(side, saved_model, saved_train)
        weights, average = saved_weights(state, path, trainer.average is not None)
        if trainer.average is not None and average is not None:
            trainer.average.load_state_dict(average)
        trainer.model.load_state_dict(weights)
        try:
            trainer.optimizer.load_state_dict(state["optimizer"])
            trainer.schedule.load_state_dict(state["schedule"])
            restore_random_states(state["random"], trainer.rng)
        except (KeyError, ValueError, TypeError, RuntimeError) as error:
            raise CheckpointError(f"checkpoint {path} has an unusable training state "
                                  f"({type(error).__name__}: {error})") from None
        trainer.steps = int(state["steps"])
        trainer.extra = dict(state.get("extra", {}))
        trainer.window = restored_window(state, path, side, saved_train, saved_model)
        return trainer

    def start_from(self, path: Path) -> None:
        """Takes the network a checkpoint plays (``starting_network``) as the trained weights,
        and as the average."""
        weights = starting_network(path, self.model_settings).state_dict()
        self.model.load_state_dict(weights)
        if self.average is not None:
            self.average.load_state_dict(weights)

    def sources(self) -> Sequence[Source]:
        return self.window.sources


def uses_bfloat16(precision: Precision) -> bool:
    """Whether training in ``precision`` computes in bfloat16: for auto, whether the CPU has
    bfloat16 instructions (without them autocast emulates it, slower than float32)."""
    if precision is Precision.AUTO:
        return native_bfloat16()
    return precision is Precision.BFLOAT16
