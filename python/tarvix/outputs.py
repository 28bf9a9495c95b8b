"""Every file a command writes, planned before any work starts.

A command names its outputs and its inputs once. The plan refuses an output
that is an input or another output (the same file, however it is spelled), a
directory, or an existing file without `--force`; with `--force` the old file is
moved to FILE.bak (then FILE.bak.1, ...), the names the core gives its backups.
Inside `transaction()` a failure removes every output the command made and puts
the backups back, so a command leaves all its outputs or none. A dry run
checks the same and writes nothing."""

from __future__ import annotations

import contextlib
import os
from dataclasses import dataclass

from .errors import CliError


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


@dataclass
class Output:
    option: str
    path: str
    backup: str | None = None


class OutputPlan:
    def __init__(self, outputs, inputs=(), force: bool = False, dry_run: bool = False):
        """`outputs` and `inputs` are (option, path) pairs; a None path is left out."""
        self.outputs = [Output(option, path) for option, path in outputs if path]
        self.inputs = [(option, path) for option, path in inputs if path]
        self.force = force
        self.dry_run = dry_run
        self._check()

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
            if os.path.lexists(out.path) and not self.force:
                raise CliError(f"refusing to overwrite existing file: {out.path} (pass --force to allow)")

    def path(self, option: str) -> str | None:
        return next((o.path for o in self.outputs if o.option == option), None)

    def backups(self) -> dict[str, str]:
        """Each replaced output and where its old file now is."""
        return {o.path: o.backup for o in self.outputs if o.backup}

    def _begin(self) -> None:
        if self.dry_run:
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

    def rollback(self) -> None:
        """Remove what the command wrote and put every old file back."""
        if self.dry_run:
            return
        for out in reversed(self.outputs):
            # Anything at the path now was made by this command: the old file
            # was moved away first.
            if os.path.lexists(out.path) and not os.path.isdir(out.path):
                with contextlib.suppress(OSError):
                    os.unlink(out.path)
            if out.backup:
                with contextlib.suppress(OSError):
                    os.rename(out.backup, out.path)
                out.backup = None

    def _finish(self) -> None:
        # An output the command did not write after all keeps its old file.
        for out in self.outputs:
            if out.backup and not os.path.lexists(out.path):
                os.rename(out.backup, out.path)
                out.backup = None

    @contextlib.contextmanager
    def transaction(self):
        self._begin()
        try:
            yield self
        except BaseException:
            self.rollback()
            raise
        self._finish()


def _check_writable(out: Output) -> None:
    if os.path.isdir(out.path):
        raise CliError(f"{out.option} {out.path} is a folder, not a file")
    folder = os.path.dirname(out.path) or "."
    if not os.path.isdir(folder):
        raise CliError(f"{out.option} {out.path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise CliError(f"{out.option} {out.path}: no permission to write in {folder}")


def write_text(path: str, text: str) -> None:
    """Whole-file write: a reader never sees a half-written file."""
    import tempfile

    folder = os.path.dirname(path) or "."
    try:
        fd, tmp = tempfile.mkstemp(prefix=".tarvix-", dir=folder)
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
