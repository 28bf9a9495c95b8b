"""Short human summaries of the module's JSON results, for the command line."""

from __future__ import annotations

import os


STATUS_MEANING = {
    "PASS": "no problem found",
    "WARN": "needs a look",
    "FLAG": "the table's axes do not fit the image",
}


def _b(value) -> str:
    """A b-value as people write it: 1000, not 1000.0."""
    if value is None:
        return "?"
    return f"{value:.0f}" if float(value).is_integer() else f"{value:g}"


def shell_counts(shells) -> str:
    """'b=0 ×6, b=1000 ×30' from shell or shell-count objects."""
    return ", ".join(f"b={_b(s['nominal_b'])} ×{s['count']}" for s in shells) or "none"


def distinct_ranking(ranking):
    """The ranking with each transform's negation left out: M and -M describe the
    same axis convention and always score the same (the engine marks the first)."""
    return [entry for entry in ranking if entry.get("first_of_pair", True)]


def _name(entry) -> str:
    """A ranking entry's name as the engine gives it: canonical, or for a
    reading of the table in the other frame 'scanner->image +x+y-z'."""
    return entry.get("name") or entry["label"]


def words_of(entry) -> str:
    return entry.get("words") or ""


def labelled(label: str, words: str | None = None) -> str:
    """'-x+y+z (x axis flipped)', with the words the engine gives the transform."""
    return f"{label} ({words})" if words else label


def named(entry) -> str:
    """A ranking entry with its words: '-x+y+z (x axis flipped)'."""
    return labelled(_name(entry), words_of(entry))


def identity_like(entry) -> bool:
    return _name(entry) == "+x+y+z"


def flip_lines(flip, show=3, hints=True) -> list[str]:
    distinct = distinct_ranking(flip["ranking"])
    threshold = flip["margin_threshold"]
    lines = [
        f"axes:   checked on the b={_b(flip['working_b'])} shell, {flip['n_wm_voxels']} white-matter voxels "
        f"(mean FA {flip['mask_mean_fa']:.2f})",
        "        rank  transform  coherence",
    ]
    listed = distinct[:show]
    for rank, entry in enumerate(distinct, 1):
        if entry in listed or identity_like(entry):
            if rank > len(listed) + 1 and entry not in listed:
                lines.append("        ...")
            marks = []
            if rank == 1:
                marks.append("best")
            if identity_like(entry):
                marks.append("table as given")
            words = words_of(entry)
            if words and not identity_like(entry):
                marks.append(words)
            lines.append(f"        {rank:>4}  {_name(entry):<9}  {entry['coherence']:.4f}"
                         + (f"  ({', '.join(marks)})" if marks else ""))
    margin = flip["relative_margin"] * 100.0
    decision = flip["decision"]
    compare = "≥" if flip["relative_margin"] >= threshold else "<"
    lines.append(f"        best leads the runner-up {named(flip['runner_up'])} by {margin:.1f}% "
                 f"({compare} the {threshold * 100:g}% threshold)")
    if decision == "PASS":
        lines.append("        decision PASS: the table as given scores best")
    elif decision == "FLAG":
        lines.append(f"        decision FLAG: recommended transform {named(flip['best'])}"
                     + (" (apply it with 'tarvix repair')" if hints else ""))
    else:
        lines.append(f"        decision WARN: {named(flip['best'])} scores best, but not clearly enough to "
                     "recommend it" + ("\n        ('tarvix repair --force-repair' applies it anyway)" if hints else ""))
    return lines


def _inputs(report) -> str:
    names = [os.path.basename(i["path"]) or i["path"] for i in report.get("inputs", [])]
    count = len(report.get("scheme", {}).get("bvals", []))
    return f"table:  {', '.join(names) or '(none)'}: {count} volume{'s' if count != 1 else ''}"


def _rank_of_identity(ranking) -> int | None:
    return next((rank for rank, e in enumerate(distinct_ranking(ranking), 1) if identity_like(e)), None)


def _transform_cell(entry) -> str:
    return named(entry)


def _coherence_column(flip) -> list[str]:
    threshold = flip["margin_threshold"]
    margin = flip["relative_margin"]
    rank = _rank_of_identity(flip["ranking"])
    as_given = next(e for e in distinct_ranking(flip["ranking"]) if identity_like(e))
    return [
        "coherence (one step)",
        flip["decision"],
        _transform_cell(flip["best"]),
        _transform_cell(flip["runner_up"]),
        f"{flip['best']['coherence']:.4f} vs {flip['runner_up']['coherence']:.4f}",
        f"rank {rank}, {as_given['coherence']:.4f}",
        f"{margin * 100:.1f}% ({'≥' if margin >= threshold else '<'} {threshold * 100:g}%)",
    ]


