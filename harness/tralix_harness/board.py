"""Drawing a board from a game's history, with the module's glyphs."""

from __future__ import annotations

from collections.abc import Iterable, Sequence

GLYPHS = ("\u2b1c", "\U0001f7e5", "\U0001f7e6", "\U0001f7e8", "\U0001f7e9")


def owners_after(side: int, history: Iterable[Sequence[int]]) -> list[int]:
    """Owner of each tile (0 free, player + 1) after the given moves."""
    owners = [0] * (side * side)
    for player, tile in history:
        owners[tile] = player + 1
    return owners


def board_text(side: int, owners: list[int]) -> str:
    return "".join("".join(GLYPHS[owners[r * side + c]] for c in range(side)) + "\n"
                   for r in range(side))


def scores(owners: list[int]) -> list[int]:
    """Tiles laid by each player."""
    return [owners.count(p + 1) for p in range(4)]
