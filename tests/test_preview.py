"""The page preview: taking a PDF and changing the page number."""

import base64
import io
import os
import sys
import types

import fitz
import flet as ft
import pytest
from PIL import Image

import pdf_module
from conftest import (
    BrokenOutput,
    CORPUS,
    Field,
    FilePickerResult,
    ImageControl,
    Sink,
    allocated_blocks_stay_flat,
    module_entry,
)

# Pages of the generated document, in points.
PAGES = [(612, 792), (200, 100), fitz.paper_size("a4"), (432, 648)]






@pytest.fixture(scope="module")
def pdf(tmp_path_factory):
    """A four-page PDF with pages of different sizes and some content."""
    path = tmp_path_factory.mktemp("pdf") / "pages.pdf"
    doc = fitz.open()
    for number, (width, height) in enumerate(PAGES, start=1):
        page = doc.new_page(width=width, height=height)
        page.draw_rect(fitz.Rect(10, 10, width / 2, height / 2), color=(1, 0, 0), fill=(0, 0, 1))
        page.insert_text((20, 40), f"page {number}", fontsize=18)
    doc.save(path)
    return str(path)


def rendered(path, index, **options):
    """What the real library gives for a page: its size in points, the
    pixmap's size and its PNG bytes."""
    page = fitz.open(path).load_page(index)
    pix = page.get_pixmap(**options)
    return page.rect.width, page.rect.height, pix.width, pix.height, pix.tobytes("png")


class RecordingPreview(ImageControl):
    """The page preview, recording the order of assignments and updates."""

    def __init__(self):
        super().__init__()
        object.__setattr__(self, "log", [])

    def __setattr__(self, name, value):
        if hasattr(self, "log") and name != "updates":
            self.log.append(name)
        object.__setattr__(self, name, value)

    def update(self):
        super().update()
        self.log.append("update()")


@pytest.fixture
def ui():
    return types.SimpleNamespace(
        pdf_path=Field(), page_number=Field(""), preview=RecordingPreview(), image_path=Field(),
        width=Field(), height=Field(), image_preview=ImageControl(), x=Field(), y=Field(),
        scales=[],
    )


def select(ui, event):
    return pdf_module.select_pdf(event, ui.pdf_path, ui.page_number, ui.preview,
                                 lambda *args: ui.scales.append(args), ui.image_path, ui.width,
                                 ui.height, ui.image_preview, ui.x, ui.y)


def change(ui, get_scale=None, set_ratio=None):
    return pdf_module.on_page_number_change(
        None, ui.pdf_path, ui.page_number, ui.preview, ui.image_path, ui.image_preview, ui.width,
        ui.height, ui.x, ui.y, lambda *args: ui.scales.append(args), get_scale, set_ratio)


def png_size(text):
    data = base64.b64decode(text, validate=True)
    assert data.startswith(b"\x89PNG\r\n\x1a\n")
    return Image.open(io.BytesIO(data)).size


# --- select_pdf --------------------------------------------------------------------

@pytest.mark.parametrize("files", [None, []])
def test_select_pdf_cancelled(state, ui, capsys, files):
    assert select(ui, FilePickerResult(files=files)) is None
    assert (ui.pdf_path.value, ui.pdf_path.updates, ui.preview.log, ui.scales) == ("", 0, [], [])
    assert capsys.readouterr().out == ""


def test_select_pdf_letter_page(state, ui, capsys, pdf):
    assert select(ui, FilePickerResult(pdf)) is None
    assert (ui.pdf_path.value, ui.pdf_path.updates) == (pdf, 1)
    assert ui.preview.log == ["src_base64", "width", "height", "left", "top", "fit", "update()"]
    assert (ui.preview.width, ui.preview.height, ui.preview.left, ui.preview.top) == (386, 499, 0, 0)
    assert ui.preview.fit is ft.ImageFit.CONTAIN
    png = rendered(pdf, 0)[4]
    assert ui.preview.src_base64 == base64.b64encode(png).decode("ascii")
    assert ui.scales == [(1.0, 612.0, 792.0, 0.6313131313131313)]
    assert capsys.readouterr().out == (
        "[OK] PDF page 1 loaded.\n"
        "PDF page size: 612.00pt x 792.00pt\n"
        "[PDF画像化] 幅: 612px, 高さ: 792px\n"
        "[プレビューサイズ] 幅: 386px, 高さ: 499px (縮尺: 1.0000)\n"
        "縮小率shrink_scale: 0.6313\n")


