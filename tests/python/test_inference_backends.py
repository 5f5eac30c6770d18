"""The backends of a trained network: its ONNX file run by ONNX Runtime and its batch-norm-folded
PyTorch forms give the checkpoint's own logits on random positions of two sides (in bfloat16,
nearly), for a network of the five planes and one of the full position; an ONNX file that is
missing, stale or damaged is exported again or refused, never used; ONNX Runtime asked for and
missing is exit status 2; self-play with an exported network imports no torch, in any process;
and the bfloat16 backend is what the playing processes run."""

import copy
import dataclasses
import logging
import os
import queue
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

torch = pytest.importorskip("torch")
onnx = pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")

import tralix_rules  # noqa: E402
from tralix_harness.base.settings import SearchSettings  # noqa: E402
from tralix_harness.cli import main  # noqa: E402
from tralix_harness.data.records import read_games  # noqa: E402
from tralix_harness.local.answering import load_answerer  # noqa: E402
from tralix_harness.local.options import RunOptions  # noqa: E402
from tralix_harness.networks import checkpoint  # noqa: E402
from tralix_harness.networks.backend import Backend, settle  # noqa: E402
from tralix_harness.networks.errors import BackendUnavailable, CheckpointError  # noqa: E402
from tralix_harness.networks.exported import exported, onnx_path  # noqa: E402
from tralix_harness.networks.inputs import InputKind  # noqa: E402
from tralix_harness.networks.loading import load_network  # noqa: E402
from tralix_harness.networks.model import TorchNetwork, TralixNet, fold_batch_norm  # noqa: E402
from tralix_harness.networks.names import NetworkKind, NetworkName  # noqa: E402
from tralix_harness.networks.runtime import OnnxNetwork  # noqa: E402
from tralix_harness.networks.settings import ModelSettings  # noqa: E402

TINY = ModelSettings(blocks=2, channels=16)
TOLERANCE = 1e-4  # absolute, on the logits
HARNESS = Path(__file__).resolve().parents[2] / "harness"


@pytest.fixture(autouse=True)
def one_thread():
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)


def _trained_like(seed, inputs=InputKind.PLANES):
    """A tiny network whose batch norms are far from their initial identity (random scales,
    shifts and running statistics), as after training: folding them must be exact. A network
    of the full position gets global-feature weights that matter (they start at zero)."""
    generator = torch.Generator().manual_seed(seed)
    model = TralixNet(dataclasses.replace(TINY, inputs=inputs))
    with torch.no_grad():
        for module in model.modules():
            if isinstance(module, torch.nn.BatchNorm2d):
                size = module.num_features
                module.weight.copy_(torch.rand(size, generator=generator) * 1.5 + 0.25)
                module.bias.copy_(torch.randn(size, generator=generator) * 0.5)
                module.running_mean.copy_(torch.randn(size, generator=generator) * 0.5)
                module.running_var.copy_(torch.rand(size, generator=generator) * 2 + 0.1)
        if model.global_bias is not None:
            model.global_bias.weight.copy_(
                torch.randn(model.global_bias.weight.shape, generator=generator) * 0.1)
    return model.eval()


def _save(model, path, side=6):
    checkpoint.save({"side": side, "model": model.settings.as_dict(),
                     "weights": model.state_dict()}, path)
    return path


def _positions(side, count, seed, inputs=InputKind.PLANES):
    """Planes of positions met in games of uniformly random moves, from the first tile to
    late in the game; for the full position a pair, the planes and the global features."""
    rng = np.random.default_rng(seed)
    planes = []
    while len(planes) < count:
        game = tralix_rules.Game(side)
        stop = rng.integers(0, side * side)
        for _ in range(stop):
            if game.is_over():
                break
            game.apply(int(rng.choice(game.valid_tiles())))
        if not game.is_over():
            planes.append(game.encode_full() if inputs is InputKind.FULL else game.encode(1))
    if inputs is InputKind.FULL:
        return tuple(np.stack([p[k] for p in planes]).astype(np.float32) for k in (0, 1))
    return np.stack(planes).astype(np.float32)


def _arrays(positions):
    """The positions as the arguments of a network's evaluate."""
    return positions if isinstance(positions, tuple) else (positions,)


def _reference(model, planes):
    with torch.inference_mode():
        policy, value = model(*(torch.from_numpy(a) for a in _arrays(planes)))
    return policy.numpy(), value.numpy()


@pytest.fixture(scope="module", params=list(InputKind))
def network(tmp_path_factory, request):
    """A checkpoint of a tiny network of each input kind and its ONNX file, exported once for
    both sides."""
    model = _trained_like(seed=1, inputs=request.param)
    path = _save(model, tmp_path_factory.mktemp("network") / "tiny.pt")
    return model, path, exported(path)


