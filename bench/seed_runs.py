"""The main job on several seeds, each run alone on the machine, one after another, and what
each run's last network reaches:

- greedy in seat 0 against three uniformly random players, beside a random player's own score
  in that seat (`tralix eval-random`);
- greedy in one seat against three heuristics, seat-rotated from random openings
  (`tralix arena`);
- the training value loss (against the outcome) of the last generation and of the last three;
- one ladder of the last networks playing greedily against every reference, and one of them
  searching (`--search-sims`, the Gumbel root) against the references of `--search-against`.

Then the mean over seeds of each figure, with its 95 % interval (Student's t over the seeds).

    .venv/bin/python bench/seed_runs.py --side 20 --minutes 90 --seeds 0 1 2 --folder data/runs20

Each run is `tralix loop RUN --side S --minutes M --seed N` with the loop's defaults, which is
what `bash scripts/train.sh --side S --minutes M --seed N` runs, here in a folder of its own
(`--loop-options` adds options). A run folder that is there already is resumed (a finished
run ends at once), and figures already measured are read back from the folder's
`seed_runs.json`, so an interrupted invocation goes on where it stopped.

Three ninety-minute runs alone on the machine outlast a working session, and a new machine
starts without `data/`. With `--keep DIR` (a folder in the repository) each measured run
leaves there what the tables and ladders need: its last checkpoint with its ONNX file, its
settings, metrics and figures, and the ladders' references file (the references' own matches,
which are the same for every seed) and the ladders themselves are kept there too. A seed kept
there is not run again, so the seeds can be run and committed one at a time.
"""

from __future__ import annotations

import argparse
import json
import shlex
import shutil
import subprocess
from pathlib import Path
from typing import Any

from run_figures import (
    generations,
    greedy_scores,
    interval,
    last_checkpoint,
    last_value_loss,
    tralix,
)

from tralix_harness.learning.ladder import REFERENCES


def measure(run: Path, args: argparse.Namespace, seed: int) -> dict[str, Any]:
    """The run's own figures, measured once and kept in the run folder."""
    kept = run / "seed_runs.json"
    if kept.exists():
        return dict(json.loads(kept.read_text()))
    checkpoint = last_checkpoint(run)
    figures = {"seed": seed, "checkpoint": str(checkpoint), "generations": generations(run),
               **greedy_scores(f"torch:{checkpoint}", args.side, args.random_games,
                               args.heuristic_games, args.eval_seed),
               "value_loss_last": last_value_loss(run, 1), "value_loss": last_value_loss(run)}
    kept.write_text(json.dumps(figures))
    return figures


def keep(run: Path, figures: dict[str, Any], kept: Path) -> dict[str, Any]:
    """The run's last checkpoint (and its ONNX file), settings, metrics and figures copied to
    ``kept``, the figures naming the copied checkpoint."""
    kept.mkdir(parents=True, exist_ok=True)
    checkpoint = Path(figures["checkpoint"])
    for source in (checkpoint, checkpoint.with_suffix(".onnx"), run / "settings.json",
                   run / "metrics.jsonl"):
        if source.exists():
            shutil.copy2(source, kept / source.name)
    figures = {**figures, "checkpoint": str(kept / checkpoint.name)}
    (kept / "seed_runs.json").write_text(json.dumps(figures))
    return figures


