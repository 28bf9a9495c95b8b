"""Without a mask, where the tracking seeds does not depend on how the image is stored. (On a crop
that is all tissue, or a head with background around it: DefaultRegion in core/tests.)"""

import json

import numpy as np

from tarvix import _engine, synthetic


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
        report = _engine.audit(dwi=str(tmp_path / f"{name}.nii"), **paths, tracking=True)["report"]
        seen[name] = tuple(json.loads(report)["verdict"][k] for k in ("status", "lead", "lead_spread"))
    for status, lead, spread in seen.values():
        assert status == "PASS", seen
        assert abs(lead - seen["LAS"][1]) <= 0.01 * seen["LAS"][1], seen
        assert abs(spread - seen["LAS"][2]) <= 0.01 * seen["LAS"][2], seen
