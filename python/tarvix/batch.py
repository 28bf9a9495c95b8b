"""A BIDS batch spread over processes or a Dask cluster.

The engine does the work one run at a time: `bids_prepare` discovers the runs
and makes the output folder, `bids_audit_run` audits one run and writes its
files whole, `bids_finish` writes the dataset summary. This module decides
where each run executes and in which order the outcomes are gathered, so that
each run's report and the returned text are those of `_tarvix.audit_bids`
(with the verdict and the batch's own fields on top) whatever order the runs
finish in (runs whose session is only in their folder's name are named with it
here).

Each run is a task (batch_task: its lock, its earlier files set aside, its
audit and picture) executed by a backend (batch_backends: this process, local
worker processes or a Dask cluster); the output folder, its lock and the lists
the group level reads back are batch_folder's.

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
import json
import os
import time
from dataclasses import dataclass, field

from . import _engine, defaults, group_table, outputs, qcpage, readback, verdict
from .batch_backends import (SCHEDULER_HINT, SCHEDULER_TIMEOUT_S, WORKER_LOST, BackendError,  # noqa: F401
                             default_threads, make_backend)
from .batch_folder import (DESCRIPTION, FAILED_RUNS, FOLDER_FILES, SKIPPED_RUNS, SUMMARY,  # noqa: F401
                           UNLISTED_FOLDERS, Folder, FolderRefused, _engine_version, _failure_key, _read_failures,
                           _read_lines, _write_description, _write_failures, _write_list, check_out_dir,
                           made_by_tarvix, restore_stale)
from .batch_task import RUN_SUFFIXES, drop_run_files, fingerprint, input_files  # noqa: F401
from .errors import shown

# The engine's analysis options a batch passes through to every run.
ANALYSIS_OPTIONS = ("tolerance", "b0_threshold", "shell", "step", "margin_threshold", "strict", "norm_tolerance")
DESC = "desc-tarvix"
LEVELS = defaults.BIDS_LEVELS
# Where a preprocessing pipeline keeps a run's brain mask, after the run's entities.
MASK_SUFFIXES = ("_space-dwi_desc-brain_mask.nii.gz", "_space-dwi_desc-brain_mask.nii")
TEMP_PREFIX = outputs.TEMP_PREFIX


class BatchFailed(ValueError):
    """The first failing run in discovery order: its image, then the engine's own text."""

    def __init__(self, run: RunResult):
        super().__init__(f"run failed: {shown(run.entry['dwi'])}: {run.error}")
        self.run = run


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
    made = not os.path.isdir(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    # The tasks of a job array claim a new folder one at a time: another task
    # must not find it holding this one's first files but no description yet,
    # and take it for a folder tarvix did not make.
    with outputs.folder_lock(out_dir):
        try:
            plan, folder = _claim(root, out_dir, options, participants, force, keep_going, mask_dir, repair)
        except BaseException:
            if made:
                with contextlib.suppress(OSError):
                    os.rmdir(out_dir)  # only while still empty
            raise
    # The summary, the group table and the page stay as the last group level
    # wrote them until the next one (the participant level of one task of a
    # job array must not take them from the others); each run's files are
    # replaced as the run is redone.
    with folder.locked():
        # Failures listed by an earlier batch for the runs this one redoes no
        # longer hold; a batch that redoes every run replaces the whole list.
        selected = plan["selected"]
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


def _claim(root: str, out_dir: str, options: dict, participants, force: bool, keep_going: bool,
           mask_dir=None, repair=None):
    """Discovery and the output folder, under the folder's lock: whether the
    folder is ours, foreign files out of the way, the plan, and the folder's
    description written."""
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
    return plan, folder


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
