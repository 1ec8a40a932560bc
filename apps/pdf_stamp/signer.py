"""A pyHanko signer over a key loaded once. pyHanko's own in-memory signer
parses its key again for every signature, which costs most of a signature's
time with an RSA key."""

from asn1crypto import keys, x509 as asn1_x509
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from pyhanko.sign import signers
from pyhanko_certvalidator.registry import SimpleCertificateStore
from pyhanko_certvalidator.util import get_pyca_cryptography_hash

_DER = serialization.Encoding.DER


class _LoadedKeySigner(signers.SimpleSigner):
    def __init__(self, key, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._key = key

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
