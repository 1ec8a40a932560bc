"""Checks a saved result against its source before it takes its final name:
as many pages, form fields, annotations and bookmarks as the source, and on
every selected page the stamp drawn where it was asked for.

Where a stamp was drawn is read cheaply, without rendering every page. A
stamp is the last thing its process_pdf pass draws on a page ("q <matrix> cm
/Name Do Q" at the end of its content, at the page's top level, as
insert_image appends it), so a page stamped by several passes (several
marks) ends with their drawings in the order of the passes. Pages of the
same geometry (media box, crop box, rotation) that got the same boxes are
checked together: on the first one the library itself reads where those last
images show (get_image_info, turned as displayed), and every other page must
draw the same images with the same matrices. A page whose content does not
end that way is read by the library as well."""

import dataclasses
import re

import fitz

from . import placement
from .exceptions import VerificationFailed
from .i18n import _
from .objects import entries, refs

PT_PER_MM = 72 / 25.4
_NUMBER = rb"[-+]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)"
_LAST_DRAW = re.compile(rb"q\s+((?:%s\s+){6})cm\s*/([^\s/<>\[\]()%%{}]+)\s*Do\s+Q\s*\Z" % _NUMBER)
_TAIL_BYTES = 400  # the last drawing, with room for long numbers and names


def _last_draw(tail):
    """The match of _LAST_DRAW in `tail`, tried from the last "q" backwards
    (a search from the front tries every position: ten times slower). At
    most one "q" starts a match: one inside a match's name is followed by
    "Do", not a number."""
    at = len(tail)
    while (at := tail.rfind(b"q", 0, at)) >= 0:
        if match := _LAST_DRAW.match(tail, at):
            return match
    return None


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
    if doc.is_encrypted:
        raise ValueError("document closed or encrypted")
    return Snapshot(page_count=len(doc), form_fields=int(doc.is_form_pdf or 0),
                    annotations=_annotation_count(doc), bookmarks=len(doc.get_toc(simple=True)))


_ANNOTS = fitz.mupdf.PdfObj(fitz.mupdf.PDF_ENUM_NAME_Annots)


def _annotation_count(doc):
    """The dictionaries in the pages' /Annots arrays, read through MuPDF's
    own object calls (objects.annotation_refs, which the safety check needs
    for the references themselves, reads and parses each page's text)."""
    pdf, count = fitz.mupdf.pdf_specifics(doc.this), 0
    for index in range(len(doc)):
        annots = fitz.mupdf.pdf_dict_get(fitz.mupdf.pdf_lookup_page_obj(pdf, index), _ANNOTS)
        count += sum(fitz.mupdf.pdf_is_dict(fitz.mupdf.pdf_array_get(annots, at))
                     for at in range(fitz.mupdf.pdf_array_len(annots)))
    return count


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
        layers = {}  # page number -> the passes that drew on it, in their order
        for stamp in stamps:
            for number in stamp.pages:
                layers.setdefault(number, []).append(stamp)
        missing, warnings = [], []
        _check_pages(doc, layers, name, missing, warnings)
    if missing:
        raise VerificationFailed(_("Checking the output of {name} failed: the stamp is not where "
                                   "it was asked for on page {pages}").format(
                                       name=name, pages=",".join(map(str, sorted(missing)))))
    return Verification(sorted(layers), after, warnings)


def _check_pages(doc, layers, name, missing, warnings):
    """Each page must show the stamps of its passes as the last images it
    draws, in the order of the passes."""
    groups = {}  # (geometry, passes) -> (stamps partly shown, their drawings as the library checked them)
    rects = {}  # the passes of a page -> where their stamps are expected
    reader = _Reader(doc)
    for number, passes in sorted(layers.items()):
        ids = tuple(map(id, passes))
        if ids not in rects:
            rects[ids] = [stamp.expected() for stamp in passes]
        expected = rects[ids]
        geometry, last = reader.page(number - 1, len(passes))
        key = None if geometry is None else (geometry, ids)
        if key is None or key not in groups:
            page = doc[number - 1]
            lies = [shown_part(page, stamp, number, name) for stamp in passes]
            groups[key] = ([stamp for stamp, where in zip(passes, lies)
                            if where == placement.PARTLY_OUTSIDE],
                           last if drawn_at(page, expected, last) else None)
        partial, checked = groups[key]
        if key is None or last is None or checked is None or not _same(last, checked):
            if not drawn_at(doc[number - 1], expected):
                missing.append(number)
                continue
        warnings += [partly_shown(stamp, number, name) for stamp in partial]


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
    """Whether the library finds the page's last image drawings at the
    `expected` rectangles, in order (as displayed, within the tolerance);
    with `last`, they must be the drawings read from the content's end."""
    images = page.get_image_info()[-len(expected):]  # no hashes: they decode every image
    if len(images) < len(expected):
        return False
    if last is not None and not all(_drawn_by(page, info, *drawing)
                                    for info, drawing in zip(images, last)):
        return False
    return all(abs(a - b) <= placement.TOLERANCE_PT
               for info, rect in zip(images, expected)
               for a, b in zip(fitz.Rect(info["bbox"]) * page.rotation_matrix, rect))


