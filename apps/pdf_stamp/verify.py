"""Checks a saved result against its source before it takes its final name:
as many pages, form fields, annotations and bookmarks as the source, and on
every selected page the stamp drawn where it was asked for.

Where a stamp was drawn is read cheaply, without rendering every page. The
stamp is the last thing process_pdf draws on a page ("q <matrix> cm /Name Do
Q" at the end of its content, at the page's top level, as insert_image
appends it). Pages of the same geometry (media box, crop box, rotation) that
got the same box are checked together: on the first one the library itself
reads where that last image shows (get_image_info, turned as displayed), and
every other page must draw the same image with the same matrix. A page whose
content does not end that way is read by the library as well."""

import dataclasses
import re

import fitz

from . import placement
from .exceptions import VerificationFailed
from .i18n import _
from .objects import annotation_refs, entries, refs

PT_PER_MM = 72 / 25.4
_NUMBER = rb"[-+]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)"
_LAST_DRAW = re.compile(rb"q\s+((?:%s\s+){6})cm\s*/([^\s/<>\[\]()%%{}]+)\s*Do\s+Q\s*\Z" % _NUMBER)
_TAIL_BYTES = 400  # the last drawing, with room for long numbers and names


@dataclasses.dataclass(frozen=True)
class Snapshot:
    page_count: int
    form_fields: int
    annotations: int
    bookmarks: int


@dataclasses.dataclass(frozen=True)
class Stamp:
    """A pass of process_pdf: the box asked for (x, y, width, height in mm,
    on the page as displayed), the image's proportions and the pages."""
    box: tuple
    ratio: float
    pages: tuple

    def expected(self):
        """The rectangle (points, as displayed) the image is drawn into."""
        x, y, width, height = (v * PT_PER_MM for v in self.box)
        return placement.drawn_rect(x, y, width, height, self.ratio)


@dataclasses.dataclass(frozen=True)
class Verification:
    pages_stamped: list
    snapshot: Snapshot
    warnings: list  # {"page", "box", "text"} for each page that shows only part of its stamp


def snapshot_document(doc):
    """Counts read from the document's objects, without loading its pages."""
    return Snapshot(page_count=len(doc), form_fields=int(doc.is_form_pdf or 0),
                    annotations=sum(map(len, annotation_refs(doc))),
                    bookmarks=len(doc.get_toc(simple=True)))


def verify(source_snapshot, result_path, stamps, name=""):
    """Checks the result; returns what was found, or raises VerificationFailed
    naming what differs. `stamps` are the passes (Stamp) that were asked for."""
    with fitz.open(result_path) as doc:
        after = snapshot_document(doc)
        problems = [_("{what} changed from {before} to {after}").format(
                        what=label, before=getattr(source_snapshot, key), after=getattr(after, key))
                    for key, label in (("page_count", _("the page count")),
                                       ("form_fields", _("the number of form fields")),
                                       ("annotations", _("the number of annotations")),
                                       ("bookmarks", _("the number of bookmarks")))
                    if getattr(source_snapshot, key) != getattr(after, key)]
        if problems:
            raise VerificationFailed(_("Checking the output of {name} failed: {problems}").format(
                name=name, problems=_(", ").join(problems)))
        missing, warnings, pages = [], [], []
        for stamp in stamps:
            _check_stamp(doc, stamp, name, missing, warnings)
            pages += stamp.pages
    if missing:
        raise VerificationFailed(_("Checking the output of {name} failed: the stamp is not where "
                                   "it was asked for on page {pages}").format(
                                       name=name, pages=",".join(map(str, sorted(missing)))))
    return Verification(sorted(pages), after, warnings)


def _check_stamp(doc, stamp, name, missing, warnings):
    expected = stamp.expected()
    groups = {}  # geometry -> (image xref, matrix) of the last drawing, as the library checked it
    reader = _Reader(doc)
    for number in stamp.pages:
        key, last = reader.page(number - 1)
        if key not in groups:
            page = doc[number - 1]
            where = shown_part(page, stamp, number, name)
            groups[key] = (where, last if drawn_at(page, expected, last) else None)
        where, checked = groups[key]
        if key is None or last is None or checked is None or not _same(last, checked):
            if not drawn_at(doc[number - 1], expected):
                missing.append(number)
                continue
        if where == placement.PARTLY_OUTSIDE:
            warnings.append(partly_shown(stamp, number, name))


