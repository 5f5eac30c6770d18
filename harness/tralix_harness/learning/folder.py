"""A run folder of the generation loop and its metrics, without torch (``tralix plot`` reads
them too; the table of them is report.py's).

Run folder::

    settings.json           the run's LoopSettings; a later invocation must agree with it
    checkpoints/gen-N.pt    the trainer after generation N (gen-0000: the initial network)
    games/gen-N.jsonl.gz    the self-play games of generation N, played by generation N - 1
    baseline.json           a uniformly random player's score in seat 0 against random players
    metrics.jsonl           one line per finished generation
    matches.jsonl           every rating game: the generation, the player in each seat, scores
    ratings.json            the players' ratings fitted to matches.jsonl
    tensorboard/            the same metrics as TensorBoard events
    learning_curve.png      written by ``tralix plot``
"""

from __future__ import annotations

import json
import logging
import math
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

from ..base.files import remove_leftovers, write_text_atomically
from ..base.settings import differences
from .settings import LoopSettings

logger = logging.getLogger(__name__)


class RunFolderError(ValueError):
    """A run folder that cannot be resumed with the settings asked."""


class RunFolder:
    def __init__(self, path: Path) -> None:
        self.path = path
        self.settings_file = path / "settings.json"
        self.metrics_file = path / "metrics.jsonl"
        self.baseline_file = path / "baseline.json"
        self.matches_file = path / "matches.jsonl"
        self.ratings_file = path / "ratings.json"
        self.tensorboard = path / "tensorboard"
        self.plot_file = path / "learning_curve.png"

    def checkpoint(self, generation: int) -> Path:
        return self.path / "checkpoints" / f"gen-{generation:04d}.pt"

    def games(self, generation: int) -> Path:
        return self.path / "games" / f"gen-{generation:04d}.jsonl.gz"

    def open(self, asked: Callable[[LoopSettings | None], LoopSettings]) -> LoopSettings:
        """The run's settings: those saved in the folder, or for a new folder ``asked(None)``.
        ``asked(saved)`` is the saved settings with what the command line set: a folder whose
        settings differ from it is refused, naming the differences."""
        if not self.settings_file.exists():
            settings = asked(None)
            if self.path.exists() and any(self.path.iterdir()):
                raise RunFolderError(f"{self.path} is not empty and is not a run folder "
                                     "(it has no settings.json)")
            self.path.mkdir(parents=True, exist_ok=True)
            write_json_atomically(self.settings_file, settings.as_dict())
            return settings
        try:
            saved = LoopSettings.from_dict(json.loads(self.settings_file.read_text()))
        except (ValueError, TypeError) as error:
            raise RunFolderError(f"{self.settings_file} is not usable: {error}") from None
        changed = differences(saved.as_dict(), asked(saved).as_dict())
        if changed:
            raise RunFolderError(
                f"{self.path} was made with other settings (folder -> command line): "
                + "; ".join(changed) + ". Leave these options out to resume the run, or "
                "choose another folder.")
        # What a killed loop was writing when it died: its atomic writes' temporary files.
        left = [*(p for name in ("settings.json", "metrics.jsonl", "baseline.json",
                                 "ratings.json", "learning_curve.png")
                  for p in remove_leftovers(self.path, name)),
                *remove_leftovers(self.path / "checkpoints", "gen-*")]
        if left:
            logger.info("removed %d temporary file(s) left by a stopped run: %s", len(left),
                        ", ".join(p.name for p in left))
        return saved

    def metrics(self, repair: bool = False) -> list[dict[str, Any]]:
        """The finished generations' metrics. With ``repair``, a last line cut short by a
        kill is removed from the file, so that the next line starts on a line of its own."""
        metrics = read_metrics(self.metrics_file)
        if repair and self.metrics_file.exists():
            text = self.metrics_file.read_text(encoding="utf-8")
            if text and not text.endswith("\n"):
                kept = "".join(json.dumps(line, allow_nan=False) + "\n" for line in metrics)
                write_text_atomically(self.metrics_file, kept)
        return metrics

    def append_metrics(self, line: dict[str, Any]) -> None:
        text = json.dumps(json_safe(line), allow_nan=False)
        with open(self.metrics_file, "a", encoding="utf-8") as f:
            f.write(text + "\n")
            f.flush()
            os.fsync(f.fileno())


def read_metrics(path: Path) -> list[dict[str, Any]]:
    """The generations' metrics; a last line cut short by a kill is ignored."""
    if not path.exists():
        return []
    lines = path.read_text(encoding="utf-8").split("\n")
    metrics = []
    for number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        try:
            metrics.append(json.loads(line))
        except json.JSONDecodeError:
            if number == len(lines):  # the last line, without its newline: cut short
                logger.warning("%s: ignoring an incomplete last line", path)
                break
            raise ValueError(f"{path}, line {number}: not a JSON line") from None
    return metrics


def write_json_atomically(path: Path, value: Any) -> None:
    write_text_atomically(path, json.dumps(value, indent=2) + "\n")


def json_safe(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: json_safe(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [json_safe(v) for v in value]
    return value
