"""The tensor fit runs while the DWI is read (volume by volume, on the call's
threads), and only the volumes something still needs stay in memory. None of
that may show: reports and fields must not depend on the thread count or on a
second shell whose volumes are inflated and dropped. (Streamed against whole-image
fits: FitStream in core/tests, and audit_bids against audit in test_bids_batch.)"""

import json

import pytest

from tarvix import _tarvix as m, synthetic

from conftest import untimed


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    return synthetic.write_scan(str(tmp_path_factory.mktemp("streamed")), "two_shells", shape=(20, 18, 12),
                                shells=(1000.0, 2500.0), n_dirs=24, n_b0=4, transform="-x+y+z", seed=3)


def test_reports_and_fields_do_not_depend_on_threads(paths):
    runs = {threads: m.audit_with_glyphs(paths["dwi"], bvec=paths["bvec"], bval=paths["bval"], threads=threads)
            for threads in (1, 2, 3, None)}
    report, glyphs = runs[1]
    assert json.loads(report)["flip"]["decision"] == "FLAG"
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

