"""Signing one file: the seal image becomes the visible appearance of a PAdES
signature, appended to the source as an incremental update, so that every
earlier signature stays valid and approvers can sign in turn.

The seal lands exactly where a plain stamp with the same options lands: the
image fitted into the box and centred, with no border and no inner margin.
On a turned page the image is turned by the page's rotation and placed in
the unrotated box, so that it shows upright. The signed document is made in
memory and checked in a private folder before it takes its name."""

import dataclasses
import hashlib
import io
import os
import pathlib
import warnings

warnings.filterwarnings("ignore", "DSA is deprecated")  # pyHanko imports the DSA key type

import fitz
from cryptography.hazmat.primitives import serialization
from PIL import Image
from pyhanko.pdf_utils import generic, layout
from pyhanko.pdf_utils.images import PdfImage
from pyhanko.pdf_utils.incremental_writer import IncrementalPdfFileWriter
from pyhanko.sign import fields, signers
from pyhanko.sign.timestamps import HTTPTimeStamper
from pyhanko.stamp import StaticStampStyle

from . import pages, placement, protection, signatures
from .exceptions import StampError
from .i18n import _
from .naming import claim
from .objects import inherited
from .seal import prepare_mark
from .signer import loaded_signer
from .source import odd_rotation
from .stamping import _placements
from .verify import partly_shown, shown_part, snapshot_document


@dataclasses.dataclass(repr=False)
class Signing:
    """What a signing run adds to a StampJob: the loaded ID and a timestamp
    authority."""

    digital_id: object  # identity.DigitalId
    tsa_url: str | None = None

    def __repr__(self):
        return f"Signing({self.digital_id!r}, tsa_url={self.tsa_url!r})"


class SigningRefused(StampError):
    """A document that cannot be signed; the message says why."""


def sign_into(job, source, wanted, result, folder, name=None):
    """Signs `source` as `job` says, checks the result in the private
    `folder`, names it `wanted` and fills `result` (a FileResult); raises
    StampError for this file's failure. `name` is the file's name in
    messages (default: the source's)."""
    signing = job.signing
    name = name or os.path.basename(source)
    try:
        data = pathlib.Path(source).read_bytes()
    except OSError as error:
        raise StampError(_("Cannot read {name}: {reason}").format(
            name=name, reason=error.strerror or error)) from None
    result.size_before = len(data)
    access = protection.inspect_bytes(data, name, job.pdf_password)
    try:  # prepared as for a plain stamp: generated seal, tilt, opacity, white to transparent
        picture, image = prepare_mark(job, folder, "seal")
    except OSError as error:
        raise StampError(_("Cannot read the image: {error}").format(error=error)) from None
    with fitz.open(stream=data, filetype="pdf") as doc:
        if doc.needs_pass:
            doc.authenticate(access.password.decode("utf-8", "replace"))
        index = pages.one_page(job, len(doc), name, SigningRefused) - 1
        page = doc[index]
        _check_rotation(doc, page, name)
        before = snapshot_document(doc)
        ((stamp, _texts),) = _placements(job, doc, [index + 1], picture, image)  # as a plain stamp
        where = shown_part(page, stamp, index + 1, name)
        box = _pdf_box(page, stamp.expected())
        rotation = page.rotation
    appearance = _appearance(image, rotation)
    signed = sign_bytes(data, signing, index, box, appearance, name, access.password)
    path = os.path.join(folder, "signed.pdf")
    with open(path, "wb") as file:
        file.write(signed.getvalue())
    signatures.check_signed(before, path, stamp, name, access.password)
    result.pages_stamped = [index + 1]
    if where == placement.PARTLY_OUTSIDE:
        result.warnings = [partly_shown(stamp, index + 1, name)]
    result.result = claim(path, wanted, marked=False)  # a revision after it would break it
    result.size_after = os.path.getsize(result.result)


def _check_rotation(doc, page, name):
    """Refuses a /Rotate that is not a multiple of 90 (on the page or
    inherited): an incremental update cannot set it upright."""
    if odd_rotation(doc, page.number) is not None:
        raise SigningRefused(_("{name}: page {page} is turned by {value} degrees, "
                               "not a multiple of 90; it cannot be signed").format(
            name=name, page=page.number + 1, value=inherited(doc, page.xref, "Rotate")[1]))


def _pdf_box(page, shown):
    """The rectangle (x0, y0, x1, y1) in PDF space of `shown`, a rectangle in
    points on the page as displayed (y down from the top-left corner)."""
    # Unrotated coordinates run from the crop box's top-left corner, y down.
    to_pdf = fitz.Matrix(1, 0, 0, -1, page.cropbox.x0, page.mediabox.y1 - page.cropbox.y0)
    box = fitz.Rect(shown) * page.derotation_matrix * to_pdf
    return (box.x0, box.y0, box.x1, box.y1)


_ENCODED = {}  # (the seal file's digest, rotation) -> (width, height, streams); a few seals


