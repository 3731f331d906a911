#!/usr/bin/python3
"""oxretarget-dask: retargets many BVH files on a Dask cluster, one file per task.

Every task runs the oxretarget tool on one input on a worker and hands back that input's report line.
The results are the bytes the local batch (`oxretarget retarget INPUT... -o DIR`) writes: the tool
writes them, with the same input paths, from the same working directory, so workers must see the
inputs, the outputs and the working directory at the same paths (a shared folder). The report has one
line per input in sorted input order. Exit status: 0 all done, 1 some inputs failed, 2 usage error
(bad arguments, a scheduler that cannot be reached or is lost, a tool that cannot run).
"""

import argparse
import contextlib
import itertools
import json
import logging
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from concurrent.futures import CancelledError

PROG = "oxretarget-dask"


class UsageError(Exception):
    pass


class SchedulerLost(Exception):
    """The scheduler went away; lines holds the report lines of the files finished before (None for the rest)."""

    def __init__(self, message, lines):
        super().__init__(message)
        self.lines = lines


def end_with_parent():
    """Runs in the tool's process before it starts: it is killed when the worker that started it dies."""
    import ctypes
    ctypes.CDLL(None, use_errno=True).prctl(1, 9)  # PR_SET_PDEATHSIG, SIGKILL


REPORT_PREFIX = "oxretarget-dask-"


def process_is_gone(pid):
    """True when no process has that id here, or only its zombie (a killed task's, not yet reaped)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        return False
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as file:
            return file.read().rsplit(")", 1)[1].split()[0] == "Z"
    except (OSError, IndexError):
        return False


def temporary_host():
    """This machine's name as the tool's temporaries carry it ("NAME.tmp-HOST-PID-N")."""
    host = "".join("_" if c in "/\\" or ord(c) < 0x20 else c for c in socket.gethostname()[:64])
    return host or "host"


def sweep_leftovers(cwd, outputs):
    """Runs on each worker once the tasks are done: removes what a killed task of this host left, whose
    process no longer runs: the tool's temporaries beside the outputs (and their .bin) and the tasks'
    report files. One listing per folder."""
    host = temporary_host()
    prefixes = {}  # folder -> the temporaries' prefixes there ("NAME.tmp-", NAME cut as the tool cuts it)
    for output in outputs:
        for path in (output, os.path.splitext(output)[0] + ".bin"):
            folder = os.fsencode(os.path.join(cwd, os.path.dirname(path)))
            prefixes.setdefault(folder, set()).add(os.fsencode(os.path.basename(path))[:164] + b".tmp-")
    for folder, wanted in prefixes.items():
        try:
            names = os.listdir(folder)
        except OSError:
            continue
        for name in names:
            cut = name.rfind(b".tmp-") + 5
            owner = name[cut:].decode("utf-8", "replace").rsplit("-", 2)
            if cut >= 5 and name[:cut] in wanted and len(owner) == 3 and owner[0] == host and owner[1].isdigit() \
                    and owner[2].isdigit() and process_is_gone(int(owner[1])):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(folder, name))
    folder = tempfile.gettempdir()
    for name in os.listdir(folder):
        pid = name[len(REPORT_PREFIX):].split("-", 1)[0]
        if name.startswith(REPORT_PREFIX) and name.endswith(".jsonl") and pid.isdigit() and process_is_gone(int(pid)):
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(folder, name))


def retarget_one(tool, cwd, options, input_path):
    """Runs on a worker: the tool on one input. Returns {"line": the input's report line, "warnings": the
    tool's warning lines, one per kind} when the tool ran, {"failed": text} when it was stopped by a
    signal, {"fatal": text} when it cannot run here."""
    host = socket.gethostname()
    if not os.path.isdir(cwd):
        return {"fatal": f"{cwd}: no such folder on {host}; mount the shared folder at the same path everywhere"}
    if not os.path.isfile(tool):
        tool = shutil.which("oxretarget") or tool
    # The report file names this worker's process, so that a later task can tell it was left behind.
    handle, report = tempfile.mkstemp(prefix=f"{REPORT_PREFIX}{os.getpid()}-", suffix=".jsonl")
    os.close(handle)
    try:
        try:
            run = subprocess.run([tool, "retarget", *options, "--report", report, "--", input_path], cwd=cwd,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                 text=True, errors="replace", preexec_fn=end_with_parent)
        except OSError as error:
            return {"fatal": f"{tool}: cannot run on {host}: {error.strerror}"}
        if run.returncode < 0:
            return {"failed": f"{input_path}: oxretarget stopped by signal {-run.returncode} on {host}"}
        with open(report, encoding="utf-8", errors="surrogateescape") as file:
            line = file.readline().rstrip("\n")
        if run.returncode in (0, 1) and line:
            prefix = "oxretarget: warning: "
            warnings = [w.removeprefix(prefix) for w in run.stderr.splitlines() if w.startswith(prefix)]
            return {"line": line, "warnings": warnings}
        message = run.stderr.strip().splitlines()[0] if run.stderr.strip() else "no message"
        message = message.removeprefix("oxretarget: error: ")
        return {"fatal": f"{message} ({tool} on {host}, exit status {run.returncode})"}
    finally:
        if os.path.exists(report):
            os.unlink(report)


def option_table(tool):
    """The tool's options as its own table lists them (`oxretarget options`): the runner offers the
    ones marked for the cluster, with the tool's names, values and help."""
    try:
        run = subprocess.run([tool, "options"], stdin=subprocess.DEVNULL, capture_output=True, text=True, check=True)
        return json.loads(run.stdout)
    except (OSError, subprocess.CalledProcessError, json.JSONDecodeError) as error:
        raise UsageError(f"{tool}: cannot read its options ({error})") from None


def parse_arguments(argv):
    first = argparse.ArgumentParser(add_help=False)
    first.add_argument("--tool")
    known, _ = first.parse_known_args(argv)
    tool = find_tool(known.tool)
    parser = argparse.ArgumentParser(
        prog=PROG, fromfile_prefix_chars="@",
        description="Retarget BVH files on a Dask cluster, one file per task, with the results and the report of "
        "`oxretarget retarget`. Workers must see the files and the working directory at the same paths (a "
        "shared folder).")
    parser.add_argument("inputs", nargs="+", help="BVH files; @FILE reads arguments from FILE, one a line")
    parser.add_argument("-o", "--output", default="",
                        help="Output file (one input) or folder (several); default: beside each input")
    table = [spec for spec in option_table(tool) if "cluster" in spec["scopes"]]
    for spec in table:
        flag = "--" + spec["name"]
        if not spec["value_name"]:
            parser.add_argument(flag, action="store_true", help=spec["help"])
        else:
            parser.add_argument(flag, metavar=spec["value_name"], choices=spec["choices"] or None, help=spec["help"])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="Scheduler to use, e.g. tcp://HOST:8786")
    where.add_argument("--local", "-j", "--jobs", metavar="N", type=int,
                       help="Start a cluster of N worker processes on this machine (default: one per core)")
    parser.add_argument("--dashboard", action="store_true",
                        help="With a local cluster: serve Dask's dashboard on http://127.0.0.1:8787")
    parser.add_argument("--tool", help="The oxretarget program the workers run (default: the one beside this "
                        "program, else the one on PATH; a worker without it there uses its own PATH)")
    args = parser.parse_args(argv)
    if args.local is not None and args.local < 1:
        parser.error("--local needs at least one worker")
    args.tool = tool
    # Options the runner handles itself rather than passing on to every task.
    # Tasks are never quiet: their warning lines are what the runner prints.
    args.passed_on = [spec for spec in table if spec["name"] not in ("report", "shard", "quiet")]
    return args


