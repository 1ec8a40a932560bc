import base64
import types
from unittest import mock

import fitz
import flet as ft
import pytest

import pdf_module
from conftest import Field, FilePickerResult, ImageControl, corpus_rows
from hard_cases import HARD_CASES

SELECT, CHANGE = "select_pdf", "on_page_number_change"
LOAD_ERROR, CHANGE_ERROR = "[ERROR] PDF読み込み失敗: ", "[ERROR] ページ変更エラー: "
MISSING = "/nonexistent/missing.pdf"


@pytest.fixture(scope="module")
def pdf(tmp_path_factory):
    doc, path = fitz.open(), str(tmp_path_factory.mktemp("pdf") / "pages.pdf")
    for width, height in [(612, 792), (200, 100), fitz.paper_size("a4")]:   # Letter, small, A4
        doc.new_page(width=width, height=height).insert_text((20, 40), "page", fontsize=18)
    doc.save(path)
    return path


def stand_in_fitz(page_pt, pixels):   # a PDF library whose one page renders to `pixels`
    pix = types.SimpleNamespace(width=pixels[0], height=pixels[1], tobytes=lambda kind: b"PNG")
    page = types.SimpleNamespace(rect=fitz.Rect(0, 0, *page_pt), get_pixmap=lambda **dpi: pix)
    doc = types.SimpleNamespace(page_count=1, needs_pass=0, load_page=lambda index: page)
    return types.SimpleNamespace(open=lambda path: doc)


@pytest.fixture
def ui():
    fields = {name: Field() for name in "pdf_path page_number image_path width height x y".split()}
    return types.SimpleNamespace(**fields, preview=ImageControl(), image_preview=ImageControl(),
                                 callback=mock.Mock())   # the host's, given the scales


def run(handler, ui, event=None):
    if handler == SELECT:   # the file picked is the one named in pdf_path
        return pdf_module.select_pdf(event or FilePickerResult(ui.pdf_path.value), ui.pdf_path,
                                     ui.page_number, ui.preview, ui.callback, ui.image_path,
                                     ui.width, ui.height, ui.image_preview, ui.x, ui.y)
    return pdf_module.on_page_number_change(   # the last two callbacks are never called
        None, ui.pdf_path, ui.page_number, ui.preview, ui.image_path, ui.image_preview, ui.width,
        ui.height, ui.x, ui.y, ui.callback, object(), object())


@pytest.mark.parametrize("handler, entered, index, source, scales, display, report", [
    # Letter: 792 x 0.6313131313131313 is 499.99999999999994, truncated to 499
    (SELECT, "", 0, None, (1.0, 612.0, 792.0, 0.6313131313131313), (386, 499),   # empty: page 1
     "[OK] PDF page 1 loaded.\n"
     "PDF page size: 612.00pt x 792.00pt\n"
     "[PDF画像化] 幅: 612px, 高さ: 792px\n"
     "[プレビューサイズ] 幅: 386px, 高さ: 499px (縮尺: 1.0000)\n"
     "縮小率shrink_scale: 0.6313\n"),
    (CHANGE, "1", 0, None, (2.0833333333333335, 612.0, 792.0, 0.303030303030303), (386, 499),
     "[ページ変更] PDF page 1 loaded.\n"
     "     size: 612.00pt × 792.00pt\n"
     "     scale: 2.0833, shrink: 0.3030\n"),
    # the page number is clamped into the document; the report names it as entered
    *[(handler, entered, index, None, None, None, None) for handler in (SELECT, CHANGE)
      for entered, index in [("-3", 0), (2.9, 1), ("99", 2)]],
    # pixel sizes not proportional to the page: the longer side can pass 500
    *[(handler, "1", 0, stand_in, None, display, None) for handler in (SELECT, CHANGE)
      for stand_in, display in [(((595.2755737304688, 841.8897705078125), (595, 842)), (353, 500)),
                                (((100.4, 200), (100, 200)), (251, 502))]],
    # first pages of real-world and generated files
    *corpus_rows(lambda path: (SELECT, "", 0, path, None, None, None)),
    *[(SELECT, "", 0, name, None, None, None) for name in HARD_CASES],
])
def test_page_preview(state, ui, capsys, monkeypatch, pdf, tmp_path, handler, entered, index,
                      source, scales, display, report):
    if isinstance(source, tuple):   # a stand-in for the PDF library
        monkeypatch.setattr(pdf_module, "fitz", stand_in_fitz(*source))
    elif source in HARD_CASES:
        source = HARD_CASES[source](tmp_path / "hard.pdf")
    ui.pdf_path.value, ui.page_number.value = source if isinstance(source, str) else pdf, entered
    assert run(handler, ui) is None
    out = capsys.readouterr().out
    if (doc := pdf_module.fitz.open(ui.pdf_path.value)).needs_pass or doc.page_count == 0:
        problem = "document closed or encrypted" if doc.needs_pass else "page not in document"
        assert (out, ui.callback.called) == (f"{LOAD_ERROR}{problem}\n", False)
        return
    pix = doc.load_page(index).get_pixmap(**({"dpi": 150} if handler == CHANGE else {}))
    (ratio, width_pt, height_pt, shrink), = [call.args for call in ui.callback.call_args_list]
    assert ratio * shrink == pytest.approx(min(500 / width_pt, 500 / height_pt), rel=1e-12)
    width, height = display or (int(pix.width * shrink), int(pix.height * shrink))   # truncated
    assert vars(ui.preview) == dict(src=None, width=width, height=height, left=0, top=0, updates=1,
                                    src_base64=base64.b64encode(pix.tobytes("png")).decode(),
                                    fit=ft.ImageFit.CONTAIN)
    stored = [vars(state).get(name) for name in ("pdf_scale_ratio", "pdf_width_pt",
                                                 "pdf_height_pt", "shrink_scale")]
    assert (stored, ui.pdf_path.updates, out.count("\n")) == (
        ([None] * 4, 1, 5) if handler == SELECT else ([ratio, width_pt, height_pt, shrink], 0, 3))
    assert out.split(" PDF page ")[1].startswith(f"{int(entered or 1)} loaded.\n")   # as entered
    assert not report or ((ratio, width_pt, height_pt, shrink), out) == (scales, report)