@pytest.mark.parametrize("side", [5, 9])
def test_every_backend_gives_the_checkpoints_logits(network, side):
    model, path, onnx_file = network
    positions = _positions(side, 24, seed=side, inputs=model.inputs)
    planes = _arrays(positions)[0]
    expected = _reference(model, positions)
    backends = {"onnxruntime": OnnxNetwork(onnx_file, side),
                "torch, batch norms folded": TorchNetwork(path, side),
                "torch, channels last": TorchNetwork(path, side, channels_last=True)}
    for name, backend in backends.items():
        assert backend.inputs is model.inputs, name
        # The whole batch, and one position alone: batch and side are free in every form.
        for chosen in (slice(None), slice(3, 4)):
            policy, value = backend.evaluate(*(a[chosen] for a in _arrays(positions)))
            assert policy.shape == (len(planes[chosen]), side * side), name
            assert value.shape == (len(planes[chosen]), 4), name
            assert np.abs(policy - expected[0][chosen]).max() <= TOLERANCE, name
            assert np.abs(value - expected[1][chosen]).max() <= TOLERANCE, name
    # In bfloat16 the logits stay close (within 0.01 here) and are float32 again, yet
    # differ from float32's: the arithmetic really was bfloat16.
    policy, value = TorchNetwork(path, side, channels_last=True, bfloat16=True).evaluate(
        *_arrays(positions))
    assert policy.dtype == value.dtype == np.float32
    error = max(np.abs(policy - expected[0]).max(), np.abs(value - expected[1]).max())
    assert TOLERANCE < error <= 0.03
    # Batch norms that matter (else folding them would prove nothing): with their running
    # statistics reset the logits move well beyond the tolerance.
    reset = copy.deepcopy(model)
    for module in reset.modules():
        if isinstance(module, torch.nn.BatchNorm2d):
            module.reset_running_stats()
    assert np.abs(_reference(reset, positions)[0] - expected[0]).max() > 100 * TOLERANCE
    folded = fold_batch_norm(model)
    assert not any(isinstance(m, torch.nn.BatchNorm2d) for m in folded.modules())
    graph = onnx.load(onnx_file).graph
    assert "BatchNormalization" not in {n.op_type for n in graph.node}
    if model.inputs is InputKind.FULL:
        # Global features that matter: other ones move the logits well beyond the tolerance.
        planes_only, features = positions
        moved = _reference(model, (planes_only, 1.0 - features))
        assert np.abs(moved[0] - expected[0]).max() > 100 * TOLERANCE
        assert [entry.name for entry in graph.input] == ["planes", "globals"]


def test_a_missing_or_stale_onnx_file_is_exported_again(tmp_path, caplog):
    caplog.set_level(logging.INFO, logger="tralix_harness")
    path = _save(_trained_like(seed=2), tmp_path / "gen.pt")
    planes = _positions(6, 8, seed=3)

    def exported_logits():
        return OnnxNetwork(exported(path), 6).evaluate(planes)[0]

    # Missing: exported, with a line naming both files.
    first = exported_logits()
    assert onnx_path(path).is_file() and str(path) in caplog.text
    assert "no ONNX file yet" in caplog.text
    caplog.clear()
    # Up to date: used as it is.
    written = onnx_path(path).stat().st_mtime_ns
    exported_logits()
    assert onnx_path(path).stat().st_mtime_ns == written and not caplog.text

    # A newer checkpoint (the loop saved the next weights): exported again, with a warning.
    newer = _trained_like(seed=4)
    _save(newer, path)
    os.utime(onnx_path(path), ns=(written - 10**9, written - 10**9))
    second = exported_logits()
    assert "older than the checkpoint" in caplog.text and str(onnx_path(path)) in caplog.text
    assert np.abs(second - _reference(newer, planes)[0]).max() <= TOLERANCE
    assert np.abs(second - first).max() > 0.01
    caplog.clear()

    # Other checkpoint contents under an older date (a copy keeping its timestamps): told
    # apart by the digest the ONNX file records.
    older = _trained_like(seed=5)
    _save(older, path)
    stamp = onnx_path(path).stat().st_mtime_ns - 10**9
    os.utime(path, ns=(stamp, stamp))
    third = exported_logits()
    assert "other checkpoint contents" in caplog.text
    assert np.abs(third - _reference(older, planes)[0]).max() <= TOLERANCE

    # The torch backend leaves names alone; the ONNX Runtime one names the file it runs.
    name = NetworkName.torch(path)
    assert settle([name], Backend.TORCH).names == (name,)
    assert settle([name], Backend.ONNXRUNTIME).names == (NetworkName.onnx(onnx_path(path)),)
    assert settle([NetworkName(NetworkKind.HEURISTIC)], Backend.ONNXRUNTIME).names[0].kind \
        is NetworkKind.HEURISTIC


