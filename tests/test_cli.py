import json
import os
import re
import subprocess
import sys

import fitz
import pytest

from conftest import run_python
from stamping import make_document, make_pdf, make_stamp, stamped_pages

COMMAND = os.path.join(os.path.dirname(sys.executable), "pdf-stamp")
OLD_STYLE = ["-x", "10", "-y", "20", "--width", "30", "--height", "40", "--pages", "1"]


def pdf_stamp(*args, cwd=None, module=None):
    command = [sys.executable, "-m", module] if module else [COMMAND]
    return subprocess.run(command + [str(a) for a in args], cwd=cwd, capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, PYTHONIOENCODING="utf-8"))


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "out").mkdir()
    make_pdf(tmp_path / "in.pdf", 4)
    make_document(tmp_path / "two.pdf", ((595, 842, 0), (842, 595, 90)), bookmarks=True)
    make_stamp(tmp_path / "stamp.png")
    return tmp_path


ONE = ["in.pdf", "stamp.png"]
BOTH = ["in.pdf", "two.pdf", "stamp.png"]
LINE = r"{} -> {}: {} stamped, [0-9.]+ (B|KiB) -> [0-9.]+ KiB \(x[0-9.]+\)"


@pytest.mark.parametrize("args, status, stdout, stderr, written", [
    # Today's usage; the last of a repeated option counts.
    ([*ONE, *OLD_STYLE, "--every", "2", "-o", "out"], 0,
     [LINE.format("in.pdf", "out/in_stamped.pdf", "3 pages"), "1 of 1 files stamped"], [],
     {"out/in_stamped.pdf": {1, 2, 4}}),
    ([*ONE, *OLD_STYLE, "--pages", "", "-o", "out"], 1, ["0 of 1 files stamped, 1 failed"],
     ["in.pdf: 【ERROR】対象ページが指定されていません"], {}),
    # Several files and anchors; a page past the end fails only its file.
    (["two.pdf", "stamp.png", "--anchor", "bottom-right", "--pages", "2-", "--width", "20"], 0,
     [LINE.format("two.pdf", "two_stamped.pdf", "1 page"), "1 of 1 files stamped"], [],
     {"two_stamped.pdf": {2}}),
    ([*BOTH, "--anchor", "top", "--pages", "3"], 1,
     [LINE.format("in.pdf", "in_stamped.pdf", "1 page"), "1 of 2 files stamped, 1 failed"],
     ["two.pdf: 【ERROR】ページ 3 はありません: two.pdf は 2 ページです"], {"in_stamped.pdf": {3}}),
    ([*BOTH, "--anchor", "top", "--pages", "even", "--json"], 0, "json", [],
     {"in_stamped.pdf": {2, 4}, "two_stamped.pdf": {2}}),
    # Malformed command lines: nothing is written.
    ([*BOTH, "--anchor", "top", "--pages", "1,x"], 2, [], "「x」", {}),
    ([*ONE, "--pages", "1"], 2, [], "give -x and -y, or --anchor", {}),
    ([*ONE, "-x", "1", "-y", "1", "--anchor", "top"], 2, [], "exclude each other", {}),
    ([*ONE, "--anchor", "top", "--opacity", "1.5"], 2, [], "--opacity: out of range", {}),
    ([*ONE, "--anchor", "top", "--every", "0"], 2, [], "--every: out of range", {}),
    ([*ONE, "--anchor", "top", "--width", "abc"], 2, [], "--width: not a number", {}),
    ([*ONE, "--anchor", "top", "--jobs", "0"], 2, [], "--jobs: out of range", {}),
    ([*ONE, "--anchor", "top", "-o", "missing"], 2, [], "output folder not found: missing", {}),
    ([*ONE, "--anchor", "top", "--suffix", "a/b"], 2, [], "path separator", {}),
    (["out", "stamp.png", "--anchor", "top"], 2, [], "no PDF found in out", {}),
])
def test_exit_status_and_output(folder, args, status, stdout, stderr, written):
    before = set(os.listdir(folder))
    result = pdf_stamp(*args, cwd=folder)
    assert result.returncode == status, result.stderr
    lines = result.stdout.splitlines()
    if stdout == "json":
        objects = sorted((json.loads(line) for line in lines), key=lambda o: o["source"])
        assert [(o["source"], o["result"], o["ok"], o["error"]) for o in objects] == [
            ("in.pdf", "in_stamped.pdf", True, None), ("two.pdf", "two_stamped.pdf", True, None)]
        assert objects[1]["pages_stamped"] == [2] and objects[1]["growth"] > 1
    else:
        assert len(lines) == len(stdout) and all(map(re.fullmatch, stdout, lines)), lines
    if isinstance(stderr, str):
        assert stderr in result.stderr and result.stderr.startswith("usage: pdf-stamp")
    else:
        assert result.stderr.splitlines() == stderr
    assert set(os.listdir(folder)) == before | {p for p in written if "/" not in p}
    assert os.listdir(folder / "out") == [p[4:] for p in written if p.startswith("out/")]
    assert {p: set(stamped_pages(folder / p)) for p in written} == written


def test_verbose_sends_the_module_lines_to_stderr(folder):
    quiet = pdf_stamp("in.pdf", "stamp.png", *OLD_STYLE, cwd=folder)
    loud = pdf_stamp("in.pdf", "stamp.png", *OLD_STYLE, "--verbose", cwd=folder)
    assert (quiet.returncode, quiet.stderr, loud.returncode) == (0, "", 0)
    assert "DEBUG" not in quiet.stdout + loud.stdout
    assert loud.stderr.splitlines()[0].startswith("DEBUG: Inserting image at Rect(28.34")
    assert loud.stderr.splitlines()[-1].startswith(f"[INFO] PDF出力完了: {folder}/.pdf-stamp-")


def test_demo_stamps_a_generated_pdf(tmp_path):
    # no top-level `state` is installed, and a state.py in the working folder is never taken
    probe = "import importlib.util; print(importlib.util.find_spec('state'))"
    assert run_python(probe, cwd=tmp_path).stdout == "None\n"
    (tmp_path / "state.py").write_text("raise ImportError('not this one')\n")
    result = pdf_stamp(tmp_path, cwd=tmp_path, module="pdf_stamp.demo")
    assert result.returncode == 0, result.stderr
    written = tmp_path / "sample_stamped.pdf"
    assert result.stdout.splitlines()[-1] == f"Result: {written}"
    with fitz.open(written) as doc:
        assert [p.rotation for p in doc] == [0, 0, 0, 90, 0, 180]
    assert set(stamped_pages(written)) == {1, 3, 4, 6}


@pytest.mark.parametrize("before", ["", "import flet; "], ids=["no flet", "flet imported"])
def test_a_headless_host_leaves_flet_alone(before):  # the stand-in reaches the module only
    names = run_python(before + "import sys; from pdf_stamp import host; m = host.load_module("
                       "headless=True); print(m.ft.__name__, sys.modules.get('flet', m).__name__)")
    assert names.stdout.split() == (["flet"] * 2 if before else ["pdf_stamp.headless_toolkit", "pdf_module"])
