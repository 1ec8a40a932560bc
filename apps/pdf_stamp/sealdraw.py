"""Seals drawn from text: a date seal (a ring, two lines, a department, the
date and a name) and a name seal (a surname written top to bottom in a
ring), drawn as vectors with PyMuPDF's built-in Japanese font and rendered to
a transparent PNG that is stamped like any image."""

import dataclasses
import datetime
import functools
import io
import math
import re

from PIL import Image, ImageColor

from .exceptions import UsageError
from .i18n import _

VERMILION = "#d9382b"  # close to how 朱肉 prints on office paper
DATE_SEAL_MM = 15.0
NAME_SEAL_MM = 10.5
MIN_TEXT_PT = 5.0  # the smallest text a seal may carry at its printed size
MAX_MM = 100  # a larger seal would be drawn at 600 dpi into a picture of gigabytes
SQUEEZE = 0.7  # the narrowest a text may be drawn to keep it at MIN_TEXT_PT
DPI = 600
PT_PER_MM = 72 / 25.4
STYLES = ("western", "short", "era", "era-kanji")
ERAS = (  # (first day, letter, name), newest first
    (datetime.date(2019, 5, 1), "R", "令和"),
    (datetime.date(1989, 1, 8), "H", "平成"),
    (datetime.date(1926, 12, 25), "S", "昭和"),
)


class SealError(UsageError):
    """A seal that cannot be drawn as asked; nothing is written."""


@dataclasses.dataclass(frozen=True)
class DateSeal:
    top: str
    bottom: str
    date: datetime.date
    style: str = "western"
    color: str = VERMILION
    default_mm = DATE_SEAL_MM


@dataclasses.dataclass(frozen=True)
class NameSeal:
    name: str
    color: str = VERMILION
    default_mm = NAME_SEAL_MM


def parse_date(text):
    """A date from YYYY-MM-DD; raises SealError for any other form or a day
    that does not exist."""
    match = re.fullmatch(r"(\d{4})-(\d{2})-(\d{2})", text.strip())
    if not match:
        raise SealError(_("The date must be written YYYY-MM-DD: {text}").format(text=text))
    try:
        return datetime.date(*map(int, match.groups()))
    except ValueError:
        raise SealError(_("This date does not exist: {text}").format(text=text)) from None


def parse_color(text):
    """An (r, g, b) triple of 0..1 from a colour name or #RRGGBB."""
    try:
        rgb = ImageColor.getrgb(text.strip())
    except (ValueError, AttributeError):
        raise SealError(_("Unknown colour: {text}").format(text=text)) from None
    return tuple(v / 255 for v in rgb[:3])


def era_of(date):
    """(letter, name, year of the era) of a date; SealError before Showa."""
    for start, letter, name in ERAS:
        if date >= start:
            return letter, name, date.year - start.year + 1
    raise SealError(_("Dates before 1926-12-25 cannot be written in an era: {date}")
                    .format(date=date.isoformat()))


def date_text(date, style):
    """The middle band's text: western 2026.12.07, short '26.12.07, era
    R8.12.07, era-kanji 令和8年12月7日 (元年 for an era's first year)."""
    if style == "western":
        return f"{date.year}.{date.month:02}.{date.day:02}"
    if style == "short":
        return f"'{date.year % 100:02}.{date.month:02}.{date.day:02}"
    letter, name, year = era_of(date)
    if style == "era":
        return f"{letter}{year}.{date.month:02}.{date.day:02}"
    if style == "era-kanji":
        return f"{name}{'元' if year == 1 else year}年{date.month}月{date.day}日"
    raise SealError(_("Unknown date style: {style}").format(style=style))


@functools.cache
def _font():
    import fitz

    return fitz.Font("japan")


_GLYPH_INK = {}  # character -> the box its glyph covers at size 1, or None for a blank


