"""The driver's side of a run on a Ray cluster: one player per node, game numbers handed out in
shares, finished games collected in batches, the games of a lost node played again elsewhere.

Ray is used per node and per batch of finished games only: each node's player runs the
harness's own worker pool and inference server, whose requests never touch Ray. At most one
request per player is in flight, so finished games never pile up in the object store; a torch
checkpoint is put in the object store once and every node writes it to a file of its own.
"""

from __future__ import annotations

import dataclasses
import hashlib
import logging
import math
import os
import socket
import time
from collections import deque
from collections.abc import Generator, Iterator
from pathlib import Path
from types import TracebackType
from typing import Any

import ray
import ray.exceptions
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

from ..learning.settings import TORCH_THREADS_VARIABLE
from ..pool import GameResult, RunFailed, RunInterrupted, RunKind, RunOptions
from . import ClusterError, split_address
from .player import Batch, NodePlayer, PlayerInfo, ShippedNetwork

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


@dataclasses.dataclass(frozen=True)
class LostPlayer:
    node: str
    reason: str
    unfinished: int    # games it had not reported, played again elsewhere


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
class _Player:
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
        self.players: dict[str, _Player] = {}
        self._starting: dict[Any, tuple[_Player, float]] = {}  # info reference -> player
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

    def run(self, options: RunOptions) -> ClusterRun:
        return ClusterRun(self, options)

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
            player = _Player(node_id, _node_name(node), handle)
            self._starting[handle.info.remote()] = (player, time.monotonic())

    def check_started(self, timeout: float) -> list[_Player]:
        """Players that answered since the last call join the session."""
        joined: list[_Player] = []
        if not self._starting:
            return joined
        ready, _ = ray.wait(list(self._starting), num_returns=len(self._starting),
                            timeout=timeout)
        for reference in ready:
            player, _ = self._starting.pop(reference)
            try:
                player.info = ray.get(reference)
            except Exception as error:
                self.lose(player, _reason(error))
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

    def lose(self, player: _Player, reason: str) -> None:
        """Forgets a player that died or failed to start."""
        self.players.pop(player.node_id, None)
        self._deaths[player.node_id] = self._deaths.get(player.node_id, 0) + 1
        self.losses.append(f"node {player.node}: {reason}")
        logger.warning("lost the player on node %s: %s", player.node, reason)
        try:
            ray.kill(player.handle)
        except Exception:  # already gone
            pass

    def ship(self, networks: list[str]) -> list[str | ShippedNetwork]:
        """Names pass as they are; a torch checkpoint's bytes go into the object store once
        (and again only when the file changes)."""
        shipped: list[str | ShippedNetwork] = []
        for name in networks:
            if not name.startswith("torch:"):
                shipped.append(name)
                continue
            path = Path(name.removeprefix("torch:")).resolve()
            status = path.stat()
            key = (str(path), status.st_mtime_ns, status.st_size)
            network = self._networks.get(key)
            if network is None:
                content = path.read_bytes()
                network = ShippedNetwork(hashlib.sha256(content).hexdigest(), ray.put(content))
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


def _reason(error: BaseException) -> str:
    """One line: the exception raised in the player's code, or what Ray says happened."""
    if isinstance(error, ray.exceptions.RayTaskError) and error.cause is not None:
        error = error.cause
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0]}" if text else type(error).__name__


def _split(numbers: list[int], parts: int) -> list[list[int]]:
    """Contiguous shares as even as possible (sizes differ by one at most)."""
    size, extra = divmod(len(numbers), parts)
    shares, start = [], 0
    for part in range(parts):
        end = start + size + (part < extra)
        shares.append(numbers[start:end])
        start = end
    return shares


