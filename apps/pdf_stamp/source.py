"""The source document as process_pdf gets it: opened and explained when it
cannot be read, copied into the private folder when the library cannot take
its name or when it is protected (decrypted there), and with pages that
MuPDF shows turned by an odd /Rotate set upright in that copy, as MuPDF
shows them."""

import math
import shutil

import fitz

from . import protection
from .exceptions import UnreadableDocument
from .i18n import _
from .objects import inherited


def usable_path(path, copy_to):
    """`path`, or a copy at `copy_to` when the name cannot reach MuPDF (it
    takes names as UTF-8; a name that is not valid UTF-8 on disk cannot be)."""
    try:
        path.encode("utf-8")
        return path
    except UnicodeEncodeError:
        shutil.copyfile(path, copy_to)
        return copy_to


def private_source(source, copy, name, password=None):
    """(path, protection.Access or None): the source as process_pdf takes
    it, with at most one copy, at `copy`: decrypted when it is protected, else
    only when its name cannot reach MuPDF."""
    return protection.unlocked(usable_path(source, copy), copy, name, password)


def open_pdf(path, name):
    """The open document; raises UnreadableDocument with the reason when it
    is not a PDF or has no page that can be read. A file the library cannot
    open at all raises the library's error."""
    doc = fitz.open(path)
    try:
        if not doc.is_pdf:
            raise UnreadableDocument(_("{name} is not a PDF file: its content is of another "
                                       "kind (only the name ends in .pdf)").format(name=name))
        try:
            pages = len(doc)
        except Exception as error:
            raise UnreadableDocument(damaged_text(name, error)) from None
        if not pages:
            if doc.is_repaired:
                raise UnreadableDocument(damaged_text(name, _("no page could be read")))
            raise UnreadableDocument(_("{name} has no pages").format(name=name))
    except BaseException:
        doc.close()
        raise
    return doc


def damaged_text(name, reason):
    return _("{name} is damaged or cut short: {reason}").format(name=name, reason=reason)


def shown_rotation(value):
    """The quarter turn MuPDF shows for a /Rotate value: rounded to a whole
    number, then to the nearest multiple of 90."""
    degrees = math.floor(value + 0.5) % 360
    return 90 * ((degrees + 45) // 90) % 360


def odd_rotations(doc):
    """{page index: rotation shown} for the pages whose /Rotate (their own or
    inherited) is not a whole multiple of 90: MuPDF shows them turned, while
    page.rotation reads 0 and a stamp would land turned."""
    return {number: turn for number in range(len(doc))
            if (turn := odd_rotation(doc, number)) is not None}


def odd_rotation(doc, number):
    """The rotation shown for page index `number` when its /Rotate is odd (as
    odd_rotations), else None."""
    kind, value = inherited(doc, doc.page_xref(number), "Rotate")
    if kind not in ("int", "float"):
        return None
    turn = float(value)
    if math.isfinite(turn) and not (turn.is_integer() and turn % 90 == 0):
        return shown_rotation(turn)
    return None


def upright_copy(doc, odd, path, name):
    """Saves `doc` to `path` with each page of `odd` given its shown rotation
    as a plain /Rotate; raises UnreadableDocument when a page would then show
    otherwise than before."""
    shown = {number: tuple(doc[number].rect) for number in odd}
    written = {number: inherited(doc, doc.page_xref(number), "Rotate")[1] for number in odd}
    for number, turn in odd.items():
        doc.xref_set_key(doc.page_xref(number), "Rotate", str(turn))
    for number, rect in shown.items():
        if tuple(doc[number].rect) != rect:
            raise UnreadableDocument(_("{name}: page {page} has a rotation that cannot be "
                                       "read (/Rotate {value})").format(
                name=name, page=number + 1, value=written[number]))
    doc.save(path)
    return path
