"""Install the repaired wheel where a user would and check that it stands alone.

What `make wheel-test` runs (with the project's .venv, which has auditwheel):

1. `auditwheel show`: every ELF file of the wheel needs nothing outside the
   manylinux base set, the wheel's platform tag is the one auditwheel derives
   from its symbol versions and no newer than manylinux_2_28, and its Python
   tag is cp311-abi3. `objdump -T`: no shared object of the wheel asks for a
   glibc symbol version newer than 2.28; `ldd`: each needs only the base set.
2. For each interpreter given (CPython 3.11 and 3.13), a brand-new venv in a
   temporary folder (cwd there, LD_LIBRARY_PATH and friends removed from the
   environment) gets `pip install WHEEL` with no extras: `tarvix demo` runs
   (its picture skipped, with the pip line that adds it). Then the extras
   `[viz,test]` go in and:
3. a probe imports every extension module of the package, runs an audit, and
   reports every shared object the process mapped since before the import.
   Anything not from the installed wheel, the manylinux base set or the
   interpreter's own standard library was loaded from the system; that also
   catches libraries opened later with dlopen, which no ELF dependency list
   shows;
4. `tarvix demo` (now drawing its picture) and one `tarvix audit` on a scan
   simulated in that venv;
5. the module's own tests (py/tests/test_module.py) run there;
6. same_bytes.py prints the fingerprints of the reports of the bench scans,
   the real series and the demo scan: the wheel under each interpreter, the
   wheel with the vector kernels off, and the source build (.venv) must all
   print the same, and so must the wheel with the vector kernels off and
   glibc's FMA variants of libm disabled (as on a machine without AVX2/FMA).

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
TESTS = pathlib.Path(__file__).resolve().parent
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


def clean_env() -> dict:
    return {k: v for k, v in os.environ.items() if k not in LEAKY_VARIABLES}


def run(command, cwd, expect=(0,)) -> subprocess.CompletedProcess:
    done = subprocess.run([str(c) for c in command], cwd=cwd, env=clean_env(), capture_output=True, text=True)
    if done.returncode not in expect:
        raise CheckFailed(f"{' '.join(map(str, command))} exited {done.returncode}\n{done.stdout}{done.stderr}")
    return done


def find_wheel() -> pathlib.Path:
    wheels = sorted((ROOT / "dist").glob("tarvix-*.whl"))
    if len(wheels) != 1:
        raise CheckFailed(f"expected one tarvix wheel in {ROOT / 'dist'}, found {len(wheels)}: run `make wheel`")
    return wheels[0]


def platform_tags(wheel: pathlib.Path) -> list[str]:
    """The wheel's platform tags: auditwheel names an old policy by its legacy
    alias too, as in manylinux2014_x86_64.manylinux_2_17_x86_64."""
    return wheel.stem.split("-")[-1].split(".")


def base_set(tag: str) -> set[str]:
    """The sonames a manylinux wheel of this tag may take from the system, as auditwheel's policy lists them."""
    policies = json.loads((importlib.resources.files("auditwheel.policy") / "manylinux-policy.json").read_text())
    name = tag.removesuffix("_" + platform.machine())
    for policy in policies:
        if name == policy["name"] or name in policy["aliases"]:
            return set(policy["lib_whitelist"])
    raise CheckFailed(f"auditwheel knows no policy {name}")


def soname(path: str) -> str:
    with open(path, "rb") as f:
        for section in ELFFile(f).iter_sections():
            if isinstance(section, DynamicSection):
                for tag in section.iter_tags("DT_SONAME"):
                    return tag.soname
    return pathlib.Path(path).name


def from_the_system(loaded: list[str], site: str, stdlib: str, allowed: set[str]) -> list[str]:
    """The loaded files that are neither part of the installed wheel, nor the
    interpreter's own, nor in the base set."""
    def own(path):
        return path.startswith(site + os.sep) or path.startswith(stdlib + os.sep)

    def base(path):
        name = soname(path)
        return name in allowed or name.startswith("ld-linux")

    return [p for p in loaded if not own(p) and not base(p)]


def auditwheel_show(wheel: pathlib.Path) -> dict:
    return json.loads(run([sys.executable, "-m", "auditwheel", "show", "--json", wheel], cwd=wheel.parent).stdout)


