"""Running `tarvix` as a user does: in its own process."""

import os
import subprocess
import sys


def hiding(*modules):
    """A prelude that runs the command as if `modules` were not installed."""
    return (f"import sys; sys.modules.update(dict.fromkeys({modules!r})); from tarvix.cli import main; "
            "sys.exit(main(sys.argv[1:]))")


def cli(*args, cwd=None, prelude=None, timeout=300, **streams):
    """The finished command; its stdout and stderr captured unless given (a pipe's end, a file)."""
    command = [sys.executable, "-m", "tarvix"] if prelude is None else [sys.executable, "-c", prelude]
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **streams}
    return subprocess.run([*command, *map(str, args)], text=True, cwd=cwd, timeout=timeout, **streams)


def start(*args, prelude=None, new_session=False, **env):
    """cli() left running, with environment variables added; with new_session in a session of its own."""
    command = [sys.executable, "-m", "tarvix"] if prelude is None else [sys.executable, "-c", prelude]
    return subprocess.Popen([*command, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=new_session, env={**os.environ, **{k: str(v) for k, v in env.items()}})


def image(scan, mask=False):
    """The --dwi/--bvec/--bval arguments naming a scan (and its mask)."""
    return ["--dwi", scan["dwi"], "--bvec", scan["bvec"], "--bval", scan["bval"],
            *(["--mask", scan["mask"]] if mask else [])]
