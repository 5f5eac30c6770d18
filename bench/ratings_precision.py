"""How sharply a run's ratings place its generations: the loop's fit, which ranks the four seats
of each game by their points, beside a fit of the same games ranked by win shares alone (the
winner first, the three others tied), as the matches file was fitted before it kept points.

    .venv/bin/python bench/ratings_precision.py data/bar-side10-60c

Reads the run's matches.jsonl; games kept without points are ranked by win shares in both.
"""

from __future__ import annotations

import argparse
import dataclasses
import statistics
from pathlib import Path

from tralix_harness.learning.ratings import RatingFit, fit_posterior, read_matches


def summary(name: str, fit: RatingFit) -> str:
    ratings = fit.ratings()
    generations = sorted(p for p in ratings if p.startswith("gen-"))
    last, second = ratings[generations[-1]], ratings.get("gen-0002")
    sigma = statistics.median(ratings[p].sigma for p in generations)
    text = (f"{name:22s} median sigma of a generation {sigma:5.2f}; last ({generations[-1]}) "
            f"{last.mu:6.2f} ± {2 * last.sigma:4.2f}")
    if second is not None:
        difference, spread = fit.difference(generations[-1], "gen-0002")
        text += (f", generation 2 {second.mu:6.2f} ± {2 * second.sigma:4.2f}: "
                 f"difference {difference:+6.2f} ± {2 * spread:4.2f}")
    references = ", ".join(f"{p} {r.mu:6.2f}" for p, r in ratings.items()
                           if not p.startswith("gen-"))
    return text + f"\n{'':22s} references: {references}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("run", type=Path)
    args = parser.parse_args()
    games = read_matches(args.run / "matches.jsonl")
    pointed = sum(g.points is not None for g in games)
    print(f"{len(games)} games, {pointed} with points; intervals are ± 2 sigma")
    print(summary("ranked by points", fit_posterior(games)))
    print(summary("ranked by win shares",
                  fit_posterior([dataclasses.replace(g, points=None) for g in games])))


if __name__ == "__main__":
    main()
