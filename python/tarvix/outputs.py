"""Every file a command writes, planned before any work starts.

A command names its outputs and its inputs once. The plan refuses an output
that is an input or another output (the same file, however it is spelled), an
existing path that is not a regular file (a folder, device, FIFO, socket, or a
symbolic link, whatever it points to), or an existing file without `--force`.

Each output is first written under a temporary name beside it
(`.tarvix-<pid>-<n>-NAME`): the module's files, the reports and the picture
alike. Only when every one of them is complete does the plan commit, holding an
exclusive lock on each output folder: it checks the names again, keeps each
old file as FILE.bak (then FILE.bak.1, ...) by a hard link, and renames the new
file over the name. A name therefore holds the old file or the new one at any
moment, even when the process is killed outright. The locks are kept until the
command has said what it wrote (`release_locks()`, called last by the command
line), so two commands on the same outputs take turns and neither reports a
file the other has since replaced; the temporaries need no lock, their names
are the writer's own. A failure or a signal before the end puts every old file
back and removes the rest, so a command leaves all its outputs or none; the
temporaries of a killed command are removed by the next one that commits in
the folder. A dry run checks the same and writes nothing."""

from __future__ import annotations

import errno
import fcntl
import itertools
import os
# The signal module's functions without its enum wrappers: building those
# enums is a tenth of the command's start.
import _signal as signal
import stat
import time

from .errors import CliError, compiled

# How long a command waits for another one to finish with the same folder.
LOCK_WAIT_SECONDS = 30.0
TEMP_PREFIX = ".tarvix-"
# Temporaries carry the writer's process id, so a later command can tell the
# leftovers of a killed one from the files of one still running.
_TEMP_PID = r"^\.tarvix-(?:tmp-)?(\d+)-"
_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
_serial = itertools.count(1)


def backup_name(path: str) -> str:
    """The first free name of FILE.bak, FILE.bak.1, FILE.bak.2, ..."""
    candidate, n = f"{path}.bak", 1
    while os.path.lexists(candidate):
        candidate, n = f"{path}.bak.{n}", n + 1
    return candidate


def file_key(path: str):
    """What a path leads to: device and inode when something is there, else the
    fully resolved path (a new file spelled two ways resolves to one name)."""
    try:
        st = os.stat(path)
    except OSError:
        return ("path", os.path.realpath(path))
    return ("inode", st.st_dev, st.st_ino)


