"""The trainer: a few games are learned by heart, a resumed run takes exactly the steps of an
uninterrupted one, and checkpoints that are missing, broken or unfit are refused with a clear
one-line error, by the trainer and by the commands."""

import dataclasses
import re
import subprocess
import sys

import numpy as np
import pytest

torch = pytest.importorskip("torch")

from tralix_harness.cli import main  # noqa: E402
from tralix_harness.learning.losses import batch_losses  # noqa: E402
from tralix_harness.learning.settings import Precision, TrainSettings  # noqa: E402
from tralix_harness.learning.trainer import Trainer  # noqa: E402
from tralix_harness.networks import checkpoint  # noqa: E402
from tralix_harness.networks.errors import CheckpointError  # noqa: E402
from tralix_harness.networks.model import TorchNetwork, load_model  # noqa: E402
from tralix_harness.networks.settings import ModelSettings  # noqa: E402

from support import training_game_lines, write_data_file  # noqa: E402

SIDE = 5
TINY = ModelSettings(blocks=1, channels=16)


@pytest.fixture(scope="module")
def data_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("data")
    lines = training_game_lines(SIDE, 10, sims=8)
    return [write_data_file(folder / "a.jsonl.gz", lines[:6]),
            write_data_file(folder / "b.jsonl.gz", lines[6:])]


@pytest.fixture(autouse=True)
def one_thread():
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)


def test_a_few_games_are_learned_by_heart(data_files):
    settings = TrainSettings(batch_size=64, learning_rate=3e-3, warmup_steps=0,
                             rotations=False, weight_decay=0.0)
    trainer = Trainer(SIDE, ModelSettings(blocks=1, channels=32), settings)
    trainer.window.add_file(data_files[0])
    first = trainer.train(10)
    trainer.train(150)
    last = trainer.train(10)
    # Neither loss can fall below its targets' entropy (visit shares, shared wins): what
    # falls is the excess over it.
    value = trainer.window.pool().value
    value_entropy = -np.where(value > 0, value * np.log(np.maximum(value, 1e-9)), 0).sum(1).mean()
    assert (last.policy_loss - last.target_entropy
            < 0.5 * (first.policy_loss - first.target_entropy))
    assert last.value_loss - value_entropy < 0.5 * (first.value_loss - value_entropy)
    assert last.policy_entropy < first.policy_entropy
    # Each position's final board is certain: the ownership loss has no floor above 0.
    assert last.ownership_loss < 0.5 * first.ownership_loss


def test_a_network_saved_before_the_ownership_head_resumes_without_one(tmp_path, data_files):
    trainer = Trainer(SIDE, dataclasses.replace(TINY, ownership=False), TrainSettings())
    trainer.window.add_file(data_files[0])
    trainer.train(3)
    path = tmp_path / "old.pt"
    trainer.save(path)
    state = checkpoint.load(path)
    del state["model"]["ownership"]  # as networks were saved before the head
    checkpoint.save(state, path)
    resumed = Trainer.load(path, SIDE)
    assert resumed.model.ownership is None and not resumed.model_settings.ownership
    for name, tensor in trainer.model.state_dict().items():
        assert torch.equal(resumed.model.state_dict()[name], tensor), name
    stats = resumed.train(2)
    assert np.isnan(stats.ownership_loss) and np.isfinite(stats.policy_loss)


def test_games_without_policy_targets_measure_no_policy_loss(tmp_path, data_files):
    # The first generation's games teach the value alone: the policy's losses are not there
    # to report (not 0, which would read as a perfect policy), and in a window mixed with
    # games that have targets they are the means over the minibatches that had some.
    import gzip
    import json

    lines = gzip.open(data_files[0], "rt").read().split("\n")
    value_only = [json.dumps(dict(json.loads(line), policy_targets=False))
                  for line in lines if line]
    trainer = Trainer(SIDE, TINY, TrainSettings(batch_size=16))
    trainer.window.add_file(write_data_file(tmp_path / "untrained.jsonl.gz", value_only))
    stats = trainer.train(3)
    assert np.isnan([stats.policy_loss, stats.policy_entropy, stats.target_entropy]).all()
    assert np.isfinite(stats.value_loss) and stats.steps == 3
    trainer.window.add_file(data_files[1])
    mixed = trainer.train(3)
    assert np.isfinite([mixed.policy_loss, mixed.policy_entropy]).all()
    assert mixed.policy_loss > 0.1


