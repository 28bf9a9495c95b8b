"""The `tarvix` command line, driven as a user drives it: in a subprocess."""

import importlib.util
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

tarvix = pytest.importorskip("tarvix")
from tarvix import _tarvix, synthetic  # noqa: E402

HAS_MPL = importlib.util.find_spec("matplotlib") is not None
COMMANDS = ["inspect", "audit", "detect-flip", "repair", "recompute-bval", "bids", "demo"]


def cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "tarvix", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=120)


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


def not_built(result):
    if "not built yet" in result.stderr:
        pytest.skip(result.stderr.strip())


@pytest.fixture(scope="module")
def scan(tmp_path_factory):
    """A small phantom whose FSL table has its first axis flipped."""
    folder = tmp_path_factory.mktemp("scan")
    return synthetic.write_scan(str(folder), "scan", shape=(16, 16, 12), transform="-x+y+z", seed=2)


def test_help_and_usage_errors():
    top = cli("--help")
    assert top.returncode == 0 and "exit status:" in top.stdout
    for command in COMMANDS:
        result = cli(command, "--help")
        assert result.returncode == 0, command
        assert result.stdout.startswith(f"usage: tarvix {command}") and "exit status:" in result.stdout
    assert "4  FLAG with --fail-on flag" in cli("audit", "--help").stdout

    for args in (["audit", "--bogus"], ["detect-flip", "--bvec", "x"], ["inspect", "--threads", "0"],
                 ["audit", "--bvec", "a", "--bval", "b", "--png", "q.png"], []):
        result = cli(*args)
        assert result.returncode == 2, args
        assert "usage: tarvix" in result.stderr and "Traceback" not in result.stderr


