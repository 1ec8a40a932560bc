"""Marks files: several stamps applied in turn in one run.

A marks file (TOML) holds [[mark]] tables, each stamped by its own pass on
the previous pass's output:

    [[mark]]
    image = "approved.png"          # relative to the marks file; or
    # date_seal = { top = "経理部", bottom = "山田", date = 2026-12-07, style = "era" }
    # name_seal = "山田"
    pages = "last"                  # page rules, and/or every = N
    anchor = "bottom-right"         # with margin = MM; or x = MM, y = MM
    width = 15                      # and/or height, in mm
    rotate = 10                     # degrees, counter-clockwise
    opacity = 0.9
    white_to_transparent = true     # or a tolerance 0-255
    color = "#d9382b"               # of a generated seal
    sign = true                     # with --sign: this mark is the signature's appearance
"""

import datetime
import math
import os
import tomllib

from . import sealdraw
from .exceptions import BadPageRule, UsageError
from .i18n import _
from .job import StampJob
from .pages import parse_rules
from .placement import ANCHORS
from .seal import DEFAULT_TOLERANCE, image_problem

KEYS = ("image", "date_seal", "name_seal", "pages", "every", "x", "y", "anchor", "margin",
        "width", "height", "rotate", "opacity", "white_to_transparent", "color", "sign")
DATE_SEAL_KEYS = ("top", "bottom", "date", "style")


class MarksError(UsageError):
    """A marks file that cannot be used; names the mark and the key."""


def load_marks(path):
    """The marks of the file at `path`, as StampJobs in order; raises
    MarksError naming the mark (counted from 1) and the key at fault."""
    try:
        with open(path, "rb") as file:
            table = tomllib.load(file)
    except OSError as error:
        raise MarksError(_("Cannot read the marks file {path}: {error}")
                         .format(path=path, error=error.strerror or error)) from None
    except tomllib.TOMLDecodeError as error:
        raise MarksError(_("The marks file {path} is not valid TOML: {error}")
                         .format(path=path, error=error)) from None
    extra = sorted(set(table) - {"mark"})
    if extra:
        raise MarksError(_("{path}: unknown key \"{key}\" (use [[mark]] tables)")
                         .format(path=path, key=extra[0]))
    marks = table.get("mark")
    if not isinstance(marks, list) or not marks:
        raise MarksError(_("{path}: no [[mark]] table").format(path=path))
    base = os.path.dirname(os.path.abspath(path))
    jobs = tuple(_Reader(path, number, entry, base).job() for number, entry in enumerate(marks, 1))
    flagged = [number for number, mark in enumerate(jobs, 1) if mark.sign]
    if len(flagged) > 1:
        raise MarksError(_("{path}: mark {number}, key \"sign\": only one mark can be the "
                           "signature").format(path=path, number=flagged[1]))
    return jobs


