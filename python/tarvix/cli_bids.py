"""`tarvix bids`: the dataset batch as the command line runs it, its progress
on the terminal, what it prints at the end and its exit status."""

from __future__ import annotations

import os
import sys

from . import outputs, summary, verdict
from .cli_commands import _missing, _write_outputs, plan_outputs
from .cli_options import EXIT_ERROR, EXIT_OK, PNG_HINT
from .errors import CliError, terminal_text
from .lazy import batch, json

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
    return verdict.EXIT_OF_STATUS[verdict.worst(statuses)]


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
