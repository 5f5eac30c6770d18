"""The 95% interval of every reported score: Student's t quantile against the t density
integrated numerically, and the interval of a few values, which 1.96 standard errors made too
narrow."""

import math
import random

import pytest

from tralix_harness.base.statistics import (
    _incomplete_beta,
    mean_interval,
    share_interval,
    student_t_cdf,
    t_quantile_975,
)


def t_density(x: float, degrees: int) -> float:
    log_scale = (math.lgamma((degrees + 1) / 2) - math.lgamma(degrees / 2)
                 - 0.5 * math.log(degrees * math.pi))
    return math.exp(log_scale - (degrees + 1) / 2 * math.log1p(x * x / degrees))


def integrated(upper: float, degrees: int, steps: int = 20000) -> float:
    """P(0 <= T <= upper) by Simpson's rule."""
    h = upper / steps
    total = t_density(0, degrees) + t_density(upper, degrees)
    total += sum((4 if k % 2 else 2) * t_density(k * h, degrees) for k in range(1, steps))
    return total * h / 3


@pytest.mark.parametrize("degrees", [1, 2, 3, 5, 7, 12, 30, 100, 1000])
def test_the_quantile_leaves_two_and_a_half_percent_above_it(degrees):
    quantile = t_quantile_975(degrees)
    assert integrated(quantile, degrees) == pytest.approx(0.475, abs=1e-7)
    assert student_t_cdf(quantile, degrees) == pytest.approx(0.975, abs=1e-12)
    assert student_t_cdf(-quantile, degrees) == pytest.approx(0.025, abs=1e-12)


def test_few_values_get_students_interval():
    rng = random.Random(3)
    for n in (2, 8, 31, 400):
        values = [rng.random() for _ in range(n)]
        mean, half = mean_interval(values)
        spread = math.sqrt(sum((v - mean) ** 2 for v in values) / (n - 1) / n)
        assert mean == pytest.approx(sum(values) / n)
        assert half / spread == pytest.approx(t_quantile_975(n - 1), rel=1e-12)
    # Eight openings, as the loop's matches against the previous generation play: 2.36.
    assert mean_interval([0.1, 0.3, 0.2, 0.4, 0.25, 0.35, 0.15, 0.3])[1] / math.sqrt(
        0.0103125 / 8) == pytest.approx(2.3646, abs=1e-4)
    assert t_quantile_975(10**6) == pytest.approx(1.95996, abs=1e-4)
    assert mean_interval([0.5]) == (0.5, math.inf) and math.isnan(mean_interval([])[0])


def test_scores_all_lost_or_all_won_get_the_exact_binomial_bound():
    for n in (2, 4, 16, 100):
        # Clopper-Pearson's upper bound after no success in n trials: the 97.5 % quantile of
        # Beta(1, n), found here through the incomplete beta function by bisection.
        low, high = 0.0, 1.0
        while high - low > 1e-13:
            middle = 0.5 * (low + high)
            low, high = (middle, high) if _incomplete_beta(middle, 1.0, n) < 0.975 else (
                low, middle)
        assert share_interval([0.0] * n) == pytest.approx((0.0, low), abs=1e-9)
        assert share_interval([1.0] * n) == pytest.approx((1.0, low), abs=1e-9)
    # Any spread, or an even score throughout, keeps Student's t.
    assert share_interval([0.0, 0.25, 0.0]) == mean_interval([0.0, 0.25, 0.0])
    assert share_interval([0.25] * 8) == (0.25, 0.0)
    assert share_interval([0.0]) == (0.0, math.inf)
