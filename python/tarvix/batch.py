"""A BIDS batch spread over processes or a Dask cluster.

The engine does the work one run at a time: `bids_prepare` discovers the runs
and makes the output folder, `bids_audit_run` audits one run and writes its
files whole, `bids_finish` writes the dataset summary. This module decides
where each run executes and in which order the outcomes are gathered, so that
each run's report and the returned text are those of `_tarvix.audit_bids`
(with the verdict and the batch's own fields on top) whatever order the runs
finish in (runs whose session is only in their folder's name are named with it
here).

Runs are tasks in separate processes because every engine call holds the
interpreter lock for its whole length. Local workers are plain child processes
that die with the client; every path a task gets is absolute, and a task first
checks that it sees the files the client planned on.

The batch has a BIDS App's two levels. The participant level audits runs and
writes each run's files into the derivatives layout
(sub-<label>/[ses-<label>/]dwi/<entities>_desc-tarvix_...), its report carrying
what the group level needs (the source image, the mask used, the cross-run
note, the tables written); the group level reads only those reports back and
writes the summary, the group table and the page. Called without a level, a
batch runs both.

The output folder belongs to the batch only when an earlier batch made it (its
dataset_description.json names tarvix): then its files are replaced, else a
file in the way is refused, or with `force` kept as a backup. Our files are
replaced run by run, as each run is redone: a batch that stops (a failing run,
a full disk, Ctrl-C, SIGTERM, even SIGKILL once the next batch tidies up)
leaves every run it did not finish, and the group level's files, as they were.
Several batches may share one folder (the tasks of a job array, each with some
participants): each touches only the files of its own runs, two tasks whose
participants overlap take turns on each run they share (one that waits
longer than TARVIX_LOCK_WAIT fails that run, naming it), and the failure
list and the group level's files are written under a lock from every report
the folder holds, whichever task writes them last. A task holds one run's
lock at a time and never while it waits for the folder's, nor the reverse."""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import pathlib
import pickle
import re
import selectors
import signal
import stat
import subprocess
import sys
import time
import urllib.parse
from collections import deque
from dataclasses import dataclass, field

from . import _engine, defaults, group_table, outputs, qcpage, readback, verdict
from .errors import CliError, Terminated, shown

# The engine's analysis options a batch passes through to every run.
ANALYSIS_OPTIONS = ("tolerance", "b0_threshold", "shell", "step", "margin_threshold", "strict", "norm_tolerance")
SCHEDULER_HINT = ("--scheduler needs dask and distributed, which are not installed; "
                  "install them with: pip install 'tarvix[cluster]'")
SCHEDULER_TIMEOUT_S = 30
WORKER_LOST = "the worker process auditing this run ended abruptly (out of memory, or killed)"
PREVIOUS = "previous-"  # in the name of a run's earlier file set aside: .tarvix-<pid>-previous-<name>
_ASIDE = re.compile(rf"^\.tarvix-(\d+)-{PREVIOUS}(.+)$")
LOCK_PREFIX = ".tarvix-lock-"  # hidden, so BIDS tools pass over it; the tidy-up removes it only when unheld
BIDS_VERSION = "1.9.0"
FAILED_RUNS = "failed_runs.json"
SKIPPED_RUNS = "skipped_runs.json"
UNLISTED_FOLDERS = "unreadable_folders.json"
DESCRIPTION = "dataset_description.json"
SUMMARY = "dataset_summary.json"
# The files a batch writes for the folder, and for each run after its stem
# (<folder>/<entities>_desc-tarvix): its report, tracking record, picture, and
# with --repair the table a pipeline takes and its provenance record.
FOLDER_FILES = (DESCRIPTION, SUMMARY, qcpage.PAGE, FAILED_RUNS, SKIPPED_RUNS, UNLISTED_FOLDERS,
                group_table.TSV_NAME, group_table.SIDECAR_NAME)
RUN_SUFFIXES = ("_report.json", "_tracking.json", "_qc.png", "_dwi.bvec", "_dwi.bval", "_dwi.b", "_provenance.json")
DESC = "desc-tarvix"
LEVELS = defaults.BIDS_LEVELS
# Where a preprocessing pipeline keeps a run's brain mask, after the run's entities.
MASK_SUFFIXES = ("_space-dwi_desc-brain_mask.nii.gz", "_space-dwi_desc-brain_mask.nii")
TEMP_PREFIX = outputs.TEMP_PREFIX
DESCRIPTION_LIMIT = 1 << 20  # a dataset_description.json is a few hundred bytes


class BatchFailed(ValueError):
    """The first failing run in discovery order: its image, then the engine's own text."""

    def __init__(self, run: RunResult):
        super().__init__(f"run failed: {shown(run.entry['dwi'])}: {run.error}")
        self.run = run


class BackendError(RuntimeError):
    """The runs cannot be sent where they were asked to go (a missing extra,
    an unreachable scheduler)."""


class FolderRefused(RuntimeError):
    """The output folder is not the batch's to write in: the dataset itself, or
    files another program wrote (without `force`)."""


@dataclass
class RunResult:
    index: int
    entry: dict
    result: dict | None = None  # bids_audit_run's record: name, dwi, status, report, tracking
    error: str | None = None
    png: str | None = None  # file name of the QC picture, in the output folder


@dataclass
class BatchOutcome:
    plan: dict
    runs: list[RunResult]
    finish_text: str | None = None  # the summary's text, as audit_bids returns it; None with no report
    failures: list[RunResult] = field(default_factory=list)  # this batch's
    folder_runs: list[RunResult] = field(default_factory=list)  # every run reported in the folder
    failed_listed: list[dict] = field(default_factory=list)  # every failure listed in the folder
    unreadable_reports: list[UnreadableReport] = field(default_factory=list)  # reports the group level cannot use
    page: str | None = None


def combined_verdict(report: dict, tracking: dict | None = None) -> tuple[str, list[str]]:
    """The status shown and exited with for one run, and the notes behind it:
    the verdict the engine wrote into the run's report."""
    return verdict.cli_verdict(report)


def best_label(report: dict, tracking: dict | None = None) -> str | None:
    """The deciding measure's best transform (canonical), None when nothing scored."""
    return verdict.of_report(report).best


# --- the task ----------------------------------------------------------------


def input_files(entry: dict) -> list[str]:
    """Every file of a run that its audit may read."""
    return [entry["dwi"], entry["bvec"], entry["bval"], *entry.get("masks", []),
            *([entry["sidecar"]] if entry.get("sidecar") else [])]


