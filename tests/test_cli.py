import json
import os
import re
import signal
import subprocess
import sys

import pytest

from conftest import run_python
from stamping import make_document, make_pdf, make_stamp, stamped_pages

COMMAND = os.path.join(os.path.dirname(sys.executable), "pdf-stamp")
OLD_STYLE = ["-x", "10", "-y", "20", "--width", "30", "--height", "40", "--pages", "1"]


def pdf_stamp(*args, cwd=None, module=None, popen=False):
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    while args and "=" in str(args[0]):  # NAME=value before the arguments sets the environment
        name, value = args[0].split("=", 1)
        env[name], args = value, args[1:]
    command = ([sys.executable, "-m", module] if module else [COMMAND]) + [str(a) for a in args]
    if popen:
        return subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, env=env)
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=120, env=env)


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "out").mkdir()
    make_pdf(tmp_path / "in.pdf", 4)
    make_document(tmp_path / "two.pdf", ((595, 842, 0), (842, 595, 90)), bookmarks=True)
    make_stamp(tmp_path / "stamp.png")
    os.mkfifo(tmp_path / "fifo")
    return tmp_path


ONE = ["in.pdf", "stamp.png"]
BOTH = ["in.pdf", "two.pdf", "stamp.png"]
LINE = r"{} -> {}: {} ページに押印, [0-9.]+ (B|KiB) -> [0-9.]+ KiB \(x[0-9.]+\)"
SUMMARY = "{1} 件中 {0} 件に押印しました"


