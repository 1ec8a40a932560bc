import contextlib
import os
import pathlib
import signal
import subprocess
import sys
import traceback
import types

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


def failing_save(kind, *args):  # writes part of the file, then raises
    def save(doc, path, **options):
        with open(path, "wb") as partial:
            partial.write(b"%PDF-1.7 partial")
        raise kind(*args)
    return save


@pytest.fixture
def files(tmp_path, monkeypatch):
    (tmp_path / "out").mkdir()
    monkeypatch.chdir(tmp_path / "out")
    return dict(pdf=make_pdf(tmp_path / "five.pdf", 5), image=make_stamp(tmp_path / "stamp.png"),
                out=os.getcwd())


# pages stamped, or the dialog (nothing written), or the error and its line
OUTCOMES = {
    "list": (dict(pages=" 2 , 03,2,5,0,6,abc,2-4,+2,-1,1.0,,"), {2, 3, 5}),
    "full-width": (dict(pages="\uff12"), {2}),
    "every 5": (dict(interval="5"), {5}),
    "numbers": (dict(x=10, y=" 20 ", width=30.0, height="4e1", interval=2.9), {2, 4}),
    "union": (dict(pages="1", interval=" +2 "), {1, 2, 4}),
    "working folder": (dict(out="", pages="1"), {1}),
    "unchecked name": (dict(pages="1", get_unique_filename=os.path.join), {1}),   # see the replay
    "none valid": (dict(pages="0,6,abc,2-4,"), "【ERROR】対象ページが指定されていません"),
    "every 0": (dict(interval="0"), "【ERROR】対象ページが指定されていません"),
    "30 digits": (dict(pages="9" * 30, interval="9" * 30), "【ERROR】対象ページが指定されていません"),
    "superscript": (dict(pages="1,2,\u00b9", interval="1"), "【ERROR】ページ指定が不正です"),
    "list not text": (dict(pages=5), "【ERROR】ページ指定が不正です"),
    "2.5": (dict(interval="2.5"), "【ERROR】ページ毎の数字が不正です"),
    "5000 digits": (dict(pages="1", interval="1" * 5000), "【ERROR】ページ毎の数字が不正です"),
    "no pdf": (dict(pdf=""), "【ERROR】PDFと画像の両方を指定してください"),
    "no image": (dict(image=None), "【ERROR】PDFと画像の両方を指定してください"),
    "missing": (dict(pdf="no.pdf"), "【ERROR】PDFの読み込みに失敗しました: no such file: 'no.pdf'"),
    "x empty": (dict(x=""), "【ERROR】数値が正しく入力されていません"),
    "no image file": (dict(image="no.png", pages="1"), INSERT_FAILED + "No such file: 'no.png'"),
    "save fails": (dict(pages="1", save=failing_save(OSError, "full")), SAVE_FAILED + "full"),
    "no folder": (dict(out="no", pages="1"), SAVE_FAILED + "[Errno 2] No such file or directory: 'no/output.pdf'"),
    "rebound raises": (dict(mm_to_pt=raising(KeyError, "k")), (KeyError, 394)),
    "dialog fails": (dict(pdf="", show_dialog=raising(RuntimeError)), (RuntimeError, 382)),
    "then after saving": (dict(pages="1", show_dialog=raising(RuntimeError)), (RuntimeError, 451)),
    "stopped": (dict(pages="1", save=failing_save(KeyboardInterrupt)), (KeyboardInterrupt, 444)),
}


def apply(change, monkeypatch):  # rebinds the functions named, returns the arguments
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
        assert (page.messages(), os.listdir()) == ([expected], [])
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

    theirs = pathlib.Path("output.pdf")   # the first name is someone else's, from now on
    theirs.write_bytes(b"theirs")
    with contextlib.redirect_stdout(Sink()):
        assert allocated_blocks_stay_flat(once, warmup=20, calls=150)
    assert theirs.read_bytes() == b"theirs"   # even a name taken after the check is left alone


# REFUSE_LINKS: the kernel refuses every hard link (EPERM), as some file systems do
REFUSE_LINKS = """
import ctypes, errno, os, platform, struct, sys
calls = {"x86_64": (86, 265), "aarch64": (37,)}.get(platform.machine())  # link, linkat
if calls is None:
    sys.exit(77)
program = [(0x20, 0, 0, 0)]  # load the system call's number
program += [(0x15, len(calls) - i, 0, nr) for i, nr in enumerate(calls)]  # equal: refuse
program += [(0x06, 0, 0, 0x7FFF0000), (0x06, 0, 0, 0x00050000 | errno.EPERM)]  # allow, refuse
code = b"".join(struct.pack("HBBI", *op) for op in program)
class Program(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_char_p)]
libc = ctypes.CDLL(None, use_errno=True)
if libc.prctl(38, 1, 0, 0, 0) or libc.prctl(22, 2, ctypes.byref(Program(len(program), code))):
    sys.exit(77)
open("probe", "w").close()
try:
    os.link("probe", "probe-link")
    sys.exit(77)
except PermissionError:
    os.unlink("probe")
"""
RUN = """
import sys, types
sys.modules["state"] = types.ModuleType("state")
import fitz, pdf_module
def save(doc, path, **options):  # writes part of the file, then waits to be killed
    with open(path, "wb") as partial:
        partial.write(b"%PDF-1.7 " + b"0" * 100000)
    print("saving", flush=True)
    sys.stdin.read()
fitz.Document.save = save
page = types.SimpleNamespace(open=print, close=print, update=print)
pdf_module.process_pdf(*sys.argv[1:], "10", "20", "30", "40", "1", "", page)
"""


