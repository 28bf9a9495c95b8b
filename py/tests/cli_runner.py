"""Running `tarvix` as a user does: in its own process."""

import os
import subprocess
import sys


def hiding(module):
    """A prelude that runs the command as if `module` were not installed."""
    return (f"import sys; sys.modules[{module!r}] = None; from tarvix.cli import main; "
            "sys.exit(main(sys.argv[1:]))")


def cli(*args, cwd=None, prelude=None, timeout=300):
    command = [sys.executable, "-m", "tarvix"] if prelude is None else [sys.executable, "-c", prelude]
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=timeout)


def start(*args, prelude=None, **env):
    """cli() left running, with environment variables added."""
    command = [sys.executable, "-m", "tarvix"] if prelude is None else [sys.executable, "-c", prelude]
    return subprocess.Popen([*command, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env={**os.environ, **{k: str(v) for k, v in env.items()}})


def image(scan, mask=False):
    """The --dwi/--bvec/--bval arguments naming a scan (and its mask)."""
    return ["--dwi", scan["dwi"], "--bvec", scan["bvec"], "--bval", scan["bval"],
            *(["--mask", scan["mask"]] if mask else [])]