def shown_part(page, stamp, number, name):
    """How much of the stamp page `number` shows (placement.on_page);
    VerificationFailed when it shows none of it."""
    where = placement.on_page(stamp.expected(), page.rect.width, page.rect.height,
                              placement.TOLERANCE_PT)
    if where == placement.OUTSIDE:
        raise VerificationFailed(off_page_text(name, number, stamp.box, page.rect))
    return where


def partly_shown(stamp, number, name):
    """The warning for a page that shows only part of its stamp."""
    return {"page": number, "box": list(stamp.box),
            "text": _("{name}: page {page} shows only part of the stamp "
                      "(the box runs off the page)").format(name=name, page=number)}


def off_page_text(name, number, box, page_rect):
    x, y, width, height = box
    return _("{name}: the stamp lies wholly outside page {page}: box x {x:.1f}, y {y:.1f}, "
             "{width:.1f} x {height:.1f} mm on a page of {page_w:.1f} x {page_h:.1f} mm; "
             "nothing was written").format(
        name=name, page=number, x=x, y=y, width=width, height=height,
        page_w=page_rect.width / PT_PER_MM, page_h=page_rect.height / PT_PER_MM)


def drawn_at(page, expected, last=None):
    """Whether the library finds the page's last image drawing at `expected`
    (as displayed, within the tolerance); with `last`, that drawing must be
    the one read from the content's end."""
    images = page.get_image_info(xrefs=last is not None)
    if not images:
        return False
    final = images[-1]
    shown = fitz.Rect(final["bbox"]) * page.rotation_matrix
    if last is not None and final["xref"] != last[0]:
        return False
    return all(abs(a - b) <= placement.TOLERANCE_PT for a, b in zip(shown, expected))


def _same(last, checked):
    return last[0] == checked[0] and all(abs(a - b) <= 1e-3 for a, b in zip(last[1], checked[1]))


class _Reader:
    """Reads a page's geometry and last drawing from its objects' text, with
    the objects that pages share (parents, resources) read once."""

    def __init__(self, doc):
        self.doc, self.objects, self.direct = doc, {}, {}

    def object(self, xref):
        if xref not in self.objects:
            self.objects[xref] = entries(self.doc.xref_object(xref, compressed=True))
        return self.objects[xref]

    def value(self, text):
        """The entries of a dictionary given directly or by reference."""
        if text is None:
            return None
        ref = refs("xref", text) if text.endswith("R") else []
        if ref:
            return self.object(ref[0])
        if text not in self.direct:  # pages often hold the same resources
            self.direct[text] = entries(text)
        return self.direct[text]

    def page(self, index):
        """(geometry, last drawing) of a page: what decides where it shows a
        drawing (its boxes and rotation as written, and its parent), None
        when the page cannot be read here; the last drawing as last_drawing."""
        page = entries(self.doc.xref_object(self.doc.page_xref(index), compressed=True))
        if page is None:
            return None, None
        # The same own boxes and rotation under the same parent: the same inherited ones.
        geometry = tuple(page.get(key) for key in ("MediaBox", "CropBox", "Rotate", "Parent"))
        try:
            return geometry, self.last_drawing(page)
        except Exception:  # content the library cannot decode is read by the library itself
            return geometry, None

    def last_drawing(self, page):
        """(image xref, matrix) of the image drawn last on the page, read from
        the end of its content; None when the content does not end with one."""
        contents = refs("array", page.get("Contents", ""))
        if not contents:
            return None
        content = self.doc.xref_stream(contents[-1]) or b""
        match = _LAST_DRAW.search(content[-_TAIL_BYTES:])
        if not match:
            return None
        xobjects = self.value((self.value(page.get("Resources")) or {}).get("XObject")) or {}
        image = refs("xref", xobjects.get(match[2].decode("latin-1"), ""))
        return (image[0], tuple(float(v) for v in match[1].split())) if image else None
