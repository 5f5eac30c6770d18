"""A Ray cluster's address as the ``--ray`` option takes it, without Ray."""

from __future__ import annotations

import argparse


def split_address(text: str) -> tuple[str, int] | None:
    """(host, port) of a HOST:PORT address (a ray:// prefix allowed), None for another."""
    host, colon, port = text.removeprefix("ray://").rpartition(":")
    if not colon or not host or not port.isdigit() or not 0 < int(port) < 65536:
        return None
    return host.strip("[]"), int(port)


def ray_address(text: str) -> str:
    """The --ray option's value: auto, or HOST:PORT."""
    if text != "auto" and split_address(text) is None:
        raise argparse.ArgumentTypeError(
            f"a Ray cluster's address is HOST:PORT or auto, not {text!r}")
    return text
