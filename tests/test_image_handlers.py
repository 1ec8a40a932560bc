"""The stamp-image handlers: taking the image, its resized Base64 copy, the
position of its preview and the two size fields."""

import base64
import contextlib
import io
import os
import pathlib
import sys
import types

import PIL
import pytest
from PIL import Image

import pdf_module
from conftest import (
    BrokenOutput,
    Field,
    FilePickerResult,
    ImageControl,
    Sink,
    allocated_blocks_stay_flat,
    module_entry,
)

LETTER_SHRINK = 500 / 792


def open_paths():
    """The files this process has open."""
    paths = []
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            paths.append(os.readlink(f"/proc/self/fd/{fd}"))
    return paths






def make_image(folder, name, size, *, fmt="PNG", dpi=None, mode="RGB"):
    path = folder / name
    options = {"dpi": dpi} if dpi else {}
    Image.new(mode, size, "red").save(path, fmt, **options)
    return str(path)


@pytest.fixture
def page_state(state):
    """A host state after a US Letter page was previewed at 72 dpi."""
    state.pdf_scale_ratio = 1.0
    state.shrink_scale = LETTER_SHRINK
    state.original_ratio = 1.5
    state.image_dpi = 96
    return state


@pytest.fixture
def ui():
    """The stamp image's controls as the host hands them in."""
    return types.SimpleNamespace(
        path=Field(), width=Field(), height=Field(), preview=ImageControl(), x=Field(), y=Field()
    )


def store_ratio(state):
    def callback(ratio):
        state.original_ratio = ratio
    return callback


# --- select_image ------------------------------------------------------------------

@pytest.mark.parametrize("files", [None, []])
def test_select_image_cancelled(page_state, ui, capsys, files):
    calls = []
    result = pdf_module.select_image(FilePickerResult(files=files), ui.path, ui.width, ui.height,
                                     ui.preview, calls.append, ui.x, ui.y)
    assert result is None and calls == []
    assert (ui.path.value, ui.path.updates, ui.width.updates, ui.preview.src) == ("", 0, 0, None)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("size, fmt, dpi, width, height, ratio, image_dpi", [
    ((600, 300), "JPEG", (300, 300), "50.8", "25.4", 2.0, 300),
    ((600, 300), "PNG", (300, 300), "50.8", "25.4", 2.0, 299.9994),    # dots per metre
    ((100, 100), "PNG", None, "35.28", "35.28", 1.0, 72),              # no resolution: 72
    ((96, 192), "JPEG", (96, 300), "25.4", "50.8", 0.5, 96),           # horizontal only
    ((96, 192), "PNG", (96, 300), "25.4", "50.79", 25.4 / 50.79, 96.012),
    ((1, 3), "PNG", None, "0.35", "1.06", 0.35 / 1.06, 72),            # from the rounded sizes
    ((720, 100), "PNG", None, "254.0", "35.28", 254.0 / 35.28, 72),    # whole numbers keep .0
])
def test_select_image_sizes(tmp_path, page_state, ui, capsys, size, fmt, dpi, width, height,
                            ratio, image_dpi):
    path = make_image(tmp_path, "stamp." + fmt.lower(), size, fmt=fmt, dpi=dpi)
    ratios = []

    def callback(value):
        ratios.append(value)
        page_state.original_ratio = value

    assert pdf_module.select_image(FilePickerResult(path), ui.path, ui.width, ui.height,
                                   ui.preview, callback, ui.x, ui.y) is None
    assert ratios == [ratio] and type(ratios[0]) is float
    assert page_state.image_dpi == image_dpi and type(page_state.image_dpi) is type(image_dpi)
    assert (ui.path.value, ui.path.updates) == (path, 1)
    # written by select_image, then updated again by the size logic
    assert (ui.width.value, ui.height.value, ui.width.updates, ui.height.updates) == (
        width, height, 2, 2)
    assert (ui.preview.src, ui.preview.left, ui.preview.top) == (path, 0, 0)
    assert ui.preview.width == pytest.approx(float(width) / 25.4 * 72 * LETTER_SHRINK, rel=1e-12)
    assert ui.preview.updates == 1
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("[Image寸法更新] ") and f"(DPI: {image_dpi})" in out[0]
    assert len(out) == 2
    assert path not in open_paths()


