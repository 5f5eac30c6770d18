"""Which engine runs a ``torch:CHECKPOINT`` network, and the name a worker then loads.

``onnxruntime`` runs the checkpoint's ONNX file (exported.py), kept beside the checkpoint and
exported again whenever it is missing or stale; ``torch`` runs the checkpoint itself;
``torch-bfloat16`` runs it in bfloat16, which on a CPU with bfloat16 matrix units beats ONNX
Runtime's float32 at batches of 16 and more (bench/README.md); ``auto`` is ONNX Runtime when it
is installed. Nothing here imports torch: a play-only installation resolves a checkpoint whose
ONNX file is up to date without it.
"""

from __future__ import annotations

import dataclasses
import enum
import importlib
import logging

from .names import NetworkKind, NetworkName

logger = logging.getLogger(__name__)

INSTALL_HINT = ("install it with pip install onnxruntime (or the package's play extra, "
                "pip install 'tralix-self-play[play]')")


class BackendUnavailable(ValueError):
    """The backend asked for is not installed; says how to install it."""


def onnxruntime_installed() -> bool:
    try:
        importlib.import_module("onnxruntime")
    except ImportError:
        return False
    return True


class Backend(enum.StrEnum):
    """The engine that runs a torch:CHECKPOINT network."""

    AUTO = "auto"                # ONNX Runtime when it is installed, else PyTorch
    TORCH = "torch"              # PyTorch, from the checkpoint
    TORCH_BFLOAT16 = "torch-bfloat16"  # PyTorch in bfloat16, channels last
    ONNXRUNTIME = "onnxruntime"  # ONNX Runtime, from the checkpoint's ONNX file

    def resolve(self) -> Backend:
        """TORCH, TORCH_BFLOAT16 or ONNXRUNTIME; BackendUnavailable when ONNX Runtime is asked
        for and is not installed."""
        if self in (Backend.TORCH, Backend.TORCH_BFLOAT16):
            return self
        installed = onnxruntime_installed()
        if self is Backend.AUTO:
            return Backend.ONNXRUNTIME if installed else Backend.TORCH
        if not installed:
            raise BackendUnavailable(f"backend onnxruntime: ONNX Runtime is not installed; "
                                     f"{INSTALL_HINT}")
        return self


def runnable(name: NetworkName, backend: Backend) -> NetworkName:
    """The network a worker loads for ``name`` on ``backend``: on ONNX Runtime a torch
    checkpoint becomes its ONNX file (exported first when missing or stale, with a log line;
    a damaged one is a CheckpointError naming it); on torch-bfloat16 a checkpoint is marked
    to run in bfloat16; any other name stays as it is. ``auto`` keeps a checkpoint on
    PyTorch, with a warning, when its ONNX file cannot be made (no exporter installed, a
    folder that cannot be written); ``onnxruntime`` then fails."""
    if name.kind is not NetworkKind.TORCH or backend.resolve() is Backend.TORCH:
        return name
    if backend is Backend.TORCH_BFLOAT16:
        return dataclasses.replace(name, bfloat16=True)
    assert name.path is not None
    from .exported import exported

    try:
        return NetworkName.onnx(exported(name.path))
    except (BackendUnavailable, OSError) as error:
        if backend is not Backend.AUTO:
            raise
        logger.warning("%s runs on PyTorch: its ONNX file cannot be made (%s)", name, error)
        return name
