"""What makes the games of a seat-rotated match repeatable: each opening's random tiles and
each game's own seed, the same in a worker process and in a match played in the main one."""

from __future__ import annotations

import numpy as np


def arena_opening(side: int, tiles: int, seed: int, opening: int) -> list[int]:
    """The tiles of an arena opening: laid uniformly at random from an empty board, the same
    for the same seed and opening number in every process."""
    import tralix_rules

    rng = np.random.default_rng([seed, opening])
    game = tralix_rules.Game(side)
    laid: list[int] = []
    while len(laid) < tiles and not game.is_over():
        valid = game.valid_tiles()
        laid.append(int(valid[int(rng.integers(len(valid)))]))
        game.apply(laid[-1])
    return laid


def game_seed(seed: int, game: int) -> int:
    """The seed of one match game's own generator (its searches' draws and tie-breaks), from
    the match's seed and the game's number."""
    return (seed * 1_000_003 + game) % 2**64
