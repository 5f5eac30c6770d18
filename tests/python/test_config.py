"""Reading of the configuration object, fatal stops for unusable configurations and board
sides, and the conversions of the eight fields (made observable through the games)."""

import math
import re

import pytest

from support import (
    FIELDS,
    Config,
    Harness,
    LoggingConfig,
    expect_panic,
    forced_line_reply,
    panic_type,
    smallest_valid_reply,
)


def _run(kind, config, harness=None):
    h = harness or Harness(dim=5, reply=smallest_valid_reply)
    return getattr(h, kind)(config)


KINDS = ["training", "vs_random", "test_game"]


# ----- the exception type ---------------------------------------------------------------


def test_panic_exception_derives_directly_from_base_exception():
    cls = panic_type()
    assert cls.__name__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    # Created once: every fatal stop raises the same class.
    assert panic_type() is cls


def test_config_none_is_a_fatal_stop_not_an_ordinary_error():
    h = Harness()
    caught_by_ordinary_handler = False
    try:
        try:
            h.training(None)
        except Exception:  # noqa: BLE001 - must not catch the fatal stop
            caught_by_ordinary_handler = True
    except BaseException as e:  # noqa: BLE001
        assert type(e).__name__ == "PanicException"
        assert "AttributeError" in e.args[0]
        assert "dim" in e.args[0]
    assert not caught_by_ordinary_handler
    assert h.requests == [] and h.results == []


# ----- order of the reads ------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_fields_are_read_once_each_in_order(kind):
    dim = 20 if kind == "test_game" else 5
    config = LoggingConfig(dim=dim)
    h = Harness(dim=dim, reply=smallest_valid_reply)
    _run(kind, config, h)
    assert config.log == list(FIELDS)


def test_properties_are_read_like_attributes():
    reads = []

    class PropertyConfig:
        def _field(name):  # noqa: N805 - a property factory
            def get(self):
                reads.append(name)
                return Config(dim=5).__dict__[name]

            return property(get)

        dim = _field("dim")
        rep = _field("rep")
        sims_per_move = _field("sims_per_move")
        sample_moves = _field("sample_moves")
        c_base = _field("c_base")
        c_init = _field("c_init")
        dirichlet_alpha = _field("dirichlet_alpha")
        exploration_fraction = _field("exploration_fraction")

    h = Harness(dim=5)
    assert h.training(PropertyConfig()) == 0
    assert reads == list(FIELDS)


@pytest.mark.parametrize("missing_index", range(len(FIELDS)))
def test_missing_attribute_stops_after_reading_the_earlier_ones(missing_index):
    name = FIELDS[missing_index]
    config = LoggingConfig(missing=[name], dim=5)
    h = Harness(dim=5)
    e = expect_panic(h.training, config)
    assert "AttributeError" in e.args[0]
    assert name in e.args[0]
    assert config.log == list(FIELDS[: missing_index + 1])
    assert h.requests == [] and h.results == []


def test_fatal_stop_is_reported_on_standard_error(capfd):
    e = expect_panic(Harness().vs_random, LoggingConfig(missing=["rep"]))
    captured = capfd.readouterr()
    assert "AttributeError" in captured.err
    assert "rep" in captured.err
    # The report names a source location, file and line.
    assert re.search(r"\S+:\d+", captured.err)
    assert captured.out == ""
    assert e.args[0]


# ----- conversions that fail -------------------------------------------------------------


@pytest.mark.parametrize(
    "field, value",
    [
        ("dim", 20.0),
        ("dim", "20"),
        ("dim", None),
        ("dim", -1),
        ("dim", 2**32),
        ("rep", 1.0),
        ("rep", -2),
        ("sims_per_move", None),
        ("sims_per_move", 2**32),
        ("sample_moves", -1),
        ("sample_moves", 2**64),
        ("c_base", "19652"),
        ("c_base", None),
        ("c_init", "1.25"),
        ("dirichlet_alpha", None),
        ("exploration_fraction", "0.25"),
        ("exploration_fraction", [0.25]),
        ("c_base", 10**400),
    ],
)
@pytest.mark.parametrize("kind", KINDS)
def test_unconvertible_field_is_a_fatal_stop_naming_it(kind, field, value):
    config = LoggingConfig(**{"dim": 5, field: value})
    h = Harness(dim=5)
    e = expect_panic(getattr(h, kind), config)
    assert f"failed to extract field Config.{field}" in e.args[0]
    assert config.log == list(FIELDS[: FIELDS.index(field) + 1])
    assert h.requests == [] and h.results == []


