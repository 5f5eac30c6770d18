"""Loading a network by its name, in the process that runs it."""

from __future__ import annotations

import importlib
from typing import cast

from .builtin import HeuristicNetwork, Network, UniformNetwork
from .names import NetworkKind, NetworkName


def load_network(name: NetworkName | str, side: int, torch_threads: int = 1) -> Network:
    """The network of a name for a board side: ``uniform``, ``heuristic``,
    ``torch:CHECKPOINT`` (needs torch; run with ``torch_threads`` threads), ``onnx:FILE``
    (needs ONNX Runtime; ``torch_threads`` intra-op threads) or a ``module:factory``
    network, the factory called with the side. A checkpoint's backend is chosen before
    (backend.runnable): here ``torch:`` always means PyTorch, in bfloat16 and channels last
    where the name is marked so."""
    name = NetworkName.parse(name)
    if name.kind is NetworkKind.UNIFORM:
        return UniformNetwork(side)
    if name.kind is NetworkKind.HEURISTIC:
        return HeuristicNetwork(side)
    if name.kind is NetworkKind.TORCH:
        assert name.path is not None
        from .model import TorchNetwork

        return TorchNetwork(name.path, side, torch_threads, channels_last=name.bfloat16,
                            bfloat16=name.bfloat16)
    if name.kind is NetworkKind.ONNX:
        assert name.path is not None
        from .runtime import OnnxNetwork

        return OnnxNetwork(name.path, side, torch_threads)
    factory = getattr(importlib.import_module(name.module), name.factory)
    network = factory(side)
    if not callable(getattr(network, "evaluate", None)):
        raise TypeError(f"{name} returned {type(network).__name__}, which has no evaluate()")
    return cast(Network, network)
