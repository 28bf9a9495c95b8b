"""A table written in the wrong frame (an MRtrix table written as a bvec,
bvec components in a .b file), on generated oblique scans: flagged in plain
words and repaired exactly, through the command line."""

import json

import numpy as np
import pytest

from tarvix import synthetic

from cli_runner import cli
from conftest import validate

SHAPE = (32, 32, 24)
SCHEME = dict(shells=(1000.0,), n_dirs=30, n_b0=6)
BVEC_WORDS = "the table is in scanner coordinates, not on the image axes (an MRtrix table written as a bvec?)"
B_WORDS = "the table is on the image axes, not in scanner coordinates (bvec components written into a .b file?)"

# name: (.b table, angulation about x/y/z in degrees, written in the other frame, flip on top,
#        expected verdict, expected label or None, other frame scored). Which reading wins for each
# frame, with and without a flip, on correct oblique tables, on the scanner's axes (scored once) and at
# 3 degrees: FrameReadings in core/tests; here what the command line says and writes for it.
CASES = {
    "bvec_xy_zflip": (False, (20, 25, 0), True, "+x+y-z", "FLAG", "scanner->image +x+y-z", True),
    "b_zx_xflip": (True, (20, 0, 30), True, "-x+y+z", "FLAG", "image->scanner -x+y+z", True),
    # A few degrees, as most clinical scans are: both frames are read, and the
    # other frame's reading of the same axes does not take the lead away.
    "bvec_correct_6deg": (False, (6, 0, 0), False, None, "PASS", None, True),
}


@pytest.fixture(scope="module")
def scans(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("frames"))
    out = {}
    for name, (mrtrix, turn, wrong, flip, *_rest) in CASES.items():
        affine = synthetic.affine_preset("LAS", 2.0, SHAPE, rotation_deg=turn)
        out[name] = synthetic.write_scan(folder, name, shape=SHAPE, affine=affine, transform=flip, mrtrix=mrtrix,
                                         wrong_frame=wrong, seed=5, **SCHEME)
        out[name]["affine"] = affine
    return out


def table_args(scan):
    return ["--grad", scan["grad"]] if "grad" in scan else ["--bvec", scan["bvec"], "--bval", scan["bval"]]


def worst_angle_deg(got, want):
    """Largest angle between matching diffusion-weighted directions (rows)."""
    keep = np.linalg.norm(want, axis=1) > 0
    got, want = (rows[keep] / np.linalg.norm(rows[keep], axis=1, keepdims=True) for rows in (got, want))
    return float(np.degrees(np.arccos(np.clip(np.abs((got * want).sum(axis=1)), 0, 1))).max())


@pytest.mark.parametrize("name", CASES)
def test_frame_mistake_flagged_named_and_repaired(scans, tmp_path, name):
    mrtrix, _turn, _wrong, _flip, status, label, scored = CASES[name]
    scan = scans[name]
    out = {k: str(tmp_path / f"fixed.{k}") for k in ("bvec", "bval", "b")}
    args = ["repair", "--dwi", scan["dwi"], *table_args(scan), "--out-bvec", out["bvec"], "--out-bval", out["bval"],
            "--out-grad", out["b"], "--provenance", str(tmp_path / "prov.json"), "--tracking-out",
            str(tmp_path / "tracking.json"), "--out", str(tmp_path / "report.json")]
    result = cli(*args)
    assert result.returncode == {"PASS": 0, "FLAG": 4}[status], result.stdout + result.stderr

    tracking = json.loads((tmp_path / "tracking.json").read_text())
    validate("tracking", tracking)
    assert tracking["other_frame"]["scored"] is scored
    verdict = json.loads((tmp_path / "report.json").read_text())["verdict"]
    validate("verdict", verdict)
    assert verdict["axes"] == status and verdict["recommended_label"] == label

    if status == "PASS":
        assert "->" not in verdict["best_label"]
        return
    words = verdict["recommended_words"]
    assert words.startswith(BVEC_WORDS if not mrtrix else B_WORDS)
    assert ("flipped" in words) == (" " in label)
    assert f"recommended transform {label} ({words})" in result.stdout
    provenance = json.loads((tmp_path / "prov.json").read_text())
    assert provenance["applied_label"] == label
    assert np.allclose(provenance["applied_transform"], verdict["recommended_transform"])

    # Every written format holds the correct table, within 1 degree.
    bvals, dirs = synthetic.make_scheme(**SCHEME)
    assert worst_angle_deg(np.loadtxt(out["bvec"]).T, synthetic.table_directions(dirs, scan["affine"], "fsl")) < 1.0
    assert worst_angle_deg(np.loadtxt(out["b"])[:, :3], synthetic.table_directions(dirs, scan["affine"], "world")) < 1.0


def test_a_few_degrees_oblique_keeps_the_aligned_lead(tmp_path):
    leads = {}
    for turn in (0, 6):
        affine = synthetic.affine_preset("LAS", 2.0, SHAPE, rotation_deg=(turn, 0, 0))
        scan = synthetic.write_scan(str(tmp_path), f"x{turn}", shape=SHAPE, affine=affine, transform="-x+y+z", seed=5,
                                    **SCHEME)
        verdict = json.loads(cli("audit", "--dwi", scan["dwi"], *table_args(scan), "--json").stdout)["verdict"]
        assert (verdict["status"], verdict["recommended_label"]) == ("FLAG", "-x+y+z"), verdict["notes"]
        leads[turn] = verdict["lead"]
    assert leads[6] >= 0.85 * leads[0], leads