@pytest.mark.parametrize("entered, index, shown", [
    ("", 0, "1"), ("0", 0, "0"), ("-3", 0, "-3"), ("2", 1, "2"), (" 3 ", 2, "3"),
    ("4", 3, "4"), ("99", 3, "99"), (2, 1, "2"), (2.9, 1, "2"),
])
def test_select_pdf_page_number_is_clamped(state, ui, capsys, pdf, entered, index, shown):
    ui.page_number.value = entered
    select(ui, FilePickerResult(pdf))
    width_pt, height_pt, pix_width, pix_height, png = rendered(pdf, index)
    ratio = min(pix_width / width_pt, pix_height / height_pt)
    shrink = min(500 / (width_pt * ratio), 500 / (height_pt * ratio))
    assert ui.scales == [(ratio, width_pt, height_pt, shrink)]
    assert (ui.preview.width, ui.preview.height) == (int(pix_width * shrink), int(pix_height * shrink))
    assert png_size(ui.preview.src_base64) == (pix_width, pix_height)
    out = capsys.readouterr().out.splitlines()
    assert out[0] == f"[OK] PDF page {shown} loaded."
    assert out[1] == f"PDF page size: {width_pt:.2f}pt x {height_pt:.2f}pt"
    assert out[2] == f"[PDF画像化] 幅: {pix_width}px, 高さ: {pix_height}px"


class StandInFitz:
    """A PDF library whose one page has the given size in points and renders
    to the given pixel size; it records how the page was loaded and rendered."""

    def __init__(self, page_pt, pixels, pages=1):
        self.page_pt, self.pixels, self.pages, self.log = page_pt, pixels, pages, []

    def open(self, path):
        self.log.append(("open", path))
        return types.SimpleNamespace(page_count=self.pages, load_page=self.load_page)

    def load_page(self, index):
        self.log.append(("load_page", index))
        rect = types.SimpleNamespace(width=self.page_pt[0], height=self.page_pt[1])
        return types.SimpleNamespace(rect=rect, get_pixmap=self.get_pixmap)

    def get_pixmap(self, **options):
        self.log.append(("get_pixmap", options))
        return types.SimpleNamespace(width=self.pixels[0], height=self.pixels[1],
                                     tobytes=self.tobytes)

    def tobytes(self, fmt):
        self.log.append(("tobytes", fmt))
        return b"\x89PNG stand-in"


@pytest.mark.parametrize("page_pt, pixels, ratio, shrink, display", [
    ((612, 792), (612, 792), 1.0, 0.6313131313131313, (386, 499)),   # 499.99999999999994
    ((200, 100), (200, 100), 1.0, 2.5, (500, 250)),                  # small pages are enlarged
    # pixel sizes not proportional to the page: the longer side can pass 500
    ((595.2755737304688, 841.8897705078125), (595, 842), 0.9995370652809726, 0.594177043227035,
     (353, 500)),
    ((100.4, 200), (100, 200), 0.99601593625498, 2.5100000000000002, (251, 502)),
])
def test_select_pdf_preview_size_from_the_pixmap(state, ui, capsys, monkeypatch, page_pt, pixels,
                                                 ratio, shrink, display):
    library = StandInFitz(page_pt, pixels)
    monkeypatch.setattr(pdf_module, "fitz", library)
    select(ui, FilePickerResult("doc.pdf"))
    assert ui.scales == [(ratio, *page_pt, shrink)]
    assert (ui.preview.width, ui.preview.height) == display
    assert ui.preview.src_base64 == base64.b64encode(b"\x89PNG stand-in").decode()
    assert library.log == [("open", "doc.pdf"), ("load_page", 0), ("get_pixmap", {}),
                           ("tobytes", "png")]
    out = capsys.readouterr().out.splitlines()
    assert out[3] == (f"[プレビューサイズ] 幅: {display[0]}px, 高さ: {display[1]}px "
                      f"(縮尺: {ratio:.4f})")
    assert out[4] == f"縮小率shrink_scale: {shrink:.4f}"


