"""`group_report.tsv`: one row per audited run, what a group analysis or a
spreadsheet reads. BIDS tabular conventions: tab-separated, `n/a` for what is
missing, and a JSON sidecar (`group_report.json`) describing each column.
Every value comes from the run's report and its verdict section, so the table
says what the run's report and the exit status say."""

from __future__ import annotations

import json
import os
import re

from . import outputs
from .summary import describe_transform

TSV_NAME = "group_report.tsv"
SIDECAR_NAME = "group_report.json"

# (column, description, unit or None), in the order written.
COLUMNS = [
    ("participant_id", "The run's participant (sub-<label>).", None),
    ("session_id", "The run's session (ses-<label>).", None),
    ("acq", "The run's acquisition entity.", None),
    ("run", "The run's run entity.", None),
    ("name", "The run's file name without its extension.", None),
    ("status", "The run's verdict: PASS, WARN or FLAG (the same as its report and the batch's exit status).",
     None),
    ("decided_by", "The measure that judged the table's axes: tracking or coherence.", None),
    ("recommended_label", "The axis transform the verdict recommends (FLAG only), e.g. +x+y-z.", None),
    ("recommended_words", "That transform in plain words, e.g. 'z axis flipped'.", None),
    ("table_consistency", "Whether the table's rows describe the image's volumes (b=0 volumes bright, shells darker "
                          "with b, each shell's volumes following their directions): PASS, WARN or FLAG; n/a when "
                          "no image was read.", None),
    ("consistency_finding", "The worst finding of those tests, e.g. 'volume 7 is called b=0 but is as dark as the "
                            "b=1000 shell'.", None),
    ("tracking_lead", "The tracking's best transform's lead over its runner-up (relative difference of mean "
                      "streamline length).", "%"),
    ("tracking_lead_sd", "Standard deviation of that lead over disjoint seed subsets.", "%"),
    ("coherence_lead", "The coherence's best transform's lead over its runner-up.", "%"),
    ("working_b", "The b-value of the shell the axes were judged on.", "s/mm^2"),
    ("n_volumes", "Volumes in the gradient table.", None),
    ("notes", "Every note of the run's report and verdict, separated by ' | '.", None),
    ("cross_run_note", "The run's table is the most common table of the runs with its volume count and shells, "
                       "with axes swapped or negated (found from the tables alone; it never sets the status).", None),
    ("mask", "The brain mask used, relative to --mask-dir (n/a: the automatic region).", None),
    ("written_tables", "The tables and provenance record --repair wrote for the run, relative to this folder, "
                       "separated by ' | '.", None),
]

_ENTITY = {key: re.compile(rf"(?:^|_){key}-([A-Za-z0-9]+)") for key in ("sub", "ses", "acq", "run")}


def _entity(name: str, key: str, prefix: bool) -> str | None:
    m = _ENTITY[key].search(name)
    if not m:
        return None
    return f"{key}-{m.group(1)}" if prefix else m.group(1)


def _percent(value) -> str | None:
    return None if value is None else f"{value * 100:.2f}"


def _cell(value) -> str:
    """A TSV cell: n/a for nothing; tabs and line ends (which would break the
    table) become spaces."""
    if value is None or value == "":
        return "n/a"
    return re.sub(r"[\t\r\n]+", " ", str(value))


def row_of(name: str, report: dict) -> dict:
    v = report.get("verdict") or {}
    tracking = report.get("tracking")
    flip = report.get("flip")
    label = v.get("recommended_label")
    consistency = report.get("consistency")
    findings = [] if not consistency else [
        f for level in ("FLAG", "WARN") for test in ("b0", "volumes", "shells", "order")
        if consistency["tests"][test]["status"] == level for f in consistency["tests"][test]["findings"]]
    notes = list(report.get("notes", [])) + [n for n in v.get("notes", []) if n not in report.get("notes", [])]
    return {
        "participant_id": _entity(name, "sub", True),
        "session_id": _entity(name, "ses", True),
        "acq": _entity(name, "acq", False),
        "run": _entity(name, "run", False),
        "name": name,
        "status": v.get("status", report.get("status")),
        "decided_by": v.get("decided_by"),
        "recommended_label": label,
        "recommended_words": v.get("recommended_words") or (describe_transform(label) if label else None),
        "table_consistency": consistency["status"] if consistency else None,
        "consistency_finding": findings[0] if findings else None,
        "tracking_lead": _percent(tracking.get("relative_margin")) if tracking else None,
        "tracking_lead_sd": _percent(tracking.get("margin_spread")) if tracking else None,
        "coherence_lead": _percent(flip.get("relative_margin")) if flip else None,
        "working_b": f"{flip['working_b']:g}" if flip else None,
        "n_volumes": len(report.get("scheme", {}).get("bvals", [])),
        "notes": " | ".join(notes),
        "cross_run_note": (report.get("cross_run") or {}).get("note"),
        "mask": (report.get("mask") or {}).get("path"),
        "written_tables": " | ".join(report.get("written_tables", [])),
    }


def render(rows: list[dict]) -> str:
    lines = ["\t".join(c for c, _, _ in COLUMNS)]
    lines += ["\t".join(_cell(r.get(c)) for c, _, _ in COLUMNS) for r in rows]
    return "\n".join(lines) + "\n"


def sidecar() -> str:
    described = {}
    for column, description, unit in COLUMNS:
        described[column] = {"Description": description} | ({"Units": unit} if unit else {})
    described["status"]["Levels"] = {"PASS": "the table fits the image", "WARN": "needs a look (see notes)",
                                     "FLAG": "the table's axes do not fit the image, or the "
                                             "table does not belong to it"}
    return json.dumps(described, indent=2) + "\n"


def write(out_dir: str, runs: list[tuple[str, dict]]) -> str:
    """Writes the table and its sidecar for (run name, engine report) pairs,
    sorted by name; returns the table's path."""
    rows = [row_of(name, report) for name, report in sorted(runs, key=lambda r: r[0])]
    path = os.path.join(out_dir, TSV_NAME)
    outputs.write_text(os.path.join(out_dir, SIDECAR_NAME), sidecar())
    outputs.write_text(path, render(rows))
    return path
