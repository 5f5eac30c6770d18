"""Faults a self-play run meets, each through real processes: a worker, the inference server or
the main process killed, SIGTERM, Ctrl-C twice, a full disk, an output folder that cannot be
written, an output file that already exists. After each: a clear error, the exit status, every
game reported written readable in the file (`tralix show` too), and no process left behind."""

import gzip
import os
import re
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from tralix_harness.data.records import GameLines, read_games

HERE = Path(__file__).parent
ENV = dict(os.environ, PYTHONPATH=str(HERE) + os.pathsep + os.environ.get("PYTHONPATH", ""))
SELFPLAY = [sys.executable, "-m", "tralix_harness", "selfplay", "--side", "5", "--sims", "2",
            "--workers", "2", "--threads", "2"]
STALL = "TRALIX_TEST_STALL"


def stalling(dim):
    """Zero scores after a pause; once the file named by $TRALIX_TEST_STALL exists, a minute
    per batch: a server that does not stop when asked."""
    class Stalling:
        def evaluate(self, planes):
            time.sleep(60 if os.path.exists(os.environ.get(STALL, "/nonexistent")) else 0.02)
            return np.zeros((len(planes), dim * dim)), np.zeros((len(planes), 4))
    return Stalling()


def start(output, *extra, network="test_process_faults:stalling", games=500, env=ENV, **kw):
    return subprocess.Popen([*SELFPLAY, "--games", str(games), "--network", network,
                             "--output", str(output), *extra], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True, **kw)


def games_in(path):
    return sum(1 for _ in read_games(path)) if path.exists() else 0