def fingerprint(path: str) -> list[int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return [st.st_size, st.st_mtime_ns]


def check_inputs(entry: dict, out_dir: str) -> str | None:
    """Why the files this process sees are not the ones the client planned the
    run on (a worker on another machine, or started in another folder), or None."""
    if not os.path.isdir(out_dir):
        return f"{out_dir}: the output folder is not found where this run executes (host {os.uname().nodename})"
    for path, seen in entry.get("seen", {}).items():
        here = fingerprint(path)
        if here == seen:
            continue
        if here is None:
            return f"{path}: not found where this run executes (host {os.uname().nodename})"
        if seen is None:
            return f"{path}: found where this run executes but not by the client"
        return (f"{path}: where this run executes (host {os.uname().nodename}) it is not the file the client saw "
                f"({here[0]} bytes, modified {here[1] / 1e9:.3f}, against {seen[0]} bytes, modified "
                f"{seen[1] / 1e9:.3f})")
    return None


def audit_task(entry_text: str, out_dir: str, options: dict, tracking: bool, threads: int | None,
               png: bool) -> tuple[str, str, str | None]:
    """One run, wherever it executes: ("ok", the engine's record, QC picture
    name or None) or ("error", the engine's message, None). Errors travel as
    values so that every backend hands them back the same way.

    The run's earlier files are set aside while it runs, so that its new files
    never sit beside old ones it no longer writes (a picture, a table); they
    are dropped once it has a result, and put back, over whatever it wrote,
    when it is interrupted: a run the batch never finished keeps its files."""
    entry = json.loads(entry_text)
    changed = check_inputs(entry, out_dir)
    if changed is not None:
        return "error", changed, None
    # Another task on the same run (overlapping participant labels) would
    # set aside, or drop, files this one has just written: they take turns.
    try:
        lock = RunLock(os.path.join(out_dir, entry["stem"]), outputs.lock_wait())
    except RunBusy as e:
        return "busy", f"{entry['name']}: {e}", None
    with lock:
        paths = run_files(entry["stem"], out_dir)
        aside = set_aside(paths)
        try:
            outcome = _audit(entry, out_dir, options, tracking, threads, png)
        except BaseException:
            put_back(paths, aside)
            raise
        for path in aside.values():
            with contextlib.suppress(OSError):
                os.unlink(path)
    return outcome


class RunBusy(RuntimeError):
    """The run is being written by another task."""


class RunLock:
    """An exclusive flock on `.tarvix-lock-<stem>` beside a run's files, held
    while they are set aside, rewritten or put back. The file goes when the
    lock does, so none is left beside the reports; a waiter that locked a file
    already removed tries again on the one now at the name. Where the file
    cannot be made or flock is missing, the run goes on unlocked, as the
    folder lock does."""

    def __init__(self, stem_path: str, wait: float):
        where, base = os.path.split(stem_path)
        self.path = os.path.join(where, LOCK_PREFIX + base)
        self.fd = None
        deadline = time.monotonic() + wait
        while self.fd is None:
            try:
                fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
            except OSError:
                return
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                os.close(fd)
                if time.monotonic() >= deadline:
                    raise RunBusy(f"this run is being processed by another tarvix task writing into {where}; "
                                  f"gave up waiting after {wait:g} s (run it again once that task has finished)"
                                  ) from None
                time.sleep(0.05)
                continue
            except OSError:
                os.close(fd)
                return
            try:
                same = os.path.samestat(os.fstat(fd), os.stat(self.path, follow_symlinks=False))
            except OSError:
                same = False
            if same:
                self.fd = fd
            else:
                os.close(fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()

    def release(self) -> None:
        if self.fd is not None:
            # Removed while still held: nobody can lock this file and think the run theirs.
            with contextlib.suppress(OSError):
                os.unlink(self.path)
            os.close(self.fd)
            self.fd = None


def drop_run_files(stem: str, out_dir: str) -> None:
    """A failed run's files, and those a worker that died in it had set aside
    (which the next batch would otherwise put back over its failure)."""
    try:
        lock = RunLock(os.path.join(out_dir, stem), 0)
    except RunBusy:
        return
    with lock:
        paths = run_files(stem, out_dir)
        where, names = os.path.dirname(paths[0]), {os.path.basename(p) for p in paths}
        with contextlib.suppress(OSError):
            for name in os.listdir(where):
                match = _ASIDE.match(name)
                if match and match.group(2) in names and not outputs.pid_alive(int(match.group(1))):
                    paths.append(os.path.join(where, name))
        for path in paths:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)


def run_files(stem: str, out_dir: str) -> list[str]:
    return [os.path.join(out_dir, stem + suffix) for suffix in RUN_SUFFIXES]


def _aside_name(path: str, pid: int) -> str:
    where, base = os.path.split(path)
    return os.path.join(where, f"{TEMP_PREFIX}{pid}-{PREVIOUS}{base}")


def set_aside(paths: list[str]) -> dict[str, str]:
    """Each present file renamed to its aside name (carrying this process's
    id, so a later batch can tell a killed run's from a running one's)."""
    aside = {}
    for path in paths:
        target = _aside_name(path, os.getpid())
        with contextlib.suppress(FileNotFoundError):
            os.replace(path, target)
            aside[path] = target
    return aside


def put_back(paths: list[str], aside: dict[str, str]) -> None:
    """The earlier files of a run that did not finish back under their names,
    and nothing of what it wrote: its files stay one run's, never a mix."""
    with outputs.signals_held():
        for path in paths:
            with contextlib.suppress(OSError):
                if path in aside:
                    os.replace(aside[path], path)
                elif os.path.lexists(path):
                    os.unlink(path)


def _audit(entry: dict, out_dir: str, options: dict, tracking: bool, threads: int | None,
           png: bool) -> tuple[str, str, str | None]:
    entry_text = json.dumps(entry)
    kwargs = dict(options, tracking=tracking)
    if threads is not None:
        kwargs["threads"] = threads
    mask = None
    if entry.get("mask_dir"):
        entry["masks"], mask = choose_mask(entry)
        entry_text = json.dumps(entry)
    repair = entry.get("repair")
    if repair:
        kwargs.update(out_bvec=repair["bvec"], out_bval=repair["bval"], provenance=repair["provenance"],
                      force_repair=repair["force"])
        if repair.get("grad"):
            kwargs["out_grad"] = repair["grad"]
    try:
        ran = _engine.bids_audit_run(entry_text, out_dir, glyphs=png, **kwargs)
    except ValueError as e:
        return "error", str(e), None
    record = json.loads(ran["record"])
    try:
        _annotate(entry, out_dir, record["report"], mask, ran.get("cross_run"))
    except CliError as e:
        return "error", str(e), None
    picture = _draw_qc(entry, out_dir, record, ran) if png else None
    return "ok", json.dumps(record), picture


def choose_mask(entry: dict) -> tuple[list[str], dict]:
    """The run's mask from the derivatives dataset when its grid and affine are
    the image's, else none (the automatic region), and the report's record of it."""
    mask_dir, found = entry["mask_dir"], entry.get("mask_candidate")
    if not found:
        return [], {"path": None, "note": f"no brain mask for this run in {mask_dir}: the automatic region is used"}
    shown = os.path.relpath(found, mask_dir)
    why = _engine.mask_fit(mask=found, dwi=entry["dwi"])
    if why:
        return [], {"path": None, "rejected": shown,
                    "note": f"the brain mask {shown} {why}: the automatic region is used"}
    return [found], {"path": shown, "note": f"brain mask {shown} from {mask_dir}"}


def _annotate(entry: dict, out_dir: str, report: dict, mask: dict | None, cross: str | None) -> None:
    """What the batch knows of a run beyond its audit, in the run's report: its
    source (so the group level needs no raw data), the mask it was given, the
    cross-run note (completed by the engine from the run's verdict), and the
    tables written for it. The report is rewritten whole."""
    report["source"] = {"dwi": shown(entry.get("dwi_relative", entry["dwi"])), "name": entry["name"]}
    notes = report.setdefault("notes", [])
    if mask is not None:
        report["mask"] = mask
        notes.append(mask["note"])
    if cross:
        report["cross_run"] = json.loads(cross)
        notes.append(report["cross_run"]["note"])
    if entry.get("repair"):
        wanted = [entry["repair"][k] for k in ("bvec", "bval", "grad", "provenance") if entry["repair"].get(k)]
        report["written_tables"] = [os.path.relpath(p, out_dir) for p in wanted if os.path.isfile(p)]
    outputs.write_text(os.path.join(out_dir, entry["stem"] + RUN_SUFFIXES[0]), json.dumps(report, indent=2) + "\n")


def _draw_qc(entry: dict, out_dir: str, record: dict, ran: dict) -> str | None:
    """The run's QC picture beside its report, drawn from the run's own audit
    (its field, tracking record and streamlines) as `audit --png` draws it."""
    from . import qcplot

    report = record["report"]
    if "flip" not in report or ran.get("glyphs") is None:
        return None
    name = f"{entry['stem']}{RUN_SUFFIXES[2]}"
    # Drawn under a temporary name and renamed, as every other output: an
    # interrupted batch leaves no half-written picture.
    where, base = os.path.split(name)
    tmp = os.path.join(out_dir, where, f".tarvix-tmp-{os.getpid()}-{base}")
    try:
        qcplot.write_png(tmp, report, ran["glyphs"], source=shown(entry["dwi"]), command="audit",
                         verdict=verdict.of_report(report), tracking=record.get("tracking"),
                         streamlines=ran.get("streamlines"))
        os.replace(tmp, os.path.join(out_dir, name))
    except (ValueError, OSError):
        return None  # a picture is a convenience: the run's result stands without it
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return name


def _ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group; only the client decides what stops.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


# --- backends ------------------------------------------------------------------


class SerialBackend:
    """In this process, one run after another."""

    def __init__(self):
        self._tasks = []

    def submit(self, index, *args):
        self._tasks.append((index, args))
        return index

    def completed(self, futures):
        for index, args in self._tasks:
            yield index, audit_task(*args)

    def cancel(self, futures):
        pass

    def close(self):
        pass


def _parent_death_signal() -> None:
    """Ask the kernel to kill this process when the client that started it
    ends, however it ends (SIGKILL included): no worker outlives its batch."""
    if not sys.platform.startswith("linux"):
        return
    import ctypes

    PR_SET_PDEATHSIG = 1
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def worker_main(parent: int) -> int:
    """A worker process: runs the tasks it reads from stdin, one at a time, and
    writes each outcome to stdout, until stdin closes."""
    _parent_death_signal()
    if os.getppid() != parent:  # the client was gone before the request took effect
        return 1
    _ignore_interrupts()
    # A SIGTERM to the whole job (a scheduler cancelling it) stops the run as
    # an interrupt does, so that the run's earlier files go back.
    signal.signal(signal.SIGTERM, _terminated)
    # Only outcomes travel on the real stdout; anything a library prints goes to stderr.
    channel = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    source = sys.stdin.buffer
    try:
        while True:
            try:
                args = pickle.load(source)
            except EOFError:
                return 0
            pickle.dump(audit_task(*args), channel)
            channel.flush()
    except Terminated:
        return 128 + signal.SIGTERM


def _terminated(signum, frame):
    raise Terminated(signum)


# A worker asks for the parent-death signal before it imports anything, so that
# a client killed while its workers are still starting takes them along too.
WORKER_START = ("import ctypes, os, signal, sys\n"
                "try:\n"
                "    ctypes.CDLL(None).prctl(1, signal.SIGKILL)\n"
                "except (OSError, AttributeError):\n"
                "    pass\n"
                "if os.getppid() != int(sys.argv[1]):\n"
                "    os._exit(1)\n"
                "from tarvix.batch import worker_main\n"
                "sys.exit(worker_main(int(sys.argv[1])))\n")


class _Worker:
    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER_START, str(os.getpid())],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, close_fds=True)
        self.index = None  # the run it holds

    def send(self, index, args) -> None:
        self.index = index
        pickle.dump(args, self.proc.stdin)
        self.proc.stdin.flush()

    def receive(self):
        """The outcome of the run it holds; None when the process ended without one."""
        try:
            return pickle.load(self.proc.stdout)
        except (EOFError, OSError, pickle.UnpicklingError):
            return None

    def end(self, timeout: float = 60) -> None:
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        with contextlib.suppress(OSError):
            self.proc.stdout.close()

    def lost(self) -> str:
        """What happened to the process that held a run."""
        with contextlib.suppress(subprocess.TimeoutExpired):
            self.proc.wait(5)
        code = self.proc.returncode
        if code is not None and code < 0:
            with contextlib.suppress(ValueError):
                return f"{WORKER_LOST}: {signal.Signals(-code).name}"
        return WORKER_LOST if code is None else f"{WORKER_LOST}: exit status {code}"


