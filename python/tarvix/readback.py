"""What the group level reads back from an output folder. The folder may be
someone else's, a copy, or half-written by a batch that was killed, so nothing
in it is trusted: a file is read only when it is a regular file of a sane
size, and a report is used only when every field the group level shows has
the type it is shown as and its two statuses agree. Anything else makes the
run unreadable, with the reason, and never ends the group level."""

from __future__ import annotations

import json
import math
import os
import stat

REPORT_LIMIT = 64 << 20  # a report of the largest scheme is a few megabytes
STATUSES = ("PASS", "WARN", "FLAG")


class Unreadable(ValueError):
    """Why a file of the folder cannot be used, in words for its reader."""


def _kind(mode: int) -> str:
    for test, word in ((stat.S_ISDIR, "a folder"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return word
    return "not a regular file"


def _reject_constant(name: str):
    raise ValueError(f"{name} is not a JSON number")


def read_json(path: str, limit: int = REPORT_LIMIT):
    """The JSON value of the regular file at PATH. Opened without waiting (a
    FIFO would hold the batch forever) and checked on the open file, so a
    link to a device or a file swapped in since the listing is refused before
    a byte is read; at most `limit` bytes are ever read."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise Unreadable(f"cannot be opened: {e.strerror or e}") from None
    with os.fdopen(fd, "rb") as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise Unreadable(f"is {_kind(st.st_mode)}, not a regular file")
        if st.st_size > limit:
            raise Unreadable(f"is {st.st_size} bytes, more than the {limit >> 20} MiB a report may have")
        try:
            data = f.read(limit + 1)
        except OSError as e:
            raise Unreadable(f"cannot be read: {e.strerror or e}") from None
    if len(data) > limit:
        raise Unreadable(f"grew past the {limit >> 20} MiB a report may have while it was read")
    try:
        return json.loads(data.decode("utf-8"), parse_constant=_reject_constant)
    except UnicodeDecodeError:
        raise Unreadable("is not UTF-8 text") from None
    except RecursionError:
        raise Unreadable("nests its JSON too deeply") from None
    except ValueError as e:
        raise Unreadable(f"is not valid JSON ({e})") from None


# What the group level shows of a report, by path ("*": each item of a list or
# value of an object), and the type it shows it as; "?" also admits null. A
# field may be absent unless REQUIRED; what is not listed is never shown and
# not checked.
_MEASURE = {"": "obj?", ".relative_margin": "num?", ".margin_spread": "num?", ".margin_threshold": "num",
            ".decision": "str?", ".best": "obj?", ".runner_up": "obj?", ".best.label": "str?",
            ".runner_up.label": "str?"}
REPORT_FIELDS = {
    "notes": "[str]", "inputs": "list", "inputs.*": "obj", "inputs.*.path": "str",
    "scheme": "obj", "scheme.bvals": "list",
    "source": "obj", "source.name": "str", "source.dwi": "str",
    "mask": "obj?", "mask.path": "str?", "mask.note": "str?",
    "cross_run": "obj?", "cross_run.note": "str?", "written_tables": "[str]",
    "verdict": "obj", "verdict.notes": "[str]", "verdict.thin_reasons": "[str]?",
    **{f"verdict.{key}": "str?" for key in ("axes", "recommended_label", "recommended_words", "decided_by",
                                             "best_label")},
    "verdict.lead": "num?", "verdict.lead_spread": "num?",
    "consistency": "obj?", "consistency.status": "str?", "consistency.tests": "obj?", "consistency.tests.*": "obj",
    "consistency.tests.*.status": "str?", "consistency.tests.*.findings": "[str]?",
    **{f"tracking{key}": kind for key, kind in _MEASURE.items()},
    "tracking.best.mean_length_mm": "num?", "tracking.best.n_streamlines": "num?",
    "tracking.runner_up.mean_length_mm": "num?", "tracking.runner_up.n_streamlines": "num?",
    "tracking.n_trackable": "num?",
    **{f"flip{key}": kind for key, kind in _MEASURE.items()},
    "flip.best.coherence": "num?", "flip.best.n_samples": "num?", "flip.runner_up.coherence": "num?",
    "flip.runner_up.n_samples": "num?", "flip.n_wm_voxels": "num?", "flip.working_b": "num?",
}
# What every report a batch writes has; one without is not whole.
REQUIRED = ("status", "verdict", "notes", "inputs", "scheme")
_WORDS = {"str": "a string", "num": "a finite number", "obj": "an object", "list": "a list",
          "[str]": "a list of strings"}


def _json_type(value) -> str:
    for kind, word in ((type(None), "null"), (bool, "a boolean"), (str, "a string"), (dict, "an object"),
                       (list, "a list")):
        if isinstance(value, kind):
            return word
    return "a number"


def _is(value, kind: str) -> bool:
    if kind.endswith("?"):
        return value is None or _is(value, kind[:-1])
    if kind == "str":
        return isinstance(value, str)
    if kind == "num":
        return (isinstance(value, (int, float)) and not isinstance(value, bool) and abs(value) < 1e300
                and math.isfinite(value))
    if kind == "obj":
        return isinstance(value, dict)
    if kind == "list":
        return isinstance(value, list)
    return isinstance(value, list) and all(isinstance(v, str) for v in value)


def _at(record, parts: list[str], where: str = ""):
    """(path, value) of each value at the path's parts that is present."""
    if not parts:
        yield where, record
        return
    head, rest = parts[0], parts[1:]
    if head == "*":
        items = enumerate(record) if isinstance(record, list) else record.items() if isinstance(record, dict) else ()
    else:
        items = [(head, record[head])] if isinstance(record, dict) and head in record else []
    for key, value in items:
        yield from _at(value, rest, f"{where}.{key}" if where else str(key))


def _shown(value) -> str:
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= 40 else text[:37] + "..."


def problem(report) -> str | None:
    """Why a report cannot be shown, or None when it can."""
    if not isinstance(report, dict):
        return f"holds {_json_type(report)}, not a report object"
    if report.get("tool") != "tarvix":
        return "is not a tarvix report (its tool is not tarvix)"
    missing = [key for key in REQUIRED if key not in report]
    if missing:
        return f"has no {' and no '.join(missing)}: it is not a whole report"
    status = report["status"]
    if status not in STATUSES:
        return f"has the status {_shown(status)}, which is none of PASS, WARN and FLAG"
    for path, kind in REPORT_FIELDS.items():
        for where, value in _at(report, path.split(".")):
            if not _is(value, kind):
                return f"has {_json_type(value)} as {where}, where {_WORDS[kind.rstrip('?')]} belongs"
    judged = report["verdict"].get("status")
    if judged not in STATUSES:
        return f"has the verdict status {_shown(judged)}, which is none of PASS, WARN and FLAG"
    if judged != status:
        # Shown as either, the run would be PASS in one place and FLAG in another.
        return f"is inconsistent: its status is {status} but its verdict's is {judged}"
    name = (report.get("source") or {}).get("name")
    if name is not None and ("/" in name or "\0" in name or name in ("", ".", "..")):
        return f"names its run {_shown(name)}, which is not a file name"
    for table in report.get("written_tables", []):
        if os.path.isabs(table) or ".." in table.split("/"):
            return f"lists the table {_shown(table)}, which is outside the output folder"
    return None


def report(path: str) -> dict:
    """The report at PATH when the group level can show it; raises Unreadable."""
    record = read_json(path)
    why = problem(record)
    if why is not None:
        raise Unreadable(why)
    return record
