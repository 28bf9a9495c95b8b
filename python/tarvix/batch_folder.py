"""A batch's output folder: whether it is ours (an earlier tarvix batch made
it), its lock, the files of runs a killed batch left set aside, its
dataset_description.json, and the lists the group level reads back (the
failed runs, the skipped images, the folders that could not be listed).

The output folder belongs to the batch only when an earlier batch made it:
then its files are replaced, else a file in the way is refused, or with
`force` kept as a backup."""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import stat
import urllib.parse

from . import group_table, outputs, qcpage, readback
from .batch_task import _ASIDE, LOCK_PREFIX, RUN_SUFFIXES, RunBusy, RunLock, _aside_name, put_back, run_files
from .errors import shown

BIDS_VERSION = "1.9.0"
FAILED_RUNS = "failed_runs.json"
SKIPPED_RUNS = "skipped_runs.json"
UNLISTED_FOLDERS = "unreadable_folders.json"
DESCRIPTION = "dataset_description.json"
SUMMARY = "dataset_summary.json"
# The files a batch writes for the folder (a run's own: batch_task.RUN_SUFFIXES).
FOLDER_FILES = (DESCRIPTION, SUMMARY, qcpage.PAGE, FAILED_RUNS, SKIPPED_RUNS, UNLISTED_FOLDERS,
                group_table.TSV_NAME, group_table.SIDECAR_NAME)
DESCRIPTION_LIMIT = 1 << 20  # a dataset_description.json is a few hundred bytes

class FolderRefused(RuntimeError):
    """The output folder is not the batch's to write in: the dataset itself, or
    files another program wrote (without `force`)."""


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


def _failure_key(failure: dict):
    # Lists written before runs had stems name them only.
    return failure.get("stem") or failure.get("name")


def _stored(path: str):
    """(what the list a batch left at PATH holds, or [] without one; why it
    cannot be read, or None), read as untrusted input."""
    if not os.path.lexists(path):
        return [], None
    try:
        return readback.read_json(path), None
    except readback.Unreadable as e:
        return None, str(e)


def _read_failures(folder: Folder) -> list[dict]:
    """The failure list the batches sharing the folder keep. No entry is
    dropped for its form: a failure named badly is still a failure, and a list
    that cannot be read stands for failures nobody can name."""
    listed, unreadable = _stored(folder.file(FAILED_RUNS))
    if unreadable is not None:
        return [{"name": FAILED_RUNS, "error": f"the list of failed runs {unreadable}: which runs failed is unknown"}]
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
    listed, unreadable = _stored(folder.file(name))
    if unreadable is not None:
        return [f"the list of {what} {unreadable}: {unknown} is unknown"]
    if not isinstance(listed, list) or not all(isinstance(line, str) for line in listed):
        return [f"the list of {what} is not a list of texts: {unknown} is unknown"]
    return listed
