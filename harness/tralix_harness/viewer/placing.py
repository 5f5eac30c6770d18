"""Whole pieces for the person's seat of ``tralix play``: the game moves one tile at a time, and
a turn ends only when the tiles laid form a placement that no other candidate of the turn
extends. A piece the person lays whole is therefore checked by laying its tiles on a copy of
the game (``tralix_rules.Game.copy``): it is taken only when every tile is accepted and the
turn ends exactly at its last tile. The same check lists, at the start of the person's turn,
every whole piece they may lay, for the page to colour where a picked piece may go; and a
refused piece gets the reason, found by the placement rules themselves."""

from __future__ import annotations

import dataclasses
from collections.abc import Iterable, Sequence

import tralix_rules

from .pieces import NAMES, ORIENTATIONS, SIZES, Cells, piece_of


@dataclasses.dataclass(frozen=True)
class WholePiece:
    """A piece the rules lay whole now: its catalogue id and tiles (ascending), and the order
    its tiles not yet laid go down in."""

    piece: int
    tiles: tuple[int, ...]
    order: tuple[int, ...]


class PlacementRefused(ValueError):
    """A placement the rules refuse, with the reason a person reads."""


def start_corner(seat: int, side: int) -> int:
    return (0, side - 1, side * side - 1, side * (side - 1))[seat]


def where(tile: int, side: int) -> str:
    r, c = divmod(tile, side)
    return f"row {r}, column {c}"


def _placed(shape: Cells, origin: tuple[int, int], side: int) -> tuple[int, ...] | None:
    """The tiles of ``shape`` with its cell (0, 0) at ``origin``; None off the board."""
    tiles = []
    for r, c in shape:
        rr, cc = origin[0] + r, origin[1] + c
        if not (0 <= rr < side and 0 <= cc < side):
            return None
        tiles.append(rr * side + cc)
    return tuple(sorted(tiles))


def _turn_tiles(game: tralix_rules.Game) -> list[int]:
    """The tiles the player to move has laid in this turn (the piece being built)."""
    planes, _ = game.encode_full()
    return [int(t) for t in planes[5].reshape(-1).nonzero()[0]]


def _lay(game: tralix_rules.Game, tiles: Sequence[int]) -> bool:
    """Lays the tiles on ``game`` in order: True when each is accepted and the turn ends at
    the last one, not before."""
    for k, tile in enumerate(tiles):
        try:
            game.apply(tile)
        except ValueError:
            return False
        if (k == len(tiles) - 1) == bool(_turn_tiles(game)):
            return False  # the turn ended early, or goes on after the last tile
    return True


def lay_whole(game: tralix_rules.Game, piece: int, tiles: Iterable[int]) -> tuple[int, ...] | None:
    """The order in which the tiles of ``piece`` not yet laid in this turn go down so that the
    rules complete it there, or None when they would not (``game`` is left unchanged)."""
    tiles = tuple(sorted(set(tiles)))
    if piece_of(game.side, tiles) != piece:
        return None
    laid = set(_turn_tiles(game))
    if not laid <= set(tiles) or len(laid) == len(tiles):
        return None
    order = tuple(t for t in tiles if t not in laid)
    return order if _lay(game.copy(), order) else None


def whole_pieces(game: tralix_rules.Game, hand: Iterable[int]) -> list[WholePiece]:
    """Every piece of ``hand`` that the player to move can lay whole now, each checked on a copy
    of the game: the shapes that cover only valid tiles and every tile of the turn so far."""
    if game.is_over():
        return []
    side = game.side
    laid = set(_turn_tiles(game))
    allowed = set(game.valid_tiles()) | laid
    anchors = laid or allowed  # a shape must cover each tile laid in the turn
    found: list[WholePiece] = []
    seen: set[tuple[int, ...]] = set()
    for piece in hand:
        if SIZES[piece] < len(laid) or SIZES[piece] > len(allowed):
            continue
        for shape in ORIENTATIONS[piece]:
            for anchor in anchors:
                ar, ac = divmod(anchor, side)
                for r, c in shape:
                    tiles = _placed(shape, (ar - r, ac - c), side)
                    if tiles is None or tiles in seen or not allowed.issuperset(tiles) \
                            or not laid.issubset(tiles):
                        continue
                    seen.add(tiles)
                    order = tuple(t for t in tiles if t not in laid)
                    if order and _lay(game.copy(), order):
                        found.append(WholePiece(piece, tiles, order))
    return found


def refusal(game: tralix_rules.Game, hand: Sequence[int], piece: int,
            tiles: Sequence[int]) -> str:
    """Why the player to move may not lay ``piece`` on ``tiles`` whole now (for a placement
    that ``lay_whole`` refused): the first rule it breaks, in the order a player checks them."""
    side, seat = game.side, game.current_player
    name = NAMES[piece]
    if piece not in hand:
        return f"piece {name} is not in your hand any more"
    if piece_of(side, tiles) != piece:
        return f"these squares are not the shape of piece {name}"
    owners = [0] * (side * side)
    for player, tile in game.history:
        owners[tile] = player + 1
    laid = _turn_tiles(game)
    missing = sorted(set(laid) - set(tiles))
    if missing:
        return (f"your piece must cover the squares you laid this turn ({where(missing[0], side)} "
                f"is not under it)")
    taken = [t for t in tiles if owners[t] and t not in laid]
    if taken:
        return f"{where(taken[0], side)} is taken"
    own = seat + 1
    settled = {t for t, o in enumerate(owners) if o == own} - set(laid)  # earlier pieces
    for t in tiles:
        r, c = divmod(t, side)
        for rr, cc in ((r - 1, c), (r + 1, c), (r, c - 1), (r, c + 1)):
            if 0 <= rr < side and 0 <= cc < side and rr * side + cc in settled:
                return (f"{where(t, side)} would touch one of your pieces along an edge "
                        "(pieces of one colour may touch only at corners)")
    corner = start_corner(seat, side)
    if not settled:
        if corner not in tiles:
            return f"your first piece must cover your corner square, {where(corner, side)}"
    elif corner not in tiles and not any(
            0 <= r + dr < side and 0 <= c + dc < side and (r + dr) * side + c + dc in settled
            for r, c in (divmod(t, side) for t in tiles) for dr in (-1, 1) for dc in (-1, 1)):
        return "your piece must touch one of your pieces at a corner"
    larger = [w for w in whole_pieces(game, hand) if set(tiles) < set(w.tiles)]
    if larger:
        return (f"the rules would not end your turn there: these squares are part of a larger "
                f"piece you could still lay ({NAMES[larger[0].piece]}); a turn ends only on a "
                f"piece that no piece in your hand could extend")
    return f"the rules do not take piece {name} there now"