@pytest.mark.parametrize("x, y, left, top, calls_position", [
    ("", "", 0, 0, False),
    ("10", "", 10 / 25.4 * 72 * LETTER_SHRINK, 0.0, True),
])
def test_select_image_places_the_preview(tmp_path, page_state, ui, capsys, x, y, left, top,
                                         calls_position):
    path = make_image(tmp_path, "s.png", (100, 100))
    ui.x.value, ui.y.value = x, y
    pdf_module.select_image(FilePickerResult(path), ui.path, ui.width, ui.height, ui.preview,
                            store_ratio(page_state), ui.x, ui.y)
    assert (ui.preview.left, ui.preview.top) == (left, top)
    assert ("[Info] 座標の調整" in capsys.readouterr().out) == calls_position


def test_select_image_ends_with_update_image_size_looked_up_by_name(tmp_path, page_state, ui,
                                                                     monkeypatch):
    calls = []
    monkeypatch.setattr(pdf_module, "update_image_size", lambda *args: calls.append(args))
    path = make_image(tmp_path, "s.png", (10, 20))
    pdf_module.select_image(FilePickerResult(path), ui.path, ui.width, ui.height, ui.preview,
                            store_ratio(page_state), ui.x, ui.y)
    assert calls == [(None, True, ui.width, ui.height, ui.preview, ui.x, ui.y, ui.path)]


def test_select_image_imports_image_from_pil_itself(tmp_path, page_state, ui, monkeypatch):
    """The module global `Image` is not what select_image uses."""
    monkeypatch.setattr(pdf_module, "Image", None)
    path = make_image(tmp_path, "s.png", (72, 72))
    pdf_module.select_image(FilePickerResult(path), ui.path, ui.width, ui.height, ui.preview,
                            store_ratio(page_state), ui.x, ui.y)
    assert ui.width.value == "25.4"


def write_text(folder, name, text):
    (folder / name).write_text(text)
    return str(folder / name)


@pytest.mark.parametrize("make, error, line, image_dpi", [
    (lambda d: str(d / "missing.png"), FileNotFoundError, 33, "unset"),
    (lambda d: write_text(d, "notes.png", "not an image"), PIL.UnidentifiedImageError, 33, "unset"),
    (lambda d: make_image(d, "zero.png", (10, 10), dpi=(0.0001, 0.0001)), ZeroDivisionError, 37, 0.0),
    (lambda d: make_image(d, "flat.jpg", (100, 1), fmt="JPEG", dpi=(6000, 6000)), ZeroDivisionError, 39, 6000),
])
def test_select_image_failures_reach_the_host(tmp_path, page_state, ui, capsys, make, error,
                                              line, image_dpi):
    del page_state.image_dpi
    path = make(tmp_path)
    ui.width.value = "old"
    with pytest.raises(error) as excinfo:
        pdf_module.select_image(FilePickerResult(path), ui.path, ui.width, ui.height, ui.preview,
                                store_ratio(page_state), ui.x, ui.y)
    assert module_entry(excinfo) == ("pdf_module.select_image", line)
    assert getattr(page_state, "image_dpi", "unset") == image_dpi
    assert (ui.path.value, ui.path.updates) == (path, 1)   # the path stays shown
    assert (ui.width.value, ui.preview.src) == ("old", None)
    assert capsys.readouterr().out == ""
    assert path not in open_paths()


def test_select_image_unguarded_steps(tmp_path, page_state, ui):
    path = make_image(tmp_path, "s.png", (10, 10))
    cases = [
        (object(), AttributeError, 24),
        (types.SimpleNamespace(files=[object()]), AttributeError, 27),
    ]
    for event, error, line in cases:
        with pytest.raises(error) as excinfo:
            pdf_module.select_image(event, ui.path, ui.width, ui.height, ui.preview, print,
                                    ui.x, ui.y)
        assert module_entry(excinfo) == ("pdf_module.select_image", line)

    def refuse(value):
        raise RuntimeError("host refused")

    with pytest.raises(RuntimeError) as excinfo:
        pdf_module.select_image(FilePickerResult(path), ui.path, ui.width, ui.height, ui.preview,
                                refuse, ui.x, ui.y)
    assert module_entry(excinfo) == ("pdf_module.select_image", 43)
    assert (ui.width.value, ui.preview.src) == ("", None)


