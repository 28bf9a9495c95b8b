"""Table files the command line refuses or explains, and what it refuses to
write, run as a user would. Each case is a table that once passed, or failed
with a message that hid its cause."""

import json
import os

import pytest

from cli_runner import cli
from tarvix import _tarvix

BVEC = "1 0 0 0\n0 1 0 0\n0 0 1 1\n"
BVAL = "0 1000 1000 1000\n"


def _files(tmp_path, **contents):
    paths = {}
    for name, text in contents.items():
        path = tmp_path / name.replace("_", ".")
        path.write_bytes(text.encode() if isinstance(text, str) else text)
        paths[name] = str(path)
    return paths


# (files, options naming them, the file blamed, fragments of the message)
REFUSED = [
    ({"t_bval": "0 1000 NaN 1000\n"}, "fsl", "t_bval", ["the b-value of volume 2 is not a finite number", "(line 1, number 3)"]),
    ({"t_bvec": "1 0 0 0\n0 1 inf 0\n0 0 1 1\n"}, "fsl", "t_bvec", ["the y component of volume 2 is not a finite number"]),
    ({"t_bval": "0 -1000 1000 1000\n"}, "fsl", "t_bval", ["the b-value of volume 1 is negative"]),
    # An FSL bvec given as --grad was read as three gradients, "PASS".
    ({"t_bvec": "1 0 0 0 1\n0 1 0 0 0\n0 0 1 1 0\n"}, "bvec-as-grad", "t_bvec",
     ["line 1 holds 5 values", "--bvec and --bval"]),
    ({"t_bval": b"\xef\xbb\xbf0 1000 1000 1000\n"}, "fsl", "t_bval", ["byte-order mark"]),
    ({"t_bvec": "1 0 0 0\r0 1 0 0\r0 0 1 1\r"}, "fsl", "t_bvec", ["carriage return alone"]),
    # A two-row bval was blamed on the bvec.
    ({"t_bval": "0 1000\n1000 1000\n"}, "fsl", "t_bval", ["b-values go on one line, or one per line"]),
    # An MRtrix file with its header given as --bvec: "invalid number: \"#\"", no hint.
    ({"t_bvec": "# x y z b\n0 0 0 0\n1 0 0 1000\n0 1 0 1000\n0 0 1 1000\n"}, "fsl", "t_bvec",
     ["is a '#' comment", "given with --grad"]),
    ({"t_b": "0 0 0 0\n1 0 0 1000\n0 1 0\n"}, "grad", "t_b", ["line 3 holds 3 values"]),
]


@pytest.mark.parametrize("files,given,blamed,fragments", REFUSED)
def test_refused_tables_name_file_and_entry(tmp_path, files, given, blamed, fragments):
    paths = _files(tmp_path, **{"t_bvec": BVEC, "t_bval": BVAL, "t_b": "0 0 0 0\n", **files})
    options = {"fsl": ["--bvec", paths["t_bvec"], "--bval", paths["t_bval"]],
               "grad": ["--grad", paths["t_b"]], "bvec-as-grad": ["--grad", paths["t_bvec"]]}[given]
    for command in (["inspect"], ["recompute-bval", "--out-bvec", tmp_path / "o.bvec", "--out-bval",
                                  tmp_path / "o.bval", "--force"]):
        r = cli(*command, *options)
        assert r.returncode == 1, (command, r.stdout, r.stderr)
        assert r.stderr.startswith(f"tarvix: error: failed to parse {paths[blamed]}: "), r.stderr
        for fragment in fragments:
            assert fragment in r.stderr
        assert r.stderr.count("--grad") <= 1  # the command line's own hint does not repeat it
    assert not (tmp_path / "o.bvec").exists()


def test_hostile_line_is_quoted_short(tmp_path):
    # A comma-separated bval of 200 000 characters once gave an error as long.
    paths = _files(tmp_path, t_bvec=BVEC, t_bval="\x1b[2J" + ",".join(["1000"] * 40000) + "\n")
    r = cli("inspect", "--bvec", paths["t_bvec"], "--bval", paths["t_bval"])
    assert r.returncode == 1
    assert len(r.stderr) < 400 and "\x1b" not in r.stderr
    assert "not commas" in r.stderr


def test_repair_of_a_nan_table_writes_nothing(tmp_path, scan):
    bval = tmp_path / "nan.bval"
    bval.write_text(open(scan["bval"]).read().replace("1000", "nan", 1))
    out = [tmp_path / n for n in ("o.bvec", "o.bval", "o.b")]
    r = cli("repair", "--dwi", scan["dwi"], "--bvec", scan["bvec"], "--bval", bval, "--out-bvec", out[0],
            "--out-bval", out[1], "--out-grad", out[2])
    assert r.returncode == 1 and "is not a finite number" in r.stderr
    assert not any(p.exists() for p in out)


def _split_table(tmp_path):
    """The hostile trial's table: amplitude-encoded thirds of b=3000 and one
    vector three times too long (volume 31)."""
    lengths = [0.0] + [(k / 3) ** 0.5 for k in (1, 2, 3) for _ in range(10)] + [3.0]
    dirs = [(0.0, 0.6 * n, 0.8 * n) for n in lengths]
    bvec = tmp_path / "s.bvec"
    bval = tmp_path / "s.bval"
    bvec.write_text("\n".join(" ".join(f"{d[i]:.6f}" for d in dirs) for i in range(3)) + "\n")
    bval.write_text(" ".join("0" if n == 0 else "3000" for n in lengths) + "\n")
    return bvec, bval


def test_recompute_refuses_to_split_a_shell_unless_forced(tmp_path):
    bvec, bval = _split_table(tmp_path)
    out = ["--out-bvec", tmp_path / "o.bvec", "--out-bval", tmp_path / "o.bval"]
    for extra in ([], ["--dry-run"]):
        r = cli("recompute-bval", "--bvec", bvec, "--bval", bval, *out, *extra)
        assert r.returncode == 1, r.stderr
        assert "would split the b=3000 shell: volume 31 (numbered from 0)" in r.stderr
        assert "b=111 to 333" in r.stderr and "--force" in r.stderr
    assert not (tmp_path / "o.bvec").exists()
    r = cli("recompute-bval", "--bvec", bvec, "--bval", bval, *out, "--force", "--json")
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout)["b_max"] == 3000


def test_module_reads_leniently_but_never_writes_nan(tmp_path):
    # _tarvix keeps its reading of tables (a NaN b-value is read, not refused)...
    paths = _files(tmp_path, t_bvec=BVEC, t_bval="0 1000 nan 1000\n")
    report = json.loads(_tarvix.inspect(bvec=paths["t_bvec"], bval=paths["t_bval"]))
    assert report["status"] in ("PASS", "WARN")
    # ...but no longer writes what it read.
    out = {"out_bvec": str(tmp_path / "o.bvec"), "out_bval": str(tmp_path / "o.bval")}
    nan_vec = _files(tmp_path, n_bvec="1 0 0 0\n0 nan 0 0\n0 0 1 1\n", n_bval=BVAL)
    with pytest.raises(ValueError, match=r"not finite \(NaN or infinite\), in volume 1 \(numbered from 0\)"):
        _tarvix.recompute_bval(bvec=nan_vec["n_bvec"], bval=nan_vec["n_bval"], **out)
    assert not os.path.exists(out["out_bvec"])
    # A dry run writes nothing, so it still reports as before.
    assert json.loads(_tarvix.recompute_bval(bvec=nan_vec["n_bvec"], bval=nan_vec["n_bval"], dry_run=True, **out))
