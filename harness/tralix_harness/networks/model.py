"""The network: a residual tower with a fully convolutional policy head and a globally pooled
value head, so that one network serves every board side; and the ``torch:CHECKPOINT`` network
that the workers or the inference server run.

Input: the planes (batch, features, side, side), to which the network adds a plane of ones, so
that the convolutions' zero padding tells the board's edge from empty tiles. Output: policy
logits (batch, side * side), one per tile, and value logits (batch, 4), player to move first.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np
import torch
from torch import nn

import tralix_rules

from .checkpoint import CheckpointError, load
from .settings import ModelSettings

VALUE_CHANNELS = 32
VALUE_HIDDEN = 64


class _Residual(nn.Module):
    def __init__(self, channels: int) -> None:
        super().__init__()
        self.first = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.first_norm = nn.BatchNorm2d(channels)
        self.second = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.second_norm = nn.BatchNorm2d(channels)
        nn.init.zeros_(self.second_norm.weight)  # each block starts as the identity

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = torch.relu(self.first_norm(self.first(x)))
        return torch.relu(x + self.second_norm(self.second(y)))


class TralixNet(nn.Module):
    def __init__(self, settings: ModelSettings) -> None:
        super().__init__()
        self.settings = settings
        width = settings.channels
        # The planes, and the plane of ones that marks the board.
        self.stem = nn.Sequential(nn.Conv2d(tralix_rules.feature_count + 1, width, 3, padding=1,
                                            bias=False),
                                  nn.BatchNorm2d(width), nn.ReLU())
        self.tower = nn.Sequential(*[_Residual(width) for _ in range(settings.blocks)])
        self.policy = nn.Sequential(nn.Conv2d(width, width, 1, bias=False),
                                    nn.BatchNorm2d(width), nn.ReLU(), nn.Conv2d(width, 1, 1))
        self.value_features = nn.Sequential(nn.Conv2d(width, VALUE_CHANNELS, 1, bias=False),
                                            nn.BatchNorm2d(VALUE_CHANNELS), nn.ReLU())
        self.value = nn.Sequential(nn.Linear(2 * VALUE_CHANNELS, VALUE_HIDDEN), nn.ReLU(),
                                   nn.Linear(VALUE_HIDDEN, 4))

    def forward(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        batch = planes.shape[0]
        ones = torch.ones_like(planes[:, :1])
        x = self.tower(self.stem(torch.cat([planes, ones], dim=1)))
        policy = self.policy(x).reshape(batch, -1)
        features = self.value_features(x)
        pooled = torch.cat([features.mean(dim=(2, 3)), features.amax(dim=(2, 3))], dim=1)
        return policy, self.value(pooled)


def model_from_state(state: dict[str, Any], path: Path) -> TralixNet:
    """The network a checkpoint's contents describe; CheckpointError when they do not fit."""
    try:
        settings = ModelSettings.from_dict(state["model"])
    except (TypeError, ValueError, AttributeError) as error:
        raise CheckpointError(f"checkpoint {path} describes no usable network: {error}") from None
    model = TralixNet(settings)
    weights = state["weights"]
    problem = _misfit(model.state_dict(), weights) if isinstance(weights, dict) else "no weights"
    if problem is None:
        try:
            model.load_state_dict(weights)
        except (RuntimeError, TypeError) as error:
            problem = " ".join(str(error).split())[:200]
    if problem is not None:
        raise CheckpointError(
            f"checkpoint {path}: its weights do not fit the network it describes "
            f"({settings.blocks} blocks of {settings.channels} channels): {problem}")
    return model


def _misfit(expected: dict[str, Any], weights: dict[str, Any]) -> str | None:
    """What first keeps ``weights`` from loading into a network whose state is ``expected``."""
    for name, tensor in expected.items():
        if name not in weights:
            return f"{name} is missing"
        found = weights[name]
        if not isinstance(found, torch.Tensor) or found.shape != tensor.shape:
            shape = list(found.shape) if isinstance(found, torch.Tensor) else type(found).__name__
            return f"{name} has shape {shape}, expected {list(tensor.shape)}"
    extra = sorted(set(weights) - set(expected))
    return f"unexpected {extra[0]}" if extra else None


def load_model(path: Path, side: int | None = None) -> tuple[TralixNet, dict[str, Any]]:
    """The network of a checkpoint, in evaluation mode, and the checkpoint's contents. With
    ``side``, a checkpoint trained on another side is refused."""
    state = load(path)
    if side is not None and state["side"] != side:
        raise CheckpointError(f"checkpoint {path} was trained on side {state['side']}; "
                              f"expected side {side}")
    model = model_from_state(state, path)
    model.eval()
    return model, state


def policy_logits(model: TralixNet, planes: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """Evaluation-mode policy logits for float32 planes (batch, features, side, side)."""
    with torch.inference_mode():
        policy, _ = model(torch.from_numpy(planes))
    logits: np.ndarray[Any, Any] = policy.numpy()
    return logits


class TorchNetwork:
    """A checkpoint's network as a worker or the inference server runs it, on ``threads``
    torch threads (the network is fully convolutional: any side)."""

    def __init__(self, path: Path, side: int, threads: int = 1) -> None:
        torch.set_num_threads(max(threads, 1))
        self.model, _ = load_model(path)
        self.side = side

    def evaluate(self, planes: np.ndarray[Any, Any]
                 ) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]:
        with torch.inference_mode():
            policy, value = self.model(torch.from_numpy(planes))
        return policy.numpy(), value.numpy()

