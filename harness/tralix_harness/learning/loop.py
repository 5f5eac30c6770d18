"""The generation loop: self-play with the current network, training on the window of recent
games, evaluation, and the run folder that keeps it all.

Each step of a generation leaves its file complete or not at all (games are written to a
temporary name and renamed, checkpoints atomically), and a generation counts as finished when
its metrics line is written. An interrupted loop (Ctrl-C, a kill) therefore loses at most the
generation in progress, and the same command resumes it.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import logging
import math
import sys
import time
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import Any, TextIO

import numpy as np
import torch

from ..base.files import commit
from ..base.signals import SignalStop
from ..data.records import GameWriter, game_line
from ..local.lifecycle import GameRun, GameStatus, RunFailed, RunOpener
from ..local.options import RunKind, RunOptions
from ..local.run import Run
from ..networks.backend import Backend, settle
from ..networks.builtin import HeuristicNetwork
from ..networks.loading import load_network
from ..networks.model import fold_batch_norm, load_model
from ..networks.names import NetworkKind, NetworkName
from .folder import TABLE_HEADER, RunFolder, flatten, json_safe, table_row, write_json_atomically
from .lookahead import lookahead_targets, torch_value
from .match import (
    Match,
    PlayedGame,
    PolicyFunction,
    PolicyNetwork,
    Score,
    StopCheck,
    against_random,
    greedy_match,
    play_matches,
    random_policy,
    search_match,
)
from .ratings import (
    REFERENCE_SIMS,
    MatchGame,
    Reference,
    fit_ratings,
    generation_player,
    read_matches,
    record_matches,
    write_ratings,
)
from .settings import LoopControl, LoopSettings, PolicyTarget
from .trainer import Trainer, TrainStats, starting_network

logger = logging.getLogger(__name__)

# ----- the loop ------------------------------------------------------------------------------


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
        # Standard output as it is now, not as it was when this module was imported (a
        # stream that may have been replaced and closed since).
        self.out = out if out is not None else sys.stdout
        # Ctrl-C or SIGTERM: a self-play or evaluation run in progress is stopped cleanly (it
        # raises RunInterrupted); otherwise, or at a second signal, KeyboardInterrupt.
        self.stop = SignalStop(self._stop_run)
        self._run: GameRun | None = None
        self.trainer: Trainer | None = None
        self.writer: Any = None
        self.metrics = folder.metrics(repair=True)
        self.baseline: Score | None = None
        # Settled once (BackendUnavailable at once if ONNX Runtime is asked for and missing):
        # self-play's large batches on this machine may run in bfloat16.
        self.backend = control.backend.resolve(settings.side if open_run is Run else None)
        # The games against random players play one position at a time in each game, where
        # bfloat16 is slowest and its workers would import torch: they run on ONNX Runtime
        # when that is installed.
        self.eval_backend = (Backend.AUTO.resolve() if self.backend is Backend.TORCH_BFLOAT16
                             else self.backend)

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
                self._print_header()
                for line in self.metrics:
                    self._print_row(line)
                while not self._limit_reached(generation):
                    self._generation(generation)
                    generation += 1
            finally:
                if self.writer is not None:
                    self.writer.close()

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
        line.update(self._evaluate(generation))
        line["evaluation_seconds"] = time.perf_counter() - evaluation_start
        line["wall_time"] = self._wall_time() + time.perf_counter() - start
        folder.append_metrics(line)
        self.metrics.append(json_safe(line))
        self._record(line)
        self._print_row(line)

    def _save(self, trainer: Trainer, generation: int) -> None:
        """The generation's checkpoint, and its ONNX file beside it when the evaluation runs
        on ONNX Runtime (a generation stopped between the two has its file exported when a
        run needs it)."""
        checkpoint = self.folder.checkpoint(generation)
        trainer.save(checkpoint)
        if self.eval_backend is Backend.ONNXRUNTIME:
            # No exporter: unless ONNX Runtime was asked for, PyTorch from now on.
            asked = Backend.ONNXRUNTIME if self.control.backend is Backend.ONNXRUNTIME else \
                Backend.AUTO
            if settle([NetworkName.torch(checkpoint)], asked).backend is Backend.TORCH:
                self.eval_backend = Backend.TORCH
                if self.backend is Backend.ONNXRUNTIME:
                    self.backend = Backend.TORCH

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
        network = NetworkName.torch(self.folder.checkpoint(generation - 1))
        search = s.generation_search(generation)
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
                             backend=self.backend)
        with self.open_run(options) as run, GameWriter(partial) as writer:
            self._watch(run)
            try:
                for result in run:
                    game = result.game
                    if result.status is not GameStatus.FINISHED or game is None:
                        raise RunFailed(f"self-play game {result.number} was abandoned")
                    extra: dict[str, Any] = {}
                    if s.untrained(generation):
                        # The untrained network's priors and values make its search's
                        # records (and look-ahead targets) noise: its games teach the value.
                        extra["policy_targets"] = False
                    elif value is not None:
                        played = [tile for _, tile in game.history]
                        extra["lookahead"] = lookahead_targets(
                            value, s.side, played, s.lookahead_temperature)
                    writer.write(game_line(result.number, s.side, game, stored, extra))
                    tiles += len(game.history)
            finally:
                self._watch(None)
            seconds = time.perf_counter() - run.started
            served = run.requests_served()
        commit(partial, output)  # on disk before the name says the generation's games are
        return SelfPlayStats(games, seconds, games / seconds, served / seconds, tiles / games)

    def _random_score(self, network: NetworkName, should_stop: StopCheck | None = None
                      ) -> Score:
        c = self.control
        try:
            return against_random(network, self.settings.side, c.eval_games, c.workers,
                                  c.threads, c.server_batch, c.torch_threads, stop=self._watch,
                                  open_run=self.open_run, backend=self.eval_backend,
                                  should_stop=should_stop)
        finally:
            self._watch(None)

    def _baseline(self) -> Score:
        """A uniformly random player's score in seat 0, measured once per run and number of
        games."""
        if self.baseline is not None:
            return self.baseline
        path = self.folder.baseline_file
        games = self.control.eval_games
        if path.exists():
            saved = json.loads(path.read_text())
            if saved.get("side") == self.settings.side and saved.get("games") == games:
                half = saved["half_width"]
                self.baseline = Score(saved["mean"], math.inf if half is None else half, games)
                return self.baseline
        score = self._random_score(NetworkName(NetworkKind.UNIFORM))
        write_json_atomically(path, json_safe({"side": self.settings.side, "games": games,
                                               "mean": score.mean,
                                               "half_width": score.half_width}))
        self.baseline = score
        return score

    def _evaluate(self, generation: int) -> dict[str, Any]:
        """The games against random players, in worker processes, and the rating matches,
        here, all at once: the processes' games take what the matches, which hold the
        interpreter much of the time, leave of the cores."""
        results: dict[str, Any] = {}
        c = self.control
        checkpoint = self.folder.checkpoint(generation)
        policies: dict[int, Any] = {}

        def policy_of(g: int) -> Any:
            """Generation g's greedy policy, loaded once per evaluation."""
            if g not in policies:
                policies[g] = self._match_policy(self.folder.checkpoint(g))
            return policies[g]

        matches: list[tuple[str, Match]] = []
        if c.eval_games:
            results["random_baseline"] = self._baseline().as_dict()
            network = NetworkName.torch(checkpoint)
            matches.append((_AGAINST_RANDOM, lambda seed, played, stop: self._random_score(
                network, stop)))
        if c.rating_games:
            matches += self._rating_matches(generation, policy_of)
        # The matches ask for small batches: a second torch thread mostly waits on the first,
        # and on a busy machine it made them many times slower.
        with _torch_threads(1):
            seed = self.settings.train.seed * 100003 + generation
            # One thread more for the random players' games, which mostly wait on their
            # processes.
            threads = c.workers + (1 if c.eval_games else 0)
            outcomes = dict(zip([name for name, _ in matches],
                                play_matches([match for _, match in matches], seed * 7,
                                             threads), strict=True))
            scores = {name: score for name, (score, _) in outcomes.items()}
            for name, score in scores.items():
                logger.debug("generation %d against %s: %.3f over %d games in %.1f s",
                             generation, name, score.mean, score.games, score.seconds)
            if _AGAINST_RANDOM in scores:
                results["random"] = scores[_AGAINST_RANDOM].as_dict()
            if c.rating_games:
                results["rating"] = self._rate(generation, [
                    (name, played) for name, (_, played) in outcomes.items()
                    if name != _AGAINST_RANDOM])
            if c.arena_games and generation > 0:
                # The rating match against the previous generation is the same match; it is
                # played again only for another number of games.
                previous = scores.get(generation_player(generation - 1))
                if previous is None or previous.games != c.arena_games:
                    previous = greedy_match(
                        policy_of(generation), policy_of(generation - 1), self.settings.side,
                        c.arena_games, c.arena_opening, seed=seed)
                results["previous"] = previous.as_dict()
        return results

    def _match_policy(self, checkpoint: Path) -> PolicyFunction:
        """A checkpoint's policy logits, for the matches played in this process: in
        bfloat16 when self-play runs so (at the matches' batches of 8 to 24 positions as fast
        as ONNX Runtime on side 10 and 1.7 times as fast on side 20), else on ONNX Runtime
        when the evaluation runs there (on one thread, about twice PyTorch's speed), else on
        PyTorch with the batch norms folded."""
        backend = (self.backend if self.backend is Backend.TORCH_BFLOAT16
                   else self.eval_backend)
        settled = settle([NetworkName.torch(checkpoint)], backend)
        # On as many torch threads as there are (the trainer's stay as they are), or on one
        # ONNX Runtime thread.
        network = load_network(settled.names[0], self.settings.side, None, settled.backend)
        return lambda planes: network.evaluate(planes)[0]

    def _rating_matches(self, generation: int, policy_of: Callable[[int], Any]
                        ) -> list[tuple[str, Match]]:
        """The generation's rating matches (seat-rotated, played in this process), each under
        its opponent's name. The new network plays greedily; so do its opponents, but for the
        searching reference, whose games the engine plays."""
        c, side = self.control, self.settings.side
        seed = self.settings.train.seed * 100003 + generation
        candidate = policy_of(generation)

        def greedy(opponent: PolicyFunction) -> Match:
            return lambda seed, played, stop: greedy_match(
                candidate, opponent, side, c.rating_games, c.arena_opening, seed=seed,
                outcomes=played, stop=stop)

        def searching(seed: int, played: list[PlayedGame],
                      stop: StopCheck) -> Score:
            return search_match(PolicyNetwork(candidate), HeuristicNetwork(side),
                                REFERENCE_SIMS, side, c.search_rating_games,
                                c.arena_opening, seed, outcomes=played, stop=stop)

        # The costliest first, so that the cheap ones fill the threads at the end.
        matches: list[tuple[str, Match]] = []
        if c.search_rating_games:
            matches.append((Reference.HEURISTIC_SEARCH.value, searching))
        matches += [(generation_player(g), greedy(policy_of(g)))
                    for g in range(generation - 1, generation - 1 - c.rating_previous, -1)
                    if g >= 0]
        matches += [(Reference.HEURISTIC.value, greedy(_heuristic_policy(side))),
                    (Reference.UNIFORM.value, greedy(random_policy(seed)))]
        return matches

    def _rate(self, generation: int,
              played: list[tuple[str, list[PlayedGame]]]) -> dict[str, float]:
        """Keeps the generation's rating games (each match's opponent, and its games' seat of
        the new network and scores) in the run folder and refits the ratings: the new
        network's and the references' as they stand now (for the log; the plot draws every
        generation's from the run's last fit)."""
        network = generation_player(generation)
        games: list[MatchGame] = []
        for name, outcomes in played:
            for seat, outcome, points in outcomes:
                players = tuple(network if s == seat else name for s in range(4))
                games.append(MatchGame(generation, players, tuple(outcome), tuple(points)))
        record_matches(self.folder.matches_file, generation, games)
        # The joint fit of the whole file: milliseconds for a run's few thousand games.
        ratings = fit_ratings(read_matches(self.folder.matches_file))
        write_ratings(self.folder.ratings_file, ratings)
        rating = ratings[network]
        values = {"mu": rating.mu, "sigma": rating.sigma}
        for reference in Reference:
            if reference.value in ratings:
                values[f"{reference.value}_mu"] = ratings[reference.value].mu
        return values

    # ----- reporting ----------------------------------------------------------------------

    def _record(self, line: dict[str, Any]) -> None:
        writer = self._tensorboard()
        if writer is None:
            return
        for name, value in flatten(line).items():
            if name != "generation" and isinstance(value, int | float) and value is not None:
                writer.add_scalar(name, value, line["generation"])
        writer.flush()

    def _tensorboard(self) -> Any:
        if self.writer is None:
            try:
                from torch.utils.tensorboard import SummaryWriter
            except ImportError:
                logger.warning("tensorboard is not installed: no event files are written")
                self.writer = False
                return None
            self.writer = SummaryWriter(str(self.folder.tensorboard))
        return self.writer or None

    def _print_header(self) -> None:
        s = self.settings
        sims = f"{s.search.sims_per_move} simulations per move"
        if s.search.full_search_share < 1:
            sims = (f"{sims} on {s.search.full_search_share:.0%} of the moves, "
                    f"{s.search.cheap_sims} on the others")
        if s.search.playout_mix:
            sims += f", a random playout weighing {s.search.playout_mix:g} in each value"
        start = (f"from the network of {s.initial_weights}" if s.initial_weights else
                 f"generation 1: {s.first_games} games of {s.first_sims}")
        print(f"run {self.folder.path}: side {s.side}, {s.model.blocks} blocks of "
              f"{s.model.channels} channels; per generation {s.games} self-play games of "
              f"{sims} ({start}) and {s.steps} training steps of {s.train.batch_size} "
              "positions",
              file=self.out)
        print("'random': greedy score in seat 0, which moves first, against three uniformly "
              "random players, beside a uniformly random player's own score there; "
              "'previous': greedy score in one seat against the previous generation in the "
              "three others (0.25 is even)", file=self.out)
        print(TABLE_HEADER, file=self.out, flush=True)

    def _print_row(self, line: dict[str, Any]) -> None:
        print(table_row(line), file=self.out, flush=True)


