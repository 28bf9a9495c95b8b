"""What happens at the output names when something else is there, when two
commands write the same outputs, when a command is signalled or killed, and
when standard output fails; each as a user runs it, in its own process."""

import fcntl
import os
import shutil
import signal
import socket

import pytest

from cli_runner import cli, image, start
from conftest import pausing, snapshot, wait_for

AFTER_MODULE = pausing("verdict.of_report")
DRAWING = pausing("qcplot.write_png", before="open(a[0], 'w').write('half a picture')")


def leftovers(folder):
    return [n for n in os.listdir(folder) if n.startswith(".tarvix-")]


@pytest.fixture
def job(tmp_path, scan):
    """The scan's inputs in one folder; in another, old outputs to replace."""
    (tmp_path / "in").mkdir()
    out = tmp_path / "out"
    out.mkdir()
    files = {key: shutil.copy(scan[key], tmp_path / "in") for key in ("dwi", "bvec", "bval")}
    names = {key: str(out / name) for key, name in (("bvec", "o.bvec"), ("bval", "o.bval"), ("prov", "p.json"))}
    for key, path in names.items():
        open(path, "w").write(f"old {key}\n")
    args = ["repair", *image(files), "--out-bvec", names["bvec"], "--out-bval", names["bval"],
            "--provenance", names["prov"], "--out", out / "r.json", "--force"]
    return out, names, args


def paused(path, proc):
    wait_for(lambda: os.path.exists(path) or proc.poll() is not None, 120)
    assert os.path.exists(path), "the command never reached the pause"


# --- outputs that are not regular files ------------------------------------------

@pytest.mark.parametrize("force", [[], ["--force"]])
@pytest.mark.parametrize("make, message", [
    (os.mkfifo, "is a FIFO, not a regular file"),
    (lambda p: socket.socket(socket.AF_UNIX).bind(str(p)), "is a socket, not a regular file"),
    (os.mkdir, "is a folder, not a file"),
    pytest.param(lambda p: os.mknod(p, 0o666 | 0o020000, os.makedev(1, 3)),  # what /dev/null is
                 "is a character device, not a regular file",
                 marks=pytest.mark.skipif(os.geteuid() != 0, reason="making a device file needs root")),
    (lambda p: os.symlink(p.parent / "nowhere", p), "is a symbolic link, not a regular file"),
], ids=["fifo", "socket", "folder", "device", "dangling link"])
def test_an_output_that_is_not_a_regular_file_is_refused_even_with_force(tmp_path, scan, make, message, force):
    make(tmp_path / "out.json")
    before = snapshot(tmp_path)
    result = cli("inspect", "--bvec", scan["bvec"], "--bval", scan["bval"], "--out", tmp_path / "out.json", *force)
    assert result.returncode == 1 and message in result.stderr and result.stderr.count("\n") == 1, result.stderr
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("function", ["repair", "recompute_bval"])
@pytest.mark.parametrize("output", ["out_bvec", "provenance"])
def test_the_module_never_moves_or_replaces_a_fifo(tmp_path, scan, function, output):
    from tarvix import _tarvix

    os.mkfifo(tmp_path / "fifo")
    kwargs = dict(bvec=scan["bvec"], bval=scan["bval"], out_bvec=str(tmp_path / "o.bvec"),
                  out_bval=str(tmp_path / "o.bval"), in_place=True)
    if function == "repair":
        kwargs["dwi"] = scan["dwi"]
    kwargs[output] = str(tmp_path / "fifo")
    with pytest.raises(ValueError, match="is not a regular file"):
        getattr(_tarvix, function)(**kwargs)
    assert os.listdir(tmp_path) == ["fifo"]


# --- two commands on the same outputs ------------------------------------------------

@pytest.mark.parametrize("force", [False, True])
def test_two_repairs_on_the_same_outputs_take_turns(job, tmp_path, force):
    """The issue's race made certain: the later command writes while the
    earlier one is still at its analysis."""
    folder, names, args = job
    # Spelt another way: the reports name the outputs as typed, never a temporary.
    args[args.index("--out-bvec") + 1] = spelled = f"{folder}//./o.bvec"
    if not force:
        args = args[:-1]
        for path in names.values():
            os.unlink(path)
    first = start(*args, prelude=pausing("cli_commands._engine_run"), READY=tmp_path / "ready", GO=tmp_path / "go")
    paused(tmp_path / "ready", first)
    second = start(*args)
    second.wait(timeout=300)
    (tmp_path / "go").touch()
    results = [p.communicate(timeout=300) + (p.returncode,) for p in (first, second)]
    fixed = open(names["bvec"]).read()
    assert "old" not in fixed
    if force:
        # Each backup holds what was at the name when its command wrote.
        assert [code for _, _, code in results] == [4, 4], results  # both repaired a FLAG
        assert sorted(open(names["bvec"] + s).read() for s in (".bak", ".bak.1")) == sorted(["old bvec\n", fixed])
    else:
        assert [code for _, _, code in results] == [1, 4], results
        assert "refusing to overwrite existing file" in results[0][1]
    for out, _, code in results:
        assert ("wrote" in out) == (code == 4)
    for text in (results[1][0], open(names["prov"]).read(), open(folder / "r.json").read()):
        assert spelled in text and ".tarvix-" not in text
    assert not leftovers(folder)


