"""The 21 pieces every seat holds, as the pages draw them and as stored games are read: each
piece's cells and distinct orientations, the piece a set of tiles forms, and each seat's hand
as the pieces of a game are completed. The rules engine decides where pieces end
(``tralix_rules.piece_ends``); this only names the piece each completed set of tiles is."""

from __future__ import annotations

import dataclasses
from collections.abc import Iterable, Sequence

# Base grids by catalogue id, top row first; "#" a cell of the piece.
GRIDS = (
    ("#",), ("##",), ("##", ".#"), ("###",), ("####",), ("##", "#.", "#."), ("###", ".#."),
    ("##", "##"), ("##.", ".##"), ("#####",), ("####", "#..."), ("###.", "..##"),
    ("###", "##."), ("###", "#..", "#.."), ("##.", ".##", "..#"), ("##.", ".#.", ".##"),
    ("###", "#.#"), ("####", ".#.."), (".#.", "###", ".#."), (".#.", "###", "#.."),
    ("###", ".#.", ".#."),
)
NAMES = ("I1", "I2", "V3", "I3", "I4", "L4", "T4", "O4", "Z4", "I5", "L5", "N5", "P5", "V5",
         "W5", "Z5", "U5", "Y5", "X5", "F5", "T5")
PIECE_COUNT = len(GRIDS)

Cells = tuple[tuple[int, int], ...]  # (row, column) pairs, ascending, the top row and left column 0


def normalised(cells: Iterable[tuple[int, int]]) -> Cells:
    """The cells moved to the top-left corner, sorted."""
    cells = list(cells)
    top = min(r for r, _ in cells)
    left = min(c for _, c in cells)
    return tuple(sorted((r - top, c - left) for r, c in cells))


def base_cells(piece: int) -> Cells:
    return tuple((r, c) for r, row in enumerate(GRIDS[piece]) for c, ch in enumerate(row)
                 if ch == "#")


def turned(cells: Cells) -> Cells:
    """A quarter turn clockwise."""
    return normalised((c, -r) for r, c in cells)


def flipped(cells: Cells) -> Cells:
    """Mirrored left to right."""
    return normalised((r, -c) for r, c in cells)


def orientations(piece: int) -> list[Cells]:
    """The piece's distinct shapes: its four turns, then the turns of its mirror image, each
    kept at its first appearance."""
    shapes: list[Cells] = []
    for start in (base_cells(piece), flipped(base_cells(piece))):
        shape = normalised(start)
        for _ in range(4):
            if shape not in shapes:
                shapes.append(shape)
            shape = turned(shape)
    return shapes


SIZES = tuple(len(base_cells(p)) for p in range(PIECE_COUNT))
ORIENTATIONS = tuple(orientations(p) for p in range(PIECE_COUNT))
_PIECE_OF_SHAPE = {shape: piece for piece in range(PIECE_COUNT)
                   for shape in ORIENTATIONS[piece]}


def shape_of(side: int, tiles: Iterable[int]) -> Cells:
    return normalised(divmod(int(t), side) for t in tiles)


def piece_of(side: int, tiles: Iterable[int]) -> int | None:
    """The catalogue id of the piece whose shape the tiles form, or None."""
    tiles = list(tiles)
    return _PIECE_OF_SHAPE.get(shape_of(side, tiles)) if tiles else None


@dataclasses.dataclass(frozen=True)
class LaidPiece:
    """A piece complete on the board: its seat, catalogue id and tiles, and where it stands
    in the game (the tiles laid before it, and after it)."""

    seat: int
    piece: int
    tiles: tuple[int, ...]
    start: int
    end: int


def laid_pieces(side: int, players: Sequence[int], tiles: Sequence[int],
                ends: Iterable[int]) -> list[LaidPiece]:
    """The pieces of a game, given where the rules end them. A set of tiles between two ends
    that is not one seat's piece of the catalogue is a ValueError (the ends are not the
    rules')."""
    pieces = []
    start = 0
    for end in (int(e) for e in ends):
        seats = {int(p) for p in players[start:end]}
        piece = piece_of(side, tiles[start:end])
        if len(seats) != 1 or piece is None:
            raise ValueError(f"tiles {start} to {end - 1} are not one seat's piece")
        pieces.append(LaidPiece(seats.pop(), piece, tuple(int(t) for t in tiles[start:end]),
                                start, end))
        start = end
    return pieces


def hands(pieces: Iterable[LaidPiece]) -> list[list[int]]:
    """Each seat's pieces still in hand (catalogue ids, ascending) once ``pieces`` are laid."""
    held = [set(range(PIECE_COUNT)) for _ in range(4)]
    for laid in pieces:
        held[laid.seat].discard(laid.piece)
    return [sorted(h) for h in held]


def catalogue() -> list[dict[str, object]]:
    """The pieces for a page: name and cells of each, by id."""
    return [{"name": NAMES[p], "cells": [list(c) for c in base_cells(p)]}
            for p in range(PIECE_COUNT)]
