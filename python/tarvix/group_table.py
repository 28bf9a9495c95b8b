"""`group_report.tsv`: one row per run, what a group analysis or a spreadsheet
reads; a run that could not be audited, or whose report cannot be read, is a
FAILED row rather than a missing one, and an image discovery left out (no
table for it, not a regular file) a SKIPPED row. BIDS tabular conventions: tab-separated, `n/a` for what is
missing, and a JSON sidecar (`group_report.json`) describing each column.
Every value comes from the run's report and its verdict section, so the table
says what the run's report and the exit status say."""

from __future__ import annotations

import json
import os
import re

from . import outputs

TSV_NAME = "group_report.tsv"
SIDECAR_NAME = "group_report.json"

# (column, description, unit or None), in the order written; each BIDS entity
# of the run names other than sub and ses gets a column after session_id.
COLUMNS = [
    ("participant_id", "The run's participant (sub-<label>).", None),
    ("session_id", "The run's session (ses-<label>).", None),
    ("name", "The run's file name without its extension.", None),
    ("status", "The run's verdict: PASS, WARN or FLAG (the same as its report and the batch's exit status); "
               "FAILED when it could not be audited or its report cannot be read, SKIPPED when its image was "
               "left out of the batch (see notes).", None),
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
    ("notes", "Every note of the run's report and verdict, separated by ' | '; for a FAILED or SKIPPED run, "
              "why.", None),
    ("cross_run_note", "The run's table is the most common table of the runs with its volume count and shells, "
                       "with axes swapped or negated (found from the tables alone; it never sets the status).", None),
    ("mask", "The brain mask used, relative to --mask-dir (n/a: the automatic region).", None),
    ("written_tables", "The tables and provenance record --repair wrote for the run, relative to this folder, "
                       "separated by ' | '.", None),
]
FIXED = {column for column, _, _ in COLUMNS}

# The entities a DWI file name may carry, in the order BIDS names them; any
# other entity of a run's name follows them, alphabetically.
ENTITY_ORDER = ("task", "acq", "ce", "rec", "dir", "run", "mod", "echo", "flip", "inv", "mt", "part", "chunk")
ENTITY_WORDS = {"acq": "acquisition", "rec": "reconstruction", "dir": "phase-encoding direction", "run": "run index",
                "echo": "echo index", "part": "part (magnitude or phase)", "ce": "contrast enhancement",
                "chunk": "chunk index"}


def entities(name: str) -> dict[str, str]:
    """The key-value entities of a run's name (sub-01_dir-AP_dwi: sub, dir)."""
    found = {}
    for part in name.split("_")[:-1]:
        key, dash, value = part.partition("-")
        if dash and key.isalnum() and key.isascii() and value:
            found.setdefault(key, value)
    return found


def entity_columns(names) -> list[str]:
    """A column for each entity any run's name carries, but sub and ses (which
    have their own) and any that would take a fixed column's name."""
    present = {key for name in names for key in entities(name)} - {"sub", "ses"} - FIXED
    return [k for k in ENTITY_ORDER if k in present] + sorted(present - set(ENTITY_ORDER))


def _percent(value) -> str | None:
    return None if value is None else f"{value * 100:.2f}"


def _cell(value) -> str:
    """A TSV cell: n/a for nothing; tabs and line ends (which would break the
    table) become spaces."""
    if value is None or value == "":
        return "n/a"
    return re.sub(r"[\t\r\n]+", " ", str(value))


def _findings(consistency) -> list[str]:
    tests = (consistency or {}).get("tests") or {}
    return [f for level in ("FLAG", "WARN") for test in ("b0", "volumes", "shells", "order")
            if (tests.get(test) or {}).get("status") == level for f in tests[test].get("findings") or []]


def _named(name: str) -> dict:
    found = entities(name)
    row = {key: value for key, value in found.items() if key not in FIXED | {"sub", "ses"}}
    row.update(participant_id=f"sub-{found['sub']}" if "sub" in found else None,
               session_id=f"ses-{found['ses']}" if "ses" in found else None, name=name)
    return row


