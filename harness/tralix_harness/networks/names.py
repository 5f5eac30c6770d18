"""Network names, parsed once where they enter the harness: ``uniform``, ``heuristic``,
``torch:CHECKPOINT``, ``onnx:FILE`` or ``module:factory``."""

from __future__ import annotations

import dataclasses
import enum
import importlib
import importlib.util
from pathlib import Path

from .errors import BackendUnavailable, CheckpointError
from .inputs import InputKind, network_inputs
from .runtime import open_session, session_inputs, takes_side, trained_side


class NetworkKind(enum.StrEnum):
    UNIFORM = "uniform"      # all scores zero
    HEURISTIC = "heuristic"  # a cheap evaluation from the planes
    TORCH = "torch"          # a checkpoint of the learning package's network
    ONNX = "onnx"            # a network exported to ONNX, run by ONNX Runtime
    FACTORY = "factory"      # module:factory, called with the board side


@dataclasses.dataclass(frozen=True)
class NetworkName:
    """A parsed network name; ``str()`` gives the text back."""

    kind: NetworkKind
    path: Path | None = None  # the checkpoint of a torch network, the file of an onnx one
    module: str = ""          # the module and factory of a module:factory network
    factory: str = ""

    @classmethod
    def parse(cls, text: str | NetworkName) -> NetworkName:
        """ValueError for a name that is none of the five forms."""
        if isinstance(text, NetworkName):
            return text
        if text in (NetworkKind.UNIFORM, NetworkKind.HEURISTIC):
            return cls(NetworkKind(text))
        if text.startswith("torch:"):
            return cls.torch(Path(text.removeprefix("torch:")))
        if text.startswith("onnx:"):
            return cls.onnx(Path(text.removeprefix("onnx:")))
        module, _, factory = text.partition(":")
        if not module or not factory:
            raise ValueError(f"unknown network {text!r}: use uniform, heuristic, "
                             "torch:CHECKPOINT, onnx:FILE or module:factory")
        return cls(NetworkKind.FACTORY, module=module, factory=factory)

    @classmethod
    def torch(cls, path: Path) -> NetworkName:
        return cls(NetworkKind.TORCH, path=path)

    @classmethod
    def onnx(cls, path: Path) -> NetworkName:
        return cls(NetworkKind.ONNX, path=path)

    @property
    def on_cpu(self) -> bool:
        """Whether the network runs on the CPU: every one but the user's own, whose placement
        only its author knows."""
        return self.kind is not NetworkKind.FACTORY

    def __str__(self) -> str:
        if self.kind in (NetworkKind.TORCH, NetworkKind.ONNX):
            return f"{self.kind.value}:{self.path}"
        if self.kind is NetworkKind.FACTORY:
            return f"{self.module}:{self.factory}"
        return self.kind.value

    def check(self, side: int | None = None) -> int | None:
        """Before any process starts: a torch checkpoint or an ONNX file must load (a
        CheckpointError naming the file otherwise), a factory's module must import and hold
        the factory (ValueError saying what is wrong). With ``side``, a network that cannot
        play boards of that side is a CheckpointError too. Returns the side a checkpoint or
        an ONNX file was trained on, where it says (``side_note`` tells a player of another)."""
        if self.kind is NetworkKind.TORCH:
            assert self.path is not None
            try:
                from .model import load_model
            except ImportError as error:  # a play-only installation
                raise BackendUnavailable(
                    f"{self} needs PyTorch to run on the torch backend ({error}): install it "
                    "with pip install 'tralix-self-play[train]', or run the checkpoint's "
                    "ONNX file with --backend onnxruntime") from None
            model, state = load_model(self.path)
            trained = int(state["side"])
            if side is not None and side != trained and not model.plays_any_side:
                raise CheckpointError(f"checkpoint {self.path} was trained on side {trained}, "
                                      f"and its network plays no other side than that: not "
                                      f"side {side}")
            return trained
        if self.kind is NetworkKind.ONNX:
            assert self.path is not None
            session = open_session(self.path)
            if side is not None and not takes_side(session, side):
                shape = session.get_inputs()[0].shape
                raise CheckpointError(f"ONNX file {self.path} takes planes of shape {shape}: "
                                      f"its network plays no boards of side {side}")
            return trained_side(session)
        if self.kind is NetworkKind.FACTORY:
            try:
                found = importlib.util.find_spec(self.module) is not None
            except (ImportError, ValueError):
                found = False
            if not found:
                raise ValueError(f"{self}: no module named {self.module!r}")
            try:
                module = importlib.import_module(self.module)
            except Exception as error:  # the user's module failed while importing
                raise ValueError(f"{self}: importing {self.module} failed: "
                                 f"{type(error).__name__}: {error}") from None
            if not callable(getattr(module, self.factory, None)):
                raise ValueError(f"{self}: {self.module} has no factory {self.factory!r}")
        return None

    def inputs(self) -> InputKind:
        """What the network sees, known before any process loads it: the built-in networks
        the five planes; a checkpoint (loaded with torch) or an ONNX file what it records;
        a ``module:factory`` network what its factory's attribute ``inputs`` says (the five
        planes without one). CheckpointError or ValueError as ``check`` raises them."""
        if self.kind is NetworkKind.TORCH:
            assert self.path is not None
            from .checkpoint import load
            from .settings import ModelSettings

            try:
                state = load(self.path)
            except ImportError as error:  # a play-only installation
                raise BackendUnavailable(
                    f"{self} needs PyTorch to run on the torch backend ({error}): install it "
                    "with pip install 'tralix-self-play[train]', or run the checkpoint's "
                    "ONNX file with --backend onnxruntime") from None
            try:
                return ModelSettings.from_dict(state["model"]).inputs
            except (TypeError, ValueError, AttributeError) as error:
                raise CheckpointError(f"checkpoint {self.path} describes no usable network: "
                                      f"{error}") from None
        if self.kind is NetworkKind.ONNX:
            assert self.path is not None
            return session_inputs(open_session(self.path), self.path)
        if self.kind is NetworkKind.FACTORY:
            self.check()
            return network_inputs(getattr(importlib.import_module(self.module), self.factory))
        return InputKind.PLANES

    def side_note(self, trained: int | None, side: int) -> str | None:
        """The line that says this network is played on a side it was not trained on, if it
        is (``trained`` as ``check`` returns it, for this name or the file it runs as)."""
        if trained is None or trained == side:
            return None
        what = {NetworkKind.TORCH: "checkpoint", NetworkKind.ONNX: "ONNX file"}.get(self.kind)
        shown = f"{what} {self.path}" if what else f"network {self}"
        return f"{shown} was trained on side {trained}; playing it on side {side}"
