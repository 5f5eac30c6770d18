"""One node's player: a local ``Run`` (the worker pool and the inference server) played in a
background thread, its finished games handed out in batches on request.

The session (session.py) wraps ``NodePlayer`` as a threaded Ray actor pinned to its node; the
class itself knows nothing of Ray except that a shipped network's bytes may arrive as an object
reference. A player runs one job (one ``Run``) at a time.
"""

from __future__ import annotations

import dataclasses
import importlib.machinery
import logging
import os
import resource
import shutil
import socket
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

from ..base.files import write_atomically
from ..local.lifecycle import GameResult, RunFailed, RunInterrupted
from ..local.options import RunOptions
from ..local.run import Run
from ..networks.names import NetworkKind, NetworkName

logger = logging.getLogger(__name__)

# Network files kept on a node: the networks of the current job and a few before it.
_KEPT_FILES = 4


@dataclasses.dataclass(frozen=True)
class ShippedNetwork:
    """A torch checkpoint or an ONNX file sent through the object store, once per file and
    session."""

    digest: str   # sha256 of the bytes: the file's name on the node
    content: Any  # the bytes, or an object reference to them
    kind: NetworkKind = NetworkKind.TORCH  # TORCH or ONNX


@dataclasses.dataclass(frozen=True)
class PlayerInfo:
    host: str
    pid: int


@dataclasses.dataclass
class Batch:
    """Finished games of a job, and whether the job has ended (every game reported, or the
    job was stopped or failed); ``served`` counts the job's network evaluations so far."""

    job: int
    results: list[GameResult]
    finished: bool
    failure: str | None
    served: int


def _spawn_without_main_script() -> None:
    """In a Ray worker, ``__main__`` is Ray's worker script, which every process the pool
    spawns would run again (importing Ray, some 50 MB and a second of start-up each). Giving
    ``__main__`` an import record with no file makes spawn skip it; the pool's processes need
    nothing from it."""
    main = sys.modules.get("__main__")
    if (main is not None and getattr(main, "__spec__", None) is None
            and Path(getattr(main, "__file__", "") or "").name == "default_worker.py"):
        main.__spec__ = importlib.machinery.ModuleSpec("__main__", None)


class NodePlayer:
    def __init__(self) -> None:
        _spawn_without_main_script()
        self._changed = threading.Condition()
        self._job = 0
        self._run: Run | None = None
        self._thread: threading.Thread | None = None
        self._results: list[GameResult] = []
        self._finished = True
        self._failure: str | None = None
        self._served = 0
        self._directory = Path(tempfile.mkdtemp(prefix="tralix-networks-"))
        self._files: dict[str, Path] = {}

    def info(self) -> PlayerInfo:
        """Where the player runs; answering at all shows the harness imports on the node."""
        import tralix_self_play  # noqa: F401  the module must load here, not only the harness

        return PlayerInfo(socket.gethostname(), os.getpid())

    def cpu_seconds(self) -> float:
        """CPU time of this process and of the processes it has reaped (its jobs' workers
        and servers)."""
        own = resource.getrusage(resource.RUSAGE_SELF)
        reaped = resource.getrusage(resource.RUSAGE_CHILDREN)
        return own.ru_utime + own.ru_stime + reaped.ru_utime + reaped.ru_stime

    def start(self, job: int, options: RunOptions,
              networks: list[NetworkName | str | ShippedNetwork]) -> None:
        """Starts a job: a Run of ``options`` (settled by the driver: the backend a torch
        checkpoint runs on among them) with the networks named or shipped here."""
        with self._changed:
            if not self._finished:
                raise RuntimeError(f"job {self._job} is still running")
        names = [self._network_name(n) for n in networks]
        run = Run(dataclasses.replace(options, networks=names))
        with self._changed:
            self._job, self._run = job, run
            self._results, self._finished, self._failure, self._served = [], False, None, 0
        self._thread = threading.Thread(target=self._play, args=(run,),
                                        name=f"tralix-job-{job}", daemon=True)
        self._thread.start()

    def take(self, job: int, wait: float, linger: float, limit: int) -> Batch:
        """The job's finished games not handed out yet, at most ``limit``: waits up to
        ``wait`` seconds for the first, then up to ``linger`` for more."""
        deadline = time.monotonic() + wait
        with self._changed:
            if job != self._job:
                return Batch(job, [], True, f"the player runs job {self._job}, not {job}", 0)
            while not self._results and not self._finished:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._changed.wait(left)
            if self._results and not self._finished:
                gather_until = min(deadline, time.monotonic() + linger)
                while len(self._results) < limit and not self._finished:
                    left = gather_until - time.monotonic()
                    if left <= 0:
                        break
                    self._changed.wait(left)
            results = self._results[:limit]
            del self._results[:limit]
            run = self._run
            served = self._served if run is None or self._finished else run.requests_served()
            return Batch(job, results, self._finished and not self._results, self._failure,
                         served)

    def stop(self, timeout: float = 15.0) -> None:
        """Stops the job (its finished games stay to be taken) and waits for its end."""
        run, thread = self._run, self._thread
        if run is not None and thread is not None and thread.is_alive():
            run.stop()
            thread.join(timeout)

    def close(self) -> None:
        """Stops the job and removes the network files."""
        self.stop()
        shutil.rmtree(self._directory, ignore_errors=True)

    def _play(self, run: Run) -> None:
        failure = None
        try:
            for result in run:
                with self._changed:
                    self._results.append(result)
                    self._changed.notify_all()
        except RunInterrupted:
            pass  # stopped on request: not a failure
        except RunFailed as error:
            failure = str(error)
        except Exception as error:  # reported to the driver, which ends the whole run
            logger.exception("the job failed")
            failure = f"{type(error).__name__}: {error}"
        finally:
            run.close()
            with self._changed:
                self._served = run.requests_served()
                self._failure = failure
                self._finished = True
                self._changed.notify_all()

    def _network_name(self, network: NetworkName | str | ShippedNetwork) -> NetworkName:
        """A name the inference server loads: names pass as they are, a shipped checkpoint
        or ONNX file becomes a file on this node, written once."""
        if not isinstance(network, ShippedNetwork):
            return NetworkName.parse(network)
        path = self._files.get(network.digest)
        if path is None:
            content = network.content
            if not isinstance(content, bytes):
                import ray

                content = ray.get(content)
            suffix = ".onnx" if network.kind is NetworkKind.ONNX else ".pt"
            path = self._directory / f"{network.digest}{suffix}"
            write_atomically(path, lambda f: f.write(content))
            self._files[network.digest] = path
            while len(self._files) > _KEPT_FILES:
                oldest = next(iter(self._files))
                self._files.pop(oldest).unlink(missing_ok=True)
        else:  # most recently used last, so that the oldest goes first
            self._files[network.digest] = self._files.pop(network.digest)
        return NetworkName(network.kind, path=path)
