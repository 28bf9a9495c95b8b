"""Images whose geometry cannot be trusted, masks and DWIs that a header
already shows to be wrong, and images whose data cannot be fitted: run as a
user runs them, each must end in a message naming its cause, never in a
crash or a table with NaN in it."""

import json
import math
import os
import struct

import nibabel as nib
import numpy as np
import pytest

from tarvix import _engine

from cli_runner import cli, image


def _copy(scan, folder, name, edit=None, data=None):
    """The scan's DWI written again as <name>.nii.gz, its header changed by
    edit. Written by hand: nibabel would mend the header from its affine."""
    img = nib.load(scan["dwi"])
    header = img.header.copy()
    if data is None:
        data = np.asarray(img.dataobj.get_unscaled())
    else:
        header.set_data_dtype(data.dtype)
        header["scl_slope"], header["scl_inter"] = np.nan, np.nan
    header["vox_offset"] = 352
    if edit:
        edit(header)
    path = os.path.join(folder, name + ".nii.gz")
    with nib.openers.Opener(path, "wb") as f:
        f.write(header.binaryblock + b"\0" * 4 + np.asarray(data, header.get_data_dtype()).tobytes(order="F"))
    return dict(scan, dwi=path)


def _set_sform(value):
    def edit(h):
        h.set_qform(None, code=0)
        h["sform_code"] = 1
        h["srow_x"], h["srow_y"], h["srow_z"] = value
    return edit


def _nan_quaternion(h):
    h["sform_code"], h["qform_code"], h["quatern_b"] = 0, 1, np.nan


def _no_codes(h):
    h["sform_code"] = h["qform_code"] = 0


def _pixdim_contradicts(h):
    h["pixdim"][1:4] = (0.04, 2.0, 20.0)  # the sform keeps its 2 mm voxels


# Each hostile header, and what the verdict's note must say about it.
HOSTILE = {
    "sform NaN": (_set_sform(([np.nan, 0, 0, 0], [0, 2, 0, 0], [0, 0, 2, 0])), "(srow_x[0] = NaN)"),
    "sform zero": (_set_sform(([0] * 4, [0] * 4, [0] * 4)), "the sform is all zero"),
    "sform singular": (_set_sform(([-2, 0, 0, 0], [-2, 0, 0, 0], [0, 0, 2, 0])), "the sform is singular"),
    "qform NaN": (_nan_quaternion, "(quatern_b = NaN)"),
    "no qform or sform": (_no_codes, "neither a qform nor an sform"),
    "pixdim contradicts": (_pixdim_contradicts, "pixdim (0.04, 2, 20) disagree with the sform's (2, 2, 2)"),
}


def _numbers(path):
    with open(path) as f:
        return [float(x) for x in f.read().split()]


@pytest.mark.parametrize("case", HOSTILE)
def test_an_untrustworthy_orientation_is_named_and_never_writes_nan(tmp_path, scan, case):
    edit, why = HOSTILE[case]
    hostile = _copy(scan, tmp_path, "dwi", edit)
    verdict = json.loads(_engine.audit(dwi=hostile["dwi"], bvec=scan["bvec"], bval=scan["bval"])["report"])["verdict"]
    assert verdict["orientation_unknown"] and verdict["axes"] == "WARN", verdict
    assert any(why in note for note in verdict["notes"]), verdict["notes"]
    outs = {o: tmp_path / f"r{o}" for o in (".bvec", ".bval", ".b")}
    result = cli("repair", *image(hostile), "--force-repair", "--out-bvec", outs[".bvec"], "--out-bval",
                 outs[".bval"], "--out-grad", outs[".b"])
    assert "Traceback" not in result.stderr and result.returncode in (0, 3, 4), result.stderr
    for path in outs.values():
        if path.exists():
            assert all(math.isfinite(v) for v in _numbers(path)), (path, path.read_text()[:200])


def test_sound_headers_raise_no_doubt(scans):
    for run in scans.values():
        verdict = json.loads(_engine.audit(dwi=run["dwi"], bvec=run["bvec"], bval=run["bval"])["report"])["verdict"]
        assert not verdict["orientation_unknown"], (run["dwi"], verdict["notes"])


