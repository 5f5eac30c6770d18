"""The size of the learning package's network, without torch: a run's settings and a
checkpoint hold it."""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from typing import Any, Self

from ..base.settings import Settings, option


@dataclasses.dataclass(frozen=True)
class ModelSettings(Settings):
    """The network's size."""

    blocks: int = option(4, "residual blocks in the tower", least=1)
    channels: int = option(32, "channels of the tower's convolutions", least=1)
    ownership: bool = option(
        True, "an ownership head: who holds each tile at the end of the game, a training "
        "target beside the value (the network that plays does not compute it)")

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> Self:
        # Networks saved before there was an ownership head have none.
        return super().from_dict({"ownership": False, **values})