def shard_of(inputs, shard):
    """The K-th of N parts (K from 1) of the inputs sorted by path: every N-th input from the K-th on,
    as the tool cuts them."""
    match = re.fullmatch(r"([0-9]+)/([0-9]+)", shard, re.ASCII)
    if not match or not 1 <= int(match[1]) <= int(match[2]):
        raise UsageError(f"--shard {shard}: expected K/N with 1 <= K <= N, e.g. 3/8")
    return sorted_order(inputs)[int(match[1]) - 1::int(match[2])]


def tool_options(args):
    """The options every task passes to the tool, -o included."""
    options = []
    for spec in args.passed_on:
        value = getattr(args, spec["name"].replace("-", "_"))
        if not spec["value_name"]:
            if value:
                options.append("--" + spec["name"])
        elif value is not None:
            options += ["--" + spec["name"], value]
    if args.output:
        options += ["-o", args.task_output]
    return options


OUTPUT_EXTENSIONS = {".json", ".csv", ".glb", ".gltf", ".bvh", ".html"}


def plan_outputs(inputs, out, format_name, sharded, report):
    """Where each input's result goes, as the tool names it, for every input whatever the shard; refuses
    what the tool refuses (outputs over inputs or over each other, the report over either). Returns the
    outputs and the -o each task passes (a folder ends in '/')."""
    extension = "." + (format_name or "json")
    named_file = os.path.splitext(out)[1].lower() in OUTPUT_EXTENSIONS
    folder = bool(out) and (out.endswith("/") or os.path.isdir(out) or len(inputs) > 1 or (sharded and not named_file))
    if folder and not os.path.isdir(out):
        if len(inputs) > 1 and named_file:
            raise UsageError(f"{out}: names a file, but several inputs need an output folder; name a folder with -o")
        if os.path.lexists(out):
            raise UsageError(f"{out}: is not a folder; several inputs need an output folder")
    inputs_seen = {os.path.realpath(path): path for path in inputs}
    taken = {}
    outputs = []
    for path in inputs:
        if not out:
            target = os.path.splitext(path)[0] + extension
        elif folder:
            target = os.path.join(out, os.path.splitext(os.path.basename(path))[0] + extension)
        else:
            target = out
        if os.path.realpath(target) in inputs_seen:
            raise UsageError(f"{target}: would overwrite an input file; choose another output with -o")
        first = taken.setdefault(os.path.realpath(target), path)
        if first != path:
            raise UsageError(f"{path}: would overwrite the results of {first} in {target}")
        outputs.append(target)
    if report:
        real = os.path.realpath(report)
        if real in inputs_seen:
            raise UsageError(f"{report}: the report would overwrite an input file; choose another output")
        if real in taken:
            raise UsageError(f"{report}: the report would overwrite the results of {taken[real]}")
    return outputs, (out.rstrip("/") + "/" if folder else out)


