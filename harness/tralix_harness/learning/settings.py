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
from collections.abc import Mapping
from typing import Any, Self

from ..base.settings import SearchSettings, Settings, option
from ..data.window import WindowSize
from ..networks.backend import Backend
from ..networks.inputs import InputKind
from ..networks.settings import NEW_NETWORK, ModelSettings
from .ratings import REFERENCE_SIMS


class PolicyTarget(enum.StrEnum):
    """What the policy learns from."""

    LOOKAHEAD = "lookahead"  # the games' one-tile look-ahead targets where they have them
    VISITS = "visits"        # the search's records: visit shares or the improved policy


class Precision(enum.StrEnum):
    """The arithmetic of the training steps' forward and backward passes."""

    AUTO = "auto"          # bfloat16 where the CPU computes it natively, else float32
    FLOAT32 = "float32"
    BFLOAT16 = "bfloat16"  # the convolutions and linear layers; weights and optimizer float32


@dataclasses.dataclass(frozen=True)
class TrainSettings(Settings):
    """How the network learns from the window of recent games."""

    batch_size: int = option(256, "samples in a minibatch", least=1)
    learning_rate: float = option(2e-3, "learning rate after the warm-up (AdamW)", above=0)
    warmup_steps: int = option(100, "steps over which the learning rate rises from zero",
                               least=0)
    weight_decay: float = option(1e-3, "decoupled weight decay (AdamW)", least=0)
    window_games: int = option(3000, "the most recent games that minibatches are drawn from",
                               least=1)
    window_growth: float = option(
        0.0, "a window that grows with the run: this share of the games played so far, at least "
        "--window-min-games and at most --window-games (0: always --window-games)",
        least=0, most=1)
    window_min_games: int = option(
        500, "the least games of a growing window (--window-growth)", least=1)
    policy_target: PolicyTarget = option(
        PolicyTarget.VISITS,
        "policy targets: 'visits' (the search's records: visit shares, or the Gumbel search's "
        "improved policy) or 'lookahead' (one-tile look-ahead targets by the value head, "
        "stored with the games, where they have them)")
    target_temperature: float = option(
        0.5, "visit-share targets (and improved policies with --sharpen-improved) are raised "
        "to 1/T and renormalised", above=0)
    # The improved policy already weighs the prior in: raised to 1/T it counts the prior
    # twice. Settings saved before the choice sharpened them (from_dict).
    sharpen_improved: bool = option(
        False, "sharpen the Gumbel root's improved policies (the records of search mode 2) by "
        "--target-temperature too, not only visit shares")
    value_weight: float = option(1.0, "weight of the value loss beside the policy loss", least=0)
    value_target_mix: float = option(
        0.0, "the value target is (1 - w) times the game's outcome plus w times the values the "
        "move's search met, where the game recorded them (the outcome alone elsewhere); the "
        "metrics' value_loss stays the loss against the outcome alone", least=0, most=1)
    score_weight: float = option(
        1.0, "weight of the score loss (the squared error of each seat's final tile count over "
        "89, summed over the seats) beside the policy loss, where the network has the head",
        least=0)
    ownership_weight: float = option(
        1.0, "weight of the ownership loss (per tile) beside the policy loss, where the network "
        "has the head", least=0)
    average_decay: float = option(
        0.0, "the network saved and played is a moving average of the trained weights, "
        "decaying by this factor per step (the plain mean over the first 1/(1 - decay) "
        "steps); 0: the trained weights themselves", least=0, below=1)
    rotations: bool = option(True, "turn each sample by a random quarter turn")
    reflections: bool = option(
        False, "also mirror half the samples (this reverses the turn order of the position)")
    seed: int = option(0, "seed of the initial weights and of the minibatch draws")
    # Where the CPU has bfloat16 matrix units, a step takes about 0.4 of its float32 time
    # (bench/README.md): more generations in the same minutes.
    precision: Precision = option(
        Precision.AUTO, "arithmetic of the training steps: 'bfloat16' (mixed precision: "
        "float32 weights, bfloat16 convolutions), 'float32', or 'auto': bfloat16 where the "
        "CPU computes it natively")

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> Self:
        # Settings saved before there was a choice trained in float32 and sharpened every
        # record.
        return super().from_dict({"precision": Precision.FLOAT32.value,
                                  "sharpen_improved": True, **values})

    @property
    def window(self) -> WindowSize:
        """The window's size, as the data package takes it."""
        return WindowSize(self.window_games, self.window_growth, self.window_min_games)


