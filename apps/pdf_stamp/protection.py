"""Protected documents: the password that opens one, and the permissions (/P)
that its author set. pyHanko ignores /P, so the host honours it: a document
whose permissions forbid modifying or annotating is only changed with the
owner password."""

import dataclasses
import io

from .exceptions import NeedsPassword, UnsafeDocument
from .i18n import _


@dataclasses.dataclass(frozen=True, repr=False)
class Access:
    encrypted: bool
    password: bytes | None = None  # opens the document; never shown
    owner: bool = False  # the owner password was given


def inspect_bytes(data, name, password=None):
    """How the document in `data` is opened: Access, or NeedsPassword /
    UnsafeDocument with the reason."""
    import pikepdf

    try:
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
