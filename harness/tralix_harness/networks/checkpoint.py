"""Checkpoint files: written atomically, read with clear errors.

A checkpoint is a dict saved with ``torch.save``: a format tag, the board side, the model
settings and weights, and for training the optimizer, the learning-rate schedule, the random
states, the counters and the data window. It is written atomically (base.files), so a run
killed at any moment leaves either the old checkpoint or the new one. Reading uses torch's
weights-only loader: a file cannot run code. torch is imported only when a checkpoint is read
or written.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

from ..base.files import write_atomically
from .errors import CheckpointError

FORMAT = "tralix-checkpoint"
VERSION = 1


def save(state: dict[str, Any], path: Path) -> None:
    """Writes ``state`` (plus the format tag) to ``path`` atomically."""
    import torch

    write_atomically(path, lambda f: torch.save(dict(state, format=FORMAT, version=VERSION), f))


def load(path: Path) -> dict[str, Any]:
    """The checkpoint's contents. CheckpointError for a missing, unreadable or foreign file."""
    import pickle
    import zipfile

    import torch

    if not path.is_file():
        raise CheckpointError(f"checkpoint {path} does not exist")
    try:
        state = torch.load(path, map_location="cpu", weights_only=True)
    except (OSError, RuntimeError, EOFError, ValueError, pickle.UnpicklingError,
            zipfile.BadZipFile, KeyError, IndexError, TypeError) as error:
        first = str(error).strip().splitlines()[0] if str(error).strip() else ""
        reason = f"{type(error).__name__}: {first}" if first else type(error).__name__
        raise CheckpointError(f"checkpoint {path} is not readable ({reason})") from None
    if not isinstance(state, dict) or state.get("format") != FORMAT:
        raise CheckpointError(f"{path} is not a tralix checkpoint")
    if state.get("version") != VERSION:
        raise CheckpointError(f"checkpoint {path} has format version {state.get('version')}; "
                              f"this program reads version {VERSION}")
    for key in ("side", "model", "weights"):
        if key not in state:
            raise CheckpointError(f"checkpoint {path} has no {key!r}")
    return state
