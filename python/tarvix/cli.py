"""The `tarvix` command line.

Every subcommand passes on only the options the user typed, so the module's
own defaults stay the only ones. `audit` (with --dwi), `detect-flip` and
`repair` each call one function of `_engine`, which returns the report
`_tarvix` would and, on the same fitted field, the fibre-tracking record
(unless --no-tracking), the glyphs of --png and the timings of --profile;
`bids` runs `_engine`'s per-run entry points through `batch.py` (in this
process, in worker processes or on a Dask cluster); `inspect` and
`recompute-bval` call `_tarvix`. By default a short summary is
printed; `--json` prints the module's JSON report unchanged and `--out` stores
it.

This file is the entry point: it reads the command line (cli_options), runs
the command (cli_commands, cli_bids), and turns what fails into one line and
an exit status."""

from __future__ import annotations

import os
import signal
import stat
import sys

from . import outputs
from .cli_commands import check_table, whole_call_timings  # noqa: F401 (whole_call_timings: --profile's sums)
from .cli_options import EXIT_ERROR, EXIT_USAGE, build_parser, check_usage, declare  # noqa: F401
from .errors import CliError, Terminated, UsageError, terminal_text
from .optiontable import Namespace


# --- errors --------------------------------------------------------------------


def _is_regular(path) -> bool:
    """Only regular files are opened here: a FIFO would hold the open forever,
    /dev/zero the read."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except (OSError, ValueError):
        return False


def _probe(path: str, text: bool):
    """Why a path cannot be read (an errno, or "utf8"), or None."""
    try:
        if os.path.exists(path) and not os.path.isdir(path) and not _is_regular(path):
            return "special"
        with open(path, "rb") as f:
            data = f.read(1 << 26) if text else f.read(1)
        if text:
            data.decode("utf-8")
    except OSError as e:
        return e.errno if e.errno is not None else -1
    except UnicodeDecodeError:
        return "utf8"
    return None


def _probe_output(path: str, reason=None):
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        return "missing"
    if not os.access(folder, os.W_OK | os.X_OK):
        return "denied"
    if os.path.isdir(path):
        return "directory"
    if reason in (28, 122):  # ENOSPC, EDQUOT: the failed write's space is free again, so allow a little
        try:
            st = os.statvfs(folder)
            if st.f_bavail * st.f_frsize < (1 << 20) or st.f_favail == 0:
                return "full"
        except OSError:
            pass
    return None


def io_context(message: str, args: Namespace) -> str:
    """Which file an I/O error came from: the module's text names only the
    operating system's reason. The inputs are probed in the order the module
    reads them; a probe failing for the same reason is preferred."""
    code = message.rpartition("(os error ")[2]
    reason = int(code[:-1]) if code.endswith(")") and code[:-1].isdigit() else ("utf8" if "UTF-8" in message else None)
    if getattr(args, "grad", None):
        inputs = [("--grad", args.grad, True)]
    else:
        inputs = [(o, getattr(args, o[2:], None), True) for o in ("--bval", "--bvec")]
    inputs += [(o, getattr(args, o[2:], None), False) for o in ("--dwi", "--mask")]
    failing = [(o, p, _probe(p, t)) for o, p, t in inputs if p]
    failing = [f for f in failing if f[2] is not None]
    if reason is None and any(p in message for _, p, _ in failing):
        return message  # the engine named the file already (a FIFO, a device, a file too large)
    for option, path, why in failing:
        if why == reason:
            return f"{message}, while reading {option} {path}"
    if failing:
        return f"{message}, while reading {failing[0][0]} {failing[0][1]}"
    if not getattr(args, "dry_run", False):
        for option in ("--out-bvec", "--out-bval", "--out-grad", "--provenance"):
            path = getattr(args, option[2:].replace("-", "_"), None)
            if path and _probe_output(path, reason):
                return f"{message}, while writing {option} {path}"
    root = getattr(args, "root", None)
    if root and isinstance(reason, int):
        out_dir = getattr(args, "output_dir", None) or os.path.join(root, "derivatives", "tarvix")
        if _probe_output(os.path.join(out_dir, "x"), reason):
            return f"{message}, while writing into {out_dir}"
    return message


def _lines(path):
    """The non-empty lines of a small text file split into words, or None."""
    if not _is_regular(path):
        return None
    try:
        with open(path, encoding="utf-8") as f:
            return [line.split() for line in f.read(1 << 20).splitlines() if line.strip()]
    except (OSError, UnicodeDecodeError):
        return None


def table_hint(args) -> str:
    """Why a bvec/bval pair may not fit together: swapped files, or an MRtrix
    file given as --bvec."""
    bvec, bval = getattr(args, "bvec", None), getattr(args, "bval", None)
    if not bvec or not bval:
        return ""
    vec, val = _lines(bvec), _lines(bval)
    if vec is None or val is None:
        return ""
    if len(vec) > 4 and all(len(row) == 4 for row in vec):
        return f"; {bvec} looks like an MRtrix gradient file ('x y z b' per line): give it with --grad instead"
    if len(vec) == 1 and len(val) == 3:
        return f"; --bvec {bvec} and --bval {bval} look swapped (the b-vector file has three rows)"
    return ""


def _nifti_header_ok(path) -> bool:
    import gzip

    if not _is_regular(path):
        return False
    try:
        with open(path, "rb") as raw:
            head = raw.read(2)
            raw.seek(0)
            data = (gzip.open(raw) if head == b"\x1f\x8b" else raw).read(348)
    except (OSError, EOFError, ValueError):
        return False
    return len(data) == 348 and int.from_bytes(data[:4], "little") in (348, 348 << 24)


def nifti_context(message: str, args) -> str:
    """Which image a NIfTI error came from: the DWI is read first, then the mask."""
    mask = getattr(args, "mask", None)
    dwi = getattr(args, "dwi", None)
    if mask and ("mask" in message or (not _nifti_header_ok(mask) and _nifti_header_ok(dwi))):
        return f"{message}, while reading --mask {mask}"
    if dwi:
        return f"{message}, while reading --dwi {dwi}"
    return message


def explain(message: str, args) -> str:
    """The module's message with the input it concerns."""
    if message.startswith("I/O error: "):
        return io_context(message, args)
    if message.startswith("NIfTI error: "):
        return nifti_context(message, args)
    if message.startswith(("gradient table mismatch", "failed to parse")):
        # A message that already points at --grad has said what the hint would.
        return message if "--grad" in message else message + table_hint(args)
    if message.startswith("volume mismatch") and getattr(args, "dwi", None):
        table = getattr(args, "grad", None) or getattr(args, "bvec", None)
        return f"{message}, between the table {table} and --dwi {args.dwi}"
    if message.startswith("mask grid mismatch") and getattr(args, "mask", None):
        return f"{message}, for --mask {args.mask}"
    return message


