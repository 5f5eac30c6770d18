"""The ``tralix`` command (``python -m tralix_harness``): ``selfplay``, ``eval-random`` and
``arena`` play runs of games with a progress line and a summary (``games``), ``show`` draws a
stored game, ``view``, ``render`` and ``play`` show games in a browser page or a picture and
play against the network (``viewing``), ``train``, ``loop``, ``plot`` and ``ratings`` drive
the learning package (``learning``), ``ladder`` rates checkpoints against fixed references
(``ladder``). It parses and prints: the work is the library's. Every
option is checked as it is parsed (``arguments``), the options of settings and runs generated
from their dataclasses (``options``). The top of the harness: nothing imports it."""

from .main import main

__all__ = ["main"]
