"""Bounded reads on the command line: inputs that are not regular files, or far
too large, are refused at once naming them; a batch goes on past what it
cannot read. Every command runs in its own process with a timeout, so a read
that waits on a FIFO fails the test instead of hanging it."""

import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

from cli_runner import cli, image
from conftest import group_rows, write_run

TIMEOUT = 120


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "pipe"
    os.mkfifo(path)
    return str(path)


def _sparse(tmp_path, name, size):
    path = tmp_path / name
    with open(path, "wb") as f:
        f.truncate(size)
    return str(path)


# Each case: the file at fault and the command (from tmp_path, a small run and
# a FIFO), and what the one error line must say besides that file's path. (A plain
# image named .nii.gz: VolumeRead.GzipStreams in core/tests.)
CASES = {
    "FIFO as --bvec": (lambda t, r, f: [f, "inspect", "--bvec", f, "--bval", r["bval"]], "is a FIFO"),
    "/dev/zero as --bval": (lambda t, r, f: ["/dev/zero", "inspect", "--bvec", r["bvec"], "--bval", "/dev/zero"],
                            "is a character device"),
    "FIFO as --dwi": (lambda t, r, f: [f, "audit", *image(dict(r, dwi=f))], "a FIFO, not a regular file"),
    "40 MiB --grad": (lambda t, r, f: [g := _sparse(t, "big.b", 40 << 20), "inspect", "--grad", g], "32 MiB"),
    "gzip named .nii": (lambda t, r, f: [d := shutil.copy(r["dwi"], f"{t}/gz_dwi.nii"), "audit",
                                         *image(dict(r, dwi=d))], "is gzip-compressed, but"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_unusable_inputs_are_refused_at_once_naming_them(tmp_path, fifo, case):
    make_args, reason = CASES[case]
    culprit, *args = make_args(tmp_path, write_run(str(tmp_path / "run"), "sub-01_dwi"), fifo)
    done = cli(*args, timeout=TIMEOUT)
    lines = done.stderr.strip().splitlines()
    assert done.returncode == 1 and len(lines) == 1 and lines[0].startswith("tarvix: error: "), done.stderr
    assert lines[0].count(culprit) == 1 and reason in lines[0], lines[0]  # named once


def _without_file_rights():
    """The command prefix that makes a folder with mode 000 unreadable to the
    command: none for an ordinary user; for root, setpriv dropping the two
    capabilities that let root read past file modes."""
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("running as root without setpriv: a mode-000 folder stays readable")
    return [setpriv, "--bounding-set=-dac_override,-dac_read_search"]


@pytest.fixture
def hostile_dataset():
    """A dataset with two good runs, a FIFO named like a run beside them, a
    subject folder nobody may list and a run whose bval nobody may read."""
    top = tempfile.mkdtemp(prefix="tarvix-bounds-")
    ds = os.path.join(top, "ds")
    write_run(os.path.join(ds, "sub-01", "dwi"), "sub-01_dwi")
    write_run(os.path.join(ds, "sub-02", "dwi"), "sub-02_dwi")
    fifo = write_run(os.path.join(ds, "sub-01", "dwi"), "sub-01_acq-fifo_dwi")["dwi"]
    os.unlink(fifo)
    os.mkfifo(fifo)
    locked = os.path.join(ds, "sub-03")
    os.makedirs(os.path.join(locked, "dwi"))
    closed = write_run(os.path.join(ds, "sub-04", "dwi"), "sub-04_dwi")["bval"]
    os.chmod(locked, 0)
    os.chmod(closed, 0)
    yield ds, locked, fifo, closed
    os.chmod(locked, 0o755)
    shutil.rmtree(top)


@pytest.mark.parametrize("keep_going", [False, True])
def test_batch_skips_fifos_and_reports_unreadable_folders(hostile_dataset, keep_going):
    ds, locked, fifo, closed = hostile_dataset
    args = ["bids", ds, "--jobs", "2", "--no-tracking"] + (["--keep-going"] if keep_going else [])
    done = subprocess.run([*_without_file_rights(), sys.executable, "-m", "tarvix", *args], capture_output=True,
                          text=True, timeout=TIMEOUT)
    folder_line = f"cannot list the folder {locked}: Permission denied (os error 13)"
    assert folder_line in done.stderr, done.stderr
    if keep_going:
        # The batch went on: the FIFO is named and left out, both runs audited.
        assert f"{fifo} is a FIFO, not a regular file: skipped" in done.stderr, done.stderr
        assert os.path.exists(os.path.join(ds, "derivatives/tarvix/sub-02/dwi/sub-02_desc-tarvix_report.json"))
        # A run that fails on a file it cannot read names the file.
        assert (f"run failed: sub-04_dwi: I/O error: Permission denied (os error 13), while reading {closed}"
                in done.stderr), done.stderr
        # Runs may hide in the folder it could not read: the batch does not pass as whole.
        assert "1 folder could not be read, so their runs (if any) were not audited" in done.stderr
        assert done.returncode == 1, done.stderr
        # The group level alone, later, still accounts for every image met and the folder not listed.
        out = os.path.join(ds, "derivatives", "tarvix")
        os.unlink(os.path.join(out, "dataset_summary.json"))
        alone = cli("bids", ds, out, "group", timeout=TIMEOUT)
        assert alone.returncode == 1 and folder_line in alone.stderr, alone.stderr
        summary = json.loads(pathlib.Path(out, "dataset_summary.json").read_text())
        assert [summary[k] for k in ("status", "unreadable_folders", "n_datasets", "n_failed", "n_skipped")] == [
            "ERROR", [folder_line], 2, 1, 1]
        rows = group_rows(pathlib.Path(out))[1]
        assert {n: (r["status"], r["notes"] != "n/a") for n, r in rows.items()} == {
            "sub-01_dwi": ("PASS", False), "sub-02_dwi": ("PASS", False), "sub-04_dwi": ("FAILED", True),
            "sub-01_acq-fifo_dwi": ("SKIPPED", True)}
        page = pathlib.Path(out, "index.html").read_text()
        assert all(text in page for text in (folder_line, f"{fifo} is a FIFO", "sub-04_dwi", closed))
    else:
        assert done.returncode == 1 and done.stderr.strip().splitlines()[-1] == f"tarvix: error: {folder_line}"


# VmHWM, the child's own peak: ru_maxrss would start from the test process's
# resident set, which Linux carries across exec.
PEAK = """
import sys
from tarvix import _engine
_engine.audit(dwi=sys.argv[1], bvec=sys.argv[2], bval=sys.argv[3], tracking=True)
print(int([l for l in open("/proc/self/status") if l.startswith("VmHWM:")][0].split()[1]) // 1024)
"""


def _long_scan(folder, volumes):
    """2x2x2 voxels of one fibre along x, one b=0 in 20."""
    import nibabel as nib
    import numpy as np

    rng = np.random.default_rng(0)
    b = np.full(volumes, 1000.0)
    b[::20] = 0
    d = rng.normal(size=(3, volumes))
    d /= np.linalg.norm(d, axis=0)
    d[:, b == 0] = 0
    signal = 1000 * np.exp(-b * (0.3e-3 + 1.4e-3 * d[0] ** 2)) * (1 + 0.03 * rng.normal(size=(2, 2, 2, volumes)))
    paths = {k: str(folder / f"long{volumes}.{k}") for k in ("nii", "bvec", "bval")}
    nib.save(nib.Nifti1Image(signal.astype(np.int16), np.diag([2.0, 2.0, 2.0, 1.0])), paths["nii"])
    np.savetxt(paths["bvec"], d, fmt="%.6f")
    np.savetxt(paths["bval"], b[None], fmt="%d")
    return paths


def test_memory_grows_linearly_with_the_volumes(tmp_path):
    # A pseudo-inverse with a full U, or any volumes x volumes matrix, took
    # 800 MB at 10,000 volumes and 3 GB at 20,000.
    peak = {}
    for volumes in (6000, 12000):
        p = _long_scan(tmp_path, volumes)
        done = subprocess.run([sys.executable, "-c", PEAK, p["nii"], p["bvec"], p["bval"]], capture_output=True,
                              text=True, timeout=TIMEOUT)
        assert done.returncode == 0, done.stderr
        peak[volumes] = int(done.stdout)
    assert peak[12000] < peak[6000] + 100, peak


def test_profile_accounts_for_the_whole_call(tmp_path):
    # The order test once ran outside every timed stage: 75 s of a call whose
    # profile said 1.1 s. The table read and the building of the result were
    # still outside it, and the scheme checks of a long table hid in `other`.
    import time

    from tarvix import _engine
    from tarvix.cli import whole_call_timings

    p = _long_scan(tmp_path, 3000)
    start = time.perf_counter()
    result = _engine.audit(dwi=p["nii"], bvec=p["bvec"], bval=p["bval"], tracking=True, profile=True, threads=1)
    wall = time.perf_counter() - start
    timings = whole_call_timings(result, result["timings"])
    assert 0.9 * wall <= timings["total"] <= wall, (wall, timings)
    assert timings["other"] < 0.1 * timings["total"], timings
