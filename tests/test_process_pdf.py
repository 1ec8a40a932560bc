"""process_pdf: the pages stamped, every failure's dialog or traceback line, no
leaks, and an output name that never replaces anything (links, races)."""

import contextlib
import os
import threading
import traceback
import types
from concurrent.futures import ThreadPoolExecutor

import fitz
import pytest

import pdf_module
from conftest import Sink, allocated_blocks_stay_flat
from stamping import make_pdf, make_stamp, run, stamped_pages

RECT = "Rect(28.34645669291339, 56.69291338582678, 113.38582677165356, 170.07874015748033)"
STAMP = (28.346, 56.693, 113.386, 170.079)  # x 10 mm, y 20 mm, 30 x 40 mm in points
SAVED = "PDF出力完了: "
SAVE_FAILED = "【ERROR】PDFの保存に失敗: "
INSERT_FAILED = "【ERROR】ページ 1 への画像挿入に失敗: "


def raising(kind, *args):
    def fail(*ignored, **also_ignored):
        raise kind(*args)
    return fail


def failing_save(kind, *args):
    """A Document.save that writes part of the file, then raises."""
    def save(doc, path, **options):
        with open(path, "wb") as partial:
            partial.write(b"%PDF-1.7 partial")
        raise kind(*args)
    return save


@pytest.fixture
def files(tmp_path, monkeypatch):
    (tmp_path / "out").mkdir()
    monkeypatch.chdir(tmp_path / "out")  # each test runs in the empty output folder
    return dict(pdf=make_pdf(tmp_path / "five.pdf", 5), image=make_stamp(tmp_path / "stamp.png"),
                out=os.getcwd())


# A five-page PDF's stamped pages, or the one dialog with nothing written, or the
# error reaching the host with its line. Other names rebind functions of the module.
OUTCOMES = {
    "list": (dict(pages=" 2 , 03,2,5,0,6,abc,2-4,+2,-1,1.0,,"), {2, 3, 5}),
    "full-width": (dict(pages="\uff12"), {2}),
    "every 5": (dict(interval="5"), {5}),
    "numbers": (dict(x=10, y=" 20 ", width=30.0, height="4e1", interval=2.9), {2, 4}),
    "union": (dict(pages="1", interval=" +2 "), {1, 2, 4}),
    "working folder": (dict(out="", pages="1"), {1}),
    "unchecked name": (dict(pages="1", get_unique_filename=os.path.join), {1}),
    "none valid": (dict(pages="0,6,abc,2-4,"), "【ERROR】対象ページが指定されていません"),
    "every 6": (dict(interval="6"), "【ERROR】対象ページが指定されていません"),
    "every 0": (dict(interval="0"), "【ERROR】対象ページが指定されていません"),
    "every -3": (dict(interval="-3"), "【ERROR】対象ページが指定されていません"),
    "30 digits": (dict(pages="9" * 30, interval="9" * 30), "【ERROR】対象ページが指定されていません"),
    "superscript": (dict(pages="1,2,\u00b9", interval="1"), "【ERROR】ページ指定が不正です"),
    "list not text": (dict(pages=5), "【ERROR】ページ指定が不正です"),
    "2.5": (dict(interval="2.5"), "【ERROR】ページ毎の数字が不正です"),
    "5000 digits": (dict(pages="1", interval="1" * 5000), "【ERROR】ページ毎の数字が不正です"),
    "no pdf": (dict(pdf=""), "【ERROR】PDFと画像の両方を指定してください"),
    "no image": (dict(image=None), "【ERROR】PDFと画像の両方を指定してください"),
    "missing": (dict(pdf="no.pdf"), "【ERROR】PDFの読み込みに失敗しました: no such file: 'no.pdf'"),
    "x empty": (dict(x=""), "【ERROR】数値が正しく入力されていません"),
    "y abc": (dict(y="abc"), "【ERROR】数値が正しく入力されていません"),
    "comma": (dict(width="1,5"), "【ERROR】数値が正しく入力されていません"),
    "blank": (dict(height=" "), "【ERROR】数値が正しく入力されていません"),
    "no image file": (dict(image="no.png", pages="1"), INSERT_FAILED + "No such file: 'no.png'"),
    "save fails": (dict(pages="1", save=failing_save(OSError, "full")), SAVE_FAILED + "full"),
    "no folder": (dict(out="no", pages="1"),
                  SAVE_FAILED + "[Errno 2] No such file or directory: 'no/output.pdf'"),
    "x None": (dict(x=None), (TypeError, 394)),
    "y list": (dict(y=[]), (TypeError, 395)),
    "height object": (dict(height=object()), (TypeError, 397)),
    "rebound raises": (dict(mm_to_pt=raising(KeyError, "k")), (KeyError, 394)),
    "interval list": (dict(pages="1", interval=[1]), (TypeError, 415)),
    "folder number": (dict(pages="1", out=5), (TypeError, 440)),
    "dialog fails": (dict(pdf="", show_dialog=raising(RuntimeError)), (RuntimeError, 382)),
    "then after saving": (dict(pages="1", show_dialog=raising(RuntimeError)), (RuntimeError, 451)),
    "stopped": (dict(pages="1", save=failing_save(KeyboardInterrupt)), (KeyboardInterrupt, 444)),
}


