"""`tarvix bids` as pipelines run it, and its group level reading an output
folder it cannot trust (someone else's, a copy, one half-written): no report
ends it, hangs it or is shown as what it does not say; every run is in the
group table, by its BIDS entities."""

import copy
import json
import os
import shutil

import pytest

from tarvix import cli as tarvix_cli

from cli_runner import cli
from conftest import group_rows as rows_of, write_run as run


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    """Three runs, two of one subject told apart only by dir (the PA one
    flipped), and sub-03 whose bval is broken; a participant level of sub-01
    and sub-02 into the dataset's derivatives."""
    root = tmp_path_factory.mktemp("group") / "ds"
    run(root / "sub-01/dwi", "sub-01_dir-AP_dwi")
    run(root / "sub-01/dwi", "sub-01_dir-PA_dwi", transform="-x+y+z")
    run(root / "sub-02/ses-1/dwi", "sub-02_ses-1_acq-b_dwi")
    with open(run(root / "sub-03/dwi", "sub-03_dwi")["bval"], "w") as f:
        f.write("0 1000 abc\n")
    result = cli("bids", root, root / "derivatives/tarvix", "participant", "--participant-label", "01", "02",
                 "--threads", "1")
    assert result.returncode == 4, result.stderr
    return root, root / "derivatives/tarvix"


def test_group_table_tells_runs_apart_by_their_entities(study):
    root, out = study
    assert cli("bids", root, out, "group").returncode == 4
    header, rows = rows_of(out)
    assert header[:5] == ["participant_id", "session_id", "acq", "dir", "name"]
    assert {n: (r["session_id"], r["acq"], r["dir"], r["status"]) for n, r in rows.items()} == {
        "sub-01_dir-AP_dwi": ("n/a", "n/a", "AP", "PASS"), "sub-01_dir-PA_dwi": ("n/a", "n/a", "PA", "FLAG"),
        "sub-02_ses-1_acq-b_dwi": ("ses-1", "b", "n/a", "PASS")}
    assert list(json.loads((out / "group_report.json").read_text())) == header


def _mangled(good):
    """(run label, the report file's content or how to make it, why it cannot be used)."""
    def report(**changes):  # None deletes the field
        return json.dumps({k: v for k, v in {**good, **changes}.items() if not (k in changes and v is None)}).encode()

    hostile = "<script>alert(1)</script>"
    return [
        ("script", report(status=hostile, verdict=dict(good["verdict"], status=hostile)), "none of PASS, WARN"),
        ("lower", report(status="flag", verdict=dict(good["verdict"], status="flag")), "none of PASS, WARN"),
        ("split", report(status="FLAG", verdict=dict(good["verdict"], status="PASS")),
         "is inconsistent: its status is FLAG but its verdict's is PASS"),
        ("noverdict", report(verdict=None), "has no verdict"),
        ("listed", report(verdict=[]), "has a list as verdict, where an object belongs"),
        ("null", b"null", "holds null"),
        ("deep", b"[" * 100000 + b"]" * 100000, "nests its JSON too deeply"),
        ("latin", b'{"tool": "tarvix", "status": "\xe9"}', "is not UTF-8 text"),
        ("fifo", os.mkfifo, "is a FIFO, not a regular file"),
        ("zero", lambda path: os.symlink("/dev/zero", path), "is a character device"),
        ("huge", lambda path: open(path, "wb").truncate(65 << 20), "more than the 64 MiB"),  # sparse
    ]


