"""A minibatch's losses: the policy cross-entropy against the (sharpened) targets, the
network's logits masked to the valid tiles as the search masks them, averaged over the samples
that have a policy target; the value cross-entropy against the outcome, player to move first;
and, where the network has an ownership head, the cross-entropy of each tile's final owner
averaged over the tiles. What a training step reports of them is ``StepLosses``."""

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


class StepLosses(NamedTuple):
    """What a training step measured on its minibatch; nan for what it has none of (the
    policy's three when no sample has a policy target, the ownership without a head)."""

    policy: float
    value: float
    policy_entropy: float   # of the network's policy on the samples with a target
    target_entropy: float   # of the policy targets
    ownership: float


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
    if not has_target.any():
        return StepLosses(math.nan, losses.value.item(), math.nan, math.nan, ownership)
    return StepLosses(losses.policy.item(), losses.value.item(), entropy.item(),
                      target_entropy.item(), ownership)
