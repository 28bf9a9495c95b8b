"""End-to-end flip detection on synthetic phantoms with known fibre directions.

Each scan is simulated from the true (voxel-axis) directions; the table written
next to it is either correct for its frame or corrupted by a signed axis
permutation C. Detection must then recommend C's inverse (or its negation,
which is the same axis convention)."""

import json

import numpy as np
import pytest

from tarvix import _tarvix, synthetic

from conftest import write_run

CORRUPTIONS = ["-x+y+z", "+x-y+z", "+y+x+z", "+y+z+x"]  # x flip, y flip, x/y swap, cyclic


# --- detection through the module --------------------------------------------------


@pytest.mark.parametrize("case, fmt", [("LAS", "nii.gz"), ("RAS", "nii"), ("oblique", "nii.gz")])
def test_correct_table_passes_and_corruptions_are_undone(tmp_path, case, fmt):
    def run(transform=None):
        """The image in this frame with its table (MRtrix for the oblique one), correct or corrupted."""
        return write_run(tmp_path, transform or "true", case, fmt, transform, mrtrix=case == "oblique")

    args = run()
    report = json.loads(_tarvix.audit(**args))
    flip = report["flip"]
    assert report["status"] == "PASS" and flip["decision"] == "PASS"
    assert flip["best"]["label"] in ("+x+y+z", "-x-y-z")
    assert flip["recommended_transform"] is None and flip["recommended_label"] is None
    assert flip["relative_margin"] > 0.02  # (the reports' layout: contract/)

    for transform in CORRUPTIONS:
        inverse = synthetic.signed_permutation(transform).T
        report = json.loads(_tarvix.audit(**run(transform)))
        flip = report["flip"]
        assert (report["status"], flip["decision"]) == ("FLAG", "FLAG"), transform
        # The inverse, or its negation (the same axis convention).
        assert any(np.array_equal(flip["recommended_transform"], sign * inverse) for sign in (1, -1)), transform
        assert np.array_equal(synthetic.signed_permutation(flip["recommended_label"]), flip["recommended_transform"])
        assert flip["best"]["label"] == flip["recommended_label"]
        assert flip["relative_margin"] >= 0.02
