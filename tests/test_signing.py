import datetime
import http.server
import io
import os
import pathlib
import threading

import fitz
import pikepdf
import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

from pdf_stamp import identity, signatures
from pdf_stamp.job import StampJob
from pdf_stamp.signing import Signing
from pdf_stamp.stamping import stamp_file
from stamping import find_stamp, make_document, make_seal, make_stamp, sign
from test_cli import pdf_stamp

NOW = datetime.datetime.now(datetime.timezone.utc)
DAY = datetime.timedelta(days=1)
PASSWORD = b"pass-1234"


def certificate(name, key, issuer=None, issuer_key=None, ca=False, start=-DAY, end=365 * DAY,
                usage=("digital_signature", "content_commitment"), timestamping=False):
    usages = {u: u in usage for u in ("digital_signature", "content_commitment", "key_encipherment",
              "data_encipherment", "key_agreement", "key_cert_sign", "crl_sign", "encipher_only", "decipher_only")}
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    builder = (x509.CertificateBuilder().subject_name(subject)
               .issuer_name(issuer.subject if issuer else subject).public_key(key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(NOW + start).not_valid_after(NOW + end)
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
               .add_extension(x509.KeyUsage(**usages), critical=True))
    if timestamping:
        builder = builder.add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.TIME_STAMPING]),
                                        critical=True)
    return builder.sign(issuer_key or key, hashes.SHA256())


@pytest.fixture(scope="module")
def pki(tmp_path_factory):  # a CA, its certificate in ca.pem (also as trust roots), IDs it issued
    from pyhanko.keys import load_cert_from_pemder

    folder = tmp_path_factory.mktemp("pki")
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca = certificate("Test CA", ca_key, ca=True, usage=("key_cert_sign", "crl_sign"))
    (folder / "ca.pem").write_bytes(ca.public_bytes(serialization.Encoding.PEM))

    def make_id(file, name, with_key=True, **kw):
        key = ec.generate_private_key(ec.SECP256R1())
        cert = certificate(name, key, ca, ca_key, **kw)
        data = pkcs12.serialize_key_and_certificates(
            b"id", key if with_key else None, cert, [ca], serialization.BestAvailableEncryption(PASSWORD))
        (folder / file).write_bytes(data)
        return str(folder / file)

    ids = {name: make_id(f"{name}.p12", name) for name in ("担当", "課長", "部長")}
    ids.update(expired=make_id("expired.p12", "old", start=-9 * DAY, end=-DAY),
               no_usage=make_id("no_usage.p12", "enc", usage=("key_encipherment",)),
               no_key=make_id("no_key.p12", "cert only", with_key=False))
    (folder / "junk.p12").write_bytes(b"not a digital id")
    ids["junk"] = str(folder / "junk.p12")
    tsa_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    tsa = certificate("Test TSA", tsa_key, ca, ca_key, timestamping=True)
    return dict(folder=folder, ca=str(folder / "ca.pem"), ids=ids, tsa=(tsa, tsa_key),
                roots=[load_cert_from_pemder(str(folder / "ca.pem"))])


@pytest.fixture(scope="module")
def tsa_url(pki):  # a timestamp authority on 127.0.0.1
    from asn1crypto import keys, tsp, x509 as asn1_x509
    from pyhanko.sign.timestamps.dummy_client import DummyTimeStamper

    cert, key = pki["tsa"]
    stamper = DummyTimeStamper(
        asn1_x509.Certificate.load(cert.public_bytes(serialization.Encoding.DER)),
        keys.PrivateKeyInfo.load(key.private_bytes(serialization.Encoding.DER,
                                                   serialization.PrivateFormat.PKCS8,
                                                   serialization.NoEncryption())))

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            request = tsp.TimeStampReq.load(self.rfile.read(int(self.headers["Content-Length"])))
            body = stamper.request_tsa_response(request).dump()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        log_message = lambda *args: None  # noqa: E731

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()


def signing(pki, who="担当", **kw):
    return Signing(identity.load_id(pki["ids"][who], PASSWORD), **kw)


