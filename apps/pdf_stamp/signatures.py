"""Reading signatures: whether a document can take another signature, a
check of a freshly signed result, and the report of `pdf-stamp verify`.

Validation never reaches the network: only the certificates given as trust
roots (and those embedded in the signatures) are used."""

import dataclasses
import io
import logging
import warnings

warnings.filterwarnings("ignore", "DSA is deprecated")  # pyHanko imports the DSA key type

import fitz
from pyhanko.pdf_utils.reader import PdfFileReader
from pyhanko.sign.diff_analysis import ModificationLevel
from pyhanko.sign.fields import MDPPerm, enumerate_sig_fields
from pyhanko.sign.validation import validate_pdf_signature
from pyhanko.sign.validation.generic_cms import validate_sig_integrity
from pyhanko.sign.validation.pdf_embedded import read_certification_data
from pyhanko.sign.validation.status import SignatureCoverageLevel
from pyhanko_certvalidator import ValidationContext

from .exceptions import StampError, VerificationFailed
from .i18n import _
from .verify import drawn_at, snapshot_document

# The report says what failed; pyHanko's own log lines (with tracebacks) are not for users.
for _logger in ("pyhanko", "pyhanko_certvalidator"):
    logging.getLogger(_logger).addHandler(logging.NullHandler())
    logging.getLogger(_logger).propagate = False


class DamagedSignature(StampError):
    pass


class Certified(StampError):
    pass


def _context(roots=()):
    return ValidationContext(trust_roots=list(roots), allow_fetching=False)


def _embedded(reader, name):
    """The document's signatures; DamagedSignature when one cannot be read
    (pyHanko skips a signature value it does not understand, so the filled
    fields are counted too)."""
    try:
        found = list(reader.embedded_signatures)
        filled = {field for field, _value, _ref in enumerate_sig_fields(reader, filled_status=True)}
    except Exception as error:  # a signature dictionary the reader cannot take apart
        raise DamagedSignature(_("{name} has a damaged signature dictionary: {reason}").format(
            name=name, reason=error)) from None
    unread = sorted(filled - {signature.field_name for signature in found})
    if unread:
        raise DamagedSignature(_("{name} has a damaged signature dictionary: {reason}").format(
            name=name, reason=", ".join(unread)))
    return found


def check_signable(reader, name):
    """Refuses a document with a damaged signature, or one certified with no
    changes allowed."""
    _embedded(reader, name)
    certification = read_certification_data(reader)
    if certification is not None and certification.permission == MDPPerm.NO_CHANGES:
        raise Certified(_("{name} is certified with no changes allowed; "
                          "it cannot take another signature").format(name=name))


def check_signed(old, path, stamp, name, password=None):
    """Checks a signed result against the source's snapshot `old`: one more
    field and one more widget, the seal drawn through its appearance where
    `stamp` (verify.Stamp, one page) asks for it, nothing else changed; the
    new signature intact and valid, every earlier one intact. Raises
    VerificationFailed naming what differs."""
    (number,) = stamp.pages
    with open(path, "rb") as file:
        data = file.read()
    with fitz.open(stream=data, filetype="pdf") as doc:
        if doc.needs_pass:
            doc.authenticate((password or b"").decode("utf-8", "replace"))
        new = snapshot_document(doc)
        drawn = drawn_at(doc[number - 1], [stamp.expected()])  # widgets are drawn last
    expected = dict(page_count=old.page_count, form_fields=old.form_fields + 1,
                    annotations=old.annotations + 1, bookmarks=old.bookmarks)
    labels = dict(page_count=_("page count"), form_fields=_("form fields"),
                  annotations=_("annotations"), bookmarks=_("bookmarks"))
    problems = [_("{what} is {found}, not {expected}").format(
                    what=labels[what], found=getattr(new, what), expected=value)
                for what, value in expected.items() if getattr(new, what) != value]
    if not drawn:
        problems.append(_("the seal is not drawn on page {page}").format(page=number))
    if not problems:
        problems = _signature_problems(data, password)
    if problems:
        raise VerificationFailed(_("The signed result of {name} failed its check: {problems}")
                                 .format(name=name, problems="; ".join(problems)))


