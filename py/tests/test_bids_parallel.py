"""`tarvix bids` in its own process, on worker processes and on a Dask cluster:
each run's report must be `_tarvix.audit_bids`'s on the same tree (timestamps
apart) with the run's verdict on top, whatever order the runs finish in, and
every file must state the verdict the exit status gives."""

import importlib.util
import json
import os
import pathlib
import re
import shutil
import signal

import pytest

from tarvix import _engine, _tarvix, batch

from cli_runner import cli, hiding, start
from conftest import group_rows, validate, wait_for, without_names, write_run as run

TIMESTAMP = re.compile(r'"timestamp": "[^"]*"')
GOOD = [("sub-01/ses-01/dwi", "sub-01_ses-01_dwi", {}),
        ("sub-01/ses-02/dwi", "sub-01_ses-02_dwi", {}),
        ("sub-02/dwi", "sub-02_dwi", {"transform": "-x+y+z"}),  # FLAG
        ("sub-04/dwi", "sub-04_dwi", {"scale": 0.8})]  # amplitude-encoded: WARN
BAD = {"sub-03/dwi/sub-03_dwi.bval": "0 1000 abc\n", "sub-05/dwi/sub-05_dwi.bval": "0 1000\n"}


def make_tree(root, bad=False):
    for folder, name, kwargs in GOOD:
        run(root / folder, name, **kwargs)
    for relative, text in BAD.items() if bad else ():
        paths = run((root / relative).parent, pathlib.Path(relative).name.removesuffix(".bval"))
        pathlib.Path(paths["bval"]).write_text(text)
    return root


def assert_no_partial_files(folder):
    for path in folder.rglob("*"):
        assert not path.name.startswith(".tarvix-"), path
        if path.is_file():
            json.loads(path.read_text())


def folder_texts(folder):
    """Each JSON file's text by its path in the folder, timestamps masked."""
    return {str(p.relative_to(folder)): TIMESTAMP.sub('"timestamp": ""', p.read_text())
            for p in sorted(folder.rglob("*.json"))}


def stem(name):  # where the command line puts a run's files (the rule itself: test_bids_app)
    return batch.derivative_stem(name, 1)


@pytest.fixture(scope="module")
def trees(tmp_path_factory):
    """A good tree and the same with two failing runs (sub-03 first in
    discovery order), each with audit_bids's own outputs kept aside."""
    out = {}
    for bad in (False, True):
        root = make_tree(tmp_path_factory.mktemp("bad" if bad else "good") / "ds", bad)
        try:
            reference = _tarvix.audit_bids(str(root), threads=1)
        except ValueError as e:
            reference = e
        expected = root.parent / "expected"
        shutil.move(root / "derivatives" / "tarvix", expected)
        shutil.rmtree(root / "derivatives")
        out[bad] = (root, reference, expected)
    return out


@pytest.fixture(scope="module")
def cluster():
    if not all(importlib.util.find_spec(m) for m in ("dask", "distributed")):
        pytest.skip("dask and distributed are not installed")
    from distributed import LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, worker_dashboard_address=None) as c:
        yield c.scheduler_address


@pytest.fixture(params=["serial", "jobs", "dask"])
def backend(request):
    """The options that pick a backend: none, worker processes, a Dask cluster."""
    if request.param == "dask":
        return ["--scheduler", request.getfixturevalue("cluster")]
    return ["--jobs", "2"] if request.param == "jobs" else []


VERDICTS = {"sub-01_ses-01_dwi": "PASS", "sub-01_ses-02_dwi": "PASS", "sub-02_dwi": "FLAG", "sub-04_dwi": "WARN"}