def test_select_image_size_logic_failure_keeps_the_fields(tmp_path, page_state, ui, monkeypatch):
    def broken(*args):
        raise KeyError("size logic")

    monkeypatch.setattr(pdf_module, "update_image_size", broken)
    path = make_image(tmp_path, "s.png", (72, 144))
    with pytest.raises(KeyError) as excinfo:
        pdf_module.select_image(FilePickerResult(path), ui.path, ui.width, ui.height, ui.preview,
                                store_ratio(page_state), ui.x, ui.y)
    assert module_entry(excinfo) == ("pdf_module.select_image", 57)
    assert (ui.width.value, ui.height.value, ui.preview.src) == ("25.4", "50.8", path)


class StandInImage:
    """An image file opened through a context manager whose __exit__ is
    scripted; `img.size` is what the test gives it."""

    def __init__(self, log, size=(10, 10), exit_result=None, exit_error=None):
        self.log, self.size, self.info = log, size, {}
        self.exit_result, self.exit_error = exit_result, exit_error

    def __enter__(self):
        self.log.append("enter")
        return self

    def __exit__(self, *exc_info):
        self.log.append(exc_info)
        if self.exit_error:
            raise self.exit_error
        return self.exit_result


def stand_in_pil(monkeypatch, opened):
    monkeypatch.setattr(PIL, "Image", types.SimpleNamespace(open=lambda path: opened))


@pytest.mark.parametrize("size, error, line", [
    ((10, 0), ZeroDivisionError, 39),    # height 0 px
    ((1, 2, 3), ValueError, 34),         # too many values to unpack
    (5, TypeError, 34),                  # cannot unpack non-iterable int
])
def test_select_image_closes_the_image_when_the_block_fails(page_state, ui, monkeypatch, size,
                                                            error, line):
    log = []
    stand_in_pil(monkeypatch, StandInImage(log, size=size))
    with pytest.raises(error) as excinfo:
        pdf_module.select_image(FilePickerResult("x.png"), ui.path, ui.width, ui.height,
                                ui.preview, print, ui.x, ui.y)
    assert module_entry(excinfo) == ("pdf_module.select_image", line)
    assert log[0] == "enter" and log[1][0] is error and log[1][1] is excinfo.value


def test_select_image_when_exit_swallows_the_failure(page_state, ui, monkeypatch):
    log = []
    stand_in_pil(monkeypatch, StandInImage(log, size=(10, 0), exit_result=True))
    with pytest.raises(UnboundLocalError, match="aspect_ratio") as excinfo:
        pdf_module.select_image(FilePickerResult("x.png"), ui.path, ui.width, ui.height,
                                ui.preview, print, ui.x, ui.y)
    assert module_entry(excinfo) == ("pdf_module.select_image", 43)


# --- generate_resized_base64_image --------------------------------------------------

def decode_png(text):
    data = base64.b64decode(text, validate=True)
    assert data.startswith(b"\x89PNG\r\n\x1a\n")
    return Image.open(io.BytesIO(data))


@pytest.mark.parametrize("fmt, mode", [("PNG", "RGB"), ("PNG", "RGBA"), ("JPEG", "RGB"),
                                       ("GIF", "P"), ("BMP", "L")])
@pytest.mark.parametrize("width, height, size", [
    (120.9, 80.2, (120, 80)),    # fractions dropped
    ("120", " 80 ", (120, 80)),  # text of integers
    (1, 1, (1, 1)),
    (True, 3, (1, 3)),
])
def test_generate_resized_base64_image(tmp_path, fmt, mode, width, height, size):
    path = make_image(tmp_path, "src." + fmt.lower(), (64, 48), fmt=fmt, mode=mode)
    before = pathlib.Path(path).read_bytes()
    text = pdf_module.generate_resized_base64_image(path, width, height)
    assert path not in open_paths()
    assert type(text) is str and "\n" not in text
    picture = decode_png(text)
    assert picture.size == size
    # the library's default filter, no other
    with Image.open(path) as source:
        expected = source.resize(size)
    assert picture.convert(expected.mode).tobytes() == expected.tobytes()
    assert pathlib.Path(path).read_bytes() == before