def test_a_command_gives_up_waiting_for_a_locked_folder(job):
    folder, names, args = job
    before = snapshot(folder)
    holder = os.open(folder, os.O_RDONLY)
    fcntl.flock(holder, fcntl.LOCK_EX)
    try:
        proc = start(*args, TARVIX_LOCK_WAIT=0.5)
        _, err = proc.communicate(timeout=300)
    finally:
        os.close(holder)
    assert proc.returncode == 1 and "another tarvix command is writing in the folder" in err, err
    assert snapshot(folder) == before


# --- signals -----------------------------------------------------------------------

@pytest.mark.parametrize("signum, code", [(signal.SIGTERM, 143), (signal.SIGHUP, 129), (signal.SIGINT, 130),
                                          (signal.SIGKILL, -9)])
@pytest.mark.parametrize("where", [AFTER_MODULE, DRAWING], ids=["after the module wrote", "while drawing"])
def test_a_signal_or_a_kill_leaves_the_old_files(job, tmp_path, signum, code, where):
    folder, names, args = job
    if where is DRAWING:
        pytest.importorskip("matplotlib")
        args = args + ["--png", folder / "q.png"]
    before = snapshot(folder)
    live = f".tarvix-{os.getpid()}-2def-o.bval"  # as if a running command's: kept
    (folder / live).write_text("x")
    proc = start(*args, prelude=where, READY=tmp_path / "ready")
    paused(tmp_path / "ready", proc)
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == code and "Traceback" not in err, err
    assert {n: v for n, v in snapshot(folder).items() if not n.startswith(".tarvix-")} == before
    if signum == signal.SIGKILL:  # a rerun is not refused, and clears what the killed command left
        assert cli(*args).returncode == 4 and open(names["bvec"] + ".bak").read() == "old bvec\n"
    assert leftovers(folder) == [live]


# --- what is printed -------------------------------------------------------------------

@pytest.mark.parametrize("stdout", ["/dev/full", "closed pipe"])
@pytest.mark.parametrize("writes", [True, False])
def test_a_failing_standard_output_is_one_line_and_the_status_says_what_was_written(job, scan, stdout, writes):
    folder, names, args = job
    if not writes:
        args = ["inspect", "--bvec", scan["bvec"], "--bval", scan["bval"]]
    read, target = os.pipe()
    os.close(read)
    if stdout == "/dev/full":
        os.dup2(os.open("/dev/full", os.O_WRONLY), target)
    try:
        result = cli(*args, stdout=target)
    finally:
        os.close(target)
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and "cannot write to standard output" in lines[0], result.stderr
    if writes:
        assert result.returncode == 4 and f"the outputs were written: {names['bvec']}" in lines[0]
        assert "old" not in open(names["bvec"]).read()
    else:
        assert result.returncode == 1 and "no file was written" in lines[0]


@pytest.mark.parametrize("name, shown", [("a\x1b[31mred.bvec", "a\\x1b[31mred.bvec"),
                                         ("two\nlines.bvec", "two\\nlines.bvec"),
                                         ("bell\x07\r.bvec", "bell\\x07\\r.bvec")])
def test_control_characters_in_file_names_are_escaped(tmp_path, scan, name, shown):
    missing = cli("inspect", "--bvec", tmp_path / name, "--bval", scan["bval"])
    assert missing.returncode == 1 and missing.stderr.count("\n") == 1, missing.stderr
    written = cli("recompute-bval", "--bvec", scan["bvec"], "--bval", scan["bval"], "--out-bvec", tmp_path / name,
                  "--out-bval", tmp_path / "o.bval", "--force")  # a unit-length table: only forced
    assert written.returncode == 0, written.stderr
    for text in (missing.stderr, written.stdout):
        assert shown in text and not any(c in text for c in "\x1b\x07\r"), text