def _signature_problems(data, password):
    """The integrity of each signature (digest and signature value, no trust
    path: the signer's trust is the verify command's question)."""
    reader = PdfFileReader(io.BytesIO(data), strict=False)
    if reader.encrypted:
        reader.decrypt(password or b"")
    signatures = reader.embedded_signatures
    problems = []
    for number, signature in enumerate(signatures, 1):
        intact, valid = validate_sig_integrity(signature.signer_info, signature.signer_cert,
                                               "data", signature.compute_digest())
        if not intact or (number == len(signatures) and not valid):
            problems.append(_("signature {field} does not validate").format(
                field=signature.field_name))
    return problems


@dataclasses.dataclass
class SignatureReport:
    file: str
    field: str
    signer: str | None = None
    signing_time: str | None = None
    timestamp_time: str | None = None
    intact: bool = False
    valid: bool = False
    trusted: bool = False
    changed_after: str | None = None  # None: not changed; else pyHanko's modification level
    whole_file: bool = False
    problem: str | None = None

    def ok(self, need_trust):
        return self.intact and self.valid and (self.trusted or not need_trust) \
            and not self.problem

    def as_dict(self):
        return dataclasses.asdict(self)


def _time(moment):
    return moment.isoformat(timespec="seconds") if moment else None


def report(path, roots=(), password=None):
    """One SignatureReport per signature of the PDF at `path`, in signing
    order. Raises StampError when the file cannot be read."""
    name = str(path)
    try:
        with open(path, "rb") as file:
            data = file.read()
        reader = PdfFileReader(io.BytesIO(data), strict=False)
        if reader.encrypted:
            reader.decrypt(password or b"")
    except Exception as error:  # unreadable, or not a PDF pyHanko can parse
        raise StampError(_("{name} cannot be read: {reason}").format(
            name=name, reason=error)) from None
    context = _context(roots)
    reports = []
    for signature in _embedded(reader, name):
        entry = SignatureReport(file=name, field=signature.field_name)
        try:
            status = validate_pdf_signature(signature, context, context)
        except Exception as error:  # a signature pyHanko cannot evaluate fails, with its reason
            entry.problem = str(error) or type(error).__name__
            reports.append(entry)
            continue
        subject = status.signing_cert.subject
        entry.signer = subject.native.get("common_name") or subject.human_friendly
        entry.signing_time = _time(status.signer_reported_dt)
        if status.timestamp_validity is not None:
            entry.timestamp_time = _time(status.timestamp_validity.timestamp)
        entry.intact, entry.valid, entry.trusted = status.intact, status.valid, status.trusted
        level = status.modification_level
        if level is None or level > ModificationLevel.FORM_FILLING:
            entry.changed_after = level.name if level else "UNKNOWN"
            entry.problem = _("the document was changed after this signature beyond "
                              "adding signatures and filling in forms")
        elif level != ModificationLevel.NONE:
            entry.changed_after = level.name
        entry.whole_file = status.coverage == SignatureCoverageLevel.ENTIRE_FILE
        reports.append(entry)
    return reports


def describe_changes(level):
    """A modification level (SignatureReport.changed_after) in words."""
    words = {None: _("no"), "LTA_UPDATES": _("validation data added"),
             "FORM_FILLING": _("signatures or form filling"), "ANNOTATIONS": _("annotations added")}
    return words.get(level) or _("other changes")


def trust_roots(paths=()):
    """The certificates in the PEM/DER files `paths` and the user's own IDs'
    (identity.own_certificates), as trust roots; UsageError for a file that
    cannot be read."""
    from asn1crypto import pem, x509
    from pyhanko.keys import load_certs_from_pemder

    from .exceptions import UsageError
    from .identity import own_certificates

    try:
        roots = list(load_certs_from_pemder(paths))
    except (OSError, ValueError) as error:
        raise UsageError(_("Cannot read a --trust certificate: {reason}").format(
            reason=getattr(error, "strerror", None) or error)) from None
    return roots + [x509.Certificate.load(pem.unarmor(data)[2]) for data in own_certificates()]
