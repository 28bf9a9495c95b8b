"""The `tarvix` command line.

Every subcommand passes on only the options the user typed, so the module's
own defaults stay the only ones. `audit` (with --dwi), `detect-flip` and
`repair` each call one function of `_engine`, which returns the report
`_tarvix` would and, on the same fitted field, the fibre-tracking record
(unless --no-tracking), the glyphs of --png and the timings of --profile;
`bids` runs `_engine`'s per-run entry points through `batch.py` (in this
process, in worker processes or on a Dask cluster); `inspect` and
`recompute-bval` call their `_engine` functions too, which read the table
files strictly (NaN, infinite or negative entries and misread layouts are
refused, naming the file and entry). By default a short summary is
printed; `--json` prints the module's JSON report unchanged and `--out` stores
it.

This file is the entry point: it reads the command line (cli_options), runs
the command (cli_commands, cli_bids), and turns what fails into one line and
an exit status."""

from __future__ import annotations

import os
# The signal module's functions without its enum wrappers: building those
# enums is a tenth of the command's start.
import _signal as signal
import sys

from . import outputs
from .cli_commands import whole_call_timings  # noqa: F401 (whole_call_timings: --profile's sums)
from .cli_options import EXIT_ERROR, EXIT_USAGE, build_parser, check_usage, declare  # noqa: F401
from .errors import CliError, Terminated, UsageError, terminal_text
from .optiontable import Namespace


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
        return args.run(args)
    except UsageError as e:
        print(terminal_text(f"{args.parser.prog}: error: {e}"), file=sys.stderr)
        return EXIT_USAGE
    except (ValueError, CliError, NotImplementedError) as e:
        # The engine's own text names the file it concerns.
        print(terminal_text(f"tarvix: error: {e}"), file=sys.stderr)
        return EXIT_ERROR


if __name__ == "__main__":
    raise SystemExit(main())
