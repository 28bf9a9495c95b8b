"""The tracking measure without a mask on a crop that is all tissue, and the
transform it names and repair applies: of a transform and its negation the one
with fewer sign flips."""

import json
import os

import numpy as np
import pytest

from tarvix import _engine, synthetic


def _inner_box(head):
    """The largest centred box (same shrink on every axis) inside the head."""
    centre = np.array(head.shape) // 2
    half = np.array(head.shape) // 2
    for k in range(1, 100):
        h = np.maximum(half * (100 - k) // 100, 1)
        box = tuple(slice(c - s, c + s) for c, s in zip(centre, h))
        if head[box].all():
            return box
    raise AssertionError("no box inside the head")


@pytest.fixture(scope="module")
def crop(tmp_path_factory):
    """A 2 mm phantom cut down to a box inside its head: no background, and the
    white matter (0.9 of the grey matter's baseline) darker than the rest, as
    on a real crop inside the brain. One image, its tables by name."""
    folder = tmp_path_factory.mktemp("crop")
    shape = (64, 64, 40)
    affine = synthetic.affine_preset("LAS", 2.0, shape)
    bvals, dirs = synthetic.make_scheme((1000.0,), 30, 6)
    data, affine = synthetic.make_phantom(shape, affine, bvals, dirs, snr=20.0, seed=5, crossing=True)
    box = _inner_box(synthetic.head_mask(shape) != 0)
    offset = np.array([s.start for s in box], float)
    cropped = affine.copy()
    cropped[:3, 3] = affine[:3, :3] @ offset + affine[:3, 3]
    dwi = str(folder / "crop.nii.gz")
    synthetic.write_nifti(dwi, np.ascontiguousarray(data[box]), cropped)
    tables = {}
    for name, t in (("correct", None), ("flipx", "-x+y+z"), ("flipz", "+x+y-z"), ("swap", "+y+x+z")):
        tables[name] = synthetic.write_table(str(folder), name, bvals, dirs, cropped, t)
    return dwi, tables


@pytest.mark.parametrize("table, decision, label", [
    ("correct", "PASS", None),
    ("flipx", "FLAG", "-x+y+z"),
    ("flipz", "FLAG", "+x+y-z"),  # not -x-y+z
    ("swap", "FLAG", "+y+x+z"),
])
def test_crop_without_mask_is_tracked(crop, table, decision, label):
    dwi, tables = crop
    result = _engine.audit(dwi=dwi, **tables[table], tracking=True)
    tracking = json.loads(result["tracking"])
    assert tracking["n_trackable"] >= 200
    assert tracking["thin_evidence"] is None
    assert tracking["best_leads"] is True
    assert (tracking["decision"], tracking["recommended_label"]) == (decision, label)
    names = [entry["label"] for entry in tracking["ranking"]]
    assert "+x+y-z" in names and "-x-y+z" not in names


def test_repair_of_a_z_flip_changes_only_z(crop, tmp_path):
    dwi, tables = crop
    given = tables["flipz"]
    out = {"out_bvec": str(tmp_path / "fixed.bvec"), "out_bval": str(tmp_path / "fixed.bval")}
    result = _engine.repair(dwi=dwi, **given, **out, tracking=True)
    assert json.loads(result["tracking"])["recommended_label"] == "+x+y-z"
    before = open(given["bvec"]).read().splitlines()
    after = open(out["out_bvec"]).read().splitlines()
    assert after[:2] == before[:2]  # x and y written back character for character
    z_before = np.array(before[2].split(), float)
    np.testing.assert_array_equal(np.array(after[2].split(), float), -z_before)
    assert after[2] == open(tables["correct"]["bvec"]).read().splitlines()[2]
    assert os.path.exists(out["out_bval"])
