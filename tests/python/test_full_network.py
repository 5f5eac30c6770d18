"""The full position in the harness: training samples of the full position against counts from
the games' histories and against the rules model on turned and mirrored boards; value targets
mixed with a stored game's searched values, the score target, the sharpening of visit shares
alone and the window that grows; a network of the full position through the worker's batches,
the inference server, the matches and the synchronous pipes; refusals of the wrong layout."""

import json
import random

import numpy as np
import pytest

import tralix_engine
import tralix_rules
from tralix_harness.base.settings import SearchSettings
from tralix_harness.cli import main
from tralix_harness.data.records import game_line, read_games
from tralix_harness.data.samples import DataError, read_data_file
from tralix_harness.data.symmetries import HAND_TILES, make_batch, turn_tile
from tralix_harness.data.window import Window, WindowSize
from tralix_harness.learning.lookahead import lookahead_targets
from tralix_harness.learning.match import Policy, PolicyNetwork, greedy_match, search_match
from tralix_harness.learning.settings import LoopControl
from tralix_harness.local.answering import BatchAnswerer
from tralix_harness.local.channels import WorkerChannels
from tralix_harness.local.lifecycle import GameStatus
from tralix_harness.local.options import RunOptions
from tralix_harness.local.run import Run
from tralix_harness.networks.builtin import HeuristicNetwork
from tralix_harness.networks.inputs import InputKind
from tralix_harness.networks.synchronous import SyncNetwork

import rules_model
from harness_networks import FullConsistent
from support import write_data_file

SIDE = 5
FULL = tralix_rules.full_plane_count


# ----- games with everything a sample can hold ------------------------------------------------


def _random_line(side, seed, search_mode=2, number=0):
    """A stored game of uniformly random moves as a data line: records spreading random shares
    over every valid tile, root values (a random win share vector, none on about a tenth of
    the moves), the search mode in its settings."""
    rng = random.Random(seed)
    game = rules_model.Game(side)
    records, root_values = [], []
    while not game.is_over():
        valid = sorted(game.valid_tiles())
        weights = [rng.random() + 0.01 for _ in valid]
        records.append([(t, w / sum(weights)) for t, w in zip(valid, weights, strict=True)])
        shares = [rng.random() for _ in range(4)]
        root_values.append(None if rng.random() < 0.1 else [s / sum(shares) for s in shares])
        game.apply_move(rng.choice(valid))
    return game_line(number, side, (game.history, records, game.outcome()),
                     {"search_mode": search_mode}, root_values=root_values)


def _samples(lines, side=SIDE, tmp_path=None, **batch):
    """The lines' samples of the full position, every one in a batch, in order."""
    path = write_data_file(tmp_path / "games.jsonl.gz", lines)
    window = Window(side, 1000, full=True)
    window.add_file(path)
    pool = window.pool()
    return make_batch(pool, np.arange(len(pool)), side, 1.0, **batch), pool


def _piece_of(tiles, side):
    """The catalogue id of the piece whose tiles these are, told by its shape."""
    shape = rules_model._normalise([divmod(t, side) for t in tiles])
    return next(piece for piece, shapes in enumerate(rules_model.ORIENTATIONS)
                if shape in shapes)


def _counted(side, history):
    """For the position before each tile, counted from the game's history: each player's
    pieces in hand (those it has not laid: each laid piece told by its tiles' shape), which
    players are retired (those a turn passed over: it went from one player to another beyond
    them, or stayed with a player left alone), and the tiles of the piece being laid. The
    rules model says only where a piece ends."""
    model = rules_model.Game(side)
    used = {p: set() for p in range(4)}
    retired, turn, positions = set(), [], []
    for i, (player, tile) in enumerate(history):
        positions.append(({p: set(range(21)) - used[p] for p in range(4)}, set(retired),
                          list(turn)))
        model.apply_move(tile)
        turn.append(tile)
        if model.turn_tiles:
            continue
        used[player].add(_piece_of(turn, side))
        turn = []
        if i + 1 < len(history):
            following = history[i + 1][0]
            gap = (following - player - 1) % 4 if following != player else 3
            retired |= {(player + 1 + k) % 4 for k in range(gap)}
    return positions


