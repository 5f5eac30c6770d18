"""``tralix play``'s server: a person plays one seat against a network in the three others, in
a browser page served on 127.0.0.1 by the standard library's HTTP server.

The game runs in a thread of its own as ``tralix_engine.play_match``: the network seats search
(or play greedily with no simulations) through a ``SyncNetwork``, asked in the request layout
of what the network sees, and the person's seat is a
callable (``PlayServer.person``) that publishes the position and waits for the page's tiles.
The page lays a whole piece at once (checked on a copy of the game by ``placing``: laid tile
by tile, the rules must end the turn exactly on it) or a single square; anything the rules
refuse, a move out of turn or a malformed request is turned down with a message the page
shows, and nothing is laid. An undo, or a new game, ends the match in progress and starts
another from the position wanted (``play_match``'s opening). The game lives in the server, not
in the page: a closed tab loses nothing, and a page opened again continues it. A finished game
can be saved to a data file that ``tralix view`` shows."""

from __future__ import annotations

import collections
import dataclasses
import json
import logging
import math
import secrets
import threading
from collections.abc import Sequence
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any
from urllib.parse import parse_qs, urlsplit

import tralix_engine
import tralix_rules

from ..base.settings import SOUND_SEARCH, SearchSettings
from ..data.records import GameWriter, TrainingGame, game_line
from ..networks import Network
from ..networks.synchronous import SyncNetwork
from . import placing
from .games import FREE_COLOUR, SEAT_COLOURS
from .page import board_script
from .pieces import PIECE_COUNT, LaidPiece, catalogue, hands, laid_pieces

logger = logging.getLogger(__name__)

HOST = "127.0.0.1"
_PAGE = Path(__file__).with_name("play.html")
_MOST_BODY = 4096  # bytes of a request's body
_POLL_SECONDS = 0.2  # how often a waiting seat looks whether the server stops

History = list[tuple[int, int]]


class GameStopped(Exception):
    """The person's seat was asked to stop waiting: the server stops, or the game starts over
    from another position (an undo, a new game)."""


class Refused(Exception):
    """A request the server turns down: its status and the message the page shows."""

    def __init__(self, status: HTTPStatus, message: str) -> None:
        super().__init__(message)
        self.status = status


@dataclasses.dataclass
class Position:
    """What the page shows of a position, replayed by the rules engine from its history: the
    pieces complete and each seat's hand, the tiles of the piece being built, the seat to move
    (None at the end), the retired seats and the scores."""

    game: tralix_rules.Game
    pieces: list[LaidPiece]
    hands: list[list[int]]
    turn: list[int]
    to_move: int | None
    retired: list[bool]
    scores: list[int]

    @classmethod
    def of(cls, side: int, history: Sequence[tuple[int, int]]) -> Position:
        game = tralix_rules.Game(side)
        for _, tile in history:
            game.apply(tile)
        tiles = [t for _, t in history]
        pieces = laid_pieces(side, [p for p, _ in history], tiles,
                             tralix_rules.piece_ends(side, tiles))
        done = pieces[-1].end if pieces else 0
        over = game.is_over()
        to_move = None if over else int(game.current_player)
        _, features = game.encode_full()  # 22 per seat from the one to move: its hand, retired
        first = to_move if to_move is not None else 0
        retired = [True] * 4 if over else [
            bool(features[22 * ((seat - first) % 4) + PIECE_COUNT]) for seat in range(4)]
        return cls(game, pieces, hands(pieces), tiles[done:], to_move, retired,
                   [int(s) for s in game.scores()])


