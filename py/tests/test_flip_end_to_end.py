"""End-to-end flip detection on synthetic phantoms with known fibre directions.

Each scan is simulated from the true (voxel-axis) directions; the table written
next to it is either correct for its frame or corrupted by a signed axis
permutation C. Detection must then recommend C's inverse (or its negation,
which is the same axis convention)."""

import json

import numpy as np
import pytest

from tarvix import _tarvix, synthetic

from conftest import SHAPE, tensor_fit, write_run

CORRUPTIONS = ["-x+y+z", "+x-y+z", "+y+x+z", "+y+z+x"]  # x flip, y flip, x/y swap, cyclic


# --- the generator itself, checked with an independent numpy tensor fit ----------


@pytest.mark.parametrize("snr, max_median_error", [(None, 1.0), (30.0, 6.0)])
def test_phantom_directions_match_truth(snr, max_median_error):
    affine = synthetic.affine_preset("LAS", 2.0, SHAPE)
    bvals, dirs = synthetic.make_scheme((1000.0,), 30, 6)
    data, _ = synthetic.make_phantom(SHAPE, affine, bvals, dirs, snr=snr, seed=3)
    assert data.dtype == np.int16 and data.shape == SHAPE + (36,)
    labels, truth = synthetic.phantom_fields(SHAPE, (2.0, 2.0, 2.0))
    fit = tensor_fit(data.astype(float), bvals, dirs)
    v1, fa = fit["v1"], fit["fa"]
    for bundle in (synthetic.BUNDLE_X, synthetic.BUNDLE_YZ, synthetic.BUNDLE_ARC, synthetic.BUNDLE_ARCH):
        inside = labels == bundle
        assert inside.sum() > 40
        angles = np.degrees(np.arccos(np.clip(np.abs((v1[inside] * truth[inside]).sum(-1)), 0, 1)))
        assert np.median(angles) < max_median_error, bundle
        assert np.median(fa[inside]) > 0.65
    assert np.median(fa[labels == synthetic.GREY]) < 0.15
    assert data[labels == synthetic.OUTSIDE].mean() < data[labels == synthetic.GREY].mean() / 10


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