def test_the_global_features_are_what_each_players_history_leaves(tmp_path):
    """Each position's 88 features, seen by its mover, and its sixth plane against the count
    from the history; over games that reach a player out, a piece half laid and pieces used,
    with every player to move."""
    seen = {"player out": 0, "piece half laid": 0, "pieces used": 0}
    movers = set()
    for side, seed in ((5, 1), (5, 2), (6, 3), (7, 4)):
        line = _random_line(side, seed)
        history = json.loads(line)["history"]
        batch, pool = _samples([line], side, tmp_path)
        assert batch.planes.shape == (len(history), FULL, side, side)
        for row, (hands, retired, turn) in enumerate(_counted(side, history)):
            mover = int(pool.mover[row])
            movers.add(mover)
            blocks = batch.globals_[row].reshape(4, 22)
            for k in range(4):
                player = (mover + k) % 4
                assert set(np.flatnonzero(blocks[k, :21])) == hands[player], (side, row, k)
                assert blocks[k, 21] == (player in retired), (side, row, k)
            laid = set(np.flatnonzero(batch.planes[row, 5].reshape(-1)))
            assert laid == set(turn), (side, row)
            seen["player out"] += bool(retired)
            seen["piece half laid"] += bool(turn)
            seen["pieces used"] += any(len(h) < 21 for h in hands.values())
    assert all(seen.values()) and movers == {0, 1, 2, 3}, (seen, movers)


def _model_position(side, history, seat_map, tile_map):
    """The full position after ``history`` on a board whose tiles are moved by ``tile_map``
    and whose seats are renamed by ``seat_map``, worked out by the rules model from the moved
    board: the six planes and each player's hand and retirement, from the mover on."""
    game, mover, owner, turn, placements = rules_model.moved_position(
        side, history, seat_map, tile_map)
    planes = np.zeros((FULL, side * side), np.float32)
    for tile, seat in enumerate(owner):
        if seat is not None:
            planes[(seat - mover) % 4, tile] = 1
    planes[4, list(set().union(*placements) - turn)] = 1
    planes[5, list(turn)] = 1
    blocks = np.zeros((4, 22), np.float32)
    for seat in range(4):
        k = (seat_map(seat) - mover) % 4
        blocks[k, game.hands[seat]] = 1
        blocks[k, 21] = game.finished[seat]
    return planes.reshape(FULL, side, side), blocks.reshape(-1)


