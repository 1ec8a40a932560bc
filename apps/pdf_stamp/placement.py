"""Anchors: the x and y that put the stamp, as process_pdf draws it, at a
margin from a page's corner or edge, on the page as displayed."""

ANCHORS = ("top-left", "top", "top-right", "left", "centre", "right",
           "bottom-left", "bottom", "bottom-right")
MM_PER_PT = 25.4 / 72


def displayed_size_mm(page):
    """The fitz page's size as displayed (rotation and crop box included), in mm."""
    return page.rect.width * MM_PER_PT, page.rect.height * MM_PER_PT


def drawn_size(box_w_mm, box_h_mm, ratio):
    """The stamp as process_pdf draws it: an image of proportions `ratio`
    (width / height) fitted into the box, centred in it."""
    if box_w_mm / box_h_mm > ratio:
        return box_h_mm * ratio, box_h_mm
    return box_w_mm, box_w_mm / ratio


def _start(side, margin, page, drawn):
    """Where the drawn stamp starts along one axis: at the margin from the
    near edge (-1), centred (0), or at the margin from the far edge (1)."""
    return {-1: margin, 0: (page - drawn) / 2, 1: page - margin - drawn}[side]


def anchor_position(anchor, margin_mm, page_w_mm, page_h_mm, box_w_mm, box_h_mm, ratio):
    """The box's top-left corner (x, y in mm, as process_pdf takes them) that
    puts the drawn stamp `margin_mm` from the anchor's edges."""
    if anchor not in ANCHORS:
        raise ValueError(f"unknown anchor {anchor!r}")
    vertical = -1 if anchor.startswith("top") else 1 if anchor.startswith("bottom") else 0
    horizontal = -1 if anchor.endswith("left") else 1 if anchor.endswith("right") else 0
    drawn_w, drawn_h = drawn_size(box_w_mm, box_h_mm, ratio)
    x = _start(horizontal, margin_mm, page_w_mm, drawn_w) - (box_w_mm - drawn_w) / 2
    y = _start(vertical, margin_mm, page_h_mm, drawn_h) - (box_h_mm - drawn_h) / 2
    return x, y
