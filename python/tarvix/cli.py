"""The `tarvix` command line.

Every subcommand calls exactly one function of the extension module (the
`--png` and `--profile` switches pick its glyph or profiled variant) and passes
on only the options the user typed, so the module's own defaults stay the only
ones. By default a short summary is printed; `--json` prints the module's JSON
text unchanged and `--out` stores it."""

from __future__ import annotations

import argparse
import importlib.util
import inspect
import json
import os
import re
import subprocess
import sys
import tempfile
import time

from . import _tarvix, summary

EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_WARN, EXIT_FLAG = 0, 1, 2, 3, 4

EXIT_TABLE = """\
exit status:
  0  PASS (and FLAG, unless --fail-on flag is given)
  1  error: unreadable or invalid input, refused overwrite, ...
  2  usage error: unknown option, missing or malformed argument
  3  WARN: something needs a look (see the notes)
  4  FLAG with --fail-on flag: the table's axes do not fit the image"""

BIDS_EXIT_TABLE = """\
exit status:
  0  every run PASS, or the worst run FLAG (unless --fail-on flag is given)
  1  error: no DWI run found, a run that cannot be read, ...
  2  usage error
  3  the worst run is WARN (the batch summary's exit_code)
  4  with --fail-on flag: at least one run is FLAG"""

RECOMPUTE_EXIT_TABLE = """\
exit status:
  0  b-values recomputed (or, with --dry-run, computed)
  1  error: unreadable input, no diffusion-weighted volume, refused overwrite, ...
  2  usage error"""

PNG_HINT = "--png needs matplotlib, which is not installed; install it with: pip install 'tarvix[viz]'"


class CliError(Exception):
    """A failure of the front end itself (writing --out or --png), reported
    like the module's errors."""


# --- options -------------------------------------------------------------------


def _defaults(function: str) -> dict:
    try:
        params = inspect.signature(getattr(_tarvix, function)).parameters
    except (TypeError, ValueError):
        return {}
    return {n: p.default for n, p in params.items() if p.default is not inspect.Parameter.empty}


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be a positive integer")
    return value


def _number(value) -> str:
    return f"{value:g}" if isinstance(value, float) else str(value)


def _add(group, flag, defaults, help_text, **kwargs):
    """An option whose value reaches the module only when typed. The help text
    gets the module's default appended where it has a plain one."""
    dest = kwargs.pop("dest", flag.lstrip("-").replace("-", "_"))
    default = defaults.get(dest)
    if isinstance(default, (int, float)) and not isinstance(default, bool):
        help_text += f" (default: {_number(default)})"
    group.add_argument(flag, dest=dest, default=argparse.SUPPRESS, help=help_text, **kwargs)


def _table_options(parser):
    g = parser.add_argument_group("gradient table (FSL pair or MRtrix file)")
    g.add_argument("--bvec", metavar="FILE", default=argparse.SUPPRESS,
                   help="FSL b-vector file: three rows with the x, y and z of each volume's gradient direction")
    g.add_argument("--bval", metavar="FILE", default=argparse.SUPPRESS,
                   help="FSL b-value file: one b-value per volume")
    g.add_argument("--grad", metavar="FILE", default=argparse.SUPPRESS,
                   help="MRtrix gradient file (one 'x y z b' line per volume); used instead of --bvec/--bval")


def _image_options(parser, dwi_required):
    g = parser.add_argument_group("images")
    g.add_argument("--dwi", metavar="FILE", required=dwi_required, default=argparse.SUPPRESS,
                   help="the 4-D diffusion-weighted image (.nii or .nii.gz) the table belongs to"
                   + ("" if dwi_required else "; without it only the table is judged"))
    g.add_argument("--mask", metavar="FILE", default=argparse.SUPPRESS,
                   help="white-matter mask on the DWI grid (non-zero = inside); "
                   "default: bright voxels with FA of at least 0.2")


