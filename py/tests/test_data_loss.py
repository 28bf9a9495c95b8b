"""No call may destroy a file it was not asked to replace: outputs that are one
file, a provenance record over a table, a batch that clears its outputs
before rejecting its settings."""

import importlib.util
import json
import os
import shutil

import pytest

tarvix = pytest.importorskip("tarvix")
from tarvix import _tarvix, synthetic  # noqa: E402

from cli_runner import cli  # noqa: E402

HAS_MPL = importlib.util.find_spec("matplotlib") is not None


def _spellings(tmp_path, scan):
    """(out_bvec, out_bval, out_grad, provenance, expected message) for each way
    of naming one file twice."""
    a = str(tmp_path / "a.bvec")
    alias = os.path.join(str(tmp_path), ".", "sub", "..", "a.bvec")
    (tmp_path / "sub").mkdir(exist_ok=True)
    link = str(tmp_path / "link.bval")
    if not os.path.lexists(link):
        os.symlink(scan["bval"], link)
    return [
        (a, a, None, None, "out_bvec and out_bval are the same file"),
        (a, alias, None, None, "out_bvec and out_bval are the same file"),
        (a, str(tmp_path / "b.bval"), a, None, "out_bvec and out_grad are the same file"),
        (a, str(tmp_path / "b.bval"), None, alias, "out_bvec and provenance are the same file"),
        (a, str(tmp_path / "b.bval"), None, scan["bvec"], "provenance is the same file as the input"),
        (a, str(tmp_path / "b.bval"), None, link, "provenance is the same file as the input"),
    ]


@pytest.mark.parametrize("function", ["repair", "recompute_bval"])
@pytest.mark.parametrize("case", range(6))
def test_one_file_named_twice_is_refused_before_anything_is_written(tmp_path, scan, function, case):
    out_bvec, out_bval, out_grad, provenance, message = _spellings(tmp_path, scan)[case]
    before = {p: open(p, "rb").read() for p in (scan["bvec"], scan["bval"])}
    kwargs = dict(bvec=scan["bvec"], bval=scan["bval"], out_bvec=out_bvec, out_bval=out_bval, out_grad=out_grad,
                  provenance=provenance, in_place=True)
    if function == "repair":
        kwargs["dwi"] = scan["dwi"]
    with pytest.raises(ValueError, match=message):
        getattr(_tarvix, function)(**kwargs)
    assert {p: open(p, "rb").read() for p in before} == before
    assert sorted(os.listdir(tmp_path)) == ["link.bval", "sub"]


def test_batch_rejects_its_settings_before_touching_earlier_results(tmp_path):
    root = tmp_path / "ds"
    synthetic.write_scan(str(root / "sub-01" / "dwi"), "sub-01_dwi", shape=(12, 12, 8), seed=3)
    first = json.loads(_tarvix.audit_bids(str(root), threads=1))
    summary = first["summary_path"]
    kept = open(summary, encoding="utf-8").read()
    for value in (0.0, 1.5, float("nan")):
        with pytest.raises(ValueError, match=r"^margin threshold must be finite and in \(0, 1\]: "):
            _tarvix.audit_bids(str(root), margin_threshold=value, threads=1)
        assert open(summary, encoding="utf-8").read() == kept


# --- the command line, as a user runs it ----------------------------------------

FAIL_PNG = ("import sys; from tarvix import qcplot, cli\n"
            "def broken(*a, **k): raise OSError(28, 'No space left on device')\n"
            "qcplot.write_png = broken\n"
            "sys.exit(cli.main(sys.argv[1:]))")


def _snapshot(folder):
    return {name: open(os.path.join(folder, name), "rb").read() for name in sorted(os.listdir(folder))
            if os.path.isfile(os.path.join(folder, name))}


@pytest.fixture
def job(tmp_path, scan):
    """A copy of the scan in its own folder, and the command pieces naming it."""
    for key in ("dwi", "bvec", "bval"):
        shutil.copy(scan[key], tmp_path / os.path.basename(scan[key]))
    files = {k: str(tmp_path / os.path.basename(scan[k])) for k in ("dwi", "bvec", "bval")}
    os.link(files["bval"], tmp_path / "hard.bval")
    os.symlink(files["bvec"], tmp_path / "soft.bvec")
    image = ["--dwi", files["dwi"], "--bvec", files["bvec"], "--bval", files["bval"]]
    return tmp_path, files, image


