"""The fibre-tracking verdict on the command line, driven as a user drives it:
on by default, combined with the coherence, in the exit status, the files
and the repair."""

import importlib.util
import json
import os

import numpy as np
import pytest

from tarvix import synthetic

from cli_runner import cli, image


@pytest.fixture(scope="module")
def coarse(tmp_path_factory):
    """5 mm voxels with crossing bundles: the one-step coherence ranks a wrong
    transform first (and WARNs), the tracking gets the axes right."""
    folder = str(tmp_path_factory.mktemp("coarse"))
    shape = (32, 32, 24)
    affine = synthetic.affine_preset("LAS", (5.0, 5.0, 5.0), shape)
    return {name: synthetic.write_scan(folder, name, shape=shape, affine=affine, transform=t, snr=20.0, seed=11,
                                       crossing=True)
            for name, t in (("correct", None), ("flipped", "-x+y+z"))}


def test_disagreement_is_said_and_no_tracking_is_the_coherence_alone(coarse):
    correct = image(coarse["correct"])
    both = cli("audit", *correct)
    assert both.returncode == 0 and both.stdout.startswith("status: PASS")
    # The coherence ranks another transform first, but by less than its own
    # threshold: that is no disagreement worth a note.
    assert "the measures disagree" not in both.stdout

    alone = cli("audit", *correct, "--no-tracking")
    assert alone.returncode == 3 and alone.stdout.startswith("status: WARN — the best axis transform leads")
    assert "tracking" not in alone.stdout and "rank  transform  coherence" in alone.stdout

    as_json = cli("detect-flip", *image(coarse["flipped"]), "--json")
    assert as_json.returncode == 4
    report = json.loads(as_json.stdout)
    # The coherence's own decision stays in its section; the report's status is the verdict's.
    assert report["flip"]["decision"] == "WARN" and report["status"] == "FLAG"
    assert report["verdict"]["decided_by"] == "tracking" and report["verdict"]["recommended_label"] == "-x+y+z"
    assert report["tracking"]["decision"] == "FLAG"
    assert "the measures disagree" not in as_json.stderr


def test_repair_applies_the_tracking_transform(tmp_path, coarse):
    """On the coarse scan only the tracking FLAGs: repair writes its transform,
    names it in the provenance, and the repaired table passes; a second
    repair backs it up."""
    flipped = image(coarse["flipped"])
    out = ["--out-bvec", tmp_path / "f.bvec", "--out-bval", tmp_path / "f.bval", "--provenance", tmp_path / "p.json",
           "--tracking-out", tmp_path / "t.json"]
    dry = cli("repair", *flipped, *out, "--dry-run")
    assert dry.returncode == 4 and "would apply -x+y+z" in dry.stdout and os.listdir(tmp_path) == []
    assert cli("repair", *flipped, *out[:4], "--no-tracking").returncode == 3  # the coherence alone WARNs
    assert os.listdir(tmp_path) == []

    result = cli("repair", *flipped, *out)
    assert result.returncode == 4, result.stdout + result.stderr
    assert "repair: applied -x+y+z (x axis flipped)" in result.stdout
    provenance = json.loads((tmp_path / "p.json").read_text())
    assert provenance["decided_by"] == "tracking" and provenance["applied_label"] == "-x+y+z"
    np.testing.assert_allclose(np.loadtxt(tmp_path / "f.bvec"),
                               np.loadtxt(coarse["flipped"]["bvec"]) * [[-1.0], [1.0], [1.0]], atol=1e-9)
    again = cli("audit", "--dwi", coarse["flipped"]["dwi"], "--bvec", tmp_path / "f.bvec", "--bval", tmp_path / "f.bval")
    assert again.returncode == 0 and again.stdout.startswith("status: PASS")

    # Existing outputs, the tracking record among them, kept as .bak with --force (refused without it,
    # then .bak.1: test_outputs_safety).
    forced = cli("repair", *flipped, *out, "--force")
    assert forced.returncode == 4
    assert f"the old {tmp_path / 'f.bvec'} is now {tmp_path / 'f.bvec.bak'}" in forced.stdout
    assert {"f.bvec.bak", "f.bval.bak", "p.json.bak", "t.json.bak"} <= set(os.listdir(tmp_path))


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="matplotlib is not installed")
@pytest.mark.parametrize("extra, width", [([], 2400), (["--no-tracking"], 1900)])
def test_png_with_and_without_streamlines(tmp_path, scans, extra, width):
    png = tmp_path / "qc.png"
    result = cli("detect-flip", *image(scans["flipped"]), "--png", png, *extra)
    assert result.returncode == 4 and f"QC picture: {png}" in result.stdout
    data = png.read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and int.from_bytes(data[16:20], "big") == width