def _tracking_column(tracking) -> list[str]:
    from .verdict import TRACKING_SPREADS

    threshold = tracking["margin_threshold"]
    margin, spread = tracking["relative_margin"], tracking["margin_spread"]
    clear = margin >= threshold and margin >= TRACKING_SPREADS * spread
    needed = f"{threshold * 100:g}% and {TRACKING_SPREADS} SD"
    rank = _rank_of_identity(tracking["ranking"])
    as_given = next(e for e in tracking["ranking"] if identity_like(e))
    best, runner = tracking["best"], tracking["runner_up"]
    return [
        "tracking (whole fibres)",
        tracking["decision"],
        _transform_cell(best),
        _transform_cell(runner),
        f"{best['mean_length_mm']:.1f} vs {runner['mean_length_mm']:.1f} mm mean length",
        f"rank {rank}, {as_given['mean_length_mm']:.1f} mm",
        f"{margin * 100:.1f}% (SD {spread * 100:.1f}%) ({'≥' if clear else '<'} {needed})",
    ]


ROW_NAMES = ["", "decision", "best", "runner-up", "scores", "as given", "lead"]


def _coherence_thin(flip) -> bool:
    """The coherence's own evidence limits (the verdict's, when the coherence decides)."""
    from .verdict import MIN_SAMPLES, MIN_WM_VOXELS

    samples = min(flip["best"].get("n_samples", 0), flip["runner_up"].get("n_samples", 0))
    all_zero = all(e["coherence"] == 0 for e in flip["ranking"])
    return all_zero or flip["n_wm_voxels"] < MIN_WM_VOXELS or samples < MIN_SAMPLES


def side_by_side(report: dict, tracking: dict) -> list[str]:
    """Both measures of the axes in two columns, row by row."""
    flip = report["flip"]
    coherence = _coherence_column(flip)
    if _coherence_thin(flip):
        coherence[1] += " (thin evidence)"
    columns = [coherence, _tracking_column(tracking)]
    width = max(len(cell) for cell in columns[0]) + 3
    lines = [f"axes:   checked on the b={_b(flip['working_b'])} shell, {flip['n_wm_voxels']} white-matter voxels "
             f"(mean FA {flip['mask_mean_fa']:.2f}), {tracking['parameters']['n_seeds']} tracking seeds"]
    for name, left, right in zip(ROW_NAMES, *columns):
        lines.append(f"        {name:<10}  {left:<{width}}{right}".rstrip())
    return lines


def table_mismatch(report: dict) -> bool:
    """Whether the consistency tests found that the table describes other volumes."""
    return (report.get("consistency") or {}).get("status") == "FLAG"


def verdict_line(decided, tracking: dict | None, hints: bool, report: dict | None = None) -> str:
    """The one line of the combined verdict on the axes."""
    from .verdict import lead_text

    by = "by the tracking" if decided.measure == "tracking" else "by the coherence"
    lead = lead_text(decided)
    if decided.axes is not None and report is not None and table_mismatch(report):
        return (f"verdict on the axes: {decided.axes} {by}, not trusted: the table does not describe this image's "
                "volumes")
    if decided.axes == "FLAG":
        return (f"verdict on the axes: FLAG {by}: recommended transform {labelled(decided.recommended, decided.words)}"
                + (f", leading by {lead}" if lead else "")
                + (" (apply it with 'tarvix repair')" if hints else ""))
    if decided.axes == "PASS":
        return f"verdict on the axes: PASS {by}: the table as given fits the image" + (
            f", leading by {lead}" if lead else "")
    if decided.orientation_unknown:
        return "verdict on the axes: WARN: the image's orientation is unknown, so no convention can be judged"
    # With nothing scored (every transform 0) no transform is called best.
    return ("verdict on the axes: WARN: they cannot be judged with confidence (see the notes)"
            + (f"; {labelled(decided.best, decided.best_words)} scores best" if decided.best else ""))


def _as_verdict(report: dict, verdict):
    """A Verdict from what a caller gives: one, or the report's own."""
    from .verdict import Verdict, of_report

    if isinstance(verdict, Verdict):
        return verdict
    return of_report(report)


def report_summary(report: dict, hints: bool = True, verdict=None, tracking: dict | None = None) -> str:
    """Status, shells with counts, the measures of the axes and every note.
    `hints` suggests the repair command where it would help; `verdict` is the
    command line's (a Verdict, or a (status, notes) pair) where it differs
    from the module's; `tracking` the tracking record when that measure ran."""
    decided = _as_verdict(report, verdict)
    status, verdict_notes = decided.status, decided.notes
    if tracking is None:
        tracking = report.get("tracking")
    meaning = STATUS_MEANING.get(status, "")
    flip = report.get("flip")
    if status == "WARN" and decided.axes == "WARN":
        if decided.thin or decided.orientation_unknown or decided.measure == "tracking":
            meaning = "the axes cannot be judged with confidence"
        else:
            meaning = "the best axis transform leads, but not clearly"
        hints = False
    elif status == "WARN":
        meaning = "needs a look (see the notes)"
    if status == "FLAG" and table_mismatch(report):
        meaning = "the table does not describe this image's volumes"
    if status == "PASS" and (report.get("notes") or verdict_notes):
        meaning = "no fault that blocks, but see the notes"
    lines = [f"status: {status}" + (f" — {meaning}" if meaning else ""), _inputs(report)]
    if "shells" in report:
        lines.append(f"shells: {shell_counts(report['shells']['shells'])}")
    if flip and tracking is not None:
        lines += side_by_side(report, tracking)
    elif flip:
        # The coherence's own decision line gives way to the verdict's.
        lines += flip_lines(flip, hints=hints)[:-1]
    if flip and decided.axes is not None:
        lines.append(verdict_line(decided, tracking, hints, report))
    notes = list(verdict_notes) + report.get("notes", [])
    if notes:
        lines.append("notes:")
        lines += [f"  - {n}" for n in notes]
    return "\n".join(lines)


