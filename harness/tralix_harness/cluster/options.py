"""What the commands need of a cluster without importing Ray: the ``--ray`` option and the
opener of the command's runs (``Run``, or with ``--ray`` a session's, which imports Ray)."""

from __future__ import annotations

import argparse
import functools
from typing import Any

from ..local.lifecycle import RunOpener
from ..local.run import Run
from .address import ray_address


def add_ray_option(parser: argparse.ArgumentParser | Any) -> None:
    """The ``--ray ADDRESS`` option of the commands that play games."""
    parser.add_argument("--ray", metavar="ADDRESS", type=ray_address,
                        help="play on a Ray cluster: its address (HOST:PORT), or 'auto' for the "
                             "one in RAY_ADDRESS, else the latest one started on this machine, "
                             "else a new local one; --workers and --threads then apply to each "
                             "node")


def run_opener(args: argparse.Namespace) -> RunOpener:
    """``Run`` without --ray; with it, the runs of a session on the cluster, which connects
    on the first call and stays on ``args`` for the command's other runs (``close_session``
    ends it)."""
    if not getattr(args, "ray", None):
        return Run
    from .run import ClusterRun
    from .session import Cluster

    session = getattr(args, "cluster_session", None)
    if session is None:
        session = args.cluster_session = Cluster.connect(args.ray)
    return functools.partial(ClusterRun, session)


def close_session(args: argparse.Namespace) -> None:
    """Ends the command's session on the cluster, if it opened one."""
    session = getattr(args, "cluster_session", None)
    if session is not None:
        args.cluster_session = None
        session.close()
