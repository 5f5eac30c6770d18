"""The size of the learning package's network, without torch: a run's settings and a
checkpoint hold it."""

from __future__ import annotations

import dataclasses

from ..base.settings import Settings, option, positive


@dataclasses.dataclass(frozen=True)
class ModelSettings(Settings):
    """The network's size."""

    blocks: int = option(4, "residual blocks in the tower")
    channels: int = option(32, "channels of the tower's convolutions")

    def __post_init__(self) -> None:
        positive(blocks=self.blocks, channels=self.channels)
