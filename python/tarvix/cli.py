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
it."""

from __future__ import annotations

import math
import os
import signal
import sys

from . import _engine, _tarvix, defaults, outputs, summary, verdict
from .errors import CliError, Terminated, UsageError, compiled, terminal_text
from .optiontable import BOOLEAN_OPTIONAL, SUPPRESS, Namespace, Table


class _OnFirstUse:
    """A module imported when first used: the dataset batch, its page and
    group table cost a third of the command's start, and only `bids` runs them;
    nothing is decoded before a file has been read."""

    def __init__(self, name: str):
        self._name = name

    def __getattr__(self, attr):
        import importlib

        return getattr(importlib.import_module(self._name, __package__), attr)


batch = _OnFirstUse(".batch")
json = _OnFirstUse("json")  # not needed before a report comes back

EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_WARN, EXIT_FLAG = 0, 1, 2, 3, 4
MAX_THREADS = 256

EXIT_TABLE = """\
exit status:
  0  PASS
  1  error: unreadable or invalid input, refused overwrite, ...
  2  usage error: unknown option, missing or nonsense argument (checked before any file is read)
  3  WARN: something needs a look (see the notes), or the evidence is too thin to judge the axes
  4  FLAG: the table's axes do not fit the image (the combined verdict below decides)"""

REPAIR_EXIT_TABLE = """\
exit status: the verdict on the table as given, as every file written says
  0  PASS: the table as given fits the image; nothing written but --out/--provenance
  1  error: unreadable or invalid input, refused overwrite, ...
  2  usage error
  3  WARN: no transform written (lead too small, evidence too thin, orientation unknown; see the notes),
     unless --force-repair applied the best one
  4  FLAG: the table's axes were wrong; the corrected files were written (or, with --dry-run, would be)"""

BIDS_EXIT_TABLE = """\
exit status:
  0  every run PASS (the worst run decides); with --fail-on never, every run audited whatever its verdict
  1  error: no DWI run found, a run that cannot be read (with --keep-going: any run failed), a report in
     OUTPUT_DIR the group level cannot use (named on stderr, on the QC page and in the group table), ...
  2  usage error, or ROOT is not a folder
  3  the worst run is WARN
  4  at least one run is FLAG
  130  interrupted (Ctrl-C): queued runs cancelled, no summary written"""

BIDS_JOB_ARRAY = """\
a Slurm job array, one participant per task, then the group level once they are done:
  # participants.txt: one label per line (01, 02, ...)
  sbatch --array=1-$(wc -l < participants.txt) --wrap \\
    'tarvix bids /data/study /scratch/qc participant --keep-going \\
       --participant-label $(sed -n "${SLURM_ARRAY_TASK_ID}p" participants.txt)'
  sbatch --dependency=afterany:<the array's job id> --wrap 'tarvix bids /data/study /scratch/qc group'"""

RECOMPUTE_EXIT_TABLE = """\
exit status:
  0  b-values recomputed (or, with --dry-run, computed)
  1  error: unreadable input, every vector of unit length, one vector far longer than the rest of its shell,
     no diffusion-weighted volume, refused overwrite, ...
  2  usage error"""

INSPECT_EXIT_TABLE = """\
exit status:
  0  PASS
  1  error: unreadable or invalid input, refused overwrite, ...
  2  usage error
  3  WARN: something needs a look (see the notes)"""

AXES_EPILOG = EXIT_TABLE + "\n\n" + verdict.COMBINING_HELP + "\n\n" + verdict.THIN_EVIDENCE_HELP
PNG_HINT = "--png needs matplotlib, which is not installed; install it with: pip install 'tarvix[viz]'"
EXIT_OF_STATUS = {"PASS": EXIT_OK, "WARN": EXIT_WARN, "FLAG": EXIT_FLAG}


def _parser_class():
    """argparse's parser whose usage errors are one line, exit status 2 (made
    only when argparse is asked: see optiontable)."""
    import argparse

    class Parser(argparse.ArgumentParser):
        def error(self, message):
            self.exit(EXIT_USAGE, terminal_text(f"{self.prog}: error: {message} (see '{self.prog} --help')") + "\n")

    return Parser


# --- options -------------------------------------------------------------------


def _defaults(function: str) -> dict:
    return defaults.of(function)


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = None
    if value is not None and 1 <= value <= MAX_THREADS:
        return value
    from argparse import ArgumentTypeError

    if value is None:
        raise ArgumentTypeError(f"invalid integer: {text!r}")
    raise ArgumentTypeError("must be a positive integer" if value < 1 else f"{value} is more than {MAX_THREADS}")


def _number(value) -> str:
    return f"{value:g}" if isinstance(value, float) else str(value)


def _add(group, flag, defaults, help_text, **kwargs):
    """An option whose value reaches the module only when typed. The help text
    gets the module's default appended where it has a plain one."""
    dest = kwargs.pop("dest", flag.lstrip("-").replace("-", "_"))
    default = defaults.get(dest)
    if isinstance(default, (int, float)) and not isinstance(default, bool) and "(default" not in help_text:
        help_text += f" (default: {_number(default)})"
    group.add_argument(flag, dest=dest, default=SUPPRESS, help=help_text, **kwargs)