def shown_tag(wheel: pathlib.Path) -> str:
    return auditwheel_show(wheel)["overall_tag"]


def check_auditwheel(wheel: pathlib.Path) -> str:
    shown = auditwheel_show(wheel)
    if shown["external_libs"]:
        raise CheckFailed(f"the wheel still needs libraries from the system: {sorted(shown['external_libs'])}")
    tags = platform_tags(wheel)
    if shown["overall_tag"] not in tags:
        raise CheckFailed(f"the wheel is tagged {'.'.join(tags)}, auditwheel says {shown['overall_tag']}")
    glibc = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", shown["overall_tag"])
    if not glibc or (int(glibc[1]), int(glibc[2])) > GLIBC_FLOOR:
        raise CheckFailed(f"the wheel's tag {shown['overall_tag']} is newer than manylinux_2_28")
    python_tag = "-".join(wheel.stem.split("-")[-3:-1])
    if python_tag != PYTHON_TAG:
        raise CheckFailed(f"the wheel is for {python_tag}, not {PYTHON_TAG}")
    return f"{PYTHON_TAG}, nothing outside the {shown['overall_tag']} base set is needed"


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
        versions = [tuple(map(int, v.split("."))) for v in re.findall(r"\bGLIBC_(\d+(?:\.\d+)+)", dump)]
        if re.search(r"\b(GLIBCXX|CXXABI)_", dump):
            raise CheckFailed(f"{so.name} needs the system's libstdc++")
        imported = set(re.findall(r"\*UND\*\s+\S+\s+(?:\(\S+\)\s+)?(\w+)$", dump, re.M))
        if not {"cos", "sin", "log"} <= imported:
            raise CheckFailed(f"{so.name} computes cos, sin or log with the toolchain's own code, not glibc's")
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


def make_venv(python: str, work: pathlib.Path) -> pathlib.Path:
    venv = work / "venv"
    run([python, "-m", "venv", venv], cwd=work)
    return venv / "bin"


def pip_install(bin_dir: pathlib.Path, requirement: str, work: pathlib.Path) -> None:
    run([bin_dir / "python", "-m", "pip", "install", "-q", "--disable-pip-version-check", requirement], cwd=work)


def interpreter_version(bin_dir: pathlib.Path, work: pathlib.Path) -> str:
    return run([bin_dir / "python", "-c", "import platform; print(platform.python_version())"], cwd=work).stdout.strip()


