"""tralix_engine: its config's search_mode, self-play records of the sound and Gumbel searches,
and play_match with every kind of seat (a Python callable among them), checked against
tralix_rules replays, and seeded; bad arguments
refused before anything is put; failing networks named by seat; references given back."""

import gc
import sys

import pytest

import tralix_engine as te
import tralix_rules as tr

from support import (
    FIELDS,
    Config,
    Harness,
    LoggingConfig,
    RecordingQueue,
    ResultQueue,
    fail_at,
    logits_reply,
    planes_reply,
    tile_logits,
)


def replayed(side, history):
    """The game of a history laid tile by tile, checking each player to move."""
    game = tr.Game(side)
    for player, tile in history:
        assert game.current_player == player
        game.apply(tile)
    return game


def test_the_engines_own_fields_are_read_after_the_eight_and_checked():
    harness = Harness(dim=5)
    config = LoggingConfig(dim=5, search_mode=1)
    assert te.play_training_game(1, config, harness.result_queue, harness.inference_queue,
                                 harness.pipe) == 0
    flags = ["gumbel_every_move", "skip_forced_moves", "record_root_values"]
    assert config.log == [*FIELDS, "search_mode", "gumbel_considered", "gumbel_min_spread",
                          "playout_mix", "full_search_share", *flags]
    # The cheap simulations are read only under a cap.
    capped = LoggingConfig(dim=5, search_mode=2, sims_per_move=4, full_search_share=0.5,
                           cheap_sims=1)
    assert te.play_training_game(1, capped, harness.result_queue, harness.inference_queue,
                                 harness.pipe) == 0
    assert capped.log == [*FIELDS, "search_mode", "gumbel_considered", "gumbel_min_spread",
                          "playout_mix", "full_search_share", "cheap_sims", *flags]
    for name, bad, error in (("playout_mix", 1.5, ValueError), ("playout_mix", -0.1, ValueError),
                             ("playout_mix", float("nan"), ValueError),
                             ("playout_mix", "0.5", TypeError),
                             ("gumbel_considered", 0, ValueError),
                             ("gumbel_considered", 2**70, ValueError),
                             ("gumbel_considered", 4.0, TypeError),
                             ("gumbel_min_spread", 2.0, ValueError),
                             ("gumbel_every_move", 1, TypeError),
                             ("skip_forced_moves", None, TypeError),
                             ("record_root_values", "yes", TypeError)):
        harness = Harness(dim=5)
        with pytest.raises(error, match=name):
            te.play_training_game(1, Config(dim=5, search_mode=2, **{name: bad}),
                                  harness.result_queue, harness.inference_queue, harness.pipe)
        assert harness.requests == [] and harness.results == []
    for share, cheap, error in ((1.5, 1, ValueError), (-0.1, 1, ValueError),
                                (float("nan"), 1, ValueError), ("1", 1, TypeError),
                                (0.5, 0, ValueError), (0.5, 5, ValueError),
                                (0.5, None, TypeError), (0.5, 1.0, TypeError)):
        harness = Harness(dim=5)
        with pytest.raises(error, match="full_search_share|cheap_sims"):
            te.play_training_game(1, Config(dim=5, search_mode=2, sims_per_move=4,
                                            full_search_share=share, cheap_sims=cheap),
                                  harness.result_queue, harness.inference_queue, harness.pipe)
        assert harness.requests == [] and harness.results == []
    # Missing: the visits search of tralix_self_play.
    missing = LoggingConfig(dim=5)
    assert te.play_training_game(1, missing, ResultQueue(), harness.inference_queue,
                                 harness.pipe) == 0
    for bad, error in ((3, ValueError), (-1, ValueError), (2**70, ValueError), ("1", TypeError),
                       (1.0, TypeError)):
        harness = Harness(dim=5)
        with pytest.raises(error, match="search_mode"):
            te.play_training_game(1, Config(dim=5, search_mode=bad), harness.result_queue,
                                  harness.inference_queue, harness.pipe)
        assert harness.requests == [] and harness.results == []


