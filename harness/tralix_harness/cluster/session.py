"""A session on a Ray cluster: the connection, and one player per node with a CPU, kept from
run to run (a node whose player died gets a new one, a few times at most), on which
``run.ClusterRun`` plays runs of games. A torch checkpoint (or, to run on ONNX Runtime, its
ONNX file) is put in the object store once and every node writes it to a file of its own.
"""

from __future__ import annotations

import dataclasses
import hashlib
import logging
import os
import socket
import time
from collections.abc import Sequence
from typing import Any

import ray
import ray.exceptions
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

from ..networks.names import NetworkKind, NetworkName
from .address import split_address
from .errors import ClusterError
from .player import NodePlayer, PlayerInfo, ShippedNetwork

logger = logging.getLogger(__name__)


@dataclasses.dataclass(frozen=True)
class ClusterSettings:
    """How the driver talks to the players."""

    wait: float = 1.0           # a take returns after this long without a finished game
    linger: float = 0.25        # after a take's first game, how long it gathers more
    batch_limit: int = 256      # games in one batch at most
    ready_timeout: float = 180.0  # a new player must answer within this (imports, start-up)
    stop_timeout: float = 20.0  # a stopped job must end within this
    drain_timeout: float = 5.0  # after a stop, how long finished games are still collected
    replacements: int = 2       # players started again on a node whose player died


def _node_name(node: dict[str, Any]) -> str:
    return f"{node['NodeManagerAddress']} ({node['NodeID'][:8]})"


def _reachable(address: str) -> None:
    """A HOST:PORT address must accept a connection: a clear error at once rather than Ray's
    retries."""
    parts = split_address(address)
    if parts is None:
        raise ClusterError(f"a Ray cluster's address is HOST:PORT or auto, not {address!r}")
    try:
        with socket.create_connection(parts, timeout=10.0):
            pass
    except OSError as error:
        raise ClusterError(f"cannot reach the Ray cluster at {address}: "
                           f"{error.strerror or error}") from None


def connect(address: str) -> bool:
    """Joins the cluster at ``address`` (HOST:PORT), or for ``auto`` the one in RAY_ADDRESS,
    else the latest one started on this machine, else a new local one; False when this
    process had joined one already. The job's workers get the driver's PYTHONPATH, so that a
    source tree on it reaches them too."""
    if ray.is_initialized():
        return False
    if address != "auto":
        _reachable(address)
    elif split_address(os.environ.get("RAY_ADDRESS", "")) is not None:
        _reachable(os.environ["RAY_ADDRESS"])
    runtime_env: dict[str, Any] = {}
    if os.environ.get("PYTHONPATH"):
        runtime_env["env_vars"] = {"PYTHONPATH": os.environ["PYTHONPATH"]}
    try:
        ray.init(address=None if address == "auto" else address, runtime_env=runtime_env,
                 logging_level=logging.WARNING)
    except Exception as error:  # Ray raises ConnectionError, RuntimeError, ValueError...
        first = (str(error).strip().splitlines() or [type(error).__name__])[0]
        where = "" if address == "auto" else f" at {address}"
        raise ClusterError(f"the Ray cluster{where} refused the job: {first}") from None
    return True


@dataclasses.dataclass(eq=False)
class Player:
    """A player actor as the driver sees it."""

    node_id: str
    node: str
    handle: Any
    info: PlayerInfo | None = None
    job: int = 0
    numbers: tuple[int, ...] = ()   # the numbers of its current job
    expected: frozenset[int] = frozenset()
    busy: bool = False