def _measure(chars):
    """Finds the ink boxes of `chars` by drawing them large, side by side in
    cells of their own, on one scratch page: the font's metrics only give
    the em box."""
    import fitz

    size, cell = 100, 200
    with fitz.open() as doc:
        page = doc.new_page(width=cell * len(chars), height=cell)
        writer = fitz.TextWriter(page.rect)
        for index, char in enumerate(chars):
            writer.append((index * cell + 50, 150), char, font=_font(), fontsize=size)
        writer.write_text(page)
        pix = page.get_pixmap(colorspace=fitz.csGRAY)
    drawn = Image.frombytes("L", (pix.width, pix.height), pix.samples).point(lambda v: 255 - v)
    for index, char in enumerate(chars):
        box = drawn.crop((index * cell, 0, (index + 1) * cell, cell)).getbbox()
        _GLYPH_INK[char] = None if box is None else (
            (box[0] - 1 - 50) / size, (box[1] - 1 - 150) / size,
            (box[2] + 1 - 50) / size, (box[3] + 1 - 150) / size)


def ink(text):
    """The box (x0, y0, x1, y1) that `text`'s glyphs cover at a font size
    of 1, from the start of its baseline (y grows downwards)."""
    missing = sorted(set(text) - set(_GLYPH_INK))
    for char in missing:
        if not char.isspace() and not _font().has_glyph(ord(char)):
            raise SealError(_("The seal font has no \"{char}\" (U+{code:04X}); write it "
                              "another way").format(char=char, code=ord(char)))
    if missing:
        _measure(missing)
    boxes, start = [], 0.0
    for char in text:
        box = _GLYPH_INK[char]
        if box is not None:
            boxes.append((start + box[0], box[1], start + box[2], box[3]))
        start += _font().text_length(char, fontsize=1)
    if not boxes:
        raise SealError(_("A seal text is empty"))
    return (min(b[0] for b in boxes), min(b[1] for b in boxes),
            max(b[2] for b in boxes), max(b[3] for b in boxes))


@dataclasses.dataclass(frozen=True)
class _Line:
    text: str
    size: float  # font size in pt
    x: float  # baseline start, pt from the seal's centre
    y: float
    squeeze: float  # drawn this much narrower, about the seal's vertical axis


class _Layout:
    """Where the ring, the lines and each text go, in pt from the centre of
    a seal `mm` across; every text is the largest that keeps the box its
    glyphs cover inside the ring (and the date between the lines)."""

    def __init__(self, seal, mm):
        if not 0 < mm <= MAX_MM:  # also refuses NaN
            raise SealError(_("A seal is more than 0 and at most {mm} mm across")
                            .format(mm=MAX_MM))
        self.radius = mm * PT_PER_MM / 2
        self.ring = max(0.5, self.radius * 0.07)
        self.room = self.radius - self.ring * 1.9  # text stays inside this circle
        self.rule = 0.0  # half the distance between the date seal's lines
        self.lines = []
        if isinstance(seal, DateSeal):
            self._date_seal(seal)
        else:
            self._name_seal(seal.name)

    def _fit(self, text, fits, width, height, largest):
        """(size, squeeze): the largest size up to `largest` at which
        fits(half width, height) holds for a box `width` x `height` em; a
        text that would fall below MIN_TEXT_PT is drawn narrower (down to
        SQUEEZE of its width) at that size instead, or refused."""
        def best(squeeze):
            low, high = 0.0, largest
            for _step in range(30):
                middle = (low + high) / 2
                if fits(width * squeeze * middle / 2, height * middle):
                    low = middle
                else:
                    high = middle
            return low

        if best(1.0) >= MIN_TEXT_PT:
            return best(1.0), 1.0
        if best(SQUEEZE) < MIN_TEXT_PT:
            raise SealError(_("\"{text}\" does not fit in the seal at a readable size "
                              "(at least {pt} pt); shorten it or make the seal larger")
                            .format(text=text, pt=MIN_TEXT_PT))
        narrow, wide = SQUEEZE, 1.0
        for _step in range(20):
            middle = (narrow + wide) / 2
            narrow, wide = (middle, wide) if best(middle) >= MIN_TEXT_PT else (narrow, middle)
        return best(narrow), narrow

    def _inside(self, half_width, far_y):
        return half_width ** 2 + far_y ** 2 <= self.room ** 2

    def _date_seal(self, seal):
        self.rule = self.room * 0.34
        gap = self.ring * 0.8  # between a line and the text beside it
        near = self.rule + gap
        middle = date_text(seal.date, seal.style)
        x0, y0, x1, y1 = ink(_text(middle))
        size, squeeze = self._fit(
            middle, lambda w, h: h / 2 <= near - 2 * gap and self._inside(w, h / 2),
            x1 - x0, y1 - y0, self.room)
        self._place(middle, size, -(x0 + x1) / 2, -(y0 + y1) / 2, squeeze)
        for text, sign in ((seal.top, -1), (seal.bottom, 1)):
            x0, y0, x1, y1 = ink(_text(text))
            size, squeeze = self._fit(
                text, lambda w, h: h <= self.room * 0.4 and self._inside(w, near + h),
                x1 - x0, y1 - y0, self.room)
            # the top text stands on the upper line, the bottom one hangs from the lower
            self._place(text, size, -(x0 + x1) / 2,
                        -near / size - y1 if sign < 0 else near / size - y0, squeeze)

    def _name_seal(self, name):
        chars = list(_text(name).strip())
        if not 1 <= len(chars) <= 4:
            raise SealError(_("A name seal holds 1 to 4 characters: {name}").format(name=name))
        boxes = [ink(char) for char in chars]
        spacing = 0.08  # em between one character's glyph and the next
        width = max(x1 - x0 for x0, _y0, x1, _y1 in boxes)
        height = sum(y1 - y0 for _x0, y0, _x1, y1 in boxes) + spacing * (len(chars) - 1)
        size, _squeeze = self._fit(name, lambda w, h: self._inside(w, h / 2), width, height,
                                   self.room * 2)  # characters are not squeezed: too few
        top = -height / 2
        for char, (x0, y0, x1, y1) in zip(chars, boxes):
            self._place(char, size, -(x0 + x1) / 2, top - y0)
            top += y1 - y0 + spacing

    def _place(self, text, size, x, baseline, squeeze=1.0):
        """`text` at `size` from (x, baseline), given in em, drawn `squeeze`
        as wide about the seal's vertical axis."""
        self.lines.append(_Line(text, size, x * size, baseline * size, squeeze))


