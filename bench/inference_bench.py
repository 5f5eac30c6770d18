"""Network inference on the CPU: evaluations per second per core of the learning package's
network (4 blocks of 32 channels unless told otherwise) for batches of 1, 8, 16 and 64 on sides
10 and 20, with

- PyTorch as the workers ran it before the backends came (eager, inference mode, batch norms
  apart),
- PyTorch with the cheap wins (batch norms folded into the convolutions, inference mode; then
  also channels last; with --compile also torch.compile),
- ONNX Runtime on the checkpoint's exported file,

each on one thread, so that evaluations per CPU second are evaluations per second of one core
(the wall-clock figure is printed beside it: on a busy machine the CPU time is the fairer one).
Then the network's floating-point operations per evaluation, the GFLOP/s each figure achieves
and the CPU's peak (cores x clock x FMA width, and how each was found). Last, whole self-play
through the harness, 2 workers x 8 games, 8 simulations per move, in network evaluations/s per
backend. Each figure for the network of each of --inputs: the five planes and the full
position (six planes and the global features, in requests of layout 3; its self-play searches
in mode 1 where --search-mode is 0, the self-play module's, which sends the five planes
alone).

    python bench/inference_bench.py [--sides 10 20] [--batches 1 8 16 64] [--seconds 3]
        [--blocks 4] [--channels 32] [--inputs planes full] [--compile] [--fma-units 2]
        [--games 32] [--workers 2] [--threads 8] [--sims 8] [--search-mode 0]
        [--no-selfplay]
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import re
import subprocess
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import torch

import tralix_rules
from tralix_harness.base.settings import SearchSettings
from tralix_harness.learning.settings import TrainSettings
from tralix_harness.learning.trainer import Trainer
from tralix_harness.local.lifecycle import GameStatus
from tralix_harness.local.options import RunKind, RunOptions
from tralix_harness.local.run import Run
from tralix_harness.networks.backend import Backend
from tralix_harness.networks.exported import exported
from tralix_harness.networks.inputs import InputKind
from tralix_harness.networks.model import TorchNetwork, TralixNet, fold_batch_norm, load_model
from tralix_harness.networks.runtime import OnnxNetwork
from tralix_harness.networks.settings import ModelSettings

# A network's evaluation of the arrays it takes: the planes, and the full position's features.
Evaluate = Callable[..., Any]
Arrays = tuple[np.ndarray[Any, Any], ...]


# ----- the CPU's peak ------------------------------------------------------------------------


@dataclasses.dataclass
class Peak:
    cores: int
    gigahertz: float
    lanes: int        # float32 lanes of the widest vector FMA
    fma_units: int    # FMA instructions issued per cycle per core
    how: str

    @property
    def per_core(self) -> float:
        """GFLOP/s of one core: clock x lanes x 2 (a fused multiply-add) x units."""
        return self.gigahertz * self.lanes * 2 * self.fma_units

    @property
    def total(self) -> float:
        return self.per_core * self.cores


def _lscpu() -> dict[str, str]:
    try:
        text = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return {}
    return {k.strip(): v.strip() for k, _, v in (line.partition(":") for line in
                                                  text.splitlines()) if v}


def cpu_peak(fma_units: int) -> Peak:
    """The float32 peak from lscpu and /proc/cpuinfo: physical cores (lscpu's cores per
    socket x sockets), the clock (lscpu's maximum, else /proc/cpuinfo's current 'cpu MHz'),
    the vector width from the flags (avx512f: 16 lanes, avx2 with fma: 8, else 4 without
    FMA); the FMA units per core are not in either, so they are given (--fma-units)."""
    info = _lscpu()
    cpuinfo = Path("/proc/cpuinfo").read_text() if Path("/proc/cpuinfo").exists() else ""
    listed = re.search(r"^flags\s*:(.*)$", cpuinfo, re.M)
    flags = set((listed.group(1) if listed else info.get("Flags", "")).split())
    how = []
    try:
        cores = int(info["Core(s) per socket"]) * int(info["Socket(s)"])
        how.append(f"{cores} cores (lscpu: cores per socket x sockets)")
    except (KeyError, ValueError):
        cores = os.cpu_count() or 1
        how.append(f"{cores} cores (os.cpu_count)")
    if "CPU max MHz" in info:
        megahertz = float(info["CPU max MHz"])
        how.append(f"{megahertz / 1000:.2f} GHz (lscpu: CPU max MHz)")
    else:
        found = re.findall(r"^cpu MHz\s*:\s*([\d.]+)", cpuinfo, re.M)
        megahertz = max(map(float, found)) if found else float("nan")
        how.append(f"{megahertz / 1000:.2f} GHz (/proc/cpuinfo: cpu MHz; lscpu gives no "
                   "maximum, as under a hypervisor)")
    if "avx512f" in flags:
        lanes, width = 16, "avx512f: 512-bit FMA, 16 float32 lanes"
    elif {"avx2", "fma"} <= flags:
        lanes, width = 8, "avx2 + fma: 256-bit FMA, 8 float32 lanes"
    else:
        lanes, width, fma_units = 4, "no FMA flag: 128-bit SSE, counted as one op", 1
    how.append(f"{width} (/proc/cpuinfo flags)")
    how.append(f"{fma_units} FMA unit(s) per core (given: --fma-units)")
    return Peak(cores, megahertz / 1000, lanes, fma_units, "; ".join(how))


# ----- the network's work --------------------------------------------------------------------


def flops_per_evaluation(model: TralixNet, side: int) -> int:
    """Floating-point operations of one position: 2 per multiply-add of the convolutions and
    the linear layers (and their bias additions); the ReLUs, the residual additions and the
    pooling, a few percent, are left out."""
    total = 0

    def count(module: torch.nn.Module, inputs: Any, output: torch.Tensor) -> None:
        nonlocal total
        if isinstance(module, torch.nn.Conv2d):
            per_output = 2 * module.in_channels // module.groups * module.kernel_size[0] \
                * module.kernel_size[1]
            total += (per_output + (module.bias is not None)) * output[0].numel()
        elif isinstance(module, torch.nn.Linear):
            total += (2 * module.in_features + (module.bias is not None)) * module.out_features

    hooks = [m.register_forward_hook(count) for m in model.modules()
             if isinstance(m, torch.nn.Conv2d | torch.nn.Linear)]
    kind = model.inputs
    with torch.inference_mode():
        model(torch.zeros(1, kind.planes, side, side),
              torch.zeros(1, kind.globals) if kind is InputKind.FULL else None)
    for hook in hooks:
        hook.remove()
    return total


def positions(side: int, count: int, seed: int = 0,
              inputs: InputKind = InputKind.PLANES) -> Arrays:
    """Positions from games of random moves, early and late, as a network of ``inputs``
    takes them: the planes, and for the full position the global features."""
    rng = np.random.default_rng(seed)
    planes: list[np.ndarray[Any, Any]] = []
    features: list[np.ndarray[Any, Any]] = []
    while len(planes) < count:
        game = tralix_rules.Game(side)
        for _ in range(int(rng.integers(0, side * side))):
            if game.is_over():
                break
            game.apply(int(rng.choice(game.valid_tiles())))
        if not game.is_over():
            if inputs is InputKind.FULL:
                full_planes, full_features = game.encode_full()
                planes.append(full_planes)
                features.append(full_features)
            else:
                planes.append(game.encode(1))
    arrays = [np.stack(planes).astype(np.float32)]
    if features:
        arrays.append(np.stack(features).astype(np.float32))
    return tuple(arrays)


@dataclasses.dataclass
class Speed:
    per_cpu_second: float
    per_second: float


def speed(evaluate: Evaluate, arrays: Arrays, seconds: float) -> Speed:
    """Evaluations per CPU second of this thread and per wall second, over at least
    ``seconds`` of wall time (after a few warm-up calls)."""
    for _ in range(3):
        evaluate(*arrays)
    calls = 0
    wall, cpu = time.perf_counter(), time.thread_time()
    while True:
        evaluate(*arrays)
        calls += 1
        elapsed = time.perf_counter() - wall
        if elapsed >= seconds and calls >= 3:
            break
    used = time.thread_time() - cpu
    evaluations = calls * len(arrays[0])
    return Speed(evaluations / max(used, 1e-9), evaluations / elapsed)


# ----- the variants --------------------------------------------------------------------------


def variants(checkpoint: Path, side: int, compile_too: bool) -> dict[str, Evaluate]:
    """What each variant runs, on one thread."""
    before, _ = load_model(checkpoint)

    def eager(*arrays: np.ndarray[Any, Any]) -> Any:
        with torch.inference_mode():
            return before(*(torch.from_numpy(a) for a in arrays))

    found: dict[str, Evaluate] = {
        "torch, as before": eager,
        "torch, folded": TorchNetwork(checkpoint, side).evaluate,
        "torch, folded, channels last": TorchNetwork(checkpoint, side,
                                                     channels_last=True).evaluate,
        "torch, folded, channels last, bf16": TorchNetwork(
            checkpoint, side, channels_last=True, bfloat16=True).evaluate,
    }
    if compile_too:
        compiled = torch.compile(fold_batch_norm(before), dynamic=False)

        def run_compiled(*arrays: np.ndarray[Any, Any]) -> Any:
            with torch.inference_mode():
                return compiled(*(torch.from_numpy(a) for a in arrays))

        found["torch, folded, compiled"] = run_compiled
    found["onnxruntime"] = OnnxNetwork(exported(checkpoint), side, threads=1).evaluate
    return found


def make_checkpoint(folder: Path, side: int, model: ModelSettings) -> Path:
    """An untrained network of the learning package (its speed is that of a trained one)."""
    path = folder / f"side-{side}-{model.inputs.value}.pt"
    Trainer(side, model, TrainSettings()).save(path)
    return path


# A checkpoint per side and input kind.
Checkpoints = dict[tuple[int, InputKind], Path]


def measure_inference(args: argparse.Namespace, checkpoints: Checkpoints, peak: Peak) -> None:
    torch.set_num_threads(1)
    for (side, inputs), checkpoint in checkpoints.items():
        model, _ = load_model(checkpoint)
        flops = flops_per_evaluation(model, side)
        print(f"\nside {side}, {inputs.description}: {flops / 1e6:.1f} MFLOP per evaluation "
              f"({args.blocks} blocks of {args.channels} channels)")
        print(f"{'variant':<32} {'batch':>5} {'evals/CPU s':>12} {'evals/s':>10} "
              f"{'GFLOP/s':>8} {'of core peak':>12}")
        arrays = positions(side, max(args.batches), seed=side, inputs=inputs)
        for name, evaluate in variants(checkpoint, side, args.compile).items():
            for batch in args.batches:
                try:
                    measured = speed(evaluate, tuple(a[:batch] for a in arrays), args.seconds)
                except Exception as error:  # torch.compile without a working compiler
                    print(f"{name:<32} {batch:>5} failed: {type(error).__name__}: "
                          f"{str(error).splitlines()[0][:80]}")
                    break
                gflops = measured.per_cpu_second * flops / 1e9
                print(f"{name:<32} {batch:>5} {measured.per_cpu_second:>12,.0f} "
                      f"{measured.per_second:>10,.0f} {gflops:>8.2f} "
                      f"{gflops / peak.per_core:>11.1%}", flush=True)


def measure_selfplay(args: argparse.Namespace, checkpoints: Checkpoints) -> None:
    print(f"\nself-play: {args.workers} workers x {args.threads} games, {args.sims} "
          f"simulations per move, {args.games} games")
    for (side, inputs), checkpoint in checkpoints.items():
        # The self-play module's search sends the five planes alone.
        mode = max(args.search_mode, 1) if inputs is InputKind.FULL else args.search_mode
        for backend in (Backend.TORCH, Backend.ONNXRUNTIME):
            options = RunOptions(kind=RunKind.SELFPLAY, games=args.games,
                                 settings=SearchSettings(dim=side, sims_per_move=args.sims,
                                                         sample_moves=30, search_mode=mode),
                                 networks=[f"torch:{checkpoint}"], workers=args.workers,
                                 threads=args.threads, backend=backend)
            with Run(options) as run:
                finished = sum(r.status is GameStatus.FINISHED for r in run)
                seconds = time.perf_counter() - run.started
                served = run.requests_served()
            print(f"side {side}, {inputs.value:<6} inputs, search mode {mode}, "
                  f"{backend.value:<12}: {served / seconds:>8,.0f} network "
                  f"evaluations/s ({finished} games, {seconds:.1f} s, process start-up "
                  "included)", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sides", type=int, nargs="+", default=[10, 20])
    parser.add_argument("--batches", type=int, nargs="+", default=[1, 8, 16, 64])
    parser.add_argument("--seconds", type=float, default=3.0,
                        help="wall time per measurement")
    parser.add_argument("--blocks", type=int, default=ModelSettings().blocks)
    parser.add_argument("--channels", type=int, default=ModelSettings().channels)
    parser.add_argument("--inputs", type=InputKind, nargs="+", choices=list(InputKind),
                        default=list(InputKind),
                        help="the networks timed: of the five planes, of the full position")
    parser.add_argument("--compile", action="store_true",
                        help="also torch.compile (needs a C++ compiler; slow to start)")
    parser.add_argument("--fma-units", type=int, default=2,
                        help="FMA units per core (not in /proc/cpuinfo: two on most server "
                             "cores with AVX-512, one on some)")
    parser.add_argument("--games", type=int, default=32)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--sims", type=int, default=8)
    parser.add_argument("--search-mode", type=int, choices=(0, 1, 2), default=0,
                        help="self-play's search (a full network's: 1 where this is 0)")
    parser.add_argument("--no-selfplay", action="store_true")
    args = parser.parse_args()
    peak = cpu_peak(args.fma_units)
    print(f"CPU peak, float32: {peak.per_core:.1f} GFLOP/s per core, {peak.total:.1f} GFLOP/s "
          f"on {peak.cores} cores = cores x clock x FMA width x 2 x units; {peak.how}")
    with tempfile.TemporaryDirectory() as folder:
        checkpoints = {(side, inputs): make_checkpoint(
                           Path(folder), side, ModelSettings(args.blocks, args.channels,
                                                             inputs=inputs))
                       for side in args.sides for inputs in args.inputs}
        measure_inference(args, checkpoints, peak)
        if not args.no_selfplay:
            measure_selfplay(args, checkpoints)


if __name__ == "__main__":
    main()