def refuse(*args):
    raise RuntimeError("refused")


@pytest.mark.parametrize("handler, path, number, fails, message, lines", [
    (SELECT, "cancel", "1", None, None, 0),   # no file picked: nothing happens
    (SELECT, MISSING, "1", None, LOAD_ERROR + f"no such file: '{MISSING}'", 0),
    (SELECT, "zero", "1", None, LOAD_ERROR + "division by zero", 0),   # a page 0 pt wide
    (SELECT, "pdf", "1", "callback", LOAD_ERROR + "refused", 0),   # after the preview
    (SELECT, "pdf", "1", None, LOAD_ERROR + "refused", 5),   # the size logic comes last
    (SELECT, "pdf", "1", "no stamp", None, 5),               # and only with a stamp image
    (CHANGE, "", "abc", None, "[INFO] PDFが指定されていません。", 0),
    (CHANGE, "pdf", "", None, "[INFO] ページ番号が数値ではありません。", 0),   # not page 1 here
    (CHANGE, MISSING, "1", None, CHANGE_ERROR + f"no such file: '{MISSING}'", 0),
    (CHANGE, "pdf", "2", "preview", CHANGE_ERROR + "refused", 0),   # after storing the scales
    (CHANGE, "pdf", "2", None, CHANGE_ERROR + "refused", 3),
])
def test_guarded_failures(state, ui, capsys, monkeypatch, pdf, handler, path, number,
                                       fails, message, lines):
    calls = []

    def size_logic(*args):   # looked up by name
        calls.append((args, vars(state).get("shrink_scale")))
        refuse()

    monkeypatch.setattr(pdf_module, "update_image_size", size_logic)
    if path == "zero":
        monkeypatch.setattr(pdf_module, "fitz", stand_in_fitz((0.0, 100.0), (0, 100)))
    ui.callback.side_effect = refuse if fails == "callback" else None
    if fails == "preview":
        ui.preview.update = refuse
    ui.pdf_path.value, ui.page_number.value = pdf if path == "pdf" else path, number
    ui.image_path.value, ui.preview.src_base64 = "" if fails == "no stamp" else "s.png", "previous"
    event = FilePickerResult() if path == "cancel" else None
    assert run(handler, ui, event) is None
    out = capsys.readouterr().out.splitlines()
    assert (len(out), out[lines:]) == (lines + bool(message), [message] if message else [])
    args = (None, True, ui.width, ui.height, ui.image_preview, ui.x, ui.y, ui.image_path)
    stored, shown = vars(state).get("shrink_scale"), bool(lines or fails)
    assert calls == [(args, stored)][:bool(lines) and fails != "no stamp"]
    assert (ui.pdf_path.updates, ui.preview.src_base64 != "previous", ui.callback.call_count,
            stored is not None) == (int(handler == SELECT and path != "cancel"), shown,
                                    lines > 0 or fails == "callback", handler == CHANGE and shown)
