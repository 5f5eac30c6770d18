"""The generation loop: self-play with the current network, training on the window of recent
games, evaluation (evaluation.py), and the run folder that keeps it all; what it prints and
records as it goes is report.py's.

Each step of a generation leaves its file complete or not at all (games are written to a
temporary name and renamed, checkpoints atomically), and a generation counts as finished when
its metrics line is written. An interrupted loop (Ctrl-C, a kill) therefore loses at most the
generation in progress, and the same command resumes it.
"""

from __future__ import annotations

import dataclasses
import math
import time
from collections.abc import Mapping
from pathlib import Path
from typing import Any, TextIO

import torch

from ..base.files import commit
from ..base.signals import SignalStop
from ..data.records import GameWriter, game_line
from ..local.lifecycle import GameRun, GameStatus, RunFailed, RunOpener
from ..local.options import RunKind, RunOptions
from ..local.run import Run
from ..networks.backend import Backends
from ..networks.model import fold_batch_norm, load_model
from ..networks.names import NetworkKind, NetworkName
from .evaluation import Evaluation
from .folder import RunFolder, json_safe
from .lookahead import lookahead_targets, torch_value
from .report import Report
from .settings import LoopControl, LoopSettings, PolicyTarget
from .trainer import Trainer, TrainStats
from .training_state import starting_inputs, starting_network


@dataclasses.dataclass
class SelfPlayStats:
    games: int = 0
    seconds: float = math.nan
    games_per_second: float = math.nan
    evaluations_per_second: float = math.nan
    tiles_per_game: float = math.nan


