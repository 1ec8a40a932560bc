"""The pdf-stamp command and the demo: exit statuses, output, their own `state`."""

import os
import subprocess
import sys

import fitz
import pytest

from conftest import run_python
from stamping import make_pdf, make_stamp, stamped_pages

COMMAND = os.path.join(os.path.dirname(sys.executable), "pdf-stamp")


def pdf_stamp(*args, cwd=None, module=None):
    command = [sys.executable, "-m", module] if module else [COMMAND]
    return subprocess.run(command + [str(a) for a in args], cwd=cwd, capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, PYTHONIOENCODING="utf-8"))


@pytest.mark.parametrize("change, message", [
    (["--every", "2"], None),  # pages 1, 2 and 4 are stamped
    (["--pages", ""], "【ERROR】対象ページが指定されていません"),
    (["-o", "no"], "【ERROR】PDFの保存に失敗: [Errno 2] No such file or directory: 'no/output.pdf'"),
])
def test_exit_status_and_output(tmp_path, change, message):
    (tmp_path / "out").mkdir()
    args = [make_pdf(tmp_path / "in.pdf", 4), make_stamp(tmp_path / "stamp.png"), "-x", "10",
            "-y", "20", "--width", "30", "--height", "40", "--pages", "1", "-o", "out"]
    result = pdf_stamp(*args, *change, cwd=tmp_path)  # the last of a repeated option counts
    if message:
        assert (result.returncode, result.stderr.splitlines()) == (1, [message])
        assert os.listdir(tmp_path / "out") == []
        return
    written = os.path.join("out", "output.pdf")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.splitlines()[-2:] == [f"[INFO] PDF出力完了: {written}",
                                               f"PDF出力完了: {written}"]
    assert set(stamped_pages(tmp_path / written)) == {1, 2, 4}


def test_help_and_usage_error():
    result = pdf_stamp("--help")
    options = ("-x", "-y", "--width", "--height", "--pages", "--every", "--output-dir")
    assert (result.returncode, [o for o in options if o not in result.stdout]) == (0, [])
    result = pdf_stamp("in.pdf", "stamp.png", "-x", "10")
    assert (result.returncode, result.stdout) == (2, "")
    assert "required" in result.stderr


def test_demo_stamps_a_generated_pdf(tmp_path):
    # The package installs no top-level `state` module, and a state.py in the
    # working folder is never imported for the host's own.
    probe = "import importlib.util; print(importlib.util.find_spec('state'))"
    assert run_python(probe, cwd=tmp_path).stdout == "None\n"
    (tmp_path / "state.py").write_text("raise ImportError('not this one')\n")
    result = pdf_stamp(tmp_path, cwd=tmp_path, module="pdf_stamp.demo")
    assert result.returncode == 0, result.stderr
    written = tmp_path / "output.pdf"
    assert result.stdout.splitlines()[-1] == f"Result: {written}"
    with fitz.open(written) as doc:
        assert [p.rotation for p in doc] == [0, 0, 0, 90, 0, 180]
    assert set(stamped_pages(written)) == {1, 3, 4, 6}