@pytest.mark.parametrize("args, status, stdout, stderr, written", [
    # Today's usage; the last of a repeated option counts; a missing -o folder is made.
    ([*ONE, *OLD_STYLE, "--every", "2", "-o", "new/sub"], 0,
     [LINE.format("in.pdf", "new/sub/in_stamped.pdf", "3"), SUMMARY.format(1, 1)], [],
     {"new/sub/in_stamped.pdf": {1, 2, 4}}),
    (["PDF_STAMP_LANG=en", *ONE, *OLD_STYLE, "-o", "out"], 0,
     [r"in.pdf -> out/in_stamped.pdf: 1 page stamped, .*", "1 of 1 file stamped"], [],
     {"out/in_stamped.pdf": {1}}),
    # Several files with an anchor; a page past the end fails only its file.
    ([*BOTH, "--anchor", "top", "--pages", "3"], 1,
     [LINE.format("in.pdf", "in_stamped.pdf", "1"), SUMMARY.format(1, 2) + "、1 件失敗"],
     ["two.pdf: 【ERROR】ページ 3 はありません: two.pdf は 2 ページです"], {"in_stamped.pdf": {3}}),
    ([*BOTH, "--anchor", "top", "--pages", "even", "--json"], 0, "json", [],
     {"in_stamped.pdf": {2, 4}, "two_stamped.pdf": {2}}),
    # Malformed command lines and unusable inputs: stopped before any PDF is opened.
    ([*BOTH, "--anchor", "top", "--pages", "1,x"], 2, [], "「x」", {}),
    ([*ONE, "--pages", "1"], 2, [], "-x と -y、または --anchor を指定してください", {}),
    ([*ONE, "-x", "1", "-y", "1", "--anchor", "top", "--pages", "1"], 2, [], "同時に指定できません", {}),
    ([*ONE, "-x", "1", "-y", "1", "--margin", "5", "--pages", "1"], 2, [], "--margin は --anchor と", {}),
    ([*ONE, "--anchor", "top", "--pages", ""], 2, [], "--pages か --every で指定", {}),
    (["in.pdf", "missing.png", "--anchor", "top", "--pages", "1"], 2, [], "画像を読み込めません: missing.png", {}),
    (["in.pdf", "fifo", "--anchor", "top", "--pages", "1"], 2, [], "画像が通常のファイルではありません: fifo", {}),
    (["fifo", "stamp.png", "--anchor", "top", "--pages", "1"], 2, [], "PDF が通常のファイルではありません", {}),
    (["out", "stamp.png", "--anchor", "top", "--pages", "1"], 2, [], "PDF が見つかりません: out", {}),
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
        assert stderr in result.stderr and result.stderr.startswith("使い方: pdf-stamp")
    else:
        assert result.stderr.splitlines() == stderr
    assert set(os.listdir(folder)) == before | {p.split("/")[0] for p in written if p.count("/") != 1}
    assert os.listdir(folder / "out") == [p[4:] for p in written if p.startswith("out/")]
    assert {p: set(stamped_pages(folder / p)) for p in written} == written


def test_rerun_skips_earlier_results_whatever_their_suffix(folder):
    make_pdf(folder / "un_stamped.pdf", 1)  # a source whose name only looks like a result
    first = pdf_stamp(".", "stamp.png", "--anchor", "top", "--pages", "1", cwd=folder)
    assert (first.stdout.splitlines()[-1], first.stderr) == (SUMMARY.format(3, 3), "")
    again = pdf_stamp(".", "stamp.png", "--anchor", "top", "--pages", "1", "--suffix=-seal", "--json",
                      "--jobs", "2", cwd=folder)
    rows = [json.loads(line) for line in again.stdout.splitlines()]
    results = ["./in_stamped.pdf", "./two_stamped.pdf", "./un_stamped_stamped.pdf"]
    assert (again.returncode, rows[0]) == (0, {"skipped": results})
    assert sorted(r["result"] for r in rows[1:]) == ["in-seal.pdf", "two-seal.pdf", "un_stamped-seal.pdf"]
    verbose = pdf_stamp(".", "stamp.png", "--anchor", "top", "--pages", "1", "-v", "--suffix", "+",
                        "-o", "out", cwd=folder)
    lines = verbose.stdout.splitlines()
    assert lines[:6] == [f"以前の結果のため飛ばしました: {r}" for r in sorted(
        results + ["./in-seal.pdf", "./two-seal.pdf", "./un_stamped-seal.pdf"])]
    assert lines[-1] == SUMMARY.format(3, 3) + "、以前の結果 6 件を飛ばしました"
    assert verbose.stderr.startswith("DEBUG: Inserting image at Rect(") and "DEBUG" not in verbose.stdout


@pytest.mark.parametrize("sig, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_stops_the_run_and_reports_what_was_named(tmp_path, sig, status):
    for n in range(8):
        make_pdf(tmp_path / f"doc{n}.pdf", 40)
    make_stamp(tmp_path / "stamp.png")
    with pdf_stamp(".", "stamp.png", "--anchor", "top", "--pages", "all", "--jobs", "2", "--json",
                   "-o", "out", cwd=tmp_path, popen=True) as child:
        first = child.stdout.readline()
        child.send_signal(sig)
        rest, err = child.stdout.read(), child.stderr.read()  # what readline() buffered too
    rows = [json.loads(line) for line in [first, *rest.splitlines()]]
    named = sorted(os.path.join("out", n) for n in os.listdir(tmp_path / "out"))
    assert child.returncode == status, err
    assert sorted(r["result"] for r in rows if r["result"]) == named  # no temporary folder either
    assert all(r["ok"] or r["pages_stamped"] == [] for r in rows)
    assert len(named) <= 3 and f"{sig.name} で中断しました" in err  # the two workers took nothing new


def test_demo_stamps_a_generated_pdf(tmp_path):
    # no top-level `state` is installed, and a state.py in the working folder is never taken
    probe = "import importlib.util; print(importlib.util.find_spec('state'))"
    assert run_python(probe, cwd=tmp_path).stdout == "None\n"
    (tmp_path / "state.py").write_text("raise ImportError('not this one')\n")
    result, written = pdf_stamp(tmp_path, cwd=tmp_path, module="pdf_stamp.demo"), tmp_path / "sample_stamped.pdf"
    assert (result.returncode, result.stdout.splitlines()[-1]) == (0, f"結果: {written}"), result.stderr
    assert set(stamped_pages(written)) == {1, 3, 4, 6}


@pytest.mark.parametrize("before", ["", "import flet; "], ids=["no flet", "flet imported"])
def test_a_headless_host_leaves_flet_alone(before):  # the stand-in reaches the module only
    names = run_python(before + "import sys; from pdf_stamp import host; m = host.load_module("
                       "headless=True); print(m.ft.__name__, sys.modules.get('flet', m).__name__)")
    assert names.stdout.split() == (["flet"] * 2 if before else ["pdf_stamp.headless_toolkit", "pdf_module"])
