"""The networks that answer the games' requests, and what a network is: an object whose
``evaluate`` takes a batch of positions (the five planes, or the full position's planes and
global features: ``inputs``) and returns policy and value scores. Built in:
``uniform`` and ``heuristic`` (numpy), ``torch:CHECKPOINT``, the residual network that the
learning package trains, with its checkpoint files, and ``onnx:FILE``, such a network exported
for ONNX Runtime; any other name is ``module:factory``, the user's own. A network's name is
parsed once, into a ``NetworkName``, where it enters the harness; which engine runs a
checkpoint (``Backend``) is settled once (``backend.settle``) before any process starts, and
``load_network`` is the one maker of networks. Only ``model`` imports torch, only when a torch
network is loaded or exported, or the CPU's bfloat16 is asked about; ONNX Runtime is imported
to run an ONNX file or to see whether it is installed. The errors are ``errors``'."""

__all__ = ["Backend", "InputKind", "Network", "NetworkKind", "NetworkName", "load_network"]

from .backend import Backend
from .builtin import Network
from .inputs import InputKind
from .loading import load_network
from .names import NetworkKind, NetworkName