@pytest.mark.parametrize("make, width, height, error, line", [
    (lambda d: make_image(d, "s.png", (8, 8)), "12.5", 10, ValueError, 223),
    (lambda d: make_image(d, "s.png", (8, 8)), 10, None, TypeError, 223),
    (lambda d: make_image(d, "s.png", (8, 8)), -4, 10, ValueError, 223),
    (lambda d: str(d / "missing.png"), 10, 10, FileNotFoundError, 222),
    (lambda d: write_text(d, "notes.png", "text"), 10, 10, PIL.UnidentifiedImageError, 222),
])
def test_generate_resized_base64_image_failures(tmp_path, make, width, height, error, line):
    path = make(tmp_path)
    with pytest.raises(error) as excinfo:
        pdf_module.generate_resized_base64_image(path, width, height)
    assert module_entry(excinfo) == ("pdf_module.generate_resized_base64_image", line)
    assert path not in open_paths()


class ResizeFails(StandInImage):
    def resize(self, size):
        raise ValueError("cannot resize")


@pytest.mark.parametrize("exit_result, exit_error, outcome, line", [
    (None, None, ValueError, 223),         # the body's error goes on after __exit__
    (0, None, ValueError, 223),
    (True, None, None, None),              # __exit__ swallowed it: falls off the end
    ("yes", None, None, None),
    (None, RuntimeError("close failed"), RuntimeError, 222),
])
def test_generate_resized_base64_image_with_protocol(monkeypatch, exit_result, exit_error,
                                                     outcome, line):
    log = []
    image = ResizeFails(log, exit_result=exit_result, exit_error=exit_error)
    monkeypatch.setattr(pdf_module, "Image", types.SimpleNamespace(open=lambda path: image))
    if outcome is None:
        assert pdf_module.generate_resized_base64_image("x", 1, 1) is None
    else:
        with pytest.raises(outcome) as excinfo:
            pdf_module.generate_resized_base64_image("x", 1, 1)
        assert module_entry(excinfo) == ("pdf_module.generate_resized_base64_image", line)
        if exit_error:
            assert isinstance(excinfo.value.__context__, ValueError)
    exc_type, exc, tb = log[1]
    assert log[0] == "enter" and exc_type is ValueError and str(exc) == "cannot resize"
    assert isinstance(tb, types.TracebackType)


def test_generate_resized_base64_image_closing_fails_after_success(tmp_path, monkeypatch):
    path = make_image(tmp_path, "s.png", (8, 8))

    class ClosingFails:
        def __init__(self, img):
            self.img = img

        def __enter__(self):
            return self.img

        def __exit__(self, *exc_info):
            self.img.close()
            assert exc_info == (None, None, None)
            raise OSError("close failed")

    monkeypatch.setattr(pdf_module, "Image",
                        types.SimpleNamespace(open=lambda p: ClosingFails(Image.open(p))))
    with pytest.raises(OSError, match="close failed") as excinfo:
        pdf_module.generate_resized_base64_image(path, 4, 4)
    assert module_entry(excinfo) == ("pdf_module.generate_resized_base64_image", 222)


@pytest.mark.parametrize("manager, message", [
    (object(), "'object' object does not support the context manager protocol"),
    (types.SimpleNamespace(__enter__=lambda: None, __exit__=lambda *a: None),
     "'types.SimpleNamespace' object does not support the context manager protocol"),
])
def test_generate_resized_base64_image_needs_a_context_manager(monkeypatch, manager, message):
    monkeypatch.setattr(pdf_module, "Image", types.SimpleNamespace(open=lambda p: manager))
    with pytest.raises(TypeError, match=message) as excinfo:
        pdf_module.generate_resized_base64_image("x", 1, 1)
    assert module_entry(excinfo) == ("pdf_module.generate_resized_base64_image", 222)