def _drawn_by(page, info, xref, matrix):
    """Whether the image the library found (`info`) is the drawing of image
    `xref` with `matrix` read from the content's end: drawn with that
    matrix, at that image's size in pixels."""
    # The library reports the image's unit square with its top row first.
    transform = fitz.Matrix(1, 0, 0, -1, 0, 1) * fitz.Matrix(matrix) * page.transformation_matrix
    return all(abs(a - b) <= placement.TOLERANCE_PT for a, b in zip(info["transform"], transform)) \
        and all(page.parent.xref_get_key(xref, key) == ("int", str(info[key.lower()]))
                for key in ("Width", "Height"))


def _same(last, checked):
    return last == checked or len(last) == len(checked) and all(
        one[0] == other[0] and all(abs(a - b) <= 1e-3 for a, b in zip(one[1], other[1]))
        for one, other in zip(last, checked))


_CONTENTS_REF = re.compile(r"/Contents\s+([0-9]+)\s+[0-9]+\s+R(?![^\s/<>\[\]()%{}])")


def _geometry(page):
    """The same own boxes and rotation under the same parent: the same
    inherited ones, and so the same place for a drawing."""
    return tuple(page.get(key) for key in ("MediaBox", "CropBox", "Rotate", "Parent"))


class _Reader:
    """Reads a page's geometry and last drawings from its objects' text, with
    the objects that pages share (parents, resources) read once."""

    def __init__(self, doc):
        self.doc, self.objects, self.direct, self.pages, self.images = doc, {}, {}, {}, {}
        self.pdf = fitz.mupdf.pdf_specifics(doc.this)

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

    def page(self, index, count):
        """(geometry, last drawings) of a page: what decides where it shows a
        drawing (its boxes and rotation as written, and its parent), None
        when the page cannot be read here; the last drawings as last_drawings."""
        page, geometry, contents = self.read(self.doc.xref_object(self.doc.page_xref(index),
                                                                  compressed=True))
        if page is None:
            return None, None
        try:
            return geometry, self.last_drawings(page, contents, count)
        except Exception:  # content the library cannot decode is read by the library itself
            return geometry, None

    def read(self, text):
        """(entries, geometry, content streams) of a page's text. Pages mostly
        differ only in their content stream: the text with that one reference
        blanked out is read once for all of them."""
        found = list(_CONTENTS_REF.finditer(text))
        if len(found) == 1:
            key = f"{text[:found[0].start()]}/Contents 0 0 R{text[found[0].end():]}"
            if key not in self.pages:
                page = entries(key)
                self.pages[key] = (page, _geometry(page)) if page and page.get(
                    "Contents") == "0 0 R" else None  # the blanked one was not the page's own
            if self.pages[key] is not None:
                return *self.pages[key], [int(found[0][1])]
        page = entries(text)
        if page is None:
            return None, None, None
        return page, _geometry(page), refs("array", page.get("Contents", ""))

    def last_drawings(self, page, contents, count):
        """(image xref, matrix) of each of the `count` images drawn last on the
        page, in order, read from the end of its content streams `contents`
        (each pass may have added a stream of its own); None when the content
        does not end so."""
        contents = list(contents)
        found, rest = [], b""
        while len(found) < count:
            end = rest[-_TAIL_BYTES:]
            match = _last_draw(end) if end else None
            if match:
                found.insert(0, match)
                rest = rest[:len(rest) - len(end) + match.start()]
            elif rest.strip() or not contents:
                return None
            else:
                rest = self.stream(contents.pop())
        drawings = []
        for match in found:
            image = self.image(page.get("Resources"), match[2])
            if not image:
                return None
            drawings.append((image, tuple(map(float, match[1].split()))))
        return tuple(drawings)

    def image(self, resources, name):
        """The object number of XObject `name` (bytes) in `resources` (a
        page's entry), 0 when there is none."""
        key = (resources, name)
        if key not in self.images:
            xobjects = self.value((self.value(resources) or {}).get("XObject")) or {}
            self.images[key] = (refs("xref", xobjects.get(name.decode("latin-1"), "")) or [0])[0]
        return self.images[key]

    def stream(self, xref):
        """The decoded stream of object `xref`, through MuPDF's own call (the
        document-level one checks the document and the number again for
        every page); raises when the object is no stream."""
        return fitz.mupdf.pdf_load_stream_number(self.pdf, xref).fz_buffer_extract()