# The loop's self-play search, where it differs from the module's usual settings: side 10, a
# few simulations, and c_init 2.0 rather than the usual 1.25. That constant was chosen while the
# loop searched in mode 0, where an unvisited child counts as value 0 against values that are
# shares of about 0.25: a small constant kept the search on the first children it tried. In
# mode 2 it weighs the PUCT rule below the Gumbel root only (an unvisited child is worth its
# parent's value less 0.1 there), and it has not been measured again in that mode.
# The search is the Gumbel root (search mode 2): at 8 simulations its improved policy is a
# target the network learns from, where the sound search's visit shares (mode 1) are not and
# the self-play module's own (mode 0) mislead (bench/README.md, learning by search mode).
# Half of each value the search sees comes from one random playout: it costs a fifth of
# self-play's time and raised the last network's greedy score against random players by 0.05
# on average over two fifteen-minute seeds on side 10, and by 0.03 against the heuristics
# (+0.058 and -0.005; bench/README.md, policy targets and the Gumbel root's settings).
LOOP_SEARCH = SearchSettings(dim=10, sims_per_move=8, sample_moves=24, c_init=2.0,
                             search_mode=2, playout_mix=0.5)

# The search settings a run of the loop may set; the others stay at LOOP_SEARCH's. The run
# folder's settings file holds them, in this order, under their command-line names ("side",
# "sims", "alpha"), which is what the file has always called them.
LOOP_SEARCH_FIELDS = ("dim", "sims_per_move", "sample_moves", "c_init", "dirichlet_alpha",
                      "exploration_fraction", "search_mode", "full_search_share", "cheap_sims",
                      "playout_mix", "gumbel_considered", "gumbel_min_spread",
                      "gumbel_every_move", "skip_forced_moves")
_SEARCH_OPTIONS = {field.name: field for field in dataclasses.fields(SearchSettings)}
_SEARCH_KEYS = {_SEARCH_OPTIONS[name].metadata.get("flag", name): name
                for name in LOOP_SEARCH_FIELDS}


# Generation 1 by the untrained network (--no-first-search, or search mode 0 without playouts):
# its games teach the value alone, and eight simulations are enough for that.
UNTRAINED_FIRST_SIMS = 8


