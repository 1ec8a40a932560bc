"""Arithmetic of placing the stamp with the pointer and the keyboard, apart from
the controls: the preview works in preview pixels, the fields in millimetres."""

MM_PER_INCH = 25.4
PT_PER_INCH = 72

# Arrow keys as flet names them, with the direction they move the stamp.
ARROWS = {"Arrow Left": (-1, 0), "Arrow Right": (1, 0), "Arrow Up": (0, -1), "Arrow Down": (0, 1)}
NUDGE_MM, BIG_NUDGE_MM = 0.5, 5.0


def px_to_mm(px, px_per_pt):
    """Preview pixels to millimetres, the inverse of the module's position step
    (mm / 25.4 * 72 * pixels per point)."""
    return px / px_per_pt / PT_PER_INCH * MM_PER_INCH


def mm_text(mm):
    """A millimetre value as the position fields show it after a drag or a nudge:
    one decimal."""
    return f"{mm:.1f}"


def contains(box, x, y, slack=2):
    """Whether the point lies on the box (left, top, width, height), with a few
    pixels of slack for the anti-aliased edge."""
    left, top, width, height = box
    return left - slack <= x <= left + width + slack and top - slack <= y <= top + height + slack


def clamp(value, low, high):
    """`value` kept within low…high; `low` wins when the range is empty (a stamp
    larger than the page stays at the page's top-left corner)."""
    return max(low, min(value, high))


def dragged(start, moved, size, bounds):
    """The box's top-left corner after a drag by `moved` (dx, dy) from `start`,
    kept within a page of `bounds` (width, height) for a box of `size`."""
    return tuple(clamp(s + m, 0, b - z) for s, m, z, b in zip(start, moved, size, bounds))


def nudge(key, shift, position, size, page):
    """The position (mm) after an arrow key: 0.5 mm, or 5 mm with Shift, kept
    within the page (width, height in mm) for a box of `size` (mm). None for a
    key that is not an arrow."""
    if key not in ARROWS:
        return None
    step = BIG_NUDGE_MM if shift else NUDGE_MM
    return tuple(clamp(round(p + d * step, 1), 0, max(0.0, round(extent - z, 1)))
                 for p, d, z, extent in zip(position, ARROWS[key], size, page))


def off_page(box, page, slack=0.1):
    """Whether the box (left, top, right, bottom in mm) lies "wholly" or "partly"
    off a page of `page` (width, height in mm), or None when it lies on it.
    The slack absorbs the fields' one decimal."""
    left, top, right, bottom = box
    width, height = page
    if right <= slack or bottom <= slack or left >= width - slack or top >= height - slack:
        return "wholly"
    if left < -slack or top < -slack or right > width + slack or bottom > height + slack:
        return "partly"
    return None