def test_float_with_failing_conversion_is_a_fatal_stop():
    class BadFloat:
        def __float__(self):
            raise ValueError("not today")

    e = expect_panic(Harness().training, Config(c_init=BadFloat()))
    assert "failed to extract field Config.c_init" in e.args[0]


def test_next_call_works_after_each_fatal_stop():
    bad = [
        None,
        Config(dim=20.0),
        Config(dim=-1),
        Config(sims_per_move=2**32),
        LoggingConfig(missing=["c_base"]),
        Config(rep=3),
        Config(dim=3),
    ]
    for config in bad:
        expect_panic(Harness().vs_random, config)
        h = Harness(dim=5)
        assert h.training(Config(dim=5)) == 0
        assert len(h.results) == 1


# ----- integer fields that convert ---------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_integer_fields_accept_index_objects_and_bools():
    # dim through __index__, rep given as True (1), sims through __index__.
    h = Harness(dim=7)
    config = Config(dim=Index(7), rep=True, sims_per_move=Index(1), sample_moves=Index(2))
    assert h.training(config) == 0
    first = h.requests[0][1][1]
    assert len(first) == 5 and len(first[0]) == 7 and len(first[0][0]) == 7


def test_dim_true_reads_as_side_one():
    e = expect_panic(Harness().vs_random, Config(dim=True))
    assert "failed to extract" not in e.args[0]
    assert re.search(r"(?<![0-9.])1(?![0-9.])", e.args[0]), e.args[0]


def test_largest_sample_moves_samples_every_move():
    h = Harness(dim=5)
    assert h.training(Config(dim=5, sample_moves=2**32 - 1)) == 0
    assert len(h.results) == 1


# ----- board sides -------------------------------------------------------------------------


@pytest.mark.parametrize("side", [0, 1, 2, 3, 257, 1000, 2**32 - 1])
@pytest.mark.parametrize("kind", ["training", "vs_random"])
def test_unsupported_sides_are_fatal_stops_naming_the_side(kind, side):
    h = Harness()
    e = expect_panic(getattr(h, kind), Config(dim=side))
    assert str(side) in e.args[0]
    assert "failed to extract" not in e.args[0]
    assert h.requests == [] and h.results == []


@pytest.mark.parametrize("side", [0, 3, 257])
def test_test_game_ignores_the_configured_side(side):
    h = Harness(dim=20, reply=smallest_valid_reply)
    score = h.test_game(Config(dim=side))
    assert type(score) is float
    assert all(len(req[1][0]) == 20 for _, req in h.requests)


def test_smallest_side_plays_a_whole_game():
    h = Harness(dim=4)
    assert h.training(Config(dim=4)) == 0
    history, records, outcome = h.results[0][1]
    assert history and len(history) == len(records)
    v = Harness(dim=4, reply=smallest_valid_reply)
    assert v.vs_random(Config(dim=4)) == 0


def test_largest_side_is_accepted():
    # Only the first request is needed to show that the board was created.
    def refuse(harness, request):
        raise ConnectionError("no network")

    h = Harness(dim=256, reply=refuse)
    assert h.vs_random(Config(dim=256)) == 1
    assert len(h.requests) == 1
    planes = h.requests[0][1][1]
    assert len(planes) == 5 and len(planes[4]) == 256 and len(planes[4][255]) == 256


# ----- representation ---------------------------------------------------------------------


@pytest.mark.parametrize("rep", [0, 3, 7, 2**32 - 1])
@pytest.mark.parametrize("kind", KINDS)
def test_unknown_representation_stops_at_the_first_evaluation(kind, rep):
    config = LoggingConfig(dim=5, rep=rep)
    h = Harness(dim=5)
    e = expect_panic(getattr(h, kind), config)
    assert e.args[0] == "Invalid representation type"
    # The field was read without complaint along with all the others ...
    assert config.log == list(FIELDS)
    # ... and the stop came before anything was sent.
    assert h.requests == [] and h.results == []