class ProcessBackend:
    """N worker processes on this machine, each a plain child process of the
    client that runs one run at a time. A worker that dies fails only the run
    it held, and a new one takes the runs still queued; each worker dies with
    the client."""

    def __init__(self, jobs: int):
        self._jobs = jobs
        self._queue = deque()
        self._workers: list[_Worker] = []

    def submit(self, index, *args):
        self._queue.append((index, args))
        return index

    def completed(self, futures):
        selector = selectors.DefaultSelector()
        busy = {}
        try:
            while self._queue or busy:
                while self._queue and len(busy) < self._jobs:
                    worker = next((w for w in self._workers if w.index is None), None)
                    if worker is None:
                        worker = _Worker()
                        self._workers.append(worker)
                    index, args = self._queue.popleft()
                    try:
                        worker.send(index, args)
                    except OSError:  # it died while idle: the run it was handed fails as if it had started
                        self._workers.remove(worker)
                        lost = worker.lost()
                        worker.end(0)
                        yield index, ("error", lost, None)
                        continue
                    busy[worker.proc.stdout.fileno()] = worker
                    selector.register(worker.proc.stdout, selectors.EVENT_READ, worker)
                for key, _ in selector.select():
                    worker = key.data
                    selector.unregister(key.fileobj)
                    del busy[key.fd]
                    index, outcome = worker.index, worker.receive()
                    worker.index = None
                    if outcome is None:
                        outcome = ("error", worker.lost(), None)
                        self._workers.remove(worker)
                        worker.end(0)
                    yield index, outcome
        finally:
            selector.close()

    def cancel(self, futures):
        self._queue.clear()

    def close(self):
        # The runs already started finish their files; queued ones never start.
        self._queue.clear()
        for worker in self._workers:
            if worker.index is not None:
                worker.receive()
            worker.end()
        self._workers.clear()


