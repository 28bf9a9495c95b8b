"""The `tarvix` command line, driven as a user drives it: in a subprocess."""

import json
import os

import pytest

from tarvix import _tarvix, synthetic

from cli_runner import cli, hiding, image
from conftest import same_module_report, validate

HIDE_MPL = hiding("matplotlib")


@pytest.fixture(scope="module")
def small_scan(tmp_path_factory):
    """Too little white matter (142 voxels) for a verdict, flipped table."""
    folder = tmp_path_factory.mktemp("small")
    return synthetic.write_scan(str(folder), "small", shape=(16, 16, 12), transform="-x+y+z", seed=2)


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    """A 14-volume table (too short for the scans) as FSL short.bvec/.bval and
    MRtrix short.b, and an amplitude-encoded copy, every vector at half length (amp)."""
    folder = tmp_path_factory.mktemp("tables")
    bvals, dirs = synthetic.make_scheme((1000.0,), 12, 2)
    synthetic.write_mrtrix(folder / "short.b", bvals, dirs)
    for name, scale in [("short", 1.0), ("amp", 0.5)]:
        synthetic.write_fsl(folder / f"{name}.bvec", folder / f"{name}.bval", bvals, dirs * scale)
    return folder


# Command lines read without argparse, and the ones left to it: both must give
# argparse's namespace.
PLAIN = [
    "inspect --bvec a.bvec --bval a.bval --json",
    "inspect --grad a.b --tolerance 0.1 --b0-threshold=20 --strict --out r.json --force",
    "audit --dwi d.nii.gz --bvec a --bval b --mask m.nii --shell 2000 --step 2.5 --threads 3 --png q.png",
    "audit --bvec a --bval b --dwi d --no-tracking --profile --fail-on flag --margin-threshold 0.1",
    "detect-flip --dwi d --bvec a --bval b --tracking-out t.json --radiological --png p.png",
    "repair --dwi d --bvec a --bval b --out-bvec o.bvec --out-bval o.bval --out-grad o.b --dry-run --force-repair",
    "recompute-bval --bvec a --bval b --out-bvec o --out-bval p --provenance p.json --force",
    "bids ds",
    "bids ds out participant --participant-label 01 02 --jobs 2 --repair --repair-grad --no-tracking --quiet",
    "bids ds --output-dir out --keep-going --scheduler tcp://h:8786 --tracking --png --fail-on never",
    "bids ds out group --mask-dir masks --force-repair",
    "demo --dir x --force",
    "bids --jobs 2 ds out participant",
]
LEFT_TO_ARGPARSE = [
    "audit --dwi d --bvec a --bval b --thr 2",  # an abbreviation
    "audit --dwi d --bvec a --bval b --shell -5",  # a value that looks like an option
    "bids ds --participant_label 01 -- out",
    "repair --dwi d --bvec a --bval b --out-bvec o",  # a required option missing (exits 2)
    "bids ds --jobs 2 --scheduler x",  # options that exclude each other (exits 2)
    "audit --threads 0",  # a value that does not convert (exits 2)
]


@pytest.mark.parametrize("line", PLAIN + LEFT_TO_ARGPARSE)
def test_command_lines_read_as_argparse_reads_them(line):
    from tarvix import cli

    words = line.split()
    table = cli.declare(words)
    fast = table.parse(words)
    assert (fast is None) == (line in LEFT_TO_ARGPARSE), line
    if fast is None:
        return
    expected = vars(cli.build_parser().parse_args(words))
    assert expected.pop("parser").prog == fast.parser.prog
    assert {k: v for k, v in vars(fast).items() if k != "parser"} == expected


def test_every_command_has_help_with_its_exit_status():
    assert "exit status:" in cli("--help").stdout
    for command in ["inspect", "audit", "detect-flip", "repair", "recompute-bval", "bids", "demo"]:
        result = cli(command, "--help")
        assert result.returncode == 0, command
        assert result.stdout.startswith(f"usage: tarvix {command}") and "exit status:" in result.stdout