def _appearance(image_path, rotation):
    """The seal's image, turned so that it shows upright on a page displayed
    turned by `rotation` degrees. A run signs many files with the same seal:
    its image is decoded and compressed once, and each signature copies the
    compressed streams."""
    data = pathlib.Path(image_path).read_bytes()
    key = (hashlib.sha256(data).digest(), rotation)
    if key not in _ENCODED:
        with Image.open(io.BytesIO(data)) as img:
            img.load()
            img = img if img.mode in ("RGB", "RGBA", "L", "LA") else img.convert("RGBA")
            img = img.rotate(rotation, expand=True) if rotation else img
            parts = [img.getchannel("A"), img.convert(img.mode[:-1])] if "A" in img.mode else [img]
            streams = [_compressed(part) for part in parts]
        if len(_ENCODED) >= 8:
            _ENCODED.pop(next(iter(_ENCODED)))
        _ENCODED[key] = (img.width, img.height, streams)
    return _SealImage(*_ENCODED[key])


def _compressed(img):
    """The entries and compressed data of an image XObject of `img` (mode L
    or RGB)."""
    stream = generic.StreamObject({
        "/Type": generic.NameObject("/XObject"), "/Subtype": generic.NameObject("/Image"),
        "/Width": generic.NumberObject(img.width), "/Height": generic.NumberObject(img.height),
        "/ColorSpace": generic.NameObject("/DeviceGray" if img.mode == "L" else "/DeviceRGB"),
        "/BitsPerComponent": generic.NumberObject(8)}, stream_data=img.tobytes())
    stream.compress()
    return dict(stream), stream.encoded_data


class _SealImage(PdfImage):
    """An image XObject written from compressed streams: the soft mask (if
    any), then the image."""

    def __init__(self, width, height, streams):
        super().__init__(None, box=layout.BoxConstraints(width, height))
        self.streams = streams

    @property
    def image_ref(self):
        if self._image_ref is None or self._image_ref.get_pdf_handler() is not self.writer:
            ref = None
            for entries, data in self.streams:
                stream = generic.StreamObject(dict(entries), encoded_data=data)
                if ref is not None:
                    stream["/SMask"] = ref
                ref = self.writer.add_object(stream)
            self._image_ref = ref
        return self._image_ref


def _field_name(reader):
    taken = {name for name, _value, _ref in fields.enumerate_sig_fields(reader)}
    return next(f"Signature{n}" for n in range(1, len(taken) + 2) if f"Signature{n}" not in taken)


def _reserved(signing):
    """Room for the signature container, in hexadecimal digits: the
    certificates, the signature value and about 1.5 KB of signed attributes
    and signer information. pyHanko would otherwise make a trial signature to
    measure it; and the smaller the room, the faster every later reader
    parses it. With a timestamp the token's size is the authority's, which
    pyHanko measures."""
    if signing.tsa_url:
        return None
    certificates = (signing.digital_id.certificate, *signing.digital_id.chain)
    size = sum(len(c.public_bytes(serialization.Encoding.DER)) for c in certificates)
    key_bytes = (signing.digital_id.key.key_size + 7) // 8
    return 2 * (size + 2 * key_bytes + 16 + 1536)


def sign_bytes(data, signing, index, box, appearance, name, password=None):
    """The signed document (BytesIO): `data` with a signature field on page
    `index` whose appearance is `appearance`, appended incrementally."""
    try:
        writer = IncrementalPdfFileWriter(io.BytesIO(data), strict=False)
        if writer.prev.encrypted:
            writer.encrypt(password or b"")
        signatures.check_signable(writer.prev, name)
        field = _field_name(writer.prev)
    except StampError:
        raise
    except Exception as error:  # pyHanko's reader refuses the file
        raise SigningRefused(_("{name} cannot be read for signing: {reason}").format(
            name=name, reason=error)) from None
    style = StaticStampStyle(
        background=appearance, border_width=0, background_opacity=1.0,
        background_layout=layout.SimpleBoxLayoutRule(
            x_align=layout.AxisAlignment.ALIGN_MID, y_align=layout.AxisAlignment.ALIGN_MID,
            margins=layout.Margins(0, 0, 0, 0),
            inner_content_scaling=layout.InnerScaling.STRETCH_FILL))
    signer = signers.PdfSigner(
        signers.PdfSignatureMetadata(field_name=field, md_algorithm="sha256",
                                     subfilter=fields.SigSeedSubFilter.PADES),
        signer=loaded_signer(signing.digital_id),
        timestamper=HTTPTimeStamper(signing.tsa_url) if signing.tsa_url else None,
        stamp_style=style,
        new_field_spec=fields.SigFieldSpec(field, on_page=index, box=box))
    output = io.BytesIO()
    try:
        signer.sign_pdf(writer, output=output, bytes_reserved=_reserved(signing))
    except Exception as error:  # pyHanko's and the timestamp authority's refusals
        raise SigningRefused(_("{name} could not be signed: {reason}").format(
            name=name, reason=error)) from None
    return output