# --- update_image_position --------------------------------------------------------

@pytest.mark.parametrize("x, y, ratio, shrink, left, top, first, second", [
    ("10", "20", 2.0, 0.5, 28.34645669291339, 56.69291338582678,
     "[位置更新] X: 10.0mm → 28.35px, Y: 20.0mm → 56.69px",
     "     スケール: 2.0000 × 縮小率: 0.5000 → 表示: 1.0000px/pt"),
    ("", "", 2.0, 0.5, 0.0, 0.0,
     "[位置更新] X: 0.0mm → 0.00px, Y: 0.0mm → 0.00px",
     "     スケール: 2.0000 × 縮小率: 0.5000 → 表示: 1.0000px/pt"),
    (None, " 7.5 ", 1, 1, 0.0, 21.25984251968504,
     "[位置更新] X: 0.0mm → 0.00px, Y: 7.5mm → 21.26px",
     "     スケール: 1.0000 × 縮小率: 1.0000 → 表示: 1.0000px/pt"),
    # division by 25.4 first: mm_to_pt(45) would give ...024
    ("45", "-3", 1.0, 1.0, 127.55905511811025, -8.503937007874017,
     "[位置更新] X: 45.0mm → 127.56px, Y: -3.0mm → -8.50px",
     "     スケール: 1.0000 × 縮小率: 1.0000 → 表示: 1.0000px/pt"),
    ("1e400", "0", 1.0, 1.0, float("inf"), 0.0,
     "[位置更新] X: infmm → infpx, Y: 0.0mm → 0.00px",
     "     スケール: 1.0000 × 縮小率: 1.0000 → 表示: 1.0000px/pt"),
])
def test_update_image_position(state, capsys, x, y, ratio, shrink, left, top, first, second):
    state.pdf_scale_ratio, state.shrink_scale = ratio, shrink
    preview = ImageControl()
    assert pdf_module.update_image_position(Field(x), Field(y), preview, Field("s.png")) is None
    assert (preview.left, preview.top, preview.updates) == (left, top, 1)
    assert type(preview.left) is float
    assert capsys.readouterr().out == f"{first}\n{second}\n"


@pytest.mark.parametrize("x, y, image_path, out", [
    ("abc", "!", "", "[INFO] Imageが指定されていません。\n"),
    ("1", "2", None, "[INFO] Imageが指定されていません。\n"),
    ("10,5", "20", "s.png", "[ERROR] 数値変換失敗（xまたはy入力が不正）\n"),
    ("10", "2O", "s.png", "[ERROR] 数値変換失敗（xまたはy入力が不正）\n"),
])
def test_update_image_position_leaves_the_preview(state, capsys, x, y, image_path, out):
    preview = ImageControl()
    preview.left, preview.top = 5, 6
    pdf_module.update_image_position(Field(x), Field(y), preview, Field(image_path))
    assert (preview.left, preview.top, preview.updates) == (5, 6, 0)
    assert capsys.readouterr().out == out


def test_update_image_position_catches_value_errors_of_the_whole_block(state, capsys):
    state.pdf_scale_ratio, state.shrink_scale = 1.0, 1.0

    class Refuses(ImageControl):
        def update(self):
            raise UnicodeError("redraw")

    preview = Refuses()
    pdf_module.update_image_position(Field("1"), Field("1"), preview, Field("s.png"))
    assert preview.left == 1 / 25.4 * 72   # not undone
    assert capsys.readouterr().out == "[ERROR] 数値変換失敗（xまたはy入力が不正）\n"


@pytest.mark.parametrize("attributes, error, line", [
    ({"shrink_scale": 1.0}, AttributeError, 243),
    ({"pdf_scale_ratio": 1.0, "shrink_scale": "0.5"}, TypeError, 243),
    ({"pdf_scale_ratio": 1.0, "shrink_scale": None}, TypeError, 243),
])
def test_update_image_position_other_errors_reach_the_host(state, capsys, attributes, error, line):
    for name, value in attributes.items():
        setattr(state, name, value)
    preview = ImageControl()
    with pytest.raises(error) as excinfo:
        pdf_module.update_image_position(Field("1"), Field("1"), preview, Field("s.png"))
    assert module_entry(excinfo) == ("pdf_module.update_image_position", line)
    assert preview.left is None and capsys.readouterr().out == ""


