"""What a trainer's checkpoint holds beside the network, and the checks made as one is read.

A checkpoint holds everything the next training step depends on: the weights (with
``average_decay``, the averaged network as the weights played and the trained ones beside it,
under ``trained_weights``), the optimizer and learning-rate schedule, the random states
(Python's, numpy's, torch's and the trainer's own generator, which draws every minibatch and
augmentation), the counters and the window's sources. ``starting_network`` takes another
checkpoint's network as a new run's start, on any side.
"""

from __future__ import annotations

import random
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import torch

from ..base.settings import differences
from ..data.samples import DataError
from ..data.window import Source, Window, relative_path
from ..networks import checkpoint
from ..networks.errors import CheckpointError
from ..networks.inputs import InputKind
from ..networks.model import TralixNet, model_from_state
from ..networks.settings import ModelSettings
from .settings import PolicyTarget, TrainSettings

# What a checkpoint that trains on holds beside its network.
TRAINING_KEYS = ("train", "optimizer", "schedule", "random", "steps", "window")


def random_states(rng: np.random.Generator) -> dict[str, Any]:
    """Every random state a training step draws from, ``rng`` the trainer's own."""
    return {"python": random.getstate(), "numpy": _numpy_global_state(),
            "torch": torch.get_rng_state(), "trainer": rng.bit_generator.state}


def restore_random_states(states: Mapping[str, Any], rng: np.random.Generator) -> None:
    """Puts back what ``random_states`` saved (KeyError, ValueError or TypeError when it
    cannot)."""
    random.setstate(_tuples(states["python"]))
    np.random.set_state(_numpy_state(states["numpy"]))
    torch.set_rng_state(states["torch"])
    rng.bit_generator.state = states["trainer"]


def window_state(sources: Sequence[Source], directory: Path) -> list[dict[str, Any]]:
    """The window's data files, relative to the checkpoint's folder where they can be."""
    return [{"path": relative_path(s.path, directory), "games": s.games} for s in sources]


def restored_window(state: Mapping[str, Any], path: Path, side: int,
                    settings: TrainSettings, model: ModelSettings) -> Window:
    """The window the checkpoint at ``path`` trained on, read again from its data files; a
    DataError when one is missing."""
    sources = [Source(path.parent / s["path"], int(s["games"])) for s in state["window"]]
    try:
        return Window.restore(side, settings.window, sources,
                              settings.policy_target is PolicyTarget.LOOKAHEAD,
                              model.inputs is InputKind.FULL)
    except FileNotFoundError as error:
        raise DataError(f"checkpoint {path} trained on {error.filename}, which is "
                        "missing") from None


def saved_settings(state: Mapping[str, Any], path: Path, side: int,
                   model: Mapping[str, Any] | None, train: Mapping[str, Any] | None
                   ) -> tuple[ModelSettings, TrainSettings]:
    """The network's and the training's settings of a checkpoint that trains on, on
    ``side``. ``model`` and ``train`` are settings asked for (some or all fields): where they
    differ from the checkpoint's, it is refused, listing the differences."""
    if state["side"] != side:
        raise CheckpointError(f"checkpoint {path} was trained on side {state['side']}; "
                              f"expected side {side}")
    for key in TRAINING_KEYS:
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
    return saved_model, saved_train


def saved_weights(state: Mapping[str, Any], path: Path, averaged: bool
                  ) -> tuple[dict[str, Any], dict[str, Any] | None]:
    """The trained weights, and with ``averaged`` the average's (the weights played)."""
    weights = model_from_state(dict(state), path).state_dict()
    if not averaged:
        return weights, None
    if "trained_weights" not in state:
        raise CheckpointError(f"checkpoint {path} averages the weights but holds no "
                              "trained weights")
    trained = model_from_state(dict(state, weights=state["trained_weights"]), path).state_dict()
    return trained, weights


def starting_inputs(path: Path) -> InputKind:
    """What the network of the checkpoint a new run starts from sees (CheckpointError for a
    checkpoint that is missing or unreadable)."""
    state = checkpoint.load(path)
    try:
        return ModelSettings.from_dict(state["model"]).inputs
    except (TypeError, ValueError, AttributeError) as error:
        raise CheckpointError(f"checkpoint {path} describes no usable network: {error}"
                              ) from None


# The heads that only training uses: a run may start from a checkpoint with or without them.
TRAINING_HEADS = ("ownership", "score")


def starting_network(path: Path, settings: ModelSettings) -> TralixNet:
    """The network a checkpoint plays, for a run of network ``settings`` to start from, on
    whatever side it was trained: the network is convolutional and its value heads pooled.
    A checkpoint of other network settings (what it sees among them) is refused, listing the
    differences; but for the ownership and score heads, which are training aids: a run with
    one starts it afresh from a checkpoint without, a run without leaves the checkpoint's
    out."""
    state = checkpoint.load(path)
    source = model_from_state(state, path)
    saved = ModelSettings.from_dict(state["model"])
    changed = differences(dict(saved.as_dict(), ownership=settings.ownership,
                               score_head=settings.score_head), settings.as_dict())
    if changed:
        raise CheckpointError(f"checkpoint {path} holds another network (checkpoint -> this "
                              f"run): {'; '.join(changed)}")
    if saved.ownership == settings.ownership and saved.score_head == settings.score_head:
        return source
    network = TralixNet(settings)
    weights = {k: v for k, v in source.state_dict().items()
               if k.split(".")[0] not in TRAINING_HEADS}
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