def _analysis_options(parser, function, flip=True, scheme=True, tolerance=True):
    d = _defaults(function)
    g = parser.add_argument_group("analysis settings")
    if tolerance:
        _add(g, "--tolerance", d, "relative spread of b-values still counted as one shell",
             type=float, metavar="FRACTION")
    _add(g, "--b0-threshold", d, "b-values at or below this count as b=0 volumes", type=float, metavar="B")
    if flip:
        _add(g, "--shell", d, "b-value of the shell used to check the axes (default: the shell nearest 1000)",
             type=float, metavar="B")
        _add(g, "--step", d, "distance in voxels from a voxel to the neighbours its fibre direction is compared "
             "with (default: 4 mm, at least one voxel)", type=float, metavar="VOXELS")
        _add(g, "--margin-threshold", d, "relative lead the best axis transform needs over the runner-up "
             "to be flagged", type=float, metavar="FRACTION")
    if scheme:
        _add(g, "--norm-tolerance", d, "how far direction lengths may stray from 1 before the vectors count "
             "as amplitude-encoded", type=float, metavar="FRACTION")
        g.add_argument("--strict", action="store_true", default=argparse.SUPPRESS,
                       help="make amplitude-encoded direction vectors an error instead of a warning")
    g.add_argument("--threads", type=_positive_int, metavar="N", default=argparse.SUPPRESS,
                   help="number of worker threads for this run (default: one per processor)")


def _output_options(parser, what="report", status=True):
    g = parser.add_argument_group("output")
    g.add_argument("--json", dest="as_json", action="store_true",
                   help=f"print the JSON {what} instead of the short summary")
    g.add_argument("--out", metavar="FILE", help=f"also write the JSON {what} to FILE")
    if status:
        g.add_argument("--fail-on", choices=["flag"], metavar="flag",
                       help="exit with status 4 when the table is flagged as wrong (FLAG otherwise exits 0)")
    return g


def _png_option(group):
    group.add_argument("--png", metavar="FILE",
                       help="draw a QC picture to FILE: FA slices with fibre directions before and after the "
                       "transform, and the score of every candidate (needs matplotlib)")


def _write_options(parser, repair):
    g = parser.add_argument_group("files to write")
    g.add_argument("--out-bvec", metavar="FILE", required=True, help="corrected FSL b-vector file")
    g.add_argument("--out-bval", metavar="FILE", required=True, help="FSL b-value file to go with it")
    g.add_argument("--out-grad", metavar="FILE", default=argparse.SUPPRESS,
                   help="also write an MRtrix gradient file (world coordinates)")
    g.add_argument("--provenance", metavar="FILE", default=argparse.SUPPRESS,
                   help="write a JSON record of inputs, checksums and the change made")
    g.add_argument("--dry-run", action="store_true", default=argparse.SUPPRESS,
                   help="decide and report, but write no file")
    g.add_argument("--force", dest="in_place", action="store_true", default=argparse.SUPPRESS,
                   help="replace existing output files; each old file is kept as FILE.bak (then .bak.1, ...)")
    if repair:
        g.add_argument("--force-repair", action="store_true", default=argparse.SUPPRESS,
                       help="also apply the best-scoring transform when its lead is too small to flag (WARN)")