@dataclasses.dataclass(frozen=True)
class LoopSettings(Settings):
    """What a run of the generation loop plays and learns; fixed for the life of a run."""

    # Half-size generations (96 games, 200 steps: the same training per game) beat 192 and
    # 400 at equal wall time: the games come from a fresher network (bench/README.md).
    games: int = option(96, "self-play games per generation", least=1)
    first_games: int = option(
        192, "self-play games of generation 1, which starts from an untrained network", least=1)
    # Sixty-four: the search rated level with the greedy heuristic; generation 1 then costs
    # about twice the untrained network's eight simulations (bench/README.md).
    first_sims: int = option(
        64, "simulations per move in generation 1 (with --no-first-search, the untrained "
        f"network's search, whose games are for the value alone; {UNTRAINED_FIRST_SIMS} are "
        "enough there)", least=0)
    # On side 20 three seeds gained 0.32 ± 0.16 against the heuristics in thirty minutes:
    # the untrained network's games left its policy worse than where it started.
    first_search: bool = option(
        True, "generation 1 played by the search without a network (equal priors, each leaf "
        "valued by one random playout) instead of the untrained network: its records then "
        "teach the policy as well as the value")
    initial_weights: str = option(
        "", "a checkpoint whose network the run starts from instead of random weights (trained "
        "on any side, with the run's network settings): a schedule of sides starts on a small "
        "board and goes on to a larger one from its network; generation 1 is then played like "
        "the others")
    lookahead_temperature: float = option(
        0.03, "temperature of the look-ahead policy targets (values are win shares of 1)",
        above=0)
    steps: int = option(200, "training steps per generation", least=0)
    # Self-play's search, generation 1's simulations aside.
    search: SearchSettings = dataclasses.field(default_factory=lambda: LOOP_SEARCH)
    # A new run's network sees the full position; a settings file without the key saw the
    # five planes (ModelSettings' own defaults).
    model: ModelSettings = dataclasses.field(default_factory=lambda: NEW_NETWORK)
    train: TrainSettings = dataclasses.field(default_factory=TrainSettings)

    def check(self) -> None:
        """The search settings a run may set, the root noise's weight not negative, and a
        network of the full position or a first generation without a network searched by the
        engine (the self-play module's search sends the five planes alone and plays no
        playouts)."""
        if self.search.exploration_fraction < 0:
            raise ValueError(f"{SearchSettings.option_name('exploration_fraction')}: must be "
                             f"at least 0, not {self.search.exploration_fraction}")
        kept = dataclasses.replace(LOOP_SEARCH, **{name: getattr(self.search, name)
                                                   for name in LOOP_SEARCH_FIELDS})
        if kept != self.search:
            raise ValueError("the loop's search settings are the side, simulations, sampled "
                             "moves, c_init, alpha, exploration fraction, search mode, "
                             "Gumbel root, playout mix, playout cap and forced moves; the "
                             f"others stay as they are: {LOOP_SEARCH}")
        if self.first_search and self.search.search_mode == 0:
            mode = SearchSettings.option_name("search_mode")
            raise ValueError(f"{self.option_name('first_search')}: the search without a "
                             "network values its leaves by playouts, which the self-play "
                             f"module's search ({mode} 0) has not; use {mode} 1 or 2")
        if self.model.inputs is InputKind.FULL and self.search.search_mode == 0:
            mode = SearchSettings.option_name("search_mode")
            raise ValueError(f"{ModelSettings.option_name('inputs')} full: the self-play "
                             f"module's search ({mode} 0) sends the five planes alone; use "
                             f"{mode} 1 or 2, or {ModelSettings.option_name('inputs')} planes")

    @property
    def side(self) -> int:
        return self.search.side

    def untrained(self, generation: int) -> bool:
        """Whether the generation's games are played by the untrained network."""
        return generation == 1 and not self.initial_weights

    def network_free(self, generation: int) -> bool:
        """Whether the generation's games are played by the search without a network."""
        return self.first_search and self.untrained(generation)

    def generation_games(self, generation: int) -> int:
        """The self-play games of a generation."""
        return self.first_games if self.untrained(generation) else self.games

    def generation_search(self, generation: int, playout_scale: float = 1.0) -> SearchSettings:
        """The search settings of a generation's self-play, its playout blend scaled by
        ``playout_scale`` (an anneal), its requests in the layout of what the network sees;
        the engine's searches record the values they met."""
        search = dataclasses.replace(self.search, record_root_values=self.search.search_mode != 0,
                                     playout_mix=self.search.playout_mix * playout_scale,
                                     rep=self.model.inputs.rep(self.search.rep))
        if self.untrained(generation):  # every move searched alike: no playout cap
            search = dataclasses.replace(search, sims_per_move=self.first_sims,
                                         full_search_share=1.0)
            if self.first_search:  # playouts alone value the leaves; no network to see more
                search = dataclasses.replace(search, playout_mix=1.0, rep=self.search.rep)
        return search

    def with_changes(self, changes: Mapping[str, Any]) -> LoopSettings:
        """These settings with ``changes``, by field name, to the loop's own fields or to
        those of its search, network and training settings (as the command line gives them).
        The self-play module's search (search mode 0) plays without playouts and sends the
        five planes alone: the playout mix goes to 0 with it, the network sees the five
        planes, and generation 1 is the untrained network's at 8 simulations, unless the
        changes set them."""
        parts: dict[type[Settings], dict[str, Any]] = {
            kind: {} for kind in (LoopSettings, SearchSettings, ModelSettings, TrainSettings)}
        for name, value in changes.items():
            kind = next((k for k in parts if name in _FIELDS[k]), None)
            if kind is None or name in ("search", "model", "train"):
                raise ValueError(f"unknown setting {name!r}")
            parts[kind][name] = value
        search = parts[SearchSettings]
        if search.get("search_mode", self.search.search_mode) == 0:
            search.setdefault("playout_mix", 0.0)
            parts[ModelSettings].setdefault("inputs", InputKind.PLANES)
            own = parts[LoopSettings]
            if self.first_search and "first_search" not in own:  # a saved run's stay as saved
                own.update(first_search=False,
                           first_sims=own.get("first_sims", UNTRAINED_FIRST_SIMS))
        return dataclasses.replace(
            dataclasses.replace(self, **parts[LoopSettings]),
            search=dataclasses.replace(self.search, **search),
            model=dataclasses.replace(self.model, **parts[ModelSettings]),
            train=dataclasses.replace(self.train, **parts[TrainSettings]))

    def as_dict(self) -> dict[str, Any]:
        """The settings file's view: the search settings among the loop's own, under the
        names the file has always had."""
        values = super().as_dict()
        search = values.pop("search")
        return {**{key: search[name] for key, name in _SEARCH_KEYS.items()}, **values}

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> Self:
        # A file without the network's or the training's settings read with the defaults of
        # settings saved before their newer fields (the five planes among them).
        # One written before generation 1 could be played by the search without a network
        # was played by the untrained network.
        own = {"model": {}, "train": {}, "first_search": False,
               **{k: v for k, v in values.items() if k not in _SEARCH_KEYS}}
        # A settings file written before the search had modes was played with the self-play
        # module's own search; one written before the playout blend, without it.
        values = {"search_mode": 0, "playout_mix": 0.0, **values}
        search = dataclasses.replace(LOOP_SEARCH, **{name: values[key]
                                                     for key, name in _SEARCH_KEYS.items()
                                                     if key in values})
        return dataclasses.replace(super().from_dict(own), search=search)


