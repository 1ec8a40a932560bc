"""Anchors and where a stamp lands: the x and y that put the stamp, as
process_pdf draws it, at a margin from a page's corner or edge, and whether a
stamp drawn in a box stays on the page as displayed."""

ANCHORS = ("top-left", "top", "top-right", "left", "centre", "right",
           "bottom-left", "bottom", "bottom-right")
MM_PER_PT = 25.4 / 72
TOLERANCE_PT = 0.5  # how far a drawn stamp may lie from where it was asked for

# How much of a drawn stamp the page shows (see on_page).
INSIDE, PARTLY_OUTSIDE, OUTSIDE = "inside", "partly-outside", "outside"


def displayed_size_mm(page):
    """The fitz page's size as displayed (rotation and crop box included), in mm."""
    return page.rect.width * MM_PER_PT, page.rect.height * MM_PER_PT


def drawn_size(box_w_mm, box_h_mm, ratio):
    """The stamp as process_pdf draws it: an image of proportions `ratio`
    (width / height) fitted into the box, centred in it."""
    if box_w_mm / box_h_mm > ratio:
        return box_h_mm * ratio, box_h_mm
    return box_w_mm, box_w_mm / ratio


def drawn_rect(x, y, box_w, box_h, ratio):
    """(x0, y0, x1, y1) of the stamp drawn in the box whose top-left corner is
    (x, y): the image fitted into the box and centred, in the box's unit."""
    drawn_w, drawn_h = drawn_size(box_w, box_h, ratio)
    x0, y0 = x + (box_w - drawn_w) / 2, y + (box_h - drawn_h) / 2
    return x0, y0, x0 + drawn_w, y0 + drawn_h


def on_page(rect, page_w, page_h, tolerance=0.0):
    """INSIDE, PARTLY_OUTSIDE or OUTSIDE: how `rect` (x0, y0, x1, y1) lies on
    a displayed page of `page_w` x `page_h` whose top-left corner is (0, 0),
    all in one unit. A stamp that only touches an edge, or shows less than
    `tolerance` of itself, is outside; one that oversteps an edge by no more
    than `tolerance` is inside."""
    x0, y0, x1, y1 = rect
    shown_w = min(x1, page_w) - max(x0, 0)
    shown_h = min(y1, page_h) - max(y0, 0)
    if not (shown_w > tolerance and shown_h > tolerance):  # NaN counts as outside
        return OUTSIDE
    if x0 < -tolerance or y0 < -tolerance or x1 > page_w + tolerance or y1 > page_h + tolerance:
        return PARTLY_OUTSIDE
    return INSIDE


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