def test_reports_are_the_modules_with_one_verdict_everywhere(trees, backend, tmp_path):
    root, reference, expected = trees[False]
    out = tmp_path / "out"
    result = cli("bids", root, "--output-dir", out, "--threads", "1", "--json", *backend)
    assert result.returncode == 4, result.stderr  # one FLAG run
    printed = json.loads(result.stdout)
    validate("batch-summary", printed)
    module = json.loads(reference)
    assert (printed["status"], printed["exit_code"]) == ("FLAG", 4)
    assert [r["name"] for r in printed["results"]] == [r["name"] for r in module["results"]]
    assert {r["name"]: r["status"] for r in printed["results"]} == VERDICTS
    summary = json.loads((out / "dataset_summary.json").read_text())
    validate("batch-summary", summary)
    assert {r["name"]: r["status"] for r in summary["results"]} == VERDICTS and summary["status"] == "FLAG"

    texts, module_texts = folder_texts(out), folder_texts(expected)
    for name, status in VERDICTS.items():
        engine = json.loads(texts[f"{stem(name)}_report.json"])
        validate("engine-report", engine)
        without_names(engine)
        verdict = engine.pop("verdict")
        assert engine["status"] == verdict["status"] == status
        assert engine.pop("tracking") == json.loads(texts[f"{stem(name)}_tracking.json"])
        assert engine.pop("source") == {"name": name, "dwi": f"{stem(name).rsplit('/', 1)[0]}/{name}.nii.gz"}
        # The flipped run's table is the others' with x negated, which its report says besides.
        cross_run = engine.pop("cross_run", None)
        assert (cross_run is not None) == (name == "sub-02_dwi")
        if cross_run:
            assert cross_run["transform"] == "-x+y+z" and engine["notes"].pop() == cross_run["note"]
        assert engine.pop("consistency")["status"] == "PASS"
        module_report = json.loads(module_texts[f"{name}_report.json"])
        engine["status"] = module_report["status"]
        assert engine == module_report
    # The group table's columns by entity: test_bids_group; the same table from a split batch: test_bids_app.
    assert {n: r["recommended_label"] for n, r in group_rows(out)[1].items()} == {
        "sub-01_ses-01_dwi": "n/a", "sub-01_ses-02_dwi": "n/a", "sub-02_dwi": "-x+y+z", "sub-04_dwi": "n/a"}


def test_first_failing_run_in_discovery_order_wins(trees, backend):
    root, error, _ = trees[True]
    result = cli("bids", root, "--threads", "1", *backend)
    assert result.returncode == 1
    # audit_bids's error, after the run's image and with the entry the command line's table reading names.
    image = root / "sub-03/dwi/sub-03_dwi.nii.gz"
    assert result.stderr == f"tarvix: error: run failed: {image}: {error} (line 1, number 3)\n"
    assert "sub-03_dwi.bval" in str(error)
    assert not (root / "derivatives/tarvix/dataset_summary.json").exists()
    assert_no_partial_files(root / "derivatives/tarvix")


def test_keep_going_lists_failures_and_summarises_the_rest(trees, tmp_path):
    root, _, expected = trees[True]
    out = tmp_path / "out"
    result = cli("bids", root, "--keep-going", "--jobs", "2", "--output-dir", out, "--no-tracking")
    assert result.returncode == 1
    failed = json.loads((out / "failed_runs.json").read_text())
    assert [f["name"] for f in failed] == ["sub-03_dwi", "sub-05_dwi"]
    # Every file and line states the exit status: ERROR, with the worst verdict of the rest beside it.
    assert result.stdout.startswith("status: ERROR — 6 runs: 2 PASS, 1 WARN, 1 FLAG, 2 failed\n"), result.stdout
    summary = json.loads((out / "dataset_summary.json").read_text())
    validate("batch-summary", summary)
    assert [r["name"] for r in summary["results"]] == [name for _, name, _ in GOOD]
    assert (summary["status"], summary["verdict"], summary["n_failed"]) == ("ERROR", "FLAG", 2)
    assert summary["failed"] == [{"dwi": f["dwi"], "error": f["error"], "name": f["name"]} for f in failed]
    assert not list(out.rglob("*_tracking.json"))
    # (The page's row for a failed run: test_qc_page; a batch's failures on its page: test_bounds.)


