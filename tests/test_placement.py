"""Anchors and natural size: where the stamp lands as drawn, found in the
rendered result on pages of different sizes and rotations, and the size
fields as the window's handlers fill them."""

import fitz
import pytest
from PIL import Image

import pdf_module
from conftest import Field, FilePickerResult, ImageControl
from pdf_stamp.job import StampJob
from pdf_stamp.sizing import complete_size, natural_size
from pdf_stamp.stamping import stamp_file
from stamping import QUADRANTS, find_stamp, make_document, make_stamp

PT_PER_MM = 72 / 25.4
# (width, height, rotation) in points: portrait, landscape, and turned pages
# whose displayed size differs from their unrotated one.
PAGES = ((595, 842, 0), (842, 595, 0), (595, 842, 90), (612, 792, 270), (420, 595, 180))


def expected_box(anchor, margin, page_w, page_h, drawn_w, drawn_h):
    """The drawn stamp's box in points of the displayed page, worked out from
    the anchor's meaning rather than from the library's formula."""
    column = {"left": margin, "right": page_w - margin - drawn_w}
    row = {"top": margin, "bottom": page_h - margin - drawn_h}
    x0 = next((v for k, v in column.items() if anchor.endswith(k)), (page_w - drawn_w) / 2)
    y0 = next((v for k, v in row.items() if anchor.startswith(k)), (page_h - drawn_h) / 2)
    return x0, y0, x0 + drawn_w, y0 + drawn_h


@pytest.mark.parametrize("anchor, margin, box, drawn", [
    # a box wider than the image: the drawn stamp is 15 x 20 mm, centred in the box
    ("top-left", 15, ("30", "20"), (15, 20)),
    ("top", 15, ("30", "20"), (15, 20)),
    ("top-right", 15, ("30", "20"), (15, 20)),
    ("left", 5, ("30", "20"), (15, 20)),
    ("centre", 0, ("30", "20"), (15, 20)),
    ("right", 5, ("30", "20"), (15, 20)),
    # a box taller than the image: the drawn stamp is 12 x 16 mm
    ("bottom-left", 15, ("12", "40"), (12, 16)),
    ("bottom", 15, ("12", "40"), (12, 16)),
    ("bottom-right", 15, ("12", "40"), (12, 16)),
    # natural size (60 x 80 px at 72 dpi) and one side given
    ("bottom-right", 10, (None, None), (21.17, 28.22)),
    ("top-left", 10, ("18", None), (18, 24)),
])
def test_drawn_stamp_sits_at_the_margin(tmp_path, anchor, margin, box, drawn):
    source = make_document(tmp_path / "in.pdf", PAGES)
    job = StampJob(image=make_stamp(tmp_path / "stamp.png"), width=box[0], height=box[1],
                   anchor=anchor, margin=margin, pages="all", out_dir=str(tmp_path))
    result = stamp_file(job, source)
    assert result.ok, result.error
    assert result.pages_stamped == [1, 2, 3, 4, 5]
    drawn_w, drawn_h = (v * PT_PER_MM for v in drawn)
    places = set()
    with fitz.open(source) as before_doc, fitz.open(result.result) as after_doc:
        for before, after in zip(before_doc, after_doc):
            found, colours = find_stamp(before, after)
            wanted = expected_box(anchor, margin * PT_PER_MM, *before.rect[2:], drawn_w, drawn_h)
            assert all(abs(a - b) <= 1.5 for a, b in zip(found, wanted)), (after.number, found, wanted)
            assert colours == list(QUADRANTS)  # upright on every page
            places.add(tuple(round(v, 3) for v in wanted[:2]))
        # One pass per place: the image is stored once per pass at most (a
        # copy compressed by an earlier pass's save is not merged with a
        # freshly inserted one).
        assert len({i[0] for page in after_doc for i in page.get_images()}) <= len(places)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.pdf", "in_stamped.pdf", "stamp.png"]


class Ratio:
    def __init__(self, state):
        self.state = state

    def __call__(self, ratio):
        self.state.original_ratio = ratio


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
                            Ratio(state), position, position)
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
