"""Messages on a pipe's file descriptor, each framed by its length (a little-endian int32):
one system call per message written, one per wake-up of a reader however many messages have
arrived. A writer killed in the middle of a message leaves a cut frame, which the reader drops
when the pipe closes."""

from __future__ import annotations

import os
import select
import struct
from collections.abc import Iterable

_LENGTH = struct.Struct("<i")


def write_frame(fd: int, *parts: bytes | memoryview) -> None:
    """Writes one message made of `parts`, whole (a pipe has one writer)."""
    views = [memoryview(part).cast("B") for part in parts]
    header = memoryview(_LENGTH.pack(sum(view.nbytes for view in views)))
    pending = [view for view in (header, *views) if view.nbytes]
    while pending:
        written = os.writev(fd, pending)
        while pending and written >= pending[0].nbytes:
            written -= pending[0].nbytes
            pending.pop(0)
        if written:
            pending[0] = pending[0][written:]


class FrameReader:
    """The messages arriving on a pipe's file descriptor."""

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self._held = b""

    def read(self) -> list[bytes]:
        """Blocks until at least one whole message has arrived; returns every whole message
        that has. EOFError once the writer has closed the pipe."""
        frames: list[bytes] = []
        while not frames:
            data = os.read(self.fd, 1 << 20)
            if not data:
                raise EOFError("the pipe was closed")
            held = self._held + data if self._held else data
            at = 0
            while len(held) - at >= _LENGTH.size:
                size: int = _LENGTH.unpack_from(held, at)[0]
                if len(held) - at - _LENGTH.size < size:
                    break
                frames.append(held[at + _LENGTH.size:at + _LENGTH.size + size])
                at += _LENGTH.size + size
            self._held = held[at:]
        return frames


class PipeSet:
    """Several pipes read together: the whole messages of whichever have some; a pipe whose
    writer has closed it is dropped, with a cut last message if it had one."""

    def __init__(self, fds: Iterable[int]) -> None:
        self._readers = {fd: FrameReader(fd) for fd in fds}
        self._poller = select.poll()
        for fd in self._readers:
            self._poller.register(fd, select.POLLIN)

    @property
    def open(self) -> bool:
        return bool(self._readers)

    def read(self, timeout: float) -> list[tuple[int, bytes]]:
        """(fd, message) for every whole message that has arrived, in each pipe's order,
        waiting up to `timeout` seconds for the first."""
        arrived: list[tuple[int, bytes]] = []
        for fd, _ in self._poller.poll(max(0, round(timeout * 1000))):
            try:
                messages = self._readers[fd].read()
            except (EOFError, OSError):
                self._poller.unregister(fd)
                del self._readers[fd]
                continue
            arrived += ((fd, message) for message in messages)
        return arrived
