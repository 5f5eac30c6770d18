"""The network: a residual tower with a fully convolutional policy head and a globally pooled
value head, so that one network serves every board side; and the ``torch:CHECKPOINT`` network
that the workers or the inference server run.

Input: the planes (batch, planes, side, side), to which the network adds a plane of ones, so
that the convolutions' zero padding tells the board's edge from empty tiles: the five planes,
or for a network of the full position (inputs.py) six, with its global features (batch, 88).
Those, and the game's progress (the share of the board's tiles occupied, counted from the
planes), reach the tower as a learned bias per channel added to the stem's output, as KataGo
feeds its global inputs. Output: policy logits (batch, side * side), one per tile, and value
logits (batch, 4), player to move first.

In training, an ownership head (where the settings have one) also gives, per tile, logits of
its owner at the end of the game (batch, 5, side, side): the player to move, the next, the one
after, the previous, nobody. That target holds a number per tile where the outcome holds one
per game, and what it teaches the tower serves the value. A score head (where the settings have
one) regresses each seat's final tile count, a share of the 89 tiles of a hand, from the value
head's pooled features.
"""

from __future__ import annotations

import copy
import tempfile
import warnings
from pathlib import Path
from typing import Any, ClassVar, NamedTuple

import numpy as np
import torch
from torch import nn
from torch.nn.utils.fusion import fuse_conv_bn_eval

from ..base.files import write_atomically
from .checkpoint import load
from .errors import CheckpointError
from .inputs import InputKind, check_arrays
from .settings import ModelSettings

VALUE_CHANNELS = 32
VALUE_HIDDEN = 64
OWNER_CLASSES = 5  # the four seats from the player to move on, and nobody


class _Residual(nn.Module):
    def __init__(self, channels: int) -> None:
        super().__init__()
        self.first = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.first_norm = nn.BatchNorm2d(channels)
        self.second = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.second_norm = nn.BatchNorm2d(channels)
        nn.init.zeros_(self.second_norm.weight)  # each block starts as the identity

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = torch.relu(self.first_norm(self.first(x)))
        return torch.relu(x + self.second_norm(self.second(y)))


class TrainingOutputs(NamedTuple):
    """What the network gives in training: the logits of the policy and the value, and of the
    training heads where it has them (None otherwise)."""

    policy: torch.Tensor
    value: torch.Tensor
    ownership: torch.Tensor | None
    score: torch.Tensor | None  # each seat's final tile count over 89, player to move first


class TralixNet(nn.Module):
    # Fully convolutional up to the value head's pooling: a network trained on one side plays
    # any other.
    plays_any_side: ClassVar[bool] = True

    def __init__(self, settings: ModelSettings) -> None:
        super().__init__()
        self.settings = settings
        self.inputs = settings.inputs
        width = settings.channels
        # The planes, and the plane of ones that marks the board.
        self.stem = nn.Sequential(nn.Conv2d(settings.inputs.planes + 1, width, 3, padding=1,
                                            bias=False),
                                  nn.BatchNorm2d(width), nn.ReLU())
        self.tower = nn.Sequential(*[_Residual(width) for _ in range(settings.blocks)])
        self.policy = nn.Sequential(nn.Conv2d(width, width, 1, bias=False),
                                    nn.BatchNorm2d(width), nn.ReLU(), nn.Conv2d(width, 1, 1))
        self.value_features = nn.Sequential(nn.Conv2d(width, VALUE_CHANNELS, 1, bias=False),
                                            nn.BatchNorm2d(VALUE_CHANNELS), nn.ReLU())
        self.value = nn.Sequential(nn.Linear(2 * VALUE_CHANNELS, VALUE_HIDDEN), nn.ReLU(),
                                   nn.Linear(VALUE_HIDDEN, 4))
        # Created last, so that the other weights draw the same initial values either way.
        self.ownership = nn.Conv2d(width, OWNER_CLASSES, 1) if settings.ownership else None
        self.score = (nn.Sequential(nn.Linear(2 * VALUE_CHANNELS, VALUE_HIDDEN), nn.ReLU(),
                                    nn.Linear(VALUE_HIDDEN, 4))
                      if settings.score_head else None)
        # The global features and the game's progress to a bias per channel of the tower,
        # zero at first: a new network starts from the planes alone.
        self.global_bias: nn.Linear | None = None
        if settings.inputs is InputKind.FULL:
            self.global_bias = nn.Linear(settings.inputs.globals + 1, width)
            nn.init.zeros_(self.global_bias.weight)
            nn.init.zeros_(self.global_bias.bias)

    def forward(self, planes: torch.Tensor, globals_: torch.Tensor | None = None
                ) -> tuple[torch.Tensor, torch.Tensor]:
        outputs = self._heads(planes, globals_, training=False)
        return outputs.policy, outputs.value

    def forward_training(self, planes: torch.Tensor, globals_: torch.Tensor | None = None
                         ) -> TrainingOutputs:
        """Policy and value logits, and those of the training heads (None without them)."""
        return self._heads(planes, globals_, training=True)

    def _heads(self, planes: torch.Tensor, globals_: torch.Tensor | None, training: bool
               ) -> TrainingOutputs:
        batch = planes.shape[0]
        ones = torch.ones_like(planes[:, :1])
        x = self.stem(torch.cat([planes, ones], dim=1))
        if self.global_bias is not None:
            if globals_ is None:
                raise ValueError("a network of the full position needs its global features")
            # The share of the board's tiles occupied: how far the game has gone.
            progress = planes[:, :4].sum(dim=1).mean(dim=(1, 2)).unsqueeze(1)
            bias = self.global_bias(torch.cat([globals_, progress], dim=1))
            x = x + bias.unsqueeze(2).unsqueeze(3)
        x = self.tower(x)
        policy = self.policy(x).reshape(batch, -1)
        features = self.value_features(x)
        pooled = torch.cat([features.mean(dim=(2, 3)), features.amax(dim=(2, 3))], dim=1)
        ownership = self.ownership(x) if training and self.ownership is not None else None
        score = self.score(pooled) if training and self.score is not None else None
        return TrainingOutputs(policy, self.value(pooled), ownership, score)


