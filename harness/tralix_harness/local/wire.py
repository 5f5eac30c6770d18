"""The messages between a worker's games and a network: raw bytes both ways, which skips
pickling and lets the network's side turn a batch into an array in one step.

- request: the count and the capacity (two little-endian int32), `capacity` game ids (int32,
  the first `count` of them used), then `count` times a position, one byte per bool: in
  layouts 1 and 2 its five planes in the nested lists' order, in layout 3 (the full position)
  the bytes of the request as they are, six planes then 88 global features
  (networks/inputs.py);
- reply: the count (int32), the `count` game ids in the request's order, then for each request
  its float32 policy scores (side * side) and value scores (4); a reply of any other length is
  a failure report for every request of the message, its remaining bytes the text.

Each message is framed (framing.py) and written and read straight on the pipe's file
descriptor.
"""

from __future__ import annotations

import struct
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from ..networks.inputs import request_bytes

COUNT = struct.Struct("<i")
HEADER = struct.Struct("<ii")  # count, capacity
ID_BYTES = 4                   # bytes per game id

# The planes of one request as the module builds them: nested lists of bools, three levels.
Planes = Sequence[Sequence[Sequence[bool]]]
# What a game's recv() returns: its policy scores (the first side * side items) and its value
# scores.
Reply = tuple[list[float], list[float]]
# A request message's game ids (raw int32 bytes) and its positions, uint8 (count,
# request_bytes(side, rep)).
Requests = tuple[bytes | memoryview, npt.NDArray[np.uint8]]


def plane_bytes(side: int, rep: int = 1) -> int:
    """Bytes of one request's position on the wire, in layout ``rep``."""
    return request_bytes(side, rep)


def reply_floats(side: int) -> int:
    """Floats of one request's reply: the policy scores, then the value scores."""
    return side * side + 4


def decode_requests(message: bytes | memoryview, side: int, rep: int = 1) -> Requests:
    """A request message -> (its game ids as raw int32 bytes, its positions as uint8 (count,
    plane_bytes(side, rep)) in the games' layout)."""
    count, capacity = HEADER.unpack_from(message)
    planes = np.frombuffer(message, np.uint8, count * plane_bytes(side, rep),
                           HEADER.size + ID_BYTES * capacity)
    return message[HEADER.size:HEADER.size + ID_BYTES * count], planes.reshape(count, -1)


def encode_replies(ids: bytes | memoryview, scores: npt.NDArray[np.float32]
                   ) -> tuple[bytes | memoryview, ...]:
    """The parts of the reply to one request message: scores are (count, side * side + 4)
    float32."""
    return COUNT.pack(len(ids) // ID_BYTES), ids, scores.tobytes()


def encode_failure(ids: bytes | memoryview, message: str, side: int
                   ) -> tuple[bytes | memoryview, ...]:
    count = len(ids) // ID_BYTES
    text = message.encode("utf-8", "replace")
    if len(text) == 4 * count * reply_floats(side):
        text += b" "  # never the length of a reply
    return COUNT.pack(count), ids, text
