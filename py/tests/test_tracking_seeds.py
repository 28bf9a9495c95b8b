"""Without a mask, the tracking seeds in a crop that is all tissue."""

import json

import numpy as np

from tarvix import _engine, synthetic


def test_crop_inside_the_head_is_tracked_without_a_mask(tmp_path):
    """A 2 mm phantom cut to a box inside its head: no background, and the
    white matter (0.9 of the grey matter's baseline) the darker tissue, as on a
    crop inside a brain."""
    shape = (64, 64, 40)
    affine = synthetic.affine_preset("LAS", 2.0, shape)
    bvals, dirs = synthetic.make_scheme((1000.0,), 30, 6)
    data, affine = synthetic.make_phantom(shape, affine, bvals, dirs, snr=20.0, seed=5, crossing=True)
    box = (slice(20, 44), slice(20, 44), slice(12, 28))
    assert synthetic.head_mask(shape)[box].all()
    cropped = affine.copy()
    cropped[:3, 3] = affine[:3, :3] @ [20, 20, 12] + affine[:3, 3]
    synthetic.write_nifti(tmp_path / "crop.nii.gz", np.ascontiguousarray(data[box]), cropped)
    for table, decision, label in (("correct", "PASS", None), ("zflip", "FLAG", "+x+y-z")):
        paths = synthetic.write_table(str(tmp_path), table, bvals, dirs, cropped, label)
        record = json.loads(_engine.audit(dwi=str(tmp_path / "crop.nii.gz"), **paths, tracking=True)["tracking"])
        assert record["n_trackable"] >= 200 and record["thin_evidence"] is None
        assert (record["decision"], record["recommended_label"]) == (decision, label)


def test_storage_order_does_not_choose_the_seeds(tmp_path):
    """One scan stored LAS, RAS and with x and y exchanged (affine and table
    matching): the same verdict, lead and spread."""
    shape = (32, 28, 20)
    bvals, dirs = synthetic.make_scheme((1000.0,), 30, 6)
    las = synthetic.affine_preset("LAS", 2.0, shape)
    data, _ = synthetic.make_phantom(shape, las, bvals, dirs, snr=20.0, seed=7, crossing=True)
    flip_x = np.diag([-1.0, 1.0, 1.0, 1.0])
    flip_x[0, 3] = shape[0] - 1
    swap_xy = np.eye(4)[[1, 0, 2, 3]]
    # (voxels, affine, the map from the phantom's voxel axes to the stored ones)
    stored = {"LAS": (data, las, np.eye(3)), "RAS": (data[::-1], las @ flip_x, flip_x[:3, :3]),
              "YXZ": (data.transpose(1, 0, 2, 3), las @ swap_xy, swap_xy[:3, :3])}
    seen = {}
    for name, (voxels, affine, axes) in stored.items():
        synthetic.write_nifti(tmp_path / f"{name}.nii", np.ascontiguousarray(voxels), affine)
        paths = synthetic.write_table(str(tmp_path), name, bvals, dirs @ axes.T, affine)
        verdict = json.loads(_engine.audit(dwi=str(tmp_path / f"{name}.nii"), **paths, tracking=True)["report"])["verdict"]
        seen[name] = (verdict["status"], verdict["lead"], verdict["lead_spread"])
    for status, lead, spread in seen.values():
        assert status == "PASS", seen
        assert abs(lead - seen["LAS"][1]) <= 0.01 * seen["LAS"][1], seen
        assert abs(spread - seen["LAS"][2]) <= 0.01 * seen["LAS"][2], seen
