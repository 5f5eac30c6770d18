"""A minibatch's losses: the policy cross-entropy against the (sharpened) targets, the
network's logits masked to the valid tiles as the search masks them, averaged over the samples
that have a policy target; the value cross-entropy against the value target (the outcome, or
the outcome mixed with the searched values), player to move first, and against the outcome
alone for the metrics; where the network has an ownership head, the cross-entropy of each
tile's final owner averaged over the tiles; and where it has a score head, the squared error
of each seat's final tile count (over 89) summed over the seats. What a training step reports
of them is ``StepLosses``."""

from __future__ import annotations

import dataclasses
import math
from typing import NamedTuple

import torch
from torch import nn

from ..data.symmetries import Batch
from ..networks.model import TralixNet


@dataclasses.dataclass
class Losses:
    """A minibatch's losses as tensors, with what the policy loss was made of."""

    policy: torch.Tensor      # cross-entropy, averaged over the samples with a policy target
    value: torch.Tensor       # cross-entropy against the outcome, averaged over the samples
    log_policy: torch.Tensor  # the network's, masked to the valid tiles (0 elsewhere)
    target: torch.Tensor      # the policy targets
    has_target: torch.Tensor  # 1 where the sample has a policy target, else 0
    ownership: torch.Tensor | None = None  # cross-entropy per tile, where there is the head
    # Cross-entropy against the value target, what training minimises: the value loss itself
    # where the target is the outcome alone.
    value_target: torch.Tensor | None = None
    score: torch.Tensor | None = None  # squared error summed over the seats, where the head is

    @property
    def trained_value(self) -> torch.Tensor:
        """The value loss that training minimises."""
        return self.value if self.value_target is None else self.value_target


class StepLosses(NamedTuple):
    """What a training step measured on its minibatch; nan for what it has none of (the
    policy's three when no sample has a policy target, the ownership without a head)."""

    policy: float
    value: float            # against the outcome alone
    policy_entropy: float   # of the network's policy on the samples with a target
    target_entropy: float   # of the policy targets
    ownership: float
    value_target: float     # against the value target (the outcome, or mixed)
    score: float


def batch_losses(model: TralixNet, batch: Batch, bfloat16: bool = False) -> Losses:
    """The policy and value cross-entropy of the model (in the mode it is in) on a minibatch:
    the logits masked to the valid tiles as the search masks them; where the model has an
    ownership head, its cross-entropy averaged over the tiles; where it has a score head, its
    squared error. With ``bfloat16`` the network computes under bfloat16 autocast; the losses
    are float32 either way."""
    planes = torch.from_numpy(batch.planes)
    globals_ = None if batch.globals_ is None else torch.from_numpy(batch.globals_)
    target = torch.from_numpy(batch.policy)
    has_target = torch.from_numpy(batch.policy_mask).float()
    valid = planes[:, 4].reshape(len(planes), -1) > 0
    with torch.autocast("cpu", dtype=torch.bfloat16, enabled=bfloat16):
        outputs = model.forward_training(planes.contiguous(memory_format=torch.channels_last),
                                         globals_)
    logits, value_logits = outputs.policy.float(), outputs.value.float()
    ownership = None
    if outputs.ownership is not None:
        owners = torch.from_numpy(batch.ownership).reshape(len(planes), *planes.shape[2:])
        ownership = nn.functional.cross_entropy(outputs.ownership.float(), owners)
    score = None
    if outputs.score is not None and batch.score is not None:
        error = outputs.score.float() - torch.from_numpy(batch.score)
        score = (error * error).sum(1).mean()
    log_policy = torch.log_softmax(logits.masked_fill(~valid, -torch.inf), dim=1)
    log_policy = torch.where(valid, log_policy, torch.zeros_like(log_policy))
    counted = has_target.sum().clamp(min=1.0)
    policy = -((target * log_policy).sum(1) * has_target).sum() / counted
    log_value = torch.log_softmax(value_logits, dim=1)
    value = -(torch.from_numpy(batch.outcome_target) * log_value).sum(1).mean()
    value_target = (None if batch.outcome is None else
                    -(torch.from_numpy(batch.value) * log_value).sum(1).mean())
    return Losses(policy, value, log_policy, target, has_target, ownership, value_target, score)


def measured(losses: Losses) -> StepLosses:
    """The losses as numbers, with the entropies of the network's policy and of the targets
    over the samples that have a target."""
    with torch.no_grad():
        log_policy, target, has_target = losses.log_policy, losses.target, losses.has_target
        counted = has_target.sum().clamp(min=1.0)
        entropy = -((log_policy.exp() * log_policy).sum(1) * has_target).sum() / counted
        logs = torch.where(target > 0, target.clamp(min=1e-12).log(), torch.zeros_like(target))
        target_entropy = -((target * logs).sum(1) * has_target).sum() / counted
    ownership = math.nan if losses.ownership is None else losses.ownership.item()
    score = math.nan if losses.score is None else losses.score.item()
    value, value_target = losses.value.item(), losses.trained_value.item()
    if not has_target.any():
        return StepLosses(math.nan, value, math.nan, math.nan, ownership, value_target, score)
    return StepLosses(losses.policy.item(), value, entropy.item(), target_entropy.item(),
                      ownership, value_target, score)