# --- update_image_size / update_image_sizeb ------------------------------------------

SIZE = ("update_image_size", "[ERROR] update_image_size: ")
SIZEB = ("update_image_sizeb", "[ERROR] update_image_sizeb: ")


def run_size(handler, flag, ui):
    if handler == "update_image_size":
        return pdf_module.update_image_size(None, flag, ui.width, ui.height, ui.preview, ui.x,
                                            ui.y, ui.path)
    return pdf_module.update_image_sizeb(None, flag, ui.width, ui.height, ui.preview)


def test_update_image_size_worked_example(page_state, ui, capsys):
    ui.width.value = "45"
    assert run_size("update_image_size", True, ui) is None
    assert (ui.width.value, ui.height.value) == ("45", "30")
    assert (ui.preview.width, ui.preview.height) == (80.52970651395849, 53.686471009305656)
    assert (ui.preview.updates, ui.width.updates, ui.height.updates) == (1, 1, 1)
    assert capsys.readouterr().out == (
        "[Image寸法更新] 45.00mm x 30.00mm (DPI: 96) → プレビュー: 80.53px x 53.69px\n"
        "     PDF縮尺: 1.0000, 縮小率: 0.6313 → 1ptあたり: 0.6313px\n")


@pytest.mark.parametrize("handler", [SIZE[0], SIZEB[0]])
@pytest.mark.parametrize("edits_width, width, height, new_width, new_height, logged", [
    (True, "10", "", "10", "6.67", "10.00mm x 6.67mm"),
    (True, "12", "1", "12", "8", "12.00mm x 8.00mm"),          # whole numbers without decimals
    (True, "30.123", "", "30.123", "20.08", "30.12mm x 20.08mm"),
    (False, "", "20.5", "30.75", "20.5", "30.75mm x 20.50mm"),
    (False, "9", " 4 ", "6", " 4 ", "6.00mm x 4.00mm"),
])
def test_size_fields_follow_the_ratio(page_state, ui, capsys, handler, edits_width, width, height,
                                      new_width, new_height, logged):
    ui.width.value, ui.height.value = width, height
    # update_image_size's flag names the width field, update_image_sizeb's the height field
    flag = edits_width if handler == SIZE[0] else not edits_width
    run_size(handler, flag, ui)
    assert (ui.width.value, ui.height.value) == (new_width, new_height)
    assert ui.preview.width == float(new_width) / 25.4 * 72 * 1.0 * LETTER_SHRINK
    assert ui.preview.height == float(new_height) / 25.4 * 72 * 1.0 * LETTER_SHRINK
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith(f"[Image寸法更新] {logged} (DPI: 96) → プレビュー: ")
    assert len(out) == 2


@pytest.mark.parametrize("handler", [SIZE[0], SIZEB[0]])
@pytest.mark.parametrize("edits_width, width, height", [
    (True, "", "20"),       # no fallback to the other field
    (False, "10", ""),
    (True, None, "20"),
    (True, 0, "20"),
    (False, "10", None),
])
def test_size_fields_empty_edited_field_does_nothing(page_state, ui, capsys, handler, edits_width,
                                                     width, height):
    ui.width.value, ui.height.value = width, height
    flag = edits_width if handler == SIZE[0] else not edits_width
    assert run_size(handler, flag, ui) is None
    assert (ui.width.value, ui.height.value, ui.preview.width, ui.preview.updates) == (
        width, height, None, 0)
    assert capsys.readouterr().out == ""


class CountedTruth:
    """A flag that counts how often its truth is taken."""

    def __init__(self, value):
        self.value, self.tests = value, 0

    def __bool__(self):
        self.tests += 1
        return self.value


@pytest.mark.parametrize("handler", [SIZE[0], SIZEB[0]])
@pytest.mark.parametrize("value, width, height, tests", [
    (True, "10", "10", 1), (True, "", "10", 2), (False, "10", "10", 2), (False, "", "", 2)])
