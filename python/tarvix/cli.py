"""Command line of tarvix. For now one subcommand: `demo`, which writes a small
two-shell scheme as FSL files and shows the scheme report for it."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import tempfile

from . import _tarvix

GOLDEN_ANGLE = math.pi * (3.0 - math.sqrt(5.0))


def hemisphere_directions(n: int, phase: float = 0.0) -> list[tuple[float, float, float]]:
    """n unit vectors spread evenly over the upper hemisphere (a Fibonacci
    lattice); diffusion directions are sign-symmetric, so the other half of the
    sphere adds nothing. `phase` turns the lattice about z, so that two shells
    sample different directions."""
    out = []
    for i in range(n):
        z = 1.0 - (i + 0.5) / n
        r = math.sqrt(max(0.0, 1.0 - z * z))
        phi = i * GOLDEN_ANGLE + phase
        out.append((r * math.cos(phi), r * math.sin(phi), z))
    return out


def demo_scheme(per_shell: int = 64, b0_every: int = 16) -> tuple[list[tuple[float, float, float]], list[float]]:
    """Two shells (b=1000, b=2000) of `per_shell` directions each, with a b=0
    volume at every `b0_every`-th position, starting with the first."""
    weighted = [(d, 1000.0) for d in hemisphere_directions(per_shell)]
    weighted += [(d, 2000.0) for d in hemisphere_directions(per_shell, GOLDEN_ANGLE / 2.0)]
    directions: list[tuple[float, float, float]] = []
    bvals: list[float] = []
    queue = iter(weighted)
    remaining = len(weighted)
    while remaining:
        if len(bvals) % b0_every == 0:
            directions.append((0.0, 0.0, 0.0))
            bvals.append(0.0)
            continue
        d, b = next(queue)
        directions.append(d)
        bvals.append(b)
        remaining -= 1
    return directions, bvals


def write_fsl(bvec_path: str, bval_path: str, directions, bvals) -> None:
    with open(bvec_path, "w", encoding="utf-8") as f:
        for axis in range(3):
            f.write(" ".join(f"{d[axis]:.6f}" for d in directions) + "\n")
    with open(bval_path, "w", encoding="utf-8") as f:
        f.write(" ".join(f"{b:g}" for b in bvals) + "\n")


def run_demo(args: argparse.Namespace) -> int:
    folder = args.dir or tempfile.mkdtemp(prefix="tarvix-demo-")
    os.makedirs(folder, exist_ok=True)
    bvec = os.path.join(folder, "demo.bvec")
    bval = os.path.join(folder, "demo.bval")
    directions, bvals = demo_scheme()
    write_fsl(bvec, bval, directions, bvals)
    report = json.loads(_tarvix.inspect(bvec=bvec, bval=bval))
    print(json.dumps(report, indent=2))
    print(
        f"tarvix {_tarvix.version()}: inspected a two-shell scheme "
        f"({len(bvals)} volumes, status {report['status']}); files are in {folder}",
        file=sys.stderr,
    )
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="tarvix", description="Check and repair diffusion-MRI gradient tables.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_tarvix.version()}")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="inspect a built-in two-shell example scheme")
    demo.add_argument("--dir", help="folder for the example files (default: a new temporary folder)")
    demo.set_defaults(run=run_demo)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except ValueError as e:
        print(f"tarvix: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    raise SystemExit(main())
