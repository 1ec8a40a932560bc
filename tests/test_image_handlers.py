import base64
import contextlib
import io
import os
import types
from unittest import mock

import pytest
from PIL import Image

import pdf_module
from conftest import Field, FilePickerResult, ImageControl, module_entry

LETTER_SHRINK = 500 / 792


def open_paths():
    return {os.path.realpath(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")}


def make_image(folder, name, size, *, dpi=None, mode="RGB"):
    Image.new(mode, size, "red").save(folder / name, **({"dpi": dpi} if dpi else {}))
    return str(folder / name)


@pytest.fixture
def ui(state):   # the stamp image's controls, after a Letter page was previewed at 72 dpi
    vars(state).update(pdf_scale_ratio=1.0, shrink_scale=LETTER_SHRINK, original_ratio=1.5, image_dpi=96)
    return types.SimpleNamespace(path=Field(), width=Field(), height=Field(),
                                 preview=ImageControl(), x=Field(), y=Field())


@pytest.mark.parametrize("make, error, line, image_dpi, width, height, ratio", [
    (lambda d: make_image(d, "s.jpg", (600, 300), dpi=(300, 300)), None, None, 300, "50.8", "25.4", 2.0),
    (lambda d: make_image(d, "s.png", (100, 100)), None, None, 72, "35.28", "35.28", 1.0),  # no resolution
    (lambda d: make_image(d, "s.png", (96, 192), dpi=(96, 300)), None, None, 96.012, "25.4", "50.79",
     25.4 / 50.79),   # x only, per metre
    (lambda d: FilePickerResult(files=None), None, None, "unset", "", "", None),   # cancelled: no change
    (lambda d: object(), AttributeError, 24, "unset", "", "", None),               # no files
    (lambda d: __file__, Image.UnidentifiedImageError, 33, "unset", "", "", None),   # this text file
    (lambda d: make_image(d, "z.png", (9, 9), dpi=(1e-4, 1e-4)), ZeroDivisionError, 37, 0.0, "", "", None),
    (lambda d: make_image(d, "s.png", (10, 10)), RuntimeError, 43, 72, "", "", 1.0),   # the host's callback
    (lambda d: make_image(d, "s.png", (72, 144)), KeyError, 57, 72, "25.4", "50.8", 0.5),   # the size logic
])
def test_select_image(tmp_path, state, ui, capsys, monkeypatch, make, error, line, image_dpi, width,
                      height, ratio):
    logic = mock.Mock(side_effect=error if line == 57 else None)   # the size logic, looked up by name
    monkeypatch.setattr(pdf_module, "update_image_size", logic)
    callback = mock.Mock(side_effect=error if line == 43 else None)
    del state.image_dpi
    made = make(tmp_path)
    event = FilePickerResult(made) if isinstance(made, str) else made
    with pytest.raises(error) if error else contextlib.nullcontext() as excinfo:
        assert pdf_module.select_image(event, ui.path, ui.width, ui.height, ui.preview, callback, ui.x,
                                       ui.y) is None
    assert not error or module_entry(excinfo) == ("pdf_module.select_image", line)
    dpi = getattr(state, "image_dpi", "unset")   # what was done before a failure stays done
    assert (dpi, type(dpi), [(a, type(a)) for c in callback.call_args_list for a in c.args], ui.width.value,
            ui.height.value, capsys.readouterr().out) == (
        image_dpi, type(image_dpi), [(ratio, float)] if ratio else [], width, height, "")
    assert (ui.preview.src, ui.preview.left, ui.preview.top, ui.preview.updates, logic.call_args_list) == (
        (made, 0, 0, 0, [mock.call(None, True, ui.width, ui.height, ui.preview, ui.x, ui.y, ui.path)])
        if width else (None, None, None, 0, []))
    if isinstance(made, str):   # the path stays shown; the file was closed
        assert (ui.path.value, ui.path.updates, made in open_paths()) == (made, 1, False)


@pytest.mark.parametrize("name, mode, width, height, outcome", [
    ("s.jpg", "RGB", 120.9, 80.2, (120, 80)),     # fractions dropped
    ("s.gif", "P", "120", " 80 ", (120, 80)),     # text of integers, a palette
    ("s.png", "RGB", "12.5", 10, (ValueError, 223)),
    (__file__, None, 10, 10, (Image.UnidentifiedImageError, 222)),   # not an image: closed again
])
def test_generate_resized_base64_image(tmp_path, name, mode, width, height, outcome):
    path = make_image(tmp_path, name, (64, 48), mode=mode) if mode else name
    before = (tmp_path / path).read_bytes()   # path may be absolute
    if isinstance(outcome[0], type):
        with pytest.raises(outcome[0]) as excinfo:
            pdf_module.generate_resized_base64_image(path, width, height)
        assert module_entry(excinfo) == ("pdf_module.generate_resized_base64_image", outcome[1])
    else:
        text = pdf_module.generate_resized_base64_image(path, width, height)
        data = base64.b64decode(text, validate=True)   # no line breaks either
        with Image.open(path) as source:
            expected = source.resize(outcome)   # the library's default filter, no other
        picture = Image.open(io.BytesIO(data))
        assert (type(text), data[:8], picture.size, picture.convert(expected.mode).tobytes()) == (
            str, b"\x89PNG\r\n\x1a\n", outcome, expected.tobytes())
    assert path not in open_paths() and (tmp_path / path).read_bytes() == before


SIZE, SIZEB = "update_image_size", "update_image_sizeb"
INFO = "[Info] 座標の調整"
SCALE_LINE = "     スケール: 1.0000 × 縮小率: 0.6313 → 表示: 0.6313px/pt"
PATH_GONE = mock.MagicMock(**{"__bool__.side_effect": RuntimeError("path gone")})


def run_size(handler, flag, ui):
    position = (ui.x, ui.y, ui.path) if handler == SIZE else ()
    return getattr(pdf_module, handler)(None, flag, ui.width, ui.height, ui.preview, *position)


@pytest.mark.parametrize("handler", [SIZE, SIZEB])
@pytest.mark.parametrize("edits_width, ratio, width, height, new_width, new_height, printed", [
    (True, 1.5, "45", "", "45", "30", ("45.00mm x 30.00mm", "80.53px x 53.69px")),  # worked example
    (False, 1.5, "", " 20.5", "30.75", " 20.5", ("30.75mm x 20.50mm", "55.03px x 36.69px")),
    (False, 0, "9", "10", "0", "10", ("0.00mm x 10.00mm", "0.00px x 17.90px")),  # ratio 0
    (True, 1.5, "", "20", "", "20", None),    # an empty edited field: nothing at all,
    (False, 1.5, "10", "", "10", "", None),   # whatever the other field holds
    (True, 1.5, "abc", "old", "abc", "old", "could not convert string to float: 'abc'"),
    (True, 0, "10", "old", "10", "old", "float division by zero"),
    # what was done before the failure stays done: the height field, then the preview
    (True, 1.5, "10", "old", "10", "6.67", "module 'state' has no attribute 'pdf_scale_ratio'"),
    (True, 1.5, "10", "old", "10", "6.67", "module 'state' has no attribute 'image_dpi'"),
])
def test_size_fields_follow_the_ratio(state, ui, capsys, handler, edits_width, ratio, width,
                                      height, new_width, new_height, printed):
    state.original_ratio = ratio
    if "no attribute" in str(printed):   # the value the message names is missing
        delattr(state, printed.split("'")[3])
    ui.width.value, ui.height.value = width, height
    assert run_size(handler, edits_width == (handler == SIZE), ui) is None
    assert (ui.width.value, ui.height.value) == (new_width, new_height)
    out = capsys.readouterr().out
    if isinstance(printed, str):
        assert (out, ui.preview.updates, ui.preview.left) == (
            f"[ERROR] {handler}: {printed}\n", "image_dpi" in printed, None)
        return
    size = [float(v) / 25.4 * 72 * LETTER_SHRINK if printed else None for v in (new_width, new_height)]
    assert [ui.preview.width, ui.preview.height, ui.preview.updates, ui.width.updates,
            ui.height.updates] == size + [int(printed is not None)] * 3
    assert out == ("[Image寸法更新] {} (DPI: 96) → プレビュー: {}\n"
                   "     PDF縮尺: 1.0000, 縮小率: 0.6313 → 1ptあたり: 0.6313px\n".format(*printed) if printed else "")


@pytest.mark.parametrize("handler, x, y, path, at, tail", [
    # blanks allowed; division by 25.4 first: mm_to_pt(45) would put it at ...847
    (SIZE, " 45 ", "", "s.png", (80.52970651395849, 0.0),
     ["[位置更新] X: 45.0mm → 80.53px, Y: 0.0mm → 0.00px", SCALE_LINE, INFO]),
    # a position call that found no number, or failed otherwise, moves nothing
    (SIZE, "10,5", "", "s.png", (None, None), ["[ERROR] 数値変換失敗（xまたはy入力が不正）", INFO]),
    (SIZE, "10", "", PATH_GONE, (None, None), ["[ERROR] update_image_size: path gone"]),
    (SIZEB, "10", "20", "s.png", (None, None), []),    # never moves the preview
])
def test_size_handlers_position_step(state, ui, capsys, handler, x, y, path, at, tail):
    ui.width.value = ui.height.value = "15"
    ui.path.value, ui.x.value, ui.y.value = path, x, y
    run_size(handler, handler == SIZE, ui)
    assert capsys.readouterr().out.splitlines()[2:] == tail
    assert (ui.preview.left, ui.preview.top, ui.preview.updates) == (*at, 1 + (at != (None, None)))
