"""A BIDS batch spread over processes or a Dask cluster.

The engine does the work one run at a time: `bids_prepare` discovers the runs
and makes the output folder, `bids_audit_run` audits one run and writes its
files whole, `bids_finish` writes the dataset summary. This module only decides
where each run executes and in which order the outcomes are gathered, so that
the files and the returned text are those of `_tarvix.audit_bids` whatever
order the runs finish in.

Runs are tasks in separate processes because every engine call holds the
interpreter lock for its whole length."""

from __future__ import annotations

import json
import multiprocessing
import os
import re
import signal
import time
from dataclasses import dataclass, field

from . import _engine, outputs, qcpage, verdict

# The engine's analysis options a batch passes through to every run.
ANALYSIS_OPTIONS = ("tolerance", "b0_threshold", "shell", "step", "margin_threshold", "strict", "norm_tolerance")
SCHEDULER_HINT = ("--scheduler needs dask and distributed, which are not installed; "
                  "install them with: pip install 'tarvix[cluster]'")
SCHEDULER_TIMEOUT_S = 30
WORKER_LOST = "the worker process auditing this run ended abruptly (out of memory, or killed)"
BIDS_VERSION = "1.9.0"
FAILED_RUNS = "failed_runs.json"
DESCRIPTION = "dataset_description.json"


class BatchFailed(ValueError):
    """The first failing run in discovery order, with the engine's own text."""


class BackendError(RuntimeError):
    """The runs cannot be sent where they were asked to go (a missing extra,
    an unreachable scheduler)."""


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
    finish_text: str | None = None  # what audit_bids would return; None when no run succeeded
    failures: list[RunResult] = field(default_factory=list)


def combined_verdict(report: dict, tracking: dict | None = None) -> tuple[str, list[str]]:
    """The status shown and exited with for one run, and the notes behind it:
    the verdict the engine wrote into the run's report."""
    return verdict.cli_verdict(report)


def best_label(report: dict, tracking: dict | None = None) -> str | None:
    """The deciding measure's best transform (canonical), None when nothing scored."""
    return verdict.of_report(report).best


# --- the task ----------------------------------------------------------------


def audit_task(entry_text: str, out_dir: str, options: dict, tracking: bool, threads: int | None,
               png: bool) -> tuple[str, str, str | None]:
    """One run, wherever it executes: ("ok", the engine's record, QC picture
    name or None) or ("error", the engine's message, None). Errors travel as
    values so that every backend hands them back the same way."""
    kwargs = dict(options, tracking=tracking)
    if threads is not None:
        kwargs["threads"] = threads
    try:
        text = _engine.bids_audit_run(entry_text, out_dir, **kwargs)
    except ValueError as e:
        return "error", str(e), None
    picture = None
    if png:
        entry = json.loads(entry_text)
        picture = _draw_qc(entry, out_dir, json.loads(text), options, threads)
    return "ok", text, picture


def _draw_qc(entry: dict, out_dir: str, record: dict, options: dict, threads: int | None) -> str | None:
    """The run's QC picture beside its report. The batch record carries no
    glyphs, so this is a second audit of the run (read and fit again)."""
    from . import qcplot

    report = record["report"]
    if "flip" not in report:
        return None
    # The report's inputs are the table and, when the batch chose one, the mask.
    images = [i["path"] for i in report.get("inputs", []) if i["path"].lower().endswith((".nii", ".nii.gz"))]
    mask = images[0] if images else None
    kwargs = dict(options)
    if threads is not None:
        kwargs["threads"] = threads
    name = f"{entry['stem']}_qc.png"
    # Drawn under a temporary name and renamed, as every other output: an
    # interrupted batch leaves no half-written picture.
    tmp = os.path.join(out_dir, f".tarvix-tmp-{os.getpid()}-{name}")
    try:
        drawn = _engine.audit(dwi=entry["dwi"], bvec=entry["bvec"], bval=entry["bval"], mask=mask, glyphs=True,
                              **kwargs)
        qcplot.write_png(tmp, report, drawn["glyphs"], source=entry["dwi"], command="audit",
                         verdict=verdict.of_report(report))
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


class ProcessBackend:
    """N worker processes on this machine."""

    def __init__(self, jobs: int):
        from concurrent.futures import ProcessPoolExecutor

        # forkserver: the client may already run engine threads, and fork after threads is unsafe.
        context = multiprocessing.get_context("forkserver")
        self._pool = ProcessPoolExecutor(max_workers=jobs, mp_context=context, initializer=_ignore_interrupts)
        self._index = {}

    def submit(self, index, *args):
        future = self._pool.submit(audit_task, *args)
        self._index[future] = index
        return future

    def completed(self, futures):
        from concurrent.futures import as_completed

        from concurrent.futures.process import BrokenProcessPool

        for future in as_completed(futures):
            if future.cancelled():
                continue
            try:
                outcome = future.result()
            except BrokenProcessPool:
                outcome = ("error", WORKER_LOST, None)
            yield self._index[future], outcome

    def cancel(self, futures):
        for future in futures:
            future.cancel()

    def close(self):
        # Waits for the runs already started: they finish their files, queued ones never start.
        self._pool.shutdown(wait=True, cancel_futures=True)


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


