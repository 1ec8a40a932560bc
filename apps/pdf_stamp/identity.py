"""Digital IDs: a PKCS#12 (.p12/.pfx) file holding a private key and its
certificate. Loaded once per run, and refused with its own reason when it
cannot make a sound signature (the signing library itself would sign with an
expired ID, or one whose certificate is not meant for signing). `new_id`
makes a self-signed ID for an office without a certificate authority."""

import dataclasses
import datetime
import os
import pathlib

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import NameOID

from .exceptions import StampError, UsageError
from .i18n import _

VALID_YEARS = 5


class IdError(StampError):
    """A digital ID that cannot be used; the message says why."""


@dataclasses.dataclass(frozen=True, repr=False)
class DigitalId:
    key: object  # a cryptography private key; never shown
    certificate: x509.Certificate
    chain: tuple  # further certificates in the file

    @property
    def name(self):
        """The holder's common name (or the whole subject)."""
        names = self.certificate.subject.get_attributes_for_oid(NameOID.COMMON_NAME)
        return names[0].value if names else self.certificate.subject.rfc4514_string()

    def __repr__(self):
        return f"DigitalId({self.name!r})"


def _is_pkcs12(data):
    from asn1crypto import pkcs12 as asn1_pkcs12

    try:
        asn1_pkcs12.Pfx.load(data)["auth_safe"]["content"].native
        return True
    except Exception:  # anything that does not parse is not a PKCS#12 file
        return False


def load_id(path, password, now=None):
    """The DigitalId in the PKCS#12 file `path`, or IdError naming what is wrong."""
    name = pathlib.Path(path).name
    try:
        data = pathlib.Path(path).read_bytes()
    except OSError as error:
        raise IdError(_("Cannot read the digital ID {name}: {reason}").format(
            name=name, reason=error.strerror or error)) from None
    try:
        key, certificate, chain = pkcs12.load_key_and_certificates(data, password)
    except ValueError:
        if _is_pkcs12(data):
            raise IdError(_("Wrong password for the digital ID {name}").format(name=name)) from None
        raise IdError(_("{name} is not a digital ID (PKCS#12) file").format(name=name)) from None
    if key is None or certificate is None:
        raise IdError(_("The digital ID {name} holds no private key with its certificate")
                      .format(name=name))
    check_certificate(certificate, name, now)
    return DigitalId(key, certificate, tuple(chain or ()))


def check_certificate(certificate, name, now=None):
    """Raises IdError when the certificate is outside its validity period or
    not meant for signatures."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    if now < certificate.not_valid_before_utc:
        raise IdError(_("The digital ID {name} is not valid before {date}").format(
            name=name, date=certificate.not_valid_before_utc.strftime("%Y-%m-%d %H:%M UTC")))
    if now > certificate.not_valid_after_utc:
        raise IdError(_("The digital ID {name} expired on {date}").format(
            name=name, date=certificate.not_valid_after_utc.strftime("%Y-%m-%d %H:%M UTC")))
    try:
        usage = certificate.extensions.get_extension_for_class(x509.KeyUsage).value
    except x509.ExtensionNotFound:
        return  # no restriction on the key's use
    if not (usage.digital_signature or usage.content_commitment):
        raise IdError(_("The certificate of the digital ID {name} is not meant for signatures "
                        "(no digital signature or non-repudiation key usage)").format(name=name))


def new_id(holder, id_path, password, email=None, cert_path=None, now=None):
    """Writes a self-signed ECDSA P-256 digital ID for `holder` to `id_path`
    (mode 0600), and its certificate to `cert_path` (PEM) when given. Never
    replaces a file. Returns the DigitalId."""
    if not password:
        raise UsageError(_("A digital ID needs a password"))
    for path in filter(None, (id_path, cert_path)):
        if os.path.lexists(path):
            raise UsageError(_("{name} exists already; a digital ID never replaces a file")
                             .format(name=path))
    now = now or datetime.datetime.now(datetime.timezone.utc)
    key = ec.generate_private_key(ec.SECP256R1())
    subject = [x509.NameAttribute(NameOID.COMMON_NAME, holder)]
    if email:
        subject.append(x509.NameAttribute(NameOID.EMAIL_ADDRESS, email))
    name = x509.Name(subject)
    builder = (x509.CertificateBuilder()
               .subject_name(name).issuer_name(name).public_key(key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(minutes=5))
               .not_valid_after(now + datetime.timedelta(days=365 * VALID_YEARS))
               .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
               .add_extension(x509.KeyUsage(
                   digital_signature=True, content_commitment=True, key_encipherment=False,
                   data_encipherment=False, key_agreement=False, key_cert_sign=False,
                   crl_sign=False, encipher_only=False, decipher_only=False), critical=True)
               .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                              critical=False))
    if email:
        builder = builder.add_extension(x509.SubjectAlternativeName([x509.RFC822Name(email)]),
                                        critical=False)
    certificate = builder.sign(key, hashes.SHA256())
    data = pkcs12.serialize_key_and_certificates(
        holder.encode("utf-8"), key, certificate, None,
        serialization.BestAvailableEncryption(password))
    _write_new(id_path, data, 0o600)
    if cert_path:
        try:
            _write_new(cert_path, certificate.public_bytes(serialization.Encoding.PEM), 0o644)
        except BaseException:
            os.remove(id_path)  # nothing half-made stays behind
            raise
    return DigitalId(key, certificate, ())


def _write_new(path, data, mode):
    """Writes `data` to a file that must not exist yet, created with `mode`."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), mode)
    except FileExistsError:
        raise UsageError(_("{name} exists already; a digital ID never replaces a file")
                         .format(name=path)) from None
    except OSError as error:
        raise UsageError(_("Cannot write {name}: {reason}").format(
            name=path, reason=error.strerror or error)) from None
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(data)
    except BaseException:
        os.remove(path)
        raise


def own_certificates_folder():
    """Where `id new` keeps a copy of each certificate it makes, so that
    `verify` trusts the user's own IDs. PDF_STAMP_CONFIG_DIR overrides it."""
    import platformdirs

    base = os.environ.get("PDF_STAMP_CONFIG_DIR")
    base = pathlib.Path(base) if base else platformdirs.user_config_path("pdf-stamp")
    return base / "ids"


def remember_certificate(certificate):
    """Copies the certificate into own_certificates_folder(); returns the path."""
    folder = own_certificates_folder()
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / (certificate.fingerprint(hashes.SHA256()).hex()[:16] + ".pem")
    path.write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    return path


def own_certificates():
    """The certificates in own_certificates_folder() (PEM bytes each)."""
    folder = own_certificates_folder()
    return [p.read_bytes() for p in sorted(folder.glob("*.pem"))] if folder.is_dir() else []
