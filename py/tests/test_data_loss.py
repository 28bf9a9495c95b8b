"""No call may destroy a file it was not asked to replace: outputs that are one
file, a provenance record over a table, a batch that clears its outputs
before rejecting its settings."""

import json
import os

import pytest

tarvix = pytest.importorskip("tarvix")
from tarvix import _tarvix, synthetic  # noqa: E402


@pytest.fixture(scope="module")
def scan(tmp_path_factory):
    folder = tmp_path_factory.mktemp("scan")
    return synthetic.write_scan(str(folder), "scan", shape=(16, 16, 12), transform="-x+y+z", seed=2)


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
