"""The page preview: select_pdf and on_page_number_change."""

import base64
import os
import sys
import types
from unittest import mock

import fitz
import flet as ft
import pytest

import pdf_module
from conftest import (BrokenOutput, CORPUS, Field, FilePickerResult, ImageControl, Sink,
                      allocated_blocks_stay_flat, module_entry)

SELECT, CHANGE = "select_pdf", "on_page_number_change"
LOAD_ERROR, CHANGE_ERROR = "[ERROR] PDF読み込み失敗: ", "[ERROR] ページ変更エラー: "


@pytest.fixture(scope="module")
def pdf(tmp_path_factory):
    path = tmp_path_factory.mktemp("pdf") / "pages.pdf"
    doc = fitz.open()
    for width, height in [(612, 792), (200, 100), fitz.paper_size("a4")]:   # Letter, small, A4
        doc.new_page(width=width, height=height).insert_text((20, 40), "page", fontsize=18)
    doc.save(path)
    return str(path)


def stand_in_fitz(page_pt, pixels):
    """A PDF library whose one `page` has the size `page_pt` and renders to `pixels`."""
    pix = mock.Mock(width=pixels[0], height=pixels[1], **{"tobytes.return_value": b"PNG"})
    page = mock.Mock(rect=fitz.Rect(0, 0, *page_pt), **{"get_pixmap.return_value": pix})
    doc = mock.Mock(page_count=1, **{"load_page.return_value": page})
    return mock.Mock(page=page, **{"open.return_value": doc})


@pytest.fixture
def ui():
    ui = types.SimpleNamespace(pdf_path=Field(), page_number=Field(""), preview=ImageControl(),
                               image_path=Field(), width=Field(), height=Field(),
                               image_preview=ImageControl(), x=Field(), y=Field(), scales=[])
    ui.callback = lambda *args: ui.scales.append(args)
    return ui


def run(handler, ui, event=None):
    if handler == SELECT:   # the file picked is the one named in pdf_path
        return pdf_module.select_pdf(event or FilePickerResult(ui.pdf_path.value), ui.pdf_path,
                                     ui.page_number, ui.preview, ui.callback, ui.image_path,
                                     ui.width, ui.height, ui.image_preview, ui.x, ui.y)
    return pdf_module.on_page_number_change(   # the last two callbacks are never called
        None, ui.pdf_path, ui.page_number, ui.preview, ui.image_path, ui.image_preview, ui.width,
        ui.height, ui.x, ui.y, ui.callback, object(), object())


@pytest.mark.parametrize("handler, entered, index, stand_in, scales, display, report", [
    # a US Letter page: 792 x 0.6313131313131313 is 499.99999999999994, truncated to 499
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
      for entered, index in [("0", 0), ("-3", 0), (" 2 ", 1), (2.9, 1), ("99", 2)]],
    # pixel sizes not proportional to the page: the longer side can pass 500
    *[(handler, "1", 0, stand_in, None, display, None) for handler in (SELECT, CHANGE)
      for stand_in, display in [(((595.2755737304688, 841.8897705078125), (595, 842)), (353, 500)),
                                (((100.4, 200), (100, 200)), (251, 502))]],
])
def test_page_preview(state, ui, capsys, monkeypatch, pdf, handler, entered, index, stand_in,
                      scales, display, report):
    if stand_in:
        monkeypatch.setattr(pdf_module, "fitz", stand_in_fitz(*stand_in))
    ui.pdf_path.value, ui.page_number.value = pdf, entered
    assert run(handler, ui) is None
    options = {"dpi": 150} if handler == CHANGE else {}   # the page change renders at 150 dpi
    assert not stand_in or pdf_module.fitz.page.get_pixmap.call_args_list == [mock.call(**options)]
    page = pdf_module.fitz.open(pdf).load_page(index)
    pix = page.get_pixmap(**options)
    (ratio, width_pt, height_pt, shrink), = ui.scales
    assert (width_pt, height_pt) == (page.rect.width, page.rect.height)
    # preview pixels per point, whatever the render resolution; small pages are enlarged
    assert ratio * shrink == pytest.approx(min(500 / width_pt, 500 / height_pt), rel=1e-12)
    expected = display or (int(pix.width * shrink), int(pix.height * shrink))   # truncated
    assert (ui.preview.width, ui.preview.height) == expected
    assert (ui.preview.left, ui.preview.top, ui.preview.fit, ui.preview.updates,
            ui.pdf_path.updates) == (0, 0, ft.ImageFit.CONTAIN, 1, int(handler == SELECT))
    assert ui.preview.src_base64 == base64.b64encode(pix.tobytes("png")).decode("ascii")
    stored = [getattr(state, name, None) for name in ("pdf_scale_ratio", "pdf_width_pt",
                                                      "pdf_height_pt", "shrink_scale")]
    assert stored == (list(ui.scales[0]) if handler == CHANGE else [None] * 4)
    out = capsys.readouterr().out
    first = "[OK] PDF page" if handler == SELECT else "[ページ変更] PDF page"
    assert out.startswith(f"{first} {int(entered or 1)} loaded.\n")
    assert not report or (ui.scales, out) == ([scales], report)


