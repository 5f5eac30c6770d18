"""Files that a killed process leaves whole or not at all: written under a temporary name in
the same folder, synced to the disk, renamed over the target, and the folder synced so that
the rename itself is on the disk."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import BinaryIO


def commit(written: Path, path: Path) -> None:
    """Puts the complete file ``written`` (in the folder of ``path``) in place of ``path``:
    the file's data, then the rename, reach the disk before this returns."""
    with open(written, "rb") as f:
        os.fsync(f.fileno())
    os.replace(written, path)
    folder = os.open(path.parent, os.O_RDONLY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


def write_atomically(path: Path, write: Callable[[BinaryIO], object]) -> None:
    """Writes ``path`` with ``write(file)``: a reader sees the old file or the new one, never
    a part of it, whenever the process is killed."""
    path.parent.mkdir(parents=True, exist_ok=True)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp",
                                             dir=path.parent)
    try:
        with os.fdopen(descriptor, "wb") as f:
            write(f)
        commit(Path(temporary), path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


def write_text_atomically(path: Path, text: str) -> None:
    write_atomically(path, lambda f: f.write(text.encode("utf-8")))
