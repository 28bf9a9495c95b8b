"""The `tarvix` command line, driven as a user drives it: in a subprocess."""

import json
import math
import os

import numpy as np
import pytest

tarvix = pytest.importorskip("tarvix")
from tarvix import _tarvix, synthetic  # noqa: E402

from cli_runner import cli, hiding, image  # noqa: E402

COMMANDS = ["inspect", "audit", "detect-flip", "repair", "recompute-bval", "bids", "demo"]
HIDE_MPL = hiding("matplotlib")


def same(a, b):
    """Equal JSON values; reals to the last few bits (coherence sums depend on
    how the work was split)."""
    if isinstance(a, float) and isinstance(b, float):
        return a == b or math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-15)
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def same_report(cli_text, module_text):
    a, b = json.loads(cli_text), json.loads(module_text)
    a.pop("timestamp"), b.pop("timestamp")
    return same(a, b)


@pytest.fixture(scope="module")
def small_scan(tmp_path_factory):
    """Too little white matter (142 voxels) for a verdict, flipped table."""
    folder = tmp_path_factory.mktemp("small")
    return synthetic.write_scan(str(folder), "small", shape=(16, 16, 12), transform="-x+y+z", seed=2)


def test_help_states_exit_status_and_the_evidence_minimum():
    assert "exit status:" in cli("--help").stdout
    for command in COMMANDS:
        result = cli(command, "--help")
        assert result.returncode == 0, command
        assert result.stdout.startswith(f"usage: tarvix {command}") and "exit status:" in result.stdout
    audit = cli("audit", "--help").stdout
    assert "4  FLAG: the table's axes do not fit the image" in audit
    assert "250 white-matter voxels" in audit and "200 trackable voxels" in audit and "--force-repair" in audit
    assert "When the tracking ran it decides" in audit and "--no-tracking" in audit


@pytest.mark.parametrize("args, message", [
    (["audit", "--bogus"], "unrecognized arguments: --bogus"),
    ([], "the following arguments are required: COMMAND"),
    (["inspect", "--bvec", "NO.bvec"], "missing --bval"),
    (["inspect", "--bval", "NO.bval"], "missing --bvec"),
    (["audit", "--grad", "NO.b", "--bvec", "NO.bvec"], "--grad replaces --bvec and --bval"),
    (["inspect", "--grad", "NO.b", "--tolerance", "0"], "--tolerance must be greater than 0, not 0"),
    (["inspect", "--grad", "NO.b", "--b0-threshold", "-1"], "--b0-threshold must be 0 or more, not -1"),
    (["inspect", "--grad", "NO.b", "--threads", "100000"], "100000 is more than 256"),
    (["audit", "--grad", "NO.b", "--dwi", "NO.nii", "--step", "0"], "--step must be greater than 0 voxels"),
    (["audit", "--grad", "NO.b", "--dwi", "NO.nii", "--margin-threshold", "1.5"], "at most 1, not 1.5"),
    (["audit", "--grad", "NO.b", "--png", "q.png"], "--profile and --png need --dwi"),
    (["audit", "--grad", "NO.b", "--tracking-out", "t.json"], "--tracking-out needs --dwi"),
    (["bids", "NO-SUCH-FOLDER"], "ROOT NO-SUCH-FOLDER does not exist"),
])
def test_usage_errors_exit_2_with_one_line_before_reading_a_file(tmp_path, args, message):
    result = cli(*args, cwd=tmp_path)
    assert result.returncode == 2, result.stderr
    assert result.stderr.count("\n") == 1 and message in result.stderr and "Traceback" not in result.stderr
    assert os.listdir(tmp_path) == []


def test_shell_and_bids_root_are_checked_against_what_exists(tmp_path, scan):
    table = ["--bvec", scan["bvec"], "--bval", scan["bval"]]
    result = cli("audit", "--dwi", scan["dwi"], *table, "--shell", "2000")
    assert result.returncode == 2
    assert "--shell 2000 matches no shell of the table; its diffusion-weighted shells are: b=1000" in result.stderr
    assert cli("audit", *table, "--shell", "1010").returncode == 0  # within the shell tolerance
    result = cli("bids", scan["bval"])
    assert result.returncode == 2 and f"ROOT {scan['bval']} is not a folder" in result.stderr


