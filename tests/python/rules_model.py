"""A small, independent model of the tralix rules, written in plain Python.

The tests use it to replay the games the extension module reports (histories, requests,
printed boards) and to check them against the rules: turn order, legal placements laid tile
by tile, retirement of blocked players, scores, outcome and the network encodings.

It favours clarity over speed: legal placements are rebuilt from scratch at the start of each
turn from the occupied tiles alone.
"""

from __future__ import annotations

# Base grids of the 21 pieces, by id, top row first.
PIECE_GRIDS = [
    ["#"],
    ["##"],
    ["##", ".#"],
    ["###"],
    ["####"],
    ["##", "#.", "#."],
    ["###", ".#."],
    ["##", "##"],
    ["##.", ".##"],
    ["#####"],
    ["####", "#..."],
    ["###.", "..##"],
    ["###", "##."],
    ["###", "#..", "#.."],
    ["##.", ".##", "..#"],
    ["##.", ".#.", ".##"],
    ["###", "#.#"],
    ["####", ".#.."],
    [".#.", "###", ".#."],
    [".#.", "###", "#.."],
    ["###", ".#.", ".#."],
]

TOTAL_CELLS = 89

GLYPHS = {0: "\u2b1c", 1: "\U0001f7e5", 2: "\U0001f7e6", 3: "\U0001f7e8", 4: "\U0001f7e9"}


def _cells_of(grid):
    return [(r, c) for r, row in enumerate(grid) for c, ch in enumerate(row) if ch == "#"]


def _normalise(cells):
    min_r = min(r for r, _ in cells)
    min_c = min(c for _, c in cells)
    return tuple(sorted((r - min_r, c - min_c) for r, c in cells))


def _orientations(grid):
    """Distinct shapes of a piece under rotation and reflection, as sorted (row, col) tuples."""
    cells = _cells_of(grid)
    shapes = []
    for mirrored in (False, True):
        current = [(r, -c) for r, c in cells] if mirrored else list(cells)
        for _ in range(4):
            shape = _normalise(current)
            if shape not in shapes:
                shapes.append(shape)
            current = [(c, -r) for r, c in current]  # a quarter turn
    return shapes


ORIENTATIONS = [_orientations(g) for g in PIECE_GRIDS]
PIECE_SIZES = [len(_cells_of(g)) for g in PIECE_GRIDS]


def start_corner(player, dim):
    return [0, dim - 1, dim * dim - 1, dim * (dim - 1)][player]


