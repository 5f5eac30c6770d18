"""Settings of training and of the generation loop, as frozen dataclasses.

Each field carries its help text, so the dataclasses are the one source of the defaults, of
the command line's options (cli/options.py) and of what a run folder's settings file holds.
``LoopSettings`` is what makes a run what it is: a folder made with other values is refused.
``LoopControl`` is how this invocation runs it (how long, on how many processes), free to
change from one invocation to the next.
"""

from __future__ import annotations

import dataclasses
import enum

from ..base.settings import Settings, check_side, not_negative, option, positive
from ..networks.settings import ModelSettings


class PolicyTarget(enum.StrEnum):
    """What the policy learns from."""

    LOOKAHEAD = "lookahead"  # the games' one-tile look-ahead targets where they have them
    VISITS = "visits"        # the search's visit shares


@dataclasses.dataclass(frozen=True)
class TrainSettings(Settings):
    """How the network learns from the window of recent games."""

    batch_size: int = option(256, "samples in a minibatch")
    learning_rate: float = option(2e-3, "learning rate after the warm-up (AdamW)")
    warmup_steps: int = option(100, "steps over which the learning rate rises from zero")
    weight_decay: float = option(1e-3, "decoupled weight decay (AdamW)")
    window_games: int = option(3000, "the most recent games that minibatches are drawn from")
    policy_target: PolicyTarget = option(
        PolicyTarget.LOOKAHEAD,
        "policy targets: 'lookahead' (the games' one-tile look-ahead targets where they have "
        "them, else visit shares) or 'visits' (visit shares only)")
    target_temperature: float = option(
        0.5, "visit-share targets are raised to 1/T and renormalised")
    value_weight: float = option(1.0, "weight of the value loss beside the policy loss")
    rotations: bool = option(True, "turn each sample by a random quarter turn")
    reflections: bool = option(
        False, "also mirror half the samples (this reverses the turn order of the position)")
    seed: int = option(0, "seed of the initial weights and of the minibatch draws")

    def __post_init__(self) -> None:
        positive(batch_size=self.batch_size, learning_rate=self.learning_rate,
                  window_games=self.window_games, target_temperature=self.target_temperature)
        not_negative(warmup_steps=self.warmup_steps, weight_decay=self.weight_decay,
                      value_weight=self.value_weight)
        try:
            object.__setattr__(self, "policy_target", PolicyTarget(self.policy_target))
        except ValueError:
            raise ValueError(f"policy target must be one of "
                             f"{', '.join(t.value for t in PolicyTarget)}, "
                             f"not {self.policy_target!r}") from None


@dataclasses.dataclass(frozen=True)
class LoopSettings(Settings):
    """What a run of the generation loop plays and learns; fixed for the life of a run."""

    side: int = option(10, "board side")
    games: int = option(192, "self-play games per generation")
    sims: int = option(8, "simulations per move in self-play")
    first_games: int = option(
        192, "self-play games of generation 1, played by the untrained network")
    first_sims: int = option(
        8, "simulations per move in generation 1 (the untrained network's search is worth "
            "little: its games are for the value)")
    sample_moves: int = option(
        24, "self-play tiles before this count are drawn by visits, later ones the most visited")
    # Above the module's usual 1.25: an unvisited child counts as value 0 while values are
    # shares of 1 among four players (about 0.25), so with many valid tiles and flat priors a
    # small constant keeps the search on the first children it tried, and the visit shares
    # then tell more about the root noise than about the values.
    c_init: float = option(2.0, "exploration constant of the search")
    alpha: float = option(0.3, "concentration of the root noise")
    exploration_fraction: float = option(0.25, "weight of the root noise")
    lookahead_temperature: float = option(
        0.03, "temperature of the look-ahead policy targets (values are win shares of 1)")
    steps: int = option(400, "training steps per generation")
    model: ModelSettings = dataclasses.field(default_factory=ModelSettings)
    train: TrainSettings = dataclasses.field(default_factory=TrainSettings)

    nested = {"ModelSettings": ModelSettings, "TrainSettings": TrainSettings}

    def __post_init__(self) -> None:
        check_side(self.side)
        positive(games=self.games, first_games=self.first_games, alpha=self.alpha,
                  lookahead_temperature=self.lookahead_temperature)
        not_negative(sims=self.sims, first_sims=self.first_sims,
                      sample_moves=self.sample_moves, steps=self.steps,
                      exploration_fraction=self.exploration_fraction)


@dataclasses.dataclass(frozen=True)
class LoopControl(Settings):
    """How long this invocation of the loop goes on and what it runs on."""

    generations: int = option(0, "stop after this many generations in all (0: no limit)")
    minutes: float = option(0.0, "stop after this much wall time in all, in minutes (0: no limit)")
    eval_games: int = option(256, "games against three random players per generation")
    arena_games: int = option(32, "games against the previous generation per generation")
    arena_opening: int = option(
        6, "tiles played at random at the start of each game against the previous generation")
    workers: int = option(2, "worker processes for self-play and evaluation")
    threads: int = option(8, "games played at once by each worker")
    server_batch: int = option(64, "largest batch the inference server evaluates at once")
    torch_threads: int = option(
        1, "torch threads of each process running the network in self-play and evaluation")
    train_threads: int = option(2, "torch threads of training and of the greedy matches")

    def __post_init__(self) -> None:
        not_negative(generations=self.generations, minutes=self.minutes,
                      eval_games=self.eval_games, arena_games=self.arena_games,
                      arena_opening=self.arena_opening)
        positive(workers=self.workers, threads=self.threads, server_batch=self.server_batch,
                  torch_threads=self.torch_threads, train_threads=self.train_threads)
