"""What a run of games is asked to play: ``RunOptions``, checked when made, with the kind of
run (``RunKind``) and where its networks run (``Inference``).

Each of a worker's games at once is a game slot, numbered across the run; a game's id is
game_number * slots + slot, so a reply finds its game from the id alone, and a slot runs one
game at a time.

Each network gets its requests in the layout it takes (networks/inputs.py): 3, the full
position, for a network that sees it, the search settings' ``rep`` (1 or 2) for a five-plane
one; ``network_settings`` gives each network's search settings so.
"""

from __future__ import annotations

import dataclasses
import enum
from collections.abc import Sequence

from ..base.settings import SearchSettings, Settings, option
from ..networks.backend import Backend, settle
from ..networks.inputs import FULL_REP, InputKind
from ..networks.names import NetworkName


class RunKind(enum.StrEnum):
    """What a run plays."""

    SELFPLAY = "selfplay"  # training games, stored by the caller
    RANDOM = "random"      # the network in seat 0 against three uniformly random players
    # The network in one seat against a baseline in the three others, four games (the network
    # in each seat once) from each random opening.
    ARENA = "arena"

    @property
    def networks(self) -> int:
        """How many networks the games consult: the model, and for the arena a baseline."""
        return 2 if self is RunKind.ARENA else 1


class Inference(enum.StrEnum):
    """Where a run's networks run."""

    # One inference server process per network, batching the requests of every worker (a
    # network on an accelerator wants this).
    SERVER = "server"
    # Each worker evaluates its own games' batches in its own process: no message between
    # processes, one copy of the network per worker; the faster choice for a network that runs
    # on the CPU.
    WORKER = "worker"
    # Worker for the built-in networks and torch checkpoints (run on the CPU), server for a
    # module:factory network, whose placement only its author knows.
    AUTO = "auto"

    def placement(self, networks: Sequence[NetworkName]) -> Inference:
        """SERVER or WORKER for these networks."""
        if self is not Inference.AUTO:
            return self
        return Inference.WORKER if all(n.on_cpu for n in networks) else Inference.SERVER


@dataclasses.dataclass
class RunOptions(Settings):
    """A run's games, checked when made: a ValueError says what cannot be played."""

    kind: RunKind            # a string is taken for its RunKind
    # A run may play no game; a command plays one at least.
    games: int = dataclasses.field(
        metadata={"help": "games to play", "least": 0, "command_least": 1})
    settings: SearchSettings
    # One for selfplay and random; model then baseline for arena. Names are parsed into
    # ``names``.
    networks: Sequence[NetworkName | str]
    workers: int = option(1, "worker processes", least=1)
    threads: int = option(4, "games played at once by each worker", least=1)
    batch_size: int = option(64, "largest batch the server evaluates at once", least=1)
    max_wait_ms: float = option(0.0, "how long the server waits to fill a batch, in ms")
    inference: Inference = option(
        Inference.AUTO, "where the network runs: in an inference server process batching "
        "every worker's games, in each worker for its own games, or auto: in the workers for "
        "the built-in and torch:CHECKPOINT networks, which run on the CPU")
    backend: Backend = option(
        Backend.AUTO, "what runs a torch:CHECKPOINT network: torch (PyTorch), torch-bfloat16 "
        "(PyTorch in bfloat16: faster at large batches where the CPU computes bfloat16 "
        "natively), onnxruntime (ONNX Runtime, from an ONNX file beside the checkpoint, "
        "exported when missing or stale) or auto: onnxruntime when it is installed")
    torch_threads: int = option(
        1, "threads of each process running a torch:CHECKPOINT or onnx:FILE network "
        "(PyTorch's, or ONNX Runtime's intra-op threads)", least=1)
    match_sims: int = option(
        0, "simulations per move of the networks in eval-random and arena games (searching in "
        "the search settings' mode, without noise); 0 plays the highest prior", least=0)
    arena_opening: int = option(
        6, "arena: tiles laid at random before each opening's four games", least=0)
    seed: int = option(0, "arena: seed of the random openings and of the searches' draws")
    quiet: bool = True       # keep the module's printing of test games off the terminal
    # The numbers of the games to play (each game's id derives from its number);
    # None plays 0 .. games - 1. A run replaying lost games elsewhere passes their numbers.
    numbers: tuple[int, ...] | None = None
    # Whether ``networks`` and ``backend`` are what the processes load: ``settle`` has run.
    settled: bool = False
    # What each network sees, as ``settle`` read it from its file (the five planes until
    # then).
    inputs: tuple[InputKind, ...] = ()
    names: tuple[NetworkName, ...] = dataclasses.field(init=False, repr=False, compare=False)

    def check(self) -> None:
        """The networks' names parsed, as many as the kind of run needs, and the games'
        numbers (each field's bounds are checked before: a server allowed no request per
        batch would never answer a game)."""
        self.names = tuple(NetworkName.parse(n) for n in self.networks)
        if len(self.names) != self.kind.networks:
            raise ValueError(f"{self.kind} needs {self.kind.networks} network(s)")
        if self.numbers is not None and (len(self.numbers) != self.games
                                         or len(set(self.numbers)) != self.games
                                         or min(self.numbers, default=0) < 0):
            raise ValueError("numbers must be games distinct numbers >= 0")

    def network_inputs(self, network: int) -> InputKind:
        """What network ``network`` (0 the model, 1 the arena's baseline) sees."""
        return self.inputs[network] if self.inputs else InputKind.PLANES

    def network_settings(self, network: int) -> SearchSettings:
        """The search settings network ``network``'s requests are made in: the run's, in the
        layout of what the network sees."""
        rep = self.network_inputs(network).rep(self.settings.rep)
        if rep == self.settings.rep:
            return self.settings
        return dataclasses.replace(self.settings, rep=rep)

    @property
    def game_numbers(self) -> tuple[int, ...]:
        return tuple(range(self.games)) if self.numbers is None else tuple(self.numbers)

    def settle(self) -> RunOptions:
        """These options with the networks the processes load and the backend they run them
        on (networks.backend.settle: on ONNX Runtime a torch checkpoint becomes its ONNX file,
        exported when missing or stale; ``auto`` no more); these options themselves once they
        are. In the process that starts the run, before any other starts."""
        if self.settled:
            return self
        settled = settle(self.names, self.backend)
        for name, inputs in zip(self.names, settled.inputs, strict=True):
            self._check_layout(name, inputs)
        return dataclasses.replace(self, networks=settled.names, backend=settled.backend,
                                   settled=True, inputs=settled.inputs)

    def _check_layout(self, name: NetworkName, inputs: InputKind) -> None:
        """ValueError for a network its games cannot ask: a five-plane network asked for the
        full position (``--rep 3``), a network of the full position in the self-play module's
        games, which send the five planes alone."""
        rep = self.settings.option_name("rep")
        if inputs is InputKind.PLANES and self.settings.rep == FULL_REP:
            raise ValueError(f"{rep} {FULL_REP}: network {name} takes "
                             f"{InputKind.PLANES.description}")
        if (inputs is InputKind.FULL and self.kind is RunKind.SELFPLAY
                and self.settings.search_mode == 0):
            mode = self.settings.option_name("search_mode")
            raise ValueError(f"network {name} takes {InputKind.FULL.description}, which the "
                             f"self-play module's search ({mode} 0) cannot send: use {mode} 1 "
                             "or 2")
