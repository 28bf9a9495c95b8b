"""Install the repaired wheel where a user would and check that it stands alone (`make wheel-test`).

1. `auditwheel show`: nothing needed outside the manylinux base set, the platform tag auditwheel derives
   and no newer than manylinux_2_28, Python tag cp311-abi3; `objdump -T`: no glibc symbol version newer
   than 2.28, no system libstdc++, cos/sin/log from glibc; `ldd`: only the base set.
2. For each interpreter given, a new venv (cwd a temporary folder, LD_LIBRARY_PATH and friends removed)
   gets the wheel without extras: `tarvix demo` runs, its picture skipped with the pip line that adds it.
   Then with `[viz,test]`: a probe imports every extension module, audits, and lists the shared objects
   mapped since before the import (dlopen included): all from the wheel, the base set or the stdlib;
   `tarvix demo` draws its picture; `tarvix audit` passes on a scan simulated there; test_module.py runs.
3. same_bytes.py's fingerprints of the bench scans, the real series and the demo scan: the wheel under
   each interpreter, and with the vector kernels and libm's FMA variants off, print the source build's.

Usage: check_wheel.py [WHEEL] [--python PYTHON]... [--scans FOLDER]...
"""

from __future__ import annotations

import argparse
import importlib.resources
import json
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

ROOT = pathlib.Path(__file__).resolve().parents[2]
TESTS = ROOT / "py" / "tests"
# The oldest glibc the wheel serves (RHEL 8).
GLIBC_FLOOR = (2, 28)
PYTHON_TAG = "cp311-abi3"
# The scans whose report bytes every build must share (a missing folder is skipped).
SCAN_FOLDERS = (ROOT / "bench" / "data", ROOT.parent / "shared" / "data" / "real-canon",
                ROOT / "python" / "tarvix" / "demo_data")
# Anything that would let the new venv find libraries or modules it did not install itself.
LEAKY_VARIABLES = ("LD_LIBRARY_PATH", "LD_PRELOAD", "PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP",
                   "VIRTUAL_ENV", "PYTHONUSERBASE", "TARVIX_VECTOR_KERNELS", "GLIBC_TUNABLES")

PROBE = r"""
import importlib, importlib.machinery, importlib.metadata, importlib.util, json, pathlib, sys, sysconfig

def mapped_files():
    with open("/proc/self/maps") as maps:
        return {f[5].strip() for f in (line.split(None, 5) for line in maps) if len(f) == 6 and f[5].startswith("/")}

before = mapped_files()
import tarvix
package = pathlib.Path(tarvix.__file__).parent
extensions = []
for path in sorted(package.rglob("*.so")):
    name = str(path.relative_to(package.parent))
    suffix = next(s for s in importlib.machinery.EXTENSION_SUFFIXES if name.endswith(s))
    extensions.append(name[: -len(suffix)].replace("/", "."))
    importlib.import_module(extensions[-1])
dwi, bvec, bval = sys.argv[1:4]
status = json.loads(tarvix._tarvix.audit(dwi=dwi, bvec=bvec, bval=bval))["status"]
print(json.dumps(dict(
    site=str(package.parent), stdlib=sysconfig.get_path("stdlib"), extensions=extensions, status=status,
    loaded=sorted(p for p in mapped_files() - before if ".so" in pathlib.Path(p).name),
    extras=importlib.metadata.metadata("tarvix").get_all("Provides-Extra") or [],
    matplotlib=importlib.util.find_spec("matplotlib") is not None)))
"""

SIMULATE = r"""
import sys
from tarvix import synthetic
paths = synthetic.write_scan(sys.argv[1], "scan", shape=(20, 22, 18), seed=3)
print(paths["dwi"], paths["bvec"], paths["bval"])
"""


class CheckFailed(Exception):
    pass


def clean_env(**extra) -> dict:
    return {**{k: v for k, v in os.environ.items() if k not in LEAKY_VARIABLES}, **extra}


def run(command, cwd, env=None) -> subprocess.CompletedProcess:
    done = subprocess.run([str(c) for c in command], cwd=cwd, env=env or clean_env(), capture_output=True, text=True)
    if done.returncode != 0:
        raise CheckFailed(f"{' '.join(map(str, command))} exited {done.returncode}\n{done.stdout}{done.stderr}")
    return done


