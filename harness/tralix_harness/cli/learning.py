"""The learning commands: ``train``, ``loop``, ``plot``, ``ratings``.

Only the settings are imported here; torch comes with the commands that run.
"""

from __future__ import annotations

import argparse
import logging
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from tqdm import tqdm

from ..base.settings import MAX_SIDE, MIN_SIDE, SearchSettings
from ..cluster.options import add_ray_option, run_opener
from ..learning.settings import (
    LOOP_SEARCH,
    LOOP_SEARCH_FIELDS,
    LoopControl,
    LoopSettings,
    TrainSettings,
)
from ..networks.settings import NEW_NETWORK, ModelSettings
from . import arguments, paths
from .options import add_options, build, given

logger = logging.getLogger(__name__)

_CHECKPOINT_EVERY = 250


def add_commands(commands: Any) -> None:
    """Adds train, loop, plot and ratings to the ``tralix`` subcommands."""
    train = commands.add_parser(
        "train", help="train a network on self-play data files",
        description="Trains a network on the most recent games of the data files (oldest "
                    "first). An existing output checkpoint is resumed: the data files must "
                    "then begin with the files it was trained on, and --steps counts all the "
                    "steps taken.")
    train.add_argument("data", nargs="+", type=arguments.existing_file,
                       help="self-play data files, oldest first")
    train.add_argument("--output", type=arguments.path_text, required=True,
                       help="checkpoint to write (or resume)")
    train.add_argument("--side", type=arguments.int_from_to(MIN_SIDE, MAX_SIDE),
                       default=LoopSettings().side,
                       help="board side; games of other sides are skipped (%(default)s)")
    train.add_argument("--steps", type=arguments.int_at_least(0), default=1000,
                       help="training steps in all, counting a resumed checkpoint's "
                            "(%(default)s)")
    train.add_argument("--checkpoint-every", type=arguments.int_at_least(1),
                       default=_CHECKPOINT_EVERY,
                       help="steps between checkpoints (%(default)s)")
    add_options(train, LoopControl, only=("train_threads",))
    add_options(train.add_argument_group("network"), ModelSettings, NEW_NETWORK)
    add_options(train.add_argument_group("training"), TrainSettings)
    train.set_defaults(handler=cmd_train)

    loop = commands.add_parser(
        "loop", help="train a network by generations of self-play",
        description="Generation after generation: self-play with the current network, "
                    "training on the window of recent games, evaluation against random "
                    "players and against the previous generation. An existing run folder is "
                    "resumed; options that would change its settings are refused.")
    loop.add_argument("run_dir", type=arguments.path_text, help="the run folder")
    run = loop.add_argument_group("run")
    add_options(run, SearchSettings, LOOP_SEARCH, only=LOOP_SEARCH_FIELDS)
    add_options(run, LoopSettings)
    add_options(loop.add_argument_group("network"), ModelSettings, LoopSettings().model)
    add_options(loop.add_argument_group("training"), TrainSettings)
    invocation = loop.add_argument_group("this invocation")
    add_options(invocation, LoopControl)
    add_ray_option(invocation)
    loop.set_defaults(handler=cmd_loop)

    plot = commands.add_parser("plot", help="draw a run folder's learning curve as a PNG")
    plot.add_argument("run_dir", type=arguments.existing_directory, help="the run folder")
    plot.add_argument("--output", type=arguments.path_text,
                      help="the PNG file (default: RUN_DIR/learning_curve.png); an existing "
                           "file must be a PNG picture")
    plot.set_defaults(handler=cmd_plot)

    ratings = commands.add_parser(
        "ratings", help="the ratings of a run folder's networks and references",
        description="Every player's Plackett-Luce rating, refitted from the run folder's "
                    "rating games (matches.jsonl); a damaged ratings.json is rebuilt.")
    ratings.add_argument("run_dir", type=arguments.existing_directory, help="the run folder")
    ratings.set_defaults(handler=cmd_ratings)


