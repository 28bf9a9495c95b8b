"""Does the table belong to the image: generated scans with their own table and
with tables that describe other volumes, through the engine and the command
line as a user meets them (verdict, notes, repair, picture, group table)."""

import json
import os

import pytest

from tarvix import _engine, group_table, synthetic

from cli_runner import cli
from conftest import SHAPE, validate

LAYOUTS = {"single": (1000.0,), "multi": (1000.0, 2000.0)}
# Above this noise level every mismatch FLAGs on these phantoms; at the lower
# one the order test can only warn (the b=0 and shell tests still flag).
CLEAR_SNR, NOISY_SNR = 30.0, 6.0


@pytest.fixture(scope="module")
def scans(tmp_path_factory):
    """Per layout and SNR: the image, its true scheme and where to write tables."""
    folder = str(tmp_path_factory.mktemp("consistency"))
    affine = synthetic.affine_preset("LAS", 2.0, SHAPE)
    out = {}
    for layout, shells in LAYOUTS.items():
        bvals, dirs = synthetic.make_scheme(shells, 30, 6)
        for snr in (CLEAR_SNR, NOISY_SNR):
            data, _ = synthetic.make_phantom(SHAPE, affine, bvals, dirs, snr=snr, seed=4)
            dwi = os.path.join(folder, f"{layout}-{snr:g}.nii.gz")
            synthetic.write_nifti(dwi, data, affine, 1)
            out[layout, snr] = dict(dwi=dwi, bvals=bvals, dirs=dirs, affine=affine, folder=folder)
    return out


def table(scan, kind, name=None):
    bvals, dirs = scan["bvals"], scan["dirs"]
    if kind != "correct":
        bvals, dirs = synthetic.mismatched_table(bvals, dirs, kind, seed=2)
    name = name or f"{os.path.basename(scan['dwi'])[:-7]}-{kind}"
    return synthetic.write_table(scan["folder"], name, bvals, dirs, scan["affine"])


def audit(scan, kind):
    return json.loads(_engine.audit(dwi=scan["dwi"], **table(scan, kind), tracking=True)["report"])


# (layout, kind, the failing test, a piece of its finding). A shuffled shell, a shifted single-shell
# table, a b=0 row swapped and two shells exchanged, each test's margin, and correct tables at high and
# low SNR passing: EachKindOfMismatch in core/tests; here what the verdict makes of them.
MISMATCHES = [
    ("multi", "shifted", "volumes", "is called b=1000 but is as bright as the b=0 volumes"),
    ("single", "random-directions", "order", "do not follow their directions"),
]


@pytest.mark.parametrize("layout, kind, test, says", MISMATCHES)
def test_a_table_of_other_volumes_is_flagged_by_its_test_and_named(scans, layout, kind, test, says):
    report = audit(scans[layout, CLEAR_SNR], kind)
    validate("engine-report", report)
    c, v = report["consistency"], report["verdict"]
    assert c["tests"][test]["status"] == "FLAG"
    assert report["status"] == v["status"] == "FLAG"
    assert any(says in n for n in v["notes"]), v["notes"]
    # The axes are still reported, but nothing is recommended: no transform mends it.
    assert v["recommended_label"] is None
    assert any("no transform of the axes can mend it" in n for n in v["notes"])


@pytest.mark.parametrize("layout, kind", [("single", "shuffled"), ("multi", "random-directions")])
def test_in_heavy_noise_a_wrong_order_only_warns(scans, layout, kind):
    c = audit(scans[layout, NOISY_SNR], kind)["consistency"]
    assert c["tests"]["order"]["status"] == "WARN"
    assert any("too noisy to be sure" in f for f in c["tests"]["order"]["findings"])


def test_repair_writes_nothing_and_the_picture_and_the_group_table_show_the_finding(scans, tmp_path):
    scan = scans["single", CLEAR_SNR]
    paths = table(scan, "b0-swapped", "repair-me")
    out, png = tmp_path / "fixed", tmp_path / "qc.png"
    result = cli("repair", "--dwi", scan["dwi"], "--bvec", paths["bvec"], "--bval", paths["bval"], "--png", png,
                 "--out-bvec", f"{out}.bvec", "--out-bval", f"{out}.bval", "--force-repair")
    assert result.returncode == 4, result.stdout + result.stderr
    assert "volume 0 is called b=1000 but is as bright as the b=0 volumes" in result.stdout
    assert not os.path.exists(f"{out}.bvec") and not os.path.exists(f"{out}.bval")
    assert png.stat().st_size > 0
    report = json.loads(_engine.audit(dwi=scan["dwi"], **paths)["report"])
    row = group_table.row_of("sub-01_dwi", report)
    assert row["table_consistency"] == "FLAG"
    assert row["consistency_finding"] == "volume 0 is called b=1000 but is as bright as the b=0 volumes"
    assert row["consistency_finding"] in row["notes"]
    # Without an image there is nothing to hold the table against.
    inspected = json.loads(_engine.inspect(**paths))
    assert "consistency" not in inspected and group_table.row_of("x", inspected)["table_consistency"] is None
    # The tests can be left out. (The module's report never carries them: test_cli compares it with the engine's.)
    assert "consistency" not in json.loads(_engine.audit(dwi=scan["dwi"], **paths, no_consistency=True)["report"])
