"""Time per frame of Retargeter.solve on a (10000, 67, 4) array beside the C++ library's, same run.

    PYTHONPATH=build/release/Python /usr/bin/python3 Python/benchmarks/bench_solve.py \
        [--cpp-benchmark build/release/Benchmarks/OxRetargetBenchmarks]

References measured in the same run:
  - the plain C++ loop over the library (feed all 67 source bones, solve, read the 52 meta poses),
    timed inside the module on the same rotations, and the same loop without reading the poses;
  - with --cpp-benchmark, the benchmark program's BM_Frame_Library (feed and solve, nothing read).
Each figure is the median of several repetitions, solve and the C++ loop taking turns. Goal: solve within 1.3x of the C++ loop.
"""

import argparse
import json
import statistics
import subprocess
import tempfile
import time

import numpy as np

import oxretarget


def interleaved_medians(runs, repetitions):
    """Median seconds of each run, the runs taking turns so that a busy machine weighs on all alike."""
    for run in runs:
        run()  # warm up
    times = [[] for _ in runs]
    for _ in range(repetitions):
        for run, kept in zip(runs, times):
            kept.append(run())
    return [statistics.median(kept) for kept in times]


def timed(call, frames):
    def run():
        start = time.perf_counter()
        call()
        return (time.perf_counter() - start) / frames

    return run


def benchmark_program(path, fingers, repetitions):
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run(
            [
                path,
                f"--benchmark_filter=^BM_Frame_Library/{int(fingers)}$",
                f"--benchmark_repetitions={repetitions}",
                "--benchmark_report_aggregates_only=true",
                f"--benchmark_out={out.name}",
                "--benchmark_out_format=json",
            ],
            capture_output=True,
            check=True,
        )
        report = json.load(out)
    for entry in report["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[entry["time_unit"]]
            return entry["real_time"] * scale
    raise RuntimeError("no median in the benchmark program's output")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=10000)
    parser.add_argument("--repetitions", type=int, default=7)
    parser.add_argument("--cpp-benchmark", help="path of OxRetargetBenchmarks, for its BM_Frame_Library figure")
    args = parser.parse_args()

    r = oxretarget.Retargeter()
    names = r.source_bones
    rng = np.random.default_rng(42)

    def unit_quaternions(count):
        q = rng.normal(size=(count, len(names), 4))
        return q / np.linalg.norm(q, axis=-1, keepdims=True)

    # Distinct poses in every frame, and 16 poses taking turns as BM_Frame_Library feeds them (its
    # branches and data stay warm).
    data = [
        ("distinct", unit_quaternions(args.frames)),
        ("16 cycling", np.ascontiguousarray(np.resize(unit_quaternions(16), (args.frames, len(names), 4)))),
    ]
    program = {}
    if args.cpp_benchmark:
        program = {f: benchmark_program(args.cpp_benchmark, f, args.repetitions) for f in (False, True)}

    print(f"solve on arrays ({args.frames}, {len(names)}, 4), median of {args.repetitions} runs, time per frame:")
    header = f"{'poses':>10} {'fingers_t_pose':>15} {'Python solve':>13} {'C++ loop':>10} {'ratio':>6}"
    header += f" {'loop, no reads':>14}"
    print(header + (f" {'BM_Frame_Library':>17} {'ratio':>6}" if program else ""))
    for label, rotations in data:
        for fingers in (False, True):
            python, cpp, unread = interleaved_medians(
                [
                    timed(lambda: r.solve(names, rotations, fingers_t_pose=fingers), args.frames),
                    lambda: r._library_seconds_per_frame(rotations, fingers),
                    lambda: r._library_seconds_per_frame(rotations, fingers, read_poses=False),
                ],
                args.repetitions,
            )
            line = f"{label:>10} {str(fingers):>15} {python * 1e6:>10.3f} us {cpp * 1e6:>7.3f} us {python / cpp:>6.2f}"
            line += f" {unread * 1e6:>11.3f} us"
            if program:
                line += f" {program[fingers] * 1e6:>14.3f} us {python / program[fingers]:>6.2f}"
            print(line)


if __name__ == "__main__":
    main()