def job_for(tmp_path, pki, who="担当", image=None, **kw):  # results go to tmp_path / "out"
    (tmp_path / "out").mkdir(exist_ok=True)
    options = dict(dict(x="20", y="250", width="20", pages="1", out_dir=str(tmp_path / "out")), **kw)
    return StampJob(image=image or make_seal(tmp_path / "seal.png"), signing=signing(pki, who), **options)


@pytest.fixture(scope="module")
def approved(tmp_path_factory, pki, tsa_url):  # three approvers in turn on page 2; the last timestamped
    folder = tmp_path_factory.mktemp("approvals")
    path = make_document(folder / "a.pdf", ((595, 842, 0),) * 2)
    for who, x in (("担当", "20"), ("課長", "50"), ("部長", "80")):
        job = job_for(folder, pki, who, x=x, pages="last")
        job.signing.tsa_url = tsa_url if who == "部長" else None
        result = stamp_file(job, path)
        assert result.ok, result.error
        path = result.result
    return path


def test_approvals_in_turn(approved, pki):
    reports = signatures.report(approved, pki["roots"])
    assert [(r.signer, r.intact, r.valid, r.trusted, r.changed_after, r.whole_file, r.problem)
            for r in reports] == [("担当", True, True, True, "FORM_FILLING", False, None),
                                  ("課長", True, True, True, "FORM_FILLING", False, None),
                                  ("部長", True, True, True, None, True, None)]
    assert [bool(r.timestamp_time) for r in reports] == [False, False, True]
    with fitz.open(approved) as doc:
        seals = sorted(round(i["bbox"][0] * 25.4 / 72) for i in doc[1].get_image_info())
        assert (seals, doc[0].get_image_info(), doc[1].get_images()) == ([20, 50, 80], [], [])


@pytest.mark.parametrize("rotation", [0, 90, 180, 270])
def test_seal_upright_where_a_plain_stamp_lands(tmp_path, pki, rotation):
    source = make_document(tmp_path / "a.pdf", ((595, 842, rotation),))
    job = job_for(tmp_path, pki, image=make_stamp(tmp_path / "q.png"), anchor="bottom-right", margin=15,
                  width="30", x=None, y=None)
    signed = stamp_file(job, source)
    job.signing = None
    plain = stamp_file(job, source)
    with fitz.open(source) as before, fitz.open(plain.result) as a, fitz.open(signed.result) as b:
        (plain_box, plain_quarters), (box, quarters) = (find_stamp(before[0], r[0]) for r in (a, b))
    assert quarters == plain_quarters == ["top_left", "top_right", "bottom_left", "bottom_right"]
    assert max(abs(p - q) for p, q in zip(box, plain_box)) <= 1


@pytest.mark.parametrize("who, password, message", [
    ("担当", b"wrong", "デジタルID 担当.p12 のパスワードが違います"),
    ("junk", PASSWORD, "junk.p12 はデジタルID（PKCS#12）のファイルではありません"),
    ("no_key", PASSWORD, "秘密鍵と証明書の組がありません"),
    ("expired", PASSWORD, "有効期限が切れています"),
    ("no_usage", PASSWORD, "署名用ではありません"),
])
def test_digital_id_refused(pki, who, password, message):
    with pytest.raises(identity.IdError, match=message):
        identity.load_id(pki["ids"][who], password)


def certified(path, pki):
    from pyhanko.pdf_utils.incremental_writer import IncrementalPdfFileWriter
    from pyhanko.sign import fields, signers

    from pdf_stamp.signer import loaded_signer

    with open(path, "rb") as source:
        writer = IncrementalPdfFileWriter(source)
        meta = signers.PdfSignatureMetadata(field_name="Author", certify=True,
                                            docmdp_permissions=fields.MDPPerm.NO_CHANGES)
        data = signers.sign_pdf(writer, meta, loaded_signer(signing(pki).digital_id)).getvalue()
    path.write_bytes(data)


def turned_45(path, pki):
    with fitz.open(path) as doc:
        doc.xref_set_key(doc[0].xref, "Rotate", "45")
        doc.saveIncr()


def encrypted(owner=None, user="", **allow):
    def save(path, pki):
        with pikepdf.open(path, allow_overwriting_input=True) as pdf:
            pdf.save(path, encryption=pikepdf.Encryption(
                owner=owner, user=user, R=6, allow=pikepdf.Permissions(**allow)))
    return save


