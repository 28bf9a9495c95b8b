"""`tarvix bids`'s group level: every run is in the group table, by its BIDS
entities."""

import json

import pytest

from cli_runner import cli
from conftest import write_run as run


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


def rows_of(out):
    lines = [line.split("\t") for line in (out / "group_report.tsv").read_text().splitlines()]
    return lines[0], {r[lines[0].index("name")]: dict(zip(lines[0], r)) for r in lines[1:]}


def test_group_table_tells_runs_apart_by_their_entities(study, tmp_path):
    root, out = study
    assert cli("bids", root, out, "group").returncode == 4
    header, rows = rows_of(out)
    assert header[:5] == ["participant_id", "session_id", "acq", "dir", "name"]
    assert {n: (r["session_id"], r["acq"], r["dir"], r["status"]) for n, r in rows.items()} == {
        "sub-01_dir-AP_dwi": ("n/a", "n/a", "AP", "PASS"), "sub-01_dir-PA_dwi": ("n/a", "n/a", "PA", "FLAG"),
        "sub-02_ses-1_acq-b_dwi": ("ses-1", "b", "n/a", "PASS")}
    assert list(json.loads((out / "group_report.json").read_text())) == header
