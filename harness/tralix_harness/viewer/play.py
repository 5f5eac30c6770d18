"""``tralix play``'s server: a person plays one seat against a network in the three others, in
a browser page served on 127.0.0.1 by the standard library's HTTP server.

The game runs in a thread of its own as ``tralix_engine.play_match``: the network seats search
(or play greedily with no simulations) through a ``SyncNetwork``, asked in the request layout
of what the network sees, and the person's seat is a callable (``PersonSeat``) that publishes
the position and waits for the page's tile. The page polls the state and posts tiles; an
illegal tile, a tile out of turn or a malformed request is refused with a message the page
shows. The game lives in the server, not in the page: a closed tab loses nothing, and a page
opened again continues it. A finished game can be saved to a data file that ``tralix view``
shows."""

from __future__ import annotations

import dataclasses
import json
import logging
import math
import queue
import threading
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

import tralix_engine

from ..base.settings import SOUND_SEARCH, SearchSettings
from ..data.records import GameWriter, TrainingGame, game_line
from ..networks import Network
from ..networks.synchronous import SyncNetwork
from .games import FREE_COLOUR, SEAT_COLOURS, owners_after, tiles_laid
from .page import board_script

logger = logging.getLogger(__name__)

HOST = "127.0.0.1"
_PAGE = Path(__file__).with_name("play.html")
_MOST_BODY = 4096  # bytes of a request's body
_POLL_SECONDS = 0.2  # how often a waiting seat looks whether the server stops


class GameStopped(Exception):
    """The server stopped while the person's seat waited for a tile."""


@dataclasses.dataclass
class PlayState:
    side: int
    seat: int
    network: str
    sims: int
    history: list[tuple[int, int]] = dataclasses.field(default_factory=list)
    valid: list[int] = dataclasses.field(default_factory=list)
    waiting: bool = False            # for the person's tile
    outcome: list[float] | None = None
    error: str = ""                  # the game ended without an outcome
    saved: str = ""                  # the data file the game was saved to

    def view(self) -> dict[str, Any]:
        return {"side": self.side, "seat": self.seat, "network": self.network,
                "sims": self.sims, "history": self.history,
                "valid": self.valid if self.waiting else [], "waiting": self.waiting,
                "laid": tiles_laid(owners_after(self.side, self.history)),
                "over": self.outcome is not None, "outcome": self.outcome,
                "error": self.error, "saved": self.saved}


class Refused(Exception):
    """A request the server turns down: its status and the message the page shows."""

    def __init__(self, status: HTTPStatus, message: str) -> None:
        super().__init__(message)
        self.status = status