@pytest.mark.parametrize("image_path, refreshed", [("", False), (None, False), ("s.png", True)])
def test_select_pdf_refreshes_the_stamp_last(state, ui, capsys, pdf, monkeypatch, image_path,
                                             refreshed):
    calls = []

    def update_image_size(*args):
        calls.append(args)
        print("size logic")

    monkeypatch.setattr(pdf_module, "update_image_size", update_image_size)
    ui.image_path.value = image_path
    select(ui, FilePickerResult(pdf))
    out = capsys.readouterr().out.splitlines()
    assert len(out) == (6 if refreshed else 5)
    assert (out[-1] == "size logic") == refreshed
    if refreshed:
        assert calls == [(None, True, ui.width, ui.height, ui.image_preview, ui.x, ui.y,
                          ui.image_path)]


def test_select_pdf_with_the_real_size_logic(state, ui, capsys, pdf):
    """The host's callback stores the scales, so the stamp lands on the new page's scale."""
    state.original_ratio, state.image_dpi = 2.0, 72

    def callback(ratio, width_pt, height_pt, shrink):
        state.pdf_scale_ratio, state.shrink_scale = ratio, shrink

    ui.image_path.value, ui.width.value, ui.x.value = "s.png", "50.8", "25.4"
    pdf_module.select_pdf(FilePickerResult(pdf), ui.pdf_path, ui.page_number, ui.preview,
                          callback, ui.image_path, ui.width, ui.height, ui.image_preview, ui.x,
                          ui.y)
    assert ui.height.value == "25.4"
    assert ui.image_preview.width == pytest.approx(144 * 500 / 792, rel=1e-12)
    assert ui.image_preview.left == pytest.approx(72 * 500 / 792, rel=1e-12)
    assert capsys.readouterr().out.splitlines()[-1] == "[Info] 座標の調整"


def no_pages(path):
    return os.path.join(CORPUS, "qpdf-many-nulls.pdf")


@pytest.mark.parametrize("setup, message", [
    (lambda ui, d: setattr(ui, "event", FilePickerResult(os.path.join(d, "missing.pdf"))),
     "no such file: '{missing}'"),
    (lambda ui, d: setattr(ui.page_number, "value", "abc"),
     "invalid literal for int() with base 10: 'abc'"),
    (lambda ui, d: setattr(ui.page_number, "value", "2.5"),
     "invalid literal for int() with base 10: '2.5'"),
    (lambda ui, d: setattr(ui, "event", FilePickerResult(no_pages(d))), "page not in document"),
])
def test_select_pdf_guarded_failures(state, ui, capsys, pdf, tmp_path, setup, message):
    ui.event = FilePickerResult(pdf)
    ui.preview.src_base64 = "previous"
    setup(ui, str(tmp_path))
    assert select(ui, ui.event) is None
    path = ui.event.files[0].path
    assert (ui.pdf_path.value, ui.pdf_path.updates) == (path, 1)
    assert (ui.preview.src_base64, ui.scales) == ("previous", [])
    message = message.format(missing=os.path.join(str(tmp_path), "missing.pdf"))
    assert capsys.readouterr().out == f"[ERROR] PDF読み込み失敗: {message}\n"


def test_select_pdf_zero_sized_page(state, ui, capsys, monkeypatch):
    monkeypatch.setattr(pdf_module, "fitz", StandInFitz((0.0, 100.0), (0, 100)))
    select(ui, FilePickerResult("doc.pdf"))
    assert capsys.readouterr().out == "[ERROR] PDF読み込み失敗: float division by zero\n"


@pytest.mark.parametrize("failing, lines", [("callback", 0), ("size logic", 5)])
def test_select_pdf_failures_after_the_preview(state, ui, capsys, pdf, monkeypatch, failing, lines):
    def refuse(*args):
        raise RuntimeError(f"{failing} failed")

    ui.image_path.value = "s.png"
    monkeypatch.setattr(pdf_module, "update_image_size", refuse)
    callback = refuse if failing == "callback" else (lambda *args: None)
    pdf_module.select_pdf(FilePickerResult(pdf), ui.pdf_path, ui.page_number, ui.preview, callback,
                          ui.image_path, ui.width, ui.height, ui.image_preview, ui.x, ui.y)
    assert ui.preview.log[-1] == "update()" and ui.preview.width == 386   # not undone
    out = capsys.readouterr().out.splitlines()
    assert len(out) == lines + 1 and out[-1] == f"[ERROR] PDF読み込み失敗: {failing} failed"


