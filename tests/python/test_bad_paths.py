"""Every command of ``tralix --help`` with bad paths for each of its path options: missing, empty
(the empty string, an empty file or folder), cut short, of the wrong kind, and where nothing can
be written (a read-only tmpfs; those rows are skipped where no tmpfs can be mounted). Each is one
line on standard error naming the option or the path, exit status 2, nothing on standard output,
and the files under the test's folder exactly as before (names, sizes, times). The table of what
each said is in tests/README.md (``python tests/python/test_bad_paths.py`` prints it)."""

from __future__ import annotations

import contextlib
import io
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("torch")

from tralix_harness.cli import main  # noqa: E402

TINY_LOOP = ["--side", "5", "--games", "2", "--first-games", "2", "--sims", "2", "--steps", "2",
             "--blocks", "1", "--channels", "8", "--batch-size", "8", "--eval-games", "4",
             "--rating-games", "4", "--search-rating-games", "4", "--workers", "1",
             "--threads", "2", "--generations", "1"]
QUICK = ["--games", "1", "--side", "5", "--workers", "1"]
LADDER = ["--side", "5", "--games", "4", "--reference-games", "4", "--workers", "1"]
REFERENCES = ["--references", "{root}/r.json"]

# (command line, what the one line says). {x} names a path of the world below; "ro" ones lie
# on a read-only tmpfs.
CASES: list[tuple[list[str], str]] = [
    # show FILE
    (["show", "{root}/none.jsonl.gz"], "argument file: {root}/none.jsonl.gz: no such file"),
    (["show", ""], "argument file: an empty path"),
    (["show", "{empty_file}"], "{empty_file}: an empty file, not a data file"),
    (["show", "{cut}"], "--index 0 is past the end: the data holds no complete game; "
                        "cut.jsonl.gz is cut short"),
    (["show", "{notes}"], "not a data file: {notes}, line 1: the file is not readable gzip"),
    (["show", "{folder}"], "{folder}: a folder without data files"),
    # view FILE [--output]
    (["view", "{root}/none.jsonl.gz"], "argument file: {root}/none.jsonl.gz: no such file"),
    (["view", ""], "argument file: an empty path"),
    (["view", "{empty_file}"], "{empty_file}: an empty file, not a data file"),
    (["view", "{cut}", "--output", "{root}/p.html"],
     "{cut}: nothing to show: the data holds no complete game; cut.jsonl.gz is cut short"),
    (["view", "{notes}", "--output", "{root}/p.html"], "not a data file: {notes}, line 1"),
    (["view", "{folder}"], "{folder}: a folder without data files"),
    (["view", "{ro}/data.jsonl.gz"], "the page {ro}/data.html: cannot be written: {ro} is on "
                                     "a read-only file system"),
    (["view", "{data}", "--output", ""], "argument --output: an empty path"),
    (["view", "{data}", "--output", "{data}"], "--output {data}: is the data being read"),
    (["view", "{data}", "--output", "{notes}"], "--output {notes}: exists and is not a page "
                                                "written by tralix view: add --overwrite"),
    (["view", "{data}", "--output", "{empty_file}"], "--output {empty_file}: exists and is "
                                                     "not a page written by tralix view"),
    (["view", "{data}", "--output", "{folder}"], "--output {folder}: is a folder, not a file"),
    (["view", "{data}", "--output", "{notes}/p.html"],
     "--output {notes}/p.html: cannot be written: {notes} is not a folder"),
    (["view", "{data}", "--output", "{ro}/p.html"],
     "--output {ro}/p.html: cannot be written: {ro} is on a read-only file system"),
    # render FILE --output
    (["render", "{root}/none.jsonl.gz", "--output", "{root}/b.png"], "no such file or folder"),
    (["render", "", "--output", "{root}/b.png"], "argument file: an empty path"),
    (["render", "{empty_file}", "--output", "{root}/b.png"], "an empty file, not a data file"),
    (["render", "{cut}", "--output", "{root}/b.png"],
     "--index 0 is past the end: the data holds no complete game; cut.jsonl.gz is cut short"),
    (["render", "{notes}", "--output", "{root}/b.png"], "not a data file: {notes}, line 1"),
    (["render", "{data}", "--output", ""], "argument --output: an empty path"),
    (["render", "{data}", "--output", "{folder}"], "--output {folder}: is a folder, not a file"),
    (["render", "{data}", "--output", "{notes}"], "must end with .png, .svg or .gif, not .txt"),
    (["render", "{data}", "--output", "{picture}"], "--output {picture}: exists and is not a "
                                                    "picture written by tralix render"),
    (["render", "{data}", "--output", "{notes}/b.png"], "{notes} is not a folder"),
    (["render", "{data}", "--output", "{ro}/b.png"], "{ro} is on a read-only file system"),
    # play --output, --network
    (["play", "--no-browser", "--side", "5", "--output", ""], "argument --output: an empty path"),
    (["play", "--no-browser", "--side", "5", "--output", "{folder}"], "is a folder, not a file"),
    (["play", "--no-browser", "--side", "5", "--output", "{notes}"],
     "--output: not a data file: {notes}, line 1"),
    (["play", "--no-browser", "--side", "5", "--output", "{cut}"],
     "--output {cut}: the file is cut short; a game added to it could not be read"),
    (["play", "--no-browser", "--side", "5", "--output", "{notes}/p.jsonl.gz"],
     "{notes} is not a folder"),
    (["play", "--no-browser", "--side", "5", "--output", "{ro}/p.jsonl.gz"],
     "{ro} is on a read-only file system"),
    (["play", "--no-browser", "--side", "5", "--network", "torch:{root}/none.pt", "--output",
      "{root}/p.jsonl.gz"], "checkpoint {root}/none.pt does not exist"),
    (["play", "--no-browser", "--side", "5", "--network", "torch:{empty_pt}", "--output",
      "{root}/p.jsonl.gz"], "checkpoint {empty_pt} is not readable"),
    # selfplay --output, --network
    (["selfplay", *QUICK, "--output", ""], "argument --output: an empty path"),
    (["selfplay", *QUICK, "--output", "{folder}"], "--output {folder}: is a folder, not a file"),
    (["selfplay", *QUICK, "--output", "{empty_file}"],
     "--output: {empty_file} exists: add --append to add the games to it, or --overwrite"),
    (["selfplay", *QUICK, "--output", "{cut}", "--append"],
     "cannot append to {cut}: it is cut short after 0 complete game(s)"),
    (["selfplay", *QUICK, "--output", "{notes}", "--append"],
     "cannot append to {notes}: {notes}, line 1: the file is not readable gzip data"),
    (["selfplay", *QUICK, "--output", "{notes}/s.jsonl.gz"], "{notes} is not a folder"),
    (["selfplay", *QUICK, "--output", "{ro}/s.jsonl.gz"], "{ro} is on a read-only file system"),
    (["selfplay", *QUICK, "--network", "torch:{root}/none.pt", "--output", "{root}/s.jsonl.gz"],
     "checkpoint {root}/none.pt does not exist"),
    (["selfplay", *QUICK, "--network", "torch:", "--output", "{root}/s.jsonl.gz"],
     "argument --network: 'torch:': an empty path"),
    (["selfplay", *QUICK, "--network", "torch:{empty_pt}", "--output", "{root}/s.jsonl.gz"],
     "checkpoint {empty_pt} is not readable"),
    (["selfplay", *QUICK, "--network", "torch:{cut_pt}", "--output", "{root}/s.jsonl.gz"],
     "checkpoint {cut_pt} is not readable"),
    (["selfplay", *QUICK, "--network", "torch:{folder}", "--output", "{root}/s.jsonl.gz"],
     "argument --network: {folder}: is a folder, not a checkpoint"),
    (["selfplay", *QUICK, "--network", "torch:{data}", "--output", "{root}/s.jsonl.gz"],
     "checkpoint {data} is not readable"),
    (["selfplay", *QUICK, "--network", "onnx:{root}/none.onnx", "--output", "{root}/s.jsonl.gz"],
     "ONNX file {root}/none.onnx does not exist"),
    (["selfplay", *QUICK, "--network", "onnx:{empty_onnx}", "--output", "{root}/s.jsonl.gz"],
     "ONNX file {empty_onnx} is damaged or not an ONNX model"),
    (["selfplay", *QUICK, "--network", "onnx:{cut_onnx}", "--output", "{root}/s.jsonl.gz"],
     "ONNX file {cut_onnx} is damaged or not an ONNX model"),
    (["selfplay", *QUICK, "--network", "onnx:{folder}", "--output", "{root}/s.jsonl.gz"],
     "argument --network: {folder}: is a folder, not a network file"),
    # eval-random and arena: their networks
    (["eval-random", *QUICK, "--network", "torch:{root}/none.pt"], "does not exist"),
    (["eval-random", *QUICK, "--network", "onnx:"], "'onnx:': an empty path"),
    (["eval-random", *QUICK, "--network", "torch:{cut_pt}"], "{cut_pt} is not readable"),
    (["eval-random", *QUICK, "--network", "onnx:{data}"], "ONNX file {data} is damaged"),
    (["arena", *QUICK, "--baseline", "torch:{empty_pt}"], "{empty_pt} is not readable"),
    (["arena", *QUICK, "--network", "onnx:{folder}"], "{folder}: is a folder, not a network"),
    # train DATA --output
    (["train", "{root}/none.jsonl.gz", "--output", "{root}/t.pt"], "no such file"),
    (["train", "", "--output", "{root}/t.pt"], "argument data: an empty path"),
    (["train", "{empty_file}", "--side", "5", "--output", "{root}/t.pt"],
     "the data files hold no game of side 5"),
    (["train", "{cut}", "--side", "5", "--output", "{root}/t.pt"],
     "the data files hold no game of side 5; {cut} is cut short"),
    (["train", "{folder}", "--output", "{root}/t.pt"], "argument data: {folder}: is not a file"),
    (["train", "{notes}", "--side", "5", "--output", "{root}/t.pt"], "{notes}, line 1"),
    (["train", "{data}", "--output", ""], "argument --output: an empty path"),
    (["train", "{data}", "--output", "{folder}"], "--output {folder}: is a folder, not a file"),
    (["train", "{data}", "--side", "5", "--output", "{empty_pt}"],
     "checkpoint {empty_pt} is not readable"),
    (["train", "{data}", "--side", "5", "--output", "{cut_pt}"],
     "checkpoint {cut_pt} is not readable"),
    (["train", "{data}", "--side", "5", "--output", "{data}"], "checkpoint {data} is not "
                                                                "readable"),
    (["train", "{data}", "--output", "{notes}/t.pt"], "{notes} is not a folder"),
    (["train", "{data}", "--output", "{ro}/t.pt"], "{ro} is on a read-only file system"),
    # loop RUN_DIR --initial-weights
    (["loop", "", *TINY_LOOP], "argument run_dir: an empty path"),
    (["loop", "{notes}", *TINY_LOOP], "run folder {notes}: is not a folder"),
    (["loop", "{notes}/run", *TINY_LOOP], "{notes} is not a folder"),
    (["loop", "{stuffed}", *TINY_LOOP], "{stuffed} is not empty and is not a run folder"),
    (["loop", "{cut_run}", *TINY_LOOP], "{cut_run}/settings.json is not usable"),
    (["loop", "{ro}/run", *TINY_LOOP], "run folder {ro}/run: cannot be written: {ro}/run is on "
                                       "a read-only file system"),
    (["loop", "{root}/new", *TINY_LOOP, "--initial-weights", ""],
     "--initial-weights: an empty path"),
    (["loop", "{root}/new", *TINY_LOOP, "--initial-weights", "{root}/none.pt"],
     "checkpoint {root}/none.pt does not exist"),
    (["loop", "{root}/new", *TINY_LOOP, "--initial-weights", "{empty_pt}"],
     "checkpoint {empty_pt} is not readable"),
    (["loop", "{root}/new", *TINY_LOOP, "--initial-weights", "{cut_pt}"],
     "checkpoint {cut_pt} is not readable"),
    (["loop", "{root}/new", *TINY_LOOP, "--initial-weights", "{folder}"],
     "--initial-weights {folder}: is a folder, not a checkpoint"),
    (["loop", "{root}/new", *TINY_LOOP, "--initial-weights", "{data}"],
     "checkpoint {data} is not readable"),
    # plot RUN_DIR --output
    (["plot", "{root}/none"], "argument run_dir: {root}/none: no such folder"),
    (["plot", ""], "argument run_dir: an empty path"),
    (["plot", "{notes}"], "argument run_dir: {notes}: is not a folder"),
    (["plot", "{folder}"], "{folder} holds no finished generation"),
    (["plot", "{cut_run}"], "{cut_run}/settings.json is not usable"),
    (["plot", "{ro}/run"], "the learning curve {ro}/run/learning_curve.png: cannot be written: "
                           "{ro}/run is on a read-only file system"),
    (["plot", "{run}", "--output", ""], "argument --output: an empty path"),
    (["plot", "{run}", "--output", "{folder}"], "--output {folder}: is a folder, not a file"),
    (["plot", "{run}", "--output", "{notes}"], "--output {notes}: the learning curve is a "
                                               "PNG picture: its name must end with .png"),
    (["plot", "{run}", "--output", "{root}/fake.png"], "--output {root}/fake.png: exists and is "
                                                       "not a PNG picture"),
    (["plot", "{run}", "--output", "{notes}/c.png"], "{notes} is not a folder"),
    (["plot", "{run}", "--output", "{ro}/c.png"], "{ro} is on a read-only file system"),
    # ratings RUN_DIR
    (["ratings", "{root}/none"], "argument run_dir: {root}/none: no such folder"),
    (["ratings", ""], "argument run_dir: an empty path"),
    (["ratings", "{notes}"], "argument run_dir: {notes}: is not a folder"),
    (["ratings", "{folder}"], "{folder} holds no rating games"),
    # ladder CHECKPOINT... --references --json
    (["ladder", "{root}/none.pt", *LADDER, *REFERENCES],
     "argument CHECKPOINT: {root}/none.pt: no such checkpoint"),
    (["ladder", "", *LADDER, *REFERENCES], "argument CHECKPOINT: an empty path"),
    (["ladder", "{folder}", *LADDER, *REFERENCES],
     "argument CHECKPOINT: {folder}: is a folder, not a checkpoint"),
    (["ladder", "{empty_pt}", *LADDER, *REFERENCES], "checkpoint {empty_pt} is not readable"),
    (["ladder", "{cut_pt}", *LADDER, *REFERENCES], "checkpoint {cut_pt} is not readable"),
    (["ladder", "{notes}", *LADDER, *REFERENCES], "checkpoint {notes} is not readable"),
    (["ladder", "{cut_onnx}", *LADDER, *REFERENCES],
     "ONNX file {cut_onnx} is damaged or not an ONNX model"),
    (["ladder", "torch:{root}/none.pt", *LADDER, *REFERENCES],
     "checkpoint {root}/none.pt does not exist"),
    (["ladder", "heuristic", *LADDER, "--references", ""], "argument --references: an empty path"),
    (["ladder", "heuristic", *LADDER, "--references", "{folder}"],
     "--references {folder}: is a folder, not a file"),
    (["ladder", "heuristic", *LADDER, "--references", "{notes}"],
     "{notes}: is not a file of the ladder's reference matches: delete it or name another"),
    (["ladder", "heuristic", *LADDER, "--references", "{empty_file}"],
     "{empty_file}: is not a file of the ladder's reference matches"),
    (["ladder", "heuristic", *LADDER, "--references", "{notes}/r.json"], "{notes} is not a folder"),
    (["ladder", "heuristic", *LADDER, "--references", "{ro}/r.json"],
     "{ro} is on a read-only file system"),
    (["ladder", "{run}/checkpoints/gen-0001.pt", *LADDER, "--references",
      "{run}/checkpoints/gen-0001.pt"], "is the data being read"),
    (["ladder", "heuristic", *LADDER, *REFERENCES, "--json", ""], "argument --json: an empty path"),
    (["ladder", "heuristic", *LADDER, *REFERENCES, "--json", "{folder}"],
     "--json {folder}: is a folder, not a file"),
    (["ladder", "heuristic", *LADDER, *REFERENCES, "--json", "{notes}"],
     "--json {notes}: exists and is not a file tralix ladder wrote"),
    (["ladder", "heuristic", *LADDER, *REFERENCES, "--json", "{root}/r.json"],
     "--json {root}/r.json: is the data being read"),
    (["ladder", "heuristic", *LADDER, *REFERENCES, "--json", "{notes}/l.json"],
     "{notes} is not a folder"),
    (["ladder", "heuristic", *LADDER, *REFERENCES, "--json", "{ro}/l.json"],
     "{ro} is on a read-only file system"),
]


