"""The file that keeps the ladder's reference matches, so that they are played once per board
side, seed and number of games and the references' ratings are the same in every later
invocation.

One JSON object: a generator mark, and an entry per match under a key that names everything
its games depend on (the side, the seed, the games, the opening's tiles, the two players).
Each match is stored as it finishes, the file read again first and rewritten whole
(atomically), so that an interrupted invocation keeps the matches it finished and two at once
lose nothing but, at worst, a match the other one stored in between. By default the file is
``tralix/ladder-references.json`` under the user's cache folder (``$XDG_CACHE_HOME``, else
``~/.cache``).
"""

from __future__ import annotations

import json
import logging
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from ..base.files import write_text_atomically
from .ladder_play import GameOutcome

logger = logging.getLogger(__name__)

GENERATOR = "tralix ladder references"


def default_cache_file() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(base) / "tralix" / "ladder-references.json"


def match_key(side: int, seed: int, games: int, opening: int, rated: str,
              opponent: str) -> str:
    return (f"side={side} seed={seed} games={games} opening={opening} "
            f"match={rated} vs 3 {opponent}")


class CacheError(ValueError):
    """A file in the cache's place that this command did not write."""


class ReferenceCache:
    def __init__(self, path: Path) -> None:
        self.path = path

    def _entries(self) -> dict[str, Any]:
        """The file's entries; none for a missing file. A file that is not one the ladder
        wrote is a CacheError (it is never replaced)."""
        try:
            text = self.path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return {}
        except UnicodeDecodeError:
            text = ""
        try:
            values = json.loads(text)
        except ValueError:
            values = None
        if not isinstance(values, dict) or values.get("generator") != GENERATOR \
                or not isinstance(values.get("matches"), dict):
            raise CacheError(f"{self.path}: is not a file of the ladder's reference matches: "
                             "delete it or name another file")
        matches: dict[str, Any] = values["matches"]
        return matches

    def check(self) -> None:
        """CacheError now, before any game, for a file that could not be kept."""
        self._entries()

    def games(self, key: str, count: int) -> list[GameOutcome] | None:
        """The ``count`` games stored under ``key`` in the order they were played, or None
        when there are none (or not that many, or a damaged entry: with a warning)."""
        entry = self._entries().get(key)
        if entry is None:
            return None
        try:
            games = [GameOutcome(tuple(map(float, g["outcome"])), tuple(map(float, g["points"])),
                                 str(g["digest"])) for g in entry]
            if len(games) != count or any(len(g.outcome) != 4 or len(g.points) != 4
                                          for g in games):
                raise ValueError(f"{len(games)} games, {count} expected")
        except (ValueError, KeyError, TypeError) as error:
            logger.warning("%s: the games of %s are damaged (%s): played again", self.path,
                           key, error)
            return None
        return games

    def store(self, key: str, games: Sequence[GameOutcome]) -> None:
        entries = self._entries()
        entries[key] = [{"outcome": list(g.outcome), "points": list(g.points),
                         "digest": g.digest} for g in games]
        text = json.dumps({"generator": GENERATOR, "matches": entries}, separators=(",", ":"))
        write_text_atomically(self.path, text + "\n")