@pytest.mark.parametrize("mode,mix", [(1, 0.0), (2, 0.0), (2, 1.0)])
def test_training_records_are_distributions_over_the_valid_tiles(mode, mix):
    side = 6
    harness = Harness(dim=side)
    config = Config(dim=side, sims_per_move=8, sample_moves=6, search_mode=mode,
                    playout_mix=mix)
    assert te.play_training_game(7, config, harness.result_queue, harness.inference_queue,
                                 harness.pipe) == 0
    [(game_id, (history, records, outcome))] = harness.results
    assert game_id == 7 and len(records) == len(history)
    game = tr.Game(side)
    for (player, tile), record in zip(history, records, strict=True):
        assert {t for t, _ in record} == set(game.valid_tiles())
        assert sum(share for _, share in record) == pytest.approx(1.0, abs=1e-5)
        assert all(share >= 0 for _, share in record)
        assert game.current_player == player
        game.apply(tile)
    assert game.is_over() and list(game.outcome()) == outcome


@pytest.mark.parametrize("mode", [0, 1, 2])
def test_play_match_with_every_kind_of_seat(mode):
    side = 6
    harness = Harness(dim=side)
    queue = harness.inference_queue
    opening = [0, 1]
    seats = [(queue, 4), queue, None, (queue, 0)]
    outcome, history = te.play_match(5, Config(dim=side, search_mode=mode), seats, harness.pipe,
                                      opening)
    assert [tile for _, tile in history[:2]] == opening
    game = replayed(side, history)
    assert game.is_over() and list(game.outcome()) == outcome
    assert all(type(p) is int and type(t) is int for p, t in history)
    assert {request[0] for _, request in harness.requests} == {5}
    # Seat 0 searches, so it asks about other players' positions too; seats 1 and 3 play their
    # highest prior, once per tile; seat 2 asks nothing.
    greedy_tiles = sum(1 for player, _ in history[2:] if player in (1, 3))
    seat0_tiles = sum(1 for player, _ in history[2:] if player == 0)
    assert len(harness.requests) >= greedy_tiles + seat0_tiles


@pytest.mark.parametrize("mode", [1, 2])
def test_a_seeded_match_is_played_again_exactly(mode):
    side = 6

    def play(seed):
        harness = Harness(dim=side)
        queue = harness.inference_queue
        seats = [(queue, 4), None, queue, (queue, 2)]
        return te.play_match(1, Config(dim=side, search_mode=mode), seats, harness.pipe,
                             seed=seed)

    assert play(5) == play(5)
    assert play(5) != play(6) != play(2**64 - 1)
    for seed, error in ((-1, ValueError), (2**64, ValueError), (1.0, TypeError),
                        (True, TypeError), ("5", TypeError)):
        with pytest.raises(error, match="seed"):
            play(seed)


@pytest.mark.parametrize("mode", [1, 2])
def test_a_searching_seat_with_a_full_playout_mix_ignores_the_network_values(mode):
    """Searching seats blend each value with a random playout: at a weight of 1 the network's
    values are not seen, so two networks that differ only in them play the same seeded match;
    without the blend they do not. Greedy seats play their priors either way."""
    side = 6
    logits = tile_logits(side)

    def valued(planes):  # values that follow the position, unlike the flat ones
        cells = [v for plane in planes[:4] for row in plane for v in row]
        weight = sum((i % 13) * v for i, v in enumerate(cells))
        return list(logits), [float((weight * (k + 3)) % 11) for k in range(4)]

    def play(reply, mix):
        harness = Harness(dim=side, reply=reply)
        queue = harness.inference_queue
        seats = [(queue, 6), None, queue, (queue, 3)]
        return te.play_match(1, Config(dim=side, search_mode=mode, playout_mix=mix), seats,
                             harness.pipe, seed=11)

    flat, varied = logits_reply(logits), planes_reply(valued)
    assert play(flat, 1.0) == play(varied, 1.0)
    assert play(flat, 0.0) != play(varied, 0.0)
    assert play(varied, 0.5) == play(varied, 0.5)
    harness = Harness(dim=side)
    config = LoggingConfig(dim=side, search_mode=mode)
    te.play_match(1, config, [None] * 4, harness.pipe)
    assert config.log[-3:] == ["gumbel_considered", "gumbel_min_spread", "playout_mix"]
    for bad, error in ((1.5, ValueError), ("0.5", TypeError)):
        with pytest.raises(error, match="playout_mix"):
            te.play_match(1, Config(dim=side, search_mode=mode, playout_mix=bad),
                          [harness.inference_queue, None, None, None], harness.pipe)
    assert harness.requests == []


