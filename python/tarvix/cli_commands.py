"""The commands that audit, repair and recompute one table: each calls the
engine with the options the user typed, writes the files asked for (all of
them or none) and prints the short summary or the JSON report."""

from __future__ import annotations

import sys

from . import _engine, defaults, outputs, summary, verdict
from .cli_options import EXIT_OK, PNG_HINT
from .errors import CliError, compiled, terminal_text
from .lazy import json
from .optiontable import Namespace

# --- running -------------------------------------------------------------------


def _call(function: str, args: Namespace, **extra):
    """Call an engine function with the options the user typed that it takes."""
    names = defaults.parameters(function, _engine)
    kwargs = {n: getattr(args, n) for n in names if hasattr(args, n) and n not in extra}
    kwargs.update(extra)
    return getattr(_engine, function)(**kwargs)


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
    result = _call(function, args, tracking=_tracking_on(args), glyphs=bool(args.png), **extra)
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
    plan = plan_outputs(args)
    profile = getattr(args, "profile", False)
    with plan.transaction():
        if getattr(args, "dwi", None) is None:
            # The table alone: nothing to track; the scheme audit and its verdict are the whole answer.
            result = _call("audit", args)
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
    return verdict.EXIT_OF_STATUS[decided.status]


def run_inspect(args) -> int:
    plan = plan_outputs(args)
    with plan.transaction():
        text = _call("inspect", args)
        report = json.loads(text)
        decided = verdict.of_report(report)
        _write_outputs(args, plan, text, report, None, "inspect")
    _print(args, text, summary.report_summary(shown(report), verdict=decided), [], decided.notes)
    return verdict.EXIT_OF_STATUS[decided.status]


def run_audit(args) -> int:
    return _analyse(args, "audit", "audit")


def run_detect(args) -> int:
    return _analyse(args, "detect_flip", "detect-flip")


def run_repair(args) -> int:
    _need_matplotlib(args)
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
    return verdict.EXIT_OF_STATUS[decided.status]


MODULE_OUTPUTS = {"out_bvec": "--out-bvec", "out_bval": "--out-bval", "out_grad": "--out-grad",
                  "provenance": "--provenance"}


def _staged_run(plan, run: Run) -> Run:
    """The module wrote its files under their temporary names; its report and
    provenance record name the outputs."""
    plan.fix_names_in("--provenance")
    text = plan.real_names(run.text)
    return Run(text, json.loads(text), run.tracking, run.timings, run.glyphs, run.streamlines)


def run_recompute(args) -> int:
    plan = plan_outputs(args)
    with plan.transaction():
        text = _call("recompute_bval", args, in_place=False, force=args.force,
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


def run_demo(args) -> int:
    from . import demo

    return demo.run(args.dir, force=args.force)
