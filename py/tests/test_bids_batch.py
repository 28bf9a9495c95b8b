"""audit_bids end to end on BIDS-like trees of synthetic phantoms.

Every run of a batch must be audited exactly as a single `audit` call on the
same files would audit it (its own frame map and default step), so the tests
compare each batch report with the report of that single call."""

import json
import os
import pathlib

import pytest

from tarvix import _tarvix

from conftest import assert_close, box_mask as mask, write_run as run


NO_RUN = "no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under {}"
SIDECAR_NOTE = "BIDS sidecar: PE=j-, TRT=0.0542s, MB=3"


def same_as_single_audit(report_file, paths, mask_path=None, sidecar_note=None):
    batch = json.loads(pathlib.Path(report_file).read_text())
    single = json.loads(_tarvix.audit(dwi=paths["dwi"], bvec=paths["bvec"], bval=paths["bval"], mask=mask_path))
    assert batch["notes"][-1:] == ([sidecar_note] if sidecar_note else single["notes"][-1:])
    if sidecar_note:
        batch["notes"].pop()
    # The batch records the mask it chose; a single audit lists only the table files.
    assert [i["path"] for i in batch["inputs"]] == [paths["bvec"], paths["bval"]] + ([mask_path] if mask_path else [])
    batch_inputs = batch.pop("inputs")
    single_inputs = single.pop("inputs")
    assert batch_inputs[:2] == single_inputs
    batch["timestamp"] = single["timestamp"]
    assert_close(batch, single)
    return batch_inputs


def test_dataset_tree(tmp_path):
    root = tmp_path / "ds"
    s1 = root / "sub-01/ses-01/dwi"
    s1_paths = run(s1, "sub-01_ses-01_dwi")
    (s1 / "sub-01_ses-01_dwi.json").write_text(
        '{"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.0542, "MultibandAccelerationFactor": 3,'
        ' "EchoTime": 0.089}')
    mask(s1 / "sub-01_ses-01_desc-a_mask.nii.gz", shape=(24, 24, 15))  # wrong grid: passed over
    brain = mask(s1 / "sub-01_ses-01_desc-brain_mask.nii.gz")
    (s1 / "sub-01_ses-01_desc-c_mask.nii.gz").write_bytes(b"not an image")
    # Positive affine determinant with a correct FSL table: must pass.
    s2 = root / "sub-01/ses-02/dwi"
    s2_paths = run(s2, "sub-01_ses-02_dwi", preset="RAS", fmt="nii", suffix="s")
    (s2 / "sub-01_ses-02_dwi.json").write_text('{"PhaseEncodingDirection": "j-",')  # broken
    mask(s2 / "Brain_MASK.NII.GZ", shape=(12, 12, 8))  # only candidate, wrong grid
    s3_paths = run(root / "sub-02/dwi", "sub-02_dwi", transform="+y+x+z")
    # An earlier output folder holding something that would fail if read.
    junk = root / "derivatives/tarvix"
    junk.mkdir(parents=True)
    for ext in ("nii.gz", "bvec", "bval"):
        (junk / f"old_dwi.{ext}").write_text("junk")

    text = _tarvix.audit_bids(str(root))
    out = json.loads(text)
    # (Which runs discovery finds, "Derivatives" walked, sidecar fields read: BidsDiscovery in core/tests.)
    expected = [(s1_paths, "sub-01_ses-01_dwi", "PASS"), (s2_paths, "sub-01_ses-02_dwi", "PASS"),
                (s3_paths, "sub-02_dwi", "FLAG")]
    assert out["results"] == [{"dwi": p["dwi"], "name": n, "status": s} for p, n, s in expected]
    assert (out["status"], out["exit_code"]) == ("FLAG", 0)
    out_dir = root / "derivatives/tarvix"
    assert out["summary_path"] == str(out_dir / "dataset_summary.json")

    summary = json.loads((out_dir / "dataset_summary.json").read_text())
    assert summary == {"bids_root": str(root), "n_datasets": 3, "results": out["results"], "status": "FLAG",
                       "tool": "tarvix"}

    reports = {n: out_dir / f"{n}_report.json" for _, n, _ in expected}
    assert sorted(p.name for p in out_dir.iterdir()) == sorted(
        ["dataset_summary.json", "old_dwi.nii.gz", "old_dwi.bvec", "old_dwi.bval"] + [p.name for p in reports.values()])
    inputs = same_as_single_audit(reports["sub-01_ses-01_dwi"], s1_paths, brain, SIDECAR_NOTE)
    assert inputs[2]["bytes"] == os.path.getsize(brain)
    # (That a single audit gets each frame and corruption right: test_flip_end_to_end.)
    for name, paths in [("sub-01_ses-02_dwi", s2_paths), ("sub-02_dwi", s3_paths)]:
        same_as_single_audit(reports[name], paths)