class RefusesUpdate(Field):
    def update(self):
        raise RuntimeError("field gone")


@pytest.mark.parametrize("event, path_field, error, line", [
    (object(), Field(), AttributeError, 64),
    (types.SimpleNamespace(files=[object()]), Field(), AttributeError, 67),
    (types.SimpleNamespace(files={"a": 1}), Field(), KeyError, 67),
    (FilePickerResult("x.pdf"), RefusesUpdate(), RuntimeError, 68),
])
def test_select_pdf_unguarded_steps(state, ui, capsys, event, path_field, error, line):
    ui.pdf_path = path_field
    with pytest.raises(error) as excinfo:
        select(ui, event)
    assert module_entry(excinfo) == ("pdf_module.select_pdf", line)
    assert capsys.readouterr().out == ""


def test_select_pdf_lets_interrupts_through(state, ui, capsys, pdf):
    def interrupt(*args):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt) as excinfo:
        pdf_module.select_pdf(FilePickerResult(pdf), ui.pdf_path, ui.page_number, ui.preview,
                              interrupt, ui.image_path, ui.width, ui.height, ui.image_preview,
                              ui.x, ui.y)
    assert module_entry(excinfo) == ("pdf_module.select_pdf", 107)


def test_select_pdf_failure_to_print_the_error(state, ui, monkeypatch, tmp_path):
    monkeypatch.setattr(sys, "stdout", BrokenOutput())
    with pytest.raises(OSError, match="stdout is gone") as excinfo:
        select(ui, FilePickerResult(str(tmp_path / "missing.pdf")))
    assert module_entry(excinfo) == ("pdf_module.select_pdf", 120)
    assert type(excinfo.value.__context__).__name__ == "FileNotFoundError"


# Files that need a password, and one without pages.
UNREADABLE = {"pypdf-crazyones-encrypted-256.pdf", "pypdf-libreoffice-writer-password.pdf",
              "pypdf-r6-user-password.pdf", "qpdf-many-nulls.pdf"}


@pytest.mark.parametrize("name", sorted(n for n in os.listdir(CORPUS) if n.endswith(".pdf")))
def test_select_pdf_on_real_world_files(state, ui, capsys, name):
    path = os.path.join(CORPUS, name)
    select(ui, FilePickerResult(path))
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("[ERROR] PDF読み込み失敗: ") == (name in UNREADABLE)
    if name in UNREADABLE:
        assert len(out) == 1 and ui.scales == []
        return
    assert len(out) == 5
    (ratio, width_pt, height_pt, shrink), = ui.scales
    assert ratio * shrink == pytest.approx(min(500 / width_pt, 500 / height_pt), rel=1e-12)
    assert 499 <= max(ui.preview.width, ui.preview.height) <= 502
    assert png_size(ui.preview.src_base64) == (int(out[2].split()[2][:-3]),
                                               int(out[2].split()[4][:-2]))


# --- on_page_number_change ------------------------------------------------------------

@pytest.mark.parametrize("path, number, out", [
    ("", "abc", "[INFO] PDFが指定されていません。\n"),
    (None, "1", "[INFO] PDFが指定されていません。\n"),
    ("doc.pdf", "", "[INFO] ページ番号が数値ではありません。\n"),
    ("doc.pdf", "2.5", "[INFO] ページ番号が数値ではありません。\n"),
    ("doc.pdf", "abc", "[INFO] ページ番号が数値ではありません。\n"),
])
def test_page_change_without_a_usable_input(state, ui, capsys, monkeypatch, path, number, out):
    library = StandInFitz((612, 792), (1275, 1650))
    monkeypatch.setattr(pdf_module, "fitz", library)
    ui.pdf_path.value, ui.page_number.value = path, number
    assert change(ui) is None
    assert capsys.readouterr().out == out
    assert (library.log, ui.preview.log, ui.scales) == ([], [], [])
    assert [n for n in vars(state) if not n.startswith("__")] == []