def test_size_flag_truth_is_taken_per_test(page_state, ui, capsys, handler, value, width, height,
                                           tests):
    flag = CountedTruth(value)
    ui.width.value, ui.height.value = width, height
    if handler == SIZEB[0]:
        ui.width.value, ui.height.value = height, width
    run_size(handler, flag, ui)
    assert flag.tests == tests


@pytest.mark.parametrize("x, y, moved", [("", "", False), ("10", "", True), ("", "20", True),
                                         (None, 0, False)])
def test_update_image_size_position_step(page_state, ui, capsys, x, y, moved):
    ui.width.value, ui.path.value, ui.x.value, ui.y.value = "15", "s.png", x, y
    run_size("update_image_size", True, ui)
    out = capsys.readouterr().out.splitlines()
    assert (out[-1] == "[Info] 座標の調整") == moved
    assert [line[:7] for line in out[2:3]] == (["[位置更新] "] if moved else [])
    assert ui.preview.updates == (2 if moved else 1)
    assert (ui.preview.left is not None) == moved


def test_update_image_size_info_line_follows_a_position_call_without_image(page_state, ui, capsys):
    ui.width.value, ui.x.value = "15", "1"
    run_size("update_image_size", True, ui)
    assert capsys.readouterr().out.splitlines()[2:] == [
        "[INFO] Imageが指定されていません。", "[Info] 座標の調整"]


def test_update_image_sizeb_never_moves_the_preview(page_state, ui, capsys):
    ui.height.value, ui.path.value, ui.x.value, ui.y.value = "15", "s.png", "1", "2"
    run_size("update_image_sizeb", True, ui)
    assert ui.preview.left is None
    assert len(capsys.readouterr().out.splitlines()) == 2


def test_size_fields_use_the_module_functions_by_name(page_state, ui, capsys, monkeypatch):
    monkeypatch.setattr(pdf_module, "format_mm_value", lambda v: f"{v:.3f}")
    calls = []
    monkeypatch.setattr(pdf_module, "update_image_position", lambda *a: calls.append(a))
    ui.height.value, ui.width.value, ui.x.value = "3", "6", "1"
    run_size("update_image_size", False, ui)
    assert ui.width.value == "4.500" and calls == [(ui.x, ui.y, ui.preview, ui.path)]


@pytest.mark.parametrize("dpi, shown", [(96, "96"), (96.0, "96.0"), (299.9994, "299.9994"),
                                        ("unknown", "unknown")])
def test_size_line_shows_the_dpi_as_stored(page_state, ui, capsys, dpi, shown):
    page_state.image_dpi = dpi
    ui.width.value = "15"
    run_size("update_image_sizeb", False, ui)
    assert f"(DPI: {shown}) → " in capsys.readouterr().out


@pytest.mark.parametrize("handler, prefix", [SIZE, SIZEB])
@pytest.mark.parametrize("width, setup, message, changed", [
    ("abc", {}, "could not convert string to float: 'abc'", False),
    ("nan", {}, "cannot convert float NaN to integer", False),
    ("1e400", {}, "cannot convert float infinity to integer", False),
    ("10", {"original_ratio": 0}, "float division by zero", False),
    ("10", {"original_ratio": None}, "unsupported operand type(s) for /: 'float' and 'NoneType'", False),
    ("10", {"original_ratio": "del"}, "module 'state' has no attribute 'original_ratio'", False),
    ("10", {"pdf_scale_ratio": "del"}, "module 'state' has no attribute 'pdf_scale_ratio'", "field"),
    ("10", {"image_dpi": "del"}, "module 'state' has no attribute 'image_dpi'", "preview"),
])
def test_size_fields_errors_are_printed(page_state, ui, capsys, handler, prefix, width, setup,
                                        message, changed):
    for name, value in setup.items():
        if value == "del":
            delattr(page_state, name)
        else:
            setattr(page_state, name, value)
    ui.width.value, ui.height.value, ui.x.value = width, "old", "1"
    run_size(handler, handler == SIZE[0], ui)
    out = capsys.readouterr().out.splitlines()
    assert out == [prefix + message]
    assert ui.height.value == ("old" if not changed else "6.67")
    assert (ui.preview.updates == 1) == (changed == "preview")
    assert ui.preview.left is None