class Loop:
    def __init__(self, folder: RunFolder, settings: LoopSettings, control: LoopControl,
                 out: TextIO | None = None, open_run: RunOpener = Run) -> None:
        self.folder = folder
        self.open_run = open_run  # Run, or a session's on a cluster
        self.settings = settings
        self.control = control
        # Ctrl-C or SIGTERM: a self-play or evaluation run in progress is stopped cleanly (it
        # raises RunInterrupted); otherwise, or at a second signal, KeyboardInterrupt.
        self.stop = SignalStop(self._stop_run)
        self._run: GameRun | None = None
        self.trainer: Trainer | None = None
        self.metrics = folder.metrics(repair=True)
        self.report = Report(folder, out)
        # Settled once (BackendUnavailable at once if ONNX Runtime is asked for and missing).
        self.backends = Backends.settle(control.backend, settings.side,
                                        on_this_machine=open_run is Run)
        self.evaluation = Evaluation(folder, settings, control, self.backends, open_run,
                                     self._watch)

    def _stop_run(self) -> bool:
        if self._run is None:
            return False
        self._run.stop()
        return True

    def _watch(self, run: GameRun | None) -> None:
        self._run = run

    def run(self) -> None:
        """Generations until the control's limits; returns normally when they are reached.
        RunInterrupted or KeyboardInterrupt when stopped from outside."""
        torch.set_num_threads(self.control.train_threads)
        with self.stop.installed():
            try:
                generation = len(self.metrics)
                self.report.header(self.settings)
                for line in self.metrics:
                    self.report.row(line)
                while not self._limit_reached(generation):
                    self._generation(generation)
                    generation += 1
            finally:
                self.report.close()

    def _limit_reached(self, generation: int) -> bool:
        c = self.control
        if generation == 0:
            return False
        if c.generations and generation > c.generations:
            return True
        return bool(c.minutes) and self._wall_time() >= c.minutes * 60.0

    def _wall_time(self) -> float:
        return float(self.metrics[-1]["wall_time"]) if self.metrics else 0.0

    def _generation(self, generation: int) -> None:
        """Step 1, self-play by the previous generation's network; step 2, training on the
        window with the new games, saved as the generation's checkpoint; step 3, the
        evaluation; step 4, the metrics line, which marks the generation finished. Generation
        0 is the initial network alone; a step done before an interruption is not done
        again."""
        start = time.perf_counter()
        folder, settings = self.folder, self.settings
        line: dict[str, Any] = {"generation": generation}
        if generation == 0:
            if not folder.checkpoint(0).exists():
                trainer = Trainer(settings.side, settings.model, settings.train)
                if settings.initial_weights:
                    trainer.start_from(Path(settings.initial_weights))
                trainer.extra = {"generation": 0}
                self._save(trainer, 0)
                self.trainer = trainer
        else:
            line["selfplay"] = dataclasses.asdict(self._self_play(generation))
            if not folder.checkpoint(generation).exists():
                trainer = self._trainer(generation - 1)
                trainer.window.add_file(folder.games(generation))
                elapsed = self._wall_time() + time.perf_counter() - start
                stats = trainer.train(settings.steps,
                                      rate_scale=self.control.rate_scale(elapsed, generation))
                trainer.extra = {"generation": generation}
                self._save(trainer, generation)
            else:
                trainer = self._trainer(generation)
                stats = TrainStats()
            # What "auto" came to on this machine.
            line["train"] = dict(dataclasses.asdict(stats), total_steps=trainer.steps,
                                 bfloat16=trainer.bfloat16)
            line["window"] = {"games": trainer.window.games, "samples": len(trainer.window),
                              "total_games": trainer.window.total_games}
        evaluation_start = time.perf_counter()
        line.update(self.evaluation.evaluate(generation))
        line["evaluation_seconds"] = time.perf_counter() - evaluation_start
        line["wall_time"] = self._wall_time() + time.perf_counter() - start
        folder.append_metrics(line)
        self.metrics.append(json_safe(line))
        self.report.record(line)
        self.report.row(line)

    def _save(self, trainer: Trainer, generation: int) -> None:
        """The generation's checkpoint, and its ONNX file beside it when the games against
        random players run on ONNX Runtime (a generation stopped between the two has its file
        exported when a run needs it)."""
        checkpoint = self.folder.checkpoint(generation)
        trainer.save(checkpoint)
        self.backends.export(checkpoint)

    def _trainer(self, generation: int) -> Trainer:
        """The trainer as it was after ``generation``."""
        trainer = self.trainer
        if trainer is None or trainer.extra.get("generation") != generation:
            s = self.settings
            trainer = Trainer.load(self.folder.checkpoint(generation), s.side,
                                   s.model.as_dict(), s.train.as_dict())
            self.trainer = trainer
        return trainer

    def _self_play(self, generation: int) -> SelfPlayStats:
        output = self.folder.games(generation)
        if output.exists():  # played before the loop was last stopped
            return SelfPlayStats()
        s, c = self.settings, self.control
        games = s.generation_games(generation)
        network = (NetworkName(NetworkKind.UNIFORM) if s.network_free(generation)
                   else NetworkName.torch(self.folder.checkpoint(generation - 1)))
        # The playout blend's anneal goes by the run's wall time before this generation.
        search = s.generation_search(generation, c.playout_scale(self._wall_time(), generation))
        stored = dict(search.as_dict(), network=str(network), generation=generation)
        partial = output.with_name(output.name + ".part")
        value = None
        if s.train.policy_target is PolicyTarget.LOOKAHEAD and not s.untrained(generation):
            model, _ = load_model(self.folder.checkpoint(generation - 1), s.side)
            value = torch_value(fold_batch_norm(model))  # the same values, sooner
        tiles = 0
        options = RunOptions(kind=RunKind.SELFPLAY, games=games, settings=search,
                             networks=[network], workers=c.workers, threads=c.threads,
                             batch_size=c.server_batch, torch_threads=c.torch_threads,
                             backend=self.backends.batched)
        with self.open_run(options) as run, GameWriter(partial) as writer:
            self._watch(run)
            try:
                for result in run:
                    game = result.game
                    if result.status is not GameStatus.FINISHED or game is None:
                        raise RunFailed(f"self-play game {result.number} was abandoned")
                    extra: dict[str, Any] = {}
                    if s.untrained(generation) and not s.first_search:
                        # The untrained network's priors and values make its search's
                        # records (and look-ahead targets) noise: its games teach the value.
                        extra["policy_targets"] = False
                    elif value is not None:
                        played = [tile for _, tile in game.history]
                        extra["lookahead"] = lookahead_targets(
                            value, s.side, played, s.lookahead_temperature, s.model.inputs)
                    writer.write(game_line(result.number, s.side, game, stored, extra,
                                           result.root_values))
                    tiles += len(game.history)
            finally:
                self._watch(None)
            seconds = time.perf_counter() - run.started
            served = run.requests_served()
        commit(partial, output)  # on disk before the name says the generation's games are
        return SelfPlayStats(games, seconds, games / seconds, served / seconds, tiles / games)


def run_loop(path: Path, changes: Mapping[str, Any], control: LoopControl,
             out: TextIO | None = None, open_run: RunOpener = Run) -> Loop:
    """Opens (or makes) the run folder and runs generations until the control's limits, its
    games played by ``open_run``'s runs (on a cluster with a session's). ``changes`` are the
    settings asked for (LoopSettings.with_changes): a new folder's, on top of the defaults; a
    folder made with other values is refused, naming the differences. RunInterrupted or
    KeyboardInterrupt when stopped from outside; RunFailed when a run of games failed."""
    control.backend.resolve()  # ONNX Runtime asked for and missing: refused before anything

    def asked(saved: LoopSettings | None) -> LoopSettings:
        given = dict(changes)
        start = given.get("initial_weights")
        if saved is None and start and "inputs" not in given:
            # A new run from another's network sees what that network sees unless told.
            given["inputs"] = starting_inputs(Path(start))
        settings = (saved or LoopSettings()).with_changes(given)
        if saved is None and settings.initial_weights:  # refused before the folder is made
            starting_network(Path(settings.initial_weights), settings.model)
        return settings

    folder = RunFolder(path)
    loop = Loop(folder, folder.open(asked), control, out, open_run)
    loop.run()
    return loop