def _text(text):
    if not isinstance(text, str) or not text.strip():
        raise SealError(_("A seal text is empty"))
    return text


def check(seal, mm=None):
    """Raises SealError when `seal` cannot be drawn `mm` across (default:
    its usual size); draws nothing."""
    _Layout(seal, seal.default_mm if mm is None else mm)


def render(seal, path, mm=None, ring=True):
    """Writes the seal as a PNG with transparent corners at DPI or more for
    its printed size `mm` (the recorded resolution gives that size back);
    `ring=False` leaves out the ring and the lines. Returns `path`."""
    data = _png(seal, seal.default_mm if mm is None else float(mm), ring)
    with open(path, "xb") as file:
        file.write(data)
    return path


@functools.lru_cache(maxsize=8)  # a batch stamps the same seal into every file
def _png(seal, mm, ring):
    import fitz

    layout = _Layout(seal, mm)
    color = parse_color(seal.color)
    side = 2 * layout.radius
    pixels = math.ceil(mm / 25.4 * DPI)
    with fitz.open() as doc:
        page = doc.new_page(width=side, height=side)
        centre = fitz.Point(layout.radius, layout.radius)
        if ring:
            shape = page.new_shape()
            shape.draw_circle(centre, layout.radius - layout.ring / 2)
            shape.finish(color=color, width=layout.ring)
            if layout.rule:
                reach = math.sqrt((layout.radius - layout.ring / 2) ** 2 - layout.rule ** 2)
                for y in (-layout.rule, layout.rule):
                    shape.draw_line(centre + (-reach, y), centre + (reach, y))
                shape.finish(color=color, width=layout.ring * 0.6)
            shape.commit()
        for line in layout.lines:
            writer = fitz.TextWriter(page.rect, color=color)
            writer.append(centre + (line.x, line.y), line.text, font=_font(), fontsize=line.size)
            writer.write_text(page, morph=(centre, fitz.Matrix(line.squeeze, 1)))
        zoom = pixels / side
        pix = page.get_pixmap(matrix=fitz.Matrix(zoom, zoom), alpha=True)
    image = Image.frombytes("RGBa", (pix.width, pix.height), pix.samples).convert("RGBA")
    dpi = pix.width / mm * 25.4
    data = io.BytesIO()
    image.save(data, format="PNG", dpi=(dpi, dpi), compress_level=1)
    return data.getvalue()
