"""The pdf-stamp command and the demo: exit statuses, what they print, and
the host's `state` module they provide."""

import os
import subprocess
import sys

import fitz
import pytest

from stamping import make_pdf, make_stamp, stamped_pages

COMMAND = os.path.join(os.path.dirname(sys.executable), "pdf-stamp")
GEOMETRY = ["-x", "10", "-y", "20", "--width", "30", "--height", "40"]


def pdf_stamp(*args, cwd=None, module=False):
    command = [sys.executable, "-m", "pdf_stamp.cli"] if module else [COMMAND]
    return subprocess.run(command + [str(a) for a in args], cwd=cwd, capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, PYTHONIOENCODING="utf-8"))


@pytest.fixture
def files(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    return make_pdf(tmp_path / "in.pdf", 4), make_stamp(tmp_path / "stamp.png"), out


def test_command_is_installed():
    assert os.access(COMMAND, os.X_OK)


def test_stamps_and_reports_the_file(files):
    source, stamp, out = files
    result = pdf_stamp(source, stamp, *GEOMETRY, "--pages", "1", "--every", "2", "-o", out)
    written = out / "output.pdf"
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-2:] == [f"[INFO] PDF出力完了: {written}",
                                               f"PDF出力完了: {written}"]
    assert result.stderr == ""
    assert {n for n, rects in stamped_pages(written).items() if rects} == {1, 2, 4}


@pytest.mark.parametrize("change, message", [
    ({"pdf": "missing.pdf"}, "【ERROR】PDFの読み込みに失敗しました: no such file: 'missing.pdf'"),
    ({"pdf": ""}, "【ERROR】PDFと画像の両方を指定してください"),
    ({"--width": "abc"}, "【ERROR】数値が正しく入力されていません"),
    ({"--pages": "\u00b2"}, "【ERROR】ページ指定が不正です"),
    ({"--every": "2.5"}, "【ERROR】ページ毎の数字が不正です"),
    ({"--pages": "9"}, "【ERROR】対象ページが指定されていません"),
    ({"--pages": ""}, "【ERROR】対象ページが指定されていません"),
    ({"-o": "missing-folder"},
     "【ERROR】PDFの保存に失敗: [Errno 2] No such file or directory: 'missing-folder/output.pdf'"),
])
def test_errors_exit_non_zero_with_the_module_message(files, tmp_path, change, message):
    source, stamp, out = files
    options = {"pdf": source, "-x": "10", "-y": "20", "--width": "30", "--height": "40",
               "--pages": "1", "-o": str(out)}
    options.update(change)
    args = [options.pop("pdf"), stamp] + [v for pair in options.items() for v in pair]
    result = pdf_stamp(*args, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.splitlines() == [message]
    assert os.listdir(out) == []


def test_help_names_every_option():
    result = pdf_stamp("--help")
    assert result.returncode == 0
    for option in ("-x", "-y", "--width", "--height", "--pages", "--every", "--output-dir"):
        assert option in result.stdout


def test_missing_option_is_a_usage_error(files):
    source, stamp, _ = files
    result = pdf_stamp(source, stamp, "-x", "10")
    assert result.returncode == 2
    assert "required" in result.stderr and result.stdout == ""


def test_state_is_the_commands_own(files, tmp_path):
    # A state.py in the working folder is never imported in its place...
    (tmp_path / "state.py").write_text("raise ImportError('not this one')\n")
    source, stamp, out = files
    result = pdf_stamp(source, stamp, *GEOMETRY, "--pages", "1", "-o", out, cwd=tmp_path,
                       module=True)
    assert result.returncode == 0, result.stderr
    # ...and no top-level `state` module is installed with the package.
    probe = subprocess.run([sys.executable, "-c",
                            "import importlib.util; print(importlib.util.find_spec('state'))"],
                           cwd=out, capture_output=True, text=True)
    assert probe.stdout.strip() == "None"


def test_demo_stamps_a_generated_pdf(tmp_path):
    result = subprocess.run([sys.executable, "-m", "pdf_stamp.demo", str(tmp_path)],
                            capture_output=True, text=True, timeout=120,
                            env=dict(os.environ, PYTHONIOENCODING="utf-8"))
    assert result.returncode == 0, result.stderr
    written = tmp_path / "output.pdf"
    assert result.stdout.splitlines()[-1] == f"Result: {written}"
    with fitz.open(written) as doc:
        assert [p.rotation for p in doc] == [0, 0, 0, 90, 0, 180]
    assert {n for n, rects in stamped_pages(written).items() if rects} == {1, 3, 4, 6}