def model_from_state(state: dict[str, Any], path: Path) -> TralixNet:
    """The network a checkpoint's contents describe; CheckpointError when they do not fit."""
    try:
        settings = ModelSettings.from_dict(state["model"])
    except (TypeError, ValueError, AttributeError) as error:
        raise CheckpointError(f"checkpoint {path} describes no usable network: {error}") from None
    model = TralixNet(settings)
    weights = state["weights"]
    problem = _misfit(model.state_dict(), weights) if isinstance(weights, dict) else "no weights"
    if problem is None:
        try:
            model.load_state_dict(weights)
        except (RuntimeError, TypeError) as error:
            problem = " ".join(str(error).split())[:200]
    if problem is not None:
        raise CheckpointError(
            f"checkpoint {path}: its weights do not fit the network it describes "
            f"({settings.blocks} blocks of {settings.channels} channels): {problem}")
    return model


def _misfit(expected: dict[str, Any], weights: dict[str, Any]) -> str | None:
    """What first keeps ``weights`` from loading into a network whose state is ``expected``."""
    for name, tensor in expected.items():
        if name not in weights:
            return f"{name} is missing"
        found = weights[name]
        if not isinstance(found, torch.Tensor) or found.shape != tensor.shape:
            shape = list(found.shape) if isinstance(found, torch.Tensor) else type(found).__name__
            return f"{name} has shape {shape}, expected {list(tensor.shape)}"
    extra = sorted(set(weights) - set(expected))
    return f"unexpected {extra[0]}" if extra else None


def load_model(path: Path, side: int | None = None) -> tuple[TralixNet, dict[str, Any]]:
    """The network of a checkpoint, in evaluation mode, and the checkpoint's contents. With
    ``side``, a checkpoint trained on another side is refused: for a run folder's own
    checkpoints, whose side is the run's. A checkpoint played on other sides is loaded without
    one (``NetworkName.check`` says whether its network can play them)."""
    state = load(path)
    if side is not None and state["side"] != side:
        raise CheckpointError(f"checkpoint {path} was trained on side {state['side']}; "
                              f"expected side {side}")
    model = model_from_state(state, path)
    model.eval()
    return model, state


def policy_logits(model: TralixNet, planes: np.ndarray[Any, Any],
                  globals_: np.ndarray[Any, Any] | None = None) -> np.ndarray[Any, Any]:
    """Evaluation-mode policy logits for float32 planes (batch, planes, side, side), with the
    global features (batch, 88) of a network of the full position."""
    with torch.inference_mode():
        policy, _ = model(torch.from_numpy(planes),
                          None if globals_ is None else torch.from_numpy(globals_))
    logits: np.ndarray[Any, Any] = policy.numpy()
    return logits


