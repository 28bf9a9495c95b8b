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


NO_ROOM = ("import resource, sys; from tarvix import cli\n"
           "resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))\n"
           "sys.exit(cli.main(sys.argv[1:]))")
OUTPUTS = ["--out-bvec", "{dir}/f.bvec", "--out-bval", "{dir}/f.bval", "--provenance", "{dir}/p.json",
           "--out", "{dir}/r.json"]
PNG = ["--png", "{dir}/q.png"] if HAS_MPL else []


@pytest.mark.parametrize("prelude, args, code, message", [
    # A picture that fails after the repair takes the repair back; a rerun then finds nothing left to refuse.
    pytest.param(FAIL_PNG, ["repair", *OUTPUTS, *PNG], 1, "No space left on device",
                 marks=pytest.mark.skipif(not HAS_MPL, reason="matplotlib is not installed")),
    (None, ["repair", *OUTPUTS, *PNG, "--dry-run"], 4, ""),
    (None, ["recompute-bval", *OUTPUTS, "--dry-run"], 0, ""),
    # The engine wrote under a temporary name; the error names the output.
    (NO_ROOM, ["repair", *OUTPUTS[:4], "--no-tracking"], 1,
     "tarvix: error: I/O error: File too large (os error 27), while writing --out-bvec {dir}/f.bvec\n"),
], ids=["failing picture", "repair dry run", "recompute dry run", "no room"])
def test_a_failed_or_dry_run_changes_nothing(job, prelude, args, code, message):
    folder, files, inputs = job
    (folder / "f.bvec").write_text("old\n")
    command, *options = [a.format(dir=folder) for a in args]
    table = inputs if command == "repair" else inputs[2:]
    before = snapshot(folder)
    result = cli(command, *table, *options, "--force", prelude=prelude)
    assert result.returncode == code and message.format(dir=folder) in result.stderr, result.stderr
    assert snapshot(folder) == before
    if prelude == FAIL_PNG:
        assert cli(command, *table, *options, "--force").returncode == 4  # FLAG, repaired
        assert (folder / "f.bvec.bak").read_text() == "old\n"
