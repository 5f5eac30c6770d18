"""What the commands need of a cluster without importing Ray: the ``--ray`` option, its
address, and the opener of the command's runs (``Run``, or with ``--ray`` a session's, which
imports Ray)."""

from __future__ import annotations

import argparse
from typing import Any

from ..local.options import RunOpener
from ..local.run import Run


class ClusterError(RuntimeError):
    """The cluster cannot be reached, refuses the job, or has no node that can play."""


def add_ray_option(parser: argparse.ArgumentParser | Any) -> None:
    """The ``--ray ADDRESS`` option of the commands that play games."""
    parser.add_argument("--ray", metavar="ADDRESS", type=ray_address,
                        help="play on a Ray cluster: its address (HOST:PORT), or 'auto' for the "
                             "one in RAY_ADDRESS, else the latest one started on this machine, "
                             "else a new local one; --workers and --threads then apply to each "
                             "node")


def split_address(text: str) -> tuple[str, int] | None:
    """(host, port) of a HOST:PORT address (a ray:// prefix allowed), None for another."""
    host, colon, port = text.removeprefix("ray://").rpartition(":")
    if not colon or not host or not port.isdigit() or not 0 < int(port) < 65536:
        return None
    return host.strip("[]"), int(port)


def ray_address(text: str) -> str:
    """The --ray option's value: auto, or HOST:PORT."""
    if text != "auto" and split_address(text) is None:
        raise argparse.ArgumentTypeError(
            f"a Ray cluster's address is HOST:PORT or auto, not {text!r}")
    return text


def run_opener(args: argparse.Namespace) -> RunOpener:
    """``Run`` without --ray; with it, the runs of a session on the cluster, which connects
    on the first call and stays on ``args`` for the command's other runs (``close_session``
    ends it)."""
    if not getattr(args, "ray", None):
        return Run
    session = getattr(args, "cluster_session", None)
    if session is None:
        from .session import Cluster

        session = args.cluster_session = Cluster.connect(args.ray)
    opener: RunOpener = session.run
    return opener


def close_session(args: argparse.Namespace) -> None:
    """Ends the command's session on the cluster, if it opened one."""
    session = getattr(args, "cluster_session", None)
    if session is not None:
        args.cluster_session = None
        session.close()
