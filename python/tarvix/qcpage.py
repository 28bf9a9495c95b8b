"""The dataset QC page: one HTML file a reviewer works from, with inline CSS and
a little inline script and nothing fetched from anywhere. Each run gets a row
(status, the fix in plain words, each measure's lead against what it needs) and
a detail view (picture, both measures, notes, the `tarvix repair` command of a
FLAG run); the rows sort and filter by status, subject and session.

Pictures stay files of the output folder, linked relatively: the folder can be
copied or served anywhere and the page still finds them, while a cohort's page
does not grow by every picture's size."""

from __future__ import annotations

import datetime
import html
import os
import re
import shlex
import urllib.parse

from . import defaults, group_table, outputs
from . import verdict as verdicts
from .qcpage_assets import CSP, CSS, SCRIPT, _script_hash  # noqa: F401 (the page's own)

PAGE = "index.html"
# The rows that need a look first: the verdicts worse than PASS, worst first,
# then the runs that failed, then the passes.
_VERDICTS = list(reversed(verdicts.EXIT_OF_STATUS))
RANK = {s: i for i, s in enumerate(_VERDICTS[:-1] + ["FAILED"] + _VERDICTS[-1:])}
BAR_SPAN = 5.0  # the lead bar spans five thresholds



# --- reading a run ------------------------------------------------------------


def entities(name: str) -> tuple[str, str]:
    """The subject and session labels in a run's name (empty when absent)."""
    sub = re.search(r"(?:^|_)sub-([A-Za-z0-9]+)", name)
    ses = re.search(r"(?:^|_)ses-([A-Za-z0-9]+)", name)
    return (sub.group(1) if sub else ""), (ses.group(1) if ses else "")


def margin(measure: dict | None) -> tuple[float, float, float | None] | None:
    """(relative margin, threshold, spread or None) of one measure's record, or None."""
    if not measure or measure.get("relative_margin") is None:
        return None
    spread = measure.get("margin_spread")
    return (float(measure["relative_margin"]), float(measure.get("margin_threshold", defaults.MARGIN_THRESHOLD)),
            None if spread is None else float(spread))


def run_notes(report: dict) -> list[str]:
    """The report's notes, then the verdict's own that the report does not already carry."""
    notes = list(report.get("notes", []))
    return notes + [n for n in verdicts.of_report(report).notes if n not in notes]


def shared_notes(runs: list[dict]) -> list[str]:
    """The notes every audited run carries (with two runs or more): a dataset's
    trait, said once above the table instead of on every row."""
    reports = [r["report"] for r in runs if r.get("report")]
    if len(reports) < 2:
        return []
    first, rest = run_notes(reports[0]), [set(run_notes(r)) for r in reports[1:]]
    return [n for n in first if all(n in notes for notes in rest)]


def _percent(fraction: float) -> str:
    return f"{fraction * 100:.1f}&nbsp;%"


def _threshold(fraction: float) -> str:
    return f"{fraction * 100:g}&nbsp;%"


def lead_ratio(report: dict | None) -> float | None:
    """The deciding measure's lead in thresholds (1 = just enough), what the
    table sorts by within a status: the smaller, the closer to changing."""
    if not report:
        return None
    v = verdicts.of_report(report)
    record = report.get("tracking") if v.measure == "tracking" else report.get("flip")
    m = margin(record)
    return m[0] / m[1] if m and m[1] > 0 else None


# --- the repair command ---------------------------------------------------------


def _table_inputs(report: dict) -> dict:
    """The table files the audit read ('bvec'/'bval' or 'grad') and the mask, by
    their names, from the report's inputs (which list the mask a batch chose)."""
    found = {}
    for item in report.get("inputs", []):
        path = item.get("path", "")
        low = path.lower()
        if low.endswith((".bvec", "bvecs")):
            found["bvec"] = path
        elif low.endswith((".bval", "bvals")):
            found["bval"] = path
        elif low.endswith(".b") and "grad" not in found:
            found["grad"] = path
        elif low.endswith((".nii", ".nii.gz")):
            found["mask"] = path
    return found


def mask_of(run: dict) -> str | None:
    """The mask a run was audited with: the batch's choice when it names one
    (None: the automatic region), else the mask its report lists as read."""
    if "mask" in run:
        return run["mask"]
    return _table_inputs(run["report"]).get("mask") if run.get("report") else None