def test_page_change_number_that_is_not_text(state, ui, capsys):
    ui.pdf_path.value, ui.page_number.value = "doc.pdf", None
    with pytest.raises(TypeError) as excinfo:
        change(ui)
    assert module_entry(excinfo) == ("pdf_module.on_page_number_change", 277)
    assert capsys.readouterr().out == ""


def test_page_change_letter_page(state, ui, capsys, pdf):
    ui.pdf_path.value, ui.page_number.value = pdf, "1"
    assert change(ui, get_scale=object(), set_ratio=object()) is None   # neither is called
    assert (state.pdf_scale_ratio, state.shrink_scale) == (2.0833333333333335, 0.303030303030303)
    assert (state.pdf_width_pt, state.pdf_height_pt) == (612.0, 792.0)
    assert ui.scales == [(2.0833333333333335, 612.0, 792.0, 0.303030303030303)]
    assert state.pdf_scale_ratio * state.shrink_scale == pytest.approx(500 / 792, rel=1e-15)
    assert ui.preview.log == ["src_base64", "width", "height", "left", "top", "fit", "update()"]
    assert (ui.preview.width, ui.preview.height, ui.preview.left, ui.preview.top) == (386, 499, 0, 0)
    assert ui.preview.fit is ft.ImageFit.CONTAIN
    assert png_size(ui.preview.src_base64) == (1275, 1650)
    assert ui.pdf_path.updates == 0
    assert capsys.readouterr().out == (
        "[ページ変更] PDF page 1 loaded.\n"
        "     size: 612.00pt × 792.00pt\n"
        "     scale: 2.0833, shrink: 0.3030\n")


@pytest.mark.parametrize("entered, index", [("0", 0), ("-1", 0), (" 2 ", 1), ("3", 2), ("99", 3)])
def test_page_change_clamps_and_renders_at_150_dpi(state, ui, capsys, pdf, entered, index):
    ui.pdf_path.value, ui.page_number.value = pdf, entered
    change(ui)
    width_pt, height_pt, pix_width, pix_height, png = rendered(pdf, index, dpi=150)
    assert (state.pdf_width_pt, state.pdf_height_pt) == (width_pt, height_pt)
    assert ui.preview.src_base64 == base64.b64encode(png).decode("ascii")
    assert ui.preview.width == int(pix_width * state.shrink_scale)
    assert ui.preview.height == int(pix_height * state.shrink_scale)
    assert state.pdf_scale_ratio * state.shrink_scale == pytest.approx(
        min(500 / width_pt, 500 / height_pt), rel=1e-12)
    out = capsys.readouterr().out.splitlines()
    assert out[0] == f"[ページ変更] PDF page {int(entered)} loaded."
    assert out[1] == f"     size: {width_pt:.2f}pt × {height_pt:.2f}pt"


def test_page_change_asks_the_library_for_150_dpi(state, ui, capsys, monkeypatch):
    library = StandInFitz((612, 792), (1275, 1650), pages=3)
    monkeypatch.setattr(pdf_module, "fitz", library)
    ui.pdf_path.value, ui.page_number.value = "doc.pdf", "7"
    change(ui)
    assert library.log == [("open", "doc.pdf"), ("load_page", 2), ("get_pixmap", {"dpi": 150}),
                           ("tobytes", "png")]
    assert (ui.preview.width, ui.preview.height) == (386, 499)


@pytest.mark.parametrize("image_path, refreshed", [("", False), ("s.png", True)])
def test_page_change_refreshes_the_stamp_with_the_new_scales(state, ui, capsys, pdf, monkeypatch,
                                                            image_path, refreshed):
    seen = []

    def update_image_size(*args):
        seen.append((args, state.pdf_scale_ratio, state.shrink_scale))

    monkeypatch.setattr(pdf_module, "update_image_size", update_image_size)
    ui.pdf_path.value, ui.page_number.value, ui.image_path.value = pdf, "2", image_path
    change(ui)
    assert len(capsys.readouterr().out.splitlines()) == 3
    if refreshed:
        assert seen == [((None, True, ui.width, ui.height, ui.image_preview, ui.x, ui.y,
                          ui.image_path), state.pdf_scale_ratio, state.shrink_scale)]
    else:
        assert seen == []


