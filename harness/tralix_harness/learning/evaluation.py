"""A generation's evaluation in the loop: its greedy score against random players beside a
random player's own (the baseline, measured once per run and number of games), its rating
matches against the fixed references and earlier generations with the joint fit of every
rating game so far, and the match against the previous generation.

The games against random players run in worker processes while the matches are played here,
all at once: the processes' games take what the matches, which hold the interpreter much of
the time, leave of the cores.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import logging
import math
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np
import torch

from ..local.lifecycle import GameRun, RunOpener
from ..networks.backend import Backends, settle
from ..networks.builtin import evaluate
from ..networks.loading import load_network
from ..networks.names import NetworkKind, NetworkName
from .folder import RunFolder, json_safe, write_json_atomically
from .match import (
    Match,
    PlayedGame,
    Policy,
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
from .settings import LoopControl, LoopSettings

logger = logging.getLogger(__name__)

# The games against random players among a generation's matches.
_AGAINST_RANDOM = "random players"


@dataclasses.dataclass
class Evaluation:
    """The evaluations of one run folder's generations."""

    folder: RunFolder
    settings: LoopSettings
    control: LoopControl
    backends: Backends
    open_run: RunOpener
    # Handed each run of games in worker processes as it starts, and None when it ends (to
    # stop it from a signal handler).
    watch: Callable[[GameRun | None], None]
    baseline: Score | None = None  # the random player's, once measured

    def evaluate(self, generation: int) -> dict[str, Any]:
        """The generation's metrics: ``random_baseline``, ``random``, ``rating`` and
        ``previous`` as the control asks for them."""
        results: dict[str, Any] = {}
        c = self.control
        checkpoint = self.folder.checkpoint(generation)
        policies: dict[int, Any] = {}

        def policy_of(g: int) -> Any:
            """Generation g's greedy policy, loaded once per evaluation."""
            if g not in policies:
                policies[g] = self.policy(self.folder.checkpoint(g))
            return policies[g]

        matches: list[tuple[str, Match]] = []
        if c.eval_games:
            results["random_baseline"] = self._baseline().as_dict()
            network = NetworkName.torch(checkpoint)
            matches.append((_AGAINST_RANDOM, lambda seed, played, stop: self._random_score(
                network, stop)))
        if c.rating_games:
            matches += self.rating_matches(generation, policy_of)
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

    def policy(self, checkpoint: Path) -> Policy:
        """A checkpoint's policy logits, in the form its network sees, for the matches played
        in this process, on what runs self-play's large batches: bfloat16 where self-play runs
        so, else ONNX Runtime on one thread (about twice PyTorch's speed), else PyTorch with the
        batch norms folded; torch on as many threads as there are (the trainer's stay as they
        are)."""
        settled = settle([NetworkName.torch(checkpoint)], self.backends.batched)
        network = load_network(settled.names[0], self.settings.side, None, settled.backend)
        return Policy(lambda planes, globals_=None: evaluate(network, planes, globals_)[0],
                      settled.inputs[0])

    def rating_matches(self, generation: int, policy_of: Callable[[int], Any]
                       ) -> list[tuple[str, Match]]:
        """The generation's rating matches (seat-rotated, played in this process), each under
        its opponent's name. The new network plays greedily; so do its opponents, but for the
        searching reference, whose games the engine plays."""
        c, side = self.control, self.settings.side
        seed = self.settings.train.seed * 100003 + generation
        candidate = policy_of(generation)

        def greedy(opponent: PolicyFunction | Policy) -> Match:
            return lambda seed, played, stop: greedy_match(
                candidate, opponent, side, c.rating_games, c.arena_opening, seed=seed,
                outcomes=played, stop=stop)

        def searching(seed: int, played: list[PlayedGame],
                      stop: StopCheck) -> Score:
            return search_match(PolicyNetwork(candidate), load_network("heuristic", side),
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

    def _random_score(self, network: NetworkName, should_stop: StopCheck | None = None
                      ) -> Score:
        c = self.control
        try:
            return against_random(network, self.settings.side, c.eval_games, c.workers,
                                  c.threads, c.server_batch, c.torch_threads, stop=self.watch,
                                  open_run=self.open_run, backend=self.backends.single,
                                  should_stop=should_stop)
        finally:
            self.watch(None)

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
    network = load_network("heuristic", side)
    return lambda planes: evaluate(network, planes.astype(np.float32))[0]
