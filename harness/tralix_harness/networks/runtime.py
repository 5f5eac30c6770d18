"""A network exported to ONNX, run by ONNX Runtime: what a worker of a play-only installation
loads (numpy and ONNX Runtime, never torch).

The file's graph takes the planes (batch, planes, side, side) as its first input, named
``planes``, and for a network of the full position the global features (batch, 88) as its
second, named ``globals``; it gives the policy logits (batch, side * side) and the value logits
(batch, 4); batch and side are free. The files exported here record which of the two the
network sees (``INPUTS_KEY``); a file without the record sees the five planes when its graph
has one input. Each process runs it on its own intra-op threads (one by default: a worker per
core), operators one after the other.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import INSTALL_HINT, BackendUnavailable, CheckpointError
from .inputs import InputKind, check_arrays

# The metadata key of the board side the network was trained on, in the files exported from a
# checkpoint: a fully convolutional network plays any side, but it is worth saying when it does.
SIDE_KEY = "tralix.trained_side"
# The metadata key of what the network sees (an InputKind's value).
INPUTS_KEY = "tralix.inputs"


def open_session(path: Path, threads: int = 1) -> Any:
    """An ONNX Runtime session of the file on ``threads`` intra-op threads. CheckpointError
    naming the file when it is missing, damaged or not a network of this shape;
    BackendUnavailable when ONNX Runtime is not installed."""
    try:
        import onnxruntime
    except ImportError:
        raise BackendUnavailable(f"network onnx:{path} needs ONNX Runtime, which is not "
                                 f"installed; {INSTALL_HINT}") from None
    if not path.is_file():
        raise CheckpointError(f"ONNX file {path} does not exist")
    content = path.read_bytes()
    options = onnxruntime.SessionOptions()
    options.intra_op_num_threads = max(threads, 1)
    options.inter_op_num_threads = 1
    options.execution_mode = onnxruntime.ExecutionMode.ORT_SEQUENTIAL
    options.graph_optimization_level = onnxruntime.GraphOptimizationLevel.ORT_ENABLE_ALL
    options.log_severity_level = 3  # its warnings are not ours to show
    try:
        session = onnxruntime.InferenceSession(content, options,
                                               providers=["CPUExecutionProvider"])
    except Exception as error:  # ONNX Runtime's own exception types, one per failure
        lines = str(error).strip().splitlines()
        reason = f"{type(error).__name__}: {lines[0][:200]}" if lines else type(error).__name__
        raise CheckpointError(f"ONNX file {path} is damaged or not an ONNX model ({reason}); "
                              "delete it to have it exported again") from None
    inputs, outputs = session.get_inputs(), session.get_outputs()
    if (len(inputs) not in (1, 2) or len(inputs[0].shape) != 4 or len(outputs) != 2
            or (len(inputs) == 2 and len(inputs[1].shape) != 2)):
        raise CheckpointError(f"ONNX file {path} is not a network of planes (batch, planes, "
                              "side, side), and global features (batch, features) for the full "
                              "position, to policy and value logits")
    return session


def metadata(session: Any) -> dict[str, str]:
    """The file's own key-value pairs (what it was exported from)."""
    found: dict[str, str] = session.get_modelmeta().custom_metadata_map
    return found


def trained_side(session: Any) -> int | None:
    """The board side the file's network was trained on, where the file records it (a file
    exported before it was recorded, or made elsewhere, does not)."""
    try:
        return int(metadata(session)[SIDE_KEY])
    except (KeyError, ValueError):
        return None


def session_inputs(session: Any, path: Path) -> InputKind:
    """What the file's network sees: as its metadata records it, else as its graph's inputs
    say (two inputs: the full position). CheckpointError when the two disagree."""
    graph = InputKind.FULL if len(session.get_inputs()) == 2 else InputKind.PLANES
    recorded = metadata(session).get(INPUTS_KEY)
    if recorded is None:
        return graph
    try:
        kind = InputKind(recorded)
    except ValueError:
        kind = None
    if kind is not graph:
        raise CheckpointError(f"ONNX file {path} records inputs {recorded!r}, but its graph "
                              f"takes {graph.description}")
    return kind


def takes_side(session: Any, side: int) -> bool:
    """Whether the file's graph takes boards of ``side``: its input's side is free (a named
    dimension, as exported here) or that side."""
    return all(not isinstance(size, int) or size == side
               for size in session.get_inputs()[0].shape[2:])


class OnnxNetwork:
    """An ONNX file's network as a worker or the inference server runs it: the five planes, or
    the planes and global features of the full position, as the file says (``inputs``)."""

    def __init__(self, path: Path, side: int, threads: int = 1) -> None:
        self.session = open_session(path, threads)
        self.name = f"onnx:{path}"
        self.inputs = session_inputs(self.session, path)
        self.input_names = [entry.name for entry in self.session.get_inputs()]
        self.side = side

    def evaluate(self, planes: npt.NDArray[np.float32],
                 globals_: npt.NDArray[np.float32] | None = None
                 ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
        check_arrays(self.name, self.inputs, planes, globals_)
        feed = {self.input_names[0]: np.ascontiguousarray(planes, dtype=np.float32)}
        if globals_ is not None:
            feed[self.input_names[1]] = np.ascontiguousarray(globals_, dtype=np.float32)
        policy, value = self.session.run(None, feed)
        return policy, value
