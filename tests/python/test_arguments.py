"""Binding of the entry functions' arguments and conversion of the game id."""

import operator
import random

import pytest

import tralix_self_play as tsp

from support import PARAMETERS_OF, Config, Harness, LoggingConfig, smallest_valid_reply

FUNCTIONS = [tsp.play_training_game, tsp.play_test_game, tsp.play_test_against_random]


def _untouched():
    """Objects that record any use, to show that nothing ran after a binding error."""
    used = []

    class Spy:
        def __getattr__(self, name):
            used.append(name)
            raise AttributeError(name)

    return Spy(), used


# ----- too many positional arguments -----------------------------------------------------


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_too_many_positional_arguments(function):
    n = len(PARAMETERS_OF[function.__name__])
    spy, used = _untouched()
    with pytest.raises(TypeError) as info:
        function(*([spy] * (n + 1)))
    assert type(info.value) is TypeError
    assert str(info.value) == (
        f"{function.__name__}() takes {n} positional arguments but {n + 1} were given"
    )
    assert used == []


def test_too_many_positional_is_checked_before_keywords_and_id():
    spy, used = _untouched()
    with pytest.raises(TypeError) as info:
        tsp.play_training_game(1.5, spy, spy, spy, spy, spy, spy, bogus=1, id=2)
    assert str(info.value) == (
        "play_training_game() takes 5 positional arguments but 7 were given"
    )
    assert used == []


# ----- keywords ------------------------------------------------------------------------


def test_parameter_given_by_position_and_keyword():
    spy, used = _untouched()
    with pytest.raises(TypeError) as info:
        tsp.play_training_game(1, spy, spy, spy, spy, id=2)
    assert str(info.value) == "play_training_game() got multiple values for argument 'id'"
    with pytest.raises(TypeError) as info:
        tsp.play_test_game(1, spy, spy, spy, spy, baseline_queue=spy)
    assert str(info.value) == (
        "play_test_game() got multiple values for argument 'baseline_queue'"
    )
    assert used == []


def test_unexpected_keyword():
    spy, used = _untouched()
    with pytest.raises(TypeError) as info:
        tsp.play_test_against_random(1, spy, spy, spy, spy, model_queue=spy)
    assert str(info.value) == (
        "play_test_against_random() got an unexpected keyword argument 'model_queue'"
    )
    assert used == []


def test_keywords_are_checked_in_call_order():
    spy, used = _untouched()
    # The unknown keyword comes first: it is reported, not the duplicate.
    with pytest.raises(TypeError) as info:
        tsp.play_training_game(1, spy, bogus=1, config=spy)
    assert str(info.value) == "play_training_game() got an unexpected keyword argument 'bogus'"
    # The duplicate comes first: it is reported, not the unknown keyword.
    with pytest.raises(TypeError) as info:
        tsp.play_training_game(1, spy, config=spy, bogus=1)
    assert str(info.value) == "play_training_game() got multiple values for argument 'config'"
    assert used == []


def test_keyword_errors_come_before_missing_parameters():
    spy, used = _untouched()
    with pytest.raises(TypeError) as info:
        tsp.play_test_game(unknown=1)
    assert str(info.value) == "play_test_game() got an unexpected keyword argument 'unknown'"
    assert used == []


# ----- missing parameters --------------------------------------------------------------


@pytest.mark.parametrize(
    "given, message",
    [
        (4, "missing 1 required positional argument: 'pipe'"),
        (3, "missing 2 required positional arguments: 'inference_queue' and 'pipe'"),
        (
            2,
            "missing 3 required positional arguments: "
            "'result_queue', 'inference_queue', and 'pipe'",
        ),
        (
            0,
            "missing 5 required positional arguments: "
            "'id', 'config', 'result_queue', 'inference_queue', and 'pipe'",
        ),
    ],
)
def test_missing_parameters(given, message):
    spy, used = _untouched()
    args = [1, spy, spy, spy][:given]
    with pytest.raises(TypeError) as info:
        tsp.play_training_game(*args)
    assert str(info.value) == "play_training_game() " + message
    assert used == []


def test_missing_parameters_when_others_come_by_keyword():
    spy, used = _untouched()
    with pytest.raises(TypeError) as info:
        tsp.play_test_game(pipe=spy, id=3, model_queue=spy)
    assert str(info.value) == (
        "play_test_game() missing 3 required positional arguments: "
        "'config', 'result_queue', and 'baseline_queue'"
    )
    with pytest.raises(TypeError) as info:
        tsp.play_test_against_random(7, config=spy, pipe=spy, result_queue=spy)
    assert str(info.value) == (
        "play_test_against_random() missing 1 required positional argument: "
        "'inference_queue'"
    )
    assert used == []


