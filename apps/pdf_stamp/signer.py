"""A pyHanko signer over a key loaded once. pyHanko's own in-memory signer
parses its key again for every signature, which costs most of a signature's
time with an RSA key; and it builds the signing-certificate attribute again
for every signature, whose encoding costs a few milliseconds."""

from asn1crypto import keys, tsp, x509 as asn1_x509
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from pyhanko.sign import attributes, signers
from pyhanko.sign.general import as_signing_certificate_v2
from pyhanko_certvalidator.registry import SimpleCertificateStore
from pyhanko_certvalidator.util import get_pyca_cryptography_hash

_DER = serialization.Encoding.DER


class _SigningCertificate(attributes.CMSAttributeProvider):
    """The signing-certificate-v2 attribute of one certificate, encoded once;
    each signature reads it back from its encoding."""

    attribute_type = "signing_certificate_v2"

    def __init__(self, certificate):
        self.certificate = certificate
        self.encoded = as_signing_certificate_v2(certificate).dump()

    async def build_attr_value(self, dry_run=False):
        return tsp.SigningCertificateV2.load(self.encoded)


class _LoadedKeySigner(signers.SimpleSigner):
    def __init__(self, key, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._key = key
        self._certificate_attribute = _SigningCertificate(self.signing_cert)

    def _signed_attr_providers(self, *args, **kwargs):
        for provider in super()._signed_attr_providers(*args, **kwargs):
            if type(provider) is attributes.SigningCertificateV2Provider \
                    and provider.signing_cert is self._certificate_attribute.certificate:
                provider = self._certificate_attribute
            yield provider

    def sign_raw(self, data, digest_algorithm):
        mechanism = self.get_signature_mechanism_for_digest(digest_algorithm).signature_algo
        hash_algorithm = get_pyca_cryptography_hash(digest_algorithm)
        if mechanism == "ecdsa" and isinstance(self._key, ec.EllipticCurvePrivateKey):
            return self._key.sign(data, ec.ECDSA(hash_algorithm))
        if mechanism == "rsassa_pkcs1v15" and isinstance(self._key, rsa.RSAPrivateKey):
            return self._key.sign(data, padding.PKCS1v15(), hash_algorithm)
        return super().sign_raw(data, digest_algorithm)


def _asn1(certificate):
    return asn1_x509.Certificate.load(certificate.public_bytes(_DER))


def loaded_signer(digital_id):
    """The pyHanko signer of a DigitalId, made once per ID."""
    cached = _SIGNERS.get(id(digital_id))
    if cached and cached[0] is digital_id:
        return cached[1]
    key_info = keys.PrivateKeyInfo.load(digital_id.key.private_bytes(
        _DER, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    certificate = _asn1(digital_id.certificate)
    store = SimpleCertificateStore.from_certs([certificate, *map(_asn1, digital_id.chain)])
    signer = _LoadedKeySigner(digital_id.key, signing_cert=certificate, signing_key=key_info,
                              cert_registry=store)
    _SIGNERS[id(digital_id)] = (digital_id, signer)
    return signer


_SIGNERS = {}