def ladder(checkpoints: list[str], name: str, args: argparse.Namespace,
           *options: str) -> dict[tuple[str, str], float]:
    """Each checkpoint's score against each reference it met, the ladder's printout kept
    beside its JSON. The files are named by the seeds, so that a ladder of other seeds in the
    same folder is never read back as this one; a ladder already made (in the run folder, or
    kept with ``--keep``) is read back."""
    name = f"{name}-s{'-'.join(map(str, args.seeds))}"
    output = args.folder / f"{name}.json"
    kept = None if args.keep is None else args.keep / output.name
    if kept is not None and kept.exists():
        output = kept
    if not output.exists():
        command = tralix("ladder", *checkpoints, "--side", str(args.side), "--seed",
                         str(args.eval_seed), "--reference-games", str(args.reference_games),
                         "--references", str((args.keep or args.folder) / "ladder-references.json"),
                         "--json", str(output.with_suffix(".part")), *options)
        print("$", shlex.join(command), flush=True)
        done = subprocess.run(command, check=True, capture_output=True, text=True)
        output.with_suffix(".txt").write_text(done.stdout)
        output.with_suffix(".part").replace(output)
        if kept is not None:
            for suffix in (".json", ".txt"):
                shutil.copy2(output.with_suffix(suffix), kept.with_suffix(suffix))
    print(output.with_suffix(".txt").read_text(), flush=True)
    table = json.loads(output.read_text())
    return {(s["rated"], s["opponent"]): s["mean"] for s in table["scores"]}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--side", type=int, default=20)
    parser.add_argument("--minutes", type=float, default=90.0)
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    parser.add_argument("--loop-options", type=shlex.split, default=[],
                        help="more options of tralix loop, in one argument")
    parser.add_argument("--eval-seed", type=int, default=0,
                        help="the openings of the arena and the ladders")
    parser.add_argument("--random-games", type=int, default=512)
    parser.add_argument("--heuristic-games", type=int, default=400)
    parser.add_argument("--ladder-games", type=int, default=100,
                        help="games of each network against each reference, greedy")
    parser.add_argument("--reference-games", type=int, default=64)
    parser.add_argument("--search-sims", type=int, default=64)
    parser.add_argument("--search-games", type=int, default=100,
                        help="games of each searching network against each reference it meets")
    parser.add_argument("--search-against", nargs="+", default=["heuristic"],
                        choices=[r.name for r in REFERENCES])
    parser.add_argument("--folder", type=Path, default=Path("data/seed-runs"))
    parser.add_argument("--keep", type=Path, default=None,
                        help="a folder that keeps each measured run's last network and figures; "
                        "a seed kept there is not run again")
    args = parser.parse_args()
    args.folder.mkdir(parents=True, exist_ok=True)

    runs = {seed: args.folder / f"s{seed}" for seed in args.seeds}
    kept: dict[int, dict[str, Any]] = {}
    if args.keep is not None:
        kept = {seed: json.loads(path.read_text()) for seed in args.seeds
                if (path := args.keep / f"s{seed}" / "seed_runs.json").exists()}

    def figures_of(seed: int) -> dict[str, Any]:
        if seed in kept:
            return kept[seed]
        figures = measure(runs[seed], args, seed)
        return figures if args.keep is None else keep(runs[seed], figures,
                                                       args.keep / f"s{seed}")

    for seed, run in runs.items():
        if seed in kept or (run / "seed_runs.json").exists():
            continue
        command = tralix("loop", str(run), "--side", str(args.side), "--minutes",
                         str(args.minutes), "--seed", str(seed), *args.loop_options)
        print("$", shlex.join(command), flush=True)
        with open(args.folder / f"s{seed}.log", "a") as log:
            subprocess.run(command, stdout=log, stderr=subprocess.STDOUT, check=True)
        figures_of(seed)  # kept at once: the next run may outlast the session
    figures = {seed: figures_of(seed) for seed in args.seeds}
    checkpoints = [figures[seed]["checkpoint"] for seed in args.seeds]
    greedy = ladder(checkpoints, "ladder-greedy", args, "--games", str(args.ladder_games))
    searching = ladder(checkpoints, f"ladder-sims{args.search_sims}", args,
                       "--games", str(args.search_games), "--sims", str(args.search_sims),
                       "--against", *args.search_against)

    print("| seed | generations | greedy vs 3 random | random seat 0 | greedy vs 3 heuristics | "
          "value loss, last generation | last three |")
    print("| --- | --- | --- | --- | --- | --- | --- |")
    for seed in args.seeds:
        f = figures[seed]
        print(f"| {seed} | {f['generations']} | {f['random'][0]:.3f} ± {f['random'][1]:.3f} | "
              f"{f['random_seat'][0]:.3f} ± {f['random_seat'][1]:.3f} | "
              f"{f['heuristics'][0]:.3f} ± {f['heuristics'][1]:.3f} | "
              f"{f['value_loss_last']:.3f} | {f['value_loss']:.3f} |")
    print()
    print("| figure | mean of seeds | each seed |")
    print("| --- | --- | --- |")
    rows = [
        ("greedy vs 3 random", [figures[s]["random"][0] for s in args.seeds]),
        ("greedy vs 3 heuristics", [figures[s]["heuristics"][0] for s in args.seeds]),
        *((f"greedy vs 3 {reference} (ladder)", [greedy[(c, reference)] for c in checkpoints])
          for reference in (r.name for r in REFERENCES)),
        *((f"searching {args.search_sims} vs 3 {reference} (ladder)",
           [searching[(c, reference)] for c in checkpoints])
          for reference in args.search_against),
        ("value loss, last generation", [figures[s]["value_loss_last"] for s in args.seeds]),
    ]
    for name, values in rows:
        print(f"| {name} | {interval(values)} | {', '.join(f'{v:.3f}' for v in values)} |")


if __name__ == "__main__":
    main()
