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