def test_errors_are_one_line_and_name_the_input(tmp_path, scan):
    missing = tmp_path / "missing.bval"
    result = cli("inspect", "--bvec", scan["bvec"], "--bval", missing)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr == (f"tarvix: error: I/O error: No such file or directory (os error 2), "
                             f"while reading --bval {missing}\n")
    # Both missing: the module reads the b-values first, and so does the message.
    result = cli("audit", "--bvec", tmp_path / "no.bvec", "--bval", missing)
    assert result.stderr.endswith(f"while reading --bval {missing}\n")
    result = cli("inspect", "--bvec", tmp_path, "--bval", scan["bval"])
    assert result.stderr == f"tarvix: error: I/O error: Is a directory (os error 21), while reading --bvec {tmp_path}\n"

    result = cli("inspect", "--bvec", scan["bvec"])
    assert (result.returncode, result.stderr) == (1, "tarvix: error: provide bvec and bval, or grad\n")
    # Without matplotlib, --png fails up front with a hint.
    hide = "import sys; sys.modules['matplotlib'] = None; from tarvix.cli import main; sys.exit(main(sys.argv[1:]))"
    result = subprocess.run([sys.executable, "-c", hide, "detect-flip", "--dwi", scan["dwi"], "--bvec", scan["bvec"],
                             "--bval", scan["bval"], "--png", str(tmp_path / "q.png")], capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (1, "tarvix: error: --png needs matplotlib, which is not "
                                                     "installed; install it with: pip install 'tarvix[viz]'\n")
    result = cli("audit", "--dwi", scan["dwi"], "--bvec", scan["bvec"], "--bval", scan["bval"],
                 "--margin-threshold", "1.5")
    assert (result.returncode, result.stderr) == (
        1, "tarvix: error: margin threshold must be finite and in (0, 1]: 1.5\n")


def test_json_output_exit_codes_and_out_file(tmp_path, scan):
    table = ["--bvec", scan["bvec"], "--bval", scan["bval"]]
    image = ["--dwi", scan["dwi"], *table, "--threads", "1"]
    module = _tarvix.audit(dwi=scan["dwi"], bvec=scan["bvec"], bval=scan["bval"], threads=1)
    assert json.loads(module)["status"] == "FLAG"

    out = tmp_path / "report.json"
    result = cli("audit", *image, "--json", "--out", out)
    assert result.returncode == 0  # FLAG alone does not fail a run
    assert same_report(result.stdout, module)
    assert same_report(out.read_text(), module)

    assert cli("audit", *image, "--fail-on", "flag").returncode == 4
    detect = cli("detect-flip", *image, "--json")
    assert detect.returncode == 0
    assert same_report(detect.stdout, _tarvix.detect_flip(dwi=scan["dwi"], bvec=scan["bvec"], bval=scan["bval"],
                                                          threads=1))

    summary = cli("audit", *image)
    assert summary.stdout.startswith("status: FLAG")
    assert "decision FLAG: recommended transform -x+y+z" in summary.stdout and "b=1000 ×" in summary.stdout

    profiled = cli("audit", *image, "--profile", "--json")
    assert same_report(profiled.stdout, module)
    assert "total" in profiled.stderr and "threads: 1" in profiled.stderr

    # WARN exits 3: amplitude-encoded vectors (half length) without --strict.
    bvals, dirs = synthetic.make_scheme((1000.0,), 12, 2)
    dirs[bvals > 0] *= 0.5
    synthetic.write_fsl(tmp_path / "amp.bvec", tmp_path / "amp.bval", bvals, dirs)
    amp = ["--bvec", tmp_path / "amp.bvec", "--bval", tmp_path / "amp.bval"]
    warn = cli("inspect", *amp, "--json")
    assert warn.returncode == 3
    assert same_report(warn.stdout, _tarvix.inspect(bvec=str(tmp_path / "amp.bvec"), bval=str(tmp_path / "amp.bval")))
    strict = cli("inspect", *amp, "--strict")
    assert strict.returncode == 1 and strict.stderr.startswith("tarvix: error: amplitude-encoded bvecs (--strict): ")


def test_repair_writes_files_and_refuses_to_overwrite(tmp_path, scan):
    args = ["repair", "--dwi", scan["dwi"], "--bvec", scan["bvec"], "--bval", scan["bval"],
            "--out-bvec", tmp_path / "fixed.bvec", "--out-bval", tmp_path / "fixed.bval",
            "--provenance", tmp_path / "prov.json"]
    dry = cli(*args, "--dry-run", "--json")
    not_built(dry)
    assert dry.returncode == 0 and json.loads(dry.stdout)["repair"]["outputs"] == []
    assert not (tmp_path / "fixed.bvec").exists()

    result = cli(*args, "--json")
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["repair"]["label"] == "-x+y+z"
    assert report["repair"]["outputs"] == [str(tmp_path / "fixed.bvec"), str(tmp_path / "fixed.bval")]
    assert (tmp_path / "prov.json").exists()
    written = np.loadtxt(tmp_path / "fixed.bvec")
    np.testing.assert_allclose(written, np.loadtxt(scan["bvec"]) * [[-1.0], [1.0], [1.0]], atol=1e-9)

    refused = cli(*args)
    assert refused.returncode == 1
    assert refused.stderr == (f"tarvix: error: refusing to overwrite existing file: {tmp_path / 'fixed.bvec'} "
                              "(pass --force to allow)\n")
    forced = cli(*args, "--force")
    assert forced.returncode == 0
    assert f"the old {tmp_path / 'fixed.bvec'} is now {tmp_path / 'fixed.bvec.bak'}" in forced.stdout
    assert (tmp_path / "fixed.bvec.bak").exists() and (tmp_path / "fixed.bval.bak").exists()

    again = cli("audit", "--dwi", scan["dwi"], "--bvec", tmp_path / "fixed.bvec", "--bval", tmp_path / "fixed.bval")
    assert again.returncode == 0 and again.stdout.startswith("status: PASS")


def test_recompute_bval(tmp_path):
    bvals, dirs = synthetic.make_scheme((1000.0,), 12, 2)
    dirs[bvals > 0] *= np.sqrt(np.linspace(0.25, 1.0, int((bvals > 0).sum())))[:, None]
    synthetic.write_fsl(tmp_path / "amp.bvec", tmp_path / "amp.bval", bvals, dirs)
    args = ["recompute-bval", "--bvec", tmp_path / "amp.bvec", "--bval", tmp_path / "amp.bval",
            "--out-bvec", tmp_path / "new.bvec", "--out-bval", tmp_path / "new.bval"]
    result = cli(*args, "--json")
    not_built(result)
    assert result.returncode == 0, result.stderr
    summary = json.loads(result.stdout)
    assert summary["outputs"] == [str(tmp_path / "new.bvec"), str(tmp_path / "new.bval")]
    assert math.isclose(summary["b_min"], 250.0, rel_tol=1e-3) and (tmp_path / "new.bval").exists()
    assert cli(*args).returncode == 1  # outputs exist now


def test_bids_exit_code_follows_the_summary(tmp_path):
    root = tmp_path / "ds"
    synthetic.write_scan(str(root / "sub-01" / "dwi"), "sub-01_dwi", shape=(16, 16, 12), seed=3)
    synthetic.write_scan(str(root / "sub-02" / "dwi"), "sub-02_dwi", shape=(16, 16, 12), seed=4,
                         transform="-x+y+z")
    result = cli("bids", root, "--json", "--threads", "1")
    assert result.returncode == 0  # a FLAG batch: the summary's exit code is 0
    assert same(json.loads(result.stdout), json.loads(_tarvix.audit_bids(str(root), threads=1)))
    assert cli("bids", root, "--fail-on", "flag").returncode == 4
    human = cli("bids", root)
    assert "FLAG  sub-02_dwi" in human.stdout and "sub-01_dwi" not in human.stdout  # not a terminal: no progress
    assert cli("bids", tmp_path / "empty").returncode == 1


@pytest.mark.skipif(not HAS_MPL, reason="matplotlib is not installed")
def test_png(tmp_path, scan):
    png = tmp_path / "qc.png"
    result = cli("detect-flip", "--dwi", scan["dwi"], "--bvec", scan["bvec"], "--bval", scan["bval"], "--png", png)
    assert result.returncode == 0 and f"QC picture: {png}" in result.stdout
    data = png.read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 50_000
    assert int.from_bytes(data[16:20], "big") >= 1200  # wide enough to read at 100 %


def test_demo(tmp_path):
    # matplotlib hidden: the picture is the one step the demo may skip (and the slow one).
    hide = "import sys; sys.modules['matplotlib'] = None; from tarvix.cli import main; sys.exit(main(sys.argv[1:]))"
    demo = subprocess.run([sys.executable, "-c", hide, "demo", "--dir", str(tmp_path)], capture_output=True,
                          text=True, timeout=120)
    not_built(demo)
    assert demo.returncode == 0, demo.stderr
    assert "2. audit: FLAG" in demo.stdout and "4. audit of the repaired table: PASS" in demo.stdout
    assert "QC picture skipped: matplotlib is not installed" in demo.stdout
    assert {"demo_fixed.bvec", "demo_fixed.bval", "provenance.json", "repair.json"} <= set(os.listdir(tmp_path))
