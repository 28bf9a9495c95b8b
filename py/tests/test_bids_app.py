"""`tarvix bids` as a BIDS App: participant level per subject then group level
gives what one full run gives; the derivatives layout; masks from a derivatives
dataset; tables written for pipelines; the cross-run table check."""

import json
import os
import shutil

import pytest

from tarvix import batch

from cli_runner import cli, start
from conftest import SHAPE, box_mask, contents, group_rows, validate, write_run as run

RUNS = {  # (subject, session): how its table is written, and the run's verdict
    ("01", "1"): ({}, "PASS"), ("01", "2"): ({}, "PASS"), ("02", "1"): ({}, "PASS"),
    ("02", "2"): ({"transform": "-x+y+z"}, "FLAG"), ("02", "3"): ({"scale": 0.8}, "WARN")}  # amplitude-encoded
FLIPPED = "sub-02_ses-2"
MASKS = {("01", "1"): SHAPE, ("01", "2"): (20, 24, 16), ("02", "2"): SHAPE}  # sub-02 ses-1 has none
REPAIRED = ("dwi.bvec", "dwi.bval", "dwi.b", "provenance.json")


def make_tree(root):
    for (sub, ses), (kwargs, _) in RUNS.items():
        run(root / f"sub-{sub}/ses-{ses}/dwi", f"sub-{sub}_ses-{ses}_dwi", **kwargs)
    (root / "dataset_description.json").write_text('{"Name": "study", "BIDSVersion": "1.9.0"}')
    # Copies of a run where a BIDS App must not look.
    for hidden in ("sourcedata/sub-09/dwi", "code/sub-09/dwi", ".git/sub-09/dwi"):
        run(root / hidden, "sub-09_dwi")
    return root


def make_masks(deriv):
    for (sub, ses), shape in MASKS.items():
        box_mask(deriv / f"sub-{sub}/ses-{ses}/dwi/sub-{sub}_ses-{ses}_space-dwi_desc-brain_mask.nii.gz", shape)
    return deriv


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    base = tmp_path_factory.mktemp("app")
    return make_tree(base / "ds"), make_masks(base / "masks")


COMMON = ["--repair", "--repair-grad", "--threads", "1"]


@pytest.fixture(scope="module")
def full(dataset, tmp_path_factory):
    """One full run of the dataset: the flipped run FLAGs; the dataset is left as it was."""
    root, masks = dataset
    raw = contents(root)
    out = tmp_path_factory.mktemp("full") / "out"
    result = cli("bids", root, out, "--mask-dir", masks, *COMMON)
    assert result.returncode == 4 and contents(root) == raw, result.stderr
    return out


def files_of(out):
    return sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file())


def comparable(out):
    """What the two ways of running must agree on: every file's name, the
    summary's results, the group table, each report without its timestamp
    (the tables it names written under either folder)."""
    reports = {}
    for p in out.rglob("*_desc-tarvix_report.json"):
        report = json.loads(p.read_text().replace(str(out), "OUT"))
        report.pop("timestamp")
        reports[str(p.relative_to(out))] = report
    return (files_of(out), json.loads((out / "dataset_summary.json").read_text())["results"],
            (out / "group_report.tsv").read_text(), reports)


@pytest.mark.parametrize("jobs", [[], ["--jobs", "2"]])
def test_levels_per_subject_then_group_equal_one_full_run(dataset, full, tmp_path, jobs):
    root, masks = dataset
    # The tasks of a job array, at once (with --jobs or not): each writes only its own runs' files.
    split = tmp_path / "split"
    tasks = [start("bids", root, split, "participant", spelling, label, "--mask-dir", masks, *COMMON, *jobs)
             for spelling, label in (("--participant_label", "01"), ("--participant-label", "sub-02"))]
    assert [t.wait(timeout=300) for t in tasks] == [0, 4]  # sub-02 has the FLAG
    assert not {"dataset_summary.json", "group_report.tsv", "index.html"} & set(files_of(split))
    # The group level needs no raw data.
    moved = shutil.move(root, tmp_path / "elsewhere")
    try:
        group = cli("bids", root, split, "group")
    finally:
        shutil.move(moved, root)
    assert group.returncode == 4, group.stderr
    assert comparable(split) == comparable(full)


