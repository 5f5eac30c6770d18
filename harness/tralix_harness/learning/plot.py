"""The learning curve of a run folder as a PNG: scores against wall time, the ratings with the
references' as horizontal lines, and the losses."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from ..base.files import write_atomically
from .folder import RunFolder
from .ratings import REFERENCE_SIMS, Reference, generation_player, load_ratings

# The references' ratings, drawn as horizontal lines: (reference, legend, line style).
_REFERENCE_LINES = (
    (Reference.UNIFORM, "uniform (random play)", ":"),
    (Reference.HEURISTIC, "heuristic, greedy", "--"),
    (Reference.HEURISTIC_SEARCH, f"heuristic, sound search of {REFERENCE_SIMS} simulations",
     "-."),
)


def _series(metrics: list[dict[str, Any]], part: str, key: str = "mean"
            ) -> tuple[list[float], list[float], list[float]]:
    xs, ys, errors = [], [], []
    for line in metrics:
        value = (line.get(part) or {}).get(key)
        if value is None:
            continue
        xs.append(line["wall_time"] / 60.0)
        ys.append(value)
        half = (line.get(part) or {}).get("half_width")
        errors.append(half if half is not None else 0.0)
    return xs, ys, errors


def plot_run(path: Path, output: Path | None = None) -> Path:
    """Writes the run's learning curve; returns the PNG's path."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    folder = RunFolder(path)
    metrics = folder.metrics()
    if not metrics:
        raise ValueError(f"{path} holds no finished generation (no {folder.metrics_file.name})")
    output = output or folder.plot_file
    figure, (scores, ratings, losses) = plt.subplots(3, 1, figsize=(8, 11), sharex=True,
                                                     height_ratios=(2, 1.2, 1))
    xs, ys, errors = _series(metrics, "random")
    if xs:
        scores.errorbar(xs, ys, yerr=errors, marker="o", capsize=3,
                        label="network in seat 0 (moves first) vs 3 random players")
    xs, ys, errors = _series(metrics, "random_baseline")
    if ys:
        low, high = ys[-1] - errors[-1], ys[-1] + errors[-1]
        scores.axhspan(low, high, color="grey", alpha=0.25)
        scores.axhline(ys[-1], color="grey", linestyle="--",
                       label=f"uniformly random player in seat 0 ({ys[-1]:.2f} ± {errors[-1]:.2f})")
    xs, ys, errors = _series(metrics, "previous")
    if xs:
        scores.errorbar(xs, ys, yerr=errors, marker="s", capsize=3,
                        label="network in one seat vs previous generation in three")
    scores.axhline(0.25, color="black", linewidth=0.8, linestyle=":", label="even share (0.25)")
    scores.set_ylabel("mean score (greedy play)")
    scores.set_ylim(0.0, 1.0)
    scores.legend(loc="upper left", fontsize="small")
    scores.grid(alpha=0.3)
    settings = folder.settings_file.read_text() if folder.settings_file.exists() else ""
    side = ""
    if settings:
        import json

        try:
            side = f", side {json.loads(settings).get('side')}"
        except (ValueError, AttributeError) as error:
            raise ValueError(f"{folder.settings_file} is not usable: {error}") from None
    scores.set_title(f"{path.name}{side}: {len(metrics) - 1} generations")
    # Every generation's rating from the run's last fit, which revises the early ones as
    # later games place the references more precisely, at the wall time it was made.
    fitted = (load_ratings(folder.ratings_file, folder.matches_file)
              if folder.matches_file.exists() else {})
    rated = [(line["wall_time"] / 60.0, fitted[name]) for line in metrics
             if (name := generation_player(line["generation"])) in fitted]
    if rated:
        ratings.errorbar([x for x, _ in rated], [r.mu for _, r in rated],
                         yerr=[r.sigma for _, r in rated], marker="o", capsize=3,
                         label="network (mu ± sigma, greedy)")
        for reference, label, style in _REFERENCE_LINES:
            if reference.value in fitted:
                ratings.axhline(fitted[reference.value].mu, color="grey", linestyle=style,
                                label=label)
        ratings.set_ylabel("rating (Plackett-Luce)")
        ratings.legend(loc="upper left", fontsize="small")
        ratings.grid(alpha=0.3)
    for key, label in (("policy_loss", "policy loss"), ("value_loss", "value loss"),
                       ("policy_entropy", "policy entropy")):
        xs, ys, _ = _series(metrics, "train", key)
        if xs:
            losses.plot(xs, ys, marker=".", label=label)
    losses.set_xlabel("wall time (minutes)")
    losses.set_ylabel("training")
    losses.legend(loc="upper right", fontsize="small")
    losses.grid(alpha=0.3)
    figure.tight_layout()
    write_atomically(output, lambda f: figure.savefig(f, format="png", dpi=100))
    plt.close(figure)
    return output