class DroppedQueue(RecordingQueue):
    """A network seat's queue that says when it is freed."""

    def __init__(self, harness, name, freed):
        super().__init__(harness, name)
        self.freed = freed

    def __del__(self):
        self.freed.append(self.name)


class DroppingPlayer:
    """A player that, at its first call, replaces every item of the caller's seats list, whose
    items held the only references to the other seats' objects, and then lays its smallest
    valid tile; it notes what was freed by each of its calls."""

    def __init__(self, seats, freed):
        self.seats, self.freed, self.seen = seats, freed, []

    def __call__(self, history, valid):
        if not self.seen:
            self.seats[:] = [None] * 4
            gc.collect()
        self.seen.append(list(self.freed))
        return valid[0]


@pytest.mark.parametrize("mode", [0, 1, 2])
def test_seats_dropped_by_a_player_play_on_to_the_end(mode):
    """play_match holds its own references to every seat's object: the queues of a player
    that drops them from the caller's list are used to the end and freed after the call."""
    side = 7

    def play(drop):
        harness = Harness(dim=side)
        freed = []
        seats = [None, (DroppedQueue(harness, "search", freed), 4),
                 DroppedQueue(harness, "greedy", freed), None]
        player = DroppingPlayer(seats, freed) if drop else ScriptedPlayer()
        seats[0] = player
        seats[3] = ScriptedPlayer()
        result = te.play_match(1, Config(dim=side, search_mode=mode), seats, harness.pipe,
                               seed=9)
        names = [name for name, _ in harness.requests]
        return result, names, freed, player

    (outcome, history), names, freed, player = play(drop=True)
    assert player.seen and all(seen == [] for seen in player.seen)
    assert sorted(freed) == ["greedy", "search"]  # freed once the call let them go
    assert list(replayed(side, history).outcome()) == outcome
    assert {"search", "greedy"} <= set(names[len(names) // 2:])
    assert play(drop=False)[:2] == ((outcome, history), names)


def test_a_search_without_a_network_draws_its_playouts_from_the_seed():
    """(None, sims) searches with equal priors and one random playout per leaf: the search of
    a network seat whose network answers equal scores, each value replaced by a playout
    (playout_mix 1), seat for seat and draw for draw. It puts nothing and needs no pipe."""
    side = 6
    for mode in (0, 1, 2):
        def networked(seed, mix=1.0, mode=mode):
            harness = Harness(dim=side)
            seats = [(harness.inference_queue, 6), None, (harness.inference_queue, 3), None]
            config = Config(dim=side, search_mode=mode, playout_mix=mix)
            return te.play_match(1, config, seats, harness.pipe, seed=seed)

        def free(seed, seat_config=None, mode=mode):
            config = Config(dim=side, search_mode=mode)
            own = () if seat_config is None else (seat_config,)
            seats = [(None, 6, *own), None, (None, 3, *own), None]
            return te.play_match(1, config, seats, None, seed=seed)

        assert free(5) == free(5) == networked(5)
        assert free(5) != free(6)
        assert networked(5, mix=0.0) != networked(5)
        # A seat's own config gives the mode and the search's weights; its rep, dim and
        # playout_mix do not matter without a network.
        other = Config(dim=9, rep=2, search_mode=(mode + 1) % 3, c_init=3.0, playout_mix=0.0)
        assert free(5, Config(dim=11, rep=2, search_mode=mode, playout_mix=0.3)) == free(5)
        assert free(5, other) != free(5)
    for seats, error, text in (([(None, 0), None, None, None], ValueError, r"seats\[0\].*1"),
                               ([None, (None, -1), None, None], ValueError, "negative"),
                               ([None, None, (None, 2, None), None], TypeError,
                                r"seats\[2\]: config: .*dim")):
        with pytest.raises(error, match=text):
            te.play_match(1, Config(dim=side), seats, None)


def test_a_searching_seat_plays_by_its_own_config():
    """(queue, sims, config): the seat searches and asks in its config's settings (its rep's
    layout too) while the call's config holds for the rest; the same match with that config
    as the call's is the same game, seed for seed."""
    side = 6
    logits = tile_logits(side)
    own = Config(dim=11, rep=2, search_mode=2, c_init=2.5, gumbel_considered=4,
                 playout_mix=0.5)
    call = Config(dim=side, search_mode=1)

    def play(config, seat_config):
        harness = Harness(dim=side, reply=logits_reply(logits, (0.3, 0.1, -0.2, 0.0)))
        search = RecordingQueue(harness, "search")
        greedy = RecordingQueue(harness, "greedy")
        extra = () if seat_config is None else (seat_config,)
        seats = [(search, 8, *extra), greedy, None, None]
        result = te.play_match(1, config, seats, harness.pipe, seed=21)
        return result, harness.requests

    as_own, requests = play(call, own)
    as_call, _ = play(Config(dim=side, rep=2, search_mode=2, c_init=2.5,
                             gumbel_considered=4, playout_mix=0.5), None)
    assert as_own == as_call
    assert as_own != play(call, None)[0]
    # The searching seat's requests in its own layout (side x side x 5), the greedy seat's in
    # the call's (5 x side x side).
    shapes = {(name, len(planes), len(planes[0])) for name, (_, planes) in requests}
    assert shapes == {("search", side, side), ("greedy", 5, side)}
    for bad, error in (({"search_mode": 4}, ValueError), ({"playout_mix": "x"}, TypeError),
                       ({"gumbel_considered": 0}, ValueError)):
        harness = Harness(dim=side)
        with pytest.raises(error, match=r"^seats\[1\]: config: .*"
                                        + next(iter(bad))) as raised:
            te.play_match(1, call, [None, (harness.inference_queue, 2, Config(**bad)), None,
                                    None], harness.pipe)
        assert type(raised.value.__cause__) is error
        assert harness.requests == []
    with pytest.raises(TypeError, match=r"seats\[1\] must be a tuple .* not of 4"):
        te.play_match(1, call, [None, (None, 2, call, call), None, None], None)


def bad_seats(q):
    """Seat lists a match refuses, with the error and a part of its message."""
    return [
        ("abcd", TypeError, "sequence"),
        (5, TypeError, "sequence"),
        ([None] * 3, ValueError, "four"),
        ([None] * 5, ValueError, "four"),
        ([None, 3, None, None], TypeError, r"seats\[1\]"),
        ([None, None, (object(), 4), None], TypeError, r"seats\[2\]"),
        ([None, None, None, (q, 4, 1)], TypeError, r"seats\[3\]"),
        (["queue", None, None, None], TypeError, r"seats\[0\]"),
        ([(q, -1), None, None, None], ValueError, "negative"),
        ([(q, 2**40), None, None, None], ValueError, "at most"),
        ([(q, 1.5), None, None, None], TypeError, "int"),
        ([(q, True), None, None, None], TypeError, "int"),
    ]


def test_bad_arguments_are_refused_before_anything_is_put():
    side = 6
    harness = Harness(dim=side)
    config = Config(dim=side, search_mode=1)
    for seats, error, text in bad_seats(harness.inference_queue):
        with pytest.raises(error, match=text):
            te.play_match(1, config, seats, harness.pipe)
    seats = [harness.inference_queue, None, None, None]
    for opening, error, text in (([0, 0], ValueError, r"opening\[1\]"),
                                 ([36], ValueError, r"opening\[0\]"),
                                 ([-1], ValueError, r"opening\[0\]"),
                                 ([0, "1"], TypeError, r"opening\[1\]"),
                                 (7, TypeError, "not iterable")):
        with pytest.raises(error, match=text):
            te.play_match(1, config, seats, harness.pipe, opening)
    with pytest.raises(ValueError, match="config.dim"):
        te.play_match(1, Config(dim=3), seats, harness.pipe)
    with pytest.raises(TypeError, match="recv"):
        te.play_match(1, config, seats, object())
    with pytest.raises(ValueError, match="search_mode"):
        te.play_match(1, Config(dim=side, search_mode=4), seats, harness.pipe)
    assert harness.requests == []
    # Random seats alone need no pipe at all.
    outcome, history = te.play_match(1, config, [None] * 4, None)
    assert list(replayed(side, history).outcome()) == outcome


class Interrupting:
    def put(self, request):
        raise KeyboardInterrupt


def test_a_failing_network_is_named_by_its_seat():
    side = 6
    harness = Harness(dim=side, reply=fail_at(3))
    seats = [harness.inference_queue, None, (harness.inference_queue, 4), None]
    with pytest.raises(RuntimeError, match="^seat [02]: .*RecvError: reply 3 failed") as raised:
        te.play_match(1, Config(dim=side, search_mode=1), seats, harness.pipe)
    assert type(raised.value.__cause__).__name__ == "RecvError"
    harness = Harness(dim=side)
    harness.inference_queue.fail = ValueError("queue full")
    with pytest.raises(RuntimeError, match="^seat 3: .*ValueError: queue full"):
        te.play_match(1, Config(dim=side), [None, None, None, harness.inference_queue],
                      harness.pipe)
    # An interrupt stays an interrupt.
    with pytest.raises(KeyboardInterrupt):
        te.play_match(1, Config(dim=side), [Interrupting(), None, None, None], harness.pipe)


class ScriptedPlayer:
    """A player seat: records what it is offered, lays the smallest valid tile, or at its
    ``odd_call``-th call returns ``odd`` (raises it when it is an exception)."""

    def __init__(self, odd_call=None, odd=None):
        self.offered = []
        self.odd_call, self.odd = odd_call, odd

    def __call__(self, history, valid):
        self.offered.append((list(history), list(valid)))
        if len(self.offered) - 1 == self.odd_call:
            if isinstance(self.odd, BaseException):
                raise self.odd
            return self.odd
        return valid[0]


def test_a_callable_seat_lays_the_tiles_it_returns():
    side = 6
    harness = Harness(dim=side)
    player = ScriptedPlayer()
    seats = [(harness.inference_queue, 3), player, None, player]
    outcome, history = te.play_match(2, Config(dim=side, search_mode=1), seats, harness.pipe,
                                      [0])
    game = replayed(side, history)
    assert game.is_over() and list(game.outcome()) == outcome
    # Each call was offered the history so far and the valid tiles of a fresh replay of it,
    # and the tile it returned is the next one laid.
    calls = 0
    for i, (mover, tile) in enumerate(history):
        if mover in (1, 3):
            offered_history, valid = player.offered[calls]
            assert offered_history == [tuple(m) for m in history[:i]]
            assert valid == replayed(side, history[:i]).valid_tiles()
            assert tile == valid[0]
            calls += 1
    assert calls == len(player.offered) > 0
    # A person alone against random players needs no pipe.
    outcome, history = te.play_match(2, Config(dim=side), [None, None, ScriptedPlayer(), None],
                                      None)
    assert list(replayed(side, history).outcome()) == outcome


def test_a_failing_player_is_named_by_its_seat():
    side = 6
    config = Config(dim=side)
    cases = [(ValueError("no idea"), r"^seat 2: the player failed: ValueError: no idea$"),
             ("5", r"^seat 2: the player failed: TypeError: the player returned str"),
             (True, r"^seat 2: the player failed: TypeError: the player returned bool"),
             (-1, r"^seat 2: the player failed: ValueError: the player returned -1"),
             (2**40, r"^seat 2: the player failed: ValueError: the player returned"),
             (side * side, rf"^seat 2: the player chose tile {side * side}, which is not a"),
             (None, r"^seat 2: the player failed: TypeError: the player returned NoneType")]
    for odd, message in cases:
        player = ScriptedPlayer(odd_call=1, odd=odd)
        with pytest.raises(RuntimeError, match=message) as raised:
            te.play_match(1, config, [None, None, player, None], None)
        assert len(player.offered) == 2
        if isinstance(odd, BaseException):
            assert raised.value.__cause__ is odd
    # A tile already laid is refused too.
    occupied = ScriptedPlayer(odd_call=1, odd=0)
    with pytest.raises(RuntimeError, match="^seat 0: the player chose tile 0, which is not"):
        te.play_match(1, config, [occupied, None, None, None], None, [0])
    with pytest.raises(KeyboardInterrupt):
        te.play_match(1, config, [None, ScriptedPlayer(0, KeyboardInterrupt()), None, None],
                      None)


def test_reference_counts_stay_flat():
    side = 5
    harness = Harness(dim=side)
    config = Config(dim=side, search_mode=2, sims_per_move=3)
    seats = [(harness.inference_queue, 3), harness.inference_queue, None, None]
    opening = [0]
    failing = Harness(dim=side, reply=fail_at(2))
    failing_seats = [(failing.inference_queue, 3), None, None, None]
    player = ScriptedPlayer()
    refusing = ScriptedPlayer(odd_call=1)
    player_seats = [refusing, player, (harness.inference_queue, 2), None]
    seat_config = Config(dim=side, rep=2, search_mode=1)
    own_seats = [(None, 2, seat_config), (harness.inference_queue, 2, seat_config), None, None]
    bad_config = Config(dim=side, search_mode=7)
    bad_seats = [None, (harness.inference_queue, 2, bad_config), None, None]
    objects = [config, seats, opening, harness.inference_queue, harness.pipe, failing.pipe,
               failing.inference_queue, failing_seats, player, refusing, player_seats,
               seat_config, own_seats, bad_config, bad_seats]

    def calls():
        te.play_match(1, config, seats, harness.pipe, opening)
        player.offered.clear()
        refusing.offered.clear()
        with pytest.raises(RuntimeError):
            te.play_match(1, config, player_seats, harness.pipe)
        player.offered.clear()
        refusing.offered.clear()
        te.play_training_game(1, config, harness.result_queue, harness.inference_queue,
                              harness.pipe)
        failing.pipe.calls = 0
        failing.reply = fail_at(2)  # a new exception: a raised one keeps its old tracebacks
        with pytest.raises(RuntimeError):
            te.play_match(1, config, failing_seats, failing.pipe)
        with pytest.raises(ValueError):
            te.play_match(1, config, seats[:3], harness.pipe)
        te.play_match(1, config, own_seats, harness.pipe, seed=1)
        with pytest.raises(ValueError, match="search_mode"):
            te.play_match(1, config, bad_seats, harness.pipe)
        harness.requests.clear()
        failing.requests.clear()
        harness.result_queue.items.clear()

    calls()
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    blocks = sys.getallocatedblocks()
    for _ in range(20):
        calls()
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before
    assert sys.getallocatedblocks() - blocks < 200
