"""The dataset QC page: one self-contained HTML file (inline CSS, no script,
no network) with a row per run, worst first."""

from __future__ import annotations

import datetime
import html
import os
import re
import urllib.parse

from . import outputs

PAGE = "index.html"
DEFAULT_MARGIN_THRESHOLD = 0.02  # the reports leave the threshold out when it is this one
RANK = {"FLAG": 0, "WARN": 1, "PASS": 2}
BAR_SPAN = 5.0

CSS = """
body{font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:24px;color:#1d232a;background:#fafbfc}
h1{font-size:20px;margin:0 0 4px}
.meta{color:#5b6673;margin-bottom:16px}
.counts{display:flex;gap:12px;margin:12px 0 20px}
.count{padding:10px 16px;border-radius:8px;min-width:86px;text-align:center;font-weight:600;border:1px solid}
.count b{display:block;font-size:24px}
.count.PASS{background:#e9f7ef;border-color:#9fd8b4;color:#17643a}
.count.WARN{background:#fff6e0;border-color:#f1cf7a;color:#7a5400}
.count.FLAG{background:#fdecec;border-color:#efa3a3;color:#8f1d1d}
.count.FAILED{background:#eef0f3;border-color:#b8c0ca;color:#333c47}
table{border-collapse:collapse;width:100%;background:#fff;box-shadow:0 1px 2px rgba(0,0,0,.06)}
th,td{padding:7px 10px;border-bottom:1px solid #e3e7ec;text-align:left;vertical-align:top}
th{background:#f0f3f6;font-weight:600;position:sticky;top:0}
td.num{font-variant-numeric:tabular-nums;white-space:nowrap}
.status{display:inline-block;padding:1px 8px;border-radius:10px;font-weight:700;font-size:12px}
.status.PASS{background:#d4f1df;color:#17643a}
.status.WARN{background:#ffe9b0;color:#7a5400}
.status.FLAG{background:#f9caca;color:#8f1d1d}
tr.FLAG td:first-child{border-left:4px solid #d64545}
tr.WARN td:first-child{border-left:4px solid #e0a800}
tr.PASS td:first-child{border-left:4px solid #3aa76d}
.bar{display:inline-block;width:70px;height:8px;background:#e3e7ec;border-radius:4px;vertical-align:middle;margin-left:6px;position:relative}
.bar i{position:absolute;left:0;top:0;bottom:0;border-radius:4px;background:#5b8def}
.bar.low i{background:#e0a800}
.ratio{color:#5b6673;font-size:12px}.ratio.low{color:#7a5400;font-weight:700}
.measure{display:inline-block;width:10ch;color:#5b6673}
td.run code{white-space:nowrap}
.bar u{position:absolute;top:-3px;bottom:-3px;width:2px;background:#1d232a}
code{font-family:ui-monospace,Menlo,Consolas,monospace;font-size:13px}
ul.notes{margin:0;padding-left:16px;color:#4a5360;font-size:13px}
a{color:#2057c4}
img.thumb{width:160px;border:1px solid #d0d6dd;border-radius:4px}
.failures{background:#fff;border:1px solid #efa3a3;border-radius:8px;padding:10px 16px;margin-bottom:20px}
.failures h2{font-size:15px;margin:0 0 6px;color:#8f1d1d}
.legend{color:#5b6673;font-size:12px;margin:6px 0 20px}
"""


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
    return (float(measure["relative_margin"]), float(measure.get("margin_threshold", DEFAULT_MARGIN_THRESHOLD)),
            None if spread is None else float(spread))


def _margin_cell(label: str, value: tuple[float, float] | None) -> str:
    if value is None:
        return ""
    m, threshold, spread = value
    ratio = m / threshold if threshold > 0 else 0.0
    # The bar spans five thresholds; the tick marks the threshold itself.
    fill = max(0.0, min(1.0, ratio / BAR_SPAN))
    low = " low" if ratio < 1 else ""
    sd = f" (SD {spread * 100:.1f}%)" if spread is not None else ""
    return (f'<div class="margin" title="lead {m * 100:.2f}%{sd} against a threshold of {threshold * 100:g}%">'
            f'<span class="measure">{html.escape(label)}</span> <code>{m * 100:.1f}%{sd}</code> / {threshold * 100:g}%'
            f'<span class="bar{low}"><i style="width:{fill * 100:.0f}%"></i><u style="left:{100 / BAR_SPAN:.0f}%">'
            f'</u></span> <span class="ratio{low}">{ratio:.1f}&times;</span></div>')


def _transform_cell(label: str | None) -> str:
    """'+x+y-z' and its plain words ("z axis flipped")."""
    if not label:
        return ""
    from .summary import describe_transform

    words = describe_transform(label)
    return f"<code>{html.escape(label)}</code>" + (f"<br><small>{html.escape(words)}</small>" if words else "")


def href(name: str) -> str:
    """A file of the folder as a relative link: percent-encoded, so that '#',
    '?', '%' or a newline in a run's name cannot cut or redirect it; the
    folders of a run's path stay folders."""
    return html.escape(urllib.parse.quote(name, safe="/"), quote=True)


def _link(name: str, text: str) -> str:
    return f'<a href="{href(name)}">{html.escape(text)}</a>'