def test_page_change_after_the_file_was_removed(state, ui, capsys, pdf, tmp_path):
    ui.pdf_path.value, ui.page_number.value = pdf, "1"
    change(ui)
    before = dict(vars(state)), ui.preview.src_base64
    capsys.readouterr()
    ui.pdf_path.value = str(tmp_path / "gone.pdf")
    change(ui)
    assert (dict(vars(state)), ui.preview.src_base64) == before
    assert capsys.readouterr().out == f"[ERROR] ページ変更エラー: no such file: '{tmp_path / 'gone.pdf'}'\n"


def test_page_change_failure_in_the_preview_keeps_the_new_scales(state, ui, capsys, pdf):
    class Refuses(RecordingPreview):
        def update(self):
            raise RuntimeError("preview gone")

    ui.preview = Refuses()
    ui.pdf_path.value, ui.page_number.value = pdf, "2"
    change(ui)
    assert state.pdf_scale_ratio * state.shrink_scale == pytest.approx(2.5, rel=1e-12)
    assert not hasattr(state, "pdf_width_pt") and ui.scales == []
    assert ui.preview.width is not None   # partly set, not undone
    assert capsys.readouterr().out == "[ERROR] ページ変更エラー: preview gone\n"


def test_page_change_failure_to_print_the_error(state, ui, monkeypatch, tmp_path):
    monkeypatch.setattr(sys, "stdout", BrokenOutput())
    ui.pdf_path.value, ui.page_number.value = str(tmp_path / "missing.pdf"), "1"
    with pytest.raises(OSError, match="stdout is gone") as excinfo:
        change(ui)
    assert module_entry(excinfo) == ("pdf_module.on_page_number_change", 328)


def test_page_change_lets_interrupts_through(state, ui, capsys, pdf):
    def interrupt(*args):
        raise KeyboardInterrupt

    ui.pdf_path.value, ui.page_number.value = pdf, "1"
    with pytest.raises(KeyboardInterrupt) as excinfo:
        pdf_module.on_page_number_change(None, ui.pdf_path, ui.page_number, ui.preview,
                                         ui.image_path, ui.image_preview, ui.width, ui.height,
                                         ui.x, ui.y, interrupt, None, None)
    assert module_entry(excinfo) == ("pdf_module.on_page_number_change", 317)
    assert state.pdf_width_pt == 612.0


def test_both_handlers_give_the_same_preview_scale(state, ui, capsys, pdf):
    for number in ("1", "2", "3", "4"):
        ui.page_number.value, ui.scales = number, []
        select(ui, FilePickerResult(pdf))
        (ratio, _, _, shrink), = ui.scales
        size = ui.preview.width, ui.preview.height
        ui.pdf_path.value = pdf
        change(ui)
        assert state.pdf_scale_ratio * state.shrink_scale == pytest.approx(ratio * shrink, rel=1e-12)
        assert abs(ui.preview.width - size[0]) <= 1 and abs(ui.preview.height - size[1]) <= 1


# --- reference leaks ---------------------------------------------------------------------

def test_preview_handlers_do_not_leak(state, ui, monkeypatch, pdf, tmp_path):
    monkeypatch.setattr(sys, "stdout", Sink())
    missing = str(tmp_path / "missing.pdf")

    def select_page(path, number):
        def run():
            ui.page_number.value = number
            select(ui, FilePickerResult(path))
            ui.scales.clear()
        return run

    def change_page(path, number):
        def run():
            ui.pdf_path.value, ui.page_number.value = path, number
            change(ui)
            ui.scales.clear()
        return run

    ui.image_path.value, ui.width.value = "s.png", "10"
    state.original_ratio, state.image_dpi = 1.0, 72
    cases = [
        (select_page(pdf, "2"), 150),
        (select_page(pdf, "x"), 500),
        (select_page(missing, "1"), 500),
        (lambda: select(ui, FilePickerResult(files=None)), 2000),
        (change_page(pdf, "2"), 150),
        (change_page(missing, "1"), 500),
        (change_page(pdf, "x"), 2000),
        (change_page("", "1"), 2000),
    ]
    for fn, calls in cases:
        ui.scales.clear()
        assert allocated_blocks_stay_flat(fn, calls=calls, warmup=30)
        ui.scales.clear()