def _stem_of(dwi: str) -> str:
    for ext in (".nii.gz", ".nii"):
        if dwi.lower().endswith(ext):
            return dwi[:-len(ext)]
    return dwi


def repair_args(run: dict, root: str, out_dir: str, tracking: bool) -> list[str]:
    """The `tarvix repair` command that writes the corrected table of one run into
    the output folder, beside its report: the same inputs and mask the batch
    audited, so that repair reaches the same verdict, and absolute paths so the
    command works from any directory."""
    report = run["report"]
    dwi = os.path.abspath(os.path.join(root, run.get("dwi") or ""))
    table = _table_inputs(report)
    args = ["tarvix", "repair", "--dwi", dwi]
    if "grad" in table and not ("bvec" in table and "bval" in table):
        args += ["--grad", table["grad"]]
    else:
        stem = _stem_of(dwi)
        args += ["--bvec", table.get("bvec", stem + ".bvec"), "--bval", table.get("bval", stem + ".bval")]
    mask = mask_of(run)
    if mask:
        args += ["--mask", mask if os.path.isabs(mask) else os.path.abspath(os.path.join(root, mask))]
    folder = os.path.join(os.path.abspath(out_dir), os.path.dirname(run["files"]["report"]))
    base = os.path.join(folder, run["name"].removesuffix("_dwi") + "_desc-tarvix")
    args += ["--out-bvec", base + "_dwi.bvec", "--out-bval", base + "_dwi.bval",
             "--provenance", base + "_provenance.json"]
    if not tracking:
        args.append("--no-tracking")
    return args


def repair_command(run: dict, root: str, out_dir: str, tracking: bool) -> str:
    """That command on one line, quoted for a POSIX shell."""
    return shlex.join(repair_args(run, root, out_dir, tracking))


def _command_lines(args: list[str]) -> str:
    """The command one option a line, continued with backslashes: still one
    command when pasted into a shell, and readable on the page."""
    lines, k = [shlex.join(args[:2])], 2
    while k < len(args):
        takes_value = k + 1 < len(args) and not args[k + 1].startswith("--")
        lines.append(shlex.join(args[k:k + 2] if takes_value else args[k:k + 1]))
        k += 2 if takes_value else 1
    return " \\\n  ".join(lines)


# --- pieces of markup -------------------------------------------------------------


def href(path: str) -> str:
    """A path of the output folder as a relative link: each part percent-encoded,
    so that '#', '?', '%' or a newline in a run's name cannot cut or redirect it."""
    parts = path.replace(os.sep, "/").split("/")
    return html.escape("/".join(urllib.parse.quote(p, safe="") for p in parts), quote=True)


def _link(name: str, text: str) -> str:
    return f'<a href="{href(name)}">{html.escape(text)}</a>'


def _e(text) -> str:
    return html.escape(str(text), quote=True)


def _lead_line(label: str, record: dict | None, decides: bool) -> str:
    """'tracking lead 39.9 % ± 5.8 % SD (needs 5 % and 2 SD)', with a bar whose
    tick marks the threshold."""
    m = margin(record)
    if m is None:
        return ""
    lead, threshold, spread = m
    if spread is not None:
        needs = f"needs {_threshold(threshold)} and {verdicts.TRACKING_SPREADS}&nbsp;SD"
        met = lead >= threshold and lead >= verdicts.TRACKING_SPREADS * spread
        value = f"{_percent(lead)} ± {_percent(spread)}&nbsp;SD"
    else:
        needs, met, value = f"needs {_threshold(threshold)}", lead >= threshold, _percent(lead)
    ratio = lead / threshold if threshold > 0 else 0.0
    fill = max(0.0, min(1.0, ratio / BAR_SPAN))
    classes = "lead" + ("" if met else " short") + (" decides" if decides else "")
    title = f"{label} lead {lead * 100:.2f}% of a threshold of {threshold * 100:g}%" + (" (decides)" if decides else "")
    return (f'<div class="{classes}" title="{_e(title)}"><span class="name">{label}</span> lead '
            f'<span class="val">{value}</span> <span class="needs">({needs})</span>'
            f'<span class="bar"><i style="width:{fill * 100:.0f}%"></i><u style="left:{100 / BAR_SPAN:.0f}%"></u>'
            f'</span></div>')


