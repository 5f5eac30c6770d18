"""Which engine runs a ``torch:CHECKPOINT`` network: chosen and settled here, in the process
that starts a run, and nowhere else.

``onnxruntime`` runs the checkpoint's ONNX file (exported.py), kept beside the checkpoint and
exported again whenever it is missing or stale; ``torch`` runs the checkpoint itself;
``torch-bfloat16`` runs it in bfloat16, which on a CPU with bfloat16 matrix units beats ONNX
Runtime's float32 at batches of 16 and more (bench/README.md); ``auto`` is ONNX Runtime when it
is installed. ``settle`` turns the names a run was asked for into the files its processes load
and the backend they load them on; ``load_network`` takes both. Nothing here imports torch but
to ask whether the CPU computes bfloat16: a play-only installation settles a checkpoint whose
ONNX file is up to date without it.
"""

from __future__ import annotations

import dataclasses
import enum
import importlib
import logging
from collections.abc import Sequence
from pathlib import Path

from .errors import INSTALL_HINT, BackendUnavailable
from .exported import export, exported
from .inputs import InputKind
from .names import NetworkKind, NetworkName

logger = logging.getLogger(__name__)

# Where self-play is half of a generation (side 20), bfloat16 plays it 1.5 times as fast as
# ONNX Runtime; on side 10 it is a quarter, and two equal-time runs of 15 minutes gained one
# generation in 29 and nothing in score (bench/README.md).
BFLOAT16_SIDE = 16


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

    def resolve(self, batched_side: int | None = None) -> Backend:
        """TORCH, TORCH_BFLOAT16 or ONNXRUNTIME; BackendUnavailable when ONNX Runtime is asked
        for and is not installed. ``auto`` is ONNX Runtime when it is installed, else
        PyTorch; but with ``batched_side``, for games on this machine whose batches grow large
        (the loop's self-play), on boards of BFLOAT16_SIDE or more it is bfloat16 where the
        CPU computes it natively (a cluster's nodes may lack both the instructions and torch:
        never bfloat16 unasked there)."""
        if self in (Backend.TORCH, Backend.TORCH_BFLOAT16):
            return self
        if self is Backend.AUTO and batched_side is not None and batched_side >= BFLOAT16_SIDE:
            from .model import native_bfloat16

            if native_bfloat16():
                return Backend.TORCH_BFLOAT16
        installed = onnxruntime_installed()
        if self is Backend.AUTO:
            return Backend.ONNXRUNTIME if installed else Backend.TORCH
        if not installed:
            raise BackendUnavailable(f"backend onnxruntime: ONNX Runtime is not installed; "
                                     f"{INSTALL_HINT}")
        return self


@dataclasses.dataclass(frozen=True)
class Settled:
    """A run's networks as its processes load them, what runs the checkpoints among them, and
    what each network sees."""

    names: tuple[NetworkName, ...]
    backend: Backend  # TORCH, TORCH_BFLOAT16 or ONNXRUNTIME, never AUTO
    inputs: tuple[InputKind, ...]


def settle(names: Sequence[NetworkName], asked: Backend) -> Settled:
    """The networks ``names`` on the backend ``asked``, as the processes load them: on ONNX
    Runtime a torch checkpoint becomes its ONNX file (exported first when missing or stale,
    with a log line; a damaged one is a CheckpointError naming it); any other name stays as
    it is. ``auto`` keeps a checkpoint on PyTorch, with a warning, when its ONNX file cannot
    be made (no exporter installed, a folder that cannot be written), and the backend is then
    PyTorch, for a cluster's nodes; ``onnxruntime`` then fails. Called once, in the process
    that starts a run, before any other starts. What each network sees is read from its
    file as it is loaded (``NetworkName.inputs``)."""
    backend = asked.resolve()
    if backend is not Backend.ONNXRUNTIME:
        return Settled(tuple(names), backend, tuple(name.inputs() for name in names))
    loaded: list[NetworkName] = []
    for name in names:
        if name.kind is NetworkKind.TORCH:
            assert name.path is not None
            try:
                name = NetworkName.onnx(exported(name.path))
            except (BackendUnavailable, OSError) as error:
                if asked is not Backend.AUTO:
                    raise
                logger.warning("%s runs on PyTorch: its ONNX file cannot be made (%s)", name,
                               error)
        loaded.append(name)
    if any(name.kind is NetworkKind.TORCH for name in loaded):
        backend = Backend.TORCH
    return Settled(tuple(loaded), backend, tuple(name.inputs() for name in loaded))


@dataclasses.dataclass
class Backends:
    """What runs a series of runs' torch checkpoints that one ``--backend`` asks for (the
    generation loop's): settled once, then ``export`` as each checkpoint is made.

    ``batched`` runs the games whose batches grow large: self-play, in worker processes on
    this machine, and the matches played in the process (as fast in bfloat16 as on ONNX
    Runtime at their batches of 8 to 24 positions on side 10, 1.7 times as fast on side 20).
    ``single`` runs the games that ask one position at a time in each game (against random
    players), where bfloat16 is slowest and its workers would import torch: ONNX Runtime
    there when it is installed."""

    asked: Backend
    batched: Backend
    single: Backend

    @classmethod
    def settle(cls, asked: Backend, side: int, on_this_machine: bool) -> Backends:
        """BackendUnavailable at once when ONNX Runtime is asked for and missing."""
        batched = asked.resolve(side if on_this_machine else None)
        single = Backend.AUTO.resolve() if batched is Backend.TORCH_BFLOAT16 else batched
        return cls(asked, batched, single)

    def export(self, checkpoint: Path) -> None:
        """A new checkpoint's ONNX file, made now when ``single`` runs on ONNX Runtime (a
        checkpoint whose export was cut short has it made when a run needs it). Without an
        exporter, PyTorch from then on, with a warning; but BackendUnavailable when ONNX
        Runtime was asked for."""
        if self.single is not Backend.ONNXRUNTIME:
            return
        try:
            export(checkpoint)
        except BackendUnavailable as error:
            if self.asked is Backend.ONNXRUNTIME:
                raise
            logger.warning("the loop evaluates its networks on PyTorch: %s", error)
            self.single = Backend.TORCH
            if self.batched is Backend.ONNXRUNTIME:
                self.batched = Backend.TORCH
