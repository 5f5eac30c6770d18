"""A checkpoint's ONNX file: kept beside the checkpoint under the same name (``gen-3.pt`` ->
``gen-3.onnx``), written atomically like the checkpoint, and never used when it does not match
the checkpoint.

The file records the SHA-256 of the checkpoint it was exported from, the side the network
was trained on and what it sees (the five planes or the full position). A missing file, one older
than its checkpoint or one exported from other checkpoint bytes is exported again, with a log
line; a damaged one is an error naming it. Deciding needs no torch; exporting does (model.py).
"""

from __future__ import annotations

import hashlib
import logging
from pathlib import Path

from .errors import BackendUnavailable, CheckpointError
from .runtime import INPUTS_KEY, SIDE_KEY, metadata, open_session

logger = logging.getLogger(__name__)

# The metadata key of the checkpoint's digest in the ONNX file.
DIGEST_KEY = "tralix.checkpoint_sha256"


def onnx_path(checkpoint: Path) -> Path:
    """Where a checkpoint's ONNX file lives."""
    return checkpoint.with_suffix(".onnx")


def file_digest(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


def export(checkpoint: Path, target: Path | None = None) -> Path:
    """Exports the checkpoint's network to ``target`` (its ONNX file by default), atomically;
    needs torch and onnx (BackendUnavailable saying how to install them otherwise)."""
    target = target or onnx_path(checkpoint)
    digest = file_digest(checkpoint)
    try:
        import onnx  # noqa: F401  export_onnx's, imported here to say what is missing

        from .model import export_onnx, load_model
    except ImportError as error:
        raise BackendUnavailable(
            f"exporting {checkpoint} to ONNX needs PyTorch and onnx ({error}): install them "
            "with pip install 'tralix-self-play[train]', or run the checkpoint with --backend "
            "torch") from None
    model, state = load_model(checkpoint)
    export_onnx(model, target, {DIGEST_KEY: digest, SIDE_KEY: str(state["side"]),
                                INPUTS_KEY: model.inputs.value})
    return target


def _stale(checkpoint: Path, target: Path) -> str | None:
    """Why the ONNX file may not be used for the checkpoint, if it may not."""
    if not target.exists():
        return "no ONNX file yet"
    if target.stat().st_mtime_ns < checkpoint.stat().st_mtime_ns:
        return "it is older than the checkpoint"
    if metadata(open_session(target)).get(DIGEST_KEY) != file_digest(checkpoint):
        return "it was exported from other checkpoint contents"
    return None


def exported(checkpoint: Path) -> Path:
    """The checkpoint's ONNX file, up to date: exported (again) first when it is missing or
    stale, with a log line. CheckpointError for a missing checkpoint or a damaged ONNX file,
    naming the file."""
    if not checkpoint.is_file():
        raise CheckpointError(f"checkpoint {checkpoint} does not exist")
    target = onnx_path(checkpoint)
    reason = _stale(checkpoint, target)
    if reason is not None:
        # A first export is routine; replacing a stale file is worth a warning. Said once
        # done: a checkpoint that does not load is its one error line.
        log = logger.warning if target.exists() else logger.info
        export(checkpoint, target)
        log("exported %s to %s for ONNX Runtime (%s)", checkpoint, target, reason)
    return target
