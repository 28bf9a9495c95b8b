"""What happens at the output names when something else is there, when two
commands write the same outputs, when the command is signalled or killed, and
when standard output fails; each as a user runs it, in its own process."""

import fcntl
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest

from cli_runner import cli, image

ROOT = os.geteuid() == 0

# Runs the command, but stops where the given function is called: writes
# READY, then waits until the file GO exists (or the test signals or kills it).
PAUSE = ("import os, sys, time; from tarvix import cli, {module}\n"
         "real = {module}.{name}\n"
         "def pause(*a, **k):\n"
         "    {before}\n"
         "    open(os.environ['READY'], 'w').close()\n"
         "    for _ in range(3000):\n"
         "        if os.path.exists(os.environ.get('GO', '/nonexistent')): break\n"
         "        time.sleep(0.02)\n"
         "    return real(*a, **k)\n"
         "{module}.{name} = pause\n"
         "sys.exit(cli.main(sys.argv[1:]))")


def snapshot(folder):
    """Every entry of a folder: its kind and, for files, its contents."""
    out = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        out[name] = "link" if os.path.islink(path) else open(path, "rb").read() if os.path.isfile(path) else "other"
    return out


@pytest.fixture
def job(tmp_path, scan):
    """The scan's inputs in one folder, old outputs in another."""
    inputs = tmp_path / "in"
    inputs.mkdir()
    files = {key: shutil.copy(scan[key], inputs) for key in ("dwi", "bvec", "bval")}
    out = tmp_path / "out"
    out.mkdir()
    names = {key: str(out / name) for key, name in
             (("bvec", "o.bvec"), ("bval", "o.bval"), ("prov", "p.json"), ("report", "r.json"), ("png", "q.png"))}
    for key in ("bvec", "bval", "prov"):
        with open(names[key], "w") as f:
            f.write(f"old {key}\n")
    args = ["repair", *image(files), "--out-bvec", names["bvec"], "--out-bval", names["bval"],
            "--provenance", names["prov"], "--out", names["report"], "--force"]
    return out, names, args


def start(args, prelude=None, **env):
    command = [sys.executable, "-m", "tarvix"] if prelude is None else [sys.executable, "-c", prelude]
    return subprocess.Popen([*command, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env={**os.environ, **env})


def wait_for(path, proc, seconds=120):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path):
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline, "the command never reached the pause"
        time.sleep(0.02)


# --- outputs that are not regular files ------------------------------------------

def _make(kind, path, tmp_path):
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(str(path))
        return sock
    elif kind == "folder":
        os.mkdir(path)
    elif kind == "device":
        os.mknod(path, 0o666 | 0o020000, os.makedev(1, 3))  # what /dev/null is
    elif kind == "link to stdout":
        os.symlink("/proc/self/fd/1", path)
    elif kind == "link to a file":
        (tmp_path / "target").write_text("kept\n")
        os.symlink(tmp_path / "target", path)
    elif kind == "dangling link":
        os.symlink(tmp_path / "nowhere", path)


@pytest.mark.parametrize("force", [False, True])
@pytest.mark.parametrize("kind, message", [
    ("fifo", "is a FIFO, not a regular file"),
    ("socket", "is a socket, not a regular file"),
    ("folder", "is a folder, not a file"),
    pytest.param("device", "is a character device, not a regular file",
                 marks=pytest.mark.skipif(not ROOT, reason="making a device file needs root")),
    ("link to stdout", "is a symbolic link, not a regular file"),
    ("link to a file", "is a symbolic link, not a regular file"),
    ("dangling link", "is a symbolic link, not a regular file"),
])
def test_an_output_that_is_not_a_regular_file_is_refused_even_with_force(tmp_path, fsl_pair, kind, message, force):
    target = tmp_path / "out.json"
    keep = _make(kind, target, tmp_path)
    before = snapshot(tmp_path)
    result = cli("inspect", "--bvec", fsl_pair[0], "--bval", fsl_pair[1], "--out", target,
                 *(["--force"] if force else []), timeout=60)
    assert result.returncode == 1 and message in result.stderr and result.stderr.count("\n") == 1, result.stderr
    assert snapshot(tmp_path) == before
    if keep:
        keep.close()


# --- two commands on the same outputs ------------------------------------------------

