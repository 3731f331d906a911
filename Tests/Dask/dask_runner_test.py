"""oxretarget-dask against a scheduler and two workers, each a separate process on 127.0.0.1: its
results are byte-identical to the local batch's and its report says what the local batch's says, while
one worker is killed in the middle of a file (the file is run again elsewhere). Then one file on a
cluster the runner starts itself (--local), with the tool it finds beside itself.

Usage: dask_runner_test.py TOOL RUNNER WORK_FOLDER (run by Debian's python3 with python3-distributed).
Every process started here has its own process group, and every group is killed at the end.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

CLIPS = 32
BROKEN = "in/broken.bvh"
DOOMED = "in/clip07.bvh"  # the first worker that runs it dies

# Stands in for the tool on the workers: the first run on DOOMED leaves a temporary beside its output
# as a tool killed mid-file does ("NAME.tmp-HOST-PID-N", of a process that then ends) and kills the
# worker that started it (the wrapper's parent), whose task's report file stays behind; every other run
# is the real tool.
WRAPPER = """#!/bin/sh
for arg; do last=$arg; done
if [ "$last" = {doomed} ] && mkdir killed-a-worker 2>/dev/null; then
  : > "{left}.tmp-$(hostname)-$$-0"; kill -9 $PPID; exit 1
fi
exec '{tool}' "$@"
"""


# Records the listening sockets of the runner (the wrapper's grandparent), its children and theirs,
# then runs the real tool.
LISTENERS = """#!/bin/sh
# Only a task's run (the runner itself also asks the tool for its options).
if [ "$1" = retarget ]; then
  runner=$(ps -o ppid= -p $PPID | tr -d ' ')
  {{ echo $runner $(ps -o pid= --ppid $runner) $(ps -o pid= --ppid $PPID); ss -ltnpH; }} > listeners.txt
fi
exec '{tool}' "$@"
"""


def make_inputs(tool):
    """Copies of the demo clip, most cut to other lengths or played backwards, and one whose frame
    count promises more frames than it holds."""
    subprocess.run([tool, "demo", "-o", "demo"], check=True, stdout=subprocess.DEVNULL)
    with open("demo/demo.bvh", encoding="utf-8") as file:
        text = file.read()
    header, motion = text.split("MOTION\n")
    lines = motion.splitlines()
    frame_time, frames = lines[1], lines[2:]
    os.makedirs("in")

    def write(path, kept, count=None):
        with open(path, "w", encoding="utf-8") as file:
            file.write(f"{header}MOTION\nFrames: {count or len(kept)}\n{frame_time}\n" + "\n".join(kept) + "\n")

    for i in range(CLIPS):
        kept = frames[: len(frames) - 5 * (i % 8)]
        write(f"in/clip{i:02}.bvh", kept[::-1] if i % 3 == 1 else kept)
    write(BROKEN, frames[:90], count=len(frames))


def start(processes, name, command, env=None):
    with open(f"{name}.log", "w", encoding="utf-8") as log:
        processes.append((name, subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=env,
                                                 stdin=subprocess.DEVNULL, start_new_session=True)))


def run(processes, name, command):
    """Runs a command to the end in a group of its own (stopped with the others should it hang)."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                               text=True, start_new_session=True)
    processes.append((name, process))
    out, err = process.communicate(timeout=900)
    return subprocess.CompletedProcess(command, process.returncode, out, err)


def stop(processes):
    """SIGTERM to every group, a moment to shut down cleanly, then SIGKILL to every group."""
    for _, process in processes:
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    for _, process in processes:
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            pass
    for _, process in processes:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait()


def wait_for_cluster(address, workers):
    from distributed import Client
    with Client(address, timeout="120s") as client:
        client.wait_for_workers(workers, timeout=300)


