"""One run of a batch, as a task: check that the task sees the files the
client planned on, take the run's lock, set its earlier files aside, audit it
(the engine writes its files whole), draw its picture, and put the earlier
files back if anything fails."""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import re
import signal
import time

from . import _engine, outputs, verdict
from .errors import shown

PREVIOUS = "previous-"  # in the name of a run's earlier file set aside: .tarvix-<pid>-previous-<name>
LOCK_PREFIX = ".tarvix-lock-"  # hidden, so BIDS tools pass over it; the tidy-up removes it only when unheld
# The files of a run, after its stem (<folder>/<entities>_desc-tarvix): its
# report, tracking record, picture, and with --repair the table a pipeline
# takes and its provenance record.
RUN_SUFFIXES = ("_report.json", "_tracking.json", "_qc.png", "_dwi.bvec", "_dwi.bval", "_dwi.b", "_provenance.json")


_ASIDE = re.compile(rf"^\.tarvix-(\d+)-{PREVIOUS}(.+)$")


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
    return os.path.join(where, f"{outputs.TEMP_PREFIX}{pid}-{PREVIOUS}{base}")


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
    """The engine audits the run and writes its report, with what the entry
    says of it beyond its audit (source, derivatives mask, cross-run note,
    tables written)."""
    kwargs = dict(options, tracking=tracking)
    if threads is not None:
        kwargs["threads"] = threads
    repair = entry.get("repair")
    if repair:
        kwargs.update(out_bvec=repair["bvec"], out_bval=repair["bval"], provenance=repair["provenance"],
                      force_repair=repair["force"])
        if repair.get("grad"):
            kwargs["out_grad"] = repair["grad"]
    try:
        ran = _engine.bids_audit_run(json.dumps(entry), out_dir, glyphs=png, **kwargs)
    except ValueError as e:
        return "error", str(e), None
    picture = _draw_qc(entry, out_dir, json.loads(ran["record"]), ran) if png else None
    return "ok", ran["record"], picture


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