def apply(change, monkeypatch):
    """The arguments in `change`, after rebinding the functions it names."""
    change = dict(change)
    for name in [n for n in change if hasattr(pdf_module, n) or n == "save"]:
        monkeypatch.setattr(fitz.Document if name == "save" else pdf_module, name, change.pop(name))
    return change


@pytest.mark.parametrize("change, expected", OUTCOMES.values(), ids=list(OUTCOMES))
def test_outcome_and_no_leaks(files, page, monkeypatch, capsys, change, expected):
    args = dict(files, **apply(change, monkeypatch))
    error, line = expected if isinstance(expected, tuple) else (None, None)
    with pytest.raises(error) if error else contextlib.nullcontext() as excinfo:
        run(page, **args)
    lines = sorted(capsys.readouterr().out.splitlines())
    written = os.path.abspath("output.pdf")
    if error:
        entries = [(e.name, e.lineno) for e in traceback.extract_tb(excinfo.tb)]
        assert ("pdf_module.process_pdf", line) in entries
        assert page.messages() == []
        saved = {"output.pdf": {1: [STAMP]}} if line == 451 else {}  # a complete file is kept
        assert {name: stamped_pages(name) for name in os.listdir()} == saved
    elif isinstance(expected, str):
        assert page.messages() == [expected]
        assert os.listdir() == []
        assert lines == [] or expected.startswith((INSERT_FAILED, SAVE_FAILED))
    else:
        assert page.messages() == [SAVED + written]
        assert lines == sorted([f"DEBUG: Inserting image at {RECT} on page {n}" for n in expected]
                               + [f"[INFO] {SAVED}{written}"])
        assert stamped_pages(written) == {n: [STAMP] for n in expected}

    def once():
        with contextlib.suppress(error or Exception):
            run(types.SimpleNamespace(open=lambda dialog: None, update=lambda: None), **args)
        for name in set(os.listdir()) - {"output.pdf"}:
            os.unlink(name)

    open("output.pdf", "ab").close()  # the first name is taken: a numbered one is reserved
    with contextlib.redirect_stdout(Sink()):
        assert allocated_blocks_stay_flat(once, warmup=20, calls=150)


@pytest.mark.parametrize("taken_by", ["source", "dangling link", "link to a file",
                                      "file made after the check"])
def test_a_taken_name_is_left_alone(tmp_path, files, page, monkeypatch, taken_by):
    theirs, taken = tmp_path / "theirs.pdf", tmp_path / "out" / "output.pdf"
    theirs.write_bytes(b"theirs")
    if taken_by == "source":
        files["pdf"] = make_pdf(taken, 5)
    elif taken_by == "file made after the check":
        taken.write_bytes(b"theirs")
        monkeypatch.setattr(pdf_module, "get_unique_filename", os.path.join)
    else:
        os.symlink(theirs if taken_by == "link to a file" else tmp_path / "new.pdf", taken)
    before = os.readlink(taken) if "link" in taken_by else taken.read_bytes()
    for _ in range(2):
        run(page, **files, pages="1")
    names = ["output.pdf_1.pdf", "output.pdf_2.pdf"]
    assert page.messages() == [SAVED + os.path.abspath(n) for n in names]
    assert sorted(os.listdir()) == ["output.pdf"] + names
    assert (os.readlink(taken) if "link" in taken_by else taken.read_bytes()) == before
    assert theirs.read_bytes() == b"theirs"
    assert not (tmp_path / "new.pdf").exists()
    assert stamped_pages(names[1]) == {1: [STAMP]}


def test_two_runs_into_one_folder_at_once(tmp_path, files, page, monkeypatch):
    choose, both_chose = pdf_module.get_unique_filename, threading.Barrier(2)

    def choose_together(directory, base_name):
        name = choose(directory, base_name)
        both_chose.wait(timeout=60)  # each run picks output.pdf before either takes it
        return name

    monkeypatch.setattr(pdf_module, "get_unique_filename", choose_together)
    files["pdf"] = make_pdf(tmp_path / "long.pdf", 200)
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(lambda _: run(page, **files, interval="1"), range(2)))
    names = ["output.pdf", "output.pdf_1.pdf"]
    assert sorted(page.messages()) == [SAVED + os.path.abspath(n) for n in names]
    assert sorted(os.listdir()) == names
    for name in names:
        assert stamped_pages(name) == {n: [STAMP] for n in range(1, 201)}
