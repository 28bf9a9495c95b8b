"""One verdict in every output: the terminal, --json, --out, --tracking-out,
the provenance, the repaired files and the exit status say the same status
and the same transform, for a flipped and a correct run, and every JSON
written matches its schema."""

import json

import pytest

from cli_runner import cli, image
from conftest import validate

EXIT = {"PASS": 0, "WARN": 3, "FLAG": 4}


# The shared scans' status and transform inside a whole-head mask, which blinds the coherence, not the tracking.
# (A thin-evidence run, on which the coherence FLAGs and the tracking cannot judge: test_cli's
# test_thin_evidence_is_a_warning_and_repairs_nothing.)
VERDICTS = {"flipped": ("FLAG", "-x+y+z"), "correct": ("PASS", None)}


@pytest.mark.parametrize("case", ["flipped", "correct"])
@pytest.mark.parametrize("command", ["audit", "detect-flip", "repair"])
def test_every_output_states_the_exit_status(tmp_path, scans, command, case):
    scan, (status, label) = scans[case], VERDICTS[case]
    files = {"--out": tmp_path / "report.json", "--tracking-out": tmp_path / "tracking.json"}
    if command == "repair":
        files |= {"--out-bvec": tmp_path / "f.bvec", "--out-bval": tmp_path / "f.bval",
                  "--provenance": tmp_path / "p.json"}
    args = [command, *image(scan, mask=True), *[a for pair in files.items() for a in pair]]
    printed = cli(*args, "--json")
    assert printed.returncode == EXIT[status], printed.stderr
    report, stored = json.loads(printed.stdout), json.loads(files["--out"].read_text())
    validate("tracking", files["--tracking-out"].read_text())
    for r in (report, stored):
        validate("engine-report", r)
        assert r["status"] == r["verdict"]["status"] == status
        assert r["verdict"]["recommended_label"] == label
    if command == "repair":
        assert (report.get("repair") or {}).get("label") == label
        assert files["--out-bvec"].exists() == (label is not None)
        if label:
            assert json.loads(files["--provenance"].read_text())["applied_label"] == label
    terminal = cli(*args, "--force")
    assert terminal.returncode == EXIT[status]
    assert terminal.stdout.startswith(f"status: {status}") and "tracking (whole fibres)" in terminal.stdout
    recommended = f": recommended transform {label} (x axis flipped)" if label else ""
    assert f"verdict on the axes: {status} by the tracking{recommended}" in terminal.stdout


def test_inspect_and_a_table_alone_go_through_the_verdict(tmp_path, scans):
    scan = scans["correct"]
    for command in ("inspect", "audit"):
        out = tmp_path / f"{command}.json"
        result = cli(command, "--bvec", scan["bvec"], "--bval", scan["bval"], "--json", "--out", out)
        report = json.loads(result.stdout)
        validate("engine-report", report)
        assert report == json.loads(out.read_text())
        assert result.returncode == EXIT[report["status"]] and report["verdict"]["axes"] is None
