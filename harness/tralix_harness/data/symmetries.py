"""Minibatches and the board's symmetries.

A clockwise quarter turn moves each seat's start corner onto the next seat's, so it keeps the
turn order, and as the planes are relative to the player to move, a turned sample is a
position of the same game seen from a turned board: its planes, valid tiles, policy and
ownership targets turn together and its value target stays. A reflection (about the main
diagonal) swaps the start corners of seats 1 and 3, which reverses the turn order; it becomes
a consistent position only when the planes and value targets of the next and the previous
player are swapped too (in the value and the ownership targets alike), and it then stands for
a game played in the opposite order.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from .samples import Array, Samples, unpack_bits


@dataclasses.dataclass
class Batch:
    planes: Array       # float32 (n, features, side, side)
    policy: Array       # float32 (n, side * side): the policy target
    policy_mask: Array  # bool (n,)
    value: Array        # float32 (n, 4)
    ownership: Array    # int64 (n, side * side): each tile's final owner, counted from the
                        # player to move (0 to 3), or 4 for nobody

    @property
    def side(self) -> int:
        return int(self.planes.shape[-1])

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
        return Batch(planes, policy, self.policy_mask, self.value, ownership)

    def reflected(self, flips: Array) -> Batch:
        """Sample i mirrored about the main diagonal where flips[i], the next and the previous
        player swapped."""
        planes, policy, value = self.planes.copy(), self.policy.copy(), self.value.copy()
        ownership = self.ownership.copy()
        side = self.side
        if flips.any():
            planes[flips] = np.swapaxes(self.planes[flips], -1, -2)[:, REFLECTED_PLANES]
            for board, mirrored in ((self.policy, policy), (self.ownership, ownership)):
                grid = board[flips].reshape(-1, side, side)
                mirrored[flips] = np.swapaxes(grid, -1, -2).reshape(-1, side * side)
            value[flips] = self.value[flips][:, REFLECTED_SEATS]
            ownership[flips] = REFLECTED_OWNERS[ownership[flips]]
        return Batch(planes, policy, self.policy_mask, value, ownership)


# A reflection reverses the turn order: the next player and the previous one trade places.
REFLECTED_PLANES = [0, 3, 2, 1, 4]
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


def make_batch(pool: Samples, index: Array, side: int, temperature: float) -> Batch:
    """Samples ``index`` of the pool, unpacked: dense policy targets, the visit shares among
    them sharpened by the temperature (shares ** (1 / T), renormalised)."""
    n = len(index)
    starts, ends = pool.offsets[index], pool.offsets[index + 1]
    counts = ends - starts
    rows = np.repeat(np.arange(n), counts)
    entries = np.repeat(starts - np.cumsum(counts) + counts, counts) + np.arange(counts.sum())
    policy = np.zeros((n, side * side), np.float32)
    policy[rows, pool.tiles[entries]] = pool.shares[entries].astype(np.float32)
    sharpen = pool.sharpen[index]
    if temperature != 1.0 and sharpen.any():
        sharp = policy[sharpen] ** (1.0 / temperature)
        totals = sharp.sum(axis=1, keepdims=True)
        policy[sharpen] = np.divide(sharp, totals, out=np.zeros_like(sharp), where=totals > 0)
    board = pool.boards[pool.game[index]].astype(np.int64)
    mover = pool.mover[index].astype(np.int64)[:, None]
    return Batch(planes=unpack_bits(pool.planes[index], side).astype(np.float32),
                 policy=policy, policy_mask=pool.policy_mask[index],
                 value=pool.value[index],
                 ownership=np.where(board < 0, 4, (board - mover) % 4))