def _table_options(parser):
    g = parser.add_argument_group("gradient table (FSL pair or MRtrix file)")
    g.add_argument("--bvec", metavar="FILE", default=SUPPRESS,
                   help="FSL b-vector file: three rows with the x, y and z of each volume's gradient direction")
    g.add_argument("--bval", metavar="FILE", default=SUPPRESS,
                   help="FSL b-value file: one b-value per volume")
    g.add_argument("--grad", metavar="FILE", default=SUPPRESS,
                   help="MRtrix gradient file (one 'x y z b' line per volume); used instead of --bvec/--bval")


def _image_options(parser, dwi_required):
    g = parser.add_argument_group("images")
    g.add_argument("--dwi", metavar="FILE", required=dwi_required, default=SUPPRESS,
                   help="the 4-D diffusion-weighted image (.nii or .nii.gz) the table belongs to"
                   + ("" if dwi_required else "; without it only the table is judged"))
    g.add_argument("--mask", metavar="FILE", default=SUPPRESS,
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
        _add(g, "--step", d, "coherence: distance in voxels from a voxel to the neighbours its fibre direction "
             "is compared with (default: 4 mm, at least one voxel)", type=float, metavar="VOXELS")
        _add(g, "--margin-threshold", d, "coherence: relative lead the best axis transform needs over the "
             "runner-up to be flagged (the tracking's own is 0.05)", type=float, metavar="FRACTION")
    if scheme:
        _add(g, "--norm-tolerance", d, "how far direction lengths may stray from 1 before the vectors count "
             "as amplitude-encoded", type=float, metavar="FRACTION")
        g.add_argument("--strict", action="store_true", default=SUPPRESS,
                       help="make amplitude-encoded direction vectors an error instead of a warning")
    g.add_argument("--threads", type=_positive_int, metavar="N", default=SUPPRESS,
                   help=f"number of worker threads for this run, at most {MAX_THREADS} (default: one per processor)")


BIDS_FAIL_ON_HELP = (
    "flag (the default): exit with the worst run's verdict (3 WARN, 4 FLAG); never: exit 0 whenever every run "
    "was audited and every report read, the verdicts being only in the outputs (for pipelines that stop at any "
    "other status). A failed run or an unreadable report is exit status 1 under either")


def _output_options(parser, what="report", status=True, force=True, never=False):
    g = parser.add_argument_group("output")
    g.add_argument("--json", dest="as_json", action="store_true",
                   help=f"print the module's JSON {what} unchanged instead of the short summary")
    g.add_argument("--out", metavar="FILE", help=f"also write the JSON {what} to FILE")
    if force:
        g.add_argument("--force", action="store_true",
                       help="replace existing output files; each old file is kept as FILE.bak (then .bak.1, ...)")
    if status:
        if never:
            g.add_argument("--fail-on", choices=["flag", "never"], help=BIDS_FAIL_ON_HELP)
        else:
            g.add_argument("--fail-on", choices=["flag"], metavar="flag",
                           help="exit with status 4 on FLAG (the default; kept for scripts that set it)")
    return g


def _tracking_options(parser):
    g = parser.add_argument_group("fibre tracking (needs --dwi)")
    g.add_argument("--no-tracking", dest="tracking", action="store_false",
                   help="judge the axes by the coherence alone, without following fibres")
    g.add_argument("--tracking-out", metavar="FILE",
                   help="also write the tracking record (JSON: decision, best and runner-up with their mean "
                   "streamline lengths, margin and its spread, every candidate's length, parameters) to FILE")


def _png_option(group):
    group.add_argument("--png", metavar="FILE",
                       help="draw a QC picture to FILE: FA slices with fibre directions and streamlines as "
                       "given and with the other transform, and the scores of every candidate (needs "
                       "matplotlib)")
    group.add_argument("--radiological", action="store_true",
                       help="draw the slices with the patient's right on the left (default: on the right)")


def _write_options(parser, repair):
    g = parser.add_argument_group("files to write")
    g.add_argument("--out-bvec", metavar="FILE", required=True, help="corrected FSL b-vector file")
    g.add_argument("--out-bval", metavar="FILE", required=True, help="FSL b-value file to go with it")
    g.add_argument("--out-grad", metavar="FILE", default=SUPPRESS,
                   help="also write an MRtrix gradient file (world coordinates)")
    g.add_argument("--provenance", metavar="FILE", default=SUPPRESS,
                   help="write a JSON record of inputs, checksums and the change made")
    g.add_argument("--dry-run", action="store_true", default=SUPPRESS,
                   help="decide and report, but write no file at all (not even --out or --png)")
    if repair:
        g.add_argument("--force-repair", action="store_true", default=SUPPRESS,
                       help="also apply the best-scoring transform when its lead is too small to flag (WARN), "
                       "or when the evidence is too thin to judge the axes")


COMMANDS = ("inspect", "audit", "detect-flip", "repair", "recompute-bval", "bids", "demo")


def _typed_command(argv) -> str | None:
    """The command named in `argv`: the first word that is not an option (the
    top level's own options take no value)."""
    return next((word for word in argv if not word.startswith("-")), None)


def declare(argv: list[str] | None = None) -> Table:
    """Every command and its options, or (given the words typed) every command
    with only the typed one's options: declaring the options of all seven
    costs as much as the rest of the start. A word that names no command gets
    them all, so every mistake reads as it always did."""
    typed = None if argv is None else _typed_command(argv)
    table = Table(
        "tarvix", _parser_class, "raw",
        description="Check and repair the gradient table (bvec/bval) of a diffusion MRI scan: wrongly\n"
        "flipped or swapped axes, amplitude-encoded vectors and weak acquisition schemes.\n"
        "Run 'tarvix demo' to see it work, and 'tarvix COMMAND --help' for the options of a command.",
        epilog=AXES_EPILOG)
    table.top().add_argument("--version", action="version", version=f"%(prog)s {_tarvix.version()}")
    table.subparsers = {"dest": "command", "required": True, "metavar": "COMMAND"}

    def command(name, help_text, description, run, epilog=AXES_EPILOG):
        p = table.command(name, help=help_text, description=description, epilog=epilog)
        p.set_defaults(run=run)
        p.name = name
        return p

    def wanted(p) -> bool:
        if argv is not None and typed is None:  # --version, --help or no command
            return False
        return typed not in COMMANDS or p.name == typed

    p = command("inspect", "judge the acquisition scheme from the gradient table alone",
                "Judge the acquisition scheme from the gradient table alone: shells, b=0 volumes, direction "
                "counts,\nspread of directions, non-unit (amplitude-encoded) vectors.", run_inspect,
                epilog=INSPECT_EXIT_TABLE)
    if wanted(p):
        _table_options(p)
        _analysis_options(p, "inspect", flip=False)
        _output_options(p)

    p = command("audit", "check the scheme and, with --dwi, whether the table's axes fit the image",
                "Check the scheme and, with --dwi, whether the table's axes fit the image: fibres are "
                "followed through\nthe fitted directions, and the directions compared with their "
                "neighbours, under each of the\n48 possible axis flips and swaps.", run_audit)
    if wanted(p):
        _table_options(p)
        _image_options(p, dwi_required=False)
        _analysis_options(p, "audit")
        _tracking_options(p)
        g = _output_options(p)
        g.add_argument("--profile", action="store_true", help="also print how long each stage took (needs --dwi)")
        _png_option(g)

    p = command("detect-flip", "only check whether the table's axes are flipped or swapped",
                "Only check whether the table's axes are flipped or swapped relative to the image "
                "(no scheme checks).", run_detect)
    if wanted(p):
        _table_options(p)
        _image_options(p, dwi_required=True)
        _analysis_options(p, "detect_flip", scheme=False)
        _tracking_options(p)
        _png_option(_output_options(p))

    p = command("repair", "audit, then write corrected gradient files when a fix is recommended",
                "Audit, then write corrected gradient files when a transform is recommended (FLAG):\n"
                "the tracking's transform, or with --no-tracking the coherence's. Existing files are\n"
                "never overwritten unless --force is given.", run_repair,
                epilog=REPAIR_EXIT_TABLE + "\n\n" + verdict.COMBINING_HELP + "\n\n" + verdict.THIN_EVIDENCE_HELP)
    if wanted(p):
        _table_options(p)
        _image_options(p, dwi_required=True)
        _write_options(p, repair=True)
        _analysis_options(p, "repair")
        _tracking_options(p)
        _png_option(_output_options(p))

    p = command("recompute-bval", "recover b-values from the lengths of amplitude-encoded vectors",
                "Recover every b-value from the length of its direction vector (amplitude-encoded bvecs),\n"
                "normalise the directions and write the new table. The audit never does this on its own.",
                run_recompute, epilog=RECOMPUTE_EXIT_TABLE)
    if wanted(p):
        _table_options(p)
        _write_options(p, repair=False)
        _analysis_options(p, "recompute_bval", flip=False, scheme=False, tolerance=False)
        g = _output_options(p, what="summary", status=False, force=False)
        g.add_argument("--force", action="store_true",
                       help="replace existing output files (each old file kept as FILE.bak, .bak.1, ...), and "
                       "recompute even when every vector has unit length or one vector is far longer than the "
                       "rest of its shell")

    p = command("bids", "audit every DWI run of a BIDS dataset, on this machine or a Dask cluster",
                "Audit every DWI run of a BIDS dataset, as a BIDS App:\n"
                "  tarvix bids BIDS_DIR OUTPUT_DIR participant [--participant-label 01 02]\n"
                "writes each run's report (and tracking record, picture, repaired table) under\n"
                "OUTPUT_DIR/sub-<label>/[ses-<label>/]dwi/; then\n"
                "  tarvix bids BIDS_DIR OUTPUT_DIR group\n"
                "writes dataset_summary.json, group_report.tsv and the QC page index.html from the\n"
                "reports already there, without the raw data. Without a level both run; without\n"
                "OUTPUT_DIR the files go to BIDS_DIR/derivatives/tarvix (or --output-dir).", run_bids,
                epilog=BIDS_EXIT_TABLE + "\n\n" + BIDS_JOB_ARRAY + "\n\n" + verdict.THIN_EVIDENCE_HELP)
    if wanted(p):
        p.add_argument("root", metavar="BIDS_DIR", help="the dataset's top folder")
        p.add_argument("output_dir_arg", nargs="?", metavar="OUTPUT_DIR",
                       help="where the derivative goes (the same as --output-dir)")
        p.add_argument("level", nargs="?", choices=defaults.BIDS_LEVELS,
                       help="participant: audit the runs and write their files; group: the summary, group table "
                       "and page from the files already in OUTPUT_DIR (default: both)")
        g = p.add_argument_group("dataset")
        g.add_argument("--participant-label", "--participant_label", dest="participant_label", nargs="+",
                       metavar="LABEL",
                       help="audit only these subjects ('01' or 'sub-01'); splits a cohort over a job array")
        g.add_argument("--mask-dir", metavar="DERIV",
                       help="take each run's brain mask from this derivatives dataset "
                       "(sub-01/[ses-1/]dwi/sub-01_[ses-1_]..._space-dwi_desc-brain_mask.nii.gz), used when its grid "
                       "and affine are the image's; a run without one is audited on the automatic region, and its "
                       "report says which")
        g.add_argument("--repair", action="store_true",
                       help="write <run>_desc-tarvix_dwi.bvec/.bval and a provenance record for every PASS run (the "
                       "table as given) and FLAG run (the correction) beside its report; WARN runs get none. The "
                       "dataset is never written")
        g.add_argument("--repair-grad", action="store_true",
                       help="with --repair, also write the MRtrix table <run>_desc-tarvix_dwi.b")
        g.add_argument("--force-repair", action="store_true",
                       help="with --repair, also write a WARN run's table from the deciding measure's best")
        g.add_argument("--output-dir", metavar="DIR",
                       help="write every output here instead of BIDS_DIR/derivatives/tarvix (for read-only datasets); "
                       "never the dataset or its raw data, and a folder an earlier tarvix batch did not make "
                       "needs --force for files already in it (each kept as FILE.bak). Tasks of a job array may "
                       "share it: the summary and the page cover every report in it")
        g.add_argument("--keep-going", action="store_true",
                       help="a failing run does not stop the batch: failures are listed on stderr, in "
                       "failed_runs.json, in the summary (status ERROR) and on the QC page, and the exit status is 1")
        g = p.add_argument_group("where the runs execute (default: one after another in this process)")
        x = g.add_mutually_exclusive_group()
        x.add_argument("--jobs", type=_positive_int, metavar="N",
                       help="audit the runs in N worker processes on this machine")
        x.add_argument("--scheduler", metavar="ADDRESS",
                       help="submit the runs to a running Dask distributed scheduler (e.g. tcp://host:8786); "
                       "the workers must see the dataset at the same path (needs tarvix[cluster])")
        _analysis_options(p, "audit_bids")
        g = _output_options(p, what="summary", never=True)
        g.add_argument("--tracking", action=BOOLEAN_OPTIONAL, default=True,
                       help="also run the fibre-tracking measure and write <run>_tracking.json; its decision "
                       "is the verdict shown (default: on)")
        g.add_argument("--png", dest="qc_pictures", action="store_true",
                       help="draw each run's QC picture (the one audit --png draws) beside its report and show it "
                       "on the QC page (needs matplotlib)")
        g.add_argument("--quiet", action="store_true", help="no progress bar or line per run on the terminal")

    p = command("demo", "run the whole workflow on a small simulated scan",
                "Simulate a small scan whose table has a flipped axis, audit it, repair it, audit the "
                "repaired\ntable and draw the QC picture; prints what it did and where the files are.",
                run_demo, epilog="exit status:\n  0  the demo ran as expected\n  1  error")
    if wanted(p):
        p.add_argument("--dir", help="folder for the demo files (default: a new temporary folder)")
        p.add_argument("--force", action="store_true", help="replace demo files left in --dir by an earlier run "
                       "(each old file kept as FILE.bak)")
    return table


def build_parser(argv: list[str] | None = None):
    """argparse's parser of the commands (see declare)."""
    return declare(argv).argparse()


# --- running -------------------------------------------------------------------


def _call(function: str, args: Namespace, module=_tarvix, **extra):
    """Call a module function with the options the user typed that it takes."""
    names = defaults.parameters(function, module)
    kwargs = {n: getattr(args, n) for n in names if hasattr(args, n) and n not in extra}
    kwargs.update(extra)
    return getattr(module, function)(**kwargs)


def _tracking_on(args) -> bool:
    return getattr(args, "tracking", True) and getattr(args, "dwi", None) is not None


class Run:
    """One call of `_engine`, decoded: the report text as the module gives it,
    the report, the tracking record, and what --png and --profile need."""

    def __init__(self, text: str, report: dict, tracking: dict | None, timings: dict | None,
                 glyphs: dict | None, streamlines: dict | None):
        self.text, self.report, self.tracking = text, report, tracking
        self.timings, self.glyphs, self.streamlines = timings, glyphs, streamlines


def _engine_run(function: str, args, **extra) -> Run:
    result = _call(function, args, module=_engine, tracking=_tracking_on(args), glyphs=bool(args.png), **extra)
    record = result.get("tracking")
    timings = result.get("timings")
    if timings is not None:
        timings = whole_call_timings(result, timings)
    return Run(result["report"], json.loads(result["report"]), json.loads(record) if record else None,
               timings, result.get("glyphs"), result.get("streamlines"))


def whole_call_timings(result: dict, timings: dict) -> dict:
    """The engine's stage timings widened to the whole call: the table read,
    the tracking, the consistency tests and the building of the result are
    timed outside the stages' total; the scheme checks are timed within its
    `other`."""
    timings = dict(timings)
    for stage in ("table", "tracking", "consistency", "report"):
        seconds = result.get(f"{stage}_seconds")
        if seconds is not None:
            timings[stage] = seconds
            timings["total"] = timings.get("total", 0.0) + seconds
    scheme = result.get("scheme_seconds")
    if scheme is not None:
        timings["scheme"] = min(scheme, timings.get("other", 0.0))
        timings["other"] = timings.get("other", 0.0) - timings["scheme"]
    return timings


def _table_given(args) -> bool:
    return any(getattr(args, name, None) for name in ("bvec", "bval", "grad"))


def check_usage(args) -> None:
    """Mistakes in the command typed, found before any file is read."""
    grad, bvec, bval = (getattr(args, n, None) for n in ("grad", "bvec", "bval"))
    if args.command in ("inspect", "audit", "detect-flip", "repair", "recompute-bval"):
        if grad and (bvec or bval):
            raise UsageError("--grad replaces --bvec and --bval; give either --grad or both --bvec and --bval")
        if not grad and not (bvec and bval):
            missing = "--bval" if bvec else "--bvec" if bval else "--bvec and --bval (or --grad)"
            raise UsageError(f"missing {missing}: the gradient table is needed")
    tolerance = getattr(args, "tolerance", None)
    if tolerance is not None and not (math.isfinite(tolerance) and tolerance > 0):
        raise UsageError(f"--tolerance must be greater than 0, not {_number(tolerance)}")
    b0 = getattr(args, "b0_threshold", None)
    if b0 is not None and not (math.isfinite(b0) and b0 >= 0):
        raise UsageError(f"--b0-threshold must be 0 or more, not {_number(b0)}")
    shell = getattr(args, "shell", None)
    if shell is not None and not (math.isfinite(shell) and shell > 0):
        raise UsageError(f"--shell must be a b-value greater than 0, not {_number(shell)}")
    step = getattr(args, "step", None)
    if step is not None and not (math.isfinite(step) and step > 0):
        raise UsageError(f"--step must be greater than 0 voxels, not {_number(step)}")
    margin = getattr(args, "margin_threshold", None)
    if margin is not None and not (math.isfinite(margin) and 0 < margin <= 1):
        raise UsageError(f"--margin-threshold must be above 0 and at most 1, not {_number(margin)}")
    if args.command in ("audit",) and (args.profile or args.png) and not hasattr(args, "dwi"):
        raise UsageError("--profile and --png need --dwi")
    if getattr(args, "tracking_out", None):
        if not getattr(args, "tracking", True):
            raise UsageError("--tracking-out and --no-tracking contradict each other: the record is the tracking's")
        if not hasattr(args, "dwi"):
            raise UsageError("--tracking-out needs --dwi: fibres are followed in the image")
    if args.command == "bids":
        _check_bids_args(args)
    if args.command == "bids" and args.level != "group" and not os.path.isdir(args.root):
        what = "does not exist" if not os.path.lexists(args.root) else "is not a folder"
        raise UsageError(f"ROOT {args.root} {what}: give the top folder of a BIDS dataset")


def _table_scheme(args) -> dict:
    """The scheme report of the table alone (reads only the gradient files)."""
    keep = {n: getattr(args, n) for n in ("bvec", "bval", "grad", "tolerance", "b0_threshold") if hasattr(args, n)}
    return json.loads(_tarvix.inspect(**keep))


def check_shell(args) -> None:
    """--shell must name a diffusion-weighted shell of the table: the module
    would quietly take the nearest one."""
    requested = getattr(args, "shell", None)
    if requested is None:
        return
    shells = [s for s in _table_scheme(args)["shells"]["shells"] if not s["is_b0"]]
    tolerance = getattr(args, "tolerance", defaults.TOLERANCE)
    if any(abs(s["nominal_b"] - requested) <= tolerance * s["nominal_b"] for s in shells):
        return
    existing = ", ".join(f"b={summary._b(s['nominal_b'])}" for s in shells) or "none"
    raise UsageError(f"--shell {_number(requested)} matches no shell of the table; its diffusion-weighted "
                     f"shells are: {existing}")


def _inputs(args) -> list:
    return [(f"--{n}", getattr(args, n, None)) for n in ("bvec", "bval", "grad", "dwi", "mask")]


def plan_outputs(args, extra=()) -> outputs.OutputPlan:
    """Every file the command will write, checked before any work."""
    named = [("--out-bvec", getattr(args, "out_bvec", None)), ("--out-bval", getattr(args, "out_bval", None)),
             ("--out-grad", getattr(args, "out_grad", None)), ("--provenance", getattr(args, "provenance", None)),
             ("--out", getattr(args, "out", None)), ("--tracking-out", getattr(args, "tracking_out", None)),
             ("--png", getattr(args, "png", None)), *extra]
    return outputs.OutputPlan(named, _inputs(args), force=getattr(args, "force", False),
                              dry_run=getattr(args, "dry_run", False), staged=True)


def _missing(module: str) -> bool:
    import importlib.util

    return importlib.util.find_spec(module) is None


def _need_matplotlib(args) -> None:
    if getattr(args, "png", None) and _missing("matplotlib"):
        raise CliError(PNG_HINT)


_NUMBER_LIST = r"\[\s+(-?[\d.eE+-]+(?:,\s+-?[\d.eE+-]+)*)\s+\]"


def record_text(record: dict) -> str:
    """A record as JSON indented by two spaces, with each list of plain numbers
    (a matrix row) kept on one line."""
    text = json.dumps(record, indent=2, ensure_ascii=False)
    return compiled(_NUMBER_LIST).sub(lambda m: "[" + ", ".join(compiled(r",\s+").split(m.group(1))) + "]",
                                      text) + "\n"


def _write_outputs(args, plan, text: str, report: dict, run: Run | None, command: str,
                   decided: verdict.Verdict | None = None) -> list[str]:
    """--out, --tracking-out and --png; lines to print after the summary."""
    if plan.dry_run:
        return []
    if args.out:
        outputs.write_text(plan.temp_of(args.out), text + "\n")
    if run is None:
        return []
    if getattr(args, "tracking_out", None) and run.tracking is not None:
        outputs.write_text(plan.temp_of(args.tracking_out), record_text(run.tracking))
    if run.glyphs is None:
        return []
    from . import qcplot

    try:
        # Drawn under its temporary name: no output takes its name before the picture is whole.
        qcplot.write_png(plan.temp_of(args.png), report, run.glyphs, source=getattr(args, "dwi", None), command=command,
                         verdict=decided, radiological=args.radiological, tracking=run.tracking,
                         streamlines=run.streamlines)
    except OSError as e:
        raise CliError(f"cannot write {args.png}: {e.strerror or e}") from None
    return [f"QC picture: {args.png}"]


def shown(value):
    """A record for the terminal: control characters in its texts (file names
    above all) escaped, line breaks included."""
    if isinstance(value, str):
        return terminal_text(value)
    if isinstance(value, dict):
        return {shown(k): shown(v) for k, v in value.items()}
    if isinstance(value, list):
        return [shown(v) for v in value]
    return value


def _print(args, text: str, human: str, extra: list[str], notes: list[str] = ()) -> None:
    if args.as_json:
        print(text)
        for line in [f"note: {n}" for n in notes] + extra:
            print(line, file=sys.stderr)
    else:
        print("\n".join([human] + extra))


def _analyse(args, base: str, command: str) -> int:
    """audit and detect-flip: one call, the verdict, the outputs."""
    _need_matplotlib(args)
    check_shell(args)
    plan = plan_outputs(args)
    profile = getattr(args, "profile", False)
    with plan.transaction():
        if getattr(args, "dwi", None) is None:
            # The table alone: nothing to track; the scheme audit and its verdict are the whole answer.
            result = _call("audit", args, module=_engine)
            run, text = None, result["report"]
            report = json.loads(text)
        else:
            run = _engine_run(base, args, **({"profile": True} if profile else {}))
            text, report = run.text, run.report
        decided = verdict.of_report(report)
        extra = summary.timings_table(run.timings).splitlines() if profile else []
        extra += _write_outputs(args, plan, text, report, run, command, decided)
    human = summary.report_summary(shown(report), verdict=decided, tracking=run.tracking if run else None)
    _print(args, text, human, extra, decided.notes)
    return EXIT_OF_STATUS.get(decided.status, EXIT_OK)


def run_inspect(args) -> int:
    plan = plan_outputs(args)
    with plan.transaction():
        text = _call("inspect", args, module=_engine)
        report = json.loads(text)
        decided = verdict.of_report(report)
        _write_outputs(args, plan, text, report, None, "inspect")
    _print(args, text, summary.report_summary(shown(report), verdict=decided), [], decided.notes)
    return EXIT_OF_STATUS.get(decided.status, EXIT_OK)


def run_audit(args) -> int:
    return _analyse(args, "audit", "audit")


def run_detect(args) -> int:
    return _analyse(args, "detect_flip", "detect-flip")


def run_repair(args) -> int:
    _need_matplotlib(args)
    check_shell(args)
    plan = plan_outputs(args)
    force_repair = getattr(args, "force_repair", False)
    extra = []
    with plan.transaction():
        # The engine applies a transform only where the run's verdict recommends one.
        run = _staged_run(plan, _engine_run("repair", args, in_place=False, **plan.module_paths(MODULE_OUTPUTS)))
        text, report = run.text, run.report
        decided = verdict.of_report(report)
        extra = _write_outputs(args, plan, text, report, run, "repair", decided)
    human = summary.report_summary(shown(report), hints=False, verdict=decided, tracking=run.tracking)
    human += "\n" + summary.repair_summary(shown(report), shown(plan.backups()),
                                          shown(getattr(args, "provenance", None)),
                                          plan.dry_run, force_repair, tracking=run.tracking, verdict=decided)
    _print(args, text, human, extra, decided.notes)
    return EXIT_OF_STATUS.get(decided.status, EXIT_OK)


TABLE_COMMANDS = ("inspect", "audit", "detect-flip", "repair", "recompute-bval")


def check_table(args) -> None:
    """The table files read as the command line reads them: NaN, infinite and
    negative entries, grad rows of other than four numbers and layouts the
    module would misread are refused (ValueError, naming file and entry)
    before any other work."""
    if args.command in TABLE_COMMANDS:
        _call("check_table", args, module=_engine)


MODULE_OUTPUTS = {"out_bvec": "--out-bvec", "out_bval": "--out-bval", "out_grad": "--out-grad",
                  "provenance": "--provenance"}


def _staged_run(plan, run: Run) -> Run:
    """The module wrote its files under their temporary names; its report and
    provenance record name the outputs."""
    plan.fix_names_in("--provenance")
    text = plan.real_names(run.text)
    return Run(text, json.loads(text), run.tracking, run.timings, run.glyphs, run.streamlines)


def run_recompute(args) -> int:
    if not args.force:
        norms = _table_scheme(args).get("norm_stats", {})
        if norms.get("non_b0_count", 0) and norms.get("non_unit_count", 0) == 0:
            table = getattr(args, "grad", None) or args.bvec
            raise CliError(f"every direction in {table} has unit length: nothing to recover, the b-values "
                           "would all become the largest one (pass --force to proceed anyway)")
    plan = plan_outputs(args)
    with plan.transaction():
        text = _call("recompute_bval", args, module=_engine, in_place=False, split_shells=args.force,
                     **plan.module_paths(MODULE_OUTPUTS))
        text = plan.real_names(text)
        plan.fix_names_in("--provenance")
        result = json.loads(text)
        _write_outputs(args, plan, text, result, None, "recompute-bval")
    if args.as_json:
        print(text)
    else:
        print(summary.recompute_summary(shown(result), shown(plan.backups()), shown(getattr(args, "provenance", None))))
    return EXIT_OK


# --- bids ----------------------------------------------------------------------


def _bids_options(args) -> dict:
    return {n: getattr(args, n) for n in batch.ANALYSIS_OPTIONS if hasattr(args, n)}


def _run_line(run) -> str:
    name = run.entry["name"]
    if run.error is not None:
        return f"  FAILED  {name}: {run.error}"
    status, _ = batch.combined_verdict(run.result["report"], run.result.get("tracking"))
    best = batch.best_label(run.result["report"], run.result.get("tracking"))
    return f"  {status:<6}  {name}" + (f"  (best {best})" if best else "")


class _BidsProgress:
    """What the terminal shows while the batch runs: a bar and a line per run
    on a terminal, and with --keep-going each failure in any case."""

    def __init__(self, args):
        self.live = sys.stderr.isatty() and not args.quiet
        self.keep_going = args.keep_going
        self.bar = None

    def start(self, plan):
        for line in plan.get("skipped", []):
            print(f"tarvix: {line}", file=sys.stderr, flush=True)
        for label in plan["unmatched"]:
            print(f"tarvix: note: --participant-label {label} matches no participant", file=sys.stderr, flush=True)
        if self.live:
            self.bar = batch.Progress(sys.stderr, len(plan["selected"]))
            self.bar.bar()

    def run(self, run):
        failed = run.error is not None and self.keep_going
        line = f"tarvix: run failed: {run.entry['name']}: {run.error}" if failed else _run_line(run)
        if self.bar:
            self.bar.run_line(line)
        elif failed:
            print(line, file=sys.stderr, flush=True)

    def close(self):
        if self.bar:
            self.bar.close()


def _check_bids_args(args) -> None:
    """OUTPUT_DIR is --output-dir by its BIDS App name; the repair options
    need --repair."""
    given = args.output_dir_arg
    if given is not None and given in defaults.BIDS_LEVELS and args.level is None:
        # "tarvix bids DATA participant": a level where OUTPUT_DIR goes.
        raise UsageError(f"tarvix bids BIDS_DIR OUTPUT_DIR {given}: the level comes after the output folder")
    if given is not None:
        if args.output_dir is not None and os.path.abspath(args.output_dir) != os.path.abspath(given):
            raise UsageError(f"OUTPUT_DIR {given} and --output-dir {args.output_dir} name two folders: give one")
        args.output_dir = given
    if (args.repair_grad or args.force_repair) and not args.repair:
        raise UsageError(f"{'--repair-grad' if args.repair_grad else '--force-repair'} needs --repair")
    if args.level == "group" and (args.participant_label or args.mask_dir or args.repair):
        raise UsageError("the group level audits nothing: --participant-label, --mask-dir and --repair belong "
                         "to the participant level")
    if args.mask_dir is not None and not os.path.isdir(args.mask_dir):
        raise UsageError(f"--mask-dir {args.mask_dir} is not a folder")


def _repair_mode(args) -> str | None:
    if not args.repair:
        return None
    return ("force-" if args.force_repair else "") + ("grad" if args.repair_grad else "table")


def _bids_batch(args, progress):
    try:
        return batch.run(args.root, _bids_options(args), out_dir=args.output_dir, participants=args.participant_label,
                         tracking=args.tracking, png=args.qc_pictures, jobs=args.jobs, scheduler=args.scheduler,
                         threads=getattr(args, "threads", None), keep_going=args.keep_going, force=args.force,
                         on_run=progress.run, on_start=progress.start, level=args.level, mask_dir=args.mask_dir,
                         repair=_repair_mode(args))
    except (batch.BackendError, batch.FolderRefused) as e:
        raise CliError(str(e)) from None
    finally:
        progress.close()


def _print_bids(args, outcome, code: int) -> None:
    """The summary (or --json text, stating the exit status `code`) and the notes."""
    text = outcome.finish_text
    verdicts = [(r.entry["name"],) + batch.combined_verdict(r.result["report"], r.result.get("tracking"))
                for r in outcome.folder_runs]
    notes = [f"{name}: {note}" for name, _, run_notes in verdicts for note in run_notes]
    notes += [f"{r.entry['name']}: {r.result['report']['cross_run']['note']}" for r in outcome.folder_runs
              if (r.result["report"].get("cross_run") or {}).get("note")]
    if text is not None and args.as_json:
        print(text)
        for note in notes:
            print(f"note: {note}", file=sys.stderr)
    elif text is not None:
        print(summary.bids_summary(json.loads(text), statuses=[(n, s) for n, s, _ in verdicts]))
        if notes:
            print("notes:\n" + "\n".join(f"  - {n}" for n in notes))
    if args.level == "participant" and args.as_json:
        print(json.dumps({"level": "participant", "out_dir": outcome.plan["out_dir"], "exit_code": code,
                          "results": [{"name": n, "dwi": r.entry["dwi"], "status": s}
                                      for r, (n, s, _) in zip(outcome.folder_runs, verdicts)],
                          "failed": [{"name": r.entry["name"], "dwi": r.entry["dwi"], "error": r.error}
                                     for r in outcome.failures],
                          "skipped": outcome.plan.get("skipped_runs", [])}))
    elif args.level == "participant":
        if not sys.stderr.isatty() or args.quiet:  # else the progress lines said it
            for run in outcome.runs:
                print(_run_line(run))
        print(f"participant level: {_participant_counts(outcome)} into {outcome.plan['out_dir']}; the group "
              "level writes the summary, group table and QC page")
    if outcome.page and not args.as_json:
        print(f"QC page: {outcome.page}")
    unusable = outcome.unreadable_reports
    if unusable:
        reports = f"{len(unusable)} report{'s' if len(unusable) != 1 else ''} in {outcome.plan['out_dir']}"
        print(terminal_text(f"tarvix: {reports} cannot be used, so their runs count as failed:"), file=sys.stderr)
        for u in unusable:
            print("  " + terminal_text(f"{u.path} {u.reason}"), file=sys.stderr)
    if outcome.failed_listed and args.level == "group":
        print(f"tarvix: {len(outcome.failed_listed)} runs failed at the participant level; listed in "
              f"{os.path.join(outcome.plan['out_dir'], batch.FAILED_RUNS)}", file=sys.stderr)
    elif outcome.failed_listed:
        mine = len(outcome.failures)
        others = len(outcome.failed_listed) - mine
        print(f"tarvix: {mine} of {len(outcome.runs)} runs failed"
              + (f" (and {others} of an earlier batch)" if others else "")
              + f"; listed in {os.path.join(outcome.plan['out_dir'], batch.FAILED_RUNS)}", file=sys.stderr)


def _participant_counts(outcome) -> str:
    """'3 of 4 runs audited, 1 failed; 1 image skipped': every run discovery
    met, whatever became of it."""
    failed, skipped = len(outcome.failures), len(outcome.plan.get("skipped_runs", []))
    text = f"{len(outcome.runs) - failed} of {len(outcome.runs)} runs audited"
    if failed:
        text += f", {failed} failed"
    if skipped:
        text += f"; {skipped} image{'s' if skipped != 1 else ''} skipped"
    return text


def _bids_exit(args, outcome) -> int:
    """The exit status: an error while any run failed, any report is unusable
    or any folder went unlisted, else the worst verdict (0 with --fail-on never)."""
    if outcome.failed_listed or outcome.plan.get("unreadable") or outcome.unreadable_reports:
        return EXIT_ERROR
    if args.fail_on == "never":
        return EXIT_OK
    statuses = [batch.combined_verdict(r.result["report"])[0] for r in outcome.folder_runs]
    return max((EXIT_OF_STATUS.get(s, EXIT_OK) for s in statuses), default=EXIT_OK,
               key=lambda code: {EXIT_OK: 0, EXIT_WARN: 1, EXIT_FLAG: 2}[code])


def _stating_exit(text: str, code: int) -> str:
    """The summary text with the exit status the command ends with (it
    differs from the engine's only under --fail-on never)."""
    result = json.loads(text)
    if result.get("exit_code") == code:
        return text
    result["exit_code"] = code
    return json.dumps(result, separators=(",", ":"), ensure_ascii=False)


def run_bids(args) -> int:
    if args.qc_pictures and _missing("matplotlib"):
        raise CliError(PNG_HINT)
    plan_out = plan_outputs(args)
    try:
        with plan_out.transaction():
            outcome = _bids_batch(args, _BidsProgress(args))
            code = _bids_exit(args, outcome)
            if outcome.finish_text is not None:
                outcome.finish_text = _stating_exit(outcome.finish_text, code)
                _write_outputs(args, plan_out, outcome.finish_text, json.loads(outcome.finish_text), None, "bids")
    except KeyboardInterrupt:
        print("tarvix: interrupted: queued runs cancelled, no summary written", file=sys.stderr)
        raise
    if outcome.folder_runs or outcome.page:
        outputs.note_written(os.path.join(outcome.plan["out_dir"], ""))
    _print_bids(args, outcome, code)
    unreadable = outcome.plan.get("unreadable", [])
    if unreadable:
        # Runs may hide in a folder that could not be listed: the dataset was not audited whole.
        print(f"tarvix: {len(unreadable)} folder{'s' if len(unreadable) != 1 else ''} could not be read, so their "
              "runs (if any) were not audited: " + "; ".join(terminal_text(u) for u in unreadable), file=sys.stderr)
    return code


def run_demo(args) -> int:
    from . import demo

    return demo.run(args.dir, force=args.force)


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
    except (ValueError, CliError, NotImplementedError) as e:
        # The engine's own text names the file it concerns.
        print(terminal_text(f"tarvix: error: {e}"), file=sys.stderr)
        return EXIT_ERROR


if __name__ == "__main__":
    raise SystemExit(main())