def repair_summary(report: dict, backups: dict, provenance, dry_run: bool, force_repair: bool,
                   tracking: dict | None = None, verdict=None) -> str:
    """What repair wrote, or why it wrote nothing, by the run's verdict."""
    decided = _as_verdict(report, verdict)
    repair = report.get("repair")
    if repair is None:
        if table_mismatch(report):
            return "repair: nothing written; the table does not describe this image's volumes, and no transform can mend it"
        if decided.orientation_unknown:
            return "repair: nothing written; the image's orientation is unknown, so no transform can be chosen"
        if decided.axes == "WARN" and decided.best and not force_repair:
            why = ("the evidence is too thin to apply it" if decided.thin
                   else "its lead is too small to apply it automatically")
            return (f"repair: nothing written; {labelled(decided.best, decided.best_words)} scores best, but {why} "
                    "(add --force-repair to apply it anyway)")
        if decided.axes == "WARN":
            return "repair: nothing written; no transform scores best"
        return "repair: nothing written; the table as given is kept"
    applied = labelled(repair["label"], decided.words if repair["label"] == decided.recommended else decided.best_words)
    if dry_run or not repair["outputs"]:
        return f"repair: dry run, would apply {applied}; nothing written"
    lines = [f"repair: applied {applied}, wrote {', '.join(repair['outputs'])}"]
    for path in repair["outputs"]:
        if path in backups:
            lines.append(f"        the old {path} is now {backups[path]}")
    if provenance:
        lines.append(f"        provenance record: {provenance}")
    return "\n".join(lines)


def recompute_summary(result: dict, backups: dict, provenance) -> str:
    lines = [
        f"recovered b-values from direction lengths: nominal b {_b(result['b_nominal'])} at the longest "
        f"vector (|g| = {result['max_norm']:.4f})",
        f"new diffusion-weighted b-values: {_b(result['b_min'])} to {_b(result['b_max'])}",
        f"shells before: {shell_counts(result['before'])}",
        f"shells after:  {shell_counts(result['after'])}",
    ]
    if result["outputs"]:
        lines.append(f"wrote: {', '.join(result['outputs'])}")
        lines += [f"       the old {p} is now {backups[p]}" for p in result["outputs"] if p in backups]
        if provenance:
            lines.append(f"provenance record: {provenance}")
    else:
        lines.append("dry run: nothing written")
    return "\n".join(lines)


def bids_summary(result: dict, list_runs: bool = True, statuses=None) -> str:
    """`statuses`: (name, status) of each run where the command line's verdict
    replaces the batch's. The count is of every run met: audited, failed and
    skipped; an incomplete batch (a failed run, a folder not listed) is ERROR."""
    from . import verdict

    runs = [(r["name"], r["status"]) for r in result.get("results", [])] if statuses is None else list(statuses)
    failed, skipped = result.get("failed", []), result.get("n_skipped", 0)
    folders = len(result.get("unreadable_folders", []))
    counts = {s: sum(1 for _, status in runs if status == s) for s in verdict.EXIT_OF_STATUS}
    tally = [f"{n} {s}" for s, n in counts.items() if n]
    tally += [f"{n} {what}" for n, what in ((len(failed), "failed"), (skipped, "skipped")) if n]
    if folders:
        tally.append(f"{folders} folder{'s' if folders != 1 else ''} not listed")
    status = "ERROR" if result.get("status") == "ERROR" else verdict.worst(status for _, status in runs)
    total = len(runs) + len(failed) + skipped
    lines = [f"status: {status} — {total} run{'s' if total != 1 else ''}: {', '.join(tally)}"]
    if list_runs:
        lines += [f"  {status:<4}  {name}" for name, status in runs if status != "PASS"]
        lines += [f"  FAILED  {f['name']}" for f in failed]
    lines.append(f"dataset summary: {result['summary_path']}")
    return "\n".join(lines)


def timings_table(timings: dict) -> str:
    total = timings.get("total", 0.0)
    lines = ["stage        seconds   share"]
    stages = ["table", "decompress", "convert", "fit", "coherence", "scheme", "tracking", "consistency", "report"]
    stages = [s for s in stages if s in timings or s in ("decompress", "convert", "fit", "coherence")]
    for stage in stages + ["other"]:
        value = timings.get(stage, 0.0)
        share = f"{100.0 * value / total:5.1f}%" if total > 0 else "     -"
        lines.append(f"{stage:<11} {value:8.4f}  {share}")
    lines.append(f"{'total':<11} {total:8.4f}")
    lines.append(f"threads: {timings.get('threads', 0):.0f}")
    return "\n".join(lines)
