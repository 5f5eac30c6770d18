"""``ClusterRun``: a run of games across a session's players, used like ``Run``. Game numbers
are handed out in shares, finished games collected in batches with at most one request per
player in flight (so that finished games never pile up in the object store), and the games of
a lost player played again elsewhere under their numbers.

Ray is used per node and per batch of finished games only: each node's player runs the
harness's own worker pool and inference server, whose requests never touch Ray.
"""

from __future__ import annotations

import dataclasses
import enum
import logging
import math
import time
from collections import deque
from collections.abc import Generator, Iterator
from typing import Any

import ray
import ray.exceptions

from ..local.lifecycle import GameResult, GameRun, RunFailed, RunInterrupted
from ..local.options import RunOptions
from ..networks.names import NetworkName
from .player import Batch, ShippedNetwork
from .session import Cluster, Player, failure_text

logger = logging.getLogger(__name__)


class Request(enum.Enum):
    """What a call in flight to a player asked."""

    START = "start"  # start a job
    TAKE = "take"    # hand out finished games


@dataclasses.dataclass(frozen=True)
class LostPlayer:
    node: str
    reason: str
    unfinished: int    # games it had not reported, played again elsewhere


def _split(numbers: list[int], parts: int) -> list[list[int]]:
    """Contiguous shares as even as possible (sizes differ by one at most)."""
    size, extra = divmod(len(numbers), parts)
    shares, start = [], 0
    for part in range(parts):
        end = start + size + (part < extra)
        shares.append(numbers[start:end])
        start = end
    return shares


class ClusterRun(GameRun):
    """A run of games across the session's players, used like ``Run``: iterate for the results
    as games finish. Every number is reported once; the games a lost player had not reported
    are played again on others under the same numbers (``lost``, ``replayed``)."""

    def __init__(self, session: Cluster, options: RunOptions) -> None:
        super().__init__(options)
        self.session = session
        self.lost: list[LostPlayer] = []
        self.replayed = 0
        self.nodes: set[str] = set()
        self.batches = 0
        self.ray_seconds = 0.0  # the driver's time in Ray's calls, waiting for answers aside
        self._served: dict[tuple[Player, int], int] = {}
        self._networks: list[NetworkName | ShippedNetwork] = []
        self._in_flight: dict[Any, tuple[Player, Request]] = {}  # reference -> (player, what)
        self._pending: deque[int] = deque()
        self._received: set[int] = set()
        self._done_by: dict[Player, set[int]] = {}

    def requests_served(self) -> int:
        return sum(self._served.values())

    def summary(self) -> str | None:
        """What was lost and played again, if anything."""
        if not self.lost:
            return None
        lost = "; ".join(f"node {p.node} ({p.reason}) with {p.unfinished} unfinished games"
                         for p in self.lost)
        return f"lost {lost}; {self.replayed} games played again on other nodes"

    # ----- the driver's loop ------------------------------------------------------------

    def _play(self) -> Generator[GameResult]:
        session, settings = self.session, self.session.settings
        # Settled here: every node runs what the driver chose, a checkpoint on ONNX Runtime
        # shipped as its ONNX file (a node that only plays needs no torch).
        self._settle_networks()
        self._networks = session.ship(self.options.names)
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
                self._fail(player, failure_text(error))
                continue
            except ray.exceptions.RayError as error:  # its process or its node died
                self._lose(player, failure_text(error))
                continue
            finally:
                self.ray_seconds += time.perf_counter() - began
            if what is Request.TAKE:
                yield from self._receive(player, answer)
            else:  # the job started: ask for its games
                self._take(player)

    def _receive(self, player: Player, batch: Batch) -> Iterator[GameResult]:
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

    def _lose(self, player: Player, reason: str) -> None:
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

    def _fail(self, player: Player, failure: str) -> None:
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

    def _start(self, player: Player, numbers: tuple[int, ...]) -> None:
        player.job += 1
        player.numbers, player.expected = numbers, frozenset(numbers)
        player.busy = True
        self._done_by[player] = set()
        self.nodes.add(player.node)
        options = dataclasses.replace(self.options, games=len(numbers), numbers=numbers)
        began = time.perf_counter()
        reference = player.handle.start.remote(player.job, options, self._networks)
        self.ray_seconds += time.perf_counter() - began
        self._in_flight[reference] = (player, Request.START)

    def _take(self, player: Player) -> None:
        s = self.session.settings
        began = time.perf_counter()
        reference = player.handle.take.remote(player.job, s.wait, s.linger, s.batch_limit)
        self.ray_seconds += time.perf_counter() - began
        self._in_flight[reference] = (player, Request.TAKE)

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
