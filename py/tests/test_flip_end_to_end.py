"""End-to-end flip detection on synthetic phantoms with known fibre directions.

Each scan is simulated from the true (voxel-axis) directions; the table written
next to it is either correct for its frame or corrupted by a signed axis
permutation C. Detection must then recommend C's inverse (or its negation,
which is the same axis convention)."""

import json
import math
import pathlib

import numpy as np
import pytest

from tarvix import synthetic

from tarvix import _tarvix

from conftest import tensor_fit


SHAPE = (24, 24, 16)
CORRUPTIONS = ["-x+y+z", "+x-y+z", "+y+x+z", "+y+z+x"]  # x flip, y flip, x/y swap, cyclic


def run(name, **kwargs):
    return getattr(_tarvix, name)(**kwargs)


def flip_section(report_json):
    report = json.loads(report_json)
    return report, report["flip"]


def same_axes(a, b):
    a, b = np.asarray(a, float), np.asarray(b, float)
    return np.array_equal(a, b) or np.array_equal(a, -b)


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
    assert np.flatnonzero(bvals == 0).tolist() == [0, 7, 14, 21, 28]
    assert np.allclose(np.linalg.norm(dirs[bvals > 0], axis=1), 1.0)
    assert np.allclose(synthetic.corrupt([[1.0, 2.0, 3.0]], "+y+z+x"), [[2.0, 3.0, 1.0]])
    assert np.allclose(synthetic.corrupt([[1.0, 2.0, 3.0]], "-x+y+z"), [[-1.0, 2.0, 3.0]])

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


@pytest.fixture(scope="module")
def scans(tmp_path_factory):
    """One image per frame case; tables (correct or corrupted) written on demand."""
    root = tmp_path_factory.mktemp("flip")
    bvals, dirs = synthetic.make_scheme((1000.0,), 30, 6)
    images = {}
    for case, fmt in (("LAS", "nii.gz"), ("RAS", "nii"), ("oblique", "nii.gz")):
        affine = synthetic.affine_preset(case, 2.0, SHAPE)
        data, _ = synthetic.make_phantom(SHAPE, affine, bvals, dirs, snr=30.0, seed=11)
        images[case] = str(root / f"{case}.{fmt}")
        synthetic.write_nifti(images[case], data, affine)

    def table(case, transform=None):
        """Keyword arguments naming the image and a table: FSL for LAS/RAS, MRtrix for oblique."""
        affine = synthetic.affine_preset(case, 2.0, SHAPE)
        world = case == "oblique"
        written = synthetic.table_directions(dirs, affine, "world" if world else "fsl")
        if transform:
            written = synthetic.corrupt(written, transform)
        stem = root / f"{case}_{transform or 'true'}"
        if world:
            synthetic.write_mrtrix(f"{stem}.b", bvals, written)
            return {"dwi": images[case], "grad": f"{stem}.b"}
        synthetic.write_fsl(f"{stem}.bvec", f"{stem}.bval", bvals, written)
        return {"dwi": images[case], "bvec": f"{stem}.bvec", "bval": f"{stem}.bval"}

    return table


@pytest.mark.parametrize("case", ["LAS", "RAS", "oblique"])
def test_correct_table_passes_and_corruptions_are_undone(scans, case):
    report, flip = flip_section(run("audit", **scans(case)))
    assert report["status"] == "PASS" and flip["decision"] == "PASS"
    assert flip["best"]["label"] in ("+x+y+z", "-x-y-z")
    assert flip["recommended_transform"] is None and flip["recommended_label"] is None
    assert flip["relative_margin"] > 0.02

    for transform in CORRUPTIONS:
        inverse = synthetic.signed_permutation(transform).T
        report, flip = flip_section(run("audit", **scans(case, transform)))
        assert (report["status"], flip["decision"]) == ("FLAG", "FLAG"), transform
        assert same_axes(flip["recommended_transform"], inverse), (transform, flip["recommended_label"])
        assert np.array_equal(synthetic.signed_permutation(flip["recommended_label"]), flip["recommended_transform"])
        assert flip["best"]["label"] == flip["recommended_label"]
        assert flip["relative_margin"] >= 0.02