@pytest.mark.parametrize("command, outputs, message", [
    ("audit", ["--png", "{dwi}"], "--png {dwi} is the input --dwi {dwi}"),
    ("audit", ["--out", "{bvec}"], "--out {bvec} is the input --bvec {bvec}"),
    ("audit", ["--out", "{dir}/soft.bvec"], "is the input --bvec {bvec}"),
    ("audit", ["--tracking-out", "{bval}"], "is the input --bval {bval}"),
    ("detect-flip", ["--out", "{dir}/r.json", "--png", "{dir}/sub/../r.json"], "--out and --png are the same file"),
    ("repair", ["--out-bvec", "{dir}/x", "--out-bval", "{dir}/x"], "--out-bvec and --out-bval are the same file"),
    ("repair", ["--out-bvec", "{dir}/f.bvec", "--out-bval", "{dir}/hard.bval"], "is the input --bval {bval}"),
    ("repair", ["--out-bvec", "{dir}/f.bvec", "--out-bval", "{dir}/f.bval", "--provenance", "{bvec}"],
     "--provenance {bvec} is the input --bvec"),
    ("repair", ["--out-bvec", "{dir}/f.bvec", "--out-bval", "{dir}/f.bval", "--out", "{dir}/f.bvec"],
     "--out-bvec and --out are the same file"),
])
def test_an_output_never_lands_on_an_input_or_another_output(job, command, outputs, message):
    folder, files, image = job
    (folder / "sub").mkdir()
    fill = dict(files, dir=str(folder))
    before = _snapshot(folder)
    result = cli(command, *image, *[o.format(**fill) for o in outputs], "--force")
    assert result.returncode == 1, result.stderr
    assert message.format(**fill) in result.stderr and result.stderr.count("\n") == 1
    assert _snapshot(folder) == before


@pytest.mark.skipif(not HAS_MPL, reason="matplotlib is not installed")
def test_a_failing_picture_takes_back_the_repair(job):
    folder, files, image = job
    (folder / "f.bvec").write_text("old\n")
    args = ["repair", *image, "--out-bvec", folder / "f.bvec", "--out-bval", folder / "f.bval",
            "--provenance", folder / "p.json", "--out", folder / "r.json", "--png", folder / "q.png", "--force"]
    before = _snapshot(folder)
    result = cli(*args, prelude=FAIL_PNG)
    assert result.returncode == 1 and "No space left on device" in result.stderr
    assert _snapshot(folder) == before
    assert cli(*args).returncode == 0  # nothing left behind to refuse a rerun
    assert (folder / "f.bvec.bak").read_text() == "old\n"


@pytest.mark.parametrize("command", ["repair", "recompute-bval"])
def test_a_dry_run_writes_nothing(job, command):
    folder, files, image = job
    table = image if command == "repair" else image[2:]
    extra = ["--png", folder / "q.png"] if command == "repair" and HAS_MPL else []
    before = _snapshot(folder)
    result = cli(command, *table, "--out-bvec", folder / "f.bvec", "--out-bval", folder / "f.bval",
                 "--provenance", folder / "p.json", "--out", folder / "r.json", *extra, "--dry-run", "--force")
    assert result.returncode == 0, result.stderr
    assert _snapshot(folder) == before


def test_bids_audits_a_run_once_however_many_links_reach_it(tmp_path):
    root = tmp_path / "ds"
    synthetic.write_scan(str(root / "sub-01" / "dwi"), "sub-01_dwi", shape=(24, 24, 16), seed=3)
    for level in range(4):
        here = root / f"L{level}"
        here.mkdir()
        for name in ("a", "b"):
            os.symlink(f"../L{level + 1}" if level < 3 else "../sub-01", here / name)
    result = cli("bids", root, "--json")
    assert result.returncode == 0, result.stderr
    assert [r["name"] for r in json.loads(result.stdout)["results"]] == ["sub-01_dwi"]


def test_demo_refuses_a_file_as_its_folder(tmp_path):
    target = tmp_path / "notes.txt"
    target.write_text("keep\n")
    result = cli("demo", "--dir", target)
    assert result.returncode == 1 and result.stderr == (
        f"tarvix: error: --dir {target} is a file, not a folder: give a folder for the demo files\n")
    assert target.read_text() == "keep\n"
