"""The checks of the commands' output paths, made before anything runs or is written: each
failure is one line naming the option and the path, exit status 2 (a ValueError)."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from pathlib import Path


def _not_writable(folder: Path) -> str:
    try:
        read_only = bool(os.statvfs(folder).f_flag & os.ST_RDONLY)
    except OSError:
        read_only = False
    return (f"{folder} is on a read-only file system" if read_only
            else f"no permission to write in {folder}")


def check_output(path: Path, option: str) -> None:
    """ValueError unless a file can be made or replaced at ``path``: not a folder itself, and
    under folders that exist or can be made (the nearest existing one a folder this process
    may write in). Nothing is created."""
    if path.is_dir():
        raise ValueError(f"{option} {path}: is a folder, not a file")
    ancestor = path.absolute().parent
    while not ancestor.exists() and ancestor != ancestor.parent:
        ancestor = ancestor.parent
    if not ancestor.is_dir():
        raise ValueError(f"{option} {path}: cannot be written: {ancestor} is not a folder")
    if not os.access(ancestor, os.W_OK | os.X_OK):
        raise ValueError(f"{option} {path}: cannot be written: {_not_writable(ancestor)}")


def check_folder(path: Path, option: str) -> None:
    """ValueError unless ``path`` is a folder this process may write in, or one it may make."""
    if path.exists() and not path.is_dir():
        raise ValueError(f"{option} {path}: is not a folder")
    if path.is_dir():
        if not os.access(path, os.W_OK | os.X_OK):
            raise ValueError(f"{option} {path}: cannot be written: {_not_writable(path)}")
        return
    check_output(path, option)


def check_not_input(path: Path, inputs: Iterable[Path], option: str) -> None:
    """ValueError when ``path`` is one of the files the command reads."""
    for source in inputs:
        same = (path.exists() and source.exists() and os.path.samefile(path, source)) \
            or path.resolve() == source.resolve()
        if same:
            raise ValueError(f"{option} {path}: is the data being read; write to another file")


def check_replaceable(path: Path, option: str, written_here: Callable[[Path], bool],
                      what: str, overwrite: bool | None) -> None:
    """ValueError when ``path`` is a file that ``written_here`` does not recognise (``what``
    names what it recognises) and ``overwrite`` was not given (None: the command has no
    --overwrite)."""
    if path.is_file() and not overwrite and not written_here(path):
        remedy = ": add --overwrite to replace it" if overwrite is not None else ""
        raise ValueError(f"{option} {path}: exists and is not {what}{remedy}")