def test_the_grid_is_measured_by_the_affine_the_frame_comes_from(tmp_path, scans):
    # pixdim (0.04, 2, 20) under a 2 mm sform: tracking in pixdim's millimetres
    # stretched the grid 500-fold along z against x and ranked a wrong
    # transform first on the correct table.
    for name, best in (("correct", {"+x+y+z", "-x-y-z"}), ("flipped", {"-x+y+z", "+x-y-z"})):
        run = _copy(scans[name], tmp_path, name, _pixdim_contradicts)
        result = _engine.audit(dwi=run["dwi"], bvec=run["bvec"], bval=run["bval"], tracking=True)
        tracking = json.loads(result["tracking"])
        assert tracking["best"]["label"] in best, (name, tracking["best"]["label"])


def _header_only(path, shape, datatype=np.int16, affine=None):
    """A .nii.gz holding a header that declares `shape` and four bytes after it."""
    header = nib.Nifti1Header()
    header.set_data_shape(shape)
    header.set_data_dtype(datatype)
    header.set_sform(np.diag([-2.0, 2.0, 2.0, 1.0]) if affine is None else affine, code=1)
    with nib.openers.Opener(path, "wb") as f:
        f.write(header.binaryblock + struct.pack("<i", 0))
    return path


def test_headers_that_already_show_a_mismatch_are_refused_before_any_data(tmp_path, scan):
    # Each file is a header alone: reading its data would end in a NIfTI
    # error about the missing bytes, so only a refusal on the header names
    # the mismatch.
    shape = nib.load(scan["dwi"]).shape
    huge_mask = _header_only(str(tmp_path / "huge_mask.nii.gz"), (1000, 1000, 1000), np.float32)
    result = cli("audit", *image(scan), "--mask", huge_mask)
    assert result.returncode == 1 and "mask grid mismatch: mask has 1000000000 voxels" in result.stderr, result.stderr

    many = _header_only(str(tmp_path / "many.nii.gz"), shape[:3] + (4000,))
    result = cli("audit", *image(dict(scan, dwi=many)))
    assert result.returncode == 1, result.stderr
    assert f"volume mismatch: {shape[3]} gradients but 4000 DWI volumes" in result.stderr


@pytest.mark.parametrize("case, message", [
    ("swapped axes", "the mask is 24\u00d716\u00d724 voxels but the DWI grid is 24\u00d724\u00d716"),
    ("shifted one voxel", "the mask's affine places its grid up to 2.00 mm away from the DWI's"),
])
def test_a_mask_on_another_grid_is_refused(tmp_path, scan, case, message):
    mask = nib.load(scan["mask"])
    data, affine = np.asarray(mask.dataobj), mask.affine.copy()
    if case == "swapped axes":
        data = data.transpose(0, 2, 1)
    else:
        affine[:3, 3] += affine[:3, 0]
    path = str(tmp_path / "mask.nii.gz")
    nib.save(nib.Nifti1Image(data, affine), path)
    result = cli("audit", *image(scan), "--mask", path)
    assert result.returncode == 1 and "mask grid mismatch: " + message in result.stderr, result.stderr


def test_an_inf_volume_and_an_empty_mask_say_different_things(tmp_path, scan):
    data = np.asarray(nib.load(scan["dwi"]).dataobj).astype(np.float32)
    k = int(np.flatnonzero(np.loadtxt(scan["bval"]) > 50)[3])
    data[..., k] = np.inf
    inf_run = _copy(scan, tmp_path, "inf", data=data)
    empty = str(tmp_path / "empty.nii.gz")
    nib.save(nib.Nifti1Image(np.zeros(data.shape[:3], np.uint8), nib.load(scan["dwi"]).affine), empty)

    by_inf = cli("audit", *image(inf_run))
    by_mask = cli("audit", *image(scan), "--mask", empty)
    assert by_inf.returncode == 1 and by_mask.returncode == 1
    assert f"volume {k} of the DWI holds no finite value" in by_inf.stderr, by_inf.stderr
    assert "no WM voxels above the FA threshold" in by_mask.stderr, by_mask.stderr
    assert "no WM voxels" not in by_inf.stderr