@pytest.mark.parametrize("handler, path, number, fails, message, lines", [
    (SELECT, "cancel", "1", None, None, 0),   # files None: nothing happens
    (SELECT, "missing.pdf", "1", None, LOAD_ERROR + "no such file: '{missing}'", 0),
    (SELECT, "pdf", "abc", None, LOAD_ERROR + "invalid literal for int() with base 10: 'abc'", 0),
    (SELECT, CORPUS + "/qpdf-many-nulls.pdf", "1", None, LOAD_ERROR + "page not in document", 0),
    (SELECT, "zero", "1", None, LOAD_ERROR + "division by zero", 0),   # a page 0 pt wide
    (SELECT, "pdf", "1", "callback", LOAD_ERROR + "refused", 0),   # after the preview
    (SELECT, "pdf", "1", None, LOAD_ERROR + "refused", 5),   # the size logic comes last
    (SELECT, "pdf", "1", "no stamp", None, 5),               # and only with a stamp image
    (CHANGE, "", "abc", None, "[INFO] PDFが指定されていません。", 0),
    (CHANGE, "pdf", "", None, "[INFO] ページ番号が数値ではありません。", 0),   # not page 1 here
    (CHANGE, "missing.pdf", "1", None, CHANGE_ERROR + "no such file: '{missing}'", 0),
    (CHANGE, "pdf", "2", "preview", CHANGE_ERROR + "refused", 0),   # after storing the scales
    (CHANGE, "pdf", "2", None, CHANGE_ERROR + "refused", 3),
])
def test_guarded_failures_and_missing_input(state, ui, capsys, monkeypatch, pdf, tmp_path,
                                            handler, path, number, fails, message, lines):
    missing, calls = str(tmp_path / "missing.pdf"), []

    def size_logic(*args):   # looked up by name
        calls.append((args, getattr(state, "shrink_scale", None)))
        raise RuntimeError("refused")

    monkeypatch.setattr(pdf_module, "update_image_size", size_logic)
    if path == "zero":
        monkeypatch.setattr(pdf_module, "fitz", stand_in_fitz((0.0, 100.0), (0, 100)))
    if fails == "callback":
        ui.callback = mock.Mock(side_effect=RuntimeError("refused"))
    if fails == "preview":
        ui.preview.update = mock.Mock(side_effect=RuntimeError("refused"))
    ui.pdf_path.value = {"pdf": pdf, "missing.pdf": missing}.get(path, path)
    ui.page_number.value, ui.image_path.value = number, "" if fails == "no stamp" else "s.png"
    ui.preview.src_base64 = "previous"
    assert run(handler, ui, FilePickerResult(files=None) if path == "cancel" else None) is None
    error = [message.format(missing=missing)] if message else []
    out = capsys.readouterr().out.splitlines()
    assert (len(out), out[lines:]) == (lines + len(error), error)
    # the size logic runs last and sees the stored scales; nothing done is undone
    args = (None, True, ui.width, ui.height, ui.image_preview, ui.x, ui.y, ui.image_path)
    stored = getattr(state, "shrink_scale", None)
    assert calls == [(args, stored)][:bool(lines) and fails != "no stamp"]
    assert ui.pdf_path.updates == int(handler == SELECT and path != "cancel")
    shown = bool(lines or fails)
    assert (ui.preview.src_base64 != "previous", len(ui.scales)) == (shown, int(lines > 0))
    assert (stored is not None) == (handler == CHANGE and shown)


