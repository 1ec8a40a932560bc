import sys
import threading

import pytest

pdf_module = pytest.importorskip("pdf_module")  # the module's position step is the reference
from conftest import Field, FilePickerResult, ImageControl  # noqa: E402
from pdf_stamp.window import placing  # noqa: E402
from pdf_stamp.window.context import WindowContext  # noqa: E402


@pytest.mark.parametrize("x_mm, px_per_pt", [(0, 1.25), (20, 1.25), (105.5, 0.5939), (297, 2.0)])
def test_pixels_convert_back_to_the_typed_millimetres(state, x_mm, px_per_pt):
    state.pdf_scale_ratio, state.shrink_scale = px_per_pt, 1.0
    preview = ImageControl()
    pdf_module.update_image_position(Field(str(x_mm)), Field("0"), preview, Field("stamp.png"))
    assert placing.mm_text(placing.px_to_mm(preview.left, px_per_pt)) == f"{x_mm:.1f}"


@pytest.mark.parametrize("start, moved, size, bounds, expected", [
    ((10, 10), (15.5, -4), (50, 20), (500, 300), (25.5, 6)),
    ((10, 10), (-40, -40), (50, 20), (500, 300), (0, 0)),  # kept on the page
    ((400, 250), (200, 200), (50, 20), (500, 300), (450, 280)),
    ((0, 0), (30, 30), (600, 20), (500, 300), (0, 30)),  # wider than the page: stays at its left
])
def test_a_drag_keeps_the_stamp_on_the_page(start, moved, size, bounds, expected):
    assert placing.dragged(start, moved, size, bounds) == pytest.approx(expected)


@pytest.mark.parametrize("key, shift, position, expected", [
    ("Arrow Left", False, (10, 10), (9.5, 10)),
    ("Arrow Up", True, (10, 3), (10, 0)),  # kept on the page
    ("Arrow Right", True, (165, 0), (170, 0)),  # 210 mm page, 40 mm stamp: 170 at most
    ("Arrow Right", False, (10.04, 0), (10.5, 0)),
    ("Page Down", False, (10, 10), None),
])
def test_arrow_keys_nudge_within_the_page(key, shift, position, expected):
    assert placing.nudge(key, shift, position, (40, 20), (210, 297)) == expected


@pytest.mark.parametrize("box, expected", [
    ((-0.05, 0, 40, 20), None),  # within the fields' one decimal
    ((180, 280, 220, 300), "partly"), ((-40, 10, 0, 30), "wholly"),  # touching shows nothing
    ((10, 10, float("nan"), 30), "wholly"),
])
def test_a_stamp_off_the_page_is_told_apart(box, expected):
    assert placing.off_page(box, (210, 297)) == expected


def test_overlapping_handlers_keep_their_own_output(state, page):
    # flet runs handlers on threads: one's error line must not reach the other,
    # and standard output must outlive both.
    state.pdf_scale_ratio = state.shrink_scale = state.original_ratio = 1.0
    ctx, wrong = WindowContext(page, None, None, pdf_module), []

    def handler(error):
        for _ in range(150):
            if error:
                _, printed = ctx.call(pdf_module.select_pdf, FilePickerResult("missing.pdf"), Field(), Field("1"),
                                      ImageControl(), lambda *a: None, *(Field() for _ in range(3)),
                                      ImageControl(), Field(), Field())
            else:
                _, printed = ctx.call(pdf_module.update_image_position, Field("10"), Field("0"), ImageControl(),
                                      Field("stamp.png"))
            wrong.extend(line for line in printed.splitlines() if line.startswith("[ERROR]") != error
                         and not line.startswith("     "))

    threads = [threading.Thread(target=handler, args=(error,)) for error in (True, False, True, False)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == [] and sys.stdout is ctx.output
    print("still writable")