def make_folders(paths):
    for folder in sorted({os.path.dirname(path) for path in paths if os.path.dirname(path)}):
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as error:
            raise UsageError(f"{folder}: cannot create folder: {error.strerror}") from error


def find_tool(given):
    if given:
        if not os.path.isfile(given):
            raise UsageError(f"{given}: no such program")
        return os.path.abspath(given)
    beside = os.path.join(os.path.dirname(os.path.realpath(__file__)), "oxretarget")
    if os.path.isfile(beside):
        return beside
    found = shutil.which("oxretarget")
    if found:
        return os.path.abspath(found)
    raise UsageError(f"cannot find oxretarget beside {PROG} or on PATH; name it with --tool")


def connect(args):
    """A client of the scheduler --scheduler names, or of a new cluster on this machine."""
    from distributed import Client, LocalCluster
    # A lost scheduler is reported here in one line, not by the client's log with tracebacks.
    for name in ("distributed.client", "distributed.utils"):
        logging.getLogger(name).setLevel(logging.CRITICAL)
    if args.scheduler:
        try:
            return Client(args.scheduler, timeout="20s"), None
        except (OSError, TimeoutError, ValueError) as error:
            raise UsageError(f"{args.scheduler}: cannot reach the scheduler: {error}") from error
    workers = args.local or os.cpu_count() or 1
    # Every listener on this machine only: scheduler, workers, nannies and their dashboards.
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address="127.0.0.1:8787" if args.dashboard else "127.0.0.1:0",
                           scheduler_kwargs={"dashboard": args.dashboard},
                           worker_dashboard_address="127.0.0.1:0")
    if args.dashboard:
        print(f"{PROG}: dashboard at {cluster.dashboard_link}", file=sys.stderr)
    return Client(cluster), cluster


def failed_line(input_path, output, error):
    fields = {"input": input_path, "output": output, "status": "failed", "frames": 0, "seconds": 0.0,
              "error": error, "warnings": []}
    return json.dumps(fields, ensure_ascii=False, separators=(",", ":"))


def draw_progress(done, total, failed):
    width = 30
    filled = width * done // total if total else width
    note = f" ({failed} failed)" if failed else ""
    sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total} files{note}")
    if done == total:
        sys.stderr.write("\n")
    sys.stderr.flush()


def sorted_order(inputs):
    """Input indices in the order of the paths' bytes, the report's order."""
    return sorted(range(len(inputs)), key=lambda i: os.fsencode(inputs[i]))