class Game:
    """The game as a sequence of one-tile moves, following the tralix rules."""

    def __init__(self, dim):
        self.dim = dim
        self.owner = [None] * (dim * dim)  # tile -> player or None
        self.hands = [list(range(21)) for _ in range(4)]  # piece ids still in hand
        self.last_size = [0, 0, 0, 0]
        self.finished = [False] * 4
        self.history = []
        self.current_player = 0
        self.turn_tiles = []
        self.valid_moves = self._find_valid_moves(0)

    # ----- board queries -------------------------------------------------------------
    def _neighbours(self, tile):
        dim = self.dim
        r, c = divmod(tile, dim)
        for dr, dc in ((0, -1), (0, 1), (-1, 0), (1, 0)):
            rr, cc = r + dr, c + dc
            if 0 <= rr < dim and 0 <= cc < dim:
                yield rr * dim + cc

    def _diagonals(self, tile):
        dim = self.dim
        r, c = divmod(tile, dim)
        for dr, dc in ((1, 1), (-1, -1), (-1, 1), (1, -1)):
            rr, cc = r + dr, c + dc
            if 0 <= rr < dim and 0 <= cc < dim:
                yield rr * dim + cc

    def _forbidden(self, tile, player):
        if self.owner[tile] is not None:
            return True
        return any(self.owner[n] == player for n in self._neighbours(tile))

    def corners(self, player):
        """Free tiles where the player could touch its own tiles corner to corner."""
        own = [t for t, o in enumerate(self.owner) if o == player]
        result = set()
        sc = start_corner(player, self.dim)
        if not self._forbidden(sc, player):
            result.add(sc)
        for t in own:
            for d in self._diagonals(t):
                if not self._forbidden(d, player):
                    result.add(d)
        return result

    def legal_placements(self, player):
        """Every legal placement of the player, as a set of (piece id, frozenset of tiles)."""
        dim = self.dim
        found = set()
        corner_tiles = self.corners(player)
        for piece in self.hands[player]:
            for shape in ORIENTATIONS[piece]:
                for x in corner_tiles:
                    xr, xc = divmod(x, dim)
                    for cr, cc in shape:
                        ar, ac = xr - cr, xc - cc
                        tiles = []
                        for sr, sc_ in shape:
                            r, c = ar + sr, ac + sc_
                            if not (0 <= r < dim and 0 <= c < dim):
                                break
                            t = r * dim + c
                            if self._forbidden(t, player):
                                break
                            tiles.append(t)
                        else:
                            found.add((piece, frozenset(tiles)))
        return found

    def _find_valid_moves(self, player):
        moves = {}
        for placement in self.legal_placements(player):
            for t in placement[1]:
                moves.setdefault(t, set()).add(placement)
        return moves

    # ----- game interface ------------------------------------------------------------
    def is_over(self):
        return all(self.finished)

    def valid_tiles(self):
        return set(self.valid_moves)

    def apply_move(self, tile):
        if tile not in self.valid_moves:
            raise ValueError(f"illegal tile {tile} for player {self.current_player}")
        player = self.current_player
        self.owner[tile] = player
        self.history.append((player, tile))
        self.turn_tiles.append(tile)
        chosen = self.valid_moves.pop(tile)
        narrowed = {}
        for k, placements in self.valid_moves.items():
            common = placements & chosen
            if common:
                narrowed[k] = common
        self.valid_moves = narrowed
        if narrowed:
            return
        assert len(chosen) == 1, chosen
        (piece, tiles), = chosen
        assert tiles == frozenset(self.turn_tiles)
        self.last_size[player] = PIECE_SIZES[piece]
        self.hands[player].remove(piece)
        self._next_turn()

    def _next_turn(self):
        self.turn_tiles = []
        while not all(self.finished):
            self.current_player = (self.current_player + 1) % 4
            self.valid_moves = self._find_valid_moves(self.current_player)
            if self.finished[self.current_player]:
                continue
            if self.valid_moves:
                return
            self.finished[self.current_player] = True
        self.valid_moves = {}

    def scores(self):
        result = []
        for p in range(4):
            count = sum(1 for o in self.owner if o == p)
            score = count - TOTAL_CELLS
            if not self.hands[p]:
                score = count - 74
                if self.last_size[p] == 1:
                    score = count - 69
            result.append(score)
        return result

    def outcome(self):
        s = self.scores()
        best = max(s)
        winners = [p for p in range(4) if s[p] == best]
        return [1.0 / len(winners) if p in winners else 0.0 for p in range(4)]

    # ----- encodings -----------------------------------------------------------------
    def planes(self):
        """Planes-first encoding: 5 planes of dim rows of dim 0/1 values."""
        dim = self.dim
        p = self.current_player
        out = [[[0] * dim for _ in range(dim)] for _ in range(5)]
        for t, o in enumerate(self.owner):
            if o is not None:
                out[(o - p) % 4][t // dim][t % dim] = 1
        for t in self.valid_moves:
            out[4][t // dim][t % dim] = 1
        return out

    def board_text(self):
        dim = self.dim
        lines = []
        for r in range(dim):
            lines.append(
                "".join(
                    GLYPHS[0 if self.owner[r * dim + c] is None else self.owner[r * dim + c] + 1]
                    for c in range(dim)
                )
            )
        return "".join(line + "\n" for line in lines) + "\n"


def replay(dim, history):
    """Replays (player, tile) pairs on a new game, checking each against the rules."""
    game = Game(dim)
    for step, (player, tile) in enumerate(history):
        assert not game.is_over(), f"move {step} after the end of the game"
        assert player == game.current_player, f"move {step}: player {player} out of turn"
        assert tile in game.valid_moves, f"move {step}: tile {tile} is not valid"
        game.apply_move(tile)
    return game


def moved_position(dim, history, seat_map, tile_map):
    """The position after ``history`` with its tiles moved by ``tile_map`` and its seats
    renamed by ``seat_map``, worked out from the moved board alone: (the replayed game, the
    mover's new seat, each tile's new owner, the tiles of the piece being laid, every
    placement of the mover that completes that piece). The mover keeps its pieces in hand."""
    game = replay(dim, history)
    mover = seat_map(game.current_player)
    owner = [None] * (dim * dim)
    for tile, seat in enumerate(game.owner):
        if seat is not None:
            owner[tile_map(tile)] = seat_map(seat)
    turn = {tile_map(t) for t in game.turn_tiles}
    moved = Game(dim)
    moved.owner = [None if t in turn else o for t, o in enumerate(owner)]
    moved.hands[mover] = list(game.hands[game.current_player])
    placements = [tiles for _, tiles in moved.legal_placements(mover) if turn <= tiles]
    return game, mover, owner, turn, placements