@contextmanager
def _data_warnings_held() -> Iterator[list[str]]:
    """Holds the data readers' warnings (a file cut short, games of another side) back while
    the data loads, so that an error after them can be one line that includes them; they are
    logged when the block ends without an error."""
    package = logging.getLogger("tralix_harness.data")
    held: list[str] = []

    class Holder(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            held.append(record.getMessage())

    holder = Holder(logging.WARNING)
    propagate = package.propagate
    package.addHandler(holder)
    package.propagate = False
    try:
        yield held
    finally:
        package.removeHandler(holder)
        package.propagate = propagate
    for message in held:
        logger.warning("%s", message)


def cmd_train(args: argparse.Namespace) -> int:
    from ..data.samples import DataError
    from ..learning.offline import OfflineTraining

    output = Path(args.output)
    paths.check_output(output, "--output")
    with _data_warnings_held() as held:
        try:
            training = OfflineTraining([Path(p) for p in args.data], output, args.side,
                                       given(args, ModelSettings), given(args, TrainSettings),
                                       build(LoopControl, args).train_threads)
        except DataError as error:  # the warnings held back go into its one line
            raise DataError("; ".join([str(error), *held])) from None
    first = training.trainer.steps
    if first >= args.steps:
        print(f"{output} has taken {first} steps already: nothing to do", file=sys.stderr)
        summary = training.run(args.steps, args.checkpoint_every)
    else:
        progress = tqdm(total=args.steps, initial=first, unit="step", file=sys.stderr,
                        dynamic_ncols=True)

        def show(step: int, loss: float) -> None:
            progress.update(1)
            progress.set_postfix_str(f"loss {loss:.3f}", refresh=False)

        try:
            summary = training.run(args.steps, args.checkpoint_every, show)
        finally:
            progress.close()
    means = summary.means
    if means is not None:
        print(f"trained steps {summary.first_step} to {summary.last_step} on {summary.games} "
              f"games ({summary.positions} positions): policy loss {means.policy_loss:.3f}, "
              f"value loss {means.value_loss:.3f}, policy entropy {means.policy_entropy:.3f} "
              f"(targets {means.target_entropy:.3f}), "
              f"{means.samples_per_second:,.0f} samples/s", file=sys.stderr)
    print(output)
    if summary.interrupted:
        logger.warning("interrupted at step %d; the same command resumes it", summary.last_step)
        return 130
    return 0


def cmd_loop(args: argparse.Namespace) -> int:
    from ..learning.loop import run_loop
    from ..learning.report import learning_curve
    from ..local.lifecycle import RunFailed, RunInterrupted

    paths.check_folder(Path(args.run_dir), "run folder")
    control = build(LoopControl, args)
    changes = {name: value for kind in (LoopSettings, SearchSettings, ModelSettings, TrainSettings)
               for name, value in given(args, kind).items()}
    if "initial_weights" in changes:  # kept in the settings as the file it names
        if not changes["initial_weights"].strip():
            raise ValueError("--initial-weights: an empty path")
        if Path(changes["initial_weights"]).is_dir():
            raise ValueError(f"--initial-weights {changes['initial_weights']}: is a folder, not "
                             "a checkpoint")
        changes["initial_weights"] = str(Path(changes["initial_weights"]).resolve())
    control.backend.resolve()  # ONNX Runtime asked for and missing: refused before anything
    path = Path(args.run_dir)
    open_run = run_opener(args)  # connects to the cluster with --ray (the command closes it)
    try:
        loop = run_loop(path, changes, control, open_run=open_run)
    except (RunInterrupted, KeyboardInterrupt):
        logger.warning("interrupted: the finished generations are kept in %s; the same "
                       "command resumes the run", path)
        return 130
    except RunFailed as failure:
        logger.error("run stopped: %s", failure)
        return 1
    curve = learning_curve(path) if loop.metrics else None
    if curve is not None:
        print(f"learning curve: {curve}")
    return 0


def cmd_plot(args: argparse.Namespace) -> int:
    from ..learning.folder import RunFolder
    from ..learning.plot import plot_run

    output = Path(args.output) if args.output else RunFolder(Path(args.run_dir)).plot_file
    option = "--output" if args.output else "the learning curve"
    paths.check_output(output, option)
    if output.suffix.lower() != ".png":
        raise ValueError(f"{option} {output}: the learning curve is a PNG picture: its name "
                         f"must end with .png")
    paths.check_replaceable(output, option, _is_png, "a PNG picture", overwrite=None)
    print(plot_run(Path(args.run_dir), output))
    return 0


def _is_png(path: Path) -> bool:
    with open(path, "rb") as f:
        return f.read(8) == b"\x89PNG\r\n\x1a\n"


def cmd_ratings(args: argparse.Namespace) -> int:
    from ..learning.folder import RunFolder
    from ..learning.ratings import load_ratings, ratings_table

    folder = RunFolder(Path(args.run_dir))
    if not folder.matches_file.exists():  # not a run folder, or one without a rating yet
        logger.error("tralix ratings: %s holds no rating games (no %s)", args.run_dir,
                     folder.matches_file.name)
        return 2
    try:
        ratings = load_ratings(folder.ratings_file, folder.matches_file)
    except ValueError as error:
        logger.error("tralix ratings: %s", error)
        return 2
    if not ratings:
        logger.error("tralix ratings: %s holds no rating games", args.run_dir)
        return 2
    print(ratings_table(ratings))
    return 0
