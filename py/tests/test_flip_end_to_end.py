"""End-to-end flip detection on synthetic phantoms with known fibre directions.

Each scan is simulated from the true (voxel-axis) directions; the table written
next to it is either correct for its frame or corrupted by a signed axis
permutation C. Detection must then recommend C's inverse (or its negation,
which is the same axis convention)."""

import json
import pathlib

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


def test_scheme_frames_and_determinism(tmp_path):
    bvals, dirs = synthetic.make_scheme((1000.0, 2000.0), (20, 10), 5)
    assert len(bvals) == 35 and (bvals == 0).sum() == 5 and bvals[0] == 0
    assert np.allclose(np.linalg.norm(dirs[bvals > 0], axis=1), 1.0)
    # (corrupt's labels are tied to the engine's by the detection test below.)

    ras = synthetic.write_scan(tmp_path, "ras", shape=(8, 8, 6), affine="RAS", n_dirs=6, n_b0=1, fmt="nii")
    oblique = synthetic.write_scan(tmp_path, "obl", shape=(8, 8, 6), affine="oblique", n_dirs=6, n_b0=1, mrtrix=True)
    bvals, dirs = synthetic.make_scheme((1000.0,), 6, 1)
    bvec = np.loadtxt(ras["bvec"])
    assert np.allclose(bvec.T, dirs * [-1, 1, 1], atol=1e-6)  # positive determinant: x mirrored
    assert np.allclose(np.loadtxt(ras["bval"]), bvals)
    grad = np.loadtxt(oblique["grad"])
    affine = synthetic.affine_preset("oblique", 2.0, (8, 8, 6))
    assert np.allclose(grad[:, :3] @ synthetic.voxel_to_world(affine), dirs, atol=1e-6)

    import nibabel as nib

    img = nib.load(oblique["dwi"])
    assert img.get_data_dtype() == np.int16 and img.shape == (8, 8, 6, 7)
    assert np.allclose(img.affine, affine)
    again = synthetic.write_scan(tmp_path / "again", "obl", shape=(8, 8, 6), affine="oblique", n_dirs=6, n_b0=1,
                                 mrtrix=True)
    assert pathlib.Path(again["dwi"]).read_bytes() == pathlib.Path(oblique["dwi"]).read_bytes()
    other, _ = synthetic.make_phantom((8, 8, 6), affine, bvals, dirs, seed=1)
    assert not np.array_equal(other, np.asarray(img.dataobj))


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
    assert flip["relative_margin"] > 0.02
    # The reports' key order.
    assert list(report) == ["schema_version", "tool", "tool_version", "timestamp", "status", "inputs", "scheme",
                            "shells", "b0_drift", "angular", "flip", "norm_stats", "notes"]
    detect = json.loads(_tarvix.detect_flip(**args))
    assert list(detect) == ["schema_version", "tool", "tool_version", "timestamp", "status", "inputs", "scheme",
                            "flip", "notes"]
    assert list(detect["flip"]) == ["working_b", "n_wm_voxels", "mask_mean_fa", "ranking", "best", "runner_up",
                                    "identity_coherence", "margin", "relative_margin", "decision",
                                    "recommended_transform", "recommended_label"]
    assert len(flip["ranking"]) == 48 and flip["ranking"][0] == flip["best"] and flip["working_b"] == 1000.0
    assert [i["path"] for i in detect["inputs"]] == [args[k] for k in ("grad", "bvec", "bval") if k in args]

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