@pytest.mark.parametrize("handler, event, number, error, line", [
    (SELECT, object(), "1", AttributeError, 64),
    (SELECT, types.SimpleNamespace(files=[object()]), "1", AttributeError, 67),
    (SELECT, "pdf", "1", KeyboardInterrupt, 107),        # from the host's callback
    (SELECT, "missing.pdf", "1", OSError, 120),          # printing the error line fails
    (CHANGE, "pdf", None, TypeError, 277),               # only ValueError is handled
    (CHANGE, "pdf", "1", KeyboardInterrupt, 317),
    (CHANGE, "missing.pdf", "1", OSError, 328),
])
def test_unguarded_failures_reach_the_host(state, ui, monkeypatch, pdf, tmp_path, handler, event,
                                           number, error, line):
    monkeypatch.setattr(sys, "stdout", BrokenOutput())   # so nothing may be printed first
    ui.callback = mock.Mock(side_effect=KeyboardInterrupt)
    ui.pdf_path.value = str(tmp_path / event) if event == "missing.pdf" else pdf
    ui.page_number.value = number
    with pytest.raises(error) as excinfo:
        run(handler, ui, None if isinstance(event, str) else event)
    assert module_entry(excinfo) == (f"pdf_module.{handler}", line)


@pytest.mark.parametrize("name", sorted(n for n in os.listdir(CORPUS) if n.endswith(".pdf")))
def test_select_pdf_on_real_world_files(state, ui, capsys, name):
    ui.pdf_path.value = os.path.join(CORPUS, name)
    run(SELECT, ui)
    out = capsys.readouterr().out.splitlines()
    if (doc := fitz.open(ui.pdf_path.value)).needs_pass or doc.page_count == 0:
        assert (len(out), out[0][:len(LOAD_ERROR)], ui.scales) == (1, LOAD_ERROR, [])
        return
    (ratio, width_pt, height_pt, shrink), = ui.scales
    assert ratio * shrink == pytest.approx(min(500 / width_pt, 500 / height_pt), rel=1e-12)
    assert 499 <= max(ui.preview.width, ui.preview.height) <= 502
    pix = fitz.Pixmap(base64.b64decode(ui.preview.src_base64))
    assert (len(out), out[2]) == (5, f"[PDF画像化] 幅: {pix.width}px, 高さ: {pix.height}px")


@pytest.mark.parametrize("handler, path, number, calls", [
    (SELECT, "pdf", "2", 150),
    (SELECT, "missing.pdf", "1", 500),
    (CHANGE, "pdf", "2", 150),
    (CHANGE, "missing.pdf", "1", 500),
    (CHANGE, "pdf", "x", 2000),
])
def test_preview_handlers_do_not_leak(state, ui, monkeypatch, pdf, tmp_path, handler, path,
                                      number, calls):
    monkeypatch.setattr(sys, "stdout", Sink())
    ui.image_path.value = "s.png"   # the size logic is called, with an empty width field
    path = {"pdf": pdf, "missing.pdf": str(tmp_path / "missing.pdf")}.get(path, path)

    def once():
        ui.pdf_path.value, ui.page_number.value = path, number
        run(handler, ui)
        ui.scales.clear()

    assert allocated_blocks_stay_flat(once, calls=calls, warmup=30)
