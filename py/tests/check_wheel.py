"""Install the repaired wheel where a user would and check that it stands alone.

What `make wheel-test` runs (with the project's .venv, which has auditwheel):

1. `auditwheel show`: every ELF file of the wheel needs nothing outside the
   manylinux base set, and the wheel's platform tag is the one auditwheel
   derives from its symbol versions.
2. A brand-new venv in a temporary folder (cwd there, LD_LIBRARY_PATH and
   friends removed from the environment) gets `pip install WHEEL[viz,demo]`.
3. In that venv a probe imports every extension module of the package, runs
   an audit, and reports every shared object the process mapped since before
   the import. Anything not from the installed wheel, the manylinux base set
   or the interpreter's own standard library was loaded from the system; that
   also catches libraries opened later with dlopen, which no ELF dependency
   list shows.
4. `tarvix demo` (which draws its picture when the viz extra is in) and one
   `tarvix audit` on a scan simulated in that venv.

Usage: check_wheel.py [WHEEL] [--python PYTHON3.13]
"""

from __future__ import annotations

import argparse
import importlib.resources
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

ROOT = pathlib.Path(__file__).resolve().parents[2]
# Anything that would let the new venv find libraries or modules it did not install itself.
LEAKY_VARIABLES = ("LD_LIBRARY_PATH", "LD_PRELOAD", "PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP",
                   "VIRTUAL_ENV", "PYTHONUSERBASE")

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


def platform_tag(wheel: pathlib.Path) -> str:
    return wheel.stem.split("-")[-1]


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


def check_auditwheel(wheel: pathlib.Path) -> str:
    shown = json.loads(run([sys.executable, "-m", "auditwheel", "show", "--json", wheel], cwd=wheel.parent).stdout)
    if shown["external_libs"]:
        raise CheckFailed(f"the wheel still needs libraries from the system: {sorted(shown['external_libs'])}")
    if shown["overall_tag"] != platform_tag(wheel):
        raise CheckFailed(f"the wheel is tagged {platform_tag(wheel)}, auditwheel says {shown['overall_tag']}")
    return f"nothing outside the {shown['overall_tag']} base set is needed"


def install(wheel: pathlib.Path, python: str, work: pathlib.Path) -> pathlib.Path:
    venv = work / "venv"
    run([python, "-m", "venv", venv], cwd=work)
    run([venv / "bin/python", "-m", "pip", "install", "-q", "--disable-pip-version-check", f"{wheel}[viz,demo]"],
        cwd=work)
    return venv / "bin"


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
    parser.add_argument("--python", default=sys._base_executable,
                        help="the CPython 3.13 to make the new venv with (default: the one behind this venv)")
    args = parser.parse_args(argv)
    passed = 0

    def report(name, detail):
        nonlocal passed
        passed += 1
        print(f"  ok  {name}: {detail}", flush=True)

    try:
        wheel = (args.wheel or find_wheel()).resolve()
        print(f"checking {wheel.name}", flush=True)
        report("auditwheel show", check_auditwheel(wheel))
        with tempfile.TemporaryDirectory(prefix="tarvix-wheel-") as tmp:
            work = pathlib.Path(tmp)
            if work.is_relative_to(ROOT):
                raise CheckFailed(f"the temporary folder {work} is inside the source tree")
            bin_dir = install(wheel, args.python, work)
            report("pip install", "into a new venv, with the viz and demo extras")
            scan = run([bin_dir / "python", "-c", SIMULATE, work / "scan"], cwd=work).stdout.split()
            report("libraries", check_probe(bin_dir, scan, base_set(platform_tag(wheel)), work))
            report("tarvix demo", check_demo(bin_dir, work))
            report("tarvix audit", check_audit(bin_dir, scan, work))
    except CheckFailed as failure:
        print(f"FAILED: {failure}")
        print(f"wheel: {passed} passed, 1 failed")
        return 1
    print(f"wheel: {passed} passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