def consistency_finding(report: dict) -> str | None:
    """The worst finding of the table's consistency tests, when they found something."""
    c = report.get("consistency")
    if not isinstance(c, dict) or not isinstance(c.get("tests"), dict):
        return None
    for level in ("FLAG", "WARN"):
        for test in c["tests"].values():
            if isinstance(test, dict) and test.get("status") == level and test.get("findings"):
                return str(test["findings"][0])
    return None


def _finding(run: dict, error: str | None) -> str:
    """What the reviewer should take from the run, in words."""
    text = _verdict_words(run, error)
    table = consistency_finding(run["report"]) if run.get("report") else None
    return text + (f'<div class="table-finding">table: {_e(table)}</div>' if table else "")


def _verdict_words(run: dict, error: str | None) -> str:
    report = run.get("report")
    if not report:
        return f"could not be audited: {_e(error or 'no report')}"
    v = verdicts.of_report(report)
    if v.status == "FLAG" and v.recommended:
        words = v.words or ""
        return (f'<div class="fix"><b>Fix:</b> {_e(words)} <code>{_e(v.recommended)}</code></div>')
    if v.orientation_unknown:
        return "the image's orientation cannot be trusted: the axes are not judged"
    if v.thin:
        reasons = (report.get("verdict") or {}).get("thin_reasons") or []
        return "evidence too thin to judge the axes" + (": " + _e("; ".join(reasons)) if reasons else "")
    if v.axes == "WARN":
        best = f" <code>{_e(v.best)}</code>" if v.best else ""
        return f"the best transform{best} leads too little to act on"
    if v.axes == "FLAG":
        return "the axes look wrong, but no single fix is recommended"
    if v.axes is None:
        return "table checks only (no image read)"
    if v.status == "WARN":
        return "the axes fit the image; the table has warnings (see notes)"
    return "the table fits the image"


def _measure_rows(label: str, record: dict | None, length: bool, decides: bool) -> str:
    head = f'<h3>{label}{" (decides)" if decides else ""}</h3>'
    if not record:
        return head + "<dl><dd>not run</dd></dl>"
    out = [f"<dt>decision</dt><dd>{_e(record.get('decision', 'n/a'))}</dd>"]
    for key, name in (("best", "best"), ("runner_up", "runner-up")):
        score = record.get(key)
        if not isinstance(score, dict):
            continue
        if length:
            value = (f"{score.get('mean_length_mm') or 0:.1f} mm mean streamline length, "
                     f"{_e(score.get('n_streamlines', 0))} streamlines")
        else:
            value = f"coherence {score.get('coherence') or 0:.3f} over {_e(score.get('n_samples', 0))} comparisons"
        out.append(f"<dt>{name}</dt><dd><code>{_e(score.get('label', ''))}</code> {value}</dd>")
    count = record.get("n_trackable") if length else record.get("n_wm_voxels")
    if count is not None:
        out.append(f"<dt>{'trackable voxels' if length else 'white-matter voxels'}</dt><dd>{_e(count)}</dd>")
    if length and record.get("thin_evidence"):
        out.append(f"<dt>thin evidence</dt><dd>{_e(record['thin_evidence'])}</dd>")
    lead = _lead_line(label, record, decides)
    return head + "<dl>" + "".join(out) + "</dl>" + lead


def _consistency(found) -> str:
    """A cross-run consistency finding, if the report carries one, in whatever
    detail it gives: its words when it has them, else its plain fields."""
    if found is None:
        return ""
    if isinstance(found, str):
        return f"<dt>consistency</dt><dd>{_e(found)}</dd>"
    if isinstance(found, list):
        return "".join(_consistency(item) for item in found)
    if not isinstance(found, dict):
        return f"<dt>consistency</dt><dd>{_e(found)}</dd>"
    tests = found.get("tests")
    if isinstance(tests, dict):  # each test's status and findings: the ones that found something, by name
        words = [f"{name}: {t.get('status')}" + (" \u2014 " + "; ".join(map(str, t["findings"]))
                                                  if t.get("findings") else "")
                 for name, t in tests.items() if isinstance(t, dict) and t.get("status") not in (None, "PASS")]
        words = words or [f"every test passed ({', '.join(tests)})"]
        status = found.get("status")
        head = f'<span class="status {_e(status)}">{_e(status)}</span> ' if status in RANK else ""
        return f"<dt>table consistency</dt><dd>{head}{'<br>'.join(_e(w) for w in words)}</dd>"
    words = [found[k] for k in ("note", "message", "summary", "finding", "words") if isinstance(found.get(k), str)]
    words += [n for n in found.get("notes", []) if isinstance(n, str)] if isinstance(found.get("notes"), list) else []
    if not words:
        words = [f"{k}: {v}" for k, v in found.items() if isinstance(v, (str, int, float, bool)) or v is None]
    status = found.get("status") or found.get("decision")
    head = f'<span class="status {_e(status)}">{_e(status)}</span> ' if status in RANK else ""
    return f"<dt>consistency</dt><dd>{head}{'<br>'.join(_e(w) for w in words)}</dd>"