@pytest.mark.parametrize("force", [False, True])
def test_two_repairs_on_the_same_outputs_take_turns(job, tmp_path, force):
    """The interleaving of the issue's race, made certain: the later command
    writes while the earlier one is still at its analysis."""
    folder, names, args = job
    if not force:
        args = args[:-1]
        for key in ("bvec", "bval", "prov"):
            os.unlink(names[key])
    ready, go = tmp_path / "ready", tmp_path / "go"
    first = start(args, PAUSE.format(module="cli", name="_engine_run", before="pass"), READY=str(ready), GO=str(go))
    wait_for(ready, first)
    second = start(args)
    second.wait(timeout=300)
    go.touch()
    results = [p.communicate(timeout=300) + (p.returncode,) for p in (first, second)]
    fixed = open(names["bvec"]).read()
    assert "old" not in fixed
    if force:
        assert [code for _, _, code in results] == [0, 0], results
        # Each command's backup holds what was at the name when it wrote:
        # the old file for one, the other command's new file for the other.
        assert sorted(open(f"{names['bvec']}{s}").read() for s in (".bak", ".bak.1")) == sorted(["old bvec\n", fixed])
    else:
        codes = sorted(code for _, _, code in results)
        assert codes == [0, 1], results
        loser = next(err for _, err, code in results if code == 1)
        assert "refusing to overwrite existing file" in loser
    for out, _, code in results:
        assert ("wrote" in out) == (code == 0)
    assert not [n for n in os.listdir(folder) if n.startswith(".tarvix-")]


def test_a_command_gives_up_waiting_for_a_locked_folder(job):
    folder, names, args = job
    before = snapshot(folder)
    holder = os.open(folder, os.O_RDONLY)
    fcntl.flock(holder, fcntl.LOCK_EX)
    try:
        proc = start(args, TARVIX_LOCK_WAIT="0.5")
        out, err = proc.communicate(timeout=300)
    finally:
        os.close(holder)
    assert proc.returncode == 1 and "another tarvix command is writing in the folder" in err, err
    assert snapshot(folder) == before


# --- signals -----------------------------------------------------------------------

@pytest.mark.parametrize("signum, code", [(signal.SIGTERM, 143), (signal.SIGHUP, 129), (signal.SIGINT, 130)])
@pytest.mark.parametrize("where", [
    # After the module wrote its files, before the verdict is read.
    dict(module="verdict", name="combined", before="pass"),
    # While the picture is drawn, half of it already on disk.
    dict(module="qcplot", name="write_png", before="open(a[0], 'w').write('half a picture')"),
])
def test_a_signal_rolls_everything_back(job, tmp_path, signum, code, where):
    folder, names, args = job
    if where["name"] == "write_png":
        pytest.importorskip("matplotlib")
        args = args + ["--png", names["png"]]
    before = snapshot(folder)
    proc = start(args, PAUSE.format(**where), READY=str(tmp_path / "ready"))
    wait_for(tmp_path / "ready", proc)
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == code and "Traceback" not in err, err
    assert snapshot(folder) == before


def test_a_kill_while_drawing_leaves_the_old_files_and_nothing_that_stops_a_rerun(job, tmp_path):
    pytest.importorskip("matplotlib")
    folder, names, args = job
    args = args + ["--png", names["png"]]
    before = snapshot(folder)
    where = dict(module="qcplot", name="write_png", before="open(a[0], 'w').write('half a picture')")
    proc = start(args, PAUSE.format(**where), READY=str(tmp_path / "ready"))
    wait_for(tmp_path / "ready", proc)
    proc.kill()
    proc.communicate(timeout=60)
    left = snapshot(folder)
    assert {n: v for n, v in left.items() if not n.startswith(".tarvix-")} == before
    rerun = cli(*args)
    assert rerun.returncode == 0, rerun.stderr
    assert not [n for n in os.listdir(folder) if n.startswith(".tarvix-")]
    assert open(names["bvec"] + ".bak").read() == "old bvec\n"


# --- standard output ------------------------------------------------------------------

def _closed_pipe():
    read, write = os.pipe()
    os.close(read)
    return write


@pytest.mark.parametrize("stdout", ["/dev/full", "closed pipe"])
@pytest.mark.parametrize("writes", [True, False])
def test_a_failing_standard_output_is_one_line_and_the_status_says_what_was_written(job, fsl_pair, stdout, writes):
    folder, names, args = job
    if not writes:
        args = ["inspect", "--bvec", fsl_pair[0], "--bval", fsl_pair[1]]
    target = open("/dev/full", "w") if stdout == "/dev/full" else _closed_pipe()
    try:
        result = subprocess.run([sys.executable, "-m", "tarvix", *map(str, args)], stdout=target,
                                stderr=subprocess.PIPE, text=True, timeout=300)
    finally:
        target.close() if stdout == "/dev/full" else os.close(target)
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and "cannot write to standard output" in lines[0], result.stderr
    if writes:
        assert result.returncode == 0 and f"the outputs were written: {names['bvec']}" in lines[0]
        assert "old" not in open(names["bvec"]).read()
    else:
        assert result.returncode == 1 and "no file was written" in lines[0]