def test_turned_and_mirrored_full_samples_are_positions_of_the_rules(tmp_path):
    """Planes, global features, value and score targets of turned and mirrored samples,
    against the rules model's positions on the turned and mirrored board."""
    lines = [_random_line(SIDE, seed, number=seed) for seed in (5, 6)]
    batch, pool = _samples(lines, SIDE, tmp_path, value_mix=0.5)
    histories = [json.loads(line)["history"] for line in lines]
    positions = [(g, i) for g, h in enumerate(histories) for i in range(0, len(h), 3)]
    offsets = np.cumsum([0] + [len(h) for h in histories])
    rows = np.array([offsets[g] + i for g, i in positions])
    chosen = make_batch(pool, rows, SIDE, 1.0, value_mix=0.5)
    n = len(rows)

    def check(transformed, seat_map, tile_map):
        for row, (g, i) in enumerate(positions):
            planes, features = _model_position(SIDE, histories[g][:i], seat_map, tile_map)
            assert np.array_equal(transformed.planes[row], planes), (g, i)
            assert np.array_equal(transformed.globals_[row], features), (g, i)

    for k in range(4):
        turned = chosen.turned(np.full(n, k))
        check(turned, lambda seat, k=k: (seat + k) % 4, lambda tile, k=k: turn_tile(tile, SIDE, k))
        for name in ("value", "outcome", "score"):
            assert np.array_equal(getattr(turned, name), getattr(chosen, name))
    mirrored = chosen.reflected(np.ones(n, bool))
    check(mirrored, lambda seat: -seat % 4, lambda tile: (tile % SIDE) * SIDE + tile // SIDE)
    for name in ("value", "outcome", "score"):
        assert np.array_equal(getattr(mirrored, name), getattr(chosen, name)[:, [0, 3, 2, 1]])
    assert not np.array_equal(chosen.value, chosen.outcome)  # the mix moved something


# ----- targets ---------------------------------------------------------------------------------


def test_value_targets_mix_a_stored_games_searched_values(tmp_path):
    line = _random_line(SIDE, 7)
    game = json.loads(line)
    outcome, searched = game["outcome"], game["root_values"]
    assert any(v is None for v in searched) and any(v is not None for v in searched)
    plain, pool = _samples([line], SIDE, tmp_path)
    mixed, _ = _samples([line], SIDE, tmp_path, value_mix=0.25)
    assert plain.outcome is None and mixed.outcome is not None
    for row, (mover, _) in enumerate(game["history"]):
        expected_outcome = [outcome[(mover + k) % 4] for k in range(4)]
        assert plain.value[row] == pytest.approx(expected_outcome)
        assert mixed.outcome[row] == pytest.approx(expected_outcome)
        if searched[row] is None:
            assert mixed.value[row] == pytest.approx(expected_outcome)
        else:
            values = [searched[row][(mover + k) % 4] for k in range(4)]
            assert mixed.value[row] == pytest.approx(
                [0.75 * o + 0.25 * v for o, v in zip(expected_outcome, values, strict=True)])
    # The score target: each seat's tiles at the end, over a hand's 89, the mover first.
    laid = [sum(1 for player, _ in game["history"] if player == seat) for seat in range(4)]
    for row, (mover, _) in enumerate(game["history"]):
        assert mixed.score[row] == pytest.approx(
            [laid[(mover + k) % 4] / HAND_TILES for k in range(4)])

    # The losses: value_loss against the outcome alone, the trained one against the mix.
    torch = pytest.importorskip("torch")
    from tralix_harness.learning.losses import batch_losses, measured
    from tralix_harness.networks.model import TralixNet
    from tralix_harness.networks.settings import NEW_NETWORK, ModelSettings

    torch.manual_seed(0)
    model = TralixNet(ModelSettings(blocks=1, channels=8, inputs=InputKind.FULL,
                                    score_head=True)).eval()
    with torch.no_grad():
        for parameter in model.parameters():  # values away from an even guess
            parameter.add_(torch.randn_like(parameter) * 0.3)
        _, logits = model(torch.from_numpy(mixed.planes), torch.from_numpy(mixed.globals_))
    log_value = torch.log_softmax(logits, dim=1).numpy()
    losses = measured(batch_losses(model, mixed))
    assert losses.value == pytest.approx(-(mixed.outcome * log_value).sum(1).mean(), rel=1e-4)
    assert losses.value_target == pytest.approx(-(mixed.value * log_value).sum(1).mean(),
                                                rel=1e-4)
    assert losses.value != pytest.approx(losses.value_target)
    assert np.isfinite(losses.score) and losses.score > 0
    assert NEW_NETWORK.inputs is InputKind.FULL and NEW_NETWORK.score_head


@pytest.mark.parametrize("change, reason", [
    (lambda g: g["root_values"].pop(), "'root_values' is not a list of"),
    (lambda g: g["root_values"].__setitem__(2, [0.5, 0.5, 0.5, 0.5]), "root value 2 is not"),
    (lambda g: g["root_values"].__setitem__(1, [1.0, 0.0, 0.0]), "root value 1 is not"),
    (lambda g: g["root_values"].__setitem__(3, [True, 0, 0, 0]), "root value 3 is not"),
    # Numbers too large for a float, which JSON writes as integers, are refused too.
    (lambda g: g["root_values"].__setitem__(2, [10**400, 0, 0, 0]), "root value 2 is not"),
    (lambda g: g["outcome"].__setitem__(0, 10**400), "'outcome' is not four shares"),
    (lambda g: g["records"][0][0].__setitem__(1, 10**400), "record 0 holds a share that"),
])
def test_malformed_root_values_and_numbers_too_large_name_the_line(tmp_path, change, reason):
    game = json.loads(_random_line(SIDE, 8))
    game["root_values"][2] = game["root_values"][2] or [0.25] * 4
    change(game)
    path = write_data_file(tmp_path / "bad.jsonl.gz", [_random_line(SIDE, 9), json.dumps(game)])
    with pytest.raises(DataError, match=f"line 2: {reason}"):
        read_data_file(path, SIDE, full=True)


def test_improved_policies_are_sharpened_only_when_asked(tmp_path):
    improved = _random_line(SIDE, 10, search_mode=2)
    visits = _random_line(SIDE, 10, search_mode=1)
    for line, sharpened_by_default in ((improved, False), (visits, True)):
        path = write_data_file(tmp_path / "games.jsonl.gz", [line])
        pool = read_data_file(path, SIDE).games[0]
        index = np.arange(len(pool))
        plain = make_batch(pool, index, SIDE, 1.0).policy
        sharp = plain ** 2 / (plain ** 2).sum(axis=1, keepdims=True)
        default = make_batch(pool, index, SIDE, 0.5).policy
        asked = make_batch(pool, index, SIDE, 0.5, sharpen_improved=True).policy
        assert asked == pytest.approx(sharp, abs=1e-6)
        assert default == pytest.approx(sharp if sharpened_by_default else plain, abs=1e-6)
        assert not np.allclose(plain, sharp)


def test_a_growing_window_keeps_its_share_of_the_games_and_rebuilds(tmp_path):
    lines = [_random_line(SIDE, seed, number=seed) for seed in range(11, 20)]
    files = [write_data_file(tmp_path / f"{n}.jsonl.gz", part)
             for n, part in enumerate((lines[:2], lines[2:5], lines[5:9]))]
    size = WindowSize(6, growth=0.5, least=2)
    window = Window(SIDE, size, full=True)
    every = []
    for path, total, held in zip(files, (2, 5, 9), (2, 2, 4), strict=True):
        window.add_file(path)
        every += read_data_file(path, SIDE, full=True).games
        assert (window.total_games, window.games) == (total, held)
        assert np.array_equal(window.pool().planes,
                              np.concatenate([g.planes for g in every[-held:]]))
        rebuilt = Window.restore(SIDE, size, window.sources, full=True)
        assert np.array_equal(rebuilt.pool().globals_, window.pool().globals_)
    assert WindowSize(6, 0.5, 2).games(100) == 6 and WindowSize(6).games(1) == 6
    with pytest.raises(ValueError):
        WindowSize(6, growth=1.5)


def test_the_playout_blend_falls_over_its_share_of_the_run():
    by_minutes = LoopControl(minutes=10, playout_mix_anneal=0.5)
    assert [by_minutes.playout_scale(s * 60, 1) for s in (0, 2.5, 5, 8)] == pytest.approx(
        [1.0, 0.5, 0.0, 0.0])
    by_generations = LoopControl(generations=4, playout_mix_anneal=1.0)
    assert [by_generations.playout_scale(0, g) for g in (1, 2, 3, 4)] == pytest.approx(
        [1.0, 0.75, 0.5, 0.25])
    assert LoopControl(minutes=10).playout_scale(400, 3) == 1.0
    assert LoopControl(playout_mix_anneal=0.5).playout_scale(400, 3) == 1.0  # no limit


# ----- a network of the full position where games are played ----------------------------------


class _Recording:
    """A network of the full position that keeps what it is handed."""

    inputs = InputKind.FULL

    def __init__(self):
        self.seen = []

    def evaluate(self, planes, globals_):
        self.seen += [(p.copy(), g.copy()) for p, g in zip(planes, globals_, strict=True)]
        return FullConsistent(planes.shape[-1]).evaluate(planes, globals_)


def test_the_full_position_reaches_the_network_as_the_rules_binding_encodes_it():
    """Greedy seats asking in layout 3: through a worker's batches (the requests' bytes copied
    into its buffer) and through a synchronous network, each position the network is handed is
    replay_full's for that position of the game."""
    config = SearchSettings(dim=6, rep=3)
    recording = _Recording()
    answerer = BatchAnswerer("recording", recording, 6, 3, 8, lambda text: None)
    channels = WorkerChannels([answerer], [0, 1], 2, 6, stop=_Never(), reps=[3])
    played = {}

    def play(slot):
        seats = [channels.queue(0), None, channels.queue(0), None]
        played[slot] = tralix_engine.play_match(slot, config, seats, channels.pipe(slot),
                                                seed=slot)[1]

    channels.run(play)
    synchronous = _Recording()
    network = SyncNetwork(synchronous)
    _, history = tralix_engine.play_match(7, config, [network] * 4, network, seed=3)
    expected = set()
    for tiles in (played[0], played[1]):
        planes, features, players, _ = tralix_rules.replay_full(6, [t for _, t in tiles])
        expected |= {(planes[i].tobytes(), features[i].tobytes())
                     for i in range(len(tiles)) if players[i] in (0, 2)}
    assert {(p.astype(np.uint8).tobytes(), g.astype(np.uint8).tobytes())
            for p, g in recording.seen} == expected
    assert [(p.astype(np.uint8).tobytes(), g.astype(np.uint8).tobytes())
            for p, g in synchronous.seen] == [
        (planes.tobytes(), features.tobytes())
        for planes, features in zip(*tralix_rules.replay_full(6, [t for _, t in history])[:2],
                                    strict=True)]


class _Never:
    def is_set(self):
        return False


@pytest.mark.parametrize("inference", ["worker", "server"])
def test_runs_of_every_kind_play_a_network_of_the_full_position(inference):
    """Self-play in search mode 1, greedy games against random players and the arena against
    the five-plane heuristic, each seat in its own layout: every game finished, the network's
    own checks held."""
    common = dict(settings=SearchSettings(dim=SIDE, sims_per_move=3, search_mode=1,
                                          record_root_values=True, skip_forced_moves=True),
                  workers=1, threads=2, inference=inference)
    for kind, networks, games in (("selfplay", ["harness_networks:full_consistent"], 3),
                                  ("random", ["harness_networks:full_consistent"], 3),
                                  ("arena", ["harness_networks:full_consistent", "heuristic"], 4),
                                  ("arena", ["heuristic", "harness_networks:full_consistent"], 4)):
        options = RunOptions(kind=kind, games=games, networks=networks, **common)
        results = list(Run(options))
        assert len(results) == games and all(r.status is GameStatus.FINISHED for r in results)
        if kind == "selfplay":
            for result in results:
                history = result.game.history
                assert len(result.root_values) == len(history)
                _, _, _, valid = tralix_rules.replay_full(SIDE, [t for _, t in history])
                for values, record, (_, tile), options_count in zip(
                        result.root_values, result.game.records, history, valid.sum(axis=1),
                        strict=True):
                    assert (values is None) == (options_count == 1)
                    if options_count == 1:
                        assert record == [(tile, 1.0)]


def test_matches_play_a_full_policy_as_its_five_plane_twin():
    """A network of the full position that looks only at the five planes plays the games
    its five-plane twin plays: greedily in Python, in the engine's match against a searching
    heuristic (its seat asked in layout 3) and in look-ahead targets."""
    heuristic = HeuristicNetwork(SIDE)

    def five(planes):
        return heuristic.evaluate(planes)[0]

    def full(planes, globals_):
        assert planes.shape[1] == FULL and globals_.shape[1] == 88
        return heuristic.evaluate(np.ascontiguousarray(planes[:, :5]))[0]

    twin = Policy(full, InputKind.FULL)
    for candidate, opponent in ((twin, five), (five, twin)):
        outcomes, expected = [], []
        score = greedy_match(candidate, opponent, SIDE, 8, opening=2, seed=4, outcomes=outcomes)
        reference = greedy_match(five, five, SIDE, 8, opening=2, seed=4, outcomes=expected)
        assert outcomes == expected and score.mean == reference.mean
    played, expected = [], []
    search_match(PolicyNetwork(twin), heuristic, 4, SIDE, 4, 2, seed=5, outcomes=played)
    search_match(PolicyNetwork(five), heuristic, 4, SIDE, 4, 2, seed=5, outcomes=expected)
    assert played == expected
    tiles = [t for _, t in json.loads(_random_line(SIDE, 21))["history"]]

    def value_five(planes):
        return np.exp(heuristic.evaluate(planes)[1])

    def value_full(planes, globals_):
        return value_five(np.ascontiguousarray(planes[:, :5]))

    assert lookahead_targets(value_full, SIDE, tiles, 0.1, InputKind.FULL) == \
        lookahead_targets(value_five, SIDE, tiles, 0.1)


def test_a_layout_a_network_does_not_take_is_refused_with_one_line(tmp_path, capsys):
    full = "harness_networks:full_consistent"
    for arguments, message in (
            (["selfplay", "--network", full, "--search-mode", "0", "--output",
              str(tmp_path / "games.jsonl.gz")],
             f"network {full} takes the full position (layout 3: 6 planes and 88 global "
             "features), which the self-play module's search (--search-mode 0) cannot send"),
            (["loop", str(tmp_path / "run"), "--search-mode", "0", "--inputs", "full"],
             "--inputs full: the self-play module's search (--search-mode 0) sends the five "
             "planes alone")):
        assert main([*arguments, "--side", str(SIDE)]) == 2
        err = capsys.readouterr().err
        assert message in err and len(err.strip().splitlines()) == 1, err
    assert not list(tmp_path.iterdir())
    # Layout 3 is the full position's own: a five-plane network asked for it in code.
    with pytest.raises(ValueError, match=r"--rep 3: network heuristic takes the five planes "
                                         r"\(layout 1 or 2: 5 planes, no global features\)"):
        RunOptions(kind="random", games=1, networks=["heuristic"],
                   settings=SearchSettings(dim=SIDE, rep=3)).settle()
    # A five-plane network handed the full position's bytes, and the reverse.
    for network, rep, message in ((HeuristicNetwork(SIDE), 3, "HeuristicNetwork takes the five"),
                                  (FullConsistent(SIDE), 1, "FullConsistent takes the full")):
        synchronous = SyncNetwork(network)
        with pytest.raises(RuntimeError) as failure:
            tralix_engine.play_match(1, SearchSettings(dim=SIDE, rep=rep),
                                     [synchronous, None, None, None], synchronous)
        assert isinstance(failure.value.__cause__, ValueError)
        assert f"network {message}" in str(failure.value.__cause__)
    events = []
    from tralix_harness.local.answering import load_answerer
    from tralix_harness.networks.names import NetworkName

    assert load_answerer(NetworkName.parse(full), SIDE, 1, 8, 1, _List(events), None) is None
    assert events[0][1] == (f"could not load network: network {full} takes the full position "
                            "(layout 3: 6 planes and 88 global features), not the five planes "
                            "(layout 1 or 2: 5 planes, no global features)")


class _List:
    def __init__(self, items):
        self.items = items

    def put(self, item):
        self.items.append(item)


def test_selfplay_stores_the_searched_values_of_a_full_network(tmp_path):
    output = tmp_path / "games.jsonl.gz"
    assert main(["selfplay", "--network", "harness_networks:full_consistent", "--side",
                 str(SIDE), "--games", "2", "--workers", "1", "--threads", "2", "--sims", "3",
                 "--search-mode", "2", "--gumbel-every-move", "--skip-forced-moves",
                 "--record-root-values", "--output", str(output)]) == 0
    games = list(read_games(output))
    assert len(games) == 2
    for game in games:
        assert game["settings"]["rep"] == 3 and game["settings"]["gumbel_every_move"]
        assert len(game["root_values"]) == len(game["history"])
    contents = read_data_file(output, SIDE, full=True)
    assert len(contents.games) == 2 and all(g.improved.all() for g in contents.games)


# ----- checkpoints and run folders of before and after -----------------------------------------


def test_a_run_folder_made_before_resumes_as_it_was(tmp_path):
    """A settings file without the full position's and the teacher's keys: the five planes,
    no score head, improved policies sharpened, the outcome alone as value target, a fixed
    window, no forced moves skipped; the folder is resumed, not refused."""
    from tralix_harness.learning.folder import RunFolder
    from tralix_harness.learning.settings import LoopSettings

    current = LoopSettings().as_dict()
    old = {k: v for k, v in current.items() if k not in ("gumbel_every_move", "skip_forced_moves")}
    old["model"] = {"blocks": 2, "channels": 16, "ownership": True}
    old["train"] = {k: v for k, v in current["train"].items()
                    if k not in ("sharpen_improved", "value_target_mix", "score_weight",
                                 "window_growth", "window_min_games")}
    folder = tmp_path / "run"
    folder.mkdir()
    text = json.dumps(old)
    (folder / "settings.json").write_text(text)
    settings = RunFolder(folder).open(lambda saved: (saved or LoopSettings()).with_changes({}))
    assert settings.model.inputs is InputKind.PLANES and not settings.model.score_head
    train = settings.train
    assert train.sharpen_improved and train.value_target_mix == 0 and train.window_growth == 0
    assert not settings.search.gumbel_every_move and not settings.search.skip_forced_moves
    assert settings.generation_search(2).rep == 1
    assert (folder / "settings.json").read_text() == text
    # A new run: the full position, searched values recorded, its requests in layout 3.
    new = LoopSettings().with_changes({})
    assert new.model.inputs is InputKind.FULL and new.model.score_head
    assert not new.train.sharpen_improved
    search = new.generation_search(2)
    assert search.rep == 3 and search.record_root_values
    # The self-play module's search sends the five planes: a network that sees them.
    assert LoopSettings().with_changes({"search_mode": 0}).model.inputs is InputKind.PLANES


def _five_and_full_positions(side, count, seed):
    """Positions of random games: their five planes, and their full position's planes and
    global features, float32."""
    rng = np.random.default_rng(seed)
    five, planes, features = [], [], []
    while len(five) < count:
        game = tralix_rules.Game(side)
        for _ in range(rng.integers(0, side * side)):
            if game.is_over():
                break
            game.apply(int(rng.choice(game.valid_tiles())))
        if not game.is_over():
            five.append(game.encode(1))
            full_planes, full_features = game.encode_full()
            planes.append(full_planes)
            features.append(full_features)
    return (np.stack(five).astype(np.float32), np.stack(planes).astype(np.float32),
            np.stack(features).astype(np.float32))


def test_an_old_checkpoint_plays_and_exports_beside_a_new_one_and_each_refuses_the_other_layout(
        tmp_path, capsys):
    pytest.importorskip("torch")
    pytest.importorskip("onnxruntime")
    import onnx

    from tralix_harness.learning.settings import TrainSettings
    from tralix_harness.learning.trainer import Trainer
    from tralix_harness.networks import checkpoint
    from tralix_harness.networks.exported import exported
    from tralix_harness.networks.model import TorchNetwork, TralixNet, load_model
    from tralix_harness.networks.runtime import INPUTS_KEY, OnnxNetwork
    from tralix_harness.networks.settings import ModelSettings

    # A checkpoint as the harness wrote them before the full position: no inputs, no score
    # head among its network settings.
    old = tmp_path / "old.pt"
    checkpoint.save({"side": SIDE, "model": {"blocks": 1, "channels": 8, "ownership": True},
                     "weights": TralixNet(ModelSettings(blocks=1, channels=8)).state_dict()},
                    old)
    new = tmp_path / "new.pt"
    Trainer(SIDE, ModelSettings(blocks=1, channels=8, inputs=InputKind.FULL, score_head=True),
            TrainSettings()).save(new)
    model, _ = load_model(old)
    assert model.inputs is InputKind.PLANES and model.global_bias is None and model.score is None
    five, planes, features = _five_and_full_positions(SIDE, 6, seed=1)
    for path, arrays, other in ((old, (five,), (planes, features)),
                                (new, (planes, features), (five,))):
        onnx_file = exported(path)
        proto = onnx.load(onnx_file)
        recorded = {entry.key: entry.value for entry in proto.metadata_props}
        torch_network, onnx_network = TorchNetwork(path, SIDE), OnnxNetwork(onnx_file, SIDE)
        kind = torch_network.inputs
        assert recorded[INPUTS_KEY] == kind.value == onnx_network.inputs.value
        assert len(proto.graph.input) == (2 if kind is InputKind.FULL else 1)
        for got, expected in zip(onnx_network.evaluate(*arrays), torch_network.evaluate(*arrays),
                                 strict=True):
            assert np.abs(got - expected).max() <= 1e-4
        for network in (torch_network, onnx_network):
            with pytest.raises(ValueError) as refused:
                network.evaluate(*other)
            assert str(refused.value) == (
                f"network {network.name} takes {kind.description}, not "
                f"{(InputKind.FULL if kind is InputKind.PLANES else InputKind.PLANES).description}")
    # An ONNX file exported before it recorded its inputs: the five planes, by its graph.
    proto = onnx.load(exported(old))
    kept = [entry for entry in proto.metadata_props if entry.key != INPUTS_KEY]
    del proto.metadata_props[:]
    proto.metadata_props.extend(kept)
    stripped = tmp_path / "stripped.onnx"
    onnx.save(proto, stripped)
    assert OnnxNetwork(stripped, SIDE).inputs is InputKind.PLANES
    # Each plays: against random players, in the self-play module's games, in an arena of
    # the two kinds.
    run = ["--side", str(SIDE), "--games", "4", "--workers", "1", "--threads", "2"]
    for command in (["eval-random", "--network", f"torch:{old}", "--backend", "torch"],
                    ["eval-random", "--network", f"onnx:{stripped}"],
                    ["eval-random", "--network", f"torch:{new}"],
                    ["selfplay", "--network", f"torch:{old}", "--output",
                     str(tmp_path / "old.jsonl.gz")],
                    ["arena", "--network", f"torch:{new}", "--baseline", f"torch:{old}",
                     "--match-sims", "2", "--search-mode", "1"],
                    ["arena", "--network", f"onnx:{stripped}", "--baseline", f"torch:{new}"]):
        assert main([*command, *run]) == 0, command
        out, err = capsys.readouterr()
        assert "over 4 games" in out or "4 games written" in err, (command, out, err)


def test_a_loop_of_the_full_network_with_every_new_option(tmp_path, capsys):
    pytest.importorskip("torch")
    from tralix_harness.learning.folder import read_metrics
    from tralix_harness.networks.model import load_model

    run = tmp_path / "run"
    control = ["--eval-games", "4", "--arena-games", "4", "--rating-games", "4",
               "--search-rating-games", "4", "--workers", "1", "--threads", "2",
               "--train-threads", "1"]
    assert main(["loop", str(run), "--side", str(SIDE), "--games", "3", "--first-games", "4",
                 "--sims", "4", "--first-sims", "2", "--steps", "4", "--blocks", "1",
                 "--channels", "8", "--batch-size", "16", "--gumbel-every-move",
                 "--skip-forced-moves", "--value-target-mix", "0.5", "--score-weight", "2",
                 "--sharpen-improved", "--window-growth", "0.5", "--window-min-games", "2",
                 "--playout-mix-anneal", "0.5", "--no-first-search", "--generations", "3",
                 *control]) == 0
    saved = json.loads((run / "settings.json").read_text())
    assert saved["model"]["inputs"] == "full" and saved["model"]["score_head"]
    assert saved["gumbel_every_move"] and saved["skip_forced_moves"]
    assert saved["train"]["value_target_mix"] == 0.5 and saved["train"]["window_growth"] == 0.5
    # The playout blend falls over the first half of the three generations.
    mixes = []
    for generation in (1, 2, 3):
        games = list(read_games(run / "games" / f"gen-{generation:04d}.jsonl.gz"))
        mixes.append({g["settings"]["playout_mix"] for g in games})
        for game in games:
            assert game["settings"]["rep"] == 3 and game["settings"]["gumbel_every_move"]
            history = game["history"]
            _, _, _, valid = tralix_rules.replay_full(SIDE, [t for _, t in history])
            for values, record, (_, tile), count in zip(game["root_values"], game["records"],
                                                         history, valid.sum(axis=1),
                                                         strict=True):
                assert (values is None) == (count == 1)
                if count == 1:
                    assert record == [[tile, 1.0]]
    assert all(len(mix) == 1 for mix in mixes)
    assert [mix.pop() for mix in mixes] == pytest.approx([0.5, 0.5 / 3, 0.0])
    metrics = read_metrics(run / "metrics.jsonl")
    # The window: half the games played so far, at least two.
    assert [m["window"]["games"] for m in metrics[1:]] == [2, 3, 5]
    for line in metrics[2:]:
        train = line["train"]
        assert np.isfinite([train["value_target_loss"], train["score_loss"]]).all()
        assert train["value_target_loss"] != train["value_loss"]
    model, _ = load_model(run / "checkpoints" / "gen-0003.pt", SIDE)
    assert model.inputs is InputKind.FULL and model.score is not None
    # Resumed: the window rebuilt from the checkpoint's sources grows on.
    assert main(["loop", str(run), "--generations", "4", *control]) == 0
    assert read_metrics(run / "metrics.jsonl")[4]["window"]["games"] == 6
    capsys.readouterr()