@dataclasses.dataclass(frozen=True)
class LoopControl(Settings):
    """How long this invocation of the loop goes on and what it runs on."""

    generations: int = option(0, "stop after this many generations in all (0: no limit)",
                              least=0)
    minutes: float = option(0.0, "stop after this much wall time in all, in minutes (0: no limit)",
                            least=0)
    # 128 (± 0.08): the ratings are the finer measure, and on side 20 another 128 took the
    # evaluation past a tenth of the generation.
    eval_games: int = option(128, "games against three random players per generation", least=0)
    arena_games: int = option(32, "games against the previous generation per generation",
                              least=0)
    arena_opening: int = option(
        6, "tiles played at random at the start of each game against the previous generation",
        least=0)
    rating_games: int = option(
        32, "games of each rating match per generation (rounded up to a multiple of four): "
        "the new network, greedy, in one seat against a uniformly random player, the greedy "
        "heuristic and the generations before it (--rating-previous) in the others; 0: no "
        "ratings", least=0)
    # One: a match against an earlier generation plays two networks, and a second one took the
    # evaluation on side 20 past a tenth of the generation; the references tie the chain down.
    rating_previous: int = option(
        1, "how many of the generations before the new network's it plays a rating match "
        "against", least=0)
    # One opening a generation: its games add up over the run, and a second one took the
    # evaluation on side 20 past a tenth of the generation.
    search_rating_games: int = option(
        4, f"games of the rating match against the heuristic searching {REFERENCE_SIMS} "
        "simulations per move (the sound search) per generation, rounded up to a multiple of "
        "four; each costs several greedy games; 0: none", least=0)
    workers: int = option(2, "worker processes for self-play and evaluation", least=1)
    # 48: two workers hold a generation's 96 games at once, and the network's batches grow to
    # where bfloat16 pays (bench/README.md); on ONNX Runtime 48 is as fast as 8 or faster.
    threads: int = option(48, "games played at once by each worker", least=1)
    server_batch: int = option(64, "largest batch the inference server evaluates at once",
                               least=1)
    backend: Backend = option(
        Backend.AUTO, "what runs the network in self-play and evaluation: torch (PyTorch), "
        "torch-bfloat16 (PyTorch in bfloat16 in self-play: faster at large batches, see "
        "--threads, where the CPU computes bfloat16 natively), onnxruntime (ONNX Runtime, "
        "from each checkpoint's ONNX file, exported beside it) or auto: torch-bfloat16 on "
        "sides of 16 and more where the CPU computes bfloat16 natively (on this machine, not "
        "with --ray), else onnxruntime when it is installed; the games against random "
        "players run on ONNX Runtime beside torch-bfloat16")
    torch_threads: int = option(
        1, "threads of each process running the network in self-play and evaluation "
        "(PyTorch's, or ONNX Runtime's intra-op threads)", least=1)
    train_threads: int = option(2, "torch threads of training and of the greedy matches",
                                least=1)
    # The last network of a run that ends at full rate is a draw from wide swings between
    # generations; annealing the last 30 % raised it against random players by 0.03 on average
    # over three twelve-minute runs (+0.07, +0.06, -0.03: bench/README.md).
    anneal: float = option(
        0.3, "over this last share of --minutes (or of --generations without it) the learning "
        "rate falls linearly to a tenth, so that the last networks come from small steps (0: "
        "no fall)", least=0, most=1)
    playout_mix_anneal: float = option(
        0.0, "over this first share of --minutes (or of --generations without it) self-play's "
        "--playout-mix falls linearly to 0, as the network's own values improve (0: the blend "
        "stays as it is)", least=0, most=1)

    def run_share(self, seconds: float, generations: int) -> float | None:
        """The share of the run gone by after ``seconds`` of its wall time and ``generations``
        generations: of --minutes, or of --generations without it; None without a limit."""
        if self.minutes:
            return seconds / (self.minutes * 60.0)
        if self.generations:
            return generations / self.generations
        return None

    def rate_scale(self, seconds: float, generation: int) -> float:
        """The learning rate's factor for training a generation that starts after ``seconds``
        of the run's wall time: 1 until the last ``anneal`` share of the limit (of --minutes,
        or of --generations without it), then falling linearly to a tenth at the limit."""
        share = self.run_share(seconds, generation)
        if not self.anneal or share is None:
            return 1.0
        fall = (share - (1.0 - self.anneal)) / self.anneal
        return 1.0 - 0.9 * min(1.0, max(0.0, fall))

    def playout_scale(self, seconds: float, generation: int) -> float:
        """The factor of self-play's playout blend for a generation whose games start after
        ``seconds`` of the run's wall time: falling linearly from 1 at the start of the run to
        0 once the ``playout_mix_anneal`` share of it has gone by (by the generations before
        this one without --minutes)."""
        share = self.run_share(seconds, generation - 1)
        if not self.playout_mix_anneal or share is None:
            return 1.0
        return max(0.0, 1.0 - share / self.playout_mix_anneal)


# The fields of each settings class a loop's changes may name.
_FIELDS: dict[type[Settings], set[str]] = {
    kind: {f.name for f in dataclasses.fields(kind)}
    for kind in (LoopSettings, SearchSettings, ModelSettings, TrainSettings)}
