"""The confidence interval every reported score carries."""

from __future__ import annotations

import math
from collections.abc import Sequence


def mean_interval(values: Sequence[float]) -> tuple[float, float]:
    """Mean and the half-width of its 95% confidence interval (normal approximation); an
    infinite half-width for fewer than two values, a NaN mean for none."""
    n = len(values)
    if n == 0:
        return math.nan, math.inf
    mean = sum(values) / n
    if n < 2:
        return mean, math.inf
    variance = sum((v - mean) ** 2 for v in values) / (n - 1)
    return mean, 1.96 * math.sqrt(variance / n)