class _Stdout:
    """Standard output as the command sees it: control characters in what is
    printed (file names) are escaped, and a write that fails (a full disk, a
    reader gone) is remembered instead of raised, so that the command still
    finishes what it does with its files. Standard error is guarded the same
    way but left as written (the progress bar moves the cursor): a closed
    progress stream stops the progress, never the batch."""

    def __init__(self, stream, escape: bool = True):
        self.stream = stream
        self.escape = escape
        self.failure: OSError | None = None

    def write(self, text: str) -> int:
        if self.failure is None:
            self._guard(self.stream.write, terminal_text(text, keep="\n\t") if self.escape else text)
        return len(text)

    def flush(self) -> None:
        if self.failure is None:
            self._guard(self.stream.flush)

    def _guard(self, call, *args) -> None:
        try:
            call(*args)
        except OSError as e:
            self.failure = e
            # What is still buffered goes nowhere, so the interpreter's own
            # flush at exit cannot fail again with a traceback.
            try:
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, self.stream.fileno())
                os.close(devnull)
            except (OSError, ValueError):
                pass

    def __getattr__(self, name):
        return getattr(self.stream, name)


def _stdout_lost(failure: OSError, code: int) -> int:
    """A summary that could not be printed: the files the command wrote stay
    (they state its verdict, and so does the exit status); without any the
    answer is lost, which is an error."""
    reason = failure.strerror or str(failure)
    written = outputs.written_outputs()
    if written:
        # Not an error of the command: what it was asked to make is there.
        line = f"tarvix: cannot write to standard output ({reason}); the outputs were written: {', '.join(written)}"
    else:
        line, code = f"tarvix: error: cannot write to standard output ({reason}); no file was written", EXIT_ERROR
    print(terminal_text(line), file=sys.stderr)
    return code


def _raise_terminated(signum, frame):
    raise Terminated(signum)


def main(argv: list[str] | None = None) -> int:
    stdout, sys.stdout = sys.stdout, _Stdout(sys.stdout)
    stderr, sys.stderr = sys.stderr, _Stdout(sys.stderr, escape=False)
    handlers = {}
    for signum in (signal.SIGTERM, signal.SIGHUP):
        # A signal ignored on purpose (nohup) stays ignored; off the main
        # thread the caller keeps its own handlers.
        try:
            if signal.getsignal(signum) != signal.SIG_IGN:
                handlers[signum] = signal.signal(signum, _raise_terminated)
        except ValueError:
            pass
    try:
        try:
            code = _main(argv)
            sys.stdout.flush()
        except KeyboardInterrupt as e:
            code = 128 + getattr(e, "signum", signal.SIGINT)
        if sys.stdout.failure is not None:
            code = _stdout_lost(sys.stdout.failure, code)
        return code
    finally:
        outputs.release_locks()
        sys.stdout, sys.stderr = stdout, stderr
        for signum, handler in handlers.items():
            signal.signal(signum, handler)


def _main(argv: list[str] | None) -> int:
    words = sys.argv[1:] if argv is None else list(argv)
    table = declare(words)
    args = table.parse(words) or table.argparse().parse_args(words)
    try:
        check_usage(args)
        check_table(args)
        return args.run(args)
    except UsageError as e:
        print(terminal_text(f"{args.parser.prog}: error: {e}"), file=sys.stderr)
        return EXIT_USAGE
    except ValueError as e:
        message = explain(str(e), args)
    except (CliError, NotImplementedError) as e:
        message = str(e)
    print(terminal_text(f"tarvix: error: {message}"), file=sys.stderr)
    return EXIT_ERROR


if __name__ == "__main__":
    raise SystemExit(main())
