"""The confidence interval every reported score carries."""

from __future__ import annotations

import functools
import math
from collections.abc import Sequence


def _incomplete_beta(x: float, a: float, b: float) -> float:
    """The regularised incomplete beta function I_x(a, b), by its continued fraction (modified
    Lentz), on the side of x where the fraction converges fast."""
    if x <= 0.0:
        return 0.0
    if x >= 1.0:
        return 1.0
    if x > (a + 1.0) / (a + b + 2.0):
        return 1.0 - _incomplete_beta(1.0 - x, b, a)
    front = math.exp(math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b)
                     + a * math.log(x) + b * math.log1p(-x)) / a
    tiny = 1e-300
    c, d = 1.0, 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > tiny else tiny)
    fraction = d
    for m in range(1, 500):
        for numerator in (m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m)),
                          -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1))):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + numerator / c
            c = c if abs(c) > tiny else tiny
            fraction *= c * d
        if abs(c * d - 1.0) < 1e-15:
            break
    return front * fraction


def student_t_cdf(t: float, degrees: int) -> float:
    """P(T <= t) for Student's t with the given degrees of freedom."""
    tail = 0.5 * _incomplete_beta(degrees / (degrees + t * t), degrees / 2.0, 0.5)
    return 1.0 - tail if t >= 0 else tail


@functools.cache
def t_quantile_975(degrees: int) -> float:
    """The 97.5 % quantile of Student's t with the given degrees of freedom (12.706 for 1,
    2.365 for 7, 1.960 in the limit): the half-width factor of a 95 % interval."""
    low, high = 1.959, 13.0
    while high - low > 1e-12:
        middle = 0.5 * (low + high)
        low, high = (middle, high) if student_t_cdf(middle, degrees) < 0.975 else (low, middle)
    return 0.5 * (low + high)


def mean_interval(values: Sequence[float]) -> tuple[float, float]:
    """Mean and the half-width of its 95% confidence interval (Student's t with n - 1
    degrees of freedom, which few values need: 2.36 standard errors for 8, not 1.96); an
    infinite half-width for fewer than two values, a NaN mean for none."""
    n = len(values)
    if n == 0:
        return math.nan, math.inf
    mean = sum(values) / n
    if n < 2:
        return mean, math.inf
    variance = sum((v - mean) ** 2 for v in values) / (n - 1)
    return mean, t_quantile_975(n - 1) * math.sqrt(variance / n)


def share_interval(shares: Sequence[float]) -> tuple[float, float]:
    """Mean and 95% half-width of scores between 0 and 1 (one per game or per opening), as
    ``mean_interval``, except where every score is 0 or every score is 1: there Student's t
    has no spread to go on and would claim a certain result, so the half-width is the exact
    (Clopper-Pearson) bound of a rate never seen (or always seen) in that many trials,
    1 - 0.025^(1/n): 0.602 for 4, 0.206 for 16, 0.036 for 100."""
    mean, half = mean_interval(shares)
    n = len(shares)
    if n >= 2 and (all(s == 0.0 for s in shares) or all(s == 1.0 for s in shares)):
        half = 1.0 - 0.025 ** (1.0 / n)
    return mean, half