def test_errors_name_the_input(tmp_path, scan):
    missing = tmp_path / "missing.bval"
    result = cli("inspect", "--bvec", scan["bvec"], "--bval", missing)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr == (f"tarvix: error: I/O error: No such file or directory (os error 2), "
                             f"while reading --bval {missing}\n")
    table = ["--bvec", scan["bvec"], "--bval", scan["bval"]]
    result = cli("audit", "--dwi", scan["bvec"], *table)
    assert result.stderr.startswith("tarvix: error: NIfTI error: ")
    assert result.stderr.endswith(f", while reading --dwi {scan['bvec']}\n")
    result = cli("audit", "--dwi", scan["dwi"], "--mask", scan["bval"], *table)
    assert result.stderr.endswith(f", while reading --mask {scan['bval']}\n")

    swapped = cli("inspect", "--bvec", scan["bval"], "--bval", scan["bvec"])
    assert "look swapped (the b-vector file has three rows)" in swapped.stderr
    bvals, dirs = synthetic.make_scheme((1000.0,), 12, 2)
    synthetic.write_mrtrix(tmp_path / "t.b", bvals, dirs)
    mrtrix = cli("inspect", "--bvec", tmp_path / "t.b", "--bval", scan["bval"])
    assert "looks like an MRtrix gradient file ('x y z b' per line): give it with --grad" in mrtrix.stderr
    short = tmp_path / "short"
    synthetic.write_fsl(f"{short}.bvec", f"{short}.bval", bvals, dirs)
    result = cli("audit", "--dwi", scan["dwi"], "--bvec", f"{short}.bvec", "--bval", f"{short}.bval")
    assert result.stderr.endswith(f"between the table {short}.bvec and --dwi {scan['dwi']}\n")
    assert all(r.stderr.count("\n") == 1 for r in (swapped, mrtrix, result))


def test_json_output_and_exit_status(tmp_path, scan):
    options = [*image(scan), "--threads", "1"]
    module = _tarvix.audit(dwi=scan["dwi"], bvec=scan["bvec"], bval=scan["bval"], threads=1)
    assert json.loads(module)["status"] == "FLAG"

    out = tmp_path / "report.json"
    result = cli("audit", *options, "--json", "--out", out)
    assert result.returncode == 4  # FLAG fails a pipeline by default
    assert same_report(result.stdout, module) and same_report(out.read_text(), module)
    detect = cli("detect-flip", *options, "--json")
    assert detect.returncode == 4
    assert same_report(detect.stdout, _tarvix.detect_flip(dwi=scan["dwi"], bvec=scan["bvec"], bval=scan["bval"],
                                                          threads=1))
    alone = cli("audit", *options, "--no-tracking")
    assert alone.returncode == 4 and "decision FLAG: recommended transform -x+y+z (x axis flipped)" in alone.stdout
    profiled = cli("audit", *options, "--profile", "--json")
    assert same_report(profiled.stdout, module)
    assert "total" in profiled.stderr and "threads: 1" in profiled.stderr

    # WARN exits 3: amplitude-encoded vectors (half length) without --strict.
    bvals, dirs = synthetic.make_scheme((1000.0,), 12, 2)
    dirs[bvals > 0] *= 0.5
    synthetic.write_fsl(tmp_path / "amp.bvec", tmp_path / "amp.bval", bvals, dirs)
    amp = ["--bvec", tmp_path / "amp.bvec", "--bval", tmp_path / "amp.bval"]
    assert cli("inspect", *amp, "--json").returncode == 3
    strict = cli("inspect", *amp, "--strict")
    assert strict.returncode == 1 and strict.stderr.startswith("tarvix: error: amplitude-encoded bvecs (--strict): ")


@pytest.mark.parametrize("args, module_status, note", [
    (["--no-tracking"], "FLAG", "only 142 white-matter voxels: too few to judge the axes"),
    (["--no-tracking", "--step", "1000"], "PASS", "every axis transform scored 0"),
    ([], "FLAG", "the tracking cannot judge the axes: only 142 trackable voxels"),
])
def test_thin_evidence_is_a_warning(small_scan, args, module_status, note):
    result = cli("audit", *image(small_scan), *args)
    assert result.returncode == 3, result.stderr
    meaning = ("the axes cannot be judged with confidence" if not args
               else f"the evidence is too thin for the module's {module_status}")
    assert result.stdout.startswith(f"status: WARN — {meaning}")
    assert note in result.stdout and "tarvix repair" not in result.stdout
    as_json = cli("detect-flip", *image(small_scan), *args, "--json")
    assert as_json.returncode == 3 and json.loads(as_json.stdout)["status"] == module_status
    assert note in as_json.stderr


def test_repair_writes_backs_up_and_refuses(tmp_path, scan):
    args = ["repair", *image(scan), "--out-bvec", tmp_path / "fixed.bvec", "--out-bval", tmp_path / "fixed.bval",
            "--provenance", tmp_path / "prov.json"]
    result = cli(*args, "--json")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["repair"]["outputs"] == [str(tmp_path / "fixed.bvec"), str(tmp_path / "fixed.bval")]

    refused = cli(*args)
    assert refused.returncode == 1
    assert refused.stderr == (f"tarvix: error: refusing to overwrite existing file: {tmp_path / 'fixed.bvec'} "
                              "(pass --force to allow)\n")
    forced = cli(*args, "--force")
    assert forced.returncode == 0
    assert f"the old {tmp_path / 'fixed.bvec'} is now {tmp_path / 'fixed.bvec.bak'}" in forced.stdout
    assert {"fixed.bvec.bak", "fixed.bval.bak", "prov.json.bak"} <= set(os.listdir(tmp_path))
    assert cli(*args, "--force").returncode == 0 and (tmp_path / "fixed.bvec.bak.1").exists()


