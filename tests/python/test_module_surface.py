"""What the Python harness sees of the module itself: names, doc strings, signatures, the
identity of the module across imports and the Python types of the results."""

import importlib
import inspect
import shutil
import subprocess
import sys
import types

import pytest

import tralix_engine as te
import tralix_self_play as tsp

from support import PARAMETERS_OF as PARAMETERS
from support import Config, Harness, smallest_valid_reply

FUNCTION_NAMES = ["play_training_game", "play_test_game", "play_test_against_random"]



@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
@pytest.mark.parametrize("module", [tsp, te])
def test_the_initialiser_is_the_only_exported_symbol(module):
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True,
        check=True,
    ).stdout
    names = [line.split()[-1] for line in listing.splitlines()]
    assert names == [f"PyInit_{module.__name__}"]


def test_the_engine_lists_its_functions():
    assert te.__all__ == ["play_training_game", "play_match", "search_position"]
    assert inspect.signature(te.play_match).parameters["opening"].default == ()
    assert inspect.signature(te.search_position).parameters["seed"].default is None


def test_all_lists_the_three_functions_in_creation_order():
    assert type(tsp.__all__) is list
    assert tsp.__all__ == FUNCTION_NAMES


def test_module_docstring_is_the_empty_string():
    assert tsp.__doc__ == ""
    assert tsp.__name__ == "tralix_self_play"


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_functions_are_builtins_bound_to_the_module(name):
    function = getattr(tsp, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "tralix_self_play"
    assert function.__self__ is tsp


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_text_signature_lists_the_parameters(name):
    function = getattr(tsp, name)
    assert function.__text_signature__ == "(" + ", ".join(PARAMETERS[name]) + ")"
    signature = inspect.signature(function)
    assert list(signature.parameters) == PARAMETERS[name]
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_doc_strings():
    assert tsp.play_training_game.__doc__ == "Works with Pytorch model to generate self-play data"
    assert tsp.play_test_game.__doc__ is None
    assert tsp.play_test_against_random.__doc__ is None


def test_second_import_after_removal_gives_the_same_module():
    original = sys.modules["tralix_self_play"]
    try:
        del sys.modules["tralix_self_play"]
        again = importlib.import_module("tralix_self_play")
        assert again is original
        assert again.play_training_game is original.play_training_game
        assert again.__all__ is original.__all__
    finally:
        sys.modules["tralix_self_play"] = original


def test_import_statement_twice_gives_the_same_module():
    import tralix_self_play as first
    import tralix_self_play as second

    assert first is second is tsp


def test_training_game_result_is_an_int_not_a_bool():
    done = Harness(dim=5).training(Config(dim=5))
    assert type(done) is int and done == 0
    failed = Harness(dim=5, reply=lambda h, r: None).training(Config(dim=5))
    assert type(failed) is int and failed == 1


def test_game_against_random_result_is_an_int_not_a_bool():
    done = Harness(dim=5, reply=smallest_valid_reply).vs_random(Config(dim=5))
    assert type(done) is int and done == 0
    failed = Harness(dim=5, reply=lambda h, r: None).vs_random(Config(dim=5))
    assert type(failed) is int and failed == 1


def test_test_game_result_is_a_float():
    score = Harness(dim=20, reply=smallest_valid_reply).test_game(Config(dim=20))
    assert type(score) is float