def test_finish_refuses_a_status_nobody_decided(tmp_path):
    for status in ("pass", "ERROR", "", None):
        results = json.dumps([{"name": "sub-01_dwi", "dwi": "/d/sub-01_dwi.nii.gz", "status": status}])
        with pytest.raises(ValueError, match="not PASS, WARN or FLAG|JSON array"):
            _engine.bids_finish(str(tmp_path), str(tmp_path), results)
    assert not (tmp_path / "dataset_summary.json").exists()


def test_participant_labels_description_and_dask_only_for_a_scheduler(trees, tmp_path):
    root, _, _ = trees[False]
    out = tmp_path / "out"
    assert cli("bids", root, "--participant-label", "01", "--output-dir", out, "--no-tracking").returncode == 0
    description = json.loads((out / "dataset_description.json").read_text())
    assert description["GeneratedBy"] == [{"Name": "tarvix", "Version": _tarvix.version()}]
    assert {"Name", "BIDSVersion"} <= set(description) and description["DatasetType"] == "derivative"
    # Worker processes need no Dask; the description is the same wherever the outputs go, but for
    # the link to the dataset, relative from inside it.
    hide = hiding("distributed")
    result = cli("bids", root, "--jobs", "2", "--participant-label", "02", "--no-tracking", prelude=hide)
    assert result.returncode == 4
    inside = json.loads((root / "derivatives/tarvix/dataset_description.json").read_text())
    assert description["SourceDatasets"] == [{"URL": "bids:raw:"}]
    links = inside.pop("DatasetLinks"), description.pop("DatasetLinks")
    assert links == ({"raw": "../../"}, {"raw": root.as_uri() + "/"})
    assert inside == description
    # A scheduler without Dask is a one-line hint.
    result = cli("bids", root, "--scheduler", "tcp://127.0.0.1:1", "--output-dir", tmp_path / "a", prelude=hide)
    assert result.returncode == 1 and "pip install 'tarvix[cluster]'" in result.stderr
    assert len(result.stderr.splitlines()) == 1 and not (tmp_path / "a").exists()


def test_cluster_workers_in_another_folder_audit_the_clients_files(trees, cluster, tmp_path):
    """The workers run elsewhere (here: the test's own folder); a relative ROOT
    is the client's, and every path reaches them absolute."""
    root, _, _ = trees[False]
    elsewhere = tmp_path / "client"
    elsewhere.mkdir()
    (elsewhere / "ds").symlink_to(root)
    result = cli("bids", "ds", "--output-dir", "out", "--scheduler", cluster, "--no-tracking", "--json",
                 cwd=elsewhere)
    assert result.returncode == 4, result.stderr
    results = json.loads(result.stdout)["results"]
    assert [r["dwi"] for r in results] == [str(elsewhere / "ds" / f / f"{n}.nii.gz") for f, n, _ in GOOD]
    assert len(list((elsewhere / "out").rglob("*_desc-tarvix_report.json"))) == len(GOOD)


def test_interrupt_cancels_and_leaves_whole_files(tmp_path):
    root = tmp_path / "ds"
    # Enough runs that a slow machine cannot finish them all between the first report and the signal.
    runs = 30
    for k in range(1, runs + 1):
        run(root / f"sub-{k:02d}/dwi", f"sub-{k:02d}_dwi")
    out = root / "derivatives/tarvix"
    # Its own process group, as a terminal's Ctrl-C reaches the command and its workers alike.
    child = start("bids", root, "--jobs", "2", new_session=True)
    wait_for(lambda: list(out.rglob("*_report.json")), 120)
    os.killpg(child.pid, signal.SIGINT)
    _, stderr = child.communicate(timeout=120)
    assert child.returncode == 130, stderr
    assert "interrupted" in stderr
    assert not (out / "dataset_summary.json").exists()
    assert 0 < len(list(out.rglob("*_report.json"))) < runs
    assert_no_partial_files(out)