def test_duplicate_names_and_step(tmp_path):
    root = tmp_path / "ds"
    a = run(root / "site-a/sub-01/dwi", "sub-01_dwi")
    b = run(root / "site-b/sub-01/dwi", "sub-01_dwi", transform="-x+y+z")
    c = run(root / "site-c/sub-01/dwi", "sub-01_dwi", scale=0.8)  # amplitude-encoded: WARN
    for _ in range(2):  # a second batch reuses the same names
        out = json.loads(_tarvix.audit_bids(str(root), threads=1))
        assert [(r["name"], r["status"]) for r in out["results"]] == [
            ("sub-01_dwi", "PASS"), ("sub-01_dwi", "FLAG"), ("sub-01_dwi", "WARN")]
        assert (out["status"], out["exit_code"]) == ("FLAG", 0)
    out_dir = root / "derivatives/tarvix"
    assert sorted(p.name for p in out_dir.iterdir()) == [
        "dataset_summary.json", "sub-01_dwi_2_report.json", "sub-01_dwi_3_report.json", "sub-01_dwi_report.json"]
    for suffix, paths in [("", a), ("_2", b), ("_3", c)]:
        same_as_single_audit(out_dir / f"sub-01_dwi{suffix}_report.json", paths)

    # Without the FLAG run the batch is WARN, the one status that blocks.
    for f in pathlib.Path(b["dwi"]).parent.iterdir():
        f.unlink()
    out = json.loads(_tarvix.audit_bids(str(root), step=3.0))
    assert (out["status"], out["exit_code"]) == ("WARN", 3)
    report = json.loads((out_dir / "sub-01_dwi_report.json").read_text())
    single = json.loads(_tarvix.audit(a["bvec"], a["bval"], dwi=a["dwi"], step=3.0))
    assert report["flip"]["best"]["n_samples"] == single["flip"]["best"]["n_samples"]


def test_refused_and_failed_batches(tmp_path):
    """Nothing is written for an empty tree or settings no single audit accepts;
    a failed batch keeps the reports made before the failing run, and no summary."""
    root = tmp_path / "ds"
    (root / "sub-01/dwi").mkdir(parents=True)
    (root / "sub-01/dwi/sub-01_dwi.nii.gz").write_bytes(b"")
    (root / "sub-01/dwi/sub-01_dwi.bvec").write_text("1\n0\n0\n")
    for missing in (root, tmp_path / "missing"):
        with pytest.raises(ValueError) as exc:
            _tarvix.audit_bids(str(missing))
        assert str(exc.value) == NO_RUN.format(missing)
    assert not (root / "derivatives").exists()
    # With a run, a bad step is refused before the image is read.
    (root / "sub-01/dwi/sub-01_dwi.bval").write_text("0\n")
    with pytest.raises(ValueError, match="^step must be finite and greater than 0: 0$"):
        _tarvix.audit_bids(str(root), step=0.0)
    assert not (root / "derivatives").exists()
    # A bad margin threshold leaves an earlier batch's outputs as they were.
    run(root / "sub-01/dwi", "sub-01_dwi")
    assert json.loads(_tarvix.audit_bids(str(root), threads=1))["status"] == "PASS"
    out_dir = root / "derivatives/tarvix"
    kept = {p.name: p.read_bytes() for p in out_dir.iterdir()}
    assert sorted(kept) == ["dataset_summary.json", "sub-01_dwi_report.json"]
    for value in (0.0, 1.5, float("nan")):
        with pytest.raises(ValueError, match=r"^margin threshold must be finite and in \(0, 1\]: "):
            _tarvix.audit_bids(str(root), margin_threshold=value, threads=1)
        assert {p.name: p.read_bytes() for p in out_dir.iterdir()} == kept

    (out_dir / "sub-01_dwi_report.json").unlink()
    bad = run(root / "sub-02/dwi", "sub-02_dwi")
    pathlib.Path(bad["bval"]).write_text("0 1000 abc\n")
    run(root / "sub-03/dwi", "sub-03_dwi")
    with pytest.raises(ValueError) as exc:
        _tarvix.audit_bids(str(root))
    assert str(exc.value).startswith(f"failed to parse {bad['bval']}: ")
    assert sorted(p.name for p in out_dir.iterdir()) == ["sub-01_dwi_report.json"]