# ----- float fields, made observable -------------------------------------------------------
#
# On the first move of a training game the root has not been visited, so the exploration
# weight is sqrt(0) * (ln((c_base + 1) / c_base) + c_init). It is 0 for ordinary constants,
# but NaN when c_base is 0 or c_init is infinite: then every child's score is NaN, the first
# simulation fails and the game is abandoned after the single root evaluation.


@pytest.mark.parametrize("c_base", [5, 0.3, 19652, True])
def test_c_base_numbers_of_any_kind_are_accepted(c_base):
    h = Harness(dim=5)
    assert h.training(Config(dim=5, c_base=c_base)) == 0
    assert len(h.results) == 1


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize("c_base", [0, 0.0, False, Number(0.0)], ids=repr)
def test_zero_c_base_makes_the_first_search_fail(c_base):
    h = Harness(dim=5)
    assert h.training(Config(dim=5, c_base=c_base, sims_per_move=3)) == 1
    assert len(h.requests) == 1 and h.results == []


def test_c_base_number_object_is_used():
    h = Harness(dim=5)
    assert h.training(Config(dim=5, c_base=Number(19652.0))) == 0


def test_c_init_is_rounded_to_single_precision():
    # 1e38 is a finite single-precision value; 1e39 is not and becomes infinite.
    ok = Harness(dim=5)
    assert ok.training(Config(dim=5, c_init=1e38)) == 0
    assert len(ok.results) == 1
    broken = Harness(dim=5)
    assert broken.training(Config(dim=5, c_init=1e39)) == 1
    assert len(broken.requests) == 1 and broken.results == []


def test_nan_c_init_makes_the_first_search_fail():
    h = Harness(dim=5)
    assert h.training(Config(dim=5, c_init=math.nan)) == 1
    assert len(h.requests) == 1 and h.results == []


def test_search_constants_are_not_used_by_evaluation_games():
    config = Config(dim=5, c_base=0, c_init=math.nan, dirichlet_alpha=0, sims_per_move=0)
    h = Harness(dim=5, reply=smallest_valid_reply)
    assert h.vs_random(config) == 0
    t = Harness(dim=20, reply=smallest_valid_reply)
    assert type(t.test_game(config)) is float


@pytest.mark.parametrize("alpha", [0, 0.0, -1.0, math.nan, 1e-50, Number(0.0)], ids=repr)
def test_unusable_noise_concentration_stops_at_the_first_root(alpha):
    # 1e-50 is positive as a double but rounds to 0 in single precision.
    h = Harness(dim=5)
    e = expect_panic(h.training, Config(dim=5, dirichlet_alpha=alpha))
    assert e.args[0] == "Noise should be generated ok: AlphaTooSmall"
    assert len(h.requests) == 1 and h.results == []


def test_tiny_but_representable_concentration_is_accepted():
    # 1e-30 is a positive single-precision value: no stop, and a whole game.
    h = Harness(dim=5)
    assert h.training(Config(dim=5, dirichlet_alpha=1e-30, sims_per_move=1)) == 0
    h = Harness(dim=5)
    assert h.training(Config(dim=5, dirichlet_alpha=Number(0.3))) == 0


def test_zero_concentration_is_never_checked_without_a_two_child_root():
    h = Harness(dim=5, reply=forced_line_reply(5))
    assert h.training(Config(dim=5, dirichlet_alpha=0.0)) == 0
    assert len(h.results) == 1


@pytest.mark.parametrize(
    "field, value, cause",
    [
        ("dim", 2**32, "OverflowError('out of range integral type conversion attempted')"),
        ("sample_moves", -1, "OverflowError("),
        ("dim", 20.0, "TypeError("),
        ("c_base", "1", "TypeError("),
    ],
)
def test_fatal_stop_message_names_the_conversion_error(field, value, cause):
    e = expect_panic(Harness(dim=5).training, Config(**{field: value}))
    assert "TypeError('failed to extract field Config." in e.args[0]
    assert ", cause: " + cause in e.args[0]
