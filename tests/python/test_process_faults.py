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

from tralix_harness.records import GameLines, read_games

HERE = Path(__file__).parent
ENV = dict(os.environ, PYTHONPATH=str(HERE) + os.pathsep + os.environ.get("PYTHONPATH", ""))
COMMAND = [sys.executable, "-m", "tralix_harness"]
SELFPLAY = ["selfplay", "--side", "5", "--sims", "2", "--workers", "2", "--threads", "2"]
STALL = "TRALIX_TEST_STALL"


class Stalling:
    """Zero scores after a pause; once the file named by $TRALIX_TEST_STALL exists, every
    batch takes a minute: a server that does not stop when asked."""

    def __init__(self, dim):
        self.dim = dim

    def evaluate(self, planes):
        time.sleep(60 if os.path.exists(os.environ.get(STALL, "/nonexistent")) else 0.02)
        return np.zeros((len(planes), self.dim * self.dim)), np.zeros((len(planes), 4))


def stalling(dim):
    return Stalling(dim)


def start(output, *extra, network="test_process_faults:stalling", games=500, **kwargs):
    return subprocess.Popen(
        [*COMMAND, *SELFPLAY, "--games", str(games), "--network", network,
         "--output", str(output), *extra],
        env=kwargs.pop("env", ENV), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        start_new_session=True, **kwargs)


def tralix(*args, **kwargs):
    return subprocess.run([*COMMAND, *args], env=ENV, capture_output=True, text=True,
                          timeout=120, **kwargs)


def games_in(path):
    return len(list(read_games(path))) if path.exists() else 0


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


def finish(process, pgid, timeout=60):
    """The process's output; then every process of its group must end on its own."""
    try:
        stdout, stderr = process.communicate(timeout=timeout)
        wait_for(lambda: group_gone(pgid), 15)
    except subprocess.TimeoutExpired:
        os.killpg(pgid, signal.SIGKILL)
        stdout, stderr = process.communicate()
        pytest.fail(f"the run did not end:\n{stderr}")
    finally:
        if not group_gone(pgid):
            os.killpg(pgid, signal.SIGKILL)
    return stdout, stderr


def written(stderr):
    return int(re.search(r"self-play: (\d+) games written", stderr).group(1))


def check_file(path, reported=None):
    """Every game reported is in the file, in full; `tralix show` reads it."""
    lines = GameLines(path)
    count = sum(1 for _ in lines)
    assert count == games_in(path) >= 1
    if reported is not None:
        assert count == reported
    shown = tralix("show", str(path), "--index", str(count - 1))
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout.startswith("game ")
    return lines


@pytest.mark.parametrize("fault", ["worker", "server", "sigterm", "sigint-twice"])
def test_a_run_survives_a_fault_keeping_its_games(tmp_path, fault):
    output = tmp_path / "games.jsonl.gz"
    stall = tmp_path / "stall"
    process = start(output, env=dict(ENV, **{STALL: str(stall)}))
    try:
        wait_for(lambda: games_in(output) >= 2 and all(children(process.pid)))
        workers, servers = children(process.pid)
        assert len(workers) == 2 and len(servers) == 1
        if fault == "worker":
            os.kill(workers[0], signal.SIGKILL)
        elif fault == "server":
            os.kill(servers[0], signal.SIGKILL)
        elif fault == "sigterm":
            process.send_signal(signal.SIGTERM)
        else:  # the server stops answering, so the first Ctrl-C cannot end the run soon
            stall.touch()
            process.send_signal(signal.SIGINT)
            time.sleep(1.0)
            process.send_signal(signal.SIGINT)
    finally:
        stdout, stderr = finish(process, process.pid)
    lines = stderr.splitlines()
    if fault in ("worker", "server"):
        assert process.returncode == 1, stderr
        assert re.search(rf"run stopped: tralix-{fault}-\d ended with exit code -9", stderr)
    else:
        assert process.returncode == 130, stderr
        assert "stopping..." in lines and "run stopped: interrupted" in lines
    assert stdout.strip() == str(output)
    assert not check_file(output, written(stderr)).cut_short
    with gzip.open(output, "rt") as f:  # complete, trailer and all: the standard reader agrees
        assert len(f.read().splitlines()) == written(stderr)


def test_a_killed_main_process_leaves_its_games_and_no_process(tmp_path):
    output = tmp_path / "games.jsonl.gz"
    process = start(output)
    try:
        wait_for(lambda: games_in(output) >= 2 and all(children(process.pid)))
        workers, servers = children(process.pid)
        process.kill()
        process.wait(10)
        # Nobody stops the workers and the server now: they must notice and end themselves.
        wait_for(lambda: group_gone(process.pid), 15)
    finally:
        if not group_gone(process.pid):
            os.killpg(process.pid, signal.SIGKILL)
    assert check_file(output).lines >= 2