@dataclasses.dataclass
class PlayState:
    side: int
    seat: int
    network: str
    sims: int
    game_id: int = 0
    history: History = dataclasses.field(default_factory=list)
    position: Position | None = None
    valid: list[int] = dataclasses.field(default_factory=list)
    placements: list[placing.WholePiece] = dataclasses.field(default_factory=list)
    waiting: bool = False            # for the person's move
    outcome: list[float] | None = None
    error: str = ""                  # the game ended without an outcome
    saved: str = ""                  # the data file the game was saved to
    version: int = 0                 # counts the changes, for the page's polls

    def undo_point(self) -> int | None:
        """The tiles kept by an undo (the history before the person's last piece, or before the
        piece they are building), or None when there is nothing to undo now."""
        position = self.position
        if position is None or not (self.waiting or self.outcome is not None or self.error):
            return None
        if position.to_move == self.seat and position.turn:
            return len(self.history) - len(position.turn)
        mine = [p for p in position.pieces if p.seat == self.seat]
        return mine[-1].start if mine else None

    def view(self) -> dict[str, Any]:
        position = self.position or Position.of(self.side, self.history)
        pieces = position.pieces
        mine = [p.end for p in pieces if p.seat == self.seat]
        since = mine[-1] if mine else 0
        return {"side": self.side, "seat": self.seat, "network": self.network,
                "sims": self.sims, "game": self.game_id, "version": self.version,
                "history": self.history,
                "valid": self.valid if self.waiting else [], "waiting": self.waiting,
                "placements": ([[w.piece, list(w.tiles)] for w in self.placements]
                               if self.waiting else []),
                "hands": position.hands, "turn": position.turn,
                "ends": [p.end for p in pieces],
                "toMove": position.to_move, "retired": position.retired,
                # the network's pieces since the person's last one, outlined on the board
                "reply": [list(p.tiles) for p in pieces if p.seat != self.seat
                          and p.start >= since],
                "laid": [sum(1 for p, _ in self.history if p == s) for s in range(4)],
                "scores": position.scores,
                "over": self.outcome is not None, "outcome": self.outcome,
                "error": self.error, "saved": self.saved,
                "canUndo": self.undo_point() is not None}


