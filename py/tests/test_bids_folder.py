"""`tarvix bids` and the folder it writes in: what it may replace, how tasks of
a job array share it, and what is left when a worker or the client dies.
Every case runs the command in its own process; waits are bounded."""

import json
import os
import pathlib
import signal

import pytest

from tarvix import batch, batch_task

from cli_runner import cli, start
from conftest import contents, pausing, wait_for, write_run as run

FOREIGN = {"index.html": "<p>our lab page</p>", "dataset_summary.json": '{"ours": 1}',
           "failed_runs.json": "[]", "dataset_description.json": '{"Name": "lab", "GeneratedBy": [{"Name": "x"}]}'}


def make_tree(root, runs=(("01", {}), ("02", {"transform": "-x+y+z"}))):
    for label, kwargs in runs:
        run(root / f"sub-{label}/dwi", f"sub-{label}_dwi", **kwargs)
    (root / "dataset_description.json").write_text('{"Name": "study", "Authors": ["A"]}')
    return root


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    return make_tree(tmp_path_factory.mktemp("ds") / "ds")


@pytest.mark.parametrize("where, says", [
    (".", "is the dataset's own folder"),
    ("dataset_description.json", "exists and is not a folder"),
    ("sub-01", "inside the dataset's raw data (sub-01)"),
    ("sourcedata/tarvix", "inside the dataset's raw data (sourcedata)"),
    ("derivatives", "the dataset's derivatives folder, which every pipeline shares"),
])
def test_dataset_itself_is_never_the_output(tree, where, says):
    before = contents(tree)
    for force in ([], ["--force"]):
        result = cli("bids", tree, "--output-dir", tree / where, "--no-tracking", *force)
        assert result.returncode == 1 and says in result.stderr, result.stderr
    assert contents(tree) == before


def test_foreign_folder_refused_then_kept_as_backups_and_own_folder_replaced(tree, tmp_path):
    www = tmp_path / "www"
    www.mkdir()
    for name, text in FOREIGN.items():
        (www / name).write_text(text)
    (www / "notes.txt").write_text("keep")
    result = cli("bids", tree, "--output-dir", www, "--no-tracking")
    assert result.returncode == 1 and "tarvix did not write" in result.stderr and "--force" in result.stderr
    assert {p.name: p.read_text() for p in www.iterdir()} == {**FOREIGN, "notes.txt": "keep"}

    result = cli("bids", tree, "--output-dir", www, "--no-tracking", "--force")
    assert result.returncode == 4, result.stderr  # sub-02 FLAG
    for name, text in FOREIGN.items():
        assert (www / f"{name}.bak").read_text() == text
    assert (www / "notes.txt").read_text() == "keep"

    # Now ours: a second batch replaces its own files, no --force, no new backup.
    result = cli("bids", tree, "--output-dir", www, "--no-tracking")
    assert result.returncode == 4, result.stderr
    assert sorted(p.name for p in www.glob("*.bak*")) == sorted(f"{n}.bak" for n in FOREIGN)


def test_job_array_tasks_share_one_summary_and_page(tmp_path):
    root = make_tree(tmp_path / "ds", runs=[("01", {}), ("02", {"transform": "-x+y+z"}), ("03", {})])
    out = root / "derivatives/tarvix"

    def covered():  # the summary's runs, each with its row on the page
        results = [(r["name"], r["status"]) for r in json.loads((out / "dataset_summary.json").read_text())["results"]]
        page = (out / "index.html").read_text()
        assert page.count("<tr class=") == len(results) and "sub-02/dwi/sub-02_desc-tarvix_report.json" in page
        return results

    # Tasks at once: whichever writes last covers every report.
    tasks = [start("bids", root, "--participant-label", label, "--no-tracking") for label in ("01", "02", "03")]
    # (A task that finishes before sub-02's report is back states the PASS it summarised.)
    assert {t.wait(timeout=300) for t in tasks} <= {0, 4} and tasks[1].returncode == 4
    everyone = [("sub-01_dwi", "PASS"), ("sub-02_dwi", "FLAG"), ("sub-03_dwi", "PASS")]
    assert covered() == everyone

    # A report whose run left the dataset is still in the folder, so still covered; a task's
    # status is the folder's (sub-03 passes, sub-02 flags).
    (root / "sub-01").rename(tmp_path / "sub-01")
    assert cli("bids", root, "--participant-label", "03", "--no-tracking").returncode == 4
    assert covered() == everyone


# Stalls the batch in sub-02's run, after it set the run's earlier files aside.
STALL = pausing("batch_task._audit", when="a[0]['name'] == 'sub-02_dwi'")


