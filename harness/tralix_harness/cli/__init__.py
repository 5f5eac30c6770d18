"""The ``tralix`` command (``python -m tralix_harness``): ``selfplay``, ``eval-random`` and
``arena`` play runs of games with a progress line and a summary (``games``), ``show`` draws a
stored game, ``view``, ``render`` and ``play`` show games in a browser page or a picture and
play against the network (``viewing``), ``train``, ``loop`` and ``plot`` drive the learning
package (``learning``); every option is checked as it is parsed (``arguments``), the learning
commands' options generated from the settings dataclasses (``options``). The top of the
harness: nothing imports it."""

from .main import main

__all__ = ["main"]