def _mount_read_only_copy(root: Path, sources: dict[str, Path]) -> Path | None:
    """A tmpfs at root/ro holding copies of sources, then remounted read-only; None where no
    tmpfs can be mounted."""
    ro = root / "ro"
    ro.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", str(ro)],
                             capture_output=True)
    if mounted.returncode != 0:
        return None
    for name, source in sources.items():
        if source.is_dir():
            shutil.copytree(source, ro / name)
        else:
            shutil.copy(source, ro / name)
    subprocess.run(["mount", "-o", "remount,ro", str(ro)], check=True)
    return ro


@contextlib.contextmanager
def world(root: Path):
    """The paths the cases name: a run folder of one generation made by the loop, its data,
    checkpoint and ONNX file, the same cut short (the data before its first whole game) and
    empty, a text file, folders."""
    run = root / "run"
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        assert main(["loop", str(run), *TINY_LOOP]) == 0
    names = {"root": root, "run": run, "data": root / "data.jsonl.gz",
             "cut": root / "cut.jsonl.gz", "empty_file": root / "empty.jsonl.gz",
             "notes": root / "notes.txt", "folder": root / "folder", "picture": root / "b.svg",
             "empty_pt": root / "empty.pt", "cut_pt": root / "cut.pt",
             "empty_onnx": root / "empty-net.onnx", "cut_onnx": root / "cut-net.onnx",
             "stuffed": root / "stuffed", "cut_run": root / "cut_run"}
    shutil.copy(run / "games" / "gen-0001.jsonl.gz", names["data"])
    for whole, cut, empty in (("data", "cut", "empty_file"),
                              (run / "checkpoints" / "gen-0001.pt", "cut_pt", "empty_pt"),
                              (run / "checkpoints" / "gen-0001.onnx", "cut_onnx", "empty_onnx")):
        content = Path(names[whole] if isinstance(whole, str) else whole).read_bytes()
        names[cut].write_bytes(content[:60 if whole == "data" else len(content) // 2])
        names[empty].write_bytes(b"")
    names["notes"].write_text("my notes\n")
    names["picture"].write_text("<svg/>\n")
    (root / "fake.png").write_text("not a picture\n")
    names["folder"].mkdir()
    names["stuffed"].mkdir()
    (names["stuffed"] / "mine.txt").write_text("mine\n")
    shutil.copytree(run, names["cut_run"])
    settings = names["cut_run"] / "settings.json"
    settings.write_text(settings.read_text()[:100])
    ro = _mount_read_only_copy(root, {"data.jsonl.gz": names["data"], "run": run})
    names["ro"] = ro if ro is not None else root / "no-tmpfs"
    try:
        yield names
    finally:
        if ro is not None:
            subprocess.run(["umount", str(ro)], check=True)


def snapshot(root: Path) -> dict[str, tuple[int, int]]:
    return {str(p.relative_to(root)): (p.stat().st_size, p.stat().st_mtime_ns)
            for p in sorted(root.rglob("*")) if not p.is_relative_to(root / "ro")}


def run_case(names: dict[str, Path], command: list[str], said: str) -> tuple[int, str, str, str]:
    """(exit status, standard output, standard error, what the line should hold)."""
    argv = [part.format(**names) for part in command]
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = main(argv)
    return code, out.getvalue(), err.getvalue(), said.format(**names)


@pytest.fixture(scope="module")
def names(tmp_path_factory):
    with world(tmp_path_factory.mktemp("bad_paths")) as made:
        yield made


@pytest.mark.parametrize("command, said", CASES, ids=[" ".join(c[:1] + c[-2:]) for c, _ in CASES])
def test_a_bad_path_is_one_line_and_status_2_writing_nothing(names, command, said, capsys):
    if "{ro}" in " ".join(command) and names["ro"].name == "no-tmpfs":
        pytest.skip("no tmpfs can be mounted here")
    before = snapshot(names["root"])
    code, out, err, expected = run_case(names, command, said)
    assert code == 2 and out == "" and err.count("\n") == 1, (code, out, err)
    assert expected in err, err
    assert snapshot(names["root"]) == before


if __name__ == "__main__":  # the table of tests/README.md
    import tempfile

    with tempfile.TemporaryDirectory() as folder, world(Path(folder)) as made:
        print("| command | exit | what it said |\n| --- | --- | --- |")
        for command, said in CASES:
            code, out, err, _ = run_case(made, command, said)
            shown = " ".join('""' if p == "" else p.format(**made) for p in command)
            shown = shown.replace(" ".join(QUICK), "...").replace(" ".join(TINY_LOOP), "...")
            shown = shown.replace(" ".join(LADDER), "...")
            line = err.strip().replace(folder, "T").replace("|", "\\|")
            print(f"| `tralix {shown.replace(folder, 'T')}` | {code} | {line} |")
        sys.exit(0)