def check_auditwheel(wheel: pathlib.Path) -> tuple[str, set[str]]:
    """auditwheel's verdict, and the sonames its policy for the wheel's tag lets it take from the system."""
    shown = json.loads(run([sys.executable, "-m", "auditwheel", "show", "--json", wheel], cwd=wheel.parent).stdout)
    tag = shown["overall_tag"]
    if shown["external_libs"]:
        raise CheckFailed(f"the wheel still needs libraries from the system: {sorted(shown['external_libs'])}")
    # auditwheel names an old policy by its legacy alias too (manylinux2014_x86_64.manylinux_2_17_x86_64).
    python_tag, platform_tags = "-".join(wheel.stem.split("-")[-3:-1]), wheel.stem.split("-")[-1].split(".")
    if tag not in platform_tags:
        raise CheckFailed(f"the wheel is tagged {'.'.join(platform_tags)}, auditwheel says {tag}")
    glibc = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", tag)
    if not glibc or (int(glibc[1]), int(glibc[2])) > GLIBC_FLOOR:
        raise CheckFailed(f"the wheel's tag {tag} is newer than manylinux_2_28")
    if python_tag != PYTHON_TAG:
        raise CheckFailed(f"the wheel is for {python_tag}, not {PYTHON_TAG}")
    policies = json.loads((importlib.resources.files("auditwheel.policy") / "manylinux-policy.json").read_text())
    name = tag.removesuffix("_" + platform.machine())
    allowed = [set(p["lib_whitelist"]) for p in policies if name == p["name"] or name in p["aliases"]]
    if not allowed:
        raise CheckFailed(f"auditwheel knows no policy {name}")
    return f"{PYTHON_TAG}, nothing outside the {tag} base set is needed", allowed[0]


def soname(path: str) -> str:
    with open(path, "rb") as f:
        for section in ELFFile(f).iter_sections():
            if isinstance(section, DynamicSection):
                for tag in section.iter_tags("DT_SONAME"):
                    return tag.soname
    return pathlib.Path(path).name


def shared_objects(wheel: pathlib.Path, folder: pathlib.Path) -> list[pathlib.Path]:
    with zipfile.ZipFile(wheel) as z:
        names = [n for n in z.namelist() if ".so" in pathlib.PurePath(n).name]
        for n in names:
            z.extract(n, folder)
    if not names:
        raise CheckFailed("the wheel holds no shared object")
    return [folder / n for n in names]


def check_symbol_versions(objects: list[pathlib.Path]) -> str:
    newest = {}
    for so in objects:
        dump = run(["objdump", "-T", so], cwd=so.parent).stdout
        if re.search(r"\b(GLIBCXX|CXXABI)_", dump):
            raise CheckFailed(f"{so.name} needs the system's libstdc++")
        if not {"cos", "sin", "log"} <= set(re.findall(r"\*UND\*\s+\S+\s+(?:\(\S+\)\s+)?(\w+)$", dump, re.M)):
            raise CheckFailed(f"{so.name} computes cos, sin or log with the toolchain's own code, not glibc's")
        versions = [tuple(map(int, v.split("."))) for v in re.findall(r"\bGLIBC_(\d+(?:\.\d+)+)", dump)]
        newest[so.name] = max(versions, default=(0,))
        if newest[so.name] > GLIBC_FLOOR:
            raise CheckFailed(f"{so.name} needs GLIBC_{'.'.join(map(str, newest[so.name]))}, newer than 2.28")
    return ", ".join(f"{name} GLIBC_{'.'.join(map(str, v))}" for name, v in sorted(newest.items()))


def check_ldd(objects: list[pathlib.Path], allowed: set[str]) -> str:
    needed = set()
    for so in objects:
        for line in run(["ldd", so], cwd=so.parent).stdout.splitlines():
            name = line.split()[0] if line.strip() else ""
            if not name or name.startswith(("linux-vdso", "/")) or "ld-linux" in name:
                continue
            if name not in allowed:
                raise CheckFailed(f"{so.name} needs {name}, which is outside the manylinux base set")
            needed.add(name)
    return "only " + " ".join(sorted(needed))