def run_tasks(client, tool, options, inputs, outputs, show_progress):
    """Runs one task per input, at most a window of them queued at once; returns the report lines and
    the warning lines by input index. A task whose worker dies is run again by the scheduler (up to its allowed-failures)."""
    from distributed import KilledWorker, as_completed
    cwd = os.getcwd()
    order = sorted_order(inputs)
    window = max(256, 4 * sum(client.nthreads().values()))
    lines = [None] * len(inputs)
    warnings = [[] for _ in inputs]
    futures = {}
    pending = iter(order)
    queue = as_completed()

    def submit(index):
        future = client.submit(retarget_one, tool, cwd, options, inputs[index], pure=False)
        futures[future] = index
        queue.add(future)

    for index in itertools.islice(pending, window):
        submit(index)
    done = failed = 0
    for future in queue:
        index = futures.pop(future)
        try:
            result = future.result()
        except KilledWorker:
            result = {"failed": f"{inputs[index]}: every worker that ran it died"}
        except (CancelledError, OSError, TimeoutError):
            raise SchedulerLost(f"lost the scheduler after {done} of {len(inputs)} files; run again with --resume",
                                lines)
        except Exception as error:  # raised inside the task: report it for this input and go on
            result = {"failed": f"{inputs[index]}: {type(error).__name__}: {error}"}
        if "fatal" in result:  # the tasks left are released when the client closes
            raise UsageError(result["fatal"])
        line = result.get("line") or failed_line(inputs[index], outputs[index], result["failed"])
        lines[index] = line
        warnings[index] = result.get("warnings", [])
        done += 1
        failed += json.loads(line).get("status") == "failed"
        if show_progress:
            draw_progress(done, len(inputs), failed)
        for next_index in itertools.islice(pending, 1):
            submit(next_index)
    return lines, warnings


def write_report(path, lines):
    """The report, all at once under its final name: written beside it and renamed."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(handle, "w", encoding="utf-8", errors="surrogateescape") as file:
            for line in lines:
                file.write(line + "\n")
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def main(argv=None):
    try:
        args = parse_arguments(argv)
    except UsageError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    start = time.monotonic()
    client = cluster = None
    try:
        if args.report:
            make_folders([args.report])
        tool = args.tool
        # Every input is planned, whatever the shard, so that every shard refuses the same collisions.
        # With a character the results are in the character's container, as the tool writes them.
        character = getattr(args, "character", None)
        format_name = args.format or (os.path.splitext(character)[1].lower().lstrip(".") if character else None)
        outputs, args.task_output = plan_outputs(args.inputs, args.output, format_name, args.shard is not None,
                                                 args.report)
        if args.shard is not None:
            mine = shard_of(args.inputs, args.shard)
            args.inputs, outputs = [args.inputs[i] for i in mine], [outputs[i] for i in mine]
        make_folders(outputs + ([args.output.rstrip("/") + "/x"] if args.task_output.endswith("/") else []))
        client, cluster = connect(args)
        show_progress = not args.quiet and len(args.inputs) > 1 and sys.stderr.isatty()
        try:
            lines, warning_lines = run_tasks(client, tool, tool_options(args), args.inputs, outputs, show_progress)
            # What killed tasks left on any host, once every task is done.
            client.run(sweep_leftovers, os.getcwd(), outputs)
        except SchedulerLost as lost:
            # The report says what finished; --resume does the rest.
            if args.report:
                write_report(args.report, [lost.lines[i] for i in sorted_order(args.inputs) if lost.lines[i]])
            raise UsageError(str(lost)) from None
    except UsageError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    except Exception as error:  # anything else from the cluster: one line, not a traceback
        print(f"{PROG}: error: {type(error).__name__}: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"\n{PROG}: interrupted; results written so far are complete, --resume goes on", file=sys.stderr)
        return 130
    finally:
        try:
            if client is not None:
                client.close(timeout=10)
            if cluster is not None:
                cluster.close(timeout=10)
        except Exception:  # a scheduler already gone cannot be closed politely
            pass

    order = sorted_order(args.inputs)
    records = [json.loads(lines[i]) for i in order]
    if args.report:
        write_report(args.report, [lines[i] for i in order])
    for index, record in zip(order, records):
        if record["status"] == "failed":
            print(f"{PROG}: error: {record['error']}", file=sys.stderr)
        if not args.quiet:
            for warning in warning_lines[index]:
                print(f"{PROG}: warning: {warning}", file=sys.stderr)
    counts = {status: sum(r["status"] == status for r in records) for status in ("ok", "skipped", "failed")}
    warnings = sum(len(w) for w in warning_lines)
    frames = sum(r["frames"] for r in records if r["status"] == "ok")
    seconds = time.monotonic() - start
    extra = (f", {counts['skipped']} skipped as done" if counts["skipped"] else "") + (
        f", {warnings} warnings" if warnings else "")
    print(f"{counts['ok']} of {len(records)} files retargeted{extra}, {frames} frames in {seconds:.3f} s "
          f"({frames / seconds if seconds else 0:.0f} frames/s)", file=sys.stderr)
    if counts["failed"]:
        print(f"{counts['failed']} failed:", file=sys.stderr)
        for record in records:
            if record["status"] == "failed":
                print(f"  {record['error']}", file=sys.stderr)
    if len(records) == 1 and counts["ok"] == 1 and not args.quiet:
        print(records[0]["output"])
    return 1 if counts["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