def test_thread_count_does_not_change_the_decision(scans):
    args = scans("LAS", "+y+z+x")
    one = flip_section(run("detect_flip", threads=1, **args))[1]
    two = flip_section(run("detect_flip", threads=2, **args))[1]
    for key in ("decision", "recommended_label", "n_wm_voxels", "mask_mean_fa", "working_b"):
        assert one[key] == two[key], key
    assert one["best"]["label"] == two["best"]["label"]
    assert one["runner_up"]["label"] == two["runner_up"]["label"]
    assert [c["n_samples"] for c in one["ranking"]] == [c["n_samples"] for c in two["ranking"]]
    assert math.isclose(one["best"]["coherence"], two["best"]["coherence"], rel_tol=1e-9)


def test_report_key_order(scans):
    args = scans("LAS")
    audit = json.loads(run("audit", **args))
    assert list(audit) == ["schema_version", "tool", "tool_version", "timestamp", "status", "inputs", "scheme",
                           "shells", "b0_drift", "angular", "flip", "norm_stats", "notes"]
    detect = json.loads(run("detect_flip", **args))
    assert list(detect) == ["schema_version", "tool", "tool_version", "timestamp", "status", "inputs", "scheme",
                            "flip", "notes"]
    flip = detect["flip"]
    assert list(flip) == ["working_b", "n_wm_voxels", "mask_mean_fa", "ranking", "best", "runner_up",
                          "identity_coherence", "margin", "relative_margin", "decision", "recommended_transform",
                          "recommended_label"]
    assert list(flip["best"]) == ["label", "matrix", "is_identity", "coherence", "n_samples"]
    assert len(flip["ranking"]) == 48 and flip["ranking"][0] == flip["best"]
    assert [i["path"] for i in detect["inputs"]] == [args["bvec"], args["bval"]]
    assert flip["working_b"] == 1000.0


def test_errors_before_and_during_the_fit(tmp_path):
    affine = synthetic.affine_preset("LAS", 2.0, (8, 8, 4))

    # A 3-D image passes the volume check with a one-entry table, then the fit refuses it.
    data, _ = synthetic.make_phantom((8, 8, 4), affine, [1000.0], [[1.0, 0.0, 0.0]])
    synthetic.write_nifti(tmp_path / "3d.nii", data[..., 0], affine)
    synthetic.write_fsl(tmp_path / "one.bvec", tmp_path / "one.bval", [1000.0], [[1.0, 0.0, 0.0]])
    one = {"bvec": str(tmp_path / "one.bvec"), "bval": str(tmp_path / "one.bval")}
    with pytest.raises(ValueError) as err:
        run("detect_flip", dwi=str(tmp_path / "3d.nii"), **one)
    assert str(err.value) == "DTI fit failed: expected 4-D DWI, got 3-D"

    # 65 volumes against 64 table entries.
    paths = synthetic.write_scan(tmp_path, "v65", shape=(8, 8, 4), n_dirs=60, n_b0=5, fmt="nii")
    bvals, dirs = synthetic.make_scheme((1000.0,), 60, 5)
    synthetic.write_fsl(tmp_path / "t64.bvec", tmp_path / "t64.bval", bvals[:64], dirs[:64])
    with pytest.raises(ValueError) as err:
        run("audit", dwi=paths["dwi"], bvec=str(tmp_path / "t64.bvec"), bval=str(tmp_path / "t64.bval"))
    assert str(err.value) == "volume mismatch: 64 gradients but 65 DWI volumes"

    # A 10x10x10 mask on a 20x20x20 grid.
    big = synthetic.write_scan(tmp_path, "big", shape=(20, 20, 20), n_dirs=6, n_b0=1, fmt="nii")
    synthetic.write_nifti(tmp_path / "mask.nii", np.ones((10, 10, 10), np.uint8), np.diag([-2.0, 2, 2, 1]))
    for fn in ("audit", "detect_flip"):
        with pytest.raises(ValueError) as err:
            run(fn, dwi=big["dwi"], bvec=big["bvec"], bval=big["bval"], mask=str(tmp_path / "mask.nii"))
        assert str(err.value) == "mask grid mismatch: mask has 1000 voxels but the DWI grid has 8000"
