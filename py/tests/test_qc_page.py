"""The QC page a reviewer works from: rendered from a real batch (two subjects,
sub-02's table with x negated), its repair command, and the
page driven in headless Chromium (sorting, filtering, nothing fetched)."""

import contextlib
import copy
import html
import json
import os
import re
import shlex
import shutil
import socketserver
import subprocess
import threading
from html.parser import HTMLParser

import pytest

from tarvix import _engine, batch as batch_module, qcpage, qcplot, verdict

from cli_runner import cli
from conftest import write_run as run

CHROMIUM = shutil.which("chromium")
RUNS = [("sub-01/ses-1/dwi", "sub-01_ses-1_dwi", {}),
        ("sub-01/ses-2/dwi", "sub-01_ses-2_dwi", {}),
        ("sub-02/ses-1/dwi", "sub-02_ses-1_dwi", {"transform": "-x+y+z"})]


@pytest.fixture(scope="module")
def batch(tmp_path_factory):
    """The tree, the batch's output folder and the run records the page takes,
    read back from the batch's own files."""
    base = tmp_path_factory.mktemp("page")
    root, out = base / "ds", base / "out"
    for folder, name, kwargs in RUNS:
        run(root / folder, name, **kwargs)
    result = cli("bids", root, "--output-dir", out, "--png", "--threads", "1")
    assert result.returncode == 4, result.stderr
    runs = batch_module.page_runs(batch_module.folder_runs(str(root), str(out))[0])
    assert [r["name"] for r in runs] == [name for _, name, _ in RUNS]
    return root, out, runs


def text_of(page: str) -> str:
    """The page's words as a reader sees them: tags dropped, entities read, spaces joined."""
    page = re.sub(r"<(script|style)\b.*?</\1>", " ", page, flags=re.S)
    return re.sub(r"\s+", " ", html.unescape(re.sub(r"<[^>]+>", " ", page)).replace("\xa0", " "))


def commands(page: str) -> list[list[str]]:
    return [shlex.split(html.unescape(c).replace("\\\n", " "))
            for c in re.findall(r'<pre class="cmd"[^>]*>(.*?)</pre>', page, re.S)]


def test_a_runs_picture_is_the_one_audit_draws(tmp_path, monkeypatch):
    """From the run's own audit: its field, its tracking record and streamlines."""
    scan = run(tmp_path / "ds/sub-01/dwi", "sub-01_dwi", transform="-x+y+z")
    drawn = []

    def write_png(path, report, glyphs, **kwargs):
        open(path, "wb").close()
        drawn.append((glyphs, kwargs))

    monkeypatch.setattr(qcplot, "write_png", write_png)
    outcome = batch_module.run(str(tmp_path / "ds"), png=True, threads=1)
    assert outcome.runs[0].png == "sub-01/dwi/sub-01_desc-tarvix_qc.png"
    single = _engine.audit(dwi=scan["dwi"], bvec=scan["bvec"], bval=scan["bval"], tracking=True, glyphs=True, threads=1)
    [(glyphs, kwargs)] = drawn
    assert glyphs == single["glyphs"] and kwargs["streamlines"] == single["streamlines"]
    assert kwargs["tracking"] == json.loads(single["tracking"])
    assert kwargs["verdict"] == verdict.of_report(json.loads(single["report"]))


def test_batch_page_states_leads_fix_and_the_repair_command(batch):
    root, out, _ = batch
    page = (out / "index.html").read_text()
    words = text_of(page)
    # Each run's leads, in its row and in its detail view.
    assert len(re.findall(r"tracking lead \d+\.\d % ± \d+\.\d % SD \(needs 5 % and 2 SD\)", words)) == 6
    assert len(re.findall(r"coherence lead \d+\.\d % \(needs 2 %\)", words)) == 6
    assert "Fix: x axis flipped -x+y+z" in words
    assert 'href="group_report.tsv"' in page

    # One command, for the FLAG run, as qcpage.repair_args gives it (its options: below; that
    # the tables a batch's repair writes re-audit PASS: test_bids_app).
    [args] = commands(page)
    assert args == qcpage.repair_args(batch[2][2], str(root), str(out), True)
    assert args[args.index("--dwi") + 1] == f"{root}/sub-02/ses-1/dwi/sub-02_ses-1_dwi.nii.gz"


def _with(run, **changes):
    run = copy.deepcopy(run)
    for key, value in changes.items():
        (run["report"] if key in ("notes", "consistency") else run)[key] = value
    return run


def urls(page):
    """Every link and source the page names."""
    found, parser = [], HTMLParser()
    parser.handle_starttag = lambda tag, attrs: found.extend(
        v for k, v in attrs if k in ("href", "src", "srcset", "action", "poster") and v)
    parser.feed(page)
    return found


