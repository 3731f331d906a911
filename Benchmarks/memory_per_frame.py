#!/usr/bin/python3
"""Peak resident memory of `oxretarget retarget -o X.glb` and `oxretarget preview` on a 100,000-frame
clip, per frame, beside the size of what each writes: memory should follow the output, not a multiple
of it (aim: glb within 3x its file, the page within 2x).

    Benchmarks/memory_per_frame.py build/release/Tools/oxretarget/oxretarget [FRAMES]
"""

import os
import subprocess
import sys
import tempfile


def peak_of(command):
    """Runs the command; returns its peak resident memory in bytes (the child's own, from wait4)."""
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(command)}: failed\n{process.stderr.read().decode(errors='replace')}")
    return usage.ru_maxrss * 1024


def main():
    tool = os.path.abspath(sys.argv[1])
    frames = int(sys.argv[2]) if len(sys.argv) > 2 else 100_000
    with tempfile.TemporaryDirectory(prefix="oxretarget-memory-") as work:
        os.chdir(work)
        subprocess.run([tool, "demo", "-o", "demo"], check=True, stdout=subprocess.DEVNULL)
        with open("demo/demo.bvh", encoding="utf-8") as file:
            header, motion = file.read().split("MOTION\n")
        rows = motion.splitlines()[2:]
        with open("long.bvh", "w", encoding="utf-8") as file:
            file.write(f"{header}MOTION\nFrames: {frames}\nFrame Time: 0.0333333\n")
            for i in range(frames):
                file.write(rows[i % len(rows)] + "\n")
        print(f"clip: {frames} frames, {os.path.getsize('long.bvh') / 2**20:.1f} MiB of BVH")
        print(f"{'output':<8} {'peak MiB':>9} {'B/frame':>9} {'output MiB':>11} {'B/frame':>9} {'peak/output':>12}")
        for label, command, output in (
                ("glb", [tool, "retarget", "long.bvh", "-o", "long.glb", "--source-units", "cm"], "long.glb"),
                ("preview", [tool, "preview", "long.bvh", "-o", "long.html", "--source-units", "cm"], "long.html")):
            peak = peak_of(command)
            size = os.path.getsize(output)
            print(f"{label:<8} {peak / 2**20:>9.1f} {peak / frames:>9.0f} {size / 2**20:>11.1f} {size / frames:>9.0f} "
                  f"{peak / size:>12.2f}")


if __name__ == "__main__":
    main()