class DaskBackend:
    """A task per run on a running Dask distributed scheduler."""

    def __init__(self, address: str):
        try:
            import distributed
        except ImportError:
            raise BackendError(SCHEDULER_HINT) from None
        self._distributed = distributed
        try:
            self._client = distributed.Client(address, timeout=SCHEDULER_TIMEOUT_S)
        except (OSError, TimeoutError, ValueError) as e:
            raise BackendError(f"cannot reach the Dask scheduler at {address}: {e}") from None
        self._index = {}

    def submit(self, index, *args):
        # pure=False: a rerun of the same run must run again, not reuse a cached result.
        future = self._client.submit(audit_task, *args, pure=False, key=f"tarvix-run-{index}-{os.urandom(4).hex()}")
        self._index[future.key] = index
        return future

    def completed(self, futures):
        for future in self._distributed.as_completed(futures):
            if future.status == "cancelled":
                continue
            try:
                outcome = future.result()
            except self._distributed.KilledWorker:
                outcome = ("error", WORKER_LOST, None)
            yield self._index[future.key], outcome

    def cancel(self, futures):
        pending = [f for f in futures if not f.done()]
        if pending:
            self._client.cancel(pending)

    def close(self):
        self._client.close()


def make_backend(jobs: int | None = None, scheduler: str | None = None):
    if scheduler:
        return DaskBackend(scheduler)
    if jobs and jobs > 1:
        return ProcessBackend(jobs)
    return SerialBackend()


