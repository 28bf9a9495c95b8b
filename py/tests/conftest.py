import json
import math
import os
import time

import numpy as np
import pytest

from tarvix import synthetic

SHAPE = (24, 24, 16)


SCHEMAS = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "schemas")


def schema(kind: str) -> dict:
    with open(os.path.join(SCHEMAS, f"{kind}.schema.json"), encoding="utf-8") as f:
        return json.load(f)


def validate(kind: str, document) -> None:
    """Checks a document (text or parsed) against docs/schemas/<kind>.schema.json
    as anyone would, without a registry: each schema carries the ones it refers to."""
    import jsonschema

    instance = json.loads(document) if isinstance(document, str) else document
    jsonschema.Draft202012Validator(schema(kind)).validate(instance)


def snapshot(folder):
    """Each entry of a folder: a file's bytes, or "other"."""
    return {n: open(os.path.join(folder, n), "rb").read() if os.path.isfile(os.path.join(folder, n)) else "other"
            for n in sorted(os.listdir(folder))}


def contents(folder):
    """Every file under a folder: its bytes by its relative path."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def group_rows(out):
    """The group table of an output folder: its header, and each row as a dict by the run's name."""
    lines = [line.split("\t") for line in (out / "group_report.tsv").read_text().splitlines()]
    return lines[0], {r[lines[0].index("name")]: dict(zip(lines[0], r)) for r in lines[1:]}


def wait_for(predicate, seconds=60):
    """Polls until predicate() is true, and returns its value."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if value := predicate():
            return value
        time.sleep(0.02)
    raise AssertionError("timed out")


PAUSE = """import os, sys, time
from tarvix import cli, {module} as m
owner = m{owner}
real = getattr(owner, {name!r})
def pause(*a, **k):
    if {when}:
        {before}
        open(os.environ[{signal!r}], 'w').close()
        deadline = time.monotonic() + 300
        while not os.path.exists(os.environ.get('GO', '/none')) and time.monotonic() < deadline:
            time.sleep(0.02)
    return real(*a, **k)
setattr(owner, {name!r}, pause)
sys.exit(cli.main(sys.argv[1:]))"""


def pausing(at, when="True", before="pass", signal="READY"):
    """A prelude that runs the command but stops where the tarvix function `at` (module.name or
    module.Class.name) is called with arguments `a` for which `when` holds: it runs `before`, writes
    the file named by $<signal>, then waits until the file $GO exists (or it is signalled or killed)."""
    module, *owner, name = at.split(".")
    return PAUSE.format(module=module, owner="".join("." + o for o in owner), name=name, when=when, before=before,
                        signal=signal)


def untimed(text):
    """A JSON report without its timestamp."""
    report = json.loads(text)
    del report["timestamp"]
    return report


def without_names(report):
    """The engine names each coherence transform (name, words, first of its
    pair) and always states the coherence's threshold, which the module
    leaves out at its default."""
    from tarvix import defaults

    flip = report.get("flip")
    if flip:
        for entry in flip["ranking"] + [flip["best"], flip["runner_up"]]:
            for key in ("name", "words", "first_of_pair"):
                entry.pop(key, None)
        if flip.get("margin_threshold") == defaults.MARGIN_THRESHOLD:
            del flip["margin_threshold"]
    return report


def same_module_report(engine_text, module_text):
    """An engine report carries the module's report unchanged but for its
    status: the engine adds the tracking, consistency and verdict sections and
    the transforms' names, and puts the verdict's status on top."""
    engine = without_names(json.loads(engine_text))
    assert engine["status"] == engine.pop("verdict")["status"]
    engine.pop("tracking", None)
    engine.pop("consistency", None)
    del engine["timestamp"]
    module = untimed(module_text)
    engine["status"] = module["status"]
    assert_close(engine, module, rel=1e-12, abs_tol=1e-15)


def assert_close(a, b, rel=1e-9, abs_tol=1e-12, path="report"):
    """Equal JSON values of the same types; reals within rel (coherence sums
    may differ in their last bits with how the work was split)."""
    if isinstance(a, float) and isinstance(b, float):
        assert a == b or math.isclose(a, b, rel_tol=rel, abs_tol=abs_tol), (path, a, b)
    elif isinstance(a, dict) and isinstance(b, dict):
        assert list(a) == list(b), path
        for k in a:
            assert_close(a[k], b[k], rel, abs_tol, f"{path}.{k}")
    elif isinstance(a, list) and isinstance(b, list):
        assert len(a) == len(b), path
        for i, (x, y) in enumerate(zip(a, b)):
            assert_close(x, y, rel, abs_tol, f"{path}[{i}]")
    else:
        assert type(a) is type(b) and a == b, (path, a, b)


_images = {}


def write_run(folder, name, preset="LAS", fmt="nii.gz", transform=None, scale=1.0, mrtrix=False, suffix=""):
    """Writes <name>.<fmt>, a phantom in the frame of an affine preset
    (simulated once per session), and its table: FSL, or MRtrix in the world
    frame with mrtrix; correct unless transform corrupts it, amplitude-encoded
    with scale < 1, and spelt .bvecs/.bvals with suffix="s". Returns the paths."""
    if preset not in _images:
        bvals, dirs = synthetic.make_scheme((1000.0,), 30, 6)
        affine = synthetic.affine_preset(preset, 2.0, SHAPE)
        _images[preset] = (synthetic.make_phantom(SHAPE, affine, bvals, dirs, snr=30.0, seed=5)[0], affine, bvals, dirs)
    data, affine, bvals, dirs = _images[preset]
    os.makedirs(folder, exist_ok=True)
    paths = {"dwi": os.path.join(folder, f"{name}.{fmt}")}
    synthetic.write_nifti(paths["dwi"], data, affine)
    paths.update(synthetic.write_table(str(folder), name, bvals, dirs * scale, affine, transform, mrtrix))
    for key in ("bvec", "bval") if suffix else ():
        os.rename(paths[key], paths[key] + suffix)
        paths[key] += suffix
    return paths


def box_mask(path, shape=SHAPE):
    """A brain mask of the given shape, a box inside it, on write_run's LAS grid. Returns its path."""
    m = np.zeros(shape, np.uint8)
    m[3:-3, 3:-3, 2:-2] = 1
    os.makedirs(os.path.dirname(path), exist_ok=True)
    synthetic.write_nifti(str(path), m, synthetic.affine_preset("LAS", 2.0, SHAPE))
    return str(path)


@pytest.fixture(scope="session")
def scans(tmp_path_factory):
    """A 2 mm phantom with enough white matter for both measures (360
    trackable voxels), its correct table and one with the x axis flipped,
    each with a whole-head mask."""
    folder = str(tmp_path_factory.mktemp("scans"))
    return {name: synthetic.write_scan(folder, name, shape=SHAPE, transform=t, seed=2, brain_mask=True)
            for name, t in (("correct", None), ("flipped", "-x+y+z"))}


@pytest.fixture(scope="session")
def scan(scans):
    return scans["flipped"]
