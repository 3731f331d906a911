#!/usr/bin/python3
"""oxretarget-dask: retargets many BVH files on a Dask cluster, one file per task.

The tool plans the run (`oxretarget plan`: every input's output, the shard's part), then every task runs
the tool on one input on a worker and hands back that input's report line. The results are the bytes the
local batch (`oxretarget retarget INPUT... -o DIR`) writes: the tool writes them, with the same input
paths, from the same working directory, so workers must see the inputs, the outputs and the working
directory at the same paths (a shared folder). The report has one line per input in sorted input order.
Exit status: 0 all done, 1 some inputs failed, 2 usage error (bad arguments, a scheduler that cannot be
reached or is lost, a tool that cannot run).
"""

import argparse
import contextlib
import itertools
import json
import logging
import os
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
    args.table = table
    args.passed_on = [spec for spec in table if spec["name"] not in ("report", "shard", "quiet")]
    return args


def tool_options(args, every=False):
    """The table's options as the tool takes them: those every task passes on (-o aside), or with every
    all the run's (the report, the shard), for the plan."""
    options = []
    for spec in (args.table if every else args.passed_on):
        value = getattr(args, spec["name"].replace("-", "_"))
        if not spec["value_name"]:
            if value:
                options.append("--" + spec["name"])
        elif value is not None:
            options += ["--" + spec["name"], value]
    return options


def tool_plan(args):
    """The tool's plan of the run (`oxretarget plan`): every input's output, the -o each task passes, the
    folders to create, and which inputs the shard takes. The tool refuses what it would refuse in a local
    batch (outputs over inputs or over each other, the report over either, a wrong shard), so the runner
    and the local batch cannot disagree. The inputs go to the tool in a file, one a line: a batch of any
    size fits."""
    for path in args.inputs:
        if not path or "\n" in path:
            raise UsageError(f"{path!r}: an input path cannot be empty or hold a line break")
    options = [*tool_options(args, every=True)]
    if args.output:
        options += ["-o", args.output]
    handle, listing = tempfile.mkstemp(prefix="oxretarget-dask-", suffix=".inputs")
    try:
        with os.fdopen(handle, "w", encoding="utf-8", errors="surrogateescape") as file:
            file.writelines(path + "\n" for path in args.inputs)
        try:
            run = subprocess.run([args.tool, "plan", "--inputs", listing, *options], stdin=subprocess.DEVNULL,
                                 capture_output=True, text=True, errors="surrogateescape")
        except OSError as error:
            raise UsageError(f"{args.tool}: cannot run: {error.strerror}") from None
    finally:
        os.unlink(listing)
    if run.returncode != 0:
        lines = run.stderr.strip().splitlines() or [f"{args.tool} plan: exit status {run.returncode}"]
        raise UsageError(lines[0].removeprefix("oxretarget: error: "))
    plan = json.loads(run.stdout)
    if len(plan["files"]) != len(args.inputs):
        raise UsageError(f"{args.tool} plan: planned {len(plan['files'])} of {len(args.inputs)} inputs")
    return plan


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
        tool = args.tool
        # The tool plans every input, whatever the shard, so that every shard refuses the same collisions.
        plan = tool_plan(args)
        mine = [i for i, planned in enumerate(plan["files"]) if planned["in_shard"]]
        outputs = [plan["files"][i]["output"] for i in mine]
        args.inputs = [args.inputs[i] for i in mine]
        make_folders([os.path.join(folder, "x") for folder in plan["folders"]])
        options = tool_options(args) + (["-o", plan["output_argument"]] if plan["output_argument"] else [])
        client, cluster = connect(args)
        show_progress = not args.quiet and len(args.inputs) > 1 and sys.stderr.isatty()
        try:
            lines, warning_lines = run_tasks(client, tool, options, args.inputs, outputs, show_progress)
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