def default_threads(jobs: int | None, scheduler: str | None) -> int | None:
    """Engine threads per run: the machine's cores shared between the local
    workers; one per task on a cluster, whose workers run one task per thread."""
    if scheduler:
        return 1
    if jobs and jobs > 1:
        return max(1, (os.cpu_count() or 1) // jobs)
    return None


# --- the batch -----------------------------------------------------------------


def dataset_description(root: str, out_dir: str) -> str:
    """The derivative's dataset_description.json. Its source dataset is
    named by a BIDS URI whose link is relative when the folder lies inside
    the dataset (the two move together) and a file URI otherwise; the tasks
    of a job array all write the same text."""
    version = _engine_version()
    record = {"Name": "tarvix gradient table audit", "BIDSVersion": BIDS_VERSION, "DatasetType": "derivative",
              "GeneratedBy": [{"Name": "tarvix", "Version": version}],
              "SourceDatasets": [{"URL": "bids:raw:"}], "DatasetLinks": {"raw": source_link(root, out_dir)}}
    doi = (_small_json(os.path.join(root, DESCRIPTION)) or {}).get("DatasetDOI")
    if isinstance(doi, str) and doi:
        record["SourceDatasets"][0]["DOI"] = doi
    return json.dumps(record, indent=2) + "\n"


def source_link(root: str, out_dir: str) -> str:
    """Where the dataset is, seen from the output folder, as a URI."""
    relative = os.path.relpath(root, out_dir)
    if all(part == os.pardir for part in relative.split(os.sep)):
        return urllib.parse.quote(relative.replace(os.sep, "/")) + "/"
    return pathlib.Path(root).as_uri() + "/"


def _engine_version() -> str:
    from . import _tarvix

    return _tarvix.version()


# --- the output folder ----------------------------------------------------------


def check_out_dir(root: str, out_dir: str) -> None:
    """The output folder may be outside the dataset or under its derivatives/,
    never the dataset's own folder or inside its raw data."""
    if os.path.lexists(out_dir) and not os.path.isdir(out_dir):
        raise FolderRefused(f"--output-dir {out_dir} exists and is not a folder")
    real_root, real_out = os.path.realpath(root), os.path.realpath(out_dir)
    if real_out == real_root:
        raise FolderRefused(f"--output-dir {out_dir} is the dataset's own folder: the batch writes under "
                            f"{os.path.join(root, 'derivatives')}/ or outside the dataset")
    relative = os.path.relpath(real_out, real_root)
    if relative.startswith(os.pardir + os.sep) or relative == os.pardir:
        return
    parts = relative.split(os.sep)
    if parts == ["derivatives"]:
        raise FolderRefused(f"--output-dir {out_dir} is the dataset's derivatives folder, which every pipeline "
                            f"shares: the batch writes into a folder of its own, such as "
                            f"{os.path.join(root, 'derivatives', 'tarvix')}")
    if parts[0] != "derivatives":
        raise FolderRefused(f"--output-dir {out_dir} is inside the dataset's raw data ({parts[0]}): the batch "
                            f"writes under {os.path.join(root, 'derivatives')}/ or outside the dataset")


def _small_json(path: str):
    """A small regular file's JSON object, or None (never follows a link or
    waits on a FIFO)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return None
    with os.fdopen(fd, "rb") as f:
        st = os.fstat(fd)
        if not (stat.S_ISREG(st.st_mode) and st.st_size <= DESCRIPTION_LIMIT):
            return None
        try:
            record = json.loads(f.read(DESCRIPTION_LIMIT))
        except (ValueError, OSError):
            return None
    return record if isinstance(record, dict) else None


def made_by_tarvix(out_dir: str) -> bool:
    """Whether an earlier batch made this folder: its dataset_description.json
    names tarvix in GeneratedBy or, where it has none (the folder the module's
    audit_bids writes, or an older tarvix's), its summary names tarvix as its tool."""
    description = _small_json(os.path.join(out_dir, DESCRIPTION))
    if description is not None:
        generated = description.get("GeneratedBy")
        return isinstance(generated, list) and any(isinstance(g, dict) and g.get("Name") == "tarvix"
                                                   for g in generated)
    if os.path.lexists(os.path.join(out_dir, DESCRIPTION)):
        return False
    summary = _small_json(os.path.join(out_dir, SUMMARY))
    return summary is not None and summary.get("tool") == "tarvix"


class Folder:
    """The output folder as one batch holds it: whether it is ours, the
    foreign files it kept as backups, and its locks."""

    def __init__(self, out_dir: str, force: bool):
        self.path = out_dir
        self.force = force
        self.existed = os.path.isdir(out_dir)
        self.ours = not self.existed or made_by_tarvix(out_dir) or not os.listdir(out_dir)
        self.backups: dict[str, str] = {}  # foreign file -> its backup

    def file(self, name: str) -> str:
        return os.path.join(self.path, name)

    def clear_foreign(self, names) -> None:
        """Makes room for NAMES in a folder tarvix did not make: refused, or
        with `force` each file kept as .bak. Our own files are replaced run by
        run, as each run is redone."""
        present = [n for n in names if os.path.lexists(self.file(n))]
        if present and not self.force:
            shown = ", ".join(present[:5]) + (f" and {len(present) - 5} more" if len(present) > 5 else "")
            raise FolderRefused(f"refusing to overwrite files in {self.path} that tarvix did not write: {shown} "
                                "(pass --force to keep each as FILE.bak and write anyway)")
        for name in present:
            backup = outputs.backup_name(self.file(name))
            os.rename(self.file(name), backup)
            self.backups[self.file(name)] = backup

    def restore(self) -> None:
        """Puts foreign files back when the batch stops before writing anything."""
        for path, backup in self.backups.items():
            if not os.path.lexists(path):
                with contextlib.suppress(OSError):
                    os.rename(backup, path)
        self.backups.clear()

    def begin(self, where: str = "") -> None:
        """Tidies what a killed batch or command left in the folder (or its
        subfolder WHERE): the earlier files of the runs it had not finished go
        back, and its temporary files go (their names carry the writer's
        process id, so those of a running one stay)."""
        restore_stale(self.file(where))
        outputs.clean_stale_temporaries(self.file(where))

    @contextlib.contextmanager
    def summary_kept(self):
        """The engine removes the summary as a batch begins; an earlier batch's
        stays until this one writes its own, even if this one stops first."""
        path = self.file(SUMMARY)
        kept = _aside_name(path, os.getpid())
        try:
            os.link(path, kept, follow_symlinks=False)
        except OSError:
            kept = None
        try:
            yield
        finally:
            if kept is not None and not os.path.lexists(path):
                put_back([path], {path: kept})
            elif kept is not None:
                with contextlib.suppress(OSError):
                    os.unlink(kept)

    def locked(self):
        """Exclusive among the batches and commands writing into this folder,
        for the files the batches share."""
        return outputs.folder_lock(self.path)



def restore_stale(folder: str) -> None:
    """The files a killed batch had set aside in FOLDER, back where they were,
    run by run: a run that wrote no new report gets its whole earlier set back
    (whatever it had begun to write removed); one that did keeps its new files."""
    by_run: dict[str, dict[str, str]] = {}  # run stem (or the file, for a folder's file) -> file -> aside
    with contextlib.suppress(OSError):
        for name in os.listdir(folder):
            if name.startswith(LOCK_PREFIX):
                # A killed task's lock file: removed as soon as nobody holds it.
                with contextlib.suppress(RunBusy):
                    RunLock(os.path.join(folder, name.removeprefix(LOCK_PREFIX)), 0).release()
                continue
            match = _ASIDE.match(name)
            if match and not outputs.pid_alive(int(match.group(1))):
                path = os.path.join(folder, match.group(2))
                suffix = next((s for s in RUN_SUFFIXES if path.endswith(s)), "")
                by_run.setdefault(path.removesuffix(suffix), {})[path] = os.path.join(folder, name)
    for key, aside in by_run.items():
        if key in aside:
            if not os.path.lexists(key):
                put_back([key], aside)
            continue
        # A run another task is redoing is that task's to finish or put back.
        try:
            lock = RunLock(key, 0)
        except RunBusy:
            continue
        with lock:
            paths = run_files(key, "")
            # A run whose new report is there finished: cleaning the temporaries drops its earlier files.
            if not os.path.lexists(paths[0]):
                put_back(paths, aside)


def _write_description(folder: Folder, root: str) -> None:
    # Rewritten only when it changes: the tasks of a job array all write it.
    text = dataset_description(root, folder.path)
    path = folder.file(DESCRIPTION)
    with contextlib.suppress(OSError, UnicodeDecodeError):
        if os.path.isfile(path) and not os.path.islink(path) and os.path.getsize(path) <= DESCRIPTION_LIMIT:
            with open(path, encoding="utf-8") as f:
                if f.read() == text:
                    return
    outputs.write_text(path, text)


def select(plan: dict, participants) -> tuple[list[int], list[str]]:
    """The runs of these participants ('01' or 'sub-01'), and the labels that
    matched no run."""
    if not participants:
        return list(range(len(plan["runs"]))), []
    wanted = {p.removeprefix("sub-") for p in participants}
    chosen = [i for i, e in enumerate(plan["runs"]) if e.get("subject") in wanted]
    found = {e.get("subject") for e in plan["runs"]}
    unmatched = [p for p in participants if p.removeprefix("sub-") not in found]
    if not chosen:
        known = sorted(s for s in found if s)
        listed = ", ".join(known[:10]) + (", ..." if len(known) > 10 else "")
        raise ValueError(f"--participant-label {' '.join(unmatched)}: no such participant under {plan['root']}"
                         + (f" (participants: {listed})" if known else ""))
    return chosen, unmatched


def entities(name: str) -> dict[str, str]:
    """The entities of a run's name (sub-01_ses-1_acq-b_dwi: sub, ses, acq), in order."""
    found = {}
    for part in name.split("_")[:-1]:
        key, dash, value = part.partition("-")
        if dash and key and value:
            found[key] = value
    return found


def derivative_stem(name: str, occurrence: int) -> str:
    """Where a run's files go and what they start with:
    sub-<label>/[ses-<label>/]dwi/<the run's entities>_desc-tarvix, the suffix
    (dwi) left for each file to name. A second run of the same name (a layout
    BIDS does not allow, such as a .nii beside a .nii.gz) gets desc-tarvix2."""
    found = entities(name)
    parts = [f"sub-{found['sub']}"] if "sub" in found else []
    if parts and "ses" in found:
        parts.append(f"ses-{found['ses']}")
    if parts:
        parts.append("dwi")
    base = name.rsplit("_", 1)[0] if "_" in name else name
    desc = DESC if occurrence == 1 else f"{DESC}{occurrence}"
    return os.path.join(*parts, f"{base}_{desc}")


def _plan_layout(plan: dict, root: str) -> None:
    seen: dict[str, int] = {}
    for entry in plan["runs"]:
        seen[entry["name"]] = seen.get(entry["name"], 0) + 1
        entry["stem"] = derivative_stem(entry["name"], seen[entry["name"]])
        entry["entities"] = entities(entry["name"])
        entry["dwi_relative"] = os.path.relpath(entry["dwi"], root)


def _mask_of(entry: dict, mask_dir: str) -> str | None:
    folder = os.path.dirname(derivative_stem(entry["name"], 1))
    base = entry["name"].rsplit("_", 1)[0]
    for suffix in MASK_SUFFIXES:
        path = os.path.join(mask_dir, folder, base + suffix)
        if os.path.isfile(path):
            return path
    return None


def prepare(root: str, options: dict, out_dir: str | None = None, participants=None, force: bool = False,
            keep_going: bool = False, mask_dir: str | None = None, repair: str | None = None) -> dict:
    """Discovery, the output folder checked and claimed, and the files this
    batch will write moved out of the way. The plan holds every run of the
    dataset ("runs") and which of them this batch audits ("selected"). With
    `mask_dir` each run takes its brain mask from that derivatives dataset;
    `repair` is None, "table" (bvec/bval), "grad" (and .b) or "force" forms
    ("force-table", "force-grad") that also write WARN runs' best."""
    root = os.path.abspath(root)
    out_dir = os.path.abspath(out_dir if out_dir is not None else os.path.join(root, "derivatives", "tarvix"))
    check_out_dir(root, out_dir)
    folder = Folder(out_dir, force)
    # The engine removes the folder's summary as it begins: a foreign one goes aside first.
    if not folder.ours:
        folder.clear_foreign([SUMMARY])
    try:
        kwargs = dict(options, keep_going=True) if keep_going else options
        with folder.summary_kept() if folder.ours else contextlib.nullcontext():
            plan = json.loads(_engine.bids_prepare(root, out_dir=out_dir, **kwargs))
        _plan_layout(plan, root)
        selected, unmatched = select(plan, participants)
        if not folder.ours:
            names = [f"{plan['runs'][i]['stem']}{suffix}" for i in selected for suffix in RUN_SUFFIXES]
            folder.clear_foreign(FOLDER_FILES + tuple(names))
    except BaseException:
        folder.restore()
        raise
    plan["selected"], plan["unmatched"], plan["root_path"] = selected, unmatched, root
    for i in selected:
        entry = plan["runs"][i]
        if mask_dir:
            entry["mask_dir"] = os.path.abspath(mask_dir)
            entry["mask_candidate"] = _mask_of(entry, entry["mask_dir"])
            entry["masks"] = [entry["mask_candidate"]] if entry["mask_candidate"] else []
        if repair:
            stem = os.path.join(out_dir, entry["stem"])
            entry["repair"] = {"bvec": stem + RUN_SUFFIXES[3], "bval": stem + RUN_SUFFIXES[4],
                               "grad": stem + RUN_SUFFIXES[5] if repair.endswith("grad") else None,
                               "provenance": stem + RUN_SUFFIXES[6], "force": repair.startswith("force")}
    for entry in plan["runs"]:
        entry["seen"] = {path: fingerprint(path) for path in input_files(entry)}
    folder.ours = True
    run_folders = sorted({os.path.dirname(plan["runs"][i]["stem"]) for i in selected})
    for where in run_folders:
        os.makedirs(folder.file(where), exist_ok=True)
    folder.begin()
    for where in run_folders:
        folder.begin(where)
    _write_description(folder, root)
    # The summary, the group table and the page stay as the last group level
    # wrote them until the next one (the participant level of one task of a
    # job array must not take them from the others); each run's files are
    # replaced as the run is redone.
    with folder.locked():
        # Failures listed by an earlier batch for the runs this one redoes no
        # longer hold; a batch that redoes every run replaces the whole list.
        redone = {plan["runs"][i]["stem"] for i in selected}
        everything = len(selected) == len(plan["runs"])
        kept = [] if everything else [f for f in _read_failures(folder) if _failure_key(f) not in redone]
        _write_failures(folder, kept)
        # Discovery sees the whole dataset in every task: each writes the same
        # lists, which a group level run alone later still reports.
        _write_list(folder.file(SKIPPED_RUNS), plan["skipped_runs"])
        _write_list(folder.file(UNLISTED_FOLDERS), plan["unreadable"])
    plan["folder"] = folder
    return plan


def _failure_key(failure: dict):
    # Lists written before runs had stems name them only.
    return failure.get("stem") or failure.get("name")


def _read_failures(folder: Folder) -> list[dict]:
    """The failure list the batches sharing the folder keep. No entry is
    dropped for its form: a failure named badly is still a failure, and a list
    that cannot be read stands for failures nobody can name."""
    path = folder.file(FAILED_RUNS)
    if not os.path.lexists(path):
        return []
    try:
        listed = readback.read_json(path)
    except readback.Unreadable as e:
        return [{"name": FAILED_RUNS, "error": f"the list of failed runs {e}: which runs failed is unknown"}]
    if not isinstance(listed, list):
        return [{"name": FAILED_RUNS, "error": "the list of failed runs is not a list: which runs failed is unknown"}]
    return [_failure_entry(item) for item in listed]


def _failure_entry(item) -> dict:
    item = item if isinstance(item, dict) else {}
    entry = {"name": item.get("name") if isinstance(item.get("name"), str) else "(a run not named)",
             "error": item.get("error") if isinstance(item.get("error"), str) else "(no reason recorded)"}
    for key in ("stem", "dwi"):
        if isinstance(item.get(key), str):
            entry[key] = item[key]
    return entry


def _write_failures(folder: Folder, failures: list[dict]) -> None:
    _write_list(folder.file(FAILED_RUNS), failures)


def _write_list(path: str, items: list) -> None:
    if items:
        outputs.write_text(path, json.dumps(items, indent=2) + "\n")
    elif os.path.lexists(path):
        os.unlink(path)


def _read_lines(folder: Folder, name: str) -> list[str]:
    """A list the participant level's discovery left (the images it skipped,
    the folders it could not list), each line naming one and why; a list that
    cannot be read stands for what nobody can name."""
    what, unknown = {SKIPPED_RUNS: ("skipped runs", "which images were left out"),
                     UNLISTED_FOLDERS: ("folders not listed", "which folders were not read")}[name]
    path = folder.file(name)
    if not os.path.lexists(path):
        return []
    try:
        listed = readback.read_json(path)
    except readback.Unreadable as e:
        return [f"the list of {what} {e}: {unknown} is unknown"]
    if not isinstance(listed, list) or not all(isinstance(line, str) for line in listed):
        return [f"the list of {what} is not a list of texts: {unknown} is unknown"]
    return listed


def run(root: str, options: dict | None = None, *, out_dir: str | None = None, participants=None,
        tracking: bool = True, png: bool = False, jobs: int | None = None, scheduler: str | None = None,
        threads: int | None = None, keep_going: bool = False, force: bool = False, on_run=None,
        on_start=None, level: str | None = None, mask_dir: str | None = None,
        repair: str | None = None) -> BatchOutcome:
    """Audit the runs of the dataset at ROOT (of PARTICIPANTS when given), as a
    BIDS App's levels: "participant" writes the runs' files, "group" the
    summary, the group table and the page from every report already in the
    output folder (reading no raw data), None both. `on_start(plan)` is called
    once the runs are known, `on_run(RunResult)` as each one ends (in
    finishing order). Without `keep_going` the first failing run in discovery
    order raises BatchFailed with its image and the engine's text, and no
    summary is written."""
    if level == "group":
        return group(root, out_dir)
    options = {k: v for k, v in (options or {}).items() if k in ANALYSIS_OPTIONS}
    backend = make_backend(jobs, scheduler)  # before any file is written: a missing extra stops here
    plan = None
    try:
        try:
            plan = prepare(root, options, out_dir, participants, force, keep_going, mask_dir, repair)
        except OSError as e:
            where = e.filename or out_dir or os.path.join(root, "derivatives", "tarvix")
            raise FolderRefused(f"cannot prepare the output folder: {where}: {e.strerror or e}") from None
        if on_start:
            on_start(plan)
        if threads is None:
            threads = default_threads(jobs, scheduler)
        runs = _gather(backend, plan, options, tracking, threads, png, keep_going, on_run)
    except BatchFailed as e:
        backend.close()
        # Its earlier report is gone: the failure list is where the group level finds the run.
        _list_failures(plan["folder"], [e.run], [e.run])
        raise
    except BaseException:
        backend.close()
        raise
    backend.close()
    outcome = _finish_participants(plan, runs)
    if level is None:
        outcome = _group(plan, outcome)
    return outcome


def _gather(backend, plan, options, tracking, threads, png, keep_going, on_run) -> list[RunResult]:
    entries = [plan["runs"][i] for i in plan["selected"]]
    runs = [RunResult(i, e) for i, e in zip(plan["selected"], entries)]
    futures = [backend.submit(k, json.dumps(e), plan["out_dir"], options, tracking, threads, png)
               for k, e in enumerate(entries)]
    first_failure = len(entries)
    done = set()
    try:
        for k, (kind, value, picture) in backend.completed(futures):
            item = runs[k]
            done.add(k)
            if kind == "ok":
                item.result, item.png = json.loads(value), picture
                item.result["name"] = item.entry["name"]
            else:
                item.error = shown(value)
                # Its failure is now the run's result: an earlier report would
                # hide it. A run another task holds keeps what that task writes.
                if kind != "busy":
                    drop_run_files(item.entry["stem"], plan["out_dir"])
                if not keep_going and k < first_failure:
                    first_failure = k
                    backend.cancel(futures[k + 1:])
            if on_run:
                on_run(item)
            # Without keep_going, only the runs before the first failure still matter.
            if first_failure < len(entries) and all(i in done for i in range(first_failure)):
                break
    except BaseException:
        backend.cancel(futures)
        raise
    if first_failure < len(entries):
        backend.cancel(futures)
        raise BatchFailed(runs[first_failure])
    return runs


def _path_key(path: str):
    return [part.encode("utf-8", "surrogateescape") for part in path.split(os.sep)]


def _report_files(out_dir: str) -> list[str]:
    """Every run report in the folder, relative to it: under sub-*/ (and the
    top folder for runs without a subject), never in hidden folders."""
    found = []
    for where, dirs, files in os.walk(out_dir):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        relative = os.path.relpath(where, out_dir)
        if relative != "." and not relative.startswith("sub-"):
            dirs[:] = []
            continue
        for name in sorted(files):
            if name.endswith(RUN_SUFFIXES[0]) and f"_{DESC}" in name and not name.startswith(TEMP_PREFIX):
                found.append(os.path.normpath(os.path.join(relative, name)))
    return found


@dataclass
class UnreadableReport:
    """A report in the folder the group level cannot use, and why: the run is
    counted as failed, never left out or guessed at."""
    path: str  # relative to the output folder
    name: str  # the run's name, from the report's file name
    reason: str

    def error(self) -> str:
        return f"its report {self.path} {self.reason}"


def _name_of_stem(stem: str) -> str:
    return os.path.basename(stem).replace(f"_{DESC}", "") + "_dwi"


def folder_runs(root: str, out_dir: str) -> tuple[list[RunResult], list[UnreadableReport]]:
    """Every run whose report is in the folder, read back from its files alone,
    in the order discovery meets the runs' images; and the reports that
    cannot be used."""
    found, unreadable = [], []
    for relative in _report_files(out_dir):
        stem = relative.removesuffix(RUN_SUFFIXES[0])
        try:
            report = readback.report(os.path.join(out_dir, relative))
        except readback.Unreadable as e:
            unreadable.append(UnreadableReport(relative, _name_of_stem(stem), str(e)))
            continue
        source = report.get("source") or {}
        name = source.get("name") or _name_of_stem(stem)
        dwi = source.get("dwi") or ""
        try:
            tracking = readback.read_json(os.path.join(out_dir, stem + RUN_SUFFIXES[1]))
        except readback.Unreadable:
            tracking = None  # only linked from the page: the report holds the tracking's record
        png = stem + RUN_SUFFIXES[2]
        entry = {"name": name, "stem": stem, "dwi": os.path.join(root, dwi) if dwi else "", "dwi_relative": dwi,
                 "entities": entities(name)}
        result = {"name": name, "dwi": entry["dwi"], "status": report["status"], "report": report,
                  "tracking": tracking if isinstance(tracking, dict) else None}
        found.append(RunResult(-1, entry, result, png=png if os.path.isfile(os.path.join(out_dir, png)) else None))
    found.sort(key=lambda r: (_path_key(r.entry["dwi_relative"]) if r.entry["dwi_relative"] else [b"\xff"],
                              _path_key(r.entry["stem"])))
    return found, unreadable


def page_runs(runs: list[RunResult]) -> list[dict]:
    """The runs as the QC page takes them."""
    shown = []
    for run in runs:
        report, stem = run.result["report"], run.entry["stem"]
        mask = report.get("mask") if isinstance(report.get("mask"), dict) else {}
        cross = report.get("cross_run") if isinstance(report.get("cross_run"), dict) else {}
        shown.append({"name": run.entry["name"], "entities": run.entry["entities"], "dwi": run.entry["dwi_relative"],
                      "report": report,
                      "files": {"report": stem + RUN_SUFFIXES[0],
                                "tracking": stem + RUN_SUFFIXES[1] if run.result.get("tracking") else None,
                                "picture": run.png},
                      "written_tables": list(report.get("written_tables", [])), "mask": mask.get("path"),
                      "cross_run_note": cross.get("note")})
    return shown


def _finish_participants(plan: dict, runs: list[RunResult]) -> BatchOutcome:
    """The participant level's end: the failure list the tasks share, updated
    under the folder's lock. The run files are already in place."""
    failures = [r for r in runs if r.error is not None]
    outcome = BatchOutcome(plan, runs, failures=failures)
    outcome.failed_listed = _list_failures(plan["folder"], runs, failures)
    outcome.folder_runs = [r for r in runs if r.result is not None]
    return outcome


def _list_failures(folder: Folder, runs: list[RunResult], failures: list[RunResult]) -> list[dict]:
    """The shared failure list with this batch's runs' entries replaced by
    its FAILURES, under the folder's lock; returns it."""
    with folder.locked():
        mine = {r.entry["stem"] for r in runs}
        earlier = [f for f in _read_failures(folder) if _failure_key(f) not in mine]
        listed = earlier + [{"name": r.entry["name"], "stem": r.entry["stem"], "dwi": r.entry["dwi"],
                             "error": r.error} for r in failures]
        # Also when it empties: another task may have listed one of these runs since this one began.
        _write_failures(folder, listed)
    return listed


def group(root: str, out_dir: str | None = None) -> BatchOutcome:
    """The group level on its own: the output folder must hold an earlier
    participant level's files; the raw dataset need not be there."""
    root = os.path.abspath(root)
    out_dir = os.path.abspath(out_dir if out_dir is not None else os.path.join(root, "derivatives", "tarvix"))
    if not os.path.isdir(out_dir) or not made_by_tarvix(out_dir):
        raise FolderRefused(f"{out_dir} holds no tarvix participant-level output: run the participant level "
                            "first (tarvix bids BIDS_DIR OUTPUT_DIR participant)")
    folder = Folder(out_dir, False)
    folder.begin()
    plan = {"root": root, "root_path": root, "out_dir": out_dir, "runs": [], "selected": [], "unmatched": [],
            "skipped": [], "unreadable": _read_lines(folder, UNLISTED_FOLDERS), "folder": folder}
    return _group(plan, BatchOutcome(plan, []))


def _group(plan: dict, outcome: BatchOutcome) -> BatchOutcome:
    """The folder's files for the whole group, from every report in it."""
    folder, root = plan["folder"], plan["root_path"]
    with folder.locked():
        outcome.folder_runs, outcome.unreadable_reports = folder_runs(root, plan["out_dir"])
        reported = {r.entry["stem"] for r in outcome.folder_runs}
        listed = [f for f in _read_failures(folder) if _failure_key(f) not in reported]
        outcome.failed_listed = listed
        # The summary states what the exit status counts: every run that
        # failed or whose report cannot be used, and the folders not listed.
        gaps = {"failed": [{"name": f["name"], "dwi": f.get("dwi", ""), "error": f["error"]} for f in listed]
                + [{"name": u.name, "dwi": "", "error": u.error()} for u in outcome.unreadable_reports],
                "skipped": _read_lines(folder, SKIPPED_RUNS), "unreadable": plan["unreadable"]}
        failed = [(f["name"], f["error"]) for f in gaps["failed"]]
        if outcome.folder_runs or gaps["failed"]:
            results = [{"name": r.entry["name"], "dwi": r.entry["dwi"], "status": r.result["status"]}
                       for r in outcome.folder_runs]
            outcome.finish_text = _engine.bids_finish(root, plan["out_dir"], json.dumps(results),
                                                      gaps=json.dumps(gaps))
        elif os.path.lexists(folder.file(SUMMARY)):
            os.unlink(folder.file(SUMMARY))
        tracking = any(r.result.get("tracking") is not None for r in outcome.folder_runs)
        outcome.page = qcpage.write_page(plan["out_dir"], root, page_runs(outcome.folder_runs), failed, tracking,
                                         _engine_version(), skipped=gaps["skipped"], unlisted=gaps["unreadable"])
        group_table.write(plan["out_dir"], [(r.entry["name"], r.result["report"]) for r in outcome.folder_runs],
                          failed, gaps["skipped"])
    return outcome


class Progress:
    """A one-line bar (done/total, rate, time left) with a line per finished run
    above it, on a terminal stream."""

    def __init__(self, stream, total: int):
        self.stream, self.total, self.done = stream, total, 0
        self.start = time.monotonic()

    def run_line(self, text: str) -> None:
        self.stream.write("\r\x1b[K" + text + "\n")
        self.done += 1
        self.bar()

    def bar(self) -> None:
        elapsed = time.monotonic() - self.start
        rate = self.done / elapsed if elapsed > 0 else 0.0
        left = (self.total - self.done) / rate if rate > 0 else None
        width = 30
        filled = int(width * self.done / self.total) if self.total else width
        eta = f"{left:.0f} s left" if left is not None else "time left unknown"
        speed = f"{rate:.1f} runs/s" if rate >= 1 else f"{rate * 60:.1f} runs/min"
        self.stream.write(f"\r\x1b[K[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} runs, "
                          f"{speed}, {eta}")
        self.stream.flush()

    def close(self) -> None:
        self.stream.write("\r\x1b[K")
        self.stream.flush()