def dataset_description() -> str:
    """The derivative's dataset_description.json: no paths in it, so the same
    text whatever the output folder."""
    version = _engine_version()
    record = {"Name": "tarvix gradient table audit", "BIDSVersion": BIDS_VERSION, "DatasetType": "derivative",
              "GeneratedBy": [{"Name": "tarvix", "Version": version}]}
    return json.dumps(record, indent=2) + "\n"


def _engine_version() -> str:
    from . import _tarvix

    return _tarvix.version()


def prepare(root: str, options: dict, out_dir: str | None = None, participants=None,
            keep_going: bool = False) -> dict:
    kwargs = dict(options)
    if out_dir is not None:
        kwargs["out_dir"] = out_dir
    if participants:
        kwargs["participants"] = json.dumps(list(participants))
    if keep_going:
        kwargs["keep_going"] = True
    plan = json.loads(_engine.bids_prepare(root, **kwargs))
    outputs.write_text(os.path.join(plan["out_dir"], DESCRIPTION), dataset_description())
    # Like the summary the engine removes: what described an earlier batch goes.
    for name in (FAILED_RUNS, qcpage.PAGE):
        stale = os.path.join(plan["out_dir"], name)
        if os.path.exists(stale):
            os.unlink(stale)
    return plan


def run(root: str, options: dict | None = None, *, out_dir: str | None = None, participants=None,
        tracking: bool = True, png: bool = False, jobs: int | None = None, scheduler: str | None = None,
        threads: int | None = None, keep_going: bool = False, on_run=None, on_start=None) -> BatchOutcome:
    """Audit every run of the dataset at ROOT. `on_start(plan)` is called once
    the runs are known, `on_run(RunResult)` as each one ends (in finishing
    order). Without `keep_going` the first failing run in discovery order
    raises BatchFailed with the engine's text and no summary is written."""
    options = {k: v for k, v in (options or {}).items() if k in ANALYSIS_OPTIONS}
    backend = make_backend(jobs, scheduler)  # before any file is written: a missing extra stops here
    try:
        plan = prepare(root, options, out_dir, participants, keep_going)
        if on_start:
            on_start(plan)
        if threads is None:
            threads = default_threads(jobs, scheduler)
        runs = _gather(backend, plan, options, tracking, threads, png, keep_going, on_run)
    finally:
        backend.close()
    return _finish(plan, runs, keep_going)


def name_the_file(error: str, entry: dict, out_dir: str) -> str:
    """A run's operating-system error with the file it concerns: the engine's
    text gives only the reason. The inputs are tried in the order they are
    read; a reason none of them shows came from writing the run's reports."""
    match = re.fullmatch(r"I/O error: .*\(os error (\d+)\)", error)
    if not match:
        return error
    reason = int(match.group(1))
    for key in ("bval", "bvec", "dwi"):
        path = entry.get(key)
        try:
            # Non-blocking: a file that became a FIFO since discovery must not hold the batch.
            os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK))
        except OSError as e:
            if e.errno == reason:
                return f"{error}, while reading {path}"
        except (TypeError, ValueError):
            pass
    return f"{error}, while writing into {out_dir}"


def _gather(backend, plan, options, tracking, threads, png, keep_going, on_run) -> list[RunResult]:
    entries = plan["runs"]
    runs = [RunResult(i, e) for i, e in enumerate(entries)]
    futures = [backend.submit(i, json.dumps(e), plan["out_dir"], options, tracking, threads, png)
               for i, e in enumerate(entries)]
    first_failure = len(entries)
    done = set()
    try:
        for index, (kind, value, picture) in backend.completed(futures):
            item = runs[index]
            done.add(index)
            if kind == "ok":
                item.result, item.png = json.loads(value), picture
            else:
                item.error = name_the_file(value, item.entry, plan["out_dir"])
                if not keep_going and index < first_failure:
                    first_failure = index
                    backend.cancel(futures[index + 1:])
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
        raise BatchFailed(runs[first_failure].error)
    return runs


def _finish(plan: dict, runs: list[RunResult], keep_going: bool) -> BatchOutcome:
    failures = [r for r in runs if r.error is not None]
    good = [r for r in runs if r.result is not None]
    outcome = BatchOutcome(plan, runs, failures=failures)
    if keep_going:
        listed = [{"name": r.entry["name"], "dwi": r.entry["dwi"], "error": r.error} for r in failures]
        outputs.write_text(os.path.join(plan["out_dir"], FAILED_RUNS), json.dumps(listed, indent=2) + "\n")
    if good:
        results = [{k: r.result[k] for k in ("name", "dwi", "status")} for r in good]
        outcome.finish_text = _engine.bids_finish(plan["root"], plan["out_dir"], json.dumps(results))
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