class ClusterRun:
    """A run of games across the session's players, used like ``Run``: iterate for the results
    as games finish. Every number is reported once; the games a lost player had not reported
    are played again on others under the same numbers (``lost``, ``replayed``)."""

    def __init__(self, session: Cluster, options: RunOptions) -> None:
        try:
            self.kind = RunKind(options.kind)
        except ValueError:
            raise ValueError(f"kind must be one of {[k.value for k in RunKind]}") from None
        if len(options.networks) != self.kind.networks:
            raise ValueError(f"{self.kind} needs {self.kind.networks} network(s)")
        numbers = (tuple(range(options.games)) if options.numbers is None
                   else tuple(options.numbers))
        if len(numbers) != options.games or len(set(numbers)) != options.games:
            raise ValueError("numbers must be games distinct numbers >= 0")
        self.session = session
        self.options = options
        self.numbers = numbers
        self.failure: str | None = None
        self.interrupted = False
        self.lost: list[LostPlayer] = []
        self.replayed = 0
        self.nodes: set[str] = set()
        self.batches = 0
        self.ray_seconds = 0.0  # the driver's time in Ray's calls, waiting for answers aside
        self.started = time.perf_counter()
        self._served: dict[tuple[_Player, int], int] = {}
        self._results: Generator[GameResult] | None = None
        self._closed = False

    def __enter__(self) -> ClusterRun:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def stop(self) -> None:
        """Asks the run to stop; safe from a signal handler."""
        self.interrupted = True

    def close(self) -> None:
        if self._results is not None:
            self._results.close()
        self._closed = True

    def requests_served(self) -> int:
        return sum(self._served.values())

    def summary(self) -> str | None:
        """What was lost and played again, if anything."""
        if not self.lost:
            return None
        lost = "; ".join(f"node {p.node} ({p.reason}) with {p.unfinished} unfinished games"
                         for p in self.lost)
        return f"lost {lost}; {self.replayed} games played again on other nodes"

    def __iter__(self) -> Iterator[GameResult]:
        if self._results is None:
            if self._closed:
                raise RuntimeError("the run is closed")
            self._results = self._play()
        return self._results

    # ----- the driver's loop ------------------------------------------------------------

    def _play(self) -> Generator[GameResult]:
        session, settings = self.session, self.session.settings
        environment = ({TORCH_THREADS_VARIABLE: os.environ[TORCH_THREADS_VARIABLE]}
                       if TORCH_THREADS_VARIABLE in os.environ else {})
        networks = session.ship(self.options.networks)
        self._environment, self._networks = environment, networks
        self._in_flight: dict[Any, tuple[_Player, str]] = {}  # reference -> (player, what)
        self._pending: deque[int] = deque()
        self._received: set[int] = set()
        self._done_by: dict[_Player, set[int]] = {}
        players = list(session.players.values())
        if not players and self.numbers:
            raise RunFailed("no node of the Ray cluster can play")
        try:
            shares = _split(list(self.numbers), len(players)) if players else []
            for player, share in zip(players, shares, strict=True):
                if share:
                    self._start(player, tuple(share))
            stopping_since: float | None = None
            while len(self._received) < len(self.numbers):
                if (self.interrupted or self.failure) and stopping_since is None:
                    stopping_since = time.monotonic()
                    self._stop_all()
                if stopping_since is not None and (
                        not self._in_flight
                        or time.monotonic() - stopping_since > settings.drain_timeout):
                    break
                yield from self._step()
                if stopping_since is None:
                    self._assign_pending()
        finally:
            self._stop_all(wait=True)
        if self.interrupted and len(self._received) < len(self.numbers):
            raise RunInterrupted("the run was interrupted")
        if self.failure:
            raise RunFailed(self.failure)
        if self.lost:
            logger.warning("%s", self.summary())

    def _step(self) -> Iterator[GameResult]:
        """Waits a moment for the players' answers and handles those that came."""
        session = self.session
        for player in session.check_started(timeout=0):
            logger.info("a player joined on node %s", player.node)
        if self._pending and not session.players and not session.starting():
            self.failure = self.failure or "every node of the Ray cluster was lost"
        if not self._in_flight:
            time.sleep(0.1)
            return
        ready, _ = ray.wait(list(self._in_flight), num_returns=1, timeout=0.25)
        for reference in ready:
            player, what = self._in_flight.pop(reference)
            began = time.perf_counter()
            try:
                answer = ray.get(reference)  # ready: this is the cost of reading the answer
            except ray.exceptions.RayTaskError as error:  # a fault in the player's code
                self._fail(player, _reason(error))
                continue
            except ray.exceptions.RayError as error:  # its process or its node died
                self._lose(player, _reason(error))
                continue
            finally:
                self.ray_seconds += time.perf_counter() - began
            if what == "take":
                yield from self._receive(player, answer)
            else:  # the job started: ask for its games
                self._take(player)

    def _receive(self, player: _Player, batch: Batch) -> Iterator[GameResult]:
        self.batches += 1
        self._served[(player, player.job)] = batch.served
        done = self._done_by.setdefault(player, set())
        for result in batch.results:
            if result.number not in player.expected or result.number in self._received:
                logger.warning("ignored a second report of game %d", result.number)
                continue
            self._received.add(result.number)
            done.add(result.number)
            yield result
        if batch.failure and not self.interrupted:
            self._fail(player, batch.failure)
        if not batch.finished:
            self._take(player)
            return
        player.busy = False
        unfinished = [n for n in player.numbers if n not in done]
        if unfinished and not (self.interrupted or self.failure):
            # A job that ended without failing reports every game: anything else is a fault.
            self._fail(player, f"the job ended with {len(unfinished)} games unreported")

    def _lose(self, player: _Player, reason: str) -> None:
        """A player died: its unreported games go back to be played elsewhere."""
        self.session.lose(player, reason)
        done = self._done_by.get(player, set())
        unfinished = [n for n in player.numbers if n not in done] if player.busy else []
        player.busy = False
        for reference, (owner, _) in list(self._in_flight.items()):
            if owner is player:
                del self._in_flight[reference]
        self.lost.append(LostPlayer(player.node, reason, len(unfinished)))
        self._pending.extend(unfinished)
        if unfinished:
            logger.warning("%d unfinished games of node %s are played again on other nodes",
                           len(unfinished), player.node)
        if not (self.interrupted or self.failure):
            self.session.discover()  # a node that joined, or a new player on a live node

    def _fail(self, player: _Player, failure: str) -> None:
        self.failure = self.failure or f"node {player.node}: {failure}"

    def _assign_pending(self) -> None:
        """Idle players take the lost games, each its share of those left."""
        if not self._pending:
            return
        alive = list(self.session.players.values())
        for player in alive:
            if not self._pending:
                break
            if player.busy:
                continue
            count = math.ceil(len(self._pending) / max(1, len(alive)))
            share = tuple(self._pending.popleft() for _ in range(count))
            self.replayed += len(share)
            self._start(player, share)

    def _start(self, player: _Player, numbers: tuple[int, ...]) -> None:
        player.job += 1
        player.numbers, player.expected = numbers, frozenset(numbers)
        player.busy = True
        self._done_by[player] = set()
        self.nodes.add(player.node)
        options = dataclasses.replace(self.options, games=len(numbers), numbers=numbers)
        began = time.perf_counter()
        reference = player.handle.start.remote(player.job, options, self._networks,
                                               self._environment)
        self.ray_seconds += time.perf_counter() - began
        self._in_flight[reference] = (player, "start")

    def _take(self, player: _Player) -> None:
        s = self.session.settings
        began = time.perf_counter()
        reference = player.handle.take.remote(player.job, s.wait, s.linger, s.batch_limit)
        self.ray_seconds += time.perf_counter() - began
        self._in_flight[reference] = (player, "take")

    def _stop_all(self, wait: bool = False) -> None:
        """Asks every busy player to stop its job; with ``wait``, until they have."""
        busy = [p for p in self.session.players.values() if p.busy]
        references = [p.handle.stop.remote() for p in busy]
        if wait and references:
            try:
                ray.wait(references, num_returns=len(references),
                         timeout=self.session.settings.stop_timeout)
            except Exception:
                logger.debug("stopping the players failed", exc_info=True)
            for player in busy:
                player.busy = False
            self._in_flight.clear()
