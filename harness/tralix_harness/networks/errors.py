"""The two ways a network cannot be run, each a ``ValueError`` whose text says what to do:
a file that is missing, unreadable or unfit for its use, and an engine that is not installed."""

from __future__ import annotations


class CheckpointError(ValueError):
    """A checkpoint or an ONNX file that is missing, unreadable or unfit for its use; names
    the file."""


class BackendUnavailable(ValueError):
    """The backend asked for is not installed; says how to install it."""


# How to install ONNX Runtime, for the errors that need it.
INSTALL_HINT = ("install it with pip install onnxruntime (or the package's play extra, "
                "pip install 'tralix-self-play[play]')")