# ----- keywords in any order -------------------------------------------------------------


def test_all_keywords_in_any_order_work_like_positional():
    names = ["id", "config", "result_queue", "inference_queue", "pipe"]
    for seed in range(3):
        order = names[:]
        random.Random(seed).shuffle(order)
        h = Harness(dim=5, reply=smallest_valid_reply)
        values = {
            "id": 40 + seed,
            "config": Config(dim=5),
            "result_queue": h.result_queue,
            "inference_queue": h.inference_queue,
            "pipe": h.pipe,
        }
        assert tsp.play_test_against_random(**{k: values[k] for k in order}) == 0
        assert [item[0] for item in h.results] == [40 + seed]
        assert all(req[0] == 40 + seed for _, req in h.requests)


def test_mixed_positional_and_keyword_call():
    h = Harness(dim=5)
    done = tsp.play_training_game(
        9, pipe=h.pipe, inference_queue=h.inference_queue, config=Config(dim=5),
        result_queue=h.result_queue,
    )
    assert done == 0
    assert len(h.results) == 1 and h.results[0][0] == 9


def test_test_game_by_keywords():
    h = Harness(dim=20, reply=smallest_valid_reply)
    score = tsp.play_test_game(
        baseline_queue=h.baseline_queue, pipe=h.pipe, model_queue=h.model_queue,
        result_queue=h.result_queue, config=Config(dim=20), id=5,
    )
    assert type(score) is float
    names = {name for name, _ in h.requests}
    assert names == {"model", "baseline"}


# ----- the id ------------------------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "given, expected",
    [(True, 1), (False, 0), (-(2**31), -(2**31)), (2**31 - 1, 2**31 - 1), (Index(77), 77)],
    ids=["True", "False", "min", "max", "index-object"],
)
def test_accepted_ids_tag_requests_and_results(given, expected):
    h = Harness(dim=5, reply=smallest_valid_reply)
    assert h.vs_random(Config(dim=5), id=given) == 0
    assert h.requests
    for _, request in h.requests:
        assert type(request[0]) is int and request[0] == expected
    assert len(h.results) == 1
    assert type(h.results[0][0]) is int and h.results[0][0] == expected

    t = Harness(dim=5)
    assert t.training(Config(dim=5, sims_per_move=1), id=given) == 0
    assert type(t.results[0][0]) is int and t.results[0][0] == expected
    assert all(req[0] == expected for _, req in t.requests)


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**64])
@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_id_out_of_range_is_an_overflow_error(function, value):
    config = LoggingConfig()
    h = Harness()
    args = [value, config, h.result_queue, h.inference_queue, h.pipe]
    if function is tsp.play_test_game:
        args.insert(4, h.baseline_queue)
    with pytest.raises(OverflowError):
        function(*args)
    assert config.log == [] and h.requests == []


def test_float_id_is_a_type_error_naming_the_argument():
    try:
        operator.index(1.0)
    except TypeError as e:
        conversion_message = str(e)
    config = LoggingConfig()
    h = Harness()
    with pytest.raises(TypeError) as info:
        h.vs_random(config, id=1.0)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'id': ")
    assert str(info.value) == "argument 'id': " + conversion_message
    assert config.log == [] and h.requests == []


@pytest.mark.parametrize("value", ["3", None, 2.5, [1]])
def test_non_integer_ids_are_type_errors(value):
    h = Harness()
    with pytest.raises(TypeError) as info:
        h.training(Config(), id=value)
    assert str(info.value).startswith("argument 'id': ")
    assert h.requests == []


def test_index_raising_type_error_is_reported_against_the_argument():
    class BadIndex:
        def __index__(self):
            raise TypeError("no index here")

    with pytest.raises(TypeError) as info:
        Harness().vs_random(Config(), id=BadIndex())
    assert str(info.value) == "argument 'id': no index here"


def test_index_returning_a_non_int_is_reported_against_the_argument():
    class StrIndex:
        def __index__(self):
            return "3"

    try:
        operator.index(StrIndex())
    except TypeError as e:
        conversion_message = str(e)
    with pytest.raises(TypeError) as info:
        Harness().vs_random(Config(), id=StrIndex())
    assert str(info.value) == "argument 'id': " + conversion_message


def test_index_raising_other_errors_passes_them_through():
    error = ValueError("index refused")

    class BadIndex:
        def __index__(self):
            raise error

    config = LoggingConfig()
    with pytest.raises(ValueError) as info:
        Harness().vs_random(config, id=BadIndex())
    assert info.value is error
    assert config.log == []
