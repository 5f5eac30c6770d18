"""Reference harness for tralix_self_play: an inference server that batches requests from many
games, worker processes that play games on threads, and the command line around them."""

__all__ = ["SearchSettings", "Network", "load_network"]

from .networks import Network, load_network
from .settings import SearchSettings
