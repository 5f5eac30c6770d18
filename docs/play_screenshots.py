"""The README's pictures of ``tralix play``'s page: a game against the heuristic network on the
default side, played by a script through the page's server, photographed at the start, in the
middle with a piece picked and held where it may go, and at the end with the result. Needs
Debian's chromium and chromium-driver and Selenium (the ``test`` extra).

    python docs/play_screenshots.py [--side 20] [--sims 16] [--seed 3] [--folder docs]
"""

from __future__ import annotations

import argparse
import random
import sys
import tempfile
import time
import urllib.request
from pathlib import Path
from typing import Any

from tralix_harness.base.settings import SearchSettings
from tralix_harness.networks import load_network
from tralix_harness.viewer.play import PlayServer

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
from viewer_bench import browser  # noqa: E402  (the viewer benchmark's headless chromium)


def person_to_move(server: PlayServer) -> dict[str, Any] | None:
    """The state once the person may move, or None once the game is over."""
    while True:
        state = server.view()
        if state["over"] or state["error"]:
            return None
        if state["waiting"]:
            return state
        time.sleep(0.05)


def lay(server: PlayServer, piece: int, tiles: list[int]) -> None:
    request = urllib.request.Request(
        server.url + "piece", data=f'{{"piece": {piece}, "tiles": {tiles}}}'.encode(),
        headers={"Content-Type": "application/json"}, method="POST")
    with urllib.request.urlopen(request, timeout=30) as answer:
        assert answer.status == 200


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--side", type=int, default=20)
    parser.add_argument("--sims", type=int, default=16)
    parser.add_argument("--seed", type=int, default=3)
    parser.add_argument("--middle", type=int, default=7, help="the person's pieces laid first")
    parser.add_argument("--folder", type=Path, default=Path("docs"))
    args = parser.parse_args()
    rng = random.Random(args.seed)
    settings = SearchSettings(dim=args.side, sims_per_move=args.sims)
    with tempfile.TemporaryDirectory() as folder:
        server = PlayServer(load_network("heuristic", args.side), "heuristic", settings, seat=0,
                            output=Path(folder) / "played.jsonl.gz")
        chrome = browser()
        try:
            with server:
                chrome.get(server.url)

                def shot(name: str, laid: int) -> None:
                    over = "1" if laid == len(server.view()["history"]) and server.view()[
                        "over"] else "0"
                    deadline = time.monotonic() + 30
                    while time.monotonic() < deadline and chrome.execute_script(
                            "return [+document.body.dataset.laid, document.body.dataset.over]"
                    ) != [laid, over]:
                        time.sleep(0.05)
                    chrome.save_screenshot(str(args.folder / name))
                    print(args.folder / name)

                state = person_to_move(server)
                assert state is not None
                shot("play_start.png", len(state["history"]))
                # Larger pieces first, as a person would, at random among them.
                for _ in range(args.middle):
                    biggest = max(len(t) for _, t in state["placements"])
                    piece, tiles = rng.choice([p for p in state["placements"]
                                               if len(p[1]) == biggest])
                    lay(server, piece, tiles)
                    state = person_to_move(server)
                    assert state is not None
                piece, tiles = max(state["placements"], key=lambda p: (len(p[1]), p[0]))
                # Picked, turned until it has the shape of a place where it may go, held there.
                chrome.execute_script("pick(arguments[0]); render();", piece)
                for _ in range(8):
                    cells, grip = chrome.execute_script("return [held.cells, held.grip]")
                    shape = sorted(divmod(t, args.side) for t in tiles)
                    top, left = shape[0][0], min(c for _, c in shape)
                    if sorted((r - top, c - left) for r, c in shape) == sorted(map(tuple, cells)):
                        at = (top + grip[0]) * args.side + left + grip[1]
                        chrome.execute_script("held.at = arguments[0]; render();", at)
                        break
                    chrome.execute_script("reshape(turnedClockwise); render();" if _ != 3 else
                                          "reshape(flipped); render();")
                shot("play_middle.png", len(state["history"]))
                chrome.execute_script("drop(); held.at = null; render();")
                while state is not None:
                    piece, tiles = max(state["placements"], key=lambda p: (len(p[1]), p[0]))
                    lay(server, piece, tiles)
                    state = person_to_move(server)
                final = server.view()
                shot("play_end.png", len(final["history"]))
        finally:
            chrome.quit()


if __name__ == "__main__":
    main()
