"""The request and reply wire between the games and the networks: planes packed in C++ against
numpy's own conversion, reply lists refilled in place without touching a float anyone else
holds, and message framing over a real pipe whatever the chunks the bytes arrive in."""

import multiprocessing
import os
import pickle
import struct
import threading

import numpy as np
import pytest

import tralix_rules
from tralix_harness.local.events import EventInbox, EventKind, EventPipe
from tralix_harness.local.framing import FrameReader, write_frame


@pytest.mark.parametrize("shape", [(5, 7, 7), (9, 9, 5), (5, 1, 1)])
def test_packed_planes_are_numpys_bytes(shape):
    rng = np.random.default_rng(sum(shape))
    planes = rng.random(shape) < 0.3
    buffer = bytearray(b"\xff" * (planes.size + 6))
    assert tralix_rules.pack_planes(planes.tolist(), buffer, 3) == planes.size
    assert bytes(buffer[3:3 + planes.size]) == planes.astype(np.uint8).tobytes()
    assert buffer[:3] == b"\xff" * 3 and buffer[3 + planes.size:] == b"\xff" * 3


def test_packing_reads_any_truthy_items_and_refuses_what_does_not_fit():
    planes = [[(1, 0, "x")], ([0.0, "", None],)]  # tuples and non-bool items count too
    buffer = bytearray(6)
    assert tralix_rules.pack_planes(planes, buffer) == 6
    assert bytes(buffer) == bytes([1, 0, 1, 0, 0, 0])
    with pytest.raises(ValueError, match="do not fit the buffer of 5 bytes"):
        tralix_rules.pack_planes(planes, bytearray(5))
    with pytest.raises(ValueError, match="beyond the buffer"):
        tralix_rules.pack_planes(planes, bytearray(6), 7)
    with pytest.raises(TypeError):
        tralix_rules.pack_planes([[1, 2]], bytearray(6))  # only two levels
    with pytest.raises(BufferError):
        tralix_rules.pack_planes(planes, bytes(6))  # not writable


@pytest.mark.parametrize("planes, message", [
    # Rows of different lengths, which once wrote a misaligned batch without a word.
    ([[[True], [True, False]]] * 5, "plane 0, row 1 holds 2 items, not 1"),
    ([[[True, False]], [[True, False]], [[True]]], "plane 2, row 0 holds 1 items, not 2"),
    ([[[True]], [[True], [False]]], "plane 1 holds 2 rows, not 1"),
    # One level too deep: a list or tuple where a bool belongs, even an empty one.
    ([[[[True], [False]]]], "plane 0, row 0, item 0 is a sequence"),
    ([[[True, False]], [[1, ()]]], "plane 1, row 0, item 1 is a sequence"),
])
def test_packing_refuses_ragged_planes_and_planes_nested_too_deep(planes, message):
    with pytest.raises(ValueError, match=message):
        tralix_rules.pack_planes(planes, bytearray(64))


def test_refilled_floats_are_the_float32_values_and_spare_what_others_hold():
    rng = np.random.default_rng(1)
    values = rng.normal(size=40).astype(np.float32)
    floats = [float(i) for i in range(30)]
    mine = [id(f) for f in floats]
    held = floats[7]  # someone else holds item 7: it must keep its value
    tralix_rules.fill_floats(floats, values.tobytes(), 4 * 10)
    assert floats == values[10:40].tolist()
    assert held == 7.0 and floats[7] is not held
    assert [id(f) == i for f, i in zip(floats, mine, strict=True)].count(False) == 1
    with pytest.raises(ValueError, match="ends before float 20"):
        tralix_rules.fill_floats(floats, values.tobytes(), 4 * 20)
    with pytest.raises(TypeError):
        tralix_rules.fill_floats(tuple(floats), values.tobytes())


def test_frames_survive_any_chunking_of_the_pipe():
    rng = np.random.default_rng(2)
    messages = [rng.bytes(int(n)) for n in rng.integers(0, 70_000, size=40)] + [b""]
    read_end, write_end = os.pipe()
    try:
        def write():
            for message in messages:
                cut = int(rng.integers(0, len(message) + 1))
                write_frame(write_end, message[:cut], memoryview(message)[cut:])
            os.close(write_end)

        writer = threading.Thread(target=write)
        writer.start()
        reader, received = FrameReader(read_end), []
        with pytest.raises(EOFError):
            while True:
                received.extend(reader.read())
        writer.join()
        assert received == messages
    finally:
        os.close(read_end)


def test_an_event_cut_by_a_killed_writer_is_dropped_not_waited_for():
    # A worker killed in the middle of writing a finished game once left the main process
    # waiting for ever for the rest of the message.
    context = multiprocessing.get_context("spawn")
    reader, writer = context.Pipe(duplex=False)
    events = EventInbox([reader])
    EventPipe(writer).put((EventKind.PANIC, "whole"))
    frame = pickle.dumps((EventKind.PANIC, "cut" * 1000))
    os.write(writer.fileno(), struct.pack("<i", len(frame)) + frame[:100])
    writer.close()  # what the death of the only writer does
    got = []
    reading = threading.Thread(target=lambda: got.extend([events.get(1.0), events.get(1.0)]))
    reading.start()
    reading.join(10)
    assert not reading.is_alive() and got == [(EventKind.PANIC, "whole"), None]
    events.close()