# --- names ------------------------------------------------------------------------

@pytest.mark.parametrize("name, shown", [("a\x1b[31mred.bvec", "a\\x1b[31mred.bvec"),
                                         ("two\nlines.bvec", "two\\nlines.bvec"),
                                         ("bell\x07\r.bvec", "bell\\x07\\r.bvec")])
def test_control_characters_in_file_names_are_escaped(tmp_path, fsl_pair, name, shown):
    missing = cli("inspect", "--bvec", tmp_path / name, "--bval", fsl_pair[1])
    assert missing.returncode == 1 and missing.stderr.count("\n") == 1, missing.stderr
    written = cli("recompute-bval", "--bvec", fsl_pair[0], "--bval", fsl_pair[1], "--out-bvec", tmp_path / name,
                  "--out-bval", tmp_path / "o.bval", "--force")
    for text in (missing.stderr, written.stdout):
        assert shown in text and not any(c in text for c in "\x1b\x07\r"), text


def test_reports_and_provenance_name_the_outputs_as_typed(job):
    folder, names, args = job
    spelled = [f"{folder}//./o.bvec", os.path.relpath(names["bval"])]
    args[args.index("--out-bvec") + 1], args[args.index("--out-bval") + 1] = spelled
    result = cli(*args, "--json")
    assert result.returncode == 0, result.stderr
    for text in (result.stdout, open(names["prov"]).read(), open(names["report"]).read()):
        assert ".tarvix-" not in text and all(s in text for s in spelled)


def test_leftovers_of_killed_commands_are_removed_and_a_running_ones_kept(job):
    folder, names, args = job
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    stale = [f".tarvix-{dead.pid}-1abc-o.bvec", f".tarvix-tmp-{dead.pid}-XyZ123"]
    live = f".tarvix-{os.getpid()}-2def-o.bval"
    for name in stale + [live]:
        (folder / name).write_text("x")
    assert cli(*args).returncode == 0
    assert [n for n in os.listdir(folder) if n.startswith(".tarvix-")] == [live]


@pytest.mark.parametrize("function", ["repair", "recompute_bval"])
@pytest.mark.parametrize("output", ["out_bvec", "provenance"])
def test_the_module_never_moves_or_replaces_a_fifo(tmp_path, scan, function, output):
    from tarvix import _tarvix

    os.mkfifo(tmp_path / "fifo")
    kwargs = dict(bvec=scan["bvec"], bval=scan["bval"], out_bvec=str(tmp_path / "o.bvec"),
                  out_bval=str(tmp_path / "o.bval"), in_place=True)
    kwargs[output] = str(tmp_path / "fifo")
    if function == "repair":
        kwargs["dwi"] = scan["dwi"]
    with pytest.raises(ValueError, match="is not a regular file"):
        getattr(_tarvix, function)(**kwargs)
    assert os.listdir(tmp_path) == ["fifo"]


@pytest.mark.parametrize("fraction", [0.3, 0.45, 0.6, 0.75, 0.9])
def test_a_kill_at_any_moment_leaves_the_old_file_or_the_new_one_at_every_name(job, tmp_path, fraction):
    folder, names, args = job
    reference = tmp_path / "ref"
    shutil.copytree(folder, reference)
    ref_args = [a.replace(str(folder), str(reference)) if isinstance(a, str) else a for a in args]
    began = time.monotonic()
    assert cli(*ref_args).returncode == 0
    took = time.monotonic() - began
    new = {key: open(names[key].replace(str(folder), str(reference)), "rb").read() for key in ("bvec", "bval")}
    old = {key: open(names[key], "rb").read() for key in ("bvec", "bval")}
    proc = start(args)
    time.sleep(took * fraction)
    proc.kill()
    proc.communicate(timeout=60)
    for key in ("bvec", "bval"):
        assert open(names[key], "rb").read() in (old[key], new[key]), key
    for key in ("prov", "report"):  # these hold times: new means whole JSON
        text = open(names[key]).read() if os.path.exists(names[key]) else None
        assert text == f"old {key}\n" or (key == "report" and text is None) or json.loads(text), key
    assert cli(*args).returncode == 0
    assert not [n for n in os.listdir(folder) if n.startswith(".tarvix-")]

