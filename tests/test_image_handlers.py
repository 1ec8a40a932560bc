"""The stamp-image handlers: select_image, its Base64 copy, its position and size fields."""

import base64
import contextlib
import io
import os
import sys
import types
from unittest import mock

import PIL
import pytest
from PIL import Image

import pdf_module
from conftest import (BrokenOutput, Field, FilePickerResult, ImageControl, Sink,
                      allocated_blocks_stay_flat, module_entry)

LETTER_SHRINK = 500 / 792


def open_paths():
    return {os.path.realpath(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")}


def make_image(folder, name, size, *, dpi=None, mode="RGB"):
    Image.new(mode, size, "red").save(folder / name, **({"dpi": dpi} if dpi else {}))
    return str(folder / name)


@pytest.fixture
def ui(state):   # the stamp image's controls, after a Letter page was previewed at 72 dpi
    state.pdf_scale_ratio, state.shrink_scale = 1.0, LETTER_SHRINK
    state.original_ratio, state.image_dpi = 1.5, 96
    return types.SimpleNamespace(path=Field(), width=Field(), height=Field(),
                                 preview=ImageControl(), x=Field(), y=Field())


def select(ui, event, callback):
    return pdf_module.select_image(event, ui.path, ui.width, ui.height, ui.preview, callback,
                                   ui.x, ui.y)


def refuse(*args):
    raise RuntimeError("host refused")


@pytest.mark.parametrize("name, size, dpi, width, height, ratio, image_dpi", [
    ("s.jpg", (600, 300), (300, 300), "50.8", "25.4", 2.0, 300),
    ("s.png", (100, 100), None, "35.28", "35.28", 1.0, 72),             # no resolution: 72
    ("s.jpg", (96, 192), (96, 300), "25.4", "50.8", 0.5, 96),           # horizontal only
    ("s.png", (96, 192), (96, 300), "25.4", "50.79", 25.4 / 50.79, 96.012),   # dots per metre
    ("s.png", (1, 3), None, "0.35", "1.06", 0.35 / 1.06, 72),           # not one third
    ("s.png", (720, 100), None, "254.0", "35.28", 254.0 / 35.28, 72),   # whole numbers keep .0
])
def test_select_image_sizes(tmp_path, state, ui, capsys, name, size, dpi, width, height, ratio,
                            image_dpi):
    path = make_image(tmp_path, name, size, dpi=dpi)
    store_ratio = lambda value: setattr(state, "original_ratio", value)  # noqa: E731
    assert select(ui, FilePickerResult(path), store_ratio) is None
    assert (state.original_ratio, type(state.original_ratio)) == (ratio, float)
    assert (state.image_dpi, type(state.image_dpi)) == (image_dpi, type(image_dpi))
    assert (ui.path.updates, ui.width.value, ui.height.value) == (1, width, height)
    assert (ui.preview.src, ui.preview.left, ui.preview.top, ui.preview.updates) == (path, 0, 0, 1)
    out = capsys.readouterr().out.splitlines()
    assert len(out) == 2 and f"(DPI: {image_dpi}) → プレビュー: " in out[0]   # the size logic
    assert path not in open_paths()


def test_select_image_hands_over_to_the_size_logic(tmp_path, state, ui, monkeypatch):
    logic = mock.Mock(side_effect=KeyError("size logic"))
    monkeypatch.setattr(pdf_module, "update_image_size", logic)   # looked up by name
    path = make_image(tmp_path, "s.png", (72, 144))
    with pytest.raises(KeyError) as excinfo:
        select(ui, FilePickerResult(path), print)
    assert module_entry(excinfo) == ("pdf_module.select_image", 57)
    logic.assert_called_once_with(None, True, ui.width, ui.height, ui.preview, ui.x, ui.y, ui.path)
    assert (ui.width.value, ui.height.value, ui.preview.src) == ("25.4", "50.8", path)


@pytest.mark.parametrize("make, error, line, image_dpi", [
    (lambda d: FilePickerResult(files=None), None, None, "unset"),   # cancelled: no change
    (lambda d: object(), AttributeError, 24, "unset"),                         # no files
    (lambda d: types.SimpleNamespace(files=[object()]), AttributeError, 27, "unset"),   # no path
    (lambda d: str(d / "missing.png"), FileNotFoundError, 33, "unset"),
    (lambda d: __file__, PIL.UnidentifiedImageError, 33, "unset"),   # this text file
    (lambda d: make_image(d, "z.png", (9, 9), dpi=(1e-4, 1e-4)), ZeroDivisionError, 37, 0.0),
    (lambda d: make_image(d, "f.jpg", (99, 1), dpi=(6000, 6000)), ZeroDivisionError, 39, 6000),
    (lambda d: make_image(d, "s.png", (10, 10)), RuntimeError, 43, 72),   # the host's callback
])
def test_select_image_failures(tmp_path, state, ui, capsys, make, error, line, image_dpi):
    del state.image_dpi
    made = make(tmp_path)
    ui.width.value = "old"
    event = FilePickerResult(made) if isinstance(made, str) else made
    with pytest.raises(error) if error else contextlib.nullcontext() as excinfo:
        assert select(ui, event, refuse) is None
    assert not error or module_entry(excinfo) == ("pdf_module.select_image", line)
    assert getattr(state, "image_dpi", "unset") == image_dpi
    assert (ui.width.value, ui.preview.src, capsys.readouterr().out) == ("old", None, "")
    if isinstance(made, str):
        assert (ui.path.value, ui.path.updates) == (made, 1)   # the path stays shown
        assert made not in open_paths()


@pytest.mark.parametrize("name, mode, width, height, size", [
    ("s.jpg", "RGB", 120.9, 80.2, (120, 80)),     # fractions dropped
    ("s.png", "RGBA", "120", " 80 ", (120, 80)),  # text of integers
    ("s.gif", "P", True, 3, (1, 3)),              # an image of 1 x 3 px
])
def test_generate_resized_base64_image(tmp_path, name, mode, width, height, size):
    path = make_image(tmp_path, name, (64, 48), mode=mode)
    before = (tmp_path / name).read_bytes()
    text = pdf_module.generate_resized_base64_image(path, width, height)
    data = base64.b64decode(text, validate=True)   # no line breaks either
    assert type(text) is str and data.startswith(b"\x89PNG\r\n\x1a\n")
    assert path not in open_paths() and (tmp_path / name).read_bytes() == before
    with Image.open(path) as source:
        expected = source.resize(size)   # the library's default filter, no other
    picture = Image.open(io.BytesIO(data))
    assert picture.size == size
    assert picture.convert(expected.mode).tobytes() == expected.tobytes()


@pytest.mark.parametrize("make, width, height, error, line", [
    (lambda d: make_image(d, "s.png", (8, 8)), "12.5", 10, ValueError, 223),
    (lambda d: make_image(d, "s.png", (8, 8)), 10, None, TypeError, 223),
    (lambda d: str(d / "missing.png"), 10, 10, FileNotFoundError, 222),
    (lambda d: __file__, 10, 10, PIL.UnidentifiedImageError, 222),
])
def test_generate_resized_base64_image_failures(tmp_path, make, width, height, error, line):
    path = make(tmp_path)
    with pytest.raises(error) as excinfo:
        pdf_module.generate_resized_base64_image(path, width, height)
    assert module_entry(excinfo) == ("pdf_module.generate_resized_base64_image", line)
    assert path not in open_paths()


NO_IMAGE = "[INFO] Imageが指定されていません。\n"
NOT_A_NUMBER = "[ERROR] 数値変換失敗（xまたはy入力が不正）\n"
SCALE = "     スケール: 2.0000 × 縮小率: {:.4f} → 表示: {:.4f}px/pt\n"


@pytest.mark.parametrize("x, y, path, shrink, left, top, outcome", [
    ("10", "20", "s.png", 0.5, 28.34645669291339, 56.69291338582678,
     "[位置更新] X: 10.0mm → 28.35px, Y: 20.0mm → 56.69px\n" + SCALE.format(0.5, 1)),
    # blanks allowed; division by 25.4 first: mm_to_pt(45) would give ...024
    (" 45 ", None, "s.png", 0.25, 63.779527559055126, 0.0,
     "[位置更新] X: 45.0mm → 63.78px, Y: 0.0mm → 0.00px\n" + SCALE.format(0.25, 0.5)),
    # failures leave the preview where it was
    ("abc", "!", "", 0.5, 5, 6, NO_IMAGE),
    ("10,5", "20", "s.png", 0.5, 5, 6, NOT_A_NUMBER),
    ("1", "1", "s.png", "0.5", 5, 6, TypeError),       # not a ValueError: reaches the host
])
def test_update_image_position(state, capsys, x, y, path, shrink, left, top, outcome):
    state.pdf_scale_ratio, state.shrink_scale = 2.0, shrink
    preview = ImageControl()
    preview.left, preview.top = 5, 6
    with contextlib.nullcontext() if type(outcome) is str else pytest.raises(outcome) as caught:
        assert pdf_module.update_image_position(Field(x), Field(y), preview, Field(path)) is None
    assert not caught or module_entry(caught) == ("pdf_module.update_image_position", 243)
    assert (preview.left, preview.top, preview.updates) == (left, top, int(left != 5))
    assert capsys.readouterr().out == (outcome if type(outcome) is str else "")


SIZE, SIZEB = "update_image_size", "update_image_sizeb"
INFO = "[Info] 座標の調整"
PATH_GONE = mock.MagicMock(**{"__bool__.side_effect": RuntimeError("path gone")})


def run_size(handler, flag, ui):
    position = (ui.x, ui.y, ui.path) if handler == SIZE else ()
    return getattr(pdf_module, handler)(None, flag, ui.width, ui.height, ui.preview, *position)


@pytest.mark.parametrize("handler", [SIZE, SIZEB])
@pytest.mark.parametrize("edits_width, ratio, width, height, new_width, new_height, mm, px", [
    (True, 1.5, "45", "", "45", "30", "45.00mm x 30.00mm", "80.53px x 53.69px"),  # worked example
    (True, 1.5, "30.123", "", "30.123", "20.08", "30.12mm x 20.08mm", "53.91px x 35.93px"),
    (False, 1.5, "", " 20.5", "30.75", " 20.5", "30.75mm x 20.50mm", "55.03px x 36.69px"),
    (False, 0, "9", "10", "0", "10", "0.00mm x 10.00mm", "0.00px x 17.90px"),  # ratio 0
    # an empty edited field does nothing, whatever the other field holds
    (True, 1.5, "", "20", "", "20", None, None),
    (False, 1.5, "10", "", "10", "", None, None),
])
def test_size_fields_follow_the_ratio(state, ui, capsys, handler, edits_width, ratio, width,
                                      height, new_width, new_height, mm, px):
    state.original_ratio = ratio
    ui.width.value, ui.height.value = width, height
    # update_image_size's flag names the width field, update_image_sizeb's the height field
    assert run_size(handler, edits_width == (handler == SIZE), ui) is None
    assert (ui.width.value, ui.height.value) == (new_width, new_height)
    if mm is None:
        assert (ui.preview.width, ui.preview.updates, capsys.readouterr().out) == (None, 0, "")
        return
    assert ui.preview.width == float(new_width) / 25.4 * 72 * LETTER_SHRINK
    assert ui.preview.height == float(new_height) / 25.4 * 72 * LETTER_SHRINK
    assert (ui.preview.updates, ui.width.updates, ui.height.updates) == (1, 1, 1)
    assert capsys.readouterr().out == (
        f"[Image寸法更新] {mm} (DPI: 96) → プレビュー: {px}\n"
        "     PDF縮尺: 1.0000, 縮小率: 0.6313 → 1ptあたり: 0.6313px\n")


@pytest.mark.parametrize("handler, x, y, path, tail", [
    (SIZE, "", "", "s.png", []),
    (SIZE, "10", "", "s.png", ["[位置更新] X: 10.0mm → 17.90px, Y: 0.0mm", "     スケール", INFO]),
    (SIZE, "", "20", "s.png", ["[位置更新] X: 0.0mm → 0.00px, Y: 20.0mm", "     スケール", INFO]),
    (SIZE, "10", "", "", [NO_IMAGE.strip(), INFO]),     # a position call that found no image
    (SIZE, "10", "", PATH_GONE, ["[ERROR] update_image_size: path gone"]),
    (SIZEB, "10", "20", "s.png", []),    # never moves the preview
])
def test_size_handlers_position_step(state, ui, capsys, handler, x, y, path, tail):
    ui.width.value = ui.height.value = "15"
    ui.path.value, ui.x.value, ui.y.value = path, x, y
    run_size(handler, handler == SIZE, ui)
    out = capsys.readouterr().out.splitlines()[2:]
    assert len(out) == len(tail) and all(map(str.startswith, out, tail))
    moved = len(tail) == 3
    assert (ui.preview.updates, ui.preview.left is not None) == (2 if moved else 1, moved)


@pytest.mark.parametrize("handler", [SIZE, SIZEB])
@pytest.mark.parametrize("width, ratio, gone, message, changed", [
    ("abc", 1.5, None, "could not convert string to float: 'abc'", None),
    ("10", 0, None, "float division by zero", None),
    ("10", 1.5, "pdf_scale_ratio", "module 'state' has no attribute 'pdf_scale_ratio'", "field"),
    ("10", 1.5, "image_dpi", "module 'state' has no attribute 'image_dpi'", "preview"),
])
def test_size_errors_are_printed(state, ui, capsys, handler, width, ratio, gone, message, changed):
    state.original_ratio = ratio
    if gone:
        delattr(state, gone)
    ui.width.value, ui.height.value, ui.x.value = width, "old", "1"
    run_size(handler, handler == SIZE, ui)
    assert capsys.readouterr().out == f"[ERROR] {handler}: {message}\n"
    assert ui.height.value == ("6.67" if changed else "old")
    assert (ui.preview.updates, ui.preview.left) == (int(changed == "preview"), None)


@pytest.mark.parametrize("handler, width, error, line", [
    (SIZE, "15", KeyboardInterrupt, 150),    # from the preview's update()
    (SIZEB, "abc", OSError, 204),            # printing the error line fails
])
def test_size_handlers_unguarded_failures(state, ui, monkeypatch, handler, width, error, line):
    monkeypatch.setattr(sys, "stdout", BrokenOutput())   # so nothing may be printed first
    ui.preview.update = mock.Mock(side_effect=KeyboardInterrupt)
    ui.width.value = ui.height.value = width
    with pytest.raises(error) as excinfo:
        run_size(handler, True, ui)
    assert module_entry(excinfo) == (f"pdf_module.{handler}", line)
    assert isinstance(excinfo.value.__context__, ValueError) == (error is OSError)


@pytest.mark.parametrize("call, calls", [
    (lambda u: select(u, FilePickerResult(u.path.value), print), 1000),   # size and position
    (lambda u: select(u, FilePickerResult("/nonexistent.png"), print), 1000),
    (lambda u: pdf_module.generate_resized_base64_image(u.path.value, 12.5, "8"), 1000),
    (lambda u: pdf_module.generate_resized_base64_image("/nonexistent.png", 1, 1), 1000),
    (lambda u: pdf_module.update_image_position(u.x, u.y, u.preview, u.path), 2000),   # bad y
    (lambda u: run_size(SIZE, False, u), 2000),     # bad height
    (lambda u: run_size(SIZEB, True, u), 2000),
    (lambda u: run_size(SIZEB, False, u), 2000),
])
def test_image_handlers_do_not_leak(tmp_path, state, ui, monkeypatch, call, calls):
    monkeypatch.setattr(sys, "stdout", Sink())
    ui.path.value, ui.x.value, ui.y.value = make_image(tmp_path, "s.png", (30, 20)), "3", "y"
    ui.width.value, ui.height.value = "10", "h"

    def once():
        with contextlib.suppress(FileNotFoundError):
            call(ui)

    # Pillow's own allocations wander by ~100 blocks; a leak in one call of five still shows
    assert allocated_blocks_stay_flat(once, calls=calls, warmup=calls // 2, slack=calls // 5)
