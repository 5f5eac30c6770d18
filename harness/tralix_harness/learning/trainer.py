"""The trainer: minibatches from the window, policy and value cross-entropy, AdamW, and
checkpoints that resume exactly.

Loss per minibatch: the policy cross-entropy against the (sharpened) visit shares, the
network's logits masked to the valid tiles as the search masks them, averaged over the samples
that have a policy target; plus the value cross-entropy against the outcome, player to move
first, times the value weight; plus, where the network has an ownership head, the
cross-entropy of each tile's final owner averaged over the tiles, times the ownership weight.
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

A checkpoint holds everything the next step depends on: weights, optimizer, learning-rate
schedule, the random states (python, numpy, torch, and the trainer's own generator, which
draws every minibatch and augmentation), the counters and the window's sources. Training
from a checkpoint therefore takes the same steps as training on without stopping.
"""

from __future__ import annotations

import copy
import dataclasses
import math
import random
import time
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import torch
from torch import nn

from ..base.settings import differences
from ..data.samples import DataError
from ..data.symmetries import Batch
from ..data.window import Source, Window, relative_path
from ..networks import checkpoint
from ..networks.errors import CheckpointError
from ..networks.model import TralixNet, model_from_state
from ..networks.settings import ModelSettings
from .settings import PolicyTarget, Precision, TrainSettings

# Minibatches over which the batch norms' statistics are measured before a save.
CALIBRATION_BATCHES = 32


@dataclasses.dataclass
class TrainStats:
    """Means over the steps of one call of ``Trainer.train``."""

    steps: int = 0
    policy_loss: float = math.nan
    value_loss: float = math.nan
    policy_entropy: float = math.nan   # of the network's policy on the training samples
    target_entropy: float = math.nan   # of the policy targets
    ownership_loss: float = math.nan   # per tile (nan without an ownership head)
    samples_per_second: float = math.nan
    seconds: float = 0.0
    learning_rate: float = math.nan


@dataclasses.dataclass
class Losses:
    """A minibatch's losses as tensors, with what the policy loss was made of."""

    policy: torch.Tensor      # cross-entropy, averaged over the samples with a policy target
    value: torch.Tensor       # cross-entropy against the outcome, averaged over the samples
    log_policy: torch.Tensor  # the network's, masked to the valid tiles (0 elsewhere)
    target: torch.Tensor      # the policy targets
    has_target: torch.Tensor  # 1 where the sample has a policy target, else 0
    ownership: torch.Tensor | None = None  # cross-entropy per tile, where there is the head


