"""Networks for the harness tests, loaded by name ("harness_networks:factory") inside the
server processes."""

import numpy as np


class Failing:
    """Raises on every batch, as a broken model would."""

    def __init__(self, dim):
        self.dim = dim

    def evaluate(self, planes):
        raise RuntimeError("the model is broken")


class Slow:
    """Zero scores, after a pause: keeps a run busy long enough to interrupt it."""

    def __init__(self, dim):
        self.dim = dim

    def evaluate(self, planes):
        import time

        time.sleep(0.02)
        batch = planes.shape[0]
        return np.zeros((batch, self.dim * self.dim)), np.zeros((batch, 4))


class Fingerprint:
    """Policy scores that identify the position: entry t holds the number of occupied tiles
    plus 1000 times tile t's value on plane 4, so the reply tells which request it answers."""

    def __init__(self, dim):
        self.dim = dim

    def evaluate(self, planes):
        batch = planes.shape[0]
        occupied = planes[:, :4].sum(axis=(1, 2, 3))
        policy = occupied[:, None] + 1000.0 * planes[:, 4].reshape(batch, -1)
        return policy, np.zeros((batch, 4))


def failing(dim):
    return Failing(dim)


def slow(dim):
    return Slow(dim)


def fingerprint(dim):
    return Fingerprint(dim)


# The tiles of each catalogue piece, by id (the rules model's catalogue).
PIECE_SIZES = np.array([1, 2, 3, 3, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5])


class FullConsistent:
    """A network of the full position that checks every position it is handed: the planes'
    tiles by player agree with the pieces that player has laid (89 tiles less those of the
    pieces in hand, the piece being laid counted on the mover's plane while still in hand), the
    piece being laid lies on the mover's plane; it raises otherwise. Scores as Fingerprint's."""

    inputs = "full"

    def __init__(self, dim):
        self.dim = dim

    def evaluate(self, planes, globals_):
        batch = planes.shape[0]
        assert planes.shape == (batch, 6, self.dim, self.dim), planes.shape
        assert globals_.shape == (batch, 88), globals_.shape
        hands = globals_.reshape(batch, 4, 22)[:, :, :21]
        laid = planes[:, :4].sum(axis=(2, 3))
        expected = 89 - hands @ PIECE_SIZES
        expected[:, 0] += planes[:, 5].sum(axis=(1, 2))
        if not np.array_equal(laid, expected):
            raise ValueError(f"tiles by player {laid.tolist()}, pieces say {expected.tolist()}")
        if (planes[:, 5] > planes[:, 0]).any():
            raise ValueError("a tile of the piece being laid is not the mover's")
        occupied = planes[:, :4].sum(axis=(1, 2, 3))
        policy = occupied[:, None] + 1000.0 * planes[:, 4].reshape(batch, -1)
        return policy, np.zeros((batch, 4))


# The class is its own factory: its ``inputs`` tells the harness what it sees before any
# process loads it.
full_consistent = FullConsistent