def test_notes_once_detail_and_escaping(batch, tmp_path):
    good, _, flagged = batch[2]
    hostile = 'sub-0x_acq-<i>"a&b"#?%\n_dwi'
    shared = "every run of this scanner: no b=0 drift check"
    cross = "sub-02's table is the others' with x negated"
    page_runs = [
        _with(good, notes=[shared, "only on this run"], mask="/masks/sub-01_desc-brain_mask.nii.gz",
              consistency={"status": "WARN", "volume_means": [1.0, 0.5], "tests": {
                  "b0": {"status": "PASS", "findings": []},
                  "order": {"status": "WARN", "findings": ["volume 7 is called b=0 but is as dark as the shell"]}}}),
        # The batch puts the cross-run note among the report's notes as well.
        _with(flagged, notes=[shared, cross], cross_run_note=cross,
              consistency="same table as the group"),
        _with(good, name=hostile, entities={"sub": "0x"}, notes=[shared, "<script>alert(1)</script>"],
              files={"report": f"sub-0x/dwi/{hostile}_report.json", "tracking": None, "picture": None}),
        _with(good, name="sub-03_dwi", entities={"sub": "03"}, report=None,
              files={"report": None, "tracking": None, "picture": None}),
    ]
    path = qcpage.write_page(str(tmp_path), "/data/study", page_runs, [("sub-03_dwi", "bad <bval>")], False, "9.9")
    page = open(path, encoding="utf-8").read()
    words = text_of(page)

    # A note every audited run carries is said once, above the table; the others stay on their run.
    assert page.count(html.escape(shared, quote=True)) == 1 and "Notes on every run" in words
    assert "only on this run" in words and words.count(cross) == 2  # row and detail
    # The detail view: mask used or the automatic region, the consistency finding when there is one.
    assert "/masks/sub-01_desc-brain_mask.nii.gz" in words and "automatic region" in words
    assert words.count("volume 7 is called b=0 but is as dark as the shell") == 2  # row and detail
    assert "order: WARN" in words and "b0: PASS" not in words and "same table as the group" in words
    # A failed run keeps its row and its error; it is not listed twice.
    assert "could not be audited: bad <bval>" in words and words.count("bad <bval>") == 2  # row and detail
    # Without the tracking the command says so, or repair would decide with it.
    [args] = commands(page)
    assert args[-1] == "--no-tracking" and "--mask" not in args

    # Nothing from a file name or a report reaches the markup unescaped, and the
    # browser runs no script but the page's own; every link stays inside the folder.
    assert hostile not in page and "&lt;i&gt;&quot;a&amp;b&quot;#?" in page
    scripts = re.findall(r"<script\b[^>]*>(.*?)</script>", page, re.S)
    assert scripts == [qcpage.SCRIPT] and "alert(1)" in words
    assert re.search(r"script-src ([^;]*);", page).group(1) == qcpage._script_hash(qcpage.SCRIPT)
    assert "sub-0x/dwi/sub-0x_acq-%3Ci%3E%22a%26b%22%23%3F%25%0A_dwi_report.json" in urls(page)
    for url in urls(page):
        assert not re.match(r"^[a-z][a-z0-9+.-]*:|^/|^\.\.", url, re.I), url


@pytest.mark.parametrize("inputs, mask, expected", [
    # The table files the audit read and the mask the batch chose, as its report lists them.
    (["/d/r.bvec", "/d/r.bval", "/d/r_mask.nii.gz"], "absent", ["--bvec", "/d/r.bvec", "--bval", "/d/r.bval",
                                                               "--mask", "/d/r_mask.nii.gz"]),
    (["/d/r.bvec", "/d/r.bval", "/d/r_mask.nii.gz"], None, ["--bvec", "/d/r.bvec", "--bval", "/d/r.bval"]),
    (["/d/r.b"], "m/brain.nii.gz", ["--grad", "/d/r.b", "--mask", "/root/m/brain.nii.gz"]),
    ([], None, ["--bvec", "/root/sub-01/dwi/r.bvec", "--bval", "/root/sub-01/dwi/r.bval"]),
])
def test_repair_command_reads_the_runs_inputs(batch, inputs, mask, expected):
    flagged = copy.deepcopy(batch[2][2])
    flagged.update(dwi="sub-01/dwi/r.nii.gz", files={"report": "sub-01/dwi/r_report.json"}, name="sub-01_dwi")
    flagged["report"]["inputs"] = [{"path": p, "sha256": "0" * 64, "bytes": 1} for p in inputs]
    if mask == "absent":
        del flagged["mask"]
    else:
        flagged["mask"] = mask
    args = qcpage.repair_args(flagged, "/root", "/out", True)
    assert args == ["tarvix", "repair", "--dwi", "/root/sub-01/dwi/r.nii.gz", *expected,
                    "--out-bvec", "/out/sub-01/dwi/sub-01_desc-tarvix_dwi.bvec",
                    "--out-bval", "/out/sub-01/dwi/sub-01_desc-tarvix_dwi.bval",
                    "--provenance", "/out/sub-01/dwi/sub-01_desc-tarvix_provenance.json"]


# --- in a browser -----------------------------------------------------------------------


