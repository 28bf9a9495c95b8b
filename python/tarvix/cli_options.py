"""The command line's commands and options: each command's help and exit
statuses, its options (the analysis settings as the engine declares them),
and the usage checks made before any file is read. `declare` records them in
an option table (see optiontable)."""

from __future__ import annotations

import math
import os

from . import _engine, _tarvix, defaults, verdict
from .errors import UsageError, terminal_text
from .optiontable import BOOLEAN_OPTIONAL, SUPPRESS, Table

EXIT_OK, EXIT_ERROR, EXIT_USAGE = 0, 1, 2
# The analysis settings the engine declares: name, default, range and help.
SETTINGS = {setting["name"]: setting for setting in _engine.settings()}
MAX_THREADS = int(SETTINGS["threads"]["max"])

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


def _parser_class():
    """argparse's parser whose usage errors are one line, exit status 2 (made
    only when argparse is asked: see optiontable)."""
    import argparse

    class Parser(argparse.ArgumentParser):
        def error(self, message):
            self.exit(EXIT_USAGE, terminal_text(f"{self.prog}: error: {message} (see '{self.prog} --help')") + "\n")

    return Parser


# --- options -------------------------------------------------------------------


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


def _flag(name: str) -> str:
    return "--" + name.replace("_", "-")


def _setting(group, name: str) -> None:
    """An analysis setting as the engine declares it, its value reaching the
    module only when typed. The help gets the default appended where it has a
    plain one."""
    setting = SETTINGS[name]
    help_text = setting["help"]
    if setting["default"] is not None and "(default" not in help_text:
        help_text += f" (default: {_number(setting['default'])})"
    kind = _positive_int if setting["kind"] == "count" else float
    group.add_argument(_flag(name), dest=name, type=kind, metavar=setting["metavar"], default=SUPPRESS,
                       help=help_text)


def _in_range(setting: dict, value: float) -> bool:
    low, high = setting["min"], setting["max"]
    if not math.isfinite(value):
        return False
    if low is not None and (value <= low if setting["min_open"] else value < low):
        return False
    return high is None or (value >= high if setting["max_open"] else value <= high)


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
    g = parser.add_argument_group("analysis settings")
    if tolerance:
        _setting(g, "tolerance")
    _setting(g, "b0_threshold")
    if flip:
        for name in ("shell", "step", "margin_threshold"):
            _setting(g, name)
    if scheme:
        _setting(g, "norm_tolerance")
        g.add_argument("--strict", action="store_true", default=SUPPRESS,
                       help="make amplitude-encoded direction vectors an error instead of a warning")
    _setting(g, "threads")


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
    from .cli_bids import run_bids
    from .cli_commands import run_audit, run_demo, run_detect, run_inspect, run_recompute, run_repair

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
    for name, setting in SETTINGS.items():
        value = getattr(args, name, None)
        if value is not None and setting["range"] and not _in_range(setting, value):
            raise UsageError(f"{_flag(name)} must be {setting['range']}, not {_number(value)}")
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