def check_demo(bin_dir: pathlib.Path, work: pathlib.Path, viz: bool) -> str:
    """The demo: with the viz extra it draws its picture; without, it skips it naming the pip line."""
    folder = work / ("demo" if viz else "demo-plain")
    done = run([bin_dir / "tarvix", "demo", "--dir", folder], cwd=work)
    if viz:
        if not (folder / "qc.png").read_bytes().startswith(b"\x89PNG"):
            raise CheckFailed("the demo drew no QC picture")
        return "FLAG, repair, PASS, qc.png"
    if "pip install 'tarvix[viz]'" not in done.stdout:
        raise CheckFailed("the demo without matplotlib does not say how to add it:\n" + done.stdout)
    if (folder / "qc.png").exists():
        raise CheckFailed("the demo drew a picture without matplotlib installed")
    return "FLAG, repair, PASS; the picture skipped with the pip line for the viz extra"


def check_module_tests(bin_dir: pathlib.Path, work: pathlib.Path) -> str:
    # A copy, so that nothing in the source tree (a conftest, a cache) is involved.
    tests = work / "tests"
    tests.mkdir()
    for name in ("test_module.py", "conftest.py"):
        shutil.copy(TESTS / name, tests / name)
    done = run([bin_dir / "python", "-m", "pytest", "-q", "-p", "no:cacheprovider", tests], cwd=work)
    return done.stdout.strip().splitlines()[-1]


def fingerprints(python, folders: list[pathlib.Path], work: pathlib.Path, vector: bool = True) -> list[str]:
    # Without the vector kernels, as on a machine without AVX2 and FMA: tarvix's plain kernels, and
    # glibc's libm without its FMA variants (which differ in the last bit on rare inputs).
    off = dict(TARVIX_VECTOR_KERNELS="off", GLIBC_TUNABLES="glibc.cpu.hwcaps=-AVX2,-FMA")
    env = clean_env() if vector else clean_env(**off)
    return run([python, TESTS / "same_bytes.py", *folders], cwd=work, env=env).stdout.splitlines()


def compare_fingerprints(reference: list[str], other: list[str], what: str) -> str:
    if reference != other:
        differ = [a.split()[0] for a, b in zip(reference, other) if a != b] or ["(a different list of scans)"]
        raise CheckFailed(f"{what} gives other report bytes than the source build for: {', '.join(differ)}")
    return "those of the source build"


def check_probe(bin_dir: pathlib.Path, scan: list[str], allowed: set[str], work: pathlib.Path) -> str:
    """Anything the process mapped that is neither the installed wheel's, nor the interpreter's own,
    nor in the base set came from the system."""
    probe = json.loads(run([bin_dir / "python", "-c", PROBE, *scan], cwd=work).stdout)
    if "tarvix._tarvix" not in probe["extensions"]:
        raise CheckFailed(f"tarvix._tarvix is not among the installed extensions {probe['extensions']}")
    offenders = [p for p in probe["loaded"] if not p.startswith((probe["site"] + os.sep, probe["stdlib"] + os.sep))
                 and soname(p) not in allowed and not soname(p).startswith("ld-linux")]
    if offenders:
        raise CheckFailed("loaded from the system, not from the wheel:\n  " + "\n  ".join(offenders))
    if not {"viz", "cluster"} <= set(probe["extras"]) or not probe["matplotlib"]:
        raise CheckFailed(f"extras declared {probe['extras']}, matplotlib installed: {probe['matplotlib']}")
    if probe["status"] != "PASS":
        raise CheckFailed(f"the audit of a correct table answered {probe['status']}")
    package = os.path.join(probe["site"], "tarvix")
    bundled = sum(p.startswith((package + os.sep, package + ".libs" + os.sep)) for p in probe["loaded"])
    return f"{', '.join(probe['extensions'])} and an audit: {bundled} files from the wheel, the rest from the base set"