class Cluster:
    """A session on a cluster: the players, one per node, kept from run to run."""

    def __init__(self, settings: ClusterSettings | None = None,
                 owns_connection: bool = False) -> None:
        self.settings = settings or ClusterSettings()
        self.owns_connection = owns_connection  # close() leaves the cluster
        self.losses: list[str] = []
        self.players: dict[str, Player] = {}
        self._starting: dict[Any, tuple[Player, float]] = {}  # info reference -> player
        self._deaths: dict[str, int] = {}
        self._networks: dict[tuple[str, int, int], ShippedNetwork] = {}
        self._actor: Any = ray.remote(NodePlayer)
        self._closed = False

    @classmethod
    def connect(cls, address: str, settings: ClusterSettings | None = None) -> Cluster:
        """Connects and starts a player on every node that has a CPU; ClusterError when none
        can play."""
        session = cls(settings, owns_connection=connect(address))
        try:
            session.discover()
            deadline = time.monotonic() + session.settings.ready_timeout
            while session._starting and time.monotonic() < deadline:
                session.check_started(timeout=1.0)
            if not session.players:
                raise ClusterError("no node of the Ray cluster could start a player"
                                   + (f": {'; '.join(session.losses)}" if session.losses
                                      else " (none has a CPU)"))
        except BaseException:
            session.close()
            raise
        logger.info("Ray cluster: a player on %s",
                    ", ".join(f"{p.node} [{p.info.host if p.info else '?'}]"
                              for p in session.players.values()))
        return session

    def discover(self) -> None:
        """Starts a player on every alive node with a CPU that has none (a node whose player
        died more than ``replacements`` times is left alone)."""
        known = set(self.players) | {p.node_id for p, _ in self._starting.values()}
        nodes: list[dict[str, Any]] = ray.nodes()  # type: ignore[no-untyped-call]
        for node in nodes:
            node_id = node["NodeID"]
            if (not node.get("Alive") or node_id in known
                    or node.get("Resources", {}).get("CPU", 0) <= 0
                    or self._deaths.get(node_id, 0) > self.settings.replacements):
                continue
            handle = self._actor.options(
                num_cpus=0, max_concurrency=4, max_restarts=0,
                scheduling_strategy=NodeAffinitySchedulingStrategy(node_id, soft=False),
            ).remote()
            player = Player(node_id, _node_name(node), handle)
            self._starting[handle.info.remote()] = (player, time.monotonic())

    def check_started(self, timeout: float) -> list[Player]:
        """Players that answered since the last call join the session."""
        joined: list[Player] = []
        if not self._starting:
            return joined
        ready, _ = ray.wait(list(self._starting), num_returns=len(self._starting),
                            timeout=timeout)
        for reference in ready:
            player, _ = self._starting.pop(reference)
            try:
                player.info = ray.get(reference)
            except Exception as error:
                self.lose(player, failure_text(error))
                continue
            self.players[player.node_id] = player
            joined.append(player)
        now = time.monotonic()
        for reference, (player, since) in list(self._starting.items()):
            if now - since > self.settings.ready_timeout:
                del self._starting[reference]
                self.lose(player, "it did not start in time")
        return joined

    def starting(self) -> bool:
        """Whether players are starting."""
        return bool(self._starting)

    def lose(self, player: Player, reason: str) -> None:
        """Forgets a player that died or failed to start."""
        self.players.pop(player.node_id, None)
        self._deaths[player.node_id] = self._deaths.get(player.node_id, 0) + 1
        self.losses.append(f"node {player.node}: {reason}")
        logger.warning("lost the player on node %s: %s", player.node, reason)
        try:
            ray.kill(player.handle)
        except Exception:  # already gone
            pass

    def ship(self, networks: Sequence[NetworkName]) -> list[NetworkName | ShippedNetwork]:
        """Names pass as they are; a torch checkpoint's or an ONNX file's bytes go into the
        object store once (and again only when the file changes)."""
        shipped: list[NetworkName | ShippedNetwork] = []
        for name in networks:
            if name.kind not in (NetworkKind.TORCH, NetworkKind.ONNX) or name.path is None:
                shipped.append(name)
                continue
            path = name.path.resolve()
            status = path.stat()
            key = (str(path), status.st_mtime_ns, status.st_size)
            network = self._networks.get(key)
            if network is None:
                content = path.read_bytes()
                network = ShippedNetwork(hashlib.sha256(content).hexdigest(), ray.put(content),
                                         name.kind)
                self._networks[key] = network
                logger.info("network %s sent to the cluster (%d kB)", path, len(content) // 1024)
                while len(self._networks) > 3:  # the reference kept the bytes in the store
                    del self._networks[next(iter(self._networks))]
            shipped.append(network)
        return shipped

    def close(self, timeout: float = 15.0) -> None:
        """Stops the players' jobs, ends the players and leaves the cluster; idempotent."""
        if self._closed:
            return
        self._closed = True
        handles = [p.handle for p in self.players.values()]
        handles += [p.handle for p, _ in self._starting.values()]
        if handles:
            try:
                ray.wait([h.close.remote() for h in handles], num_returns=len(handles),
                         timeout=timeout)
            except Exception:
                logger.debug("closing the players failed", exc_info=True)
            for handle in handles:
                try:
                    ray.kill(handle)
                except Exception:
                    pass
        self.players.clear()
        self._starting.clear()
        self._networks.clear()
        if self.owns_connection:
            ray.shutdown()


def failure_text(error: BaseException) -> str:
    """One line: the exception raised in the player's code, or what Ray says happened."""
    if isinstance(error, ray.exceptions.RayTaskError) and error.cause is not None:
        error = error.cause
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0]}" if text else type(error).__name__
