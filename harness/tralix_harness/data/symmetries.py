"""Minibatches and the board's symmetries.

A clockwise quarter turn moves each seat's start corner onto the next seat's, so it keeps the
turn order, and as the planes are relative to the player to move, a turned sample is a
position of the same game seen from a turned board: its planes, valid tiles, policy and
ownership targets turn together and its value and score targets and global features stay. A
reflection (about the main diagonal) swaps the start corners of seats 1 and 3, which reverses
the turn order; it becomes a consistent position only when the planes, global features and
value targets of the next and the previous player are swapped too (in the value, score and
ownership targets alike), and it then stands for a game played in the opposite order.
"""

from __future__ import annotations

import dataclasses

import numpy as np

import tralix_rules

from .samples import Array, Samples, unpack_bits, unpack_globals

# The tiles of a player's 21 pieces: the score target is a share of them.
HAND_TILES = 89


@dataclasses.dataclass
class Batch:
    planes: Array       # float32 (n, planes, side, side)
    policy: Array       # float32 (n, side * side): the policy target
    policy_mask: Array  # bool (n,)
    value: Array        # float32 (n, 4): the value target, player to move first
    ownership: Array    # int64 (n, side * side): each tile's final owner, counted from the
                        # player to move (0 to 3), or 4 for nobody
    globals_: Array | None = None  # float32 (n, 88): the full position's global features
    outcome: Array | None = None   # float32 (n, 4): the outcome alone, where the value target
    #                                mixes searched values into it (None: the value target)
    score: Array | None = None     # float32 (n, 4): each seat's final tile count over
    #                                HAND_TILES, player to move first

    @property
    def side(self) -> int:
        return int(self.planes.shape[-1])

    @property
    def outcome_target(self) -> Array:
        """The outcome alone, player to move first."""
        return self.value if self.outcome is None else self.outcome

    def turned(self, turns: Array) -> Batch:
        """Sample i turned clockwise by turns[i] quarter turns."""
        planes, policy, ownership = self.planes.copy(), self.policy.copy(), self.ownership.copy()
        side = self.side
        for k in (1, 2, 3):
            chosen = turns == k
            if chosen.any():
                planes[chosen] = turn_boards(self.planes[chosen], k)
                for board, turned in ((self.policy, policy), (self.ownership, ownership)):
                    grid = board[chosen].reshape(-1, side, side)
                    turned[chosen] = turn_boards(grid, k).reshape(-1, side * side)
        return dataclasses.replace(self, planes=planes, policy=policy, ownership=ownership)

    def reflected(self, flips: Array) -> Batch:
        """Sample i mirrored about the main diagonal where flips[i], the next and the previous
        player swapped."""
        planes, policy = self.planes.copy(), self.policy.copy()
        ownership = self.ownership.copy()
        side = self.side
        by_seat = {name: getattr(self, name) for name in ("value", "outcome", "score")}
        globals_ = self.globals_
        if flips.any():
            order = REFLECTED_PLANES[:planes.shape[1]]
            planes[flips] = np.swapaxes(self.planes[flips], -1, -2)[:, order]
            for board, mirrored in ((self.policy, policy), (self.ownership, ownership)):
                grid = board[flips].reshape(-1, side, side)
                mirrored[flips] = np.swapaxes(grid, -1, -2).reshape(-1, side * side)
            for name, values in by_seat.items():
                if values is not None:
                    values = values.copy()
                    values[flips] = values[flips][:, REFLECTED_SEATS]
                    by_seat[name] = values
            ownership[flips] = REFLECTED_OWNERS[ownership[flips]]
            if globals_ is not None:
                globals_ = globals_.copy()
                blocks = globals_[flips].reshape(-1, 4, len(globals_[0]) // 4)
                globals_[flips] = blocks[:, REFLECTED_SEATS].reshape(len(blocks), -1)
        return dataclasses.replace(self, planes=planes, policy=policy, ownership=ownership,
                                   globals_=globals_, **by_seat)


# A reflection reverses the turn order: the next player and the previous one trade places (in
# the planes, the targets by seat and the global features' blocks by player); the valid tiles
# and the piece being laid stay the player to move's.
REFLECTED_PLANES = [0, 3, 2, 1, 4, 5]
REFLECTED_SEATS = [0, 3, 2, 1]
REFLECTED_OWNERS = np.array([0, 3, 2, 1, 4])


def turn_boards(boards: Array, turns: int) -> Array:
    """Boards (on the last two axes) turned clockwise by ``turns`` quarter turns: the tile at
    (row, column) goes to (column, side - 1 - row), the start corner of seat s to that of seat
    s + 1."""
    return np.ascontiguousarray(np.rot90(boards, -turns, axes=(-2, -1)))


def turn_tile(tile: int, side: int, turns: int) -> int:
    """Where a tile goes under ``turn_boards``."""
    row, column = divmod(tile, side)
    for _ in range(turns % 4):
        row, column = column, side - 1 - row
    return row * side + column


def make_batch(pool: Samples, index: Array, side: int, temperature: float,
               sharpen_improved: bool = False, value_mix: float = 0.0) -> Batch:
    """Samples ``index`` of the pool, unpacked: dense policy targets, the visit shares among
    them (and with ``sharpen_improved`` the Gumbel root's improved policies) sharpened by the
    temperature (shares ** (1 / T), renormalised); the value target (1 - value_mix) times the
    outcome plus value_mix times the values the move's search met, where the game recorded
    them (the outcome alone elsewhere); the score target."""
    n = len(index)
    starts, ends = pool.offsets[index], pool.offsets[index + 1]
    counts = ends - starts
    rows = np.repeat(np.arange(n), counts)
    entries = np.repeat(starts - np.cumsum(counts) + counts, counts) + np.arange(counts.sum())
    policy = np.zeros((n, side * side), np.float32)
    policy[rows, pool.tiles[entries]] = pool.shares[entries].astype(np.float32)
    sharpen = pool.sharpen[index] & (sharpen_improved | ~pool.improved[index])
    if temperature != 1.0 and sharpen.any():
        sharp = policy[sharpen] ** (1.0 / temperature)
        totals = sharp.sum(axis=1, keepdims=True)
        policy[sharpen] = np.divide(sharp, totals, out=np.zeros_like(sharp), where=totals > 0)
    board = pool.boards[pool.game[index]].astype(np.int64)
    mover = pool.mover[index].astype(np.int64)[:, None]
    outcome = pool.value[index]
    value, outcome_alone = outcome, None
    if value_mix:
        searched = pool.searched[index]
        known = ~np.isnan(searched).any(axis=1, keepdims=True)
        value = np.where(known, (1.0 - value_mix) * outcome + value_mix * searched,
                         outcome).astype(np.float32)
        outcome_alone = outcome
    counts = np.stack([(board == seat).sum(axis=1) for seat in range(4)], axis=1)
    score = np.take_along_axis(counts, (mover + np.arange(4)[None, :]) % 4, axis=1)
    full = pool.globals_.shape[1] > 0
    planes = unpack_bits(pool.planes[index], side,
                         tralix_rules.full_plane_count if full else tralix_rules.feature_count)
    return Batch(planes=planes.astype(np.float32),
                 policy=policy, policy_mask=pool.policy_mask[index],
                 value=value,
                 ownership=np.where(board < 0, 4, (board - mover) % 4),
                 globals_=(unpack_globals(pool.globals_[index]).astype(np.float32) if full
                           else None),
                 outcome=outcome_alone, score=(score / HAND_TILES).astype(np.float32))