def _record(conn, _address, server):
    """A loopback proxy's handler: it answers nothing and keeps the first line the browser sent."""
    conn.settimeout(2)
    with contextlib.suppress(OSError):  # a timeout among them
        server.requests.append(conn.recv(4096).split(b"\r\n")[0].decode("latin-1"))


def hosts(requests):
    found = {m.group(1) for m in (re.match(r"\S+ (?:https?://)?([^/:\s]+)", r) for r in requests) if m}
    # The browser's own background services (clock, updates, account), not the page's.
    return {h for h in found if not re.search(r"(^|\.)(google\.com|googleapis\.com|gvt1\.com|gstatic\.com)$", h)}


def chromium(url, profile, proxy=None):
    flags = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
             f"--user-data-dir={profile}", "--enable-logging=stderr", "--v=0"]
    if proxy is not None:
        flags += [f"--proxy-server=http://127.0.0.1:{proxy}", "--proxy-bypass-list=<-loopback>"]
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # a sanitizer runtime hangs the browser
    dom = subprocess.run([CHROMIUM, *flags, "--dump-dom", url], capture_output=True, text=True, timeout=120, env=env)
    assert dom.returncode == 0, dom.stderr
    assert "Uncaught" not in dom.stderr, dom.stderr
    return dom.stdout


def shown(dom):
    """(name, visible) of each run in the order the page shows them."""
    tags = re.findall(r"<tbody\b[^>]*>", dom)
    return [(re.search(r'data-name="([^"]*)"', t).group(1), not re.search(r"\shidden\b", t)) for t in tags]


# A click on a heading, a box unticked, a choice in a list: what the reviewer does.
CLICK = "document.querySelector('th[data-sort={0}] button').click();"
PICK = "var e=document.getElementById('{0}');e.value='{1}';e.dispatchEvent(new Event('change'));"
UNTICK = "var e=document.querySelector('input[value={0}]');e.checked=false;e.dispatchEvent(new Event('change'));"
S1, S2, F = "sub-01_ses-1_dwi", "sub-01_ses-2_dwi", "sub-02_ses-1_dwi"


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
@pytest.mark.parametrize("actions, fragment, expected", [
    ("", "", [(F, True), (S1, True), (S2, True)]),  # worst first
    (CLICK.format("name"), "", [(S1, True), (S2, True), (F, True)]),
    (CLICK.format("name") * 2, "", [(F, True), (S2, True), (S1, True)]),  # the second click reverses
    (CLICK.format("ses") * 2, "", [(S2, True), (F, True), (S1, True)]),  # then status, then lead, then name
    (UNTICK.format("PASS"), "", [(F, True), (S1, False), (S2, False)]),
    (PICK.format("f-sub", "01"), "", [(F, False), (S1, True), (S2, True)]),
    (PICK.format("f-ses", "1") + UNTICK.format("FLAG"), "", [(F, False), (S1, True), (S2, False)]),
    ("var e=document.getElementById('f-text');e.value='SES-2';e.dispatchEvent(new Event('input'));", "",
     [(F, False), (S1, False), (S2, True)]),
    ("", "#sort=-sub&hide=FLAG&ses=1", [(F, False), (S1, True), (S2, False)]),  # a view sent as a link
])
def test_sorting_and_filtering_in_chromium(batch, tmp_path, actions, fragment, expected):
    root, out, runs = batch
    qcpage.write_page(str(tmp_path), str(root), runs, [], True, "9.9")
    for sub in ("sub-01", "sub-02"):
        shutil.copytree(out / sub, tmp_path / sub)
    page = tmp_path / qcpage.PAGE
    # The reviewer's actions run as a script the page's policy lets in.
    page.write_text(page.read_text().replace("</body>", f"<script>{actions}</script></body>")
                    .replace("script-src ", f"script-src {qcpage._script_hash(actions)} "))
    dom = chromium(page.as_uri() + fragment, tmp_path / "profile")
    assert shown(dom) == expected
    assert f"{sum(v for _, v in expected)} of 3 runs shown" in dom


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
def test_page_requests_nothing_outside_its_folder(batch, tmp_path):
    # A copy of the folder elsewhere still finds its pictures, and the browser asks no one for anything.
    copied = shutil.copytree(batch[1], tmp_path / "copied")
    # The check would see a page's request: a page naming an outside picture is caught.
    probe = tmp_path / "probe.html"
    probe.write_text('<img src="http://tarvix-probe.invalid/x.png">')
    proxy = socketserver.TCPServer(("127.0.0.1", 0), _record)
    proxy.requests = []
    threading.Thread(target=proxy.serve_forever, args=(0.2,), daemon=True).start()
    try:
        dom = chromium((copied / qcpage.PAGE).as_uri(), tmp_path / "profile", proxy=proxy.server_address[1])
        chromium(probe.as_uri(), tmp_path / "profile2", proxy=proxy.server_address[1])
    finally:
        proxy.shutdown()
        proxy.server_close()
    assert hosts(proxy.requests) == {"tarvix-probe.invalid"}
    pictures = [u for u in urls(dom) if u.endswith(".png")]
    assert pictures and all((copied / u).is_file() for u in pictures)
