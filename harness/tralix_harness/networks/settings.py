"""The size and the inputs of the learning package's network, without torch: a run's settings and
a checkpoint hold them."""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from typing import Any, Self

from ..base.settings import Settings, option
from .inputs import InputKind


@dataclasses.dataclass(frozen=True)
class ModelSettings(Settings):
    """The network's size, what it sees and its training heads.

    The fields' defaults are those of settings saved before the field existed (a checkpoint
    without ``inputs`` saw the five planes); ``NEW_NETWORK`` is what a new run or a new
    checkpoint starts with."""

    blocks: int = option(4, "residual blocks in the tower", least=1)
    channels: int = option(32, "channels of the tower's convolutions", least=1)
    ownership: bool = option(
        True, "an ownership head: who holds each tile at the end of the game, a training "
        "target beside the value (the network that plays does not compute it)")
    inputs: InputKind = option(
        InputKind.PLANES, "what the network sees: 'planes', the five planes (each player's "
        "tiles and the valid tiles), or 'full', six planes (with the tiles of the piece being "
        "laid) and each player's pieces in hand and retirement with the game's progress, "
        "which reach the tower as a learned bias per channel; a new run from --initial-weights "
        "sees what that checkpoint's network sees unless told")
    score_head: bool = option(
        False, "a score head: each seat's final tile count (a share of the 89 tiles of a "
        "hand), regressed from the pooled features as a training target beside the value "
        "(--score-weight; the network that plays does not compute it)")

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> Self:
        # Networks saved before there was an ownership head have none.
        return super().from_dict({"ownership": False, **values})


# A new run's network (the loop's, a new checkpoint of ``tralix train``): it sees the full
# position and learns the final tile counts beside the value.
NEW_NETWORK = ModelSettings(inputs=InputKind.FULL, score_head=True)
