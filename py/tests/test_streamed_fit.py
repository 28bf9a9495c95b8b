"""The tensor fit runs while the DWI is read (volume by volume, on the call's
threads), and only the volumes something still needs stay in memory. None of
that may show: reports and fields must not depend on the thread count, on a
second shell whose volumes are inflated and dropped, or on whether the fit was
streamed at all (audit_bids reads each image whole and fits it afterwards)."""

import json
import pathlib

import pytest

from tarvix import _tarvix as m, synthetic

from conftest import untimed


@pytest.fixture(scope="module")
def two_shells(tmp_path_factory):
    root = tmp_path_factory.mktemp("streamed") / "ds"
    folder = root / "sub-01" / "dwi"
    paths = synthetic.write_scan(str(folder), "sub-01_dwi", shape=(20, 18, 12), shells=(1000.0, 2500.0),
                                 n_dirs=24, n_b0=4, transform="-x+y+z", seed=3)
    return root, paths


def test_reports_and_fields_do_not_depend_on_threads(two_shells):
    _, paths = two_shells
    runs = {threads: m.audit_with_glyphs(paths["dwi"], bvec=paths["bvec"], bval=paths["bval"], threads=threads)
            for threads in (1, 2, 3, None)}
    report, glyphs = runs[1]
    assert json.loads(report)["flip"]["decision"] == "FLAG"
    assert json.loads(report)["b0_drift"]["indices"] == json.loads(report)["shells"]["b0"]["indices"]
    for threads, (other_report, other_glyphs) in runs.items():
        assert untimed(other_report) == untimed(report), threads
        for key in ("v1", "fa", "s0", "mask"):
            assert other_glyphs[key] == glyphs[key], (threads, key)
    # A requested shell streams that shell instead; detection alone splits its work the same way.
    for function in (m.audit, m.detect_flip):
        high = [untimed(function(dwi=paths["dwi"], bvec=paths["bvec"], bval=paths["bval"], shell=2500.0, threads=t))
                for t in (1, 2)]
        assert high[0] == high[1], function
        assert (high[0]["flip"]["working_b"], high[0]["flip"]["decision"]) == (2500.0, "FLAG")


def test_streamed_audit_equals_the_whole_image_audit(two_shells):
    root, paths = two_shells
    m.audit_bids(str(root), threads=2)
    written = sorted(pathlib.Path(root, "derivatives", "tarvix").rglob("*_report.json"))
    assert len(written) == 1
    whole = untimed(written[0].read_text())
    streamed = untimed(m.audit(dwi=paths["dwi"], bvec=paths["bvec"], bval=paths["bval"], threads=2))
    for key in ("flip", "b0_drift", "status"):
        assert whole[key] == streamed[key], key
