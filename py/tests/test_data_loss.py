"""No call may destroy a file it was not asked to replace: outputs that are one
file, a provenance record over a table, an output over an input, a picture
that fails after the repair, a dry run. (A batch that rejects its settings:
test_bids_batch; an interrupted batch: test_bids_parallel.)"""

import importlib.util
import os
import shutil

import pytest

from tarvix import _tarvix

from cli_runner import cli, image
from conftest import snapshot

HAS_MPL = importlib.util.find_spec("matplotlib") is not None


@pytest.mark.parametrize("function", ["repair", "recompute_bval"])
@pytest.mark.parametrize("out_bval, out_grad, provenance, message", [
    # The same file by another spelling, or through a link (a plain repeat is caught with these).
    ("{alias}", None, None, "out_bvec and out_bval are the same file"),
    ("{b}", "{a}", None, "out_bvec and out_grad are the same file"),
    ("{b}", None, "{alias}", "out_bvec and provenance are the same file"),
    ("{b}", None, "{bvec}", "provenance is the same file as the input"),
    ("{b}", None, "{link}", "provenance is the same file as the input"),
])
def test_one_file_named_twice_is_refused_before_anything_is_written(tmp_path, scan, function, out_bval, out_grad,
                                                                    provenance, message):
    (tmp_path / "sub").mkdir()
    os.symlink(scan["bval"], tmp_path / "link.bval")
    names = dict(a=tmp_path / "a.bvec", alias=f"{tmp_path}/./sub/../a.bvec", b=tmp_path / "b.bval",
                 bvec=scan["bvec"], link=tmp_path / "link.bval")
    before = {p: open(p, "rb").read() for p in (scan["bvec"], scan["bval"])}
    kwargs = dict(bvec=scan["bvec"], bval=scan["bval"], out_bvec=str(names["a"]), in_place=True,
                  **{k: v and v.format(**names) for k, v in
                     dict(out_bval=out_bval, out_grad=out_grad, provenance=provenance).items()})
    if function == "repair":
        kwargs["dwi"] = scan["dwi"]
    with pytest.raises(ValueError, match=message):
        getattr(_tarvix, function)(**kwargs)
    assert {p: open(p, "rb").read() for p in before} == before
    assert sorted(os.listdir(tmp_path)) == ["link.bval", "sub"]


# --- the command line, as a user runs it ----------------------------------------

FAIL_PNG = ("import sys; from tarvix import qcplot, cli\n"
            "def broken(*a, **k): raise OSError(28, 'No space left on device')\n"
            "qcplot.write_png = broken\n"
            "sys.exit(cli.main(sys.argv[1:]))")


@pytest.fixture
def job(tmp_path, scan):
    """A copy of the scan in its own folder (with a hard link to its bval and a
    symbolic one to its bvec), and the command pieces naming it."""
    files = {key: shutil.copy(scan[key], tmp_path) for key in ("dwi", "bvec", "bval")}
    os.link(files["bval"], tmp_path / "hard.bval")
    os.symlink(files["bvec"], tmp_path / "soft.bvec")
    return tmp_path, files, image(files)


@pytest.mark.parametrize("command, outputs, message", [
    ("audit", ["--png", "{dwi}"], "--png {dwi} is the input --dwi {dwi}"),
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
    folder, files, inputs = job
    (folder / "sub").mkdir()
    fill = dict(files, dir=str(folder))
    before = snapshot(folder)
    result = cli(command, *inputs, *[o.format(**fill) for o in outputs], "--force")
    assert result.returncode == 1, result.stderr
    assert message.format(**fill) in result.stderr and result.stderr.count("\n") == 1
    assert snapshot(folder) == before


@pytest.mark.skipif(not HAS_MPL, reason="matplotlib is not installed")
def test_a_failing_picture_takes_back_the_repair(job):
    folder, files, inputs = job
    (folder / "f.bvec").write_text("old\n")
    args = ["repair", *inputs, "--out-bvec", folder / "f.bvec", "--out-bval", folder / "f.bval",
            "--provenance", folder / "p.json", "--out", folder / "r.json", "--png", folder / "q.png", "--force"]
    before = snapshot(folder)
    result = cli(*args, prelude=FAIL_PNG)
    assert result.returncode == 1 and "No space left on device" in result.stderr
    assert snapshot(folder) == before
    assert cli(*args).returncode == 4  # FLAG, repaired: nothing left behind to refuse a rerun
    assert (folder / "f.bvec.bak").read_text() == "old\n"


@pytest.mark.parametrize("command", ["repair", "recompute-bval"])
def test_a_dry_run_writes_nothing(job, command):
    folder, files, inputs = job
    table = inputs if command == "repair" else inputs[2:]
    extra = ["--png", folder / "q.png"] if command == "repair" and HAS_MPL else []
    before = snapshot(folder)
    result = cli(command, *table, "--out-bvec", folder / "f.bvec", "--out-bval", folder / "f.bval",
                 "--provenance", folder / "p.json", "--out", folder / "r.json", *extra, "--dry-run", "--force")
    assert result.returncode == (4 if command == "repair" else 0), result.stderr
    assert snapshot(folder) == before


NO_ROOM = ("import resource, sys; from tarvix import cli\n"
           "resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))\n"
           "sys.exit(cli.main(sys.argv[1:]))")


def test_a_table_the_engine_cannot_write_is_named_by_its_option(job):
    """The engine wrote under a temporary name; the error names the output."""
    folder, files, inputs = job
    before = snapshot(folder)
    result = cli("repair", *inputs, "--out-bvec", folder / "f.bvec", "--out-bval", folder / "f.bval", "--no-tracking",
                 prelude=NO_ROOM)
    assert result.stderr == ("tarvix: error: I/O error: File too large (os error 27), "
                             f"while writing --out-bvec {folder}/f.bvec\n")
    assert result.returncode == 1 and snapshot(folder) == before