def _files(run: dict) -> list[tuple[str, str]]:
    files = run.get("files") or {}
    links = [(files[key], key) for key in ("report", "tracking", "picture") if files.get(key)]
    return links + [(path, "table " + path.rsplit(".", 1)[-1]) for path in run.get("written_tables") or []]


# --- one run ------------------------------------------------------------------------


def _run_html(run: dict, index: int, shared: set[str], error: str | None, root: str, out_dir: str,
              tracking: bool, columns: int, pictures: bool) -> str:
    report = run.get("report")
    v = verdicts.of_report(report) if report else None
    status = v.status if v else "FAILED"
    ents = run.get("entities") or {}
    sub, ses = ents.get("sub", ""), ents.get("ses", "")
    name = run["name"]
    notes = [n for n in run_notes(report) if n not in shared] if report else []
    if run.get("cross_run_note") and run["cross_run_note"] not in notes:
        notes.append(run["cross_run_note"])
    ratio = lead_ratio(report)
    files = _files(run)
    picture = (run.get("files") or {}).get("picture")

    leads = ""
    if report:
        leads = (_lead_line("tracking", report.get("tracking"), v.measure == "tracking")
                 + _lead_line("coherence", report.get("flip"), v.measure == "coherence"))
    command = repair_args(run, root, out_dir, tracking) if report and v.status == "FLAG" and v.recommended else None
    fix = _finding(run, error)
    if command:
        fix += f'<button class="copy" type="button" data-target="cmd-{index}">copy repair command</button>'
    note_list = ("<ul class=notes>" + "".join(f'<li title="{_e(n)}">{_e(n)}</li>' for n in notes) + "</ul>"
                 if notes else "")
    cells = [
        f'<td><span class="status {_e(status)}">{_e(status)}</span>'
        f'<button class="more" type="button" aria-expanded="false">details</button></td>',
        f"<td>{_e(sub)}</td>",
        f"<td>{_e(ses)}</td>",
        f"<td class=run><code>{html.escape(name)}</code></td>",
        f'<td class="finding">{fix}</td>',
        f'<td class="num">{leads}</td>',
        f'<td class="notes">{note_list}</td>',
        "<td>" + "<br>".join(_link(path, text) for path, text in files) + "</td>",
    ]
    if pictures:
        cells.append("<td>" + (f'<a href="{href(picture)}"><img class="thumb" loading="lazy" alt="QC picture of '
                                f'{_e(name)}" src="{href(picture)}"></a>' if picture else "") + "</td>")

    # The detail view.
    facts = [f"<dt>status</dt><dd>{_e(status)}" + (f" (axes {_e(v.axes)}, decided by {_e(v.measure)})"
                                                 if v and v.axes else "") + "</dd>"]
    if run.get("dwi"):
        facts.append(f"<dt>image</dt><dd><code>{_e(run['dwi'])}</code></dd>")
    if report:
        mask = mask_of(run)
        facts.append(f"<dt>mask</dt><dd>{f'<code>{_e(mask)}</code>' if mask else 'automatic region'}</dd>")
        if v.status == "FLAG" and v.recommended:
            facts.append(f"<dt>fix</dt><dd>{_e(v.words or '')} <code>{_e(v.recommended)}</code></dd>")
        elif v.best:
            facts.append(f"<dt>best transform</dt><dd><code>{_e(v.best)}</code></dd>")
        if v.thin:
            reasons = (report.get("verdict") or {}).get("thin_reasons") or []
            facts.append(f"<dt>thin evidence</dt><dd>{_e('; '.join(reasons) or 'yes')}</dd>")
    elif error:
        facts.append(f"<dt>error</dt><dd>{_e(error)}</dd>")
    measures = ""
    if report:
        measures = ("<div><h2>Measures</h2>"
                    + _measure_rows("tracking", report.get("tracking"), True, v.measure == "tracking")
                    + _measure_rows("coherence", report.get("flip"), False, v.measure == "coherence") + "</div>")
    # The row's notes; those on every run are above the table, said once.
    all_notes = [_e(n) for n in notes]
    if report and shared:
        all_notes.append(f"<i>and the {len(shared)} note{'s' if len(shared) > 1 else ''} on every run, above "
                         "the table</i>")
    consistency = _consistency(report.get("consistency")) if report else ""
    detail = ['<div class="cols">']
    if picture:
        detail.append(f'<div class="pic"><a href="{href(picture)}"><img class="picture" loading="lazy" '
                      f'alt="QC picture of {_e(name)}" src="{href(picture)}"></a></div>')
    detail.append(f"<div><h2>Run</h2><dl>{''.join(facts)}{consistency}</dl>")
    detail.append("<h2 class=gap>Notes</h2>" + (
        "<ul class=notes>" + "".join(f"<li>{n}</li>" for n in all_notes) + "</ul>" if all_notes else "none")
        + "</div>" + measures + "</div>")
    if command:
        written = run.get("written_tables") or []
        detail.append('<div class="repair"><h2 class=gap>Repair</h2>'
                      + ("<div>the batch has written the corrected table: "
                         + ", ".join(_link(p, os.path.basename(p)) for p in written)
                         + " (the command below would need --force to write it again)</div>" if written else "")
                      + f'<div>to write the corrected table ({_e(v.words or v.recommended)}) yourself:</div>'
                      + f'<pre class="cmd" id="cmd-{index}">{_e(_command_lines(command))}</pre></div>')
    rank = RANK.get(status, len(RANK))
    attrs = (f'data-status="{_e(status)}" data-rank="{rank}" data-sub="{_e(sub)}" data-ses="{_e(ses)}" '
             f'data-name="{_e(name)}" data-lead="{"" if ratio is None else f"{ratio:.6g}"}"')
    return (f"<tbody {attrs}>\n<tr class=\"{_e(status)}\">" + "".join(cells) + "</tr>\n"
            f'<tr data-detail class="detail"><td colspan="{columns}">' + "".join(detail) + "</td></tr>\n</tbody>")


