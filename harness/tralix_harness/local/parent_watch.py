"""Worker and server processes end on their own when the process that started them dies
without stopping them (a kill -9 of the main process): nothing else would tell them to stop,
and they would play and serve on, holding their pipes and memory."""

from __future__ import annotations

import logging
import multiprocessing
import os
import threading
import time

logger = logging.getLogger(__name__)

# How often the watch looks at its parent: the bound on how long an orphan lives on.
INTERVAL = 0.5


def end_with_parent(interval: float = INTERVAL) -> None:
    """Starts a daemon thread that ends this process (os._exit(1)) as soon as the process
    that started it is gone, seen as a change of the parent process id (an orphan is adopted
    by another process). Call it first thing in a child process's body; in a process that
    multiprocessing did not start (the body called in the main process), it does nothing."""
    started_by = multiprocessing.parent_process()
    if started_by is None or started_by.pid is None:
        return
    parent = started_by.pid
    if os.getppid() != parent and started_by.is_alive():
        parent = os.getppid()  # started by a fork server, which ends with the main process
    threading.Thread(target=_watch, args=(parent, interval), name="tralix-parent-watch",
                     daemon=True).start()


def _watch(parent: int, interval: float) -> None:
    while os.getppid() == parent:
        time.sleep(interval)
    logger.warning("%s: the process that started it (%d) has gone: ending",
                   multiprocessing.current_process().name, parent)
    os._exit(1)