def build_parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog="tarvix", formatter_class=raw,
        description="Check and repair the gradient table (bvec/bval) of a diffusion MRI scan: wrongly\n"
        "flipped or swapped axes, amplitude-encoded vectors and weak acquisition schemes.\n"
        "Run 'tarvix demo' to see it work, and 'tarvix COMMAND --help' for the options of a command.",
        epilog=EXIT_TABLE)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_tarvix.version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, help_text, description, run, epilog=EXIT_TABLE):
        p = sub.add_parser(name, help=help_text, description=description, epilog=epilog, formatter_class=raw)
        p.set_defaults(run=run, parser=p)
        return p

    p = command("inspect", "judge the acquisition scheme from the gradient table alone",
                "Judge the acquisition scheme from the gradient table alone: shells, b=0 volumes, direction "
                "counts,\nspread of directions, non-unit (amplitude-encoded) vectors.", run_inspect)
    _table_options(p)
    _analysis_options(p, "inspect", flip=False)
    _output_options(p)

    p = command("audit", "check the scheme and, with --dwi, whether the table's axes fit the image",
                "Check the scheme and, with --dwi, whether the table's axes fit the image: the fitted fibre "
                "directions\nare compared with their neighbours under each of the 48 possible axis flips "
                "and swaps.", run_audit)
    _table_options(p)
    _image_options(p, dwi_required=False)
    _analysis_options(p, "audit")
    g = _output_options(p)
    g.add_argument("--profile", action="store_true", help="also print how long each stage took (needs --dwi)")
    _png_option(g)

    p = command("detect-flip", "only check whether the table's axes are flipped or swapped",
                "Only check whether the table's axes are flipped or swapped relative to the image "
                "(no scheme checks).", run_detect)
    _table_options(p)
    _image_options(p, dwi_required=True)
    _analysis_options(p, "detect_flip", scheme=False)
    _png_option(_output_options(p))

    p = command("repair", "audit, then write corrected gradient files when a fix is recommended",
                "Audit, then write corrected gradient files when a transform is recommended (FLAG).\n"
                "Existing files are never overwritten unless --force is given.", run_repair)
    _table_options(p)
    _image_options(p, dwi_required=True)
    _write_options(p, repair=True)
    _analysis_options(p, "repair")
    _png_option(_output_options(p))

    p = command("recompute-bval", "recover b-values from the lengths of amplitude-encoded vectors",
                "Recover every b-value from the length of its direction vector (amplitude-encoded bvecs),\n"
                "normalise the directions and write the new table. The audit never does this on its own.",
                run_recompute, epilog=RECOMPUTE_EXIT_TABLE)
    _table_options(p)
    _write_options(p, repair=False)
    _analysis_options(p, "recompute_bval", flip=False, scheme=False, tolerance=False)
    _output_options(p, what="summary", status=False)

    p = command("bids", "audit every DWI run of a BIDS dataset",
                "Audit every DWI run of a BIDS dataset. One report per run and dataset_summary.json are\n"
                "written to ROOT/derivatives/tarvix.", run_bids, epilog=BIDS_EXIT_TABLE)
    p.add_argument("root", metavar="ROOT", help="the dataset's top folder")
    _analysis_options(p, "audit_bids")
    g = _output_options(p, what="summary")
    g.add_argument("--quiet", action="store_true", help="do not print a line per run while the batch runs")

    p = command("demo", "run the whole workflow on a small simulated scan",
                "Simulate a small scan whose table has a flipped axis, audit it, repair it, audit the "
                "repaired\ntable and draw the QC picture; prints what it did and where the files are.",
                run_demo, epilog="exit status:\n  0  the demo ran as expected\n  1  error")
    p.add_argument("--dir", help="folder for the demo files (default: a new temporary folder)")
    return parser


# --- running -------------------------------------------------------------------


def _call(function: str, args: argparse.Namespace):
    """Call a module function with the options the user typed that it takes."""
    fn = getattr(_tarvix, function)
    names = inspect.signature(fn).parameters
    return fn(**{n: getattr(args, n) for n in names if hasattr(args, n)})


def _exit_code(status: str, fail_on: str | None) -> int:
    if status == "WARN":
        return EXIT_WARN
    if status == "FLAG" and fail_on == "flag":
        return EXIT_FLAG
    return EXIT_OK


def _write_text(path: str, text: str) -> None:
    """Whole-file write: a reader never sees a half-written file."""
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


def _store(args, text: str) -> None:
    if args.out:
        _write_text(args.out, text + "\n")


def _need_matplotlib(args) -> None:
    if getattr(args, "png", None) and importlib.util.find_spec("matplotlib") is None:
        raise CliError(PNG_HINT)


def _draw(args, report: dict, glyphs: dict, command: str) -> None:
    from . import qcplot

    try:
        qcplot.write_png(args.png, report, glyphs, source=getattr(args, "dwi", None), command=command)
    except OSError as e:
        raise CliError(f"cannot write {args.png}: {e.strerror or e}") from None


def _finish(args, text: str, report: dict, human: str, extra: list[str], command: str, glyphs=None) -> int:
    """Store and print a report; draw the picture; the exit status."""
    _store(args, text)
    if glyphs is not None:
        _draw(args, report, glyphs, command)
        extra = extra + [f"QC picture: {args.png}"]
    if args.as_json:
        print(text)
        for line in extra:
            print(line, file=sys.stderr)
    else:
        print("\n".join([human] + extra))
    return _exit_code(report.get("status", "PASS"), args.fail_on)