def _kind(mode: int) -> str | None:
    """What a non-regular file is, in a word; None for a regular file."""
    for test, word in ((stat.S_ISLNK, "a symbolic link"), (stat.S_ISDIR, "a folder"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return word
    return None if stat.S_ISREG(mode) else "not a regular file"


class Output:
    def __init__(self, option: str, path: str):
        self.option, self.path = option, path
        self.temp, self.marker = "", ""
        self.backup: str | None = None
        self.committed = False


class OutputPlan:
    def __init__(self, outputs, inputs=(), force: bool = False, dry_run: bool = False, staged: bool = False):
        """`outputs` and `inputs` are (option, path) pairs; a None path is left
        out. With `staged` (the commands) writers write to `temp_of(path)`;
        otherwise (the demo, whose later steps read its earlier files) they
        write to the names themselves, after the old files were moved aside at
        the start."""
        self.outputs = [Output(option, path) for option, path in outputs if path]
        self.inputs = [(option, path) for option, path in inputs if path]
        self.force = force
        self.dry_run = dry_run
        self.staged = staged and not dry_run
        self._check()
        for out in self.outputs:
            out.temp, out.marker = _temp_name(out.path) if self.staged else (out.path, "")
            if len(os.fsencode(os.path.basename(out.temp))) > 255:
                raise CliError(f"{out.option} {out.path}: the file name is too long to be written safely "
                               f"(at most {255 - len(out.marker)} bytes)")

    def _check(self) -> None:
        inputs = [(option, path, file_key(path)) for option, path in self.inputs]
        seen = []
        for out in self.outputs:
            key = file_key(out.path)
            for option, path, input_key in inputs:
                if key == input_key:
                    raise CliError(f"{out.option} {out.path} is the input {option} {path}: "
                                   "an output never replaces an input")
            for earlier, earlier_key in seen:
                if key == earlier_key:
                    raise CliError(f"{earlier.option} and {out.option} are the same file: {out.path}")
            seen.append((out, key))
            _check_writable(out)
            self._check_target(out)

    def _check_target(self, out: Output, during: bool = False) -> None:
        try:
            mode = os.lstat(out.path).st_mode
        except FileNotFoundError:
            return
        except OSError as e:
            raise CliError(f"{out.option} {out.path}: {e.strerror or e}") from None
        kind = _kind(mode)
        if kind == "a folder":
            raise CliError(f"{out.option} {out.path} is a folder, not a file")
        if kind is not None:
            raise CliError(f"{out.option} {out.path} is {kind}, not a regular file: tarvix writes only regular "
                           "files and never replaces anything else, even with --force")
        if not self.force:
            meanwhile = " (it appeared while this command ran)" if during else ""
            raise CliError(f"refusing to overwrite existing file: {out.path}{meanwhile} (pass --force to allow)")

    def path(self, option: str) -> str | None:
        return next((o.path for o in self.outputs if o.option == option), None)

    def temp_of(self, path: str) -> str:
        """Where the writer of an output writes it."""
        return next((o.temp for o in self.outputs if o.path == path), path)

    def module_paths(self, names: dict[str, str]) -> dict[str, str]:
        """The module's output arguments ({argument: option}) pointing at the
        temporaries, for the outputs the command has."""
        return {arg: self.temp_of(self.path(option)) for arg, option in names.items() if self.path(option)}

    def real_names(self, text: str) -> str:
        """A text the module wrote about the temporaries (a report, a
        provenance record), naming the outputs instead. Each temporary is its
        output's name with a unique marker inserted before the file name, so
        taking the marker out restores the name however the text spells it."""
        for out in self.outputs:
            if out.marker:
                text = text.replace(out.marker, "")
        return text

    def fix_names_in(self, option: str) -> None:
        """Rewrite a staged file the module wrote so that it names the outputs."""
        path = self.path(option)
        if not path or not self.staged or not os.path.lexists(self.temp_of(path)):
            return
        temp = self.temp_of(path)
        with open(temp, "rb") as f:
            data = f.read()
        fixed = self.real_names(data.decode("utf-8", "surrogateescape")).encode("utf-8", "surrogateescape")
        if fixed != data:
            with open(temp, "wb") as f:
                f.write(fixed)

    def backups(self) -> dict[str, str]:
        """Each replaced output and where its old file now is."""
        return {o.path: o.backup for o in self.outputs if o.backup}

    def _begin(self) -> None:
        _register(self)
        if self.dry_run:
            return
        if self.staged:
            # Also when this command ends up writing nothing: no leftover of a
            # killed one survives a rerun.
            for folder in {_folder(o.path) for o in self.outputs}:
                clean_stale_temporaries(folder)
            return
        for out in self.outputs:
            if os.path.lexists(out.path):
                backup = backup_name(out.path)
                try:
                    os.rename(out.path, backup)
                except OSError as e:
                    self.rollback()
                    raise CliError(f"cannot move {out.path} to {backup}: {e.strerror or e}") from None
                out.backup = backup

    def _commit(self) -> None:
        if self.dry_run:
            return
        if not self.staged:
            # An output the command did not write after all keeps its old file.
            for out in self.outputs:
                if out.backup and not os.path.lexists(out.path):
                    os.rename(out.backup, out.path)
                    out.backup = None
                out.committed = os.path.lexists(out.path)
            return
        ready = [o for o in self.outputs if os.path.lexists(o.temp)]
        if not ready:
            return
        hold_folder_locks([_folder(o.path) for o in ready])
        with signals_held():
            for out in ready:
                self._check_target(out, during=True)
            for out in ready:
                _check_writable(out)
            for out in ready:
                self._replace(out)
            for folder in {_folder(o.path) for o in ready}:
                clean_stale_temporaries(folder)

    def _replace(self, out: Output) -> None:
        try:
            if os.path.lexists(out.path):
                out.backup = _keep_as_backup(out.path)
            os.replace(out.temp, out.path)
        except OSError as e:
            raise CliError(f"cannot write {out.path}: {e.strerror or e}") from None
        out.committed = True

    def rollback(self) -> None:
        """Remove what the command wrote and put every old file back."""
        if self.dry_run:
            return
        with signals_held():
            for out in reversed(self.outputs):
                _undo(out, self.staged)

    def transaction(self) -> "_Transaction":
        """A block whose files all take their names at its end, or none does."""
        return _Transaction(self)

    def written(self) -> list[str]:
        return [o.path for o in self.outputs if o.committed]


class _Transaction:
    # A class rather than contextlib's decorator: contextlib alone costs a
    # tenth of the command's start.
    def __init__(self, plan: "OutputPlan"):
        self.plan = plan

    def __enter__(self) -> "OutputPlan":
        self.plan._begin()
        return self.plan

    def __exit__(self, kind, value, traceback) -> bool:
        if kind is None:
            try:
                self.plan._commit()
            except BaseException:
                self.plan.rollback()
                raise
        else:
            self.plan.rollback()
            if kind is ValueError and value.args:
                # The engine named the temporary it could not write.
                value.args = (self.plan.real_names(str(value)),)
        return False


def _undo(out: Output, staged: bool) -> None:
    try:
        _undo_files(out, staged)
    except OSError:
        pass
    out.backup = None
    out.committed = False


def _undo_files(out: Output, staged: bool) -> None:
    if staged and not out.committed:
        if out.temp != out.path and os.path.lexists(out.temp):
            os.unlink(out.temp)
        if out.backup:
            # The backup was linked (or, without hard links, moved) but the
            # new file never took the name.
            if os.path.lexists(out.path):
                os.unlink(out.backup)
            else:
                os.rename(out.backup, out.path)
    elif out.backup:
        # One rename puts the old file back over the new one: the name is never empty.
        os.replace(out.backup, out.path)
    elif (out.committed or not staged) and os.path.lexists(out.path) and not os.path.isdir(out.path):
        # Anything at the name now was made by this command: the name was free.
        os.unlink(out.path)


def _keep_as_backup(path: str) -> str:
    """Keep the old file under its backup name while it stays at its own, so
    the rename that follows replaces it in one step."""
    backup = backup_name(path)
    try:
        os.link(path, backup, follow_symlinks=False)
    except OSError as e:
        if e.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK, errno.ENOSYS, errno.EXDEV):
            raise
        # A file system without hard links: the name is empty only until the next rename.
        os.rename(path, backup)
    return backup


def _folder(path: str) -> str:
    return os.path.dirname(path) or "."


def _temp_name(path: str) -> tuple[str, str]:
    """PATH with a marker `.tarvix-<pid>-<n><random>-` inserted before its file
    name, and the marker."""
    cut = path.rfind("/") + 1
    marker = f"{TEMP_PREFIX}{os.getpid()}-{next(_serial)}{os.urandom(3).hex()}-"
    return path[:cut] + marker + path[cut:], marker


def _check_writable(out: Output) -> None:
    if os.path.isdir(out.path) and not os.path.islink(out.path):
        raise CliError(f"{out.option} {out.path} is a folder, not a file")
    folder = _folder(out.path)
    if not os.path.isdir(folder):
        raise CliError(f"{out.option} {out.path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise CliError(f"{out.option} {out.path}: no permission to write in {folder}")


# --- locks, signals, leftovers ---------------------------------------------------

_held_locks: dict[tuple[int, int], int] = {}
_plans: list[OutputPlan] = []


def _register(plan: OutputPlan) -> None:
    _plans.append(plan)


_noted: list[str] = []


def note_written(path: str) -> None:
    """An output written outside any plan (a batch's folder, whose files its
    workers write), for what the command says it wrote."""
    _noted.append(path)


def written_outputs() -> list[str]:
    """Every output the commands of this process committed."""
    return [path for plan in _plans for path in plan.written()] + _noted


def lock_wait() -> float:
    try:
        return max(0.0, float(os.environ.get("TARVIX_LOCK_WAIT", LOCK_WAIT_SECONDS)))
    except ValueError:
        return LOCK_WAIT_SECONDS


def hold_folder_locks(folders) -> None:
    """Take an exclusive lock on each folder (flock on the folder itself, so no
    lock file is ever left behind), in the order of their device and inode so
    that two commands cannot each hold what the other waits for. A lock is kept
    until `release_locks()` or the end of the process. On a file system without
    flock the command goes on unlocked."""
    keyed = {}
    for folder in folders:
        try:
            st = os.stat(folder)
        except OSError as e:
            raise CliError(f"cannot open the folder {folder}: {e.strerror or e}") from None
        keyed.setdefault((st.st_dev, st.st_ino), folder)
    for key in sorted(keyed):
        if key not in _held_locks:
            _lock(key, keyed[key])


def _lock(key, folder: str) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return  # a folder one may write in but not list: unlocked, as without flock
    deadline = time.monotonic() + lock_wait()
    try:
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    raise CliError(f"another tarvix command is writing in the folder {folder}; gave up after "
                                   f"{lock_wait():g} s (try again when it has finished)") from None
                time.sleep(0.05)
    except OSError:
        os.close(fd)
        return
    except BaseException:
        os.close(fd)
        raise
    _held_locks[key] = fd


def release_locks() -> None:
    while _held_locks:
        os.close(_held_locks.popitem()[1])


class folder_lock:
    """The lock of one folder for a block (a batch writing its summary). A
    folder this process already holds stays held after the block."""

    def __init__(self, folder: str):
        self.folder = folder

    def __enter__(self) -> None:
        st = os.stat(self.folder)
        self.key = (st.st_dev, st.st_ino)
        self.taken = self.key not in _held_locks
        hold_folder_locks([self.folder])

    def __exit__(self, *exc) -> bool:
        if self.taken and self.key in _held_locks:
            os.close(_held_locks.pop(self.key))
        return False


class signals_held:
    """Ctrl-C, SIGTERM and SIGHUP wait until the block is done: a backup and
    the rename that follows it, or the rollback, are never cut in half."""

    def __enter__(self) -> None:
        try:
            self.old = signal.pthread_sigmask(signal.SIG_BLOCK, _SIGNALS)
        except (OSError, ValueError):
            self.old = None

    def __exit__(self, *exc) -> bool:
        if self.old is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, self.old)
        return False


def pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True


def clean_stale_temporaries(folder: str) -> list[str]:
    """Remove the temporaries a killed tarvix process left in a folder (those
    of a running one are kept). Returns the names removed."""
    removed = []
    try:
        names = os.listdir(folder)
    except OSError:
        return removed
    for name in names:
        match = compiled(_TEMP_PID).match(name)
        if not match or pid_alive(int(match.group(1))):
            continue
        path = os.path.join(folder, name)
        try:
            if stat.S_ISREG(os.lstat(path).st_mode):
                os.unlink(path)
                removed.append(name)
        except OSError:
            pass
    return removed


def write_text(path: str, text: str) -> None:
    """Whole-file write: a reader never sees a half-written file."""
    folder = _folder(path)
    try:
        import tempfile

        fd, tmp = tempfile.mkstemp(prefix=f"{TEMP_PREFIX}{os.getpid()}-", dir=folder)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(text)
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(tmp, 0o666 & ~umask)  # as a plain open() would have made it
            os.replace(tmp, path)
        except BaseException:
            os.unlink(tmp)
            raise
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}") from None