def _state_tensors(trainer):
    tensors = dict(trainer.model.state_dict())
    if trainer.average is not None:
        tensors.update({f"average.{k}": v for k, v in trainer.average.state_dict().items()})
    for index, state in trainer.optimizer.state_dict()["state"].items():
        for name, value in state.items():
            tensors[f"optimizer.{index}.{name}"] = torch.as_tensor(value)
    return tensors


@pytest.mark.parametrize("average_decay, precision", [(0.0, Precision.FLOAT32),
                                                        (0.8, Precision.BFLOAT16)])
def test_a_resumed_run_reaches_the_same_weights(tmp_path, data_files, average_decay, precision):
    settings = TrainSettings(batch_size=16, window_games=7, warmup_steps=4, rotations=True,
                             reflections=True, target_temperature=0.5, seed=5,
                             average_decay=average_decay, precision=precision)

    def fresh():
        trainer = Trainer(SIDE, TINY, settings)
        trainer.window.add_file(data_files[0])
        return trainer

    straight = fresh()
    straight.train(6)
    straight.window.add_file(data_files[1])
    straight.train(9, rate_scale=0.3)  # an anneal's factor from here on

    interrupted = fresh()
    interrupted.train(6)
    interrupted.save(tmp_path / "first.pt")
    interrupted.window.add_file(data_files[1])
    interrupted.train(4, rate_scale=0.3)
    interrupted.save(tmp_path / "second.pt")
    del interrupted
    # Other draws in between must not matter: every random state is restored.
    np.random.random(3)
    torch.rand(3)
    resumed = Trainer.load(tmp_path / "second.pt", SIDE)
    resumed.train(5, rate_scale=0.3)

    assert resumed.steps == straight.steps == 15
    # Saving measures the batch norms afresh from the weights, the window and the step count
    # alone: the same statistics however often the run was saved before.
    straight.save(tmp_path / "straight.pt")
    resumed.save(tmp_path / "resumed.pt")
    expected, got = _state_tensors(straight), _state_tensors(resumed)
    assert expected.keys() == got.keys()
    for name in expected:
        assert torch.equal(expected[name], got[name]), name
    assert resumed.schedule.get_last_lr() == straight.schedule.get_last_lr()
    assert straight.schedule.get_last_lr()[0] == pytest.approx(0.3 * settings.learning_rate)
    # The factor holds from the first step of the call: at zero nothing moves.
    before = [p.detach().clone() for p in resumed.model.parameters()]
    resumed.train(2, rate_scale=0.0)
    assert all(torch.equal(a, b) for a, b in zip(before, resumed.model.parameters(),
                                                         strict=True))
    # The window came back from its sources: 7 of the 10 games, the latest.
    assert resumed.window.games == 7 and resumed.window.total_games == 10


def test_bfloat16_steps_follow_the_float32_ones(data_files):
    # Mixed precision changes the rounding, not the losses or where a step goes: the same
    # minibatch under the same weights, each way.
    trainer = Trainer(SIDE, ModelSettings(blocks=2, channels=32),
                      TrainSettings(precision=Precision.FLOAT32))
    trainer.window.add_file(data_files[0])
    trainer.train(20)  # away from the initial weights, whose blocks are the identity
    batch = trainer.draw()
    trainer.model.train()
    results = []
    for bfloat16 in (False, True):
        trainer.model.zero_grad()
        losses = batch_losses(trainer.model, batch, bfloat16)
        (losses.policy + losses.value + losses.ownership).backward()
        assert losses.policy.dtype == losses.value.dtype == losses.ownership.dtype == torch.float32
        gradient = torch.cat([p.grad.flatten() for p in trainer.model.parameters()])
        results.append((losses.policy.item(), losses.value.item(), losses.ownership.item(),
                        gradient))
    (policy, value, owners, exact), (policy16, value16, owners16, rounded) = results
    assert policy16 == pytest.approx(policy, rel=0.02)
    assert value16 == pytest.approx(value, rel=0.02)
    assert owners16 == pytest.approx(owners, rel=0.02)
    assert not torch.equal(exact, rounded)  # bfloat16 did compute
    assert float(torch.nn.functional.cosine_similarity(exact, rounded, dim=0)) > 0.98