def run_inspect(args) -> int:
    text = _call("inspect", args)
    report = json.loads(text)
    return _finish(args, text, report, summary.report_summary(report), [], "inspect")


def run_audit(args) -> int:
    if (args.profile or args.png) and not hasattr(args, "dwi"):
        args.parser.error("--profile and --png need --dwi")
    _need_matplotlib(args)
    function = "audit" + ("_profiled" if args.profile else "") + ("_with_glyphs" if args.png else "")
    result = _call(function, args)
    parts = list(result) if isinstance(result, tuple) else [result]
    text = parts[0]
    timings = parts[1] if args.profile else None
    glyphs = parts[-1] if args.png else None
    report = json.loads(text)
    extra = summary.timings_table(timings).splitlines() if timings else []
    return _finish(args, text, report, summary.report_summary(report), extra, "audit", glyphs)


def run_detect(args) -> int:
    _need_matplotlib(args)
    result = _call("detect_flip_with_glyphs" if args.png else "detect_flip", args)
    text, glyphs = result if args.png else (result, None)
    report = json.loads(text)
    return _finish(args, text, report, summary.report_summary(report), [], "detect-flip", glyphs)


def _next_backup(path: str) -> str:
    candidate, n = f"{path}.bak", 1
    while os.path.exists(candidate):
        candidate, n = f"{path}.bak.{n}", n + 1
    return candidate


def _expected_backups(args) -> dict:
    """Where --force will move existing outputs, worked out before the call
    (the module reports what it wrote, not what it moved)."""
    if not getattr(args, "in_place", False) or getattr(args, "dry_run", False):
        return {}
    paths = [args.out_bvec, args.out_bval, getattr(args, "out_grad", None)]
    return {p: _next_backup(p) for p in paths if p and os.path.exists(p)}


def run_repair(args) -> int:
    _need_matplotlib(args)
    backups = _expected_backups(args)
    result = _call("repair_with_glyphs" if args.png else "repair", args)
    text, glyphs = result if args.png else (result, None)
    report = json.loads(text)
    human = summary.report_summary(report, hints=False)
    human += "\n" + summary.repair_summary(report, backups, getattr(args, "provenance", None),
                                          getattr(args, "dry_run", False), getattr(args, "force_repair", False))
    return _finish(args, text, report, human, [], "repair", glyphs)


def run_recompute(args) -> int:
    backups = _expected_backups(args)
    text = _call("recompute_bval", args)
    result = json.loads(text)
    _store(args, text)
    if args.as_json:
        print(text)
    else:
        print(summary.recompute_summary(result, backups, getattr(args, "provenance", None)))
    return EXIT_OK


# --- bids ----------------------------------------------------------------------

_BIDS_CHILD = """\
import json, sys
from tarvix import _tarvix
kwargs = json.loads(sys.argv[1])
try:
    out = {"text": _tarvix.audit_bids(**kwargs)}
except ValueError as e:
    out = {"error": str(e)}
with open(sys.argv[2], "w", encoding="utf-8") as f:
    json.dump(out, f)
"""


def _bids_live(kwargs: dict, show) -> str:
    """Run the batch in a child process and report each run as its report
    file appears. The module keeps the interpreter busy for the whole batch,
    so this process is free to watch the output folder only while another one
    does the work."""
    folder = os.path.join(kwargs["root"], "derivatives", "tarvix")
    start = time.time() - 1.0  # file times may be coarser than the clock
    seen: dict[str, float] = {}
    with tempfile.TemporaryDirectory(prefix="tarvix-bids-") as tmp:
        result_path = os.path.join(tmp, "result.json")
        child = subprocess.Popen([sys.executable, "-c", _BIDS_CHILD, json.dumps(kwargs), result_path])
        try:
            while child.poll() is None:
                time.sleep(0.2)
                try:
                    names = sorted(os.listdir(folder))
                except OSError:
                    continue
                for name in names:
                    if not name.endswith("_report.json"):
                        continue
                    path = os.path.join(folder, name)
                    try:
                        mtime = os.stat(path).st_mtime
                        if mtime < start or seen.get(name) == mtime:
                            continue
                        with open(path, encoding="utf-8") as f:
                            status = json.load(f)["status"]
                    except (OSError, ValueError, KeyError):
                        continue  # still being written: next round
                    seen[name] = mtime
                    show(name[: -len("_report.json")], status)
        except BaseException:
            child.kill()
            child.wait()
            raise
        try:
            with open(result_path, encoding="utf-8") as f:
                outcome = json.load(f)
        except (OSError, ValueError):
            raise CliError(f"the batch process ended without a result (exit status {child.returncode})") from None
    if "error" in outcome:
        raise ValueError(outcome["error"])
    return outcome["text"]