@pytest.mark.parametrize("args, message", [
    (["audit", "--bogus"], "unrecognized arguments: --bogus"),
    ([], "the following arguments are required: COMMAND"),
    (["inspect", "--bvec", "NO.bvec"], "missing --bval"),
    (["inspect", "--bval", "NO.bval"], "missing --bvec"),
    (["audit", "--grad", "NO.b", "--bvec", "NO.bvec"], "--grad replaces --bvec and --bval"),
    (["inspect", "--grad", "NO.b", "--tolerance", "0"], "--tolerance must be greater than 0, not 0"),
    (["inspect", "--grad", "NO.b", "--b0-threshold", "-1"], "--b0-threshold must be 0 or more, not -1"),
    (["inspect", "--grad", "NO.b", "--threads", "100000"], "100000 is more than 256"),
    (["audit", "--grad", "NO.b", "--dwi", "NO.nii", "--step", "0"], "--step must be greater than 0 voxels"),
    (["audit", "--grad", "NO.b", "--dwi", "NO.nii", "--margin-threshold", "1.5"], "at most 1, not 1.5"),
    (["audit", "--grad", "NO.b", "--png", "q.png"], "--profile and --png need --dwi"),
    (["audit", "--grad", "NO.b", "--tracking-out", "t.json"], "--tracking-out needs --dwi"),
    (["bids", "NO-SUCH-FOLDER"], "ROOT NO-SUCH-FOLDER does not exist"),
    # Checked against what exists.
    (["bids", "{bval}"], "ROOT {bval} is not a folder"),
    (["audit", "--dwi", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--tracking-out", "t.json", "--no-tracking"],
     "--tracking-out and --no-tracking contradict each other: the record is the tracking's"),
])
def test_usage_errors_exit_2_with_one_line_and_write_nothing(tmp_path, scan, args, message):
    result = cli(*[a.format(**scan) for a in args], cwd=tmp_path)
    assert result.returncode == 2, result.stderr
    assert result.stderr.count("\n") == 1 and message.format(**scan) in result.stderr
    assert "Traceback" not in result.stderr and os.listdir(tmp_path) == []


MISSING = "I/O error: No such file or directory (os error 2), while reading --bval {t}/missing.bval"


@pytest.mark.parametrize("args, head, tail", [
    (["inspect", "--bvec", "{bvec}", "--bval", "{t}/missing.bval"], MISSING, MISSING),
    (["audit", "--dwi", "{bvec}", "--bvec", "{bvec}", "--bval", "{bval}"], "NIfTI error: ",
     ", while reading --dwi {bvec}"),
    (["audit", "--dwi", "{dwi}", "--mask", "{bval}", "--bvec", "{bvec}", "--bval", "{bval}"], "NIfTI error: ",
     ", while reading --mask {bval}"),
    (["inspect", "--bvec", "{bval}", "--bval", "{bvec}"], "failed to parse {bvec}: b-values go on one line",
     "; it has three rows and the b-vector file {bval} one: the two look swapped"),
    (["inspect", "--bvec", "{t}/short.b", "--bval", "{bval}"], "failed to parse {t}/short.b: ",
     "looks like an MRtrix gradient file ('x y z b' per line): give it with --grad instead"),
    (["audit", "--dwi", "{dwi}", "--bvec", "{t}/short.bvec", "--bval", "{t}/short.bval"], "volume mismatch: ",
     "between the table {t}/short.bvec and --dwi {dwi}"),
    (["audit", "--dwi", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--shell", "2000"],
     "--shell 2000 matches no shell of the table; ", "its diffusion-weighted shells are: b=1000"),
    (["inspect", "--bvec", "{t}/amp.bvec", "--bval", "{t}/amp.bval", "--strict"],
     "amplitude-encoded bvecs (--strict): ", "recover explicitly with `tarvix recompute-bval`."),
    (["recompute-bval", "--bvec", "{bvec}", "--bval", "{bval}", "--out-bvec", "{t}/u.bvec", "--out-bval", "{t}/u.bval"],
     "every direction in {bvec} has unit length: nothing to recover", "(pass --force to proceed anyway)"),
])
def test_errors_exit_1_with_one_line_naming_the_input(tables, scan, args, head, tail):
    fill = dict(scan, t=tables)
    before = sorted(os.listdir(tables))
    result = cli(*[a.format(**fill) for a in args])
    assert result.returncode == 1 and result.stdout == "" and result.stderr.count("\n") == 1
    assert result.stderr.startswith("tarvix: error: " + head.format(**fill))
    assert result.stderr.endswith(tail.format(**fill) + "\n")
    assert sorted(os.listdir(tables)) == before


def test_json_output_and_exit_status(tmp_path, scan):
    options = [*image(scan), "--threads", "1"]
    module = _tarvix.audit(dwi=scan["dwi"], bvec=scan["bvec"], bval=scan["bval"], threads=1)

    out = tmp_path / "report.json"
    result = cli("audit", *options, "--json", "--out", out)
    assert result.returncode == 4  # FLAG fails a pipeline by default; --fail-on flag is kept for scripts
    same_module_report(result.stdout, module)
    same_module_report(out.read_text(), module)
    detect = cli("detect-flip", *options, "--json", "--fail-on", "flag")
    assert detect.returncode == 4
    same_module_report(detect.stdout,
                       _tarvix.detect_flip(dwi=scan["dwi"], bvec=scan["bvec"], bval=scan["bval"], threads=1))
    alone = cli("audit", *options, "--no-tracking", "--fail-on", "flag")
    assert alone.returncode == 4
    assert "verdict on the axes: FLAG by the coherence: recommended transform -x+y+z (x axis flipped)" in alone.stdout
    profiled = cli("audit", *options, "--profile", "--json")
    same_module_report(profiled.stdout, module)
    assert "total" in profiled.stderr and "threads: 1" in profiled.stderr
    # Every stage the engine runs is in the table, the consistency tests too.
    assert all(f"\n{stage} " in profiled.stderr for stage in ("tracking", "consistency")), profiled.stderr
    assert cli("audit", *image(scan)[2:], "--shell", "1010").returncode == 0  # within the shell tolerance


@pytest.mark.parametrize("args, module_status, note", [
    (["--no-tracking"], "FLAG", "only 142 white-matter voxels: too few to judge the axes"),
    (["--no-tracking", "--step", "1000"], "PASS", "every axis transform scored 0"),
    ([], "FLAG", "the tracking cannot judge the axes: only 142 trackable voxels"),
])
def test_thin_evidence_is_a_warning_and_repairs_nothing(tmp_path, small_scan, args, module_status, note):
    result = cli("audit", *image(small_scan), *args)
    assert result.returncode == 3, result.stderr
    assert result.stdout.startswith("status: WARN — the axes cannot be judged with confidence")
    assert note in result.stdout and "tarvix repair" not in result.stdout
    as_json = cli("detect-flip", *image(small_scan), *args, "--json")
    validate("engine-report", as_json.stdout)
    report = json.loads(as_json.stdout)
    verdict = report["verdict"]
    assert as_json.returncode == 3 and report["status"] == verdict["status"] == "WARN" != report["flip"]["decision"]
    assert verdict["thin_evidence"] and verdict["recommended_label"] is None and note in as_json.stderr
    if module_status == "FLAG":  # the engine applies only what the verdict recommends
        repair = ["repair", *image(small_scan), "--out-bvec", tmp_path / "f.bvec", "--out-bval", tmp_path / "f.bval",
                  "--provenance", tmp_path / "p.json", "--out", tmp_path / "r.json", *args]
        result = cli(*repair)
        assert result.returncode == 3 and "evidence is too thin to apply it" in result.stdout
        assert os.listdir(tmp_path) == ["r.json"] and json.loads((tmp_path / "r.json").read_text())["status"] == "WARN"
        forced = cli(*repair, "--force-repair", "--force")
        assert forced.returncode == 3
        assert sorted(os.listdir(tmp_path)) == ["f.bval", "f.bvec", "p.json", "r.json", "r.json.bak"]


def test_bids_exit_status_the_worst_run_decides(tmp_path):
    # (FLAG over WARN: test_bids_app's dataset; every run PASS: test_bids_folder.)
    root = tmp_path / "ds"
    synthetic.write_scan(str(root / "sub-01" / "dwi"), "sub-01_dwi", shape=(24, 24, 16), seed=3)
    synthetic.write_scan(str(root / "sub-02" / "dwi"), "sub-02_dwi", shape=(16, 16, 12), seed=4)
    thin = cli("bids", root)
    assert thin.returncode == 3 and "WARN  sub-02_dwi" in thin.stdout and ": too few to" in thin.stdout
    assert "PASS  sub-01_dwi" not in thin.stdout


def test_demo_and_pictures_without_the_extras(tmp_path, scan):
    result = cli("detect-flip", *image(scan), "--png", tmp_path / "q.png", prelude=HIDE_MPL)
    assert (result.returncode, result.stderr) == (1, "tarvix: error: --png needs matplotlib, which is not "
                                                     "installed; install it with: pip install 'tarvix[viz]'\n")
    assert os.listdir(tmp_path) == []
    # A wheel installed without extras: the demo's scan ships in the package,
    # and the picture is the one step it may skip (and the slow one), naming the pip line that brings it.
    demo = cli("demo", "--dir", tmp_path, prelude=hiding("numpy", "nibabel", "matplotlib"))
    assert demo.returncode == 0, demo.stderr
    assert "2. audit: FLAG" in demo.stdout and "4. audit of the repaired table: PASS" in demo.stdout
    assert "QC picture skipped: matplotlib is not installed" in demo.stdout and "(pip install 'tarvix[viz]')" in demo.stdout
    assert {"demo_fixed.bvec", "demo_fixed.bval", "provenance.json", "repair.json"} <= set(os.listdir(tmp_path))
    again = cli("demo", "--dir", tmp_path, prelude=HIDE_MPL)
    assert again.returncode == 1 and "refusing to overwrite existing file" in again.stderr
    assert cli("demo", "--dir", tmp_path, "--force", prelude=HIDE_MPL).returncode == 0
    assert (tmp_path / "repair.json.bak").exists()
    # A file given as the folder is left alone.
    target = tmp_path / "repair.json"
    kept = target.read_bytes()
    result = cli("demo", "--dir", target)
    assert result.returncode == 1 and result.stderr == (
        f"tarvix: error: --dir {target} is a file, not a folder: give a folder for the demo files\n")
    assert target.read_bytes() == kept
