"""What stamping would do to a document that it cannot see: signatures that
no longer verify, a password that is needed. A protected document keeps its
protection (protection.py), which also honours its permissions."""

import dataclasses

import fitz

from .exceptions import NeedsPassword, SignedDocument
from .i18n import _
from .objects import annotation_refs, array, inherited


@dataclasses.dataclass(frozen=True)
class Safety:
    needs_password: bool
    signed: bool


def inspect_document(doc):
    """Safety of an open fitz document."""
    if doc.needs_pass:
        return Safety(True, False)
    return Safety(False, has_signed_field(doc))


def has_signed_field(doc):
    """Whether any signature field holds a value: every field of the form's
    tree (/AcroForm /Fields and their /Kids, wherever their widgets are) and
    every widget on a page, with /FT and /V inherited from parents."""
    if not doc.is_pdf or not doc.is_form_pdf:  # no form: no field, signed or not
        return False
    todo = array(doc, doc.pdf_catalog(), "AcroForm/Fields")
    for page_annotations in annotation_refs(doc):
        todo += [xref for xref in page_annotations
                 if 0 < xref < doc.xref_length()
                 and doc.xref_get_key(xref, "Subtype") == ("name", "/Widget")]
    seen = {0}  # direct entries cannot carry a signature's field
    while todo:
        xref = todo.pop()
        if xref in seen or not 0 < xref < doc.xref_length():
            continue
        seen.add(xref)
        if inherited(doc, xref, "FT") == ("name", "/Sig") \
                and inherited(doc, xref, "V")[0] in ("dict", "xref"):
            return True
        todo += array(doc, xref, "Kids")
    return False


def inspect(pdf_path):
    with fitz.open(pdf_path) as doc:
        return inspect_document(doc)


def raise_for(safety, name, allow_rewrite=False):
    """Raises the error that `safety` calls for, if any."""
    if safety.needs_password:
        raise NeedsPassword(_("{name} is protected by a password. A PDF that needs a password "
                              "to open cannot be stamped").format(name=name))
    if allow_rewrite:
        return
    if safety.signed:
        raise SignedDocument(_with_way_out(_(
            "{name} holds a digital signature. Stamping rewrites the file, and the signature can "
            "no longer be verified.").format(name=name)))


def _with_way_out(refusal):
    """The refusal and how to stamp anyway, in either host."""
    return _("{refusal} {how}").format(refusal=refusal, how=_(
        "To stamp it anyway, add --allow-rewrite on the command line, or tick \"Also write "
        "signed PDFs\" in the window; to add your own signature instead, sign it with a "
        "digital ID (--sign)."))


def check(pdf_path, allow_rewrite=False):
    """Raises NeedsPassword, or (unless `allow_rewrite`) SignedDocument, with
    a message that says why."""
    raise_for(inspect(pdf_path), pdf_path, allow_rewrite)