@pytest.mark.parametrize("damage", ["garbage", "cut short", "empty"])
def test_a_damaged_onnx_file_is_an_error_naming_it(tmp_path, capsys, damage):
    path = _save(_trained_like(seed=6), tmp_path / "gen.pt")
    target = exported(path)
    content = target.read_bytes()
    target.write_bytes({"garbage": b"not a network at all" * 40,
                        "cut short": content[:len(content) // 2], "empty": b""}[damage])
    with pytest.raises(CheckpointError, match=f"ONNX file {target}"):
        exported(path)
    commands = [["eval-random", "--games", "1", "--workers", "1", "--threads", "1"],
                ["play", "--no-browser"]]
    for command in commands:
        for network in (f"torch:{path}", f"onnx:{target}"):
            assert main([*command, "--network", network, "--backend", "onnxruntime",
                         "--side", "6"]) == 2
            err = capsys.readouterr().err
            assert f"ONNX file {target} is damaged" in err and len(err.strip().splitlines()) == 1
    assert target.read_bytes() != content  # refused, not replaced behind the user's back


def test_onnxruntime_asked_for_and_missing_is_exit_status_2(tmp_path, capsys, monkeypatch):
    path = _save(_trained_like(seed=7), tmp_path / "gen.pt")
    monkeypatch.setitem(sys.modules, "onnxruntime", None)  # any import of it fails
    assert Backend.AUTO.resolve() is Backend.TORCH
    commands = [["selfplay", "--network", f"torch:{path}", "--output",
                 str(tmp_path / "games.jsonl.gz")],
                ["eval-random", "--network", f"torch:{path}"],
                ["play", "--network", f"torch:{path}", "--no-browser"],
                ["loop", str(tmp_path / "run")]]
    for command in commands:
        assert main([*command, "--backend", "onnxruntime"]) == 2, command
        err = capsys.readouterr().err
        assert "ONNX Runtime is not installed" in err and "pip install onnxruntime" in err
    assert not (tmp_path / "run").exists() and not (tmp_path / "games.jsonl.gz").exists()
    assert not onnx_path(path).exists()


def test_a_checkpoint_that_cannot_be_exported_says_what_to_install(tmp_path, capsys, caplog,
                                                                   monkeypatch):
    path = _save(_trained_like(seed=9), tmp_path / "gen.pt")
    monkeypatch.setitem(sys.modules, "onnx", None)  # the exporter's package is missing
    with pytest.raises(BackendUnavailable, match=r"pip install 'tralix-self-play\[train\]'"):
        exported(path)
    assert main(["eval-random", "--network", f"torch:{path}", "--backend", "onnxruntime",
                 "--games", "1", "--workers", "1", "--threads", "1", "--side", "6"]) == 2
    assert "--backend torch" in capsys.readouterr().err
    assert not onnx_path(path).exists()
    # auto keeps the checkpoint on PyTorch instead, with a warning, and says so to the nodes
    # of a cluster.
    caplog.set_level(logging.WARNING, logger="tralix_harness")
    options = RunOptions(kind="selfplay", games=1, settings=SearchSettings(dim=6),
                         networks=[f"torch:{path}"], backend="auto").settle()
    assert options.names == (NetworkName.torch(path),) and options.backend is Backend.TORCH
    assert f"torch:{path} runs on PyTorch" in caplog.text


@pytest.mark.parametrize("inference", ["worker", "server"])
def test_the_bfloat16_backend_reaches_the_processes_that_play(tmp_path, inference):
    path = _save(_trained_like(seed=10), tmp_path / "gen.pt")
    options = RunOptions(kind="selfplay", games=2, settings=SearchSettings(dim=6),
                         networks=[f"torch:{path}"], backend="torch-bfloat16").settle()
    assert options.backend is Backend.TORCH_BFLOAT16 and str(options.names[0]) == f"torch:{path}"
    loaded = load_network(options.names[0], 6, backend=options.backend)
    assert {p.dtype for p in loaded.model.parameters()} == {torch.bfloat16}
    # A worker's own network and a server's load it so from the run's settled backend.
    answerer = load_answerer(options.names[0], 6, 1, 8, 1, queue.SimpleQueue(), None,
                             options.backend)
    assert answerer is not None
    assert {p.dtype for p in answerer.network.model.parameters()} == {torch.bfloat16}
    output = tmp_path / "games.jsonl.gz"
    assert main(["selfplay", "--network", f"torch:{path}", "--backend", "torch-bfloat16",
                 "--inference", inference, "--games", "3", "--workers", "2", "--threads", "2",
                 "--side", "6", "--sims", "4", "--output", str(output)]) == 0
    games = list(read_games(output))
    assert len(games) == 3 and all(g["settings"]["network"] == f"torch:{path}" for g in games)
    assert not onnx_path(path).exists()


@pytest.mark.parametrize("trained, played", [(20, 10), (10, 20)])
def test_a_network_plays_a_side_it_was_not_trained_on_and_says_so(tmp_path, capsys, trained,
                                                                   played):
    path = _save(_trained_like(seed=10), tmp_path / "gen.pt", side=trained)
    run = ["--games", "4", "--workers", "1", "--threads", "2"]
    # The checkpoint on PyTorch, then on ONNX Runtime (exported, recording its side), and
    # the exported file by its own name; against random players and in the arena.
    for network, command, backend, file in (
            (f"torch:{path}", "eval-random", "torch", f"checkpoint {path}"),
            (f"torch:{path}", "arena", "onnxruntime", f"checkpoint {path}"),
            (f"onnx:{onnx_path(path)}", "eval-random", "auto", f"ONNX file {onnx_path(path)}")):
        assert main([command, *run, "--side", str(played), "--network", network,
                     "--backend", backend]) == 0, (command, backend)
        out, err = capsys.readouterr()
        assert err.count(f"{file} was trained on side {trained}; playing it on side "
                         f"{played}") == 1
        assert "over 4 games" in out
    # On its own side it plays without a word about sides.
    assert main(["eval-random", *run, "--side", str(trained), "--network", f"torch:{path}"]) == 0
    out, err = capsys.readouterr()
    assert "over 4 games" in out and "trained on side" not in err


def test_an_onnx_file_of_one_side_is_refused_on_another(tmp_path, capsys):
    path = tmp_path / "fixed.onnx"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(fold_batch_norm(_trained_like(seed=11)),
                          (torch.zeros(1, tralix_rules.feature_count, 6, 6),), path,
                          dynamo=False, input_names=["planes"], output_names=["policy", "value"],
                          dynamic_axes={"planes": {0: "batch"}, "policy": {0: "batch"},
                                        "value": {0: "batch"}}, opset_version=17)
    run = ["--games", "4", "--workers", "1", "--threads", "2", "--network", f"onnx:{path}"]
    assert main(["eval-random", *run, "--side", "6"]) == 0
    assert "over 4 games" in capsys.readouterr().out
    for command in ("eval-random", "arena"):
        assert main([command, *run, "--side", "7"]) == 2
        err = capsys.readouterr().err
        assert len(err.strip().splitlines()) == 1
        assert f"ONNX file {path}" in err and "plays no boards of side 7" in err


@pytest.mark.parametrize("inference", ["worker", "server"])
def test_self_play_with_an_exported_network_imports_no_torch(tmp_path, inference):
    path = _save(_trained_like(seed=8), tmp_path / "gen.pt")
    exported(path)
    # A torch that marks every process importing it and then fails, first on the path of the
    # command and of every process it starts.
    fake = tmp_path / "no-torch" / "torch"
    fake.mkdir(parents=True)
    marks = tmp_path / "torch-imports"
    (fake / "__init__.py").write_text(
        "import os\n"
        f"with open({str(marks)!r}, 'a') as f:\n"
        "    f.write(f'{os.getpid()}\\n')\n"
        "raise ImportError('torch is not installed here')\n")
    output = tmp_path / "games.jsonl.gz"
    script = ("import sys\n"
              "from tralix_harness.cli import main\n"
              "code = main(sys.argv[1:])\n"
              "assert 'torch' not in sys.modules, 'torch was imported'\n"
              "sys.exit(code)\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(fake.parent), str(HARNESS), os.environ.get("PYTHONPATH", "")]))

    def tralix(*arguments):
        return subprocess.run([sys.executable, "-c", script, *arguments], env=env,
                              capture_output=True, text=True, timeout=300)

    done = tralix("selfplay", "--network", f"torch:{path}", "--backend", "onnxruntime",
                  "--inference", inference, "--games", "3", "--workers", "2", "--threads", "2",
                  "--side", "6", "--sims", "4", "--output", str(output))
    assert done.returncode == 0, done.stderr
    assert not marks.exists(), f"processes that imported torch: {marks.read_text()}"
    games = list(read_games(output))
    assert len(games) == 3 and all(g["settings"]["network"] == f"torch:{path}" for g in games)
    # The torch backend there: one line saying what to install, exit status 2.
    done = tralix("eval-random", "--network", f"torch:{path}", "--backend", "torch",
                  "--inference", inference, "--games", "1", "--side", "6")
    assert done.returncode == 2, done.stderr
    assert "needs PyTorch" in done.stderr and len(done.stderr.strip().splitlines()) == 1