class PlayServer:
    """One game between a person in ``seat`` and ``network`` in the other seats, served on
    127.0.0.1:``port`` (0: any free port) while running (``start`` / ``stop``, or ``with``)."""

    def __init__(self, network: Network, network_name: str, settings: SearchSettings,
                 seat: int, output: Path, port: int = 0, game_id: int = 0) -> None:
        self.settings, self.output, self.game_id = settings, output, game_id
        self.state = PlayState(side=settings.dim, seat=seat, network=network_name,
                               sims=settings.sims_per_move)
        self.lock = threading.Lock()
        self.tiles: queue.Queue[int] = queue.Queue()
        self.stopping = threading.Event()
        self.quit = threading.Event()  # the page asked the server to stop
        self.network = SyncNetwork(network)
        self.httpd = ThreadingHTTPServer((HOST, port), self._handler())
        self.httpd.daemon_threads = True
        self._threads: list[threading.Thread] = []

    @property
    def url(self) -> str:
        host, port = self.httpd.server_address[:2]
        return f"http://{host!s}:{port}/"

    # ----- the game ---------------------------------------------------------------------

    def person(self, history: list[tuple[int, int]], valid: list[int]) -> int:
        """The person's seat, called by the match: publishes the position, waits for a tile
        that the page posted (checked valid there)."""
        with self.lock:
            self.state.history = [(int(p), int(t)) for p, t in history]
            self.state.valid = list(valid)
            self.state.waiting = True
        while not self.stopping.is_set():
            try:
                return self.tiles.get(timeout=_POLL_SECONDS)
            except queue.Empty:
                continue
        raise GameStopped("the server stopped")

    def _play(self) -> None:
        network_seat: Any = ((self.network, self.settings.sims_per_move)
                             if self.settings.sims_per_move > 0 else self.network)
        seats: list[Any] = [network_seat] * 4
        seats[self.state.seat] = self.person
        # The requests in the layout of what the network sees.
        config = dataclasses.replace(self.settings, search_mode=SOUND_SEARCH,
                                     rep=self.network.inputs.rep(self.settings.rep))
        try:
            outcome, history = tralix_engine.play_match(self.game_id, config, seats,
                                                        self.network)
        except RuntimeError as error:
            if isinstance(error.__cause__, GameStopped):
                return
            logger.error("the game ended without an outcome: %s", error)
            with self.lock:
                self.state.error = str(error)
                self.state.waiting = False
            return
        with self.lock:
            self.state.history = [(int(p), int(t)) for p, t in history]
            self.state.outcome = [float(x) for x in outcome]
            self.state.waiting = False

    def lay(self, body: Any) -> None:
        """The page's tile for the person's seat; Refused when it is not one now."""
        tile = body.get("tile") if isinstance(body, dict) else None
        if type(tile) is not int:
            raise Refused(HTTPStatus.BAD_REQUEST, "a tile is a whole number")
        with self.lock:
            state = self.state
            if state.outcome is not None or state.error:
                raise Refused(HTTPStatus.CONFLICT, "the game is over")
            if not state.waiting:
                raise Refused(HTTPStatus.CONFLICT, "wait: the network is to move")
            if tile not in state.valid:
                r, c = divmod(tile, state.side)
                where = (f"row {r}, column {c}" if 0 <= tile < state.side ** 2
                         else "off the board")
                raise Refused(HTTPStatus.BAD_REQUEST,
                              f"tile {tile} ({where}) is not a valid tile for seat "
                              f"{state.seat} now")
            state.waiting = False
            state.history.append((state.seat, tile))
            self.tiles.put(tile)

    def save(self) -> str:
        """Writes the finished game to the output data file; Refused before the end."""
        with self.lock:
            state = self.state
            if state.outcome is None:
                raise Refused(HTTPStatus.CONFLICT, "the game is not over yet")
            if state.saved:
                return state.saved
            records = [[(tile, math.nan)] for _, tile in state.history]  # no search records
            line = game_line(self.game_id, state.side,
                             TrainingGame(state.history, records, state.outcome),
                             {"network": state.network, "sims_per_move": state.sims,
                              "person_seat": state.seat})
            with GameWriter(self.output, append=self.output.exists()) as writer:
                writer.write(line)
            state.saved = str(self.output)
            logger.info("saved the game to %s", self.output)
            return state.saved

    # ----- the server -------------------------------------------------------------------

    def page(self) -> bytes:
        text = _PAGE.read_text(encoding="utf-8").replace("{{BOARD_JS}}", board_script())
        colours = {"seats": ["rgb({},{},{})".format(*c) for c in SEAT_COLOURS],
                   "free": "rgb({},{},{})".format(*FREE_COLOUR)}
        return text.replace("{{COLOURS}}", json.dumps(colours)).encode("utf-8")

    def _handler(self) -> type[BaseHTTPRequestHandler]:
        server = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, format: str, *args: Any) -> None:
                logger.debug("%s " + format, self.address_string(), *args)

            def _send(self, status: HTTPStatus, body: bytes, kind: str) -> None:
                try:
                    self.send_response(status)
                    self.send_header("Content-Type", kind)
                    self.send_header("Content-Length", str(len(body)))
                    self.send_header("Cache-Control", "no-store")
                    self.end_headers()
                    self.wfile.write(body)
                except (BrokenPipeError, ConnectionResetError):  # a tab closed meanwhile
                    logger.debug("the page went away before its answer")

            def _json(self, status: HTTPStatus, value: dict[str, Any]) -> None:
                self._send(status, json.dumps(value).encode("utf-8"), "application/json")

            def do_GET(self) -> None:  # noqa: N802 (the standard library's name)
                if self.path == "/":
                    self._send(HTTPStatus.OK, server.page(), "text/html; charset=utf-8")
                elif self.path == "/state":
                    with server.lock:
                        view = server.state.view()
                    self._json(HTTPStatus.OK, view)
                else:
                    self._json(HTTPStatus.NOT_FOUND, {"error": f"no page {self.path}"})

            def do_POST(self) -> None:  # noqa: N802
                try:
                    # Only this server's own page: a page of another site could post here (a
                    # form), or reach it under another name (DNS rebinding); neither can send
                    # JSON to this host and port without the browser asking first.
                    port = server.httpd.server_address[1]
                    if self.headers.get("Host") not in (f"{HOST}:{port}", f"localhost:{port}"):
                        raise Refused(HTTPStatus.FORBIDDEN, "not this server's page")
                    if self.headers.get_content_type() != "application/json":
                        raise Refused(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, "requests are JSON")
                    length = int(self.headers.get("Content-Length") or 0)
                    if not 0 <= length <= _MOST_BODY:
                        raise Refused(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "request too large")
                    raw = self.rfile.read(length)
                    try:
                        body = json.loads(raw) if raw else {}
                    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError):
                        raise Refused(HTTPStatus.BAD_REQUEST, "not a JSON request") from None
                    if self.path == "/tile":
                        server.lay(body)
                        answer: dict[str, Any] = {"ok": True}
                    elif self.path == "/save":
                        answer = {"saved": server.save()}
                    elif self.path == "/quit":
                        server.quit.set()
                        answer = {"ok": True}
                    else:
                        raise Refused(HTTPStatus.NOT_FOUND, f"no action {self.path}")
                except Refused as refused:
                    self._json(refused.status, {"error": str(refused)})
                except (ValueError, OSError) as error:  # a bad length; a file not written
                    self._json(HTTPStatus.BAD_REQUEST, {"error": str(error)})
                else:
                    self._json(HTTPStatus.OK, answer)

        return Handler

    def start(self) -> PlayServer:
        for target, name in ((self.httpd.serve_forever, "tralix-play-http"),
                             (self._play, "tralix-play-game")):
            thread = threading.Thread(target=target, name=name, daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def stop(self) -> None:
        self.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()
        for thread in self._threads:
            thread.join(timeout=10)

    def __enter__(self) -> PlayServer:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()