@pytest.mark.parametrize("links", ["", REFUSE_LINKS], ids=["links work", "links refused"])
def test_a_kill_mid_save_leaves_no_output_file(files, links):
    with subprocess.Popen([sys.executable, "-c", links + RUN, files["pdf"], files["image"], files["out"]],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=dict(os.environ, PYTHONIOENCODING="utf-8")) as child:
        for line in child.stdout:
            if line == "saving\n":
                child.kill()
                break
        _, err = child.communicate(timeout=60)
    if child.returncode == 77:
        pytest.skip("this kernel or machine cannot make link() fail for one process")
    assert child.returncode == -signal.SIGKILL, err
    [hidden] = os.listdir()  # what the kill leaves: the private folder and the partial save
    assert hidden.startswith(".pdf_module-")
    assert [os.path.getsize(os.path.join(hidden, n)) for n in os.listdir(hidden)] == [100009]


def test_the_saved_file_is_compressed_and_takes_the_name_itself(files, page, monkeypatch):
    saves, save = [], fitz.Document.save

    def save_and_date(doc, path, **options):  # a file dated 2000 was not copied afterwards
        saves.append(options)
        save(doc, path, **options)
        os.utime(path, (946684800, 946684800))

    monkeypatch.setattr(fitz.Document, "save", save_and_date)
    run(page, **files, pages="1,3")
    assert (saves, os.stat("output.pdf").st_mtime) == ([dict(garbage=4, clean=True, deflate=True)], 946684800)


DOT = (fitz.Rect(400, 700, 500, 800), [(400.0, 700.0, 500.0, 800.0)])


def make_text_pdf(path, layout, pages=5):
    dot = fitz.Pixmap(fitz.csRGB, fitz.IRect(0, 0, 4, 4), False)
    dot.set_rect(dot.irect, (0, 0, 200))
    with fitz.open() as doc:
        for number in range(pages):
            page = doc.new_page(width=595, height=842)
            page.insert_text((72, 100), f"Page {number + 1}", fontsize=14)
            page.insert_image(DOT[0], pixmap=dot)
        if layout in ("shared", "inherited"):
            merged = doc.tobytes(garbage=3)  # identical dictionaries become one shared object
            doc = fitz.open("pdf", merged)
        refs = {doc.xref_get_key(page.xref, "Resources")[1] for page in doc}
        if layout == "inherited":
            tree = int(doc.xref_get_key(doc.pdf_catalog(), "Pages")[1].split()[0])
            doc.xref_set_key(tree, "Resources", refs.pop())
            for page in doc:
                doc.xref_set_key(page.xref, "Resources", "null")
        if layout == "shared xobject":
            xobjects = doc.get_new_xref()
            doc.update_object(xobjects, doc.xref_get_key(doc[0].xref, "Resources/XObject")[1])
            for ref in refs:
                doc.xref_set_key(int(ref.split()[0]), "XObject", f"{xobjects} 0 R")
        doc.save(path)
    with fitz.open(path) as doc:  # the layout asked for
        key = "Resources/XObject" if layout == "shared xobject" else "Resources"
        refs = {doc.xref_get_key(page.xref, key) for page in doc}
        assert len(refs) == {"own": pages}.get(layout, 1)
        assert {k for k, _ in refs} == {"null" if layout == "inherited" else "xref"}
    return str(path)


@pytest.mark.parametrize("layout", ["shared", "inherited", "shared xobject"])
def test_pages_that_share_resources_are_stamped_as_their_own(tmp_path, files, page, layout):
    outputs = {}
    for kind in ("own", layout):
        folder = tmp_path / kind
        folder.mkdir()
        run(page, **dict(files, pdf=make_text_pdf(tmp_path / f"{kind}.pdf", kind),
                         out=str(folder)), pages="1,3", interval="5")
        outputs[kind] = str(folder / "output.pdf")
    with fitz.open(outputs["own"]) as own, fitz.open(outputs[layout]) as shared:
        assert [p.get_pixmap().samples for p in shared] == [p.get_pixmap().samples for p in own]
        # names do not pile up in a shared dictionary, nor reach the pages left unstamped
        assert [len(p.get_images()) for p in shared] == [len(p.get_images()) for p in own]
    expected = {n: DOT[1] + [STAMP] if n in (1, 3, 5) else DOT[1] for n in range(1, 6)}
    assert stamped_pages(outputs[layout]) == stamped_pages(outputs["own"]) == expected
    assert abs(os.path.getsize(outputs[layout]) / os.path.getsize(outputs["own"]) - 1) < 0.02