def run_bids(args) -> int:
    live = sys.stdout.isatty() and not args.quiet and not args.as_json
    shown: set[str] = set()

    def show(name, status):
        shown.add(name)
        print(f"  {status:<4}  {name}", flush=True)

    if live:
        names = inspect.signature(_tarvix.audit_bids).parameters
        text = _bids_live({n: getattr(args, n) for n in names if hasattr(args, n)}, show)
    else:
        text = _call("audit_bids", args)
    result = json.loads(text)
    _store(args, text)
    if args.as_json:
        print(text)
    else:
        if live:
            for item in result.get("results", []):
                if item["name"] not in shown:
                    show(item["name"], item["status"])
        print(summary.bids_summary(result, list_runs=not live))
    code = int(result.get("exit_code", 0))
    if args.fail_on == "flag" and any(r.get("status") == "FLAG" for r in result.get("results", [])):
        code = EXIT_FLAG
    return code


def run_demo(args) -> int:
    from . import demo

    return demo.run(args.dir)


# --- errors --------------------------------------------------------------------


def _probe(path: str, text: bool):
    """Why a path cannot be read (an errno, or "utf8"), or None."""
    try:
        with open(path, "rb") as f:
            data = f.read() if text else f.read(1)
        if text:
            data.decode("utf-8")
    except OSError as e:
        return e.errno if e.errno is not None else -1
    except UnicodeDecodeError:
        return "utf8"
    return None


def _probe_output(path: str):
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        return "missing"
    if not os.access(folder, os.W_OK | os.X_OK):
        return "denied"
    if os.path.isdir(path):
        return "directory"
    return None


def io_context(message: str, args: argparse.Namespace) -> str:
    """Which file an I/O error came from: the module's text names only the
    operating system's reason. The inputs are probed in the order the module
    reads them; a probe failing for the same reason is preferred."""
    match = re.search(r"\(os error (\d+)\)$", message)
    reason = int(match.group(1)) if match else ("utf8" if "UTF-8" in message else None)
    if getattr(args, "grad", None):
        inputs = [("--grad", args.grad, True)]
    else:
        inputs = [(o, getattr(args, o[2:], None), True) for o in ("--bval", "--bvec")]
    inputs += [(o, getattr(args, o[2:], None), False) for o in ("--dwi", "--mask")]
    failing = [(o, p, _probe(p, t)) for o, p, t in inputs if p]
    failing = [f for f in failing if f[2] is not None]
    for option, path, why in failing:
        if why == reason:
            return f"{message}, while reading {option} {path}"
    if failing:
        return f"{message}, while reading {failing[0][0]} {failing[0][1]}"
    if not getattr(args, "dry_run", False):
        for option in ("--out-bvec", "--out-bval", "--out-grad", "--provenance"):
            path = getattr(args, option[2:].replace("-", "_"), None)
            if path and _probe_output(path):
                return f"{message}, while writing {option} {path}"
    return message


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except ValueError as e:
        message = str(e)
        if message.startswith("I/O error: "):
            message = io_context(message, args)
    except (CliError, NotImplementedError) as e:
        message = str(e)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader (say, `| head`) has gone; nothing left to tell it.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERROR
    print(f"tarvix: error: {message}", file=sys.stderr)
    return EXIT_ERROR


if __name__ == "__main__":
    raise SystemExit(main())
