"""Files that a killed process leaves whole or not at all: written under a temporary name in
the same folder, synced to the disk, renamed over the target, and the folder synced so that
the rename itself is on the disk."""

from __future__ import annotations

import os
import secrets
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


def _new_temporary(path: Path) -> tuple[int, Path]:
    """A new file beside ``path``, open for writing, with the mode any new file gets (0666
    less the umask; a temporary file of the tempfile module would keep its 0600 through the
    rename)."""
    while True:
        temporary = path.with_name(f".{path.name}.{secrets.token_hex(4)}.tmp")
        try:
            flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
            return os.open(temporary, flags, 0o666), temporary
        except FileExistsError:
            continue


def write_atomically(path: Path, write: Callable[[BinaryIO], object]) -> None:
    """Writes ``path`` with ``write(file)``: a reader sees the old file or the new one, never
    a part of it, whenever the process is killed. A failure of the file system is an OSError
    naming ``path`` (not the temporary file), nothing left behind."""
    temporary: Path | None = None
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        if path.is_dir():
            raise IsADirectoryError(21, "is a folder", str(path))
        descriptor, temporary = _new_temporary(path)
        with os.fdopen(descriptor, "wb") as f:
            write(f)
        commit(temporary, path)
    except OSError as error:
        if temporary is not None:
            temporary.unlink(missing_ok=True)
        if error.filename == str(path):
            raise
        raise OSError(error.errno, error.strerror or str(error), str(path)) from error
    except BaseException:
        if temporary is not None:
            temporary.unlink(missing_ok=True)
        raise


def remove_leftovers(folder: Path, targets: str) -> list[Path]:
    """Removes the temporary files that ``write_atomically`` left in ``folder`` for targets
    whose names match the pattern ``targets`` when its process was killed in the middle of a
    write (nothing else can remove them); returns them."""
    removed = sorted(folder.glob(f".{targets}.*.tmp"))
    for path in removed:
        path.unlink(missing_ok=True)
    return removed


def write_text_atomically(path: Path, text: str) -> None:
    write_atomically(path, lambda f: f.write(text.encode("utf-8")))