def read_report(path):
    with open(path, encoding="utf-8") as file:
        return [json.loads(line) for line in file]


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def run_test(tool, runner, processes):
    make_inputs(tool)
    inputs = sorted(f"in/{name}" for name in os.listdir("in"))
    options = ["--root-motion", "root"]

    local = subprocess.run([tool, "retarget", *inputs, "-o", "local", "--report", "local.jsonl", *options],
                           capture_output=True, text=True)
    check(local.returncode == 1, f"local batch: exit status {local.returncode}, expected 1\n{local.stderr}")

    python = sys.executable
    # Should this script itself be killed, the scheduler ends once idle and the workers once it is gone.
    start(processes, "scheduler", [python, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                   "--port", "0", "--no-dashboard", "--scheduler-file", "scheduler.json",
                                   "--idle-timeout", "300"])
    for _ in range(600):
        if os.path.exists("scheduler.json") or processes[0][1].poll() is not None:
            break
        time.sleep(0.2)
    check(os.path.exists("scheduler.json"), "the scheduler did not start; see scheduler.log")
    with open("scheduler.json", encoding="utf-8") as file:
        address = json.load(file)["address"]
    check(address.startswith("tcp://127.0.0.1:"), f"scheduler listens on {address}")
    # The workers' temporary folder is the test's own, to see what a killed task leaves there.
    os.makedirs("worker-tmp")
    worker_env = dict(os.environ, TMPDIR=os.path.abspath("worker-tmp"))
    for name in ("worker1", "worker2"):
        start(processes, name, [python, "-m", "distributed.cli.dask_worker", address, "--host", "127.0.0.1",
                                "--nthreads", "1", "--no-dashboard", "--local-directory", name, "--name", name,
                                "--death-timeout", "60"], env=worker_env)
    wait_for_cluster(address, 2)

    with open("worker-tool", "w", encoding="utf-8") as file:
        file.write(WRAPPER.format(doomed=DOOMED, tool=tool, left="dask/" + os.path.basename(DOOMED)[:-4] + ".json"))
    os.chmod("worker-tool", 0o755)
    dask = run(processes, "runner", [runner, "--scheduler", address, "--tool", "worker-tool", *inputs, "-o", "dask",
                                     "--report", "dask.jsonl", *options])
    check(dask.returncode == 1, f"runner: exit status {dask.returncode}, expected 1\n{dask.stderr}")
    check(os.path.isdir("killed-a-worker"), "no worker was killed: the wrapper never ran on " + DOOMED)
    # What the killed task left is gone: its report file and (below) the temporary beside its output.
    check(not [n for n in os.listdir("worker-tmp") if n.endswith(".jsonl")],
          f"report files left in the workers' temporary folder: {os.listdir('worker-tmp')}")

    # The same files, byte for byte: all but the broken input's.
    names = sorted(os.listdir("local"))
    check(len(names) == CLIPS, f"local batch wrote {len(names)} files")
    check(sorted(os.listdir("dask")) == names, f"runner wrote {sorted(os.listdir('dask'))}, expected {names}")
    for name in names:
        with open(f"local/{name}", "rb") as a, open(f"dask/{name}", "rb") as b:
            check(a.read() == b.read(), f"{name}: the runner's result differs from the local batch's")

    # The same report, in sorted input order, but for the time taken and the output folder.
    expected, got = read_report("local.jsonl"), read_report("dask.jsonl")
    check([r["input"] for r in got] == inputs, f"runner's report lists {[r['input'] for r in got]}")
    check(sorted(r["input"] for r in expected) == inputs, "local report does not list every input once")
    by_input = {r["input"]: r for r in expected}
    for record in got:
        want = dict(by_input[record["input"]])
        check(list(record) == list(want), f"report keys {list(record)}, expected {list(want)}")
        want["output"] = want["output"].replace("local", "dask", 1)
        want["seconds"] = record["seconds"]
        check(record == want, f"report line {record}, expected {want}")
    failed = [r for r in got if r["status"] != "ok"]
    check(len(failed) == 1 and failed[0]["input"] == BROKEN and failed[0]["error"].startswith(BROKEN + ": "),
          f"failed inputs: {failed}")
    check(sum(r["frames"] for r in got) > CLIPS * 100, "frames missing from the report")

    # One file on a cluster of its own, with the tool found beside the runner.
    single = run(processes, "single", [runner, "--local", "1", "in/clip05.bvh", "-o", "single.json", *options])
    check(single.returncode == 0, f"runner on one file: exit status {single.returncode}\n{single.stderr}")
    with open("local/clip05.json", "rb") as a, open("single.json", "rb") as b:
        check(a.read() == b.read(), "single.json differs from the local batch's clip05.json")

    # A local cluster listens on 127.0.0.1 only: the sockets of the runner and its workers, seen from a task.
    with open("listening-tool", "w", encoding="utf-8") as file:
        file.write(LISTENERS.format(tool=tool))
    os.chmod("listening-tool", 0o755)
    # More shards than files: the shard with one file writes into the folder, the empty one succeeds.
    for shard, status in (("2/4", 0), ("4/4", 0)):
        sharded = run(processes, "sharded", [runner, "--local", "2", "--dashboard", "--tool", "listening-tool",
                                             "in/clip01.bvh", "in/clip02.bvh", "-o", "shards", "--shard", shard])
        check(sharded.returncode == status, f"--shard {shard}: exit status {sharded.returncode}\n{sharded.stderr}")
    check(os.listdir("shards") == ["clip02.json"], f"shards/ holds {os.listdir('shards')}")
    with open("listeners.txt", encoding="utf-8") as file:
        lines = file.read().splitlines()
    family = {int(pid) for pid in lines[0].split()}
    ours = [line for line in lines[1:] if any(f"pid={pid}," in line for pid in family)]
    check(len(ours) >= 4, f"expected the scheduler's, workers' and dashboard's sockets, found {ours}")
    for line in ours:
        check(line.split()[3].startswith("127.0.0.1:"), f"a local cluster listens beyond this machine: {line}")
    bad = run(processes, "bad-shard", [runner, "--local", "1", "in/clip01.bvh", "--shard", "1/\u00b2"])
    check(bad.returncode == 2 and bad.stderr.count("\n") == 1 and "--shard 1/\u00b2: expected K/N" in bad.stderr,
          f"--shard 1/\u00b2: exit status {bad.returncode}, {bad.stderr!r}")
    # A result or report over a file an option names is refused by the plan, before any work, and the file
    # stays as it was.
    shutil.copy("in/clip01.bvh", "rest.bvh")
    with open("map.json", "w", encoding="utf-8") as file:
        file.write('{"Hips": "Hips"}')
    for name, extra in (("map.json", ["-o", "map.json", "--map", "map.json"]),
                        ("rest.bvh", ["--source-rest", "file:rest.bvh", "--report", "rest.bvh"])):
        with open(name, "rb") as file:
            before = file.read()
        over = run(processes, "over-" + name, [runner, "--local", "1", "in/clip02.bvh", *extra])
        check(over.returncode == 2 and over.stderr.count("\n") == 1 and "would overwrite an input file" in over.stderr,
              f"{extra}: exit status {over.returncode}, {over.stderr!r}")
        with open(name, "rb") as file:
            check(file.read() == before, f"{name} was written over")


def main():
    tool, runner, work = (os.path.abspath(arg) for arg in sys.argv[1:4])
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.chdir(work)
    processes = []
    try:
        run_test(tool, runner, processes)
    except BaseException:
        for name, _ in processes:
            if not os.path.exists(f"{name}.log"):
                continue
            with open(f"{name}.log", encoding="utf-8", errors="replace") as log:
                print(f"--- last lines of {name}.log ---\n" + "".join(log.readlines()[-15:]), file=sys.stderr)
        raise
    finally:
        stop(processes)
    print(f"{CLIPS + 1} files: results and report of the Dask runner match the local batch")


if __name__ == "__main__":
    main()