def test_size_ratio_zero_in_the_multiplying_branch(page_state, ui, capsys):
    page_state.original_ratio = 0
    ui.height.value = "10"
    run_size("update_image_size", False, ui)
    assert (ui.width.value, ui.preview.width) == ("0", 0.0)


def test_update_image_size_prints_errors_of_the_position_step(page_state, ui, capsys, monkeypatch):
    def broken(*args):
        raise LookupError("no stack")

    monkeypatch.setattr(pdf_module, "update_image_position", broken)
    ui.width.value, ui.x.value = "15", "1"
    run_size("update_image_size", True, ui)
    out = capsys.readouterr().out.splitlines()
    assert out[2:] == ["[ERROR] update_image_size: no stack"]


@pytest.mark.parametrize("handler, line", [("update_image_size", 150), ("update_image_sizeb", 196)])
def test_size_fields_let_interrupts_through(page_state, ui, capsys, handler, line):
    class Interrupted(ImageControl):
        def update(self):
            raise KeyboardInterrupt

    ui.preview = Interrupted()
    ui.width.value = ui.height.value = "15"
    with pytest.raises(KeyboardInterrupt) as excinfo:
        run_size(handler, True, ui)
    assert module_entry(excinfo) == (f"pdf_module.{handler}", line)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("handler, line", [("update_image_size", 169), ("update_image_sizeb", 204)])
def test_size_fields_failure_to_print_the_error(page_state, ui, monkeypatch, handler, line):
    monkeypatch.setattr(sys, "stdout", BrokenOutput())
    ui.width.value = ui.height.value = "abc"
    with pytest.raises(OSError, match="stdout is gone") as excinfo:
        run_size(handler, True, ui)
    assert module_entry(excinfo) == (f"pdf_module.{handler}", line)
    assert isinstance(excinfo.value.__context__, ValueError)


# --- reference leaks ---------------------------------------------------------------------

def test_image_handlers_do_not_leak(tmp_path, page_state, ui, monkeypatch):
    monkeypatch.setattr(sys, "stdout", Sink())
    png = make_image(tmp_path, "s.png", (30, 20), dpi=(300, 300))
    missing = str(tmp_path / "missing.png")
    ui.path.value = png

    def select(path):
        return lambda: pdf_module.select_image(FilePickerResult(path), ui.path, ui.width,
                                               ui.height, ui.preview, store_ratio(page_state),
                                               ui.x, ui.y)

    def raising(fn, error):
        def run():
            with contextlib.suppress(error):
                fn()
        return run

    ui.x.value = "3"
    cases = [
        (select(png), 300),
        (raising(select(missing), FileNotFoundError), 300),
        (lambda: pdf_module.generate_resized_base64_image(png, 12.5, "8"), 300),
        (raising(lambda: pdf_module.generate_resized_base64_image(png, "x", 8), ValueError), 300),
        (raising(lambda: pdf_module.generate_resized_base64_image(missing, 1, 1),
                 FileNotFoundError), 300),
        (lambda: pdf_module.update_image_position(Field("1"), Field("2"), ui.preview, ui.path), 2000),
        (lambda: pdf_module.update_image_position(Field("x"), Field("2"), ui.preview, ui.path), 2000),
        (lambda: pdf_module.update_image_position(Field("1"), Field("2"), ui.preview, Field()), 2000),
        (lambda: pdf_module.update_image_size(None, True, Field("10"), Field(), ui.preview, ui.x,
                                              ui.y, ui.path), 2000),
        (lambda: pdf_module.update_image_size(None, True, Field("x"), Field(), ui.preview, ui.x,
                                              ui.y, ui.path), 2000),
        (lambda: pdf_module.update_image_sizeb(None, True, Field(), Field("7"), ui.preview), 2000),
        (lambda: pdf_module.update_image_sizeb(None, False, Field("nan"), Field(), ui.preview), 2000),
    ]
    for fn, calls in cases:
        assert allocated_blocks_stay_flat(fn, calls=calls, warmup=50)