@pytest.mark.parametrize("prepare, change, message", [
    (lambda path, pki: sign(path, path.with_name("fake.pdf")) and os.replace(
        path.with_name("fake.pdf"), path), {}, "署名辞書が壊れています"),
    (certified, {}, "変更を許さない作成者署名"),
    (None, dict(pages="1-2"), "1ページにだけ付けられますが、ページ指定で 2 ページ"),
    (turned_45, {}, "1 ページの回転が 45 度で、90 の倍数ではない"),
    (None, dict(x="500"), "スタンプがページ 1 の完全に外にあります"),
    (encrypted("own", modify_other=False), {}, "権限設定で変更が禁止されています"),
    (encrypted("own", "usr"), {}, "開くにはパスワードが必要です"),
    (encrypted("own", "usr"), dict(pdf_password=b"bad"), "a.pdf のパスワードが違います"),
], ids=["damaged", "certified", "two pages", "rotate 45", "off the page", "forbidden",
        "needs password", "wrong password"])
def test_document_refused_and_untouched(tmp_path, pki, prepare, change, message):
    source = pathlib.Path(make_document(tmp_path / "a.pdf", ((595, 842, 0),) * 2))
    if prepare:
        prepare(source, pki)
    data = source.read_bytes()
    result = stamp_file(job_for(tmp_path, pki, **change), str(source))
    assert message in result.error
    assert (source.read_bytes(), os.listdir(tmp_path / "out")) == (data, [])


def opened(path, password):
    return pikepdf.open(io.BytesIO(pathlib.Path(path).read_bytes()), password=password)


@pytest.mark.parametrize("protect, password, signed, name", [
    (encrypted("own", "usr"), b"usr", True, "a.pdf"),
    (encrypted("own"), None, True, "a.pdf"),  # owner password only: opens without one
    (encrypted("own", modify_other=False), b"own", True, "a.pdf"),  # forbidden, but the owner's
    (encrypted("own", "usr"), b"usr", False, "a.pdf"),  # plain stamping keeps the protection too
    (encrypted("own"), None, False, os.fsdecode(b"\xff.pdf")),  # a name that is not UTF-8
    (lambda path, pki: turned_45(path, pki) or encrypted("own")(path, pki), None, False, "a.pdf"),
])
def test_protected_document_stays_protected(tmp_path, pki, protect, password, signed, name):
    source = tmp_path / name
    protect(pathlib.Path(make_document(tmp_path / "plain.pdf")), pki)
    os.replace(tmp_path / "plain.pdf", source)
    job = job_for(tmp_path, pki, y="20")
    job.signing, job.pdf_password = job.signing if signed else None, password
    result = stamp_file(job, str(source))
    assert result.ok, result.error
    with opened(source, "own") as before, opened(result.result, "own") as after:
        assert (after.owner_password_matched, after.encryption.P, after.encryption.R) == \
            (True, before.encryption.P, 6)
        assert not signed or after.trailer.Encrypt.objgen == before.trailer.Encrypt.objgen
        assert int(after.pages[0].obj.get("/Rotate", 0)) % 90 == 0  # as the stamp was placed
    with opened(result.result, (password or b"").decode()) as after:
        assert after.is_encrypted and after.user_password_matched == (password != b"own")
    if signed:
        (status,) = signatures.report(result.result, pki["roots"], password)
        assert (status.intact, status.valid, status.trusted) == (True, True, True)