def check_audit(bin_dir: pathlib.Path, scan: list[str], work: pathlib.Path) -> str:
    report = work / "audit.json"
    run([bin_dir / "tarvix", "audit", *(x for pair in zip(("--dwi", "--bvec", "--bval"), scan) for x in pair),
         "--out", report], cwd=work)
    if (status := json.loads(report.read_text())["status"]) != "PASS":
        raise CheckFailed(f"tarvix audit answered {status}")
    return status


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel", nargs="?", type=pathlib.Path)
    parser.add_argument("--python", action="append", help="a CPython (3.11 or later) to make a new venv with; "
                        "may be repeated (default: the one behind this venv)")
    parser.add_argument("--scans", action="append", type=pathlib.Path, help="a folder of scans for the "
                        "report-bytes comparison; may be repeated (default: bench/data, real-canon, the demo scan)")
    parser.add_argument("--source-python", default=str(ROOT / ".venv" / "bin" / "python"),
                        help="the interpreter with the source build, the reference for the report bytes")
    args = parser.parse_args(argv)
    pythons = args.python or [sys._base_executable]
    passed, started = 0, time.perf_counter()

    def report(name, detail):
        nonlocal passed
        passed += 1
        print(f"  ok  {name}: {detail}", flush=True)

    try:
        wheels = [args.wheel] if args.wheel else sorted((ROOT / "dist").glob("tarvix-*.whl"))
        if len(wheels) != 1:
            raise CheckFailed(f"expected one tarvix wheel in {ROOT / 'dist'}, found {len(wheels)}: run `make wheel`")
        wheel = wheels[0].resolve()
        print(f"checking {wheel.name}", flush=True)
        detail, allowed = check_auditwheel(wheel)
        report("auditwheel show", detail)
        folders = [f for f in (args.scans or SCAN_FOLDERS) if f.is_dir() and any(f.glob("*.nii.gz"))]
        with tempfile.TemporaryDirectory(prefix="tarvix-wheel-") as tmp:
            work = pathlib.Path(tmp)
            if work.is_relative_to(ROOT):
                raise CheckFailed(f"the temporary folder {work} is inside the source tree")
            objects = shared_objects(wheel, work / "unpacked")
            report("objdump -T", check_symbol_versions(objects))
            report("ldd", check_ldd(objects, allowed))
            reference = fingerprints(args.source_python, folders, work)
            report("source build", f"{len(reference)} scans fingerprinted in {', '.join(f.name for f in folders)}")
            for python in pythons:
                here = work / pathlib.Path(python).name
                here.mkdir()
                run([python, "-m", "venv", here / "venv"], cwd=here)
                bin_dir = here / "venv" / "bin"
                py = bin_dir / "python"
                version = run([py, "-c", "import platform; print(platform.python_version())"], cwd=here).stdout.strip()
                run([py, "-m", "pip", "install", "-q", "--disable-pip-version-check", wheel], cwd=here)
                report(f"{version}: pip install", "into a new venv, no extras")
                report(f"{version}: tarvix demo", check_demo(bin_dir, here, viz=False))
                run([py, "-m", "pip", "install", "-q", "--disable-pip-version-check", f"{wheel}[viz,test]"], cwd=here)
                scan = run([py, "-c", SIMULATE, here / "scan"], cwd=here).stdout.split()
                report(f"{version}: libraries", check_probe(bin_dir, scan, allowed, here))
                report(f"{version}: tarvix demo", check_demo(bin_dir, here, viz=True))
                report(f"{version}: tarvix audit", check_audit(bin_dir, scan, here))
                report(f"{version}: module tests", check_module_tests(bin_dir, here))
                report(f"{version}: report bytes", compare_fingerprints(reference, fingerprints(py, folders, here),
                                                                        f"the wheel on {version}"))
                if python == pythons[-1]:
                    report(f"{version}: report bytes, no AVX2/FMA", compare_fingerprints(
                        reference, fingerprints(py, folders, here, vector=False),
                        f"the wheel on {version} with the vector kernels and libm's FMA variants off"))
    except CheckFailed as failure:
        print(f"FAILED: {failure}")
        print(f"wheel: {passed} passed, 1 failed ({time.perf_counter() - started:.0f} s)")
        return 1
    print(f"wheel: {passed} passed, 0 failed ({time.perf_counter() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