class _Reader:
    """Checks one [[mark]] table and makes its StampJob."""

    def __init__(self, path, number, entry, base):
        self.path, self.number, self.entry, self.base = path, number, entry, base

    def fail(self, key, problem):
        raise MarksError(_("{path}: mark {number}, key \"{key}\": {problem}").format(
            path=self.path, number=self.number, key=key, problem=problem))

    def number_of(self, key, low=None, high=None, above=None, default=None):
        value = self.entry.get(key, default)
        if value is None or value is default:
            return value
        if isinstance(value, bool) or not isinstance(value, (int, float)) \
                or not math.isfinite(value) or (low is not None and value < low) \
                or (high is not None and value > high) or (above is not None and value <= above):
            self.fail(key, _("not a number in range: {value!r}").format(value=value))
        return value

    def text_of(self, key, table=None):
        value = (self.entry if table is None else table).get(key)
        if value is not None and not isinstance(value, str):
            self.fail(key, _("not a text: {value!r}").format(value=value))
        return value

    def job(self):
        if not isinstance(self.entry, dict):
            self.fail("mark", _("not a table"))
        for key in self.entry:
            if key not in KEYS:
                self.fail(key, _("unknown key"))
        sources = [k for k in ("image", "date_seal", "name_seal") if k in self.entry]
        if len(sources) != 1:
            self.fail("image", _("give exactly one of image, date_seal and name_seal"))
        if ("anchor" in self.entry) == ("x" in self.entry or "y" in self.entry):
            self.fail("anchor", _("give x and y, or an anchor"))
        if "anchor" in self.entry and self.entry["anchor"] not in ANCHORS:
            self.fail("anchor", _("one of {anchors}").format(anchors=", ".join(ANCHORS)))
        if "anchor" not in self.entry and ("x" not in self.entry or "y" not in self.entry):
            self.fail("y" if "x" in self.entry else "x", _("missing"))
        pages = self.text_of("pages") or ""
        try:
            parse_rules(pages)
        except BadPageRule as error:
            self.fail("pages", str(error))
        every = self.number_of("every", low=1)
        if every is not None and not isinstance(every, int):
            self.fail("every", _("not a whole number: {value!r}").format(value=every))
        width, height = (self.number_of(key, above=0) for key in ("width", "height"))
        tolerance = self.entry.get("white_to_transparent", False)
        if tolerance is True:
            tolerance = DEFAULT_TOLERANCE
        elif tolerance is not False:
            tolerance = self.number_of("white_to_transparent", low=0, high=255)
            if not isinstance(tolerance, int):
                self.fail("white_to_transparent", _("true, false or a tolerance 0-255"))
        mark = StampJob(
            image=self.image(), seal=self.seal(width, height), pages=pages,
            every="" if every is None else str(every), anchor=self.entry.get("anchor"),
            x=_mm(self.number_of("x")), y=_mm(self.number_of("y")),
            margin=self.number_of("margin", low=0, default=10.0),
            width=_mm(width), height=_mm(height),
            rotate=self.number_of("rotate", low=-180, high=180, default=0.0),
            opacity=self.number_of("opacity", low=0, high=1, default=1.0),
            white_to_transparent=tolerance is not False,
            tolerance=DEFAULT_TOLERANCE if tolerance is False else tolerance,
            sign=self.entry.get("sign", False))
        if not isinstance(mark.sign, bool):
            self.fail("sign", _("true or false"))
        if not pages.strip() and every is None:
            self.fail("pages", _("give pages or every: which pages to stamp"))
        return mark

    def image(self):
        name = self.text_of("image")
        if name is None:
            return None
        path = os.path.join(self.base, name)
        problem = image_problem(path)
        if problem:
            self.fail("image", problem)
        return path

    def seal(self, width, height):
        color = self.text_of("color") or sealdraw.VERMILION
        try:
            sealdraw.parse_color(color)
            if "name_seal" in self.entry:
                seal = sealdraw.NameSeal(self.text_of("name_seal") or "", color)
            elif "date_seal" in self.entry:
                seal = self.date_seal(color)
            else:
                return None
            size = width if width is not None else height
            sealdraw.check(seal, None if size is None else float(size))
        except sealdraw.SealError as error:
            self.fail(next(k for k in ("name_seal", "date_seal", "color") if k in self.entry),
                      str(error))
        return seal

    def date_seal(self, color):
        table = self.entry["date_seal"]
        if not isinstance(table, dict):
            self.fail("date_seal", _("not a table"))
        for key in table:
            if key not in DATE_SEAL_KEYS:
                self.fail(f"date_seal.{key}", _("unknown key"))
        texts = [self.text_of(key, table) for key in ("top", "bottom")]
        if not all(texts):
            self.fail("date_seal.top" if not texts[0] else "date_seal.bottom", _("missing"))
        date = table.get("date", datetime.date.today())
        if isinstance(date, str):
            try:
                date = sealdraw.parse_date(date)
            except sealdraw.SealError as error:
                self.fail("date_seal.date", str(error))
        if type(date) is not datetime.date:
            self.fail("date_seal.date", _("not a date: {value!r}").format(value=date))
        style = table.get("style", "western")
        if style not in sealdraw.STYLES:
            self.fail("date_seal.style", _("one of {styles}").format(styles=", ".join(sealdraw.STYLES)))
        return sealdraw.DateSeal(*texts, date, style, color)


def _mm(value):
    return None if value is None else str(value)