def _sort_key(run: dict):
    # Worst first; within a status, the narrowest lead (closest to changing) first.
    report = run.get("report")
    status = verdicts.of_report(report).status if report else "FAILED"
    ratio = lead_ratio(report)
    return RANK.get(status, len(RANK)), float("inf") if ratio is None else ratio, run["name"]


# --- the page ------------------------------------------------------------------------


def render(root: str, runs: list[dict], failures: list[tuple[str, str]], tracking: bool, version: str,
           out_dir: str = ".", skipped: list[str] = (), unlisted: list[str] = ()) -> str:
    """The page's text: `runs` as `write_page` takes them; `skipped` and
    `unlisted` discovery's lines for the images it left out and the folders
    it could not list, so that every image met is on the page."""
    runs = sorted(runs, key=_sort_key)
    errors = dict(failures)
    failed_rows = {r["name"] for r in runs if not r.get("report")}
    listed_failures = [(n, e) for n, e in failures if n not in failed_rows]
    status_of = [verdicts.of_report(r["report"]).status if r.get("report") else "FAILED" for r in runs]
    counts = {s: status_of.count(s) for s in ("FLAG", "WARN", "PASS")}
    boxes = "".join(f'<label class="count {s}"><b>{n}</b><input type="checkbox" name="status" value="{s}" checked>'
                    f'{s}</label>' for s, n in counts.items())
    # Failed runs with a row filter like the others; the ones listed only below the counts do not.
    if "FAILED" in status_of:
        boxes += (f'<label class="count FAILED"><b>{status_of.count("FAILED") + len(listed_failures)}</b>'
                  '<input type="checkbox" name="status" value="FAILED" checked>failed</label>')
    elif listed_failures:
        boxes += f'<div class="count FAILED"><b>{len(listed_failures)}</b>failed</div>'
    if skipped:
        boxes += f'<div class="count SKIPPED"><b>{len(skipped)}</b>skipped</div>'
    failed = ""
    if listed_failures:
        items = "".join(f"<li><code>{_e(name)}</code>: {_e(error)}</li>" for name, error in listed_failures)
        failed = ('<div class="panel failures"><h2>Runs that could not be audited, or whose report cannot be '
                  f'read</h2><ul>{items}</ul></div>')
    if unlisted:
        items = "".join(f"<li>{_e(line)}</li>" for line in unlisted)
        failed += ('<div class="panel failures"><h2>Folders that could not be listed: runs in them, if any, were '
                   f'not audited</h2><ul>{items}</ul></div>')
    if skipped:
        items = "".join(f"<li>{_e(line)}</li>" for line in skipped)
        failed += f'<div class="panel"><h2>Images left out of the batch</h2><ul>{items}</ul></div>'
    shared = shared_notes(runs)
    shared_html = ""
    if shared:
        shared_html = ('<div class="panel"><h2>Notes on every run</h2><ul class=notes>'
                       + "".join(f"<li>{_e(n)}</li>" for n in shared) + "</ul></div>")
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    measures = "tracking and coherence measures" if tracking else "coherence measure"
    pictures = any((r.get("files") or {}).get("picture") for r in runs)
    columns = 9 if pictures else 8

    def options(key):
        labels = sorted({(r.get("entities") or {}).get(key, "") for r in runs} - {""},
                        key=lambda s: (len(s), s) if s.isdigit() else (0, s))
        return '<option value="">all</option>' + "".join(f'<option value="{_e(x)}">{_e(x)}</option>' for x in labels)

    def sortable(key, text):
        return f'<th data-sort="{key}" aria-sort="none"><button type="button">{text}</button></th>'

    head = ("<tr>" + sortable("rank", "status") + sortable("sub", "subject") + sortable("ses", "session")
            + sortable("name", "run") + "<th>finding and fix</th>" + sortable("lead", "lead and what it needs")
            + "<th>notes</th><th>files</th>" + ("<th>QC picture</th>" if pictures else "") + "</tr>")
    body = "\n".join(_run_html(r, k, set(shared), errors.get(r["name"]), root, out_dir, tracking, columns, pictures)
                     for k, r in enumerate(runs))
    if not runs:
        body = f'<tbody><tr><td colspan="{columns}">no run was audited</td></tr></tbody>'
    title = os.path.basename(os.path.normpath(root)) or root
    total = len(runs) + len(listed_failures) + len(skipped)
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><meta name="viewport" content="width=device-width, initial-scale=1">
<meta http-equiv="Content-Security-Policy" content="{CSP}">
<title>tarvix QC: {_e(title)}</title>
<style>{CSS}</style></head>
<body>
<h1>Gradient table QC</h1>
<div class="meta">dataset <code>{_e(root)}</code> · {total} runs · {measures} ·
tarvix {_e(version)} · {when} · {_link(group_table.TSV_NAME, "group table (" + group_table.TSV_NAME + ")")}
({_link(group_table.SIDECAR_NAME, "columns")})</div>
<div class="counts">{boxes}</div>
{failed}{shared_html}<div class="controls">
<label>subject <select id="f-sub">{options("sub")}</select></label>
<label>session <select id="f-ses">{options("ses")}</select></label>
<label>run <input id="f-text" type="search" placeholder="name contains"></label>
<button id="f-reset" type="button">show all</button>
<button id="f-open" type="button">open/close details</button>
<span id="shown">{len(runs)} runs</span>
</div>
<table id="runs">
<thead>{head}</thead>
{body}
</table>
<div class="legend">Worst runs first; within a status, the narrowest lead first (click a heading to sort, the
boxes above to filter). A lead is how far the best axis transform scores above the runner-up, next to what it
needs to be trusted (the tick on the bar): the tracking decides when it ran and needs both its threshold and
{verdicts.TRACKING_SPREADS} standard deviations of its lead over seed subsets; the coherence needs its threshold.
PASS when the best is the table as given, FLAG when it is another transform; WARN when the lead, the evidence
or the scheme is not enough.</div>
<script>{SCRIPT}</script>
</body></html>
"""


def write_page(out_dir: str, root: str, runs: list[dict], failures: list[tuple[str, str]], tracking: bool,
               version: str, skipped: list[str] = (), unlisted: list[str] = ()) -> str:
    """Writes the page into out_dir and returns its path."""
    path = os.path.join(out_dir, PAGE)
    outputs.write_text(path, render(root, runs, failures, tracking, version, out_dir=out_dir, skipped=skipped,
                                    unlisted=unlisted))
    return path
