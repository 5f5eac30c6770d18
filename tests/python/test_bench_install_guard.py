"""The learning benchmarks refuse an installed harness older than its sources."""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

from run_figures import stale_files  # noqa: E402


def test_a_changed_or_missing_installed_file_is_stale_and_an_identical_tree_is_not(
        tmp_path: Path) -> None:
    sources, installed = tmp_path / "src", tmp_path / "site"
    for root in (sources, installed):
        (root / "learning").mkdir(parents=True)
        (root / "__init__.py").write_text("")
        (root / "learning" / "settings.py").write_text("first_search = True\n")
    (installed / "learning" / "__pycache__").mkdir()
    assert stale_files(installed, sources) == []
    assert stale_files(sources, sources) == []

    (installed / "learning" / "settings.py").write_text("first_search = False\n")
    (sources / "learning" / "report.py").write_text("")
    assert stale_files(installed, sources) == [Path("learning/report.py"),
                                               Path("learning/settings.py")]