def test_reports_that_cannot_be_used_are_named_counted_and_never_shown(study, tmp_path):
    root, out = study
    folder = shutil.copytree(out, tmp_path / "out")
    good = json.loads((out / "sub-01/dwi/sub-01_dir-AP_desc-tarvix_report.json").read_text())
    cases = _mangled(good)
    for label, content, _ in cases:
        path = folder / f"sub-{label}/dwi/sub-{label}_desc-tarvix_report.json"
        path.parent.mkdir(parents=True)
        path.write_bytes(content) if isinstance(content, bytes) else content(str(path))
    os.mkfifo(folder / "failed_runs.json")  # the lists the participant tasks share
    os.mkfifo(folder / "unreadable_folders.json")
    (folder / "skipped_runs.json").write_text(json.dumps(["/d/sub-9/dwi/sub-9_acq-<script>_dwi.nii: why: skipped"]))
    result = cli("bids", root, folder, "group", timeout=120)
    assert result.returncode == 1 and "Traceback" not in result.stderr, result.stderr
    assert f"{len(cases)} reports in {folder} cannot be used" in result.stderr
    said = dict(line.strip().split(" ", 1) for line in result.stderr.splitlines()[1:])
    _, rows = rows_of(folder)
    for label, _, why in cases:
        assert why in said[f"sub-{label}/dwi/sub-{label}_desc-tarvix_report.json"]
        assert rows[f"sub-{label}_dwi"]["status"] == "FAILED" and why in rows[f"sub-{label}_dwi"]["notes"]
    assert "which runs failed is unknown" in rows["failed_runs.json"]["notes"]
    assert rows["sub-9_acq-<script>_dwi"]["status"] == "SKIPPED"
    assert "which folders were not read is unknown" in result.stderr
    summary = json.loads((folder / "dataset_summary.json").read_text())
    assert [r["status"] for r in summary["results"]] == ["PASS", "FLAG", "PASS"]
    page = (folder / "index.html").read_text()
    assert page.count("<script") == 1 and all(f"sub-{label}_dwi" in page for label, _, _ in cases)
    assert "sub-9_acq-&lt;script&gt;_dwi" in page and "which folders were not read is unknown" in page


def _paths(value, path=()):
    yield path
    items = value.items() if isinstance(value, dict) else enumerate(value[:1]) if isinstance(value, list) else ()
    for key, item in items:
        yield from _paths(item, path + (key,))


def test_no_mangled_field_ends_the_group_level_or_loses_the_run(study, tmp_path, capsys):
    """Each field of a FLAG run's report, in turn, deleted or replaced by a
    value of each kind, in copies of the report beside the study's three."""
    root, out = study
    folder = shutil.copytree(out, tmp_path / "out")
    good = json.loads((out / "sub-01/dwi/sub-01_dir-PA_desc-tarvix_report.json").read_text())
    values = ("delete", None, [], {}, "<b>x", 1.5)
    targets = [folder / f"sub-m{k}/dwi/sub-m{k}_desc-tarvix_report.json" for k in range(len(values))]
    for target in targets:
        target.parent.mkdir(parents=True)
    for path in list(_paths(good))[1:]:
        *parents, key = path
        for k, (value, target) in enumerate(zip(values, targets)):
            report = copy.deepcopy(good)
            report["source"]["name"] = f"sub-m{k}_dwi"
            holder = report
            for part in parents:
                holder = holder[part]
            if value == "delete":
                del holder[key]
            else:
                holder[key] = value
            target.write_text(json.dumps(report))
        code = tarvix_cli.main(["bids", str(root), str(folder), "group"])
        err = capsys.readouterr().err
        assert code in (1, 4) and (code == 1) == ("cannot be used" in err), (path, err)
        assert len(rows_of(folder)[1]) == 3 + len(values), path


def _batch(args, closed):
    """The command with stdout or stderr a pipe nobody reads."""
    read, write = os.pipe()
    os.close(read)
    try:
        return cli("bids", *args, **{closed: write})
    finally:
        os.close(write)


@pytest.mark.parametrize("level, fail_on, closed, code", [
    ([], [], "stdout", 4),  # tarvix bids ... | head -n 1
    ([], ["--fail-on", "never"], "stderr", 0),
    (["participant"], ["--fail-on", "never"], "stdout", 0),
    (["participant", "--participant-label", "03", "--keep-going"], ["--fail-on", "never"], "stdout", 1),
])
def test_a_closed_stream_or_fail_on_never_keeps_the_batch(study, tmp_path, level, fail_on, closed, code):
    root, _ = study
    labels = [] if "--participant-label" in level else ["--participant-label", "01", "02"]
    result = _batch([root, tmp_path / "out", *level, *labels, *fail_on, "--threads", "1"], closed)
    assert result.returncode == code and "Traceback" not in (result.stderr or ""), result.stderr
    if closed == "stdout" and code != 1:
        assert "cannot write to standard output" in result.stderr and "the outputs were written" in result.stderr
    reports = sorted(p.name for p in (tmp_path / "out").rglob("*_desc-tarvix_report.json"))
    assert len(reports) == (0 if code == 1 else 3)
    assert (tmp_path / "out/index.html").exists() == (not level)
