"""The error that ends a command on a cluster, without Ray."""

from __future__ import annotations


class ClusterError(RuntimeError):
    """The cluster cannot be reached, refuses the job, or has no node that can play."""