def row_of(name: str, report: dict) -> dict:
    v = report.get("verdict") or {}
    tracking = report.get("tracking")
    flip = report.get("flip")
    label = v.get("recommended_label")
    consistency = report.get("consistency")
    findings = _findings(consistency)
    notes = list(report.get("notes", [])) + [n for n in v.get("notes", []) if n not in report.get("notes", [])]
    return _named(name) | {
        "status": v.get("status", report.get("status")),
        "decided_by": v.get("decided_by"),
        "recommended_label": label,
        "recommended_words": v.get("recommended_words"),
        "table_consistency": consistency.get("status") if consistency else None,
        "consistency_finding": findings[0] if findings else None,
        "tracking_lead": _percent(tracking.get("relative_margin")) if tracking else None,
        "tracking_lead_sd": _percent(tracking.get("margin_spread")) if tracking else None,
        "coherence_lead": _percent(flip.get("relative_margin")) if flip else None,
        "working_b": f"{flip['working_b']:g}" if flip and flip.get("working_b") is not None else None,
        "n_volumes": len(report.get("scheme", {}).get("bvals", [])),
        "notes": " | ".join(notes),
        "cross_run_note": (report.get("cross_run") or {}).get("note"),
        "mask": (report.get("mask") or {}).get("path"),
        "written_tables": " | ".join(report.get("written_tables", [])),
    }


def failed_row(name: str, why: str) -> dict:
    return _named(name) | {"status": "FAILED", "notes": why}


# Discovery's line for an image it left out: "<image>: <why>: skipped" or
# "<image> is a FIFO, ...: skipped".
_SKIPPED = re.compile(r"^(.*?)\.nii(?:\.gz)?(?:: | is )")


def skipped_row(line: str) -> dict:
    """The row of an image discovery left out, named after the image's file;
    a line naming no image keeps the whole line as its name."""
    found = _SKIPPED.match(line)
    return _named(os.path.basename(found.group(1)) if found else line) | {"status": "SKIPPED", "notes": line}


def columns_of(rows: list[dict]) -> list[str]:
    split = [c for c, _, _ in COLUMNS].index("name")
    fixed = [c for c, _, _ in COLUMNS]
    return fixed[:split] + entity_columns(r["name"] for r in rows) + fixed[split:]


def render(rows: list[dict]) -> str:
    columns = columns_of(rows)
    lines = ["\t".join(columns)] + ["\t".join(_cell(r.get(c)) for c in columns) for r in rows]
    return "\n".join(lines) + "\n"


def sidecar(rows: list[dict]) -> str:
    described = {}
    entity_keys = set(entity_columns(r["name"] for r in rows))
    fixed = {column: (description, unit) for column, description, unit in COLUMNS}
    for column in columns_of(rows):
        if column in entity_keys:
            words = ENTITY_WORDS.get(column, "")
            described[column] = {"Description": f"The run's {column} entity{f' ({words})' if words else ''}, "
                                                f"the label after {column}- in its name; n/a when it has none."}
            continue
        description, unit = fixed[column]
        described[column] = {"Description": description} | ({"Units": unit} if unit else {})
    described["status"]["Levels"] = {"PASS": "the table fits the image", "WARN": "needs a look (see notes)",
                                     "FLAG": "the table's axes do not fit the image, or the "
                                             "table does not belong to it",
                                     "FAILED": "the run could not be audited, or its report cannot be read "
                                               "(see notes): the batch was not clean",
                                     "SKIPPED": "the image was left out of the batch: no table beside it nor "
                                                "inherited, or not a regular file (see notes)"}
    return json.dumps(described, indent=2) + "\n"


def write(out_dir: str, runs: list[tuple[str, dict]], failed: list[tuple[str, str]] = (),
          skipped: list[str] = ()) -> str:
    """Writes the table and its sidecar for (run name, engine report) pairs,
    (run name, why) of the runs without a usable report and discovery's lines
    for the images it left out, sorted by name; returns the table's path."""
    rows = ([row_of(name, report) for name, report in runs] + [failed_row(name, why) for name, why in failed]
            + [skipped_row(line) for line in skipped])
    rows.sort(key=lambda r: r["name"])
    path = os.path.join(out_dir, TSV_NAME)
    outputs.write_text(os.path.join(out_dir, SIDECAR_NAME), sidecar(rows))
    outputs.write_text(path, render(rows))
    return path
