"""Reference harness for tralix_self_play: worker processes that each play several games at
once as greenlets, the networks that answer their requests (in each worker or in an inference
server process), the data files, learning by self-play, runs on a Ray cluster, and the command
line around them. Packages, in dependency order: base, data, networks, local, learning,
cluster, viewer, cli."""

__all__ = ["SearchSettings", "Network", "NetworkName", "load_network"]

from .base.settings import SearchSettings
from .networks import Network, NetworkName, load_network
