"""What stamping would do to a document that it cannot see: signatures that
no longer verify, a password that is needed."""

import dataclasses

import fitz

from .exceptions import NeedsPassword, SignedDocument

NEEDS_PASSWORD = ("【ERROR】{name} はパスワードで保護されています。"
                  "開くためのパスワードが必要な PDF には押印できません")
SIGNED = ("【ERROR】{name} には電子署名があります。押印するとファイルが書き換わり、"
          "署名は検証できなくなります（それでも押印するには明示して実行してください）")


@dataclasses.dataclass(frozen=True)
class Safety:
    needs_password: bool
    signed: bool
    owner_protected: bool
    encryption: str | None


def inspect_document(doc):
    """Safety of an open fitz document."""
    encryption = doc.metadata.get("encryption") if doc.metadata else None
    if doc.needs_pass:
        return Safety(True, False, False, encryption)
    signed = bool(doc.is_form_pdf) and any(
        widget.is_signed
        for page in doc
        for widget in page.widgets(types=[fitz.PDF_WIDGET_TYPE_SIGNATURE]))
    return Safety(False, signed, bool(encryption), encryption)


def inspect(pdf_path):
    with fitz.open(pdf_path) as doc:
        return inspect_document(doc)


def raise_for(safety, name, allow_rewrite=False):
    """Raises the error that `safety` calls for, if any."""
    if safety.needs_password:
        raise NeedsPassword(NEEDS_PASSWORD.format(name=name))
    if allow_rewrite:
        return
    if safety.signed:
        raise SignedDocument(SIGNED.format(name=name))
    # An owner-protected document keeps its protection (protection.py), so it is
    # not refused here; its permissions are honoured there.


def check(pdf_path, allow_rewrite=False):
    """Raises NeedsPassword, or (unless `allow_rewrite`) SignedDocument, with
    a message that says why."""
    raise_for(inspect(pdf_path), pdf_path, allow_rewrite)
