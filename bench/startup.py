"""Start-up of the `tarvix` command: import and dispatch before any file is
read, against the bare interpreter, interleaved in one run.

Two commands: `tarvix --version`, and `tarvix audit` on files that do not
exist, which parses, checks the usage, plans the outputs and fails at the
first open (exit status 1). Target: <= 40 ms wall, median of the rounds.

    python bench/startup.py [--rounds 40]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

TARGET_MS = 40.0
MISSING = ["--dwi", "/nonexistent/dwi.nii.gz", "--bvec", "/nonexistent/dwi.bvec", "--bval", "/nonexistent/dwi.bval"]


def tarvix_command():
    """The installed entry point beside this interpreter (what a user types),
    or the module when there is none."""
    script = os.path.join(os.path.dirname(sys.executable), "tarvix")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "tarvix"]


def startup_ms(rounds=40):
    tarvix = tarvix_command()
    cases = {"python -c pass": [sys.executable, "-c", "pass"],
             "tarvix --version": tarvix + ["--version"],
             "tarvix audit (missing files)": tarvix + ["audit", *MISSING]}
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, command in cases.items():
            start = time.perf_counter()
            subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            times[name].append((time.perf_counter() - start) * 1e3)
    return {name: statistics.median(values) for name, values in times.items()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=40)
    options = parser.parse_args(argv)
    print(f"\nstart-up (median of {options.rounds} rounds, interleaved; target <= {TARGET_MS:.0f} ms)", flush=True)
    figures = startup_ms(options.rounds)
    for name, ms in figures.items():
        target = "" if name.startswith("python") else f"  {'met' if ms <= TARGET_MS else 'MISSED'}"
        print(f"  {name:<32}{ms:>8.1f} ms{target}", flush=True)
    return figures


if __name__ == "__main__":
    main()