def check_demo_without_extras(bin_dir: pathlib.Path, work: pathlib.Path) -> str:
    folder = work / "demo-plain"
    done = run([bin_dir / "tarvix", "demo", "--dir", folder], cwd=work)
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
    env = clean_env()
    if not vector:
        # As on a machine without AVX2 and FMA: tarvix's plain kernels, and glibc's
        # libm without its FMA variants (which differ in the last bit on rare inputs).
        env["TARVIX_VECTOR_KERNELS"] = "off"
        env["GLIBC_TUNABLES"] = "glibc.cpu.hwcaps=-AVX2,-FMA"
    done = subprocess.run([str(python), str(TESTS / "same_bytes.py"), *map(str, folders)], cwd=work, env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise CheckFailed(f"same_bytes.py under {python} exited {done.returncode}\n{done.stdout}{done.stderr}")
    return done.stdout.splitlines()


def compare_fingerprints(reference: list[str], other: list[str], what: str) -> None:
    if reference != other:
        differ = [a.split()[0] for a, b in zip(reference, other) if a != b] or ["(a different list of scans)"]
        raise CheckFailed(f"{what} gives other report bytes than the source build for: {', '.join(differ)}")


def check_probe(bin_dir: pathlib.Path, scan: list[str], allowed: set[str], work: pathlib.Path) -> str:
    probe = json.loads(run([bin_dir / "python", "-c", PROBE, *scan], cwd=work).stdout)
    if "tarvix._tarvix" not in probe["extensions"]:
        raise CheckFailed(f"tarvix._tarvix is not among the installed extensions {probe['extensions']}")
    offenders = from_the_system(probe["loaded"], probe["site"], probe["stdlib"], allowed)
    if offenders:
        raise CheckFailed("loaded from the system, not from the wheel:\n  " + "\n  ".join(offenders))
    if not {"viz", "cluster"} <= set(probe["extras"]) or not probe["matplotlib"]:
        raise CheckFailed(f"extras declared {probe['extras']}, matplotlib installed: {probe['matplotlib']}")
    if probe["status"] != "PASS":
        raise CheckFailed(f"the audit of a correct table answered {probe['status']}")
    package = os.path.join(probe["site"], "tarvix")
    bundled = sum(p.startswith((package + os.sep, package + ".libs" + os.sep)) for p in probe["loaded"])
    return f"{', '.join(probe['extensions'])} and an audit: {bundled} files from the wheel, the rest from the base set"


def check_demo(bin_dir: pathlib.Path, work: pathlib.Path) -> str:
    folder = work / "demo"
    run([bin_dir / "tarvix", "demo", "--dir", folder], cwd=work)
    if not (folder / "qc.png").read_bytes().startswith(b"\x89PNG"):
        raise CheckFailed("the demo drew no QC picture")
    return "FLAG, repair, PASS, qc.png"


def check_audit(bin_dir: pathlib.Path, scan: list[str], work: pathlib.Path) -> str:
    dwi, bvec, bval = scan
    report = work / "audit.json"
    run([bin_dir / "tarvix", "audit", "--dwi", dwi, "--bvec", bvec, "--bval", bval, "--out", report], cwd=work)
    status = json.loads(report.read_text())["status"]
    if status != "PASS":
        raise CheckFailed(f"tarvix audit answered {status}")
    return status


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel", nargs="?", type=pathlib.Path)
    parser.add_argument("--python", action="append",
                        help="a CPython (3.11 or later) to make a new venv with; may be repeated "
                             "(default: the one behind this venv)")
    parser.add_argument("--scans", action="append", type=pathlib.Path,
                        help="a folder of scans for the report-bytes comparison; may be repeated "
                             "(default: bench/data, ../shared/data/real-canon and the demo scan)")
    parser.add_argument("--source-python", default=str(ROOT / ".venv" / "bin" / "python"),
                        help="the interpreter with the source build, the reference for the report bytes")
    args = parser.parse_args(argv)
    pythons = args.python or [sys._base_executable]
    passed = 0
    started = time.perf_counter()

    def report(name, detail):
        nonlocal passed
        passed += 1
        print(f"  ok  {name}: {detail}", flush=True)

    try:
        wheel = (args.wheel or find_wheel()).resolve()
        print(f"checking {wheel.name}", flush=True)
        report("auditwheel show", check_auditwheel(wheel))
        allowed = base_set(shown_tag(wheel))
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
                bin_dir = make_venv(python, here)
                version = interpreter_version(bin_dir, here)
                pip_install(bin_dir, str(wheel), here)
                report(f"{version}: pip install", "into a new venv, no extras")
                report(f"{version}: tarvix demo", check_demo_without_extras(bin_dir, here))
                pip_install(bin_dir, f"{wheel}[viz,test]", here)
                scan = run([bin_dir / "python", "-c", SIMULATE, here / "scan"], cwd=here).stdout.split()
                report(f"{version}: libraries", check_probe(bin_dir, scan, allowed, here))
                report(f"{version}: tarvix demo", check_demo(bin_dir, here))
                report(f"{version}: tarvix audit", check_audit(bin_dir, scan, here))
                report(f"{version}: module tests", check_module_tests(bin_dir, here))
                compare_fingerprints(reference, fingerprints(bin_dir / "python", folders, here), f"the wheel on {version}")
                report(f"{version}: report bytes", "those of the source build")
                if python == pythons[-1]:
                    compare_fingerprints(reference, fingerprints(bin_dir / "python", folders, here, vector=False),
                                         f"the wheel on {version} with the vector kernels and libm's FMA variants off")
                    report(f"{version}: report bytes, no AVX2/FMA", "those of the source build")
    except CheckFailed as failure:
        print(f"FAILED: {failure}")
        print(f"wheel: {passed} passed, 1 failed ({time.perf_counter() - started:.0f} s)")
        return 1
    print(f"wheel: {passed} passed, 0 failed ({time.perf_counter() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