def batch_losses(model: TralixNet, batch: Batch, bfloat16: bool = False) -> Losses:
    """The policy and value cross-entropy of the model (in the mode it is in) on a minibatch:
    the logits masked to the valid tiles as the search masks them; and where the model has an
    ownership head, its cross-entropy averaged over the tiles. With ``bfloat16`` the network
    computes under bfloat16 autocast; the losses are float32 either way."""
    planes = torch.from_numpy(batch.planes)
    target = torch.from_numpy(batch.policy)
    has_target = torch.from_numpy(batch.policy_mask).float()
    valid = planes[:, 4].reshape(len(planes), -1) > 0
    with torch.autocast("cpu", dtype=torch.bfloat16, enabled=bfloat16):
        logits, value_logits, owner_logits = model.forward_training(
            planes.contiguous(memory_format=torch.channels_last))
    logits, value_logits = logits.float(), value_logits.float()
    ownership = None
    if owner_logits is not None:
        owners = torch.from_numpy(batch.ownership).reshape(len(planes), *planes.shape[2:])
        ownership = nn.functional.cross_entropy(owner_logits.float(), owners)
    log_policy = torch.log_softmax(logits.masked_fill(~valid, -torch.inf), dim=1)
    log_policy = torch.where(valid, log_policy, torch.zeros_like(log_policy))
    counted = has_target.sum().clamp(min=1.0)
    policy = -((target * log_policy).sum(1) * has_target).sum() / counted
    value = -(torch.from_numpy(batch.value) * torch.log_softmax(value_logits, dim=1)).sum(1).mean()
    return Losses(policy, value, log_policy, target, has_target, ownership)


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
        self.window = Window(side, train.window_games,
                             train.policy_target is PolicyTarget.LOOKAHEAD)
        self.extra: dict[str, Any] = {}  # what the caller keeps in the checkpoint beside

    # ----- training -----------------------------------------------------------------------

    def step(self, batch: Batch) -> tuple[float, float, float, float, float]:
        """One optimizer step; returns (policy loss, value loss, policy entropy, target
        entropy, ownership loss) of the minibatch, nan for what it has none of (the policy's
        three when no sample has a policy target, the ownership without a head)."""
        self.model.train()
        losses = batch_losses(self.model, batch, self.bfloat16)
        loss = losses.policy + self.settings.value_weight * losses.value
        if losses.ownership is not None:
            loss = loss + self.settings.ownership_weight * losses.ownership
        self.optimizer.zero_grad(set_to_none=True)
        loss.backward()  # type: ignore[no-untyped-call]
        self.optimizer.step()
        self.schedule.step()
        self.steps += 1
        self._update_average()
        with torch.no_grad():
            log_policy, target, has_target = losses.log_policy, losses.target, losses.has_target
            counted = has_target.sum().clamp(min=1.0)
            entropy = -((log_policy.exp() * log_policy).sum(1) * has_target).sum() / counted
            logs = torch.where(target > 0, target.clamp(min=1e-12).log(), torch.zeros_like(target))
            target_entropy = -((target * logs).sum(1) * has_target).sum() / counted
        ownership = math.nan if losses.ownership is None else losses.ownership.item()
        if not has_target.any():
            return math.nan, losses.value.item(), math.nan, math.nan, ownership
        return (losses.policy.item(), losses.value.item(), entropy.item(), target_entropy.item(),
                ownership)

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
                                s.target_temperature, s.rotations, s.reflections)

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
        totals, counts = np.zeros(5), np.zeros(5)
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
                          seconds=seconds, learning_rate=float(self.schedule.get_last_lr()[0]))

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
            "random": {
                "python": random.getstate(),
                "numpy": _numpy_global_state(),
                "torch": torch.get_rng_state(),
                "trainer": self.rng.bit_generator.state,
            },
            "steps": self.steps,
            "window": [{"path": relative_path(s.path, directory), "games": s.games}
                       for s in self.window.sources],
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
                played(torch.from_numpy(self.draw(rng).planes))
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
        if state["side"] != side:
            raise CheckpointError(f"checkpoint {path} was trained on side {state['side']}; "
                                  f"expected side {side}")
        for key in ("train", "optimizer", "schedule", "random", "steps", "window"):
            if key not in state:
                raise CheckpointError(f"checkpoint {path} holds weights only, no training "
                                      f"state ({key!r} is missing)")
        try:
            saved_model = ModelSettings.from_dict(state["model"])
            saved_train = TrainSettings.from_dict(state["train"])
        except (TypeError, ValueError) as error:
            raise CheckpointError(f"checkpoint {path} has unusable settings: {error}") from None
        changed = []
        for saved, asked in ((saved_model, model), (saved_train, train)):
            if asked:
                changed += differences(saved.as_dict(), dict(saved.as_dict(), **asked))
        if changed:
            raise CheckpointError(f"checkpoint {path} was made with other settings "
                                  f"(checkpoint -> asked): {'; '.join(changed)}")
        trainer = cls(side, saved_model, saved_train)
        weights = model_from_state(state, path).state_dict()
        if trainer.average is not None:
            if "trained_weights" not in state:
                raise CheckpointError(f"checkpoint {path} averages the weights but holds no "
                                      "trained weights")
            trainer.average.load_state_dict(weights)
            weights = model_from_state(dict(state, weights=state["trained_weights"]),
                                       path).state_dict()
        trainer.model.load_state_dict(weights)
        try:
            trainer.optimizer.load_state_dict(state["optimizer"])
            trainer.schedule.load_state_dict(state["schedule"])
            states = state["random"]
            random.setstate(_tuples(states["python"]))
            np.random.set_state(_numpy_state(states["numpy"]))
            torch.set_rng_state(states["torch"])
            trainer.rng.bit_generator.state = states["trainer"]
        except (KeyError, ValueError, TypeError, RuntimeError) as error:
            raise CheckpointError(f"checkpoint {path} has an unusable training state "
                                  f"({type(error).__name__}: {error})") from None
        trainer.steps = int(state["steps"])
        trainer.extra = dict(state.get("extra", {}))
        sources = [Source(path.parent / s["path"], int(s["games"])) for s in state["window"]]
        try:
            trainer.window = Window.restore(side, saved_train.window_games, sources,
                                            saved_train.policy_target is PolicyTarget.LOOKAHEAD)
        except FileNotFoundError as error:
            raise DataError(f"checkpoint {path} trained on {error.filename}, which is "
                            "missing") from None
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
        return bool(torch.cpu._is_avx512_bf16_supported() or torch.cpu._is_amx_tile_supported())
    return precision is Precision.BFLOAT16


def starting_network(path: Path, settings: ModelSettings) -> TralixNet:
    """The network a checkpoint plays, for a run of network ``settings`` to start from, on
    whatever side it was trained: the network is convolutional and its value heads pooled.
    A checkpoint of other network settings is refused, listing the differences; but for the
    ownership head, which is a training aid: a run with one starts its head afresh from a
    checkpoint without, a run without leaves the checkpoint's out."""
    state = checkpoint.load(path)
    source = model_from_state(state, path)
    saved = ModelSettings.from_dict(state["model"])
    changed = differences(dict(saved.as_dict(), ownership=settings.ownership),
                          settings.as_dict())
    if changed:
        raise CheckpointError(f"checkpoint {path} holds another network (checkpoint -> this "
                              f"run): {'; '.join(changed)}")
    if saved.ownership == settings.ownership:
        return source
    network = TralixNet(settings)
    weights = {k: v for k, v in source.state_dict().items() if not k.startswith("ownership.")}
    network.load_state_dict(weights, strict=False)
    return network.eval()


def _numpy_global_state() -> dict[str, Any]:
    name, keys, position, has_gauss, cached = np.random.get_state()
    return {"name": name, "keys": [int(k) for k in keys], "position": int(position),
            "has_gauss": int(has_gauss), "cached": float(cached)}


def _numpy_state(saved: dict[str, Any]) -> tuple[Any, ...]:
    return (saved["name"], np.asarray(saved["keys"], np.uint32), saved["position"],
            saved["has_gauss"], saved["cached"])


def _tuples(value: Any) -> Any:
    """Python's random state with the tuples it is made of (a checkpoint may hold lists)."""
    if isinstance(value, list | tuple):
        return tuple(_tuples(v) for v in value)
    return value