class PlayServer:
    """One game between a person in ``seat`` and ``network`` in the other seats, served on
    127.0.0.1:``port`` (0: any free port) while running (``start`` / ``stop``, or ``with``)."""

    def __init__(self, network: Network, network_name: str, settings: SearchSettings,
                 seat: int, output: Path, port: int = 0, game_id: int = 0) -> None:
        self.settings, self.output = settings, output
        self.state = PlayState(side=settings.dim, seat=seat, network=network_name,
                               sims=settings.sims_per_move, game_id=game_id)
        self.state.position = Position.of(settings.dim, [])
        # A tab left open on an earlier server must not take this one's state for its own.
        self.state.version = secrets.randbelow(1 << 30)
        self.lock = threading.Condition()
        self.pending: collections.deque[int] = collections.deque()  # the person's tiles to lay
        self.restart: History | None = None  # the position a new match starts from
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

    def _changed(self) -> None:
        """Called with the lock held after the state changed: the page's polls see it."""
        self.state.version += 1
        self.lock.notify_all()

    def person(self, history: Sequence[tuple[int, int]], valid: list[int]) -> int:
        """The person's seat, called by the match for each of its tiles: lays the next tile of
        a piece the page sent whole, or publishes the position (with every piece the person
        may lay whole) and waits for the page."""
        with self.lock:
            if self.restart is not None or self.stopping.is_set():
                raise GameStopped("the game starts over")
            if self.pending:
                tile = self.pending.popleft()
                if tile in valid:
                    return tile
                # Cannot happen: each piece's order was laid on a copy of this very game.
                logger.error("tile %d of the piece sent is not valid here; it is dropped", tile)
                self.pending.clear()
        moves = [(int(p), int(t)) for p, t in history]
        position = Position.of(self.state.side, moves)
        placements = placing.whole_pieces(position.game, position.hands[self.state.seat])
        with self.lock:
            if self.restart is not None or self.stopping.is_set():
                raise GameStopped("the game starts over")
            state = self.state
            state.history, state.position = moves, position
            state.valid, state.placements = list(valid), placements
            state.waiting = True
            self._changed()
            while not self.pending:
                if self.restart is not None or self.stopping.is_set():
                    state.waiting = False
                    raise GameStopped("the game starts over")
                self.lock.wait(_POLL_SECONDS)
            return self.pending.popleft()

    def _match(self, opening: History) -> None:
        """One match from ``opening`` to its end, or until an undo, a new game or a stop."""
        network_seat: Any = ((self.network, self.settings.sims_per_move)
                             if self.settings.sims_per_move > 0 else self.network)
        seats: list[Any] = [network_seat] * 4
        seats[self.state.seat] = self.person
        # The requests in the layout of what the network sees.
        config = dataclasses.replace(self.settings, search_mode=SOUND_SEARCH,
                                     rep=self.network.inputs.rep(self.settings.rep))
        try:
            outcome, history = tralix_engine.play_match(
                self.state.game_id, config, seats, self.network,
                opening=[t for _, t in opening])
        except RuntimeError as error:
            if isinstance(error.__cause__, GameStopped):
                return
            logger.error("the game ended without an outcome: %s", error)
            with self.lock:
                self.state.error = str(error)
                self.state.waiting = False
                self._changed()
            return
        moves = [(int(p), int(t)) for p, t in history]
        position = Position.of(self.state.side, moves)
        with self.lock:
            self.state.history, self.state.position = moves, position
            self.state.outcome = [float(x) for x in outcome]
            self.state.waiting = False
            self._changed()

    def _play(self) -> None:
        opening: History = []
        while True:
            self._match(opening)
            with self.lock:
                while self.restart is None and not self.stopping.is_set():
                    self.lock.wait(_POLL_SECONDS)
                if self.stopping.is_set() or self.restart is None:
                    return
                opening, self.restart = self.restart, None

    def _start_over(self, opening: History) -> None:
        """With the lock held: ends the match in progress and starts one from ``opening``."""
        state = self.state
        self.restart = list(opening)
        self.pending.clear()
        state.history, state.position = list(opening), Position.of(state.side, opening)
        state.valid, state.placements = [], []
        state.waiting = False
        state.outcome, state.error, state.saved = None, "", ""
        self._changed()

    def _check_turn(self) -> PlayState:
        state = self.state
        if state.outcome is not None or state.error:
            raise Refused(HTTPStatus.CONFLICT, "the game is over")
        if not state.waiting:
            raise Refused(HTTPStatus.CONFLICT, "wait: the network is to move")
        return state

    def _lay(self, tiles: Sequence[int]) -> None:
        """With the lock held: hands the person's tiles to the match, in order."""
        state = self.state
        state.waiting = False
        state.history = state.history + [(state.seat, t) for t in tiles]
        state.position = Position.of(state.side, state.history)
        state.valid, state.placements = [], []
        self.pending.extend(tiles)
        self._changed()

    def lay(self, body: Any) -> None:
        """The page's single tile for the person's seat; Refused when it is not one now."""
        tile = body.get("tile") if isinstance(body, dict) else None
        if type(tile) is not int:
            raise Refused(HTTPStatus.BAD_REQUEST, "a tile is a whole number")
        with self.lock:
            state = self._check_turn()
            if tile not in state.valid:
                where = (placing.where(tile, state.side) if 0 <= tile < state.side ** 2
                         else "off the board")
                raise Refused(HTTPStatus.BAD_REQUEST,
                              f"tile {tile} ({where}) is not a valid tile for seat "
                              f"{state.seat} now")
            self._lay([tile])

    def lay_piece(self, body: Any) -> list[int]:
        """The page's whole piece, ``{"piece": id, "tiles": [...]}``: laid when the rules
        complete it there (the tiles in an order they accept, returned), else Refused with
        the reason and nothing laid."""
        piece = body.get("piece") if isinstance(body, dict) else None
        tiles = body.get("tiles") if isinstance(body, dict) else None
        if type(piece) is not int or not 0 <= piece < PIECE_COUNT:
            raise Refused(HTTPStatus.BAD_REQUEST,
                          f"a piece is a whole number from 0 to {PIECE_COUNT - 1}")
        if not isinstance(tiles, list) or not 1 <= len(tiles) <= 5 \
                or any(type(t) is not int for t in tiles) or len(set(tiles)) != len(tiles):
            raise Refused(HTTPStatus.BAD_REQUEST, "a piece's tiles are 1 to 5 distinct whole "
                                                  "numbers")
        with self.lock:
            state = self._check_turn()
            if any(not 0 <= t < state.side ** 2 for t in tiles):
                raise Refused(HTTPStatus.BAD_REQUEST, "the piece must lie wholly on the board")
            position = state.position or Position.of(state.side, state.history)
            order = placing.lay_whole(position.game, piece, tiles)
            if order is None:
                raise Refused(HTTPStatus.BAD_REQUEST, "you cannot lay that piece there: " +
                              placing.refusal(position.game, position.hands[state.seat],
                                              piece, tiles))
            self._lay(order)
            return list(order)

    def undo(self) -> int:
        """Takes back the person's last piece (or the one they are building) and the network's
        moves after it; returns the tiles left on the board."""
        with self.lock:
            keep = self.state.undo_point()
            if keep is None:
                if not (self.state.waiting or self.state.outcome is not None or self.state.error):
                    raise Refused(HTTPStatus.CONFLICT, "wait: the network is to move")
                raise Refused(HTTPStatus.CONFLICT, "nothing of yours to undo")
            self._start_over(self.state.history[:keep])
            return keep

    def new_game(self) -> int:
        """Starts a new game from the empty board; returns its id."""
        with self.lock:
            state = self.state
            if not (state.waiting or state.outcome is not None or state.error):
                raise Refused(HTTPStatus.CONFLICT, "wait: the network is to move")
            if state.saved:
                state.game_id += 1
            self._start_over([])
            return state.game_id

    def save(self) -> str:
        """Writes the finished game to the output data file; Refused before the end."""
        with self.lock:
            state = self.state
            if state.outcome is None:
                raise Refused(HTTPStatus.CONFLICT, "the game is not over yet")
            if state.saved:
                return state.saved
            records = [[(tile, math.nan)] for _, tile in state.history]  # no search records
            line = game_line(state.game_id, state.side,
                             TrainingGame(state.history, records, state.outcome),
                             {"network": state.network, "sims_per_move": state.sims,
                              "person_seat": state.seat})
            with GameWriter(self.output, append=self.output.exists()) as writer:
                writer.write(line)
            state.saved = str(self.output)
            self._changed()
            logger.info("saved the game to %s", self.output)
            return state.saved

    def view(self, since: int | None = None) -> dict[str, Any]:
        """The state for the page; only its version when it is still ``since``."""
        with self.lock:
            if since == self.state.version:
                return {"version": since}
            return self.state.view()

    # ----- the server -------------------------------------------------------------------

    def page(self) -> bytes:
        text = _PAGE.read_text(encoding="utf-8").replace("{{BOARD_JS}}", board_script())
        colours = {"seats": ["rgb({},{},{})".format(*c) for c in SEAT_COLOURS],
                   "free": "rgb({},{},{})".format(*FREE_COLOUR)}
        return (text.replace("{{COLOURS}}", json.dumps(colours))
                .replace("{{PIECES}}", json.dumps(catalogue())).encode("utf-8"))

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
                url = urlsplit(self.path)
                if url.path == "/" and not url.query:
                    self._send(HTTPStatus.OK, server.page(), "text/html; charset=utf-8")
                elif url.path == "/state":
                    since = parse_qs(url.query).get("since", [""])[0]
                    self._json(HTTPStatus.OK,
                               server.view(int(since) if since.isdigit() else None))
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
                    answer: dict[str, Any]
                    if self.path == "/tile":
                        server.lay(body)
                        answer = {"ok": True}
                    elif self.path == "/piece":
                        answer = {"ok": True, "order": server.lay_piece(body)}
                    elif self.path == "/undo":
                        answer = {"ok": True, "laid": server.undo()}
                    elif self.path == "/new":
                        answer = {"ok": True, "game": server.new_game()}
                    elif self.path == "/save":
                        answer = {"saved": server.save()}
                    elif self.path == "/quit":  # the server stops once this is answered
                        answer = {"ok": True}
                    else:
                        raise Refused(HTTPStatus.NOT_FOUND, f"no action {self.path}")
                except Refused as refused:
                    self._json(refused.status, {"error": str(refused)})
                except (ValueError, OSError) as error:  # a bad length; a file not written
                    self._json(HTTPStatus.BAD_REQUEST, {"error": str(error)})
                else:
                    self._json(HTTPStatus.OK, answer)
                    if self.path == "/quit":
                        server.quit.set()

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
        with self.lock:
            self.lock.notify_all()
        self.httpd.shutdown()
        self.httpd.server_close()
        for thread in self._threads:
            thread.join(timeout=10)

    def __enter__(self) -> PlayServer:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()
