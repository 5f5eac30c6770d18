"""Pytest hooks for the Python suite. The helpers the tests share are in support.py."""

from __future__ import annotations

import importlib.util

import pytest


def pytest_report_header(config: pytest.Config) -> str:
    """Which build of the module the suite runs against: a stale install in the virtual
    environment is the usual reason for surprising failures."""
    found = importlib.util.find_spec("tralix_self_play")
    if found is None or found.origin is None:
        return "tralix_self_play: not installed"
    return f"tralix_self_play: {found.origin}"