def _file_size_limit(limit):
    def limit_file_size():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails: EFBIG
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return limit_file_size


def _mount_tmpfs(path, options):
    path.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(path)],
                             capture_output=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode().strip()}")


@pytest.mark.parametrize("disk", ["file size limit", "small tmpfs"])
def test_a_full_disk_ends_the_run_keeping_every_whole_game(tmp_path, disk):
    folder = tmp_path / "disk"
    kwargs = {}
    if disk == "small tmpfs":
        _mount_tmpfs(folder, "size=16k")
    else:
        folder.mkdir()
        # Above the shared memory the run maps from a file (a page or two), below 500 games.
        kwargs["preexec_fn"] = _file_size_limit(16384)
    output = folder / "games.jsonl.gz"
    try:
        process = start(output, network="uniform", **kwargs)
        stdout, stderr = finish(process, process.pid, timeout=120)
        assert process.returncode == 1, stderr
        error = "File too large" if disk == "file size limit" else "No space left on device"
        assert re.search(rf"run stopped: {re.escape(str(output))}: writing game \d+ failed "
                         rf"\({error}\); the file keeps the \d+ game\(s\) written before",
                         stderr), stderr
        assert "Traceback" not in stderr
        # A file cut back to its last whole game, without a trailer: it reads as cut short.
        lines = check_file(output, written(stderr))
        assert lines.cut_short and lines.partial == 0
    finally:
        if disk == "small tmpfs":
            subprocess.run(["umount", str(folder)], check=True)


@pytest.mark.parametrize("place", ["under a file", "read-only tmpfs"])
def test_an_output_that_cannot_be_written_is_one_line_before_any_game(tmp_path, place):
    if place == "under a file":
        plain = tmp_path / "plain"
        plain.write_text("")
        output, error = plain / "games.jsonl.gz", f"{plain} is not a folder"
    else:
        _mount_tmpfs(tmp_path / "ro", "ro,size=64k")
        output, error = tmp_path / "ro" / "games.jsonl.gz", "Read-only file system"
    try:
        process = start(output, network="uniform")
        stdout, stderr = finish(process, process.pid)
    finally:
        if place == "read-only tmpfs":
            subprocess.run(["umount", str(tmp_path / "ro")], check=True)
    assert process.returncode == 1
    assert stderr == f"tralix: {output}: cannot be written: {error}\n"
    assert stdout == ""


@pytest.mark.parametrize("option, code, games", [
    ([], 2, 2),                # refused: the file is left as it was
    (["--append"], 0, 2 + 3),
    (["--overwrite"], 0, 3),
])
def test_an_existing_output_is_kept_unless_an_option_says_otherwise(tmp_path, option, code,
                                                                    games):
    output = tmp_path / "games.jsonl.gz"
    first = tralix(*SELFPLAY, "--games", "2", "--network", "uniform", "--output", str(output))
    assert first.returncode == 0, first.stderr
    before = output.read_bytes()
    done = tralix(*SELFPLAY, "--games", "3", "--network", "uniform", "--output", str(output),
                  *option)
    assert done.returncode == code, done.stderr
    if code:
        assert done.stderr == (f"tralix selfplay: argument --output: {output} exists: add "
                               "--append to add the games to it, or --overwrite to replace it\n")
        assert output.read_bytes() == before
    else:
        assert output.read_bytes().startswith(before) == (option == ["--append"])
    check_file(output, games)
    with gzip.open(output, "rt") as f:  # appended members read as one file
        ids = [int(line.split('"id":')[1].split(",")[0]) for line in f]
    runs = [2, 3] if option == ["--append"] else [3] if option else [2]
    assert [sorted(ids[sum(runs[:i]):sum(runs[:i + 1])]) for i in range(len(runs))] == [
        list(range(n)) for n in runs]


def test_appending_to_a_file_cut_short_is_refused(tmp_path):
    output = tmp_path / "games.jsonl.gz"
    assert tralix(*SELFPLAY, "--games", "3", "--network", "uniform",
                  "--output", str(output)).returncode == 0
    whole = output.read_bytes()
    output.write_bytes(whole[:-20])  # a run killed while writing
    done = tralix(*SELFPLAY, "--games", "1", "--network", "uniform", "--output", str(output),
                  "--append")
    assert done.returncode == 2
    assert re.fullmatch(rf"{re.escape(str(output))} is cut short .*\ntralix selfplay: argument "
                        rf"--output: cannot append to {re.escape(str(output))}: it is cut short "
                        r"after \d complete game\(s\) .*; write to another file\n", done.stderr)
    assert output.read_bytes() == whole[:-20]
