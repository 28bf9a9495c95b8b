"""The module's reports on a fixed set of inputs against the reports stored in
contract/, byte for byte but for the timestamp: generated scans, masks saved
with a placeholder affine, a header whose pixdim disagrees with its sform, and
the shared real series when they are at hand. A change that alters what
callers of the module get shows here first.

After a change that is meant to alter them (none should be), rewrite the stored
reports with TARVIX_WRITE_CONTRACT=1 and say why in the commit."""

import os
import pathlib
import re

import nibabel as nib
import numpy as np
import pytest

from tarvix import _tarvix, synthetic

STORED = pathlib.Path(__file__).parent / "contract"
REAL = pathlib.Path(os.environ.get("TARVIX_REAL_DATA", pathlib.Path(__file__).resolve().parents[3] /
                                   "shared/data/real-canon")).parent
WRITE = os.environ.get("TARVIX_WRITE_CONTRACT") == "1"
TIMESTAMP = re.compile(r'"timestamp":"[^"]*"')


def _resaved(src, dst, edit):
    img = nib.load(src)
    header = img.header.copy()
    affine = edit(header, img.affine.copy())
    nib.save(nib.Nifti1Image(np.asarray(img.dataobj), affine, header), dst)


def _placeholder_affine(header, affine):
    header.set_sform(np.eye(4), code=1)
    header.set_qform(np.eye(4), code=1)
    return np.eye(4)


def _pixdim_disagrees(header, affine):
    header["pixdim"][1:4] = (1.0, 1.0, 1.0)  # the sform keeps its 2 mm voxels
    return None


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    """Writes the generated inputs into one folder, by names the reports show as given."""
    folder = tmp_path_factory.mktemp("contract")
    for name, transform in (("correct", None), ("flipped", "-x+y+z")):
        synthetic.write_scan(str(folder), name, fmt="nii", transform=transform, seed=2, brain_mask=True)
    synthetic.write_scan(str(folder), "oblique", fmt="nii", seed=3, mrtrix=True,
                         affine=synthetic.affine_preset("LAS", 2.0, (24, 24, 16), rotation_deg=(12.0, 0.0, 0.0)))
    _resaved(folder / "flipped_brainmask.nii", folder / "placeholder_mask.nii", _placeholder_affine)
    # The same voxel count on another arrangement: used by index, as stated.
    mask = np.asarray(nib.load(folder / "flipped_brainmask.nii").dataobj)
    nib.save(nib.Nifti1Image(mask.reshape(24, 16, 24), np.eye(4)), folder / "reshaped_mask.nii")
    _resaved(folder / "correct.nii", folder / "pixdim.nii", _pixdim_disagrees)
    # A weighted volume with no finite value: the fit's own failure, as stated.
    data = np.asarray(nib.load(folder / "correct.nii").dataobj).astype(np.float32)
    data[..., 1] = np.inf
    nib.save(nib.Nifti1Image(data, nib.load(folder / "correct.nii").affine), folder / "inf_volume.nii")
    return folder


def _table(name):
    return dict(bvec=f"{name}.bvec", bval=f"{name}.bval")


GENERATED = {
    "inspect": ("inspect", _table("correct")),
    "audit_correct_mask": ("audit", dict(_table("correct"), dwi="correct.nii", mask="correct_brainmask.nii")),
    "audit_flipped": ("audit", dict(_table("flipped"), dwi="flipped.nii")),
    "audit_placeholder_mask": ("audit", dict(_table("flipped"), dwi="flipped.nii", mask="placeholder_mask.nii")),
    "audit_reshaped_mask": ("audit", dict(_table("flipped"), dwi="flipped.nii", mask="reshaped_mask.nii")),
    "detect_placeholder_mask": ("detect_flip", dict(_table("flipped"), dwi="flipped.nii",
                                                    mask="placeholder_mask.nii")),
    "audit_pixdim": ("audit", dict(_table("correct"), dwi="pixdim.nii")),
    "audit_inf_volume": ("audit", dict(_table("correct"), dwi="inf_volume.nii")),
    "audit_grad_oblique": ("audit", dict(grad="oblique.b", dwi="oblique.nii")),
    "repair_placeholder_mask": ("repair", dict(_table("flipped"), dwi="flipped.nii", mask="placeholder_mask.nii",
                                               out_bvec="fixed.bvec", out_bval="fixed.bval", dry_run=True)),
}

REAL_SERIES = {
    "real_canon_ax_ap": "real-canon/canon61_4000_ax_AP",
    "real_canon_ax_all20": "real-canon/canon61_8000_ax_all20",
    "real_canon_sag_cor20": "real-canon/canon61_10000_sag_cor20",
    "real_philips_1p8mm": "real-philips/philips_64dir_1p8mm",
}


def _check(name, text):
    text = TIMESTAMP.sub('"timestamp":""', text)
    path = STORED / f"{name}.json"
    if WRITE:
        STORED.mkdir(exist_ok=True)
        path.write_text(text + "\n", encoding="utf-8")
    assert text + "\n" == path.read_text(encoding="utf-8"), f"the module's {name} report changed"


@pytest.mark.parametrize("name", GENERATED)
def test_generated_inputs(generated, monkeypatch, name):
    function, kwargs = GENERATED[name]
    monkeypatch.chdir(generated)
    try:
        text = getattr(_tarvix, function)(**kwargs)
    except ValueError as error:
        text = f"ValueError: {error}"
    _check(name, text)


@pytest.mark.parametrize("name", REAL_SERIES)
def test_real_series(monkeypatch, name):
    stem = REAL / REAL_SERIES[name]
    if not stem.with_suffix(".nii.gz").exists():
        pytest.skip(f"{stem.parent} is not at hand")
    monkeypatch.chdir(stem.parent)
    _check(name, _tarvix.audit(bvec=stem.name + ".bvec", bval=stem.name + ".bval", dwi=stem.name + ".nii.gz"))


def test_placeholder_and_located_masks_select_the_same_voxels(generated, monkeypatch):
    # A mask is taken by index: the placeholder affine changes nothing but the
    # file it came from.
    monkeypatch.chdir(generated)
    with_affine = _tarvix.audit(**_table("flipped"), dwi="flipped.nii", mask="flipped_brainmask.nii")
    placeholder = _tarvix.audit(**_table("flipped"), dwi="flipped.nii", mask="placeholder_mask.nii")
    assert TIMESTAMP.sub("", with_affine) == TIMESTAMP.sub("", placeholder)
