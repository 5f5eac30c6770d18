"""The networks that answer the games' requests, and what a network is: an object whose
``evaluate`` takes a batch of positions' planes and returns policy and value scores. Built in:
``uniform`` and ``heuristic`` (numpy), and ``torch:CHECKPOINT``, the residual network that the
learning package trains, with its checkpoint files; any other name is ``module:factory``, the
user's own. A network's name is parsed once, into a ``NetworkName``, where it enters the
harness. Only ``model`` imports torch, and only when a torch network is loaded."""

__all__ = ["Network", "NetworkKind", "NetworkName", "load_network"]

from .builtin import Network
from .loading import load_network
from .names import NetworkKind, NetworkName
