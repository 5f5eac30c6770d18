"""Loading a network by its name, in the process that runs it: the one place networks are
made."""

from __future__ import annotations

import importlib
from typing import cast

from .backend import Backend
from .builtin import HeuristicNetwork, Network, UniformNetwork
from .names import NetworkKind, NetworkName


def load_network(name: NetworkName | str, side: int, threads: int | None = 1,
                 backend: Backend = Backend.TORCH) -> Network:
    """The network of a name for a board side: ``uniform``, ``heuristic``,
    ``torch:CHECKPOINT`` (needs torch), ``onnx:FILE`` (needs ONNX Runtime) or a
    ``module:factory`` network, the factory called with the side. ``threads`` are PyTorch's
    (set for the whole process) or ONNX Runtime's intra-op threads; None leaves PyTorch's as
    they are and gives ONNX Runtime one. A checkpoint's backend is settled before
    (backend.settle): here ``torch:`` always means PyTorch, in bfloat16 and channels last on
    the ``torch-bfloat16`` backend."""
    name = NetworkName.parse(name)
    if name.kind is NetworkKind.UNIFORM:
        return UniformNetwork(side)
    if name.kind is NetworkKind.HEURISTIC:
        return HeuristicNetwork(side)
    if name.kind is NetworkKind.TORCH:
        assert name.path is not None
        from .model import TorchNetwork

        bfloat16 = backend is Backend.TORCH_BFLOAT16
        return TorchNetwork(name.path, side, threads, channels_last=bfloat16, bfloat16=bfloat16)
    if name.kind is NetworkKind.ONNX:
        assert name.path is not None
        from .runtime import OnnxNetwork

        return OnnxNetwork(name.path, side, 1 if threads is None else threads)
    factory = getattr(importlib.import_module(name.module), name.factory)
    network = factory(side)
    if not callable(getattr(network, "evaluate", None)):
        raise TypeError(f"{name} returned {type(network).__name__}, which has no evaluate()")
    return cast(Network, network)