def test_layout_masks_repair_and_cross_run_note(dataset, full):
    root, out = dataset[0], full
    stems = {key: f"sub-{key[0]}/ses-{key[1]}/dwi/sub-{key[0]}_ses-{key[1]}_desc-tarvix" for key in RUNS}
    repaired = {key: [f"{stems[key]}_{s}" for s in REPAIRED] if status != "WARN" else []
                for key, (_, status) in RUNS.items()}
    expected = {"dataset_description.json", "dataset_summary.json", "group_report.tsv", "group_report.json",
                "index.html"}
    for key, stem in stems.items():
        expected |= {f"{stem}_report.json", f"{stem}_tracking.json", *repaired[key]}
    assert set(files_of(out)) == expected  # nothing of sourcedata/, code/ or .git/; no table for WARN

    reports = {key: json.loads((out / f"{stem}_report.json").read_text()) for key, stem in stems.items()}
    for report in reports.values():
        validate("engine-report", report)
    assert {key: r["mask"]["path"] for key, r in reports.items()} == {  # the mask of the wrong grid is named
        (sub, ses): f"sub-{sub}/ses-{ses}/dwi/sub-{sub}_ses-{ses}_space-dwi_desc-brain_mask.nii.gz"
        if MASKS.get((sub, ses)) == SHAPE else None for sub, ses in RUNS}
    assert "20x24x16 grid" in reports[("01", "2")]["mask"]["note"]
    assert "no brain mask" in reports[("02", "1")]["mask"]["note"]

    # The note names the flipped run only (its words: CrossRun in core/tests; in the report of each
    # backend: test_bids_parallel), and leaves its status to its image.
    assert {key: r["status"] for key, r in reports.items()} == {key: status for key, (_, status) in RUNS.items()}
    rows = group_rows(out)[1]
    assert [n for n, r in rows.items() if r["cross_run_note"] != "n/a"] == [f"{FLIPPED}_dwi"]

    # The flipped run's tables written re-audit PASS (the PASS runs' are their own tables).
    assert {key: r["written_tables"] for key, r in reports.items()} == repaired
    table, dwi = out / f"{stems[('02', '2')]}_dwi", root / f"sub-02/ses-2/dwi/{FLIPPED}_dwi.nii.gz"
    again = cli("audit", "--dwi", dwi, "--bvec", f"{table}.bvec", "--bval", f"{table}.bval", "--no-tracking")
    assert again.returncode == 0, again.stdout
    assert f"{table.relative_to(out)}.bvec" in rows[f"{FLIPPED}_dwi"]["written_tables"]


def test_every_image_met_is_audited_or_named_as_skipped(tmp_path):
    """Tables shared up the tree are inherited (the nearest whose entities the
    run carries), a name that is not UTF-8 is audited and shown with U+FFFD,
    and an image left without a bval is named, with why, and counted."""
    root = tmp_path / "ds"
    shared = run(root / "sub-01/ses-1/dwi", "sub-01_ses-1_dwi")
    os.replace(shared["bval"], root / "sub-01/ses-1_dwi.bval")
    os.replace(shared["bvec"], root / "dwi.bvec")
    odd = run(os.fsdecode(os.fsencode(root / "sub-02/dwi") + b"/\xff"), os.fsdecode(b"sub-02_acq-\xe9_dwi"))
    lost = run(root / "sub-03/dwi", "sub-03_dwi")
    os.unlink(lost["bval"])
    result = cli("bids", root, "--no-tracking", "--threads", "1", "--json")
    assert result.returncode == 0, result.stderr
    printed = json.loads(result.stdout)
    validate("batch-summary", printed)
    assert [(r["name"], r["status"]) for r in printed["results"]] == [("sub-01_ses-1_dwi", "PASS"),
                                                                      ("sub-02_acq-\ufffd_dwi", "PASS")]
    assert printed["results"][1]["dwi"] == odd["dwi"].encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    skipped = f"{lost['dwi']}: no .bval beside it (nor inherited): skipped"
    assert (printed["skipped"], printed["n_skipped"]) == ([skipped], 1) and f"tarvix: {skipped}" in result.stderr
    out = root / "derivatives/tarvix"
    assert json.loads((out / "dataset_summary.json").read_text())["n_skipped"] == 1
    again = cli("bids", root, "--no-tracking", "--threads", "1")
    assert again.stdout.startswith("status: PASS — 3 runs: 2 PASS, 1 skipped"), again.stdout


@pytest.mark.parametrize("name, occurrence, stem", [
    ("sub-01_ses-1_acq-b_run-2_dwi", 1, "sub-01/ses-1/dwi/sub-01_ses-1_acq-b_run-2_desc-tarvix"),
    ("sub-01_dwi", 2, "sub-01/dwi/sub-01_desc-tarvix2"),  # a .nii beside a .nii.gz of one name
    ("scan_dwi", 1, "scan_desc-tarvix"),  # outside any subject: the folder's top
])
def test_derivative_names_keep_every_entity_and_never_collide(name, occurrence, stem):
    assert batch.derivative_stem(name, occurrence) == stem


@pytest.mark.parametrize("args, says", [
    (["participant"], "the level comes after the output folder"),
    (["OUT", "group", "--repair"], "the group level audits nothing"),
    (["OUT", "participant", "--repair-grad"], "--repair-grad needs --repair"),
    (["OUT", "participant", "--output-dir", "OTHER"], "name two folders"),
    (["OUT", "group"], "run the participant level first"),
])
def test_app_call_forms_refused(dataset, tmp_path, args, says):
    root, _ = dataset
    args = [tmp_path / a if a in ("OUT", "OTHER") else a for a in args]
    result = cli("bids", root, *args)
    assert result.returncode in (1, 2) and says in result.stderr, result.stderr