def test_a_saved_network_plays_as_it_was_trained(tmp_path, data_files):
    # Fast training leaves the running statistics of the batch norms behind the weights; the
    # saved network must value positions as training's own batch statistics do.
    settings = TrainSettings(batch_size=128, learning_rate=2e-2, warmup_steps=0)
    trainer = Trainer(SIDE, TINY, settings)
    for path in data_files:
        trainer.window.add_file(path)
    trainer.train(60)
    batch = trainer.window.draw(np.random.default_rng(1), 4096, 0.5, True, False)
    planes = torch.from_numpy(batch.planes)

    def value_gap(model):
        with torch.no_grad():
            model.train()
            trained = torch.softmax(model(planes)[1], 1)
            model.eval()
            played = torch.softmax(model(planes)[1], 1)
        # The mean over positions of the summed absolute difference of the two outcomes.
        return float((trained - played).abs().sum(1).mean())

    stale = value_gap(trainer.model)
    trainer.save(tmp_path / "net.pt")
    saved, _ = load_model(tmp_path / "net.pt")
    assert value_gap(saved) < 0.04 < stale


def test_the_saved_network_is_the_average_of_the_trained_weights(tmp_path, data_files):
    decay = 0.75
    trainer = Trainer(SIDE, TINY, TrainSettings(batch_size=16, average_decay=decay))
    trainer.window.add_file(data_files[0])
    history = []
    for _ in range(9):
        trainer.train(1)
        history.append({k: v.clone() for k, v in trainer.model.named_parameters()})
    # The plain mean over the first 1/(1 - decay) = 4 steps, then an exponential average.
    expected = {k: sum(h[k] for h in history[:4]) / 4 for k in history[0]}
    for h in history[4:]:
        expected = {k: decay * expected[k] + (1 - decay) * h[k] for k in expected}
    trainer.save(tmp_path / "net.pt")
    state = checkpoint.load(tmp_path / "net.pt")
    for name, value in expected.items():
        torch.testing.assert_close(state["weights"][name], value, rtol=1e-5, atol=1e-6)
        assert torch.equal(state["trained_weights"][name], history[-1][name])
    assert any(not torch.equal(state["weights"][k], history[-1][k]) for k in expected)


# ----- bad checkpoints -----------------------------------------------------------------------


def _saved(tmp_path, **changes):
    trainer = Trainer(SIDE, TINY, TrainSettings())
    state = trainer.state(tmp_path)
    state.update(changes)
    path = tmp_path / "changed.pt"
    checkpoint.save(state, path)
    return path