def wait_for(condition, seconds=60.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "gave up waiting"
        time.sleep(0.1)


def group_gone(pgid):
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return True
    return False


def children(pid):
    """(worker pids, server pids) of a run's main process: a worker has the module loaded."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            if (entry.name.isdigit()
                    and int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1]) == pid
                    and b"spawn_main" in (entry / "cmdline").read_bytes()):
                found.append((int(entry.name),
                              b"tralix_self_play" in (entry / "maps").read_bytes()))
        except OSError:  # the process has just ended
            continue
    return ([p for p, worker in found if worker], [p for p, worker in found if not worker])


def finish(process, timeout=60):
    """The command's output; then every process of its group must end on its own."""
    try:
        stdout, stderr = process.communicate(timeout=timeout)
        wait_for(lambda: group_gone(process.pid), 15)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        pytest.fail(f"the run did not end:\n{process.communicate()[1]}")
    finally:
        if not group_gone(process.pid):
            os.killpg(process.pid, signal.SIGKILL)
    return stdout, stderr


def check_file(path, stderr=None):
    """Every game reported written is in the file, whole; `tralix show` reads the last."""
    lines = GameLines(path)
    count = sum(1 for _ in lines)
    if stderr is not None:
        assert count == int(re.search(r"self-play: (\d+) games written", stderr).group(1))
    shown = subprocess.run([*SELFPLAY[:3], "show", str(path), "--index", str(count - 1)],
                           env=ENV, capture_output=True, text=True, timeout=60)
    assert shown.returncode == 0 and shown.stdout.startswith("game "), shown.stderr
    return lines


@pytest.mark.parametrize("fault", ["worker", "server", "main", "sigterm", "sigint-twice"])
def test_a_run_survives_a_fault_keeping_its_games(tmp_path, fault):
    output, stall = tmp_path / "games.jsonl.gz", tmp_path / "stall"
    process = start(output, env=dict(ENV, **{STALL: str(stall)}))
    try:
        wait_for(lambda: games_in(output) >= 2 and all(children(process.pid)))
        workers, servers = children(process.pid)
        assert len(workers) == 2 and len(servers) == 1
        if fault in ("worker", "server", "main"):
            # After the main process, nobody stops the others: they must end on their own.
            os.kill({"worker": workers[0], "server": servers[0], "main": process.pid}[fault],
                    signal.SIGKILL)
        elif fault == "sigterm":
            process.send_signal(signal.SIGTERM)
        else:  # the server stops answering, so the first Ctrl-C cannot end the run soon
            stall.touch()
            process.send_signal(signal.SIGINT)
            time.sleep(1.0)
            process.send_signal(signal.SIGINT)
    finally:
        stdout, stderr = finish(process)
    if fault == "main":
        assert process.returncode == -signal.SIGKILL
        assert check_file(output).lines >= 2
        return
    if fault in ("worker", "server"):
        assert process.returncode == 1, stderr
        assert re.search(rf"run stopped: tralix-{fault}-\d ended with exit code -9", stderr)
    else:
        assert process.returncode == 130, stderr
        assert {"stopping...", "run stopped: interrupted"} <= set(stderr.splitlines())
    assert stdout.strip() == str(output)
    assert not check_file(output, stderr).cut_short
    with gzip.open(output, "rt") as f:  # complete, trailer and all: the standard reader agrees
        assert len(f.read().splitlines()) == games_in(output)


def _mount_tmpfs(path, options):
    path.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(path)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
    return path


def _file_size_limit():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails: EFBIG
    # Above the shared memory the run maps from a file (a page or two), below 500 games.
    resource.setrlimit(resource.RLIMIT_FSIZE, (16384, 16384))


@pytest.mark.parametrize("place, error", [
    ("file size limit", r"writing game \d+ failed \(File too large\)"),
    ("small tmpfs", r"writing game \d+ failed \(No space left on device\)"),
    ("under a file", r"cannot be written: \S+/plain is not a folder"),
    ("read-only tmpfs", r"cannot be written: \S+/out is on a read-only file system"),
])
def test_an_output_that_cannot_take_the_games_ends_the_run_keeping_them(tmp_path, place, error):
    folder, kwargs = tmp_path / "out", {}
    if place == "file size limit":
        folder.mkdir()
        kwargs["preexec_fn"] = _file_size_limit
    elif place == "under a file":
        folder = tmp_path / "plain"
        folder.write_text("")
    else:
        _mount_tmpfs(folder, "size=16k" if place == "small tmpfs" else "ro,size=16k")
    output = folder / "games.jsonl.gz"
    try:
        process = start(output, network="uniform", **kwargs)
        stdout, stderr = finish(process, timeout=120)
        assert "Traceback" not in stderr
        assert process.returncode == (1 if "failed" in error else 2), stderr
        if "failed" in error:  # cut back to its last whole game, without a trailer
            assert re.search(rf"run stopped: {re.escape(str(output))}: {error}; the file keeps "
                             r"the \d+ game\(s\) written before\n", stderr), stderr
            lines = check_file(output, stderr)
            assert lines.cut_short and lines.partial == 0
        else:  # a bad option: before any process starts
            assert re.fullmatch(rf"tralix: --output {re.escape(str(output))}: {error}\n",
                                stderr), stderr
            assert stdout == ""
    finally:
        if place.endswith("tmpfs"):
            subprocess.run(["umount", str(folder)], check=True)


@pytest.mark.parametrize("option, code, runs", [
    ([], 2, [2]),  # refused: the file is left as it was
    (["--append"], 0, [2, 3]),
    (["--overwrite"], 0, [3]),
    (["--append", "cut"], 2, [2]),  # added games could not be read after a file cut short
])
def test_an_existing_output_is_kept_unless_an_option_says_otherwise(tmp_path, option, code,
                                                                    runs):
    output = tmp_path / "games.jsonl.gz"
    assert "2 games written" in finish(start(output, network="uniform", games=2))[1]
    if "cut" in option:
        output.write_bytes(output.read_bytes()[:-10])  # no end of stream: a run killed
    before = output.read_bytes()
    process = start(output, *option[:1], network="uniform", games=3)
    stdout, stderr = finish(process)
    assert process.returncode == code, stderr
    refusal = "tralix selfplay: argument --output: "
    if not option:
        assert stderr == f"{refusal}{output} exists: add --append to add the games to it, " \
                         "or --overwrite to replace it\n"
    elif "cut" in option:
        assert stderr.endswith(f"{refusal}cannot append to {output}: it is cut short after 2 "
                               "complete game(s) (a run stopped while writing it), so games "
                               "added after it could not be read; write to another file\n")
    assert (output.read_bytes() == before) == bool(code)
    assert output.read_bytes().startswith(before) == (option != ["--overwrite"])
    ids = [game["id"] for game in read_games(output)]
    starts = np.cumsum([0, *runs])
    assert [sorted(ids[a:b]) for a, b in zip(starts, starts[1:], strict=False)] == [
        list(range(n)) for n in runs]
    check_file(output)
    if option == ["--append"]:  # the members read as one file by the standard reader too
        with gzip.open(output, "rt") as f:
            assert len(f.read().splitlines()) == 5