def row_of(run, status: str, notes: list[str], best: str | None, files: list[str]) -> dict:
    report = run.result["report"]
    tracking = run.result.get("tracking")
    sub, ses = entities(run.entry["name"])
    return {"status": status, "name": run.entry["name"], "sub": sub, "ses": ses, "best": best,
            "coherence": margin(report.get("flip")), "tracking": margin(tracking),
            "notes": list(report.get("notes", [])) + [n for n in notes if n not in report.get("notes", [])],
            "files": files, "png": run.png}


def _sort_key(row: dict):
    # Worst first; within a status, the narrowest lead (closest to changing) first.
    lead = row["tracking"] or row["coherence"]
    return RANK.get(row["status"], 3), (lead[0] / lead[1]) if lead and lead[1] else float("inf"), row["name"]


def _row_html(row: dict, pictures: bool) -> str:
    cells = [
        f'<td><span class="status {row["status"]}">{row["status"]}</span></td>',
        f"<td>{html.escape(row['sub'])}</td>",
        f"<td>{html.escape(row['ses'])}</td>",
        f"<td class=run><code>{html.escape(row['name'])}</code></td>",
        f"<td>{_transform_cell(row['best'])}</td>",
        f'<td class="num">{_margin_cell("coherence", row["coherence"])}{_margin_cell("tracking", row["tracking"])}</td>',
        "<td>" + ("<ul class=notes>" + "".join(f"<li>{html.escape(n)}</li>" for n in row["notes"]) + "</ul>"
                  if row["notes"] else "") + "</td>",
        "<td>" + "<br>".join(_link(f, f.rsplit("_", 1)[-1].removesuffix(".json")) for f in row["files"]) + "</td>",
    ]
    if pictures:
        cells.append("<td>" + (f'<a href="{href(row["png"])}"><img class="thumb" alt="QC picture of '
                  f'{html.escape(row["name"], quote=True)}" src="{href(row["png"])}"></a>'
                  if row["png"] else "") + "</td>")
    return f'<tr class="{row["status"]}">' + "".join(cells) + "</tr>"


def render(root: str, rows: list[dict], failures: list[tuple[str, str]], tracking: bool, version: str) -> str:
    rows = sorted(rows, key=_sort_key)
    counts = {s: sum(1 for r in rows if r["status"] == s) for s in ("FLAG", "WARN", "PASS")}
    boxes = "".join(f'<div class="count {s}"><b>{n}</b>{s}</div>' for s, n in counts.items())
    if failures:
        boxes += f'<div class="count FAILED"><b>{len(failures)}</b>failed</div>'
    failed = ""
    if failures:
        items = "".join(f"<li><code>{html.escape(name)}</code>: {html.escape(error)}</li>" for name, error in failures)
        failed = f'<div class="failures"><h2>Runs that could not be audited</h2><ul>{items}</ul></div>'
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    measures = "coherence and tracking measures" if tracking else "coherence measure"
    pictures = any(r["png"] for r in rows)
    head = ("<tr><th>status</th><th>subject</th><th>session</th><th>run</th><th>best transform</th>"
            "<th>lead / threshold</th><th>notes</th><th>files</th>"
            + ("<th>QC picture</th>" if pictures else "") + "</tr>")
    body = "\n".join(_row_html(r, pictures) for r in rows) or '<tr><td colspan="9">no run was audited</td></tr>'
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><meta name="viewport" content="width=device-width, initial-scale=1">
<title>tarvix QC: {html.escape(os.path.basename(os.path.normpath(root)) or root)}</title>
<style>{CSS}</style></head>
<body>
<h1>Gradient table QC</h1>
<div class="meta">dataset <code>{html.escape(root)}</code> · {len(rows) + len(failures)} runs · {measures} ·
tarvix {html.escape(version)} · {when}</div>
<div class="counts">{boxes}</div>
{failed}<table>
<thead>{head}</thead>
<tbody>
{body}
</tbody></table>
<div class="legend">Worst runs first; within a status, the narrowest lead first. The lead is the relative margin
of the best axis transform over the runner-up (with its SD over seed subsets for the tracking), shown against the threshold it must reach (the tick, 1&times;) to be
trusted: PASS when the best is the table as given, FLAG when it is another transform.</div>
</body></html>
"""


def write(out_dir: str, root: str, rows: list[dict], failures, tracking: bool, version: str) -> str:
    path = os.path.join(out_dir, PAGE)
    outputs.write_text(path, render(root, rows, failures, tracking, version))
    return path


def write_page(out_dir: str, root: str, runs: list[dict], failures: list[tuple[str, str]], tracking: bool,
               version: str) -> str:
    """The page from the batch's run records (name, entities, dwi, report,
    files, written_tables, mask, cross_run_note); returns its path."""
    from . import verdict

    rows = []
    for run in runs:
        report = run["report"]
        if report is None:
            continue
        status, notes = verdict.cli_verdict(report)
        files = [f for f in (run["files"]["report"], run["files"].get("tracking")) if f] + list(run["written_tables"])
        entities = run["entities"]
        own = list(report.get("notes", []))
        rows.append({"status": status, "name": run["name"], "sub": entities.get("sub", ""),
                     "ses": entities.get("ses", ""), "best": verdict.of_report(report).best,
                     "coherence": margin(report.get("flip")), "tracking": margin(report.get("tracking")),
                     "notes": own + [n for n in notes if n not in own], "files": files,
                     "png": run["files"].get("picture")})
    return write(out_dir, root, rows, failures, tracking, version)
