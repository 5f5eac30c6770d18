"""Messages on a pipe's file descriptor, each framed by its length (a little-endian int32):
one system call per message written, one per wake-up of a reader however many messages have
arrived. A writer killed in the middle of a message leaves a cut frame, which the reader drops
when the pipe closes."""

from __future__ import annotations

import os
import struct

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