@pytest.mark.parametrize("measure", [[], ["--no-tracking"]])  # the module writes nothing / the CLI takes it back
def test_repair_keeps_no_transform_on_thin_evidence(tmp_path, small_scan, measure):
    args = ["repair", *image(small_scan), "--out-bvec", tmp_path / "f.bvec", "--out-bval", tmp_path / "f.bval",
            "--provenance", tmp_path / "p.json", *measure]
    result = cli(*args)
    assert result.returncode == 3 and "evidence is too thin to apply it" in result.stdout
    assert os.listdir(tmp_path) == []
    forced = cli(*args, "--force-repair")
    assert forced.returncode == 0 and sorted(os.listdir(tmp_path)) == ["f.bval", "f.bvec", "p.json"]


def test_recompute_bval(tmp_path, scan):
    bvals, dirs = synthetic.make_scheme((1000.0,), 12, 2)
    dirs[bvals > 0] *= np.sqrt(np.linspace(0.25, 1.0, int((bvals > 0).sum())))[:, None]
    synthetic.write_fsl(tmp_path / "amp.bvec", tmp_path / "amp.bval", bvals, dirs)
    out = ["--out-bvec", tmp_path / "new.bvec", "--out-bval", tmp_path / "new.bval"]
    args = ["recompute-bval", "--bvec", tmp_path / "amp.bvec", "--bval", tmp_path / "amp.bval", *out]
    result = cli(*args, "--json")
    assert result.returncode == 0, result.stderr
    summary = json.loads(result.stdout)
    assert summary["outputs"] == [str(tmp_path / "new.bvec"), str(tmp_path / "new.bval")]
    assert math.isclose(summary["b_min"], 250.0, rel_tol=1e-3) and (tmp_path / "new.bval").exists()
    assert cli(*args).returncode == 1  # outputs exist now

    unit = ["recompute-bval", "--bvec", scan["bvec"], "--bval", scan["bval"], "--out-bvec", tmp_path / "u.bvec",
            "--out-bval", tmp_path / "u.bval"]
    refused = cli(*unit)
    assert refused.returncode == 1 and "has unit length: nothing to recover" in refused.stderr
    assert not (tmp_path / "u.bvec").exists()
    assert cli(*unit, "--force").returncode == 0


def test_bids_exit_status_the_worst_run_decides(tmp_path):
    root = tmp_path / "ds"
    synthetic.write_scan(str(root / "sub-01" / "dwi"), "sub-01_dwi", shape=(24, 24, 16), seed=3)
    assert cli("bids", root).returncode == 0
    synthetic.write_scan(str(root / "sub-02" / "dwi"), "sub-02_dwi", shape=(16, 16, 12), seed=4)
    thin = cli("bids", root)
    assert thin.returncode == 3 and "WARN  sub-02_dwi" in thin.stdout and ": too few to" in thin.stdout
    synthetic.write_scan(str(root / "sub-03" / "dwi"), "sub-03_dwi", shape=(24, 24, 16), seed=5, transform="-x+y+z")
    human = cli("bids", root)
    assert human.returncode == 4  # one FLAG, one WARN: FLAG decides
    assert "FLAG  sub-03_dwi" in human.stdout and "PASS  sub-01_dwi" not in human.stdout
    assert cli("bids", root, "--fail-on", "flag").returncode == 4
    (tmp_path / "empty").mkdir()
    assert cli("bids", tmp_path / "empty").returncode == 1


def test_png_needs_matplotlib(tmp_path, scan):
    result = cli("detect-flip", *image(scan), "--png", tmp_path / "q.png", prelude=HIDE_MPL)
    assert (result.returncode, result.stderr) == (1, "tarvix: error: --png needs matplotlib, which is not "
                                                     "installed; install it with: pip install 'tarvix[viz]'\n")


def test_demo(tmp_path):
    # matplotlib hidden: the picture is the one step the demo may skip (and the slow one).
    demo = cli("demo", "--dir", tmp_path, prelude=HIDE_MPL)
    assert demo.returncode == 0, demo.stderr
    assert "2. audit: FLAG" in demo.stdout and "4. audit of the repaired table: PASS" in demo.stdout
    assert "QC picture skipped: matplotlib is not installed" in demo.stdout
    assert {"demo_fixed.bvec", "demo_fixed.bval", "provenance.json", "repair.json"} <= set(os.listdir(tmp_path))
    again = cli("demo", "--dir", tmp_path, prelude=HIDE_MPL)
    assert again.returncode == 1 and "refusing to overwrite existing file" in again.stderr
    assert cli("demo", "--dir", tmp_path, "--force", prelude=HIDE_MPL).returncode == 0
    assert (tmp_path / "repair.json.bak").exists()