# The games against random players among a generation's matches.
_AGAINST_RANDOM = "random players"


@contextlib.contextmanager
def _torch_threads(count: int) -> Iterator[None]:
    """Runs the block on ``count`` torch threads."""
    before = torch.get_num_threads()
    torch.set_num_threads(count)
    try:
        yield
    finally:
        torch.set_num_threads(before)


def _heuristic_policy(side: int) -> Any:
    network = HeuristicNetwork(side)
    return lambda planes: network.evaluate(planes.astype(np.float32))[0]


def run_loop(path: Path, changes: Mapping[str, Any], control: LoopControl,
             out: TextIO | None = None, open_run: RunOpener = Run) -> Loop:
    """Opens (or makes) the run folder and runs generations until the control's limits, its
    games played by ``open_run``'s runs (on a cluster with a session's). ``changes`` are the
    settings asked for (LoopSettings.with_changes): a new folder's, on top of the defaults; a
    folder made with other values is refused, naming the differences. RunInterrupted or
    KeyboardInterrupt when stopped from outside; RunFailed when a run of games failed."""
    control.backend.resolve()  # ONNX Runtime asked for and missing: refused before anything

    def asked(saved: LoopSettings | None) -> LoopSettings:
        settings = (saved or LoopSettings()).with_changes(changes)
        if saved is None and settings.initial_weights:  # refused before the folder is made
            starting_network(Path(settings.initial_weights), settings.model)
        return settings

    folder = RunFolder(path)
    loop = Loop(folder, folder.open(asked), control, out, open_run)
    loop.run()
    return loop