def test_a_rerun_that_stops_keeps_the_files_of_every_run_it_did_not_finish(tmp_path):
    root = make_tree(tmp_path / "ds", runs=[("01", {}), ("02", {}), ("03", {})])
    out = root / "derivatives/tarvix"
    assert cli("bids", root, "--no-tracking").returncode == 0
    group_files = {"dataset_summary.json", "group_report.tsv", "group_report.json", "index.html"}
    kept = lambda files: {k: v for k, v in files.items() if not k.startswith("sub-01/")}  # noqa: E731
    # One task of a job array leaves the group level's files to the group level.
    before = contents(out)
    assert cli("bids", root, out, "participant", "--participant-label", "03", "--no-tracking").returncode == 0
    after = contents(out)
    assert set(after) == set(before)
    assert {k for k in after if after[k] != before[k]} == {"sub-03/dwi/sub-03_desc-tarvix_report.json"}

    # Stopped while sub-02 runs: sub-01 is redone, sub-02 and sub-03 keep their files, and so does the group.
    for sig, code in ((signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGKILL, -9)):
        before = contents(out)
        ready = tmp_path / f"ready-{sig}"
        proc = start("bids", root, "--no-tracking", prelude=STALL, READY=ready)
        wait_for(lambda: ready.exists() or proc.poll() is not None)
        proc.send_signal(sig)
        _, err = proc.communicate(timeout=60)
        assert proc.returncode == code and "Traceback" not in err, err
        if sig == signal.SIGKILL:  # what the next batch does first in each folder it writes into
            batch.restore_stale(str(out / "sub-02/dwi"))
        assert kept(contents(out)) == kept(before) and group_files <= set(before)

    # Stopped by a failing run: listed as failed, its earlier report gone; the runs after it keep theirs.
    before = contents(out)
    bval = root / "sub-02/dwi/sub-02_dwi.bval"
    good = bval.read_text()
    bval.write_text("0 1000 abc\n")
    result = cli("bids", root, "--no-tracking")
    assert result.returncode == 1 and str(bval) in result.stderr
    after = contents(out)
    assert [f["name"] for f in json.loads(after.pop("failed_runs.json"))] == ["sub-02_dwi"]
    assert kept(after) == {k: v for k, v in kept(before).items() if not k.startswith("sub-02/")}
    bval.write_text(good)
    assert cli("bids", root, "--no-tracking").returncode == 0
    assert not (out / "failed_runs.json").exists() and not list(out.rglob(".tarvix*"))


def test_tasks_on_one_run_take_turns_or_the_second_fails_naming_it(tmp_path):
    """Overlapping --participant-label tasks: one holds sub-02's run; one that
    may not wait fails that run alone, touching none of its files; one with
    --repair waits its turn, so its report and its tables are what is left."""
    root = make_tree(tmp_path / "ds")
    out = root / "derivatives/tarvix"
    args = ["bids", str(root), str(out), "participant", "--no-tracking"]
    assert cli(*args).returncode == 4
    ready, go, waits = tmp_path / "ready", tmp_path / "go", tmp_path / "waits"
    holder = start(*args, "--participant-label", "02", prelude=STALL, READY=ready, GO=go)
    try:
        wait_for(lambda: ready.exists() or holder.poll() is not None)
        held = contents(out)
        busy = start(*args, "--participant-label", "01", "02", "--keep-going", TARVIX_LOCK_WAIT=0)
        _, err = busy.communicate(timeout=300)
        assert busy.returncode == 1 and "sub-02_dwi: this run is being processed by another tarvix task" in err, err
        sub02 = lambda files: {k: v for k, v in files.items() if k.startswith("sub-02/")}  # noqa: E731
        assert sub02(contents(out)) == sub02(held)
        repair = start(*args, "--participant-label", "02", "--repair", WAITING=waits, GO=go, TARVIX_LOCK_WAIT=120,
                       prelude=pausing("batch_task.RunLock.__init__", when="a[2]", signal="WAITING"))
        wait_for(lambda: waits.exists() or repair.poll() is not None)
    finally:
        go.touch()
    assert holder.wait(timeout=300) == 4 and repair.wait(timeout=300) == 4, repair.stderr.read()
    report = json.loads((out / "sub-02/dwi/sub-02_desc-tarvix_report.json").read_text())
    tables = sorted(str(p.relative_to(out)) for p in out.glob("sub-02/dwi/*") if not p.name.endswith(
        ("_report.json", "_tracking.json", "_qc.png")))
    assert tables and sorted(report["written_tables"]) == tables
    assert not list(out.rglob(".tarvix*")) and not (out / "failed_runs.json").exists()


