import pytest
from PIL import Image

import pdf_module
from conftest import Field, FilePickerResult, ImageControl
from pdf_stamp.placement import anchor_position, drawn_rect
from pdf_stamp.sizing import complete_size, natural_size
from stamping import make_stamp

PT_PER_MM = 72 / 25.4
PAGES = ((595, 842, 0), (842, 595, 0), (595, 842, 90), (612, 792, 270), (420, 595, 180))


def expected_box(anchor, margin, page_w, page_h, drawn_w, drawn_h):
    # worked out from the anchor's meaning, not from the library's formula
    column = {"left": margin, "right": page_w - margin - drawn_w}
    row = {"top": margin, "bottom": page_h - margin - drawn_h}
    x0 = next((v for k, v in column.items() if anchor.endswith(k)), (page_w - drawn_w) / 2)
    y0 = next((v for k, v in row.items() if anchor.startswith(k)), (page_h - drawn_h) / 2)
    return x0, y0, x0 + drawn_w, y0 + drawn_h


@pytest.mark.parametrize("anchor, margin, box, drawn", [
    # a box wider than the image: drawn 15 x 20 mm; a taller one: 12 x 16 mm
    *[(anchor, margin, ("30", "20"), (15, 20)) for anchor, margin in [
        ("top-left", 15), ("top", 15), ("top-right", 15), ("left", 5), ("centre", 0), ("right", 5)]],
    *[(anchor, 15, ("12", "40"), (12, 16)) for anchor in ("bottom-left", "bottom", "bottom-right")],
    # natural size (60 x 80 px at 72 dpi) and one side given
    ("bottom-right", 10, (None, None), (21.17, 28.22)),
    ("top-left", 10, ("18", None), (18, 24)),
])
def test_drawn_stamp_sits_at_the_margin(tmp_path, anchor, margin, box, drawn):
    image = make_stamp(tmp_path / "stamp.png")
    width, height = map(float, complete_size(image, *box))
    ratio = natural_size(image).pixel_ratio
    for page_w, page_h in {(w / PT_PER_MM, h / PT_PER_MM) for w, h, _ in PAGES}:
        x, y = anchor_position(anchor, margin, page_w, page_h, width, height, ratio)
        found = drawn_rect(x, y, width, height, ratio)
        wanted = expected_box(anchor, margin, page_w, page_h, *drawn)
        assert all(abs(a - b) <= 0.02 for a, b in zip(found, wanted)), (found, wanted)


@pytest.mark.parametrize("size, dpi, form, typed", [
    ((600, 300), (300, 300), "PNG", [("45", None), (None, "20.5"), ("10", None)]),
    ((100, 100), None, "PNG", [("7", None), (None, "33.333")]),
    ((1, 3), (72, 72), "PNG", [("10", None), (None, "10")]),  # ratio from rounded mm
    ((97, 13), (96, 300), "JPEG", [("30.12", None), (None, "4")]),  # horizontal dpi only
    ((1234, 567), (299.9994, 299.9994), "PNG", [("25", None), (None, "12.5")]),
])
def test_sizes_agree_with_the_window_fields(tmp_path, state, capsys, size, dpi, form, typed):
    path = tmp_path / f"stamp.{form.lower()}"
    Image.new("RGB", size, "red").save(path, form, **({"dpi": dpi} if dpi else {}))
    state.pdf_scale_ratio, state.shrink_scale = 1.0, 0.6
    width, height, preview, position = Field(), Field(), ImageControl(), Field()
    pdf_module.select_image(FilePickerResult(str(path)), Field(), width, height, preview,
                            lambda r: setattr(state, "original_ratio", r), position, position)
    assert complete_size(path) == (width.value, height.value)
    assert natural_size(path).ratio == state.original_ratio
    for typed_width, typed_height in typed:
        if typed_width is not None:
            width.value = typed_width
            pdf_module.update_image_size(None, True, width, height, preview, position, position,
                                         Field())
        else:
            height.value = typed_height
            pdf_module.update_image_sizeb(None, True, width, height, preview)
        assert complete_size(path, typed_width, typed_height) == (width.value, height.value)