def _broken(tmp_path, kind):
    path = tmp_path / f"{kind}.pt"
    if kind == "missing":
        return path
    if kind == "garbage":
        path.write_bytes(b"\x00not a checkpoint" * 10)
    elif kind == "cut":
        whole = _saved(tmp_path).read_bytes()
        path.write_bytes(whole[: len(whole) // 2])
    elif kind == "foreign":
        torch.save({"weights": {}}, path)
    elif kind == "shape":
        return _saved(tmp_path, model={"blocks": 1, "channels": 24})
    elif kind == "empty":
        path.write_bytes(b"")
    return path


@pytest.mark.parametrize("kind, message", [
    ("missing", "does not exist"),
    ("garbage", "is not readable"),
    ("empty", "is not readable"),
    ("cut", "is not readable"),
    ("foreign", "is not a tralix checkpoint"),
    ("shape", "do not fit the network it describes (1 blocks of 24 channels): "
              "stem.0.weight has shape [16, 6, 3, 3], expected [24, 6, 3, 3]"),
])
def test_a_bad_checkpoint_is_a_one_line_error(tmp_path, capsys, kind, message):
    path = _broken(tmp_path, kind)
    with pytest.raises(CheckpointError, match=re.escape(message)) as error:
        load_model(path)
    assert str(path) in str(error.value)
    # The commands that play a network say the same on one line, without a traceback.
    code = main(["eval-random", "--games", "2", "--side", str(SIDE), "--workers", "1",
                 "--threads", "1", "--network", f"torch:{path}"])
    err = capsys.readouterr().err
    assert code != 0
    assert err.count("\n") == 1 and str(path) in err and message in err
    assert "Traceback" not in err


def test_an_unfit_checkpoint_says_what_was_expected(tmp_path, data_files):
    trainer = Trainer(SIDE, TINY, TrainSettings())
    trainer.window.add_file(data_files[0])
    trainer.save(tmp_path / "trained.pt")
    with pytest.raises(CheckpointError, match="trained on side 5; expected side 6"):
        Trainer.load(tmp_path / "trained.pt", 6)
    with pytest.raises(CheckpointError, match="trained on side 5; expected side 7"):
        load_model(tmp_path / "trained.pt", side=7)
    with pytest.raises(CheckpointError, match=r"channels: 16 -> 32; .*learning_rate: 0.002 -> "
                                              r"0.01"):
        Trainer.load(tmp_path / "trained.pt", SIDE, {"channels": 32}, {"learning_rate": 0.01})
    weights_only = _saved(tmp_path, optimizer=None)
    state = checkpoint.load(weights_only)
    del state["optimizer"]
    checkpoint.save(state, weights_only)
    with pytest.raises(CheckpointError, match="no training state"):
        Trainer.load(weights_only, SIDE)


def test_the_server_reports_a_bad_checkpoint_without_a_traceback(tmp_path):
    # The command checks the file first; a file that breaks afterwards is caught in the
    # server process.
    from tralix_harness.base.settings import SearchSettings
    from tralix_harness.local.lifecycle import RunFailed
    from tralix_harness.local.options import RunOptions
    from tralix_harness.local.run import Run

    path = _broken(tmp_path, "garbage")
    options = RunOptions(kind="random", games=1, settings=SearchSettings(dim=SIDE),
                         networks=[f"torch:{path}"], workers=1, threads=1)
    with pytest.raises(RunFailed) as failure:
        list(Run(options))
    assert str(failure.value).startswith(f"could not load network: checkpoint {path} is not")
    assert "Traceback" not in str(failure.value)


# ----- the train command ---------------------------------------------------------------------


def test_train_command_resumes_and_refuses_other_settings(tmp_path, data_files, capsys):
    output = tmp_path / "net.pt"
    common = ["train", *map(str, data_files), "--output", str(output), "--side", str(SIDE),
              "--blocks", "1", "--channels", "8", "--batch-size", "8", "--train-threads", "1"]
    assert main([*common[:2], *common[3:], "--steps", "4"]) == 0  # the first file only
    assert capsys.readouterr().out.strip() == str(output)
    assert main([*common, "--steps", "7"]) == 0  # both files: the second joins the window
    out, err = capsys.readouterr()
    assert "trained steps 4 to 7 on 10 games" in err
    trainer = Trainer.load(output, SIDE)
    assert trainer.steps == 7 and [s.games for s in trainer.sources()] == [6, 4]

    assert main([*common, "--steps", "9", "--channels", "16"]) == 2
    assert "channels: 8 -> 16" in capsys.readouterr().err
    assert main(["train", str(data_files[1]), "--output", str(output), "--side", str(SIDE),
                 "--steps", "9"]) == 2
    assert "name these first" in capsys.readouterr().err
    assert main(["train", str(data_files[0]), "--output", str(tmp_path / "other.pt"),
                 "--side", "6"]) == 2
    assert "hold no game of side 6" in capsys.readouterr().err


def test_the_torch_network_evaluates_batches_in_any_side(tmp_path):
    path = _saved(tmp_path)
    network = TorchNetwork(path, 7)
    planes = np.zeros((3, 5, 7, 7), np.float32)
    policy, value = network.evaluate(planes)
    assert policy.shape == (3, 49) and value.shape == (3, 4)
    assert np.isfinite(policy).all() and np.isfinite(value).all()
    assert dataclasses.asdict(network.model.settings) == dataclasses.asdict(TINY)


def test_the_harness_and_its_first_commands_do_not_import_torch(tmp_path):
    data = write_data_file(tmp_path / "g.jsonl.gz", training_game_lines(SIDE, 1))
    script = ("import sys\nimport tralix_harness\nfrom tralix_harness.cli import main\n"
              f"assert main(['show', {str(data)!r}]) == 0\n"
              "main(['eval-random', '--games', '1', '--side', '5', '--workers', '1', "
              "'--threads', '1', '--network', 'uniform'])\n"
              "assert 'torch' not in sys.modules, 'torch was imported'\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