def test_labels_sessions_and_links_are_told_apart(tmp_path):
    root = tmp_path / "ds"
    for session in ("1", "2"):  # the session only in the folder, as some converters write it
        run(root / f"sub-01/ses-{session}/dwi", "sub-01_dwi")
    result = cli("bids", root, "--participant-label", "99", "--no-tracking")
    assert result.returncode == 1 and "--participant-label 99: no such participant" in result.stderr
    assert "(participants: 01)" in result.stderr
    result = cli("bids", root, "--participant-label", "01", "99", "--no-tracking")
    assert result.returncode == 0, result.stderr
    assert "--participant-label 99 matches no participant" in result.stderr
    out = root / "derivatives/tarvix"
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*_desc-tarvix_report.json")) == \
        [f"sub-01/ses-{k}/dwi/sub-01_ses-{k}_desc-tarvix_report.json" for k in ("1", "2")]


def _children(pid):
    try:
        return pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    except OSError:
        return []


def _session_members(sid):
    """The live (not zombie) processes of a session."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            state = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
            if os.getsid(int(pid)) == sid and state != "Z":
                found.append(pid)
        except OSError:
            pass
    return found


@pytest.fixture
def six_runs(tmp_path):
    return make_tree(tmp_path / "ds", runs=[(f"{k:02d}", {}) for k in range(1, 7)])


def test_killed_worker_fails_only_its_run(six_runs):
    out = six_runs / "derivatives/tarvix"
    assert cli("bids", six_runs, "--no-tracking").returncode == 0
    client = start("bids", six_runs, "--jobs", "2", "--keep-going", "--no-tracking")
    # Killed once it has set a run's earlier files aside (the names carry its process id).
    aside = wait_for(lambda: next(out.rglob(".tarvix-*-previous-*_report.json"), None))
    os.kill(int(aside.name.split("-")[1]), signal.SIGKILL)
    _, stderr = client.communicate(timeout=300)
    assert client.returncode == 1, stderr
    failed = json.loads((out / "failed_runs.json").read_text())
    assert len(failed) == 1 and failed[0]["error"] == f"{batch.WORKER_LOST}: SIGKILL"
    assert f"tarvix: run failed: {failed[0]['name']}: {batch.WORKER_LOST}" in stderr
    summary = json.loads((out / "dataset_summary.json").read_text())
    assert len(summary["results"]) == 5 and failed[0]["name"] not in [r["name"] for r in summary["results"]]
    # Its failure stays the run's result: nothing the worker set aside comes back.
    batch.restore_stale(str((out / failed[0]["stem"]).parent))
    assert not (out / f"{failed[0]['stem']}_report.json").exists() and not list(out.rglob(".tarvix*"))


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM])
def test_no_process_outlives_a_killed_client(six_runs, sig):
    client = start("bids", six_runs, "--jobs", "2", "--no-tracking", new_session=True)
    wait_for(lambda: len(_children(client.pid)) == 2)
    os.kill(client.pid, sig)
    client.wait(timeout=60)
    # Nothing of the batch (workers, a fork server, a resource tracker) remains in its session.
    wait_for(lambda: not _session_members(client.pid), seconds=30)


@pytest.mark.parametrize("change, says", [
    (None, None),
    ("missing", "not found where this run executes"),
    ("size", "is not the file the client saw"),
    ("folder", "the output folder is not found"),
])
def test_task_checks_it_sees_the_clients_inputs(tmp_path, change, says):
    paths = run(tmp_path / "sub-01/dwi", "sub-01_dwi")
    entry = {"dwi": paths["dwi"], "bvec": paths["bvec"], "bval": paths["bval"], "masks": [], "sidecar": None}
    entry["seen"] = {p: batch_task.fingerprint(p) for p in batch_task.input_files(entry)}
    if change == "missing":
        os.rename(paths["bval"], paths["bval"] + ".x")
    elif change == "size":
        with open(paths["bval"], "a") as f:
            f.write(" ")
    out = tmp_path / ("gone" if change == "folder" else "")
    found = batch_task.check_inputs(entry, str(out))
    if says is None:
        assert found is None
    else:
        assert found.startswith((str(out) if change == "folder" else paths["bval"]) + ": ") and says in found


def test_the_modules_own_folder_is_ours(tree):
    """audit_bids (and tarvix before the folder carried a description) writes
    only reports and a summary naming tarvix: a later batch replaces them."""
    from tarvix import _tarvix

    _tarvix.audit_bids(str(tree), threads=1)
    result = cli("bids", tree, "--no-tracking")
    assert result.returncode == 4, result.stderr
    out = tree / "derivatives" / "tarvix"
    assert not list(out.glob("*.bak*"))