def test_command_line(tmp_path, pki, approved, monkeypatch):
    monkeypatch.setenv("PDF_STAMP_CONFIG_DIR", str(tmp_path / "config"))  # the user's own IDs
    monkeypatch.delenv("PDF_STAMP_ID_PASSWORD", raising=False)
    (tmp_path / "pw").write_bytes(PASSWORD + b"\r\n")
    make_document(tmp_path / "a.pdf")
    make_seal(tmp_path / "seal.png")
    data = pathlib.Path(approved).read_bytes()
    (tmp_path / "changed.pdf").write_bytes(data.replace(b"BT", b"BU", 1))
    (tmp_path / "junk.pdf").write_bytes(b"%PDF-1.7 junk")
    new_id = ["id", "new", "--name", "山田 太郎", "-o", "id.p12", "--cert", "id.pem",
              "--password-file", "pw"]
    signed = ["seal.png", "--sign", "id.p12", "--password-file", "pw", "--anchor", "bottom-right"]
    for args, status, words in [
        (new_id, 0, "山田 太郎 のデジタルIDを id.p12 に作成しました"),
        (new_id, 2, "id.p12 は既にあります"),
        (["a.pdf", *signed, "--pages", "1", "--json"], 0, '"result": "a_stamped.pdf"'),
        (["a.pdf", "seal.png", "--anchor", "top", "-p1", "--tsa", "http://127.0.0.1:9/"], 2, "--sign と一緒に"),
        (["a.pdf", "seal.png", "--sign", "none.p12", "--anchor", "top", "-p1"], 2, "ファイルを読み込めません: none.p12"),
        (["verify", "a_stamped.pdf"], 0, "山田 太郎"),  # the user's own ID is trusted
        (["verify", approved, "--trust", pki["ca"], "--json"], 0, '"signer": "部長"'),
        (["verify", "changed.pdf", "--trust", pki["ca"]], 1, "✗"),
        (["verify", "junk.pdf", "a.pdf"], 1, "junk.pdf を読み込めません"),
        (["verify", "a.pdf"], 1, "a.pdf: 電子署名がありません"),
    ]:
        done = pdf_stamp(*args, cwd=tmp_path)
        output = done.stdout + done.stderr
        assert (done.returncode, words in output, PASSWORD.decode() in output) == \
            (status, True, False), (args, output)
    assert oct(os.stat(tmp_path / "id.p12").st_mode & 0o777) == "0o600"
    assert identity.load_id(tmp_path / "id.p12", PASSWORD).name == "山田 太郎"


PLAIN = 'image = "seal.png"\npages = "1"\nanchor = "top-left"\nwidth = 15\n'
SIGNED = 'image = "seal.png"\npages = "{pages}"\nanchor = "bottom-right"\nwidth = 20\nsign = true\n'


@pytest.mark.parametrize("marks, document, sign, status, words", [
    ([PLAIN, SIGNED.format(pages="last")], "a.pdf", True, 0, '"pages_stamped": [1, 2]'),
    ([PLAIN, SIGNED.format(pages="last")], "signed.pdf", True, 1, "は既に署名されています"),
    ([PLAIN, SIGNED.format(pages="last")], "a.pdf", False, 2, "--sign"),
    ([PLAIN], "a.pdf", True, 2, "sign = true を指定"),
    ([SIGNED.format(pages="1"), SIGNED.format(pages="2")], "a.pdf", True, 2, "2 番目の押印、キー「sign」"),
    ([PLAIN, SIGNED.format(pages="1-2")], "a.pdf", True, 2, "ページ指定で 2 ページが選ばれています"),
])
def test_marks_with_a_signature(tmp_path, pki, approved, marks, document, sign, status, words):
    make_document(tmp_path / "a.pdf", ((595, 842, 0),) * 2)
    (tmp_path / "signed.pdf").write_bytes(pathlib.Path(approved).read_bytes())
    before = {p.name: p.read_bytes() for p in tmp_path.glob("*.pdf")}
    make_seal(tmp_path / "seal.png")
    (tmp_path / "marks.toml").write_text("".join(f"[[mark]]\n{m}" for m in marks), encoding="utf-8")
    done = pdf_stamp(f"PDF_STAMP_ID_PASSWORD={PASSWORD.decode()}", document, "--marks",
                     "marks.toml", "--json", *(("--sign", pki["ids"]["課長"]) if sign else ()),
                     cwd=tmp_path)
    assert (done.returncode, words in done.stdout + done.stderr) == (status, True), done
    assert {p.name: p.read_bytes() for p in tmp_path.glob("*.pdf") if p.name in before} == before
    result = tmp_path / document.replace(".pdf", "_stamped.pdf")
    assert result.exists() == (status == 0)
    if status == 0:  # every earlier signature intact, the new one valid, its seal where asked
        reports = signatures.report(result, pki["roots"])
        assert [(r.signer, r.intact, r.valid, r.trusted) for r in reports][-1] == \
            ("課長", True, True, True)
        assert all(r.intact and not r.problem for r in reports)