def fold_batch_norm(model: TralixNet) -> TralixNet:
    """A copy of the network in evaluation mode with each batch norm folded into the
    convolution before it (its scale into the weights, its shift into a bias): the same
    function with one operation less per convolution."""
    folded = copy.deepcopy(model).eval()
    for module in list(folded.modules()):
        if isinstance(module, _Residual):
            module.first = fuse_conv_bn_eval(module.first, module.first_norm)
            module.first_norm = nn.Identity()  # type: ignore[assignment]
            module.second = fuse_conv_bn_eval(module.second, module.second_norm)
            module.second_norm = nn.Identity()  # type: ignore[assignment]
        elif isinstance(module, nn.Sequential):
            for n in range(len(module) - 1):
                conv, norm = module[n], module[n + 1]
                if isinstance(conv, nn.Conv2d) and isinstance(norm, nn.BatchNorm2d):
                    module[n] = fuse_conv_bn_eval(conv, norm)
                    module[n + 1] = nn.Identity()
    return folded


# The names of the ONNX graph's inputs (the global features for the full position only) and
# outputs.
ONNX_INPUT, ONNX_GLOBALS, ONNX_OUTPUTS = "planes", "globals", ("policy", "value")
ONNX_OPSET = 17


def export_onnx(model: TralixNet, path: Path, metadata: dict[str, str]) -> None:
    """Writes the network, batch norms folded, to the ONNX file ``path`` atomically, with
    ``metadata`` among the file's key-value pairs. Batch and side are free in the graph. A
    network of the full position takes two inputs, the planes and the global features."""
    import onnx

    kind = model.inputs
    example: tuple[torch.Tensor, ...] = (torch.zeros(2, kind.planes, 7, 7),)
    names = [ONNX_INPUT]
    axes: dict[str, dict[int, str]] = {ONNX_INPUT: {0: "batch", 2: "side", 3: "side"},
                                       ONNX_OUTPUTS[0]: {0: "batch", 1: "tiles"},
                                       ONNX_OUTPUTS[1]: {0: "batch"}}
    if kind is InputKind.FULL:
        example += (torch.zeros(2, kind.globals),)
        names.append(ONNX_GLOBALS)
        axes[ONNX_GLOBALS] = {0: "batch"}
    with (tempfile.TemporaryDirectory() as folder,
          warnings.catch_warnings()):  # the TorchScript-based exporter is deprecated, not gone
        warnings.simplefilter("ignore")
        exported = Path(folder) / "network.onnx"
        torch.onnx.export(fold_batch_norm(model), example, exported, dynamo=False,
                          input_names=names, output_names=list(ONNX_OUTPUTS),
                          dynamic_axes=axes, opset_version=ONNX_OPSET,
                          do_constant_folding=True)
        proto = onnx.load(exported)
    for key, value in metadata.items():
        entry = proto.metadata_props.add()
        entry.key, entry.value = key, value
    content = proto.SerializeToString()
    write_atomically(path, lambda f: f.write(content))


def native_bfloat16() -> bool:
    """Whether the CPU has bfloat16 instructions (without them torch emulates bfloat16, slower
    than float32)."""
    return bool(torch.cpu._is_avx512_bf16_supported() or torch.cpu._is_amx_tile_supported())


class TorchNetwork:
    """A checkpoint's network as a worker or the inference server runs it, on ``threads``
    torch threads (None: as many as the process has now; the network is fully convolutional:
    any side): batch norms folded, in inference mode, with ``channels_last`` its tensors laid
    out channels last, and with ``bfloat16`` its weights and activations in bfloat16 (the
    logits it gives are float32). It takes what its checkpoint's network sees (``inputs``):
    the five planes, or the planes and the global features of the full position."""

    def __init__(self, path: Path, side: int, threads: int | None = 1,
                 channels_last: bool = False, bfloat16: bool = False) -> None:
        if threads is not None:
            torch.set_num_threads(max(threads, 1))
        model, _ = load_model(path)
        self.name = f"torch:{path}"
        self.inputs = model.inputs
        self.format = torch.channels_last if channels_last else torch.contiguous_format
        self.dtype = torch.bfloat16 if bfloat16 else torch.float32
        self.model = fold_batch_norm(model).to(memory_format=self.format).to(self.dtype)
        self.side = side

    def evaluate(self, planes: np.ndarray[Any, Any], globals_: np.ndarray[Any, Any] | None = None
                 ) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]:
        check_arrays(self.name, self.inputs, planes, globals_)
        with torch.inference_mode():
            tensor = torch.from_numpy(planes).to(self.dtype).contiguous(
                memory_format=self.format)
            features = None if globals_ is None else torch.from_numpy(
                np.ascontiguousarray(globals_, np.float32)).to(self.dtype)
            policy, value = self.model(tensor, features)
        return policy.float().numpy(), value.float().numpy()

