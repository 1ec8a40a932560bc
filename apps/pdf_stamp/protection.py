"""Protected documents: the password that opens one, and the permissions (/P)
that its author set. pyHanko ignores /P, so the host honours it: a document
whose permissions forbid modifying or annotating is only changed with the
owner password."""

import dataclasses
import io
import os

from .exceptions import NeedsPassword, UnsafeDocument, VerificationFailed
from .i18n import _


@dataclasses.dataclass(frozen=True, repr=False)
class Access:
    encrypted: bool
    password: bytes | None = None  # opens the document; never shown
    owner: bool = False  # the owner password was given


def inspect_bytes(data, name, password=None):
    """How the document in `data` is opened: Access, or NeedsPassword /
    UnsafeDocument with the reason."""
    import fitz
    import pikepdf

    try:
        with fitz.open(stream=data, filetype="pdf") as doc:
            needs_password = doc.needs_pass and not password
    except Exception:  # pikepdf below names what is wrong
        needs_password = False
    try:
        if needs_password:  # an empty owner password would open it; the user is still asked
            raise pikepdf.PasswordError
        pdf = pikepdf.open(io.BytesIO(data), password=password or "")
    except pikepdf.PasswordError:
        if password:
            raise NeedsPassword(_("The password for {name} is wrong").format(name=name)) from None
        raise NeedsPassword(_("{name} needs a password to open: give --pdf-password-file "
                              "or set PDF_STAMP_PDF_PASSWORD").format(name=name)) from None
    except pikepdf.PdfError as error:
        raise UnsafeDocument(_("{name} cannot be read: {reason}").format(
            name=name, reason=error)) from None
    with pdf:
        if not pdf.is_encrypted:
            return Access(False)
        owner = bool(pdf.owner_password_matched and password)
        allow = pdf.allow
        if not owner and not (allow.modify_annotation and allow.modify_other):
            raise UnsafeDocument(_("The permissions of {name} forbid changing it; "
                                   "give its owner password to stamp or sign it").format(name=name))
        return Access(True, password or b"", owner)


def _is_protected(path):
    import fitz

    try:
        with fitz.open(path) as doc:
            return bool(doc.needs_pass or (doc.metadata or {}).get("encryption"))
    except Exception:  # not a PDF it can open: process_pdf reports that in its own words
        return False


def unlocked(path, copy, name, password=None):
    """(path, access): `path` itself and None when it is not protected; else
    the document decrypted into `copy` (which may be `path`) and its Access."""
    if not _is_protected(path):
        return path, None
    import pikepdf

    with open(path, "rb") as file:
        access = inspect_bytes(file.read(), name, password)
    with pikepdf.open(path, password=access.password or "", allow_overwriting_input=True) as pdf:
        pdf.save(copy)  # without encryption
    return copy, access


def reprotect(source, stamped, folder, access):
    """The stamped document with the source's encryption back, unchanged:
    the method, the permissions, the user and the owner password (kept
    without being known). The source's own objects are kept and each page
    takes the stamped page's contents and resources (and its rotation, which
    the private copy may have set upright). Returns its path in
    `folder`, after checking that it reads as the stamped document does."""
    if access is None:
        return stamped
    import fitz
    import pikepdf

    from .verify import snapshot_document

    out = os.path.join(folder, "protected.pdf")
    # Opened through a file: pikepdf refuses a name that is not valid UTF-8.
    with open(source, "rb") as file, pikepdf.open(file, password=access.password or "") as pdf, \
            pikepdf.open(stamped) as done:
        for page, new in zip(pdf.pages, done.pages):
            for key in ("/Contents", "/Resources"):
                if key in new.obj:
                    value = new.obj[key]
                    value = value if value.is_indirect else done.make_indirect(value)
                    page.obj[key] = pdf.copy_foreign(value)
            if "/Rotate" in new.obj and page.obj.get("/Rotate") != new.obj["/Rotate"]:  # set upright
                page.obj["/Rotate"] = int(new.obj["/Rotate"])
        pdf.save(out, encryption=True)  # the source's encryption as it is
    with fitz.open(stamped) as want, fitz.open(out) as got:
        got.authenticate((access.password or b"").decode("utf-8", "replace"))
        if not got.is_encrypted and not got.metadata.get("encryption") \
                or snapshot_document(got) != snapshot_document(want):
            raise VerificationFailed(_("The protection of {name} could not be put back")
                                     .format(name=os.path.basename(source)))
    return out
