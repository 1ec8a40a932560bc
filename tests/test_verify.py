# What a run reports is what was written: stamps where asked, refusals and reasons that are true.
import json
import os
import signal
import sys
import types

import fitz
import pytest
from PIL import Image

from hard_cases import HARD_CASES, no_pages
from pdf_stamp import naming, stamping
from stamping import make_document, make_stamp, sign, stamp
from test_cli import pdf_stamp

MM = 72 / 25.4


def shown_images(path):  # per page, the displayed rectangles of its images, rounded
    with fitz.open(path) as doc:
        return [[tuple(round(v, 1) for v in fitz.Rect(i["bbox"]) * p.rotation_matrix)
                 for i in p.get_image_info()] for p in doc]


def rotated(path, value):  # two pages whose /Rotate MuPDF rounds to a quarter turn
    with fitz.open() as doc:
        for _ in range(2):
            doc.xref_set_key(doc.new_page(width=595, height=842).xref, "Rotate", value)
        doc.save(str(path))
    return str(path)


# A 40 x 40 mm box with the 60 x 80 px stamp draws 30 x 40 mm, centred: x from 15 mm.
DRAWN = tuple(round(v * MM, 1) for v in (15, 20, 45, 60))


@pytest.mark.parametrize("case, change, error, warned", [
    ("hard cases", {}, None, []),
    ("/Rotate 45", {}, None, []),  # MuPDF shows it turned by 90 while page.rotation reads 0
    ("/Rotate 1000000000", {}, None, []),
    ("/Rotate 45 left turned", {}, "スタンプが指定の位置にないページがあります: 1,2", []),
    ("A4", {"x": "500"}, "スタンプがページ 1 の完全に外にあります（枠 X 500.0、Y 20.0、40.0 × 40.0 mm", []),
    ("A4", {"x": "120", "width": "101.6", "height": None}, None, [1, 2]),
    ("60 pt page", {"x": None, "y": None, "anchor": "bottom-right"}, None, [1]),
])
def test_stamps_are_checked_where_they_show(tmp_path, monkeypatch, case, change, error, warned):
    if case == "hard cases":
        for name, build in HARD_CASES.items():
            if name not in ("user password", "no pages"):
                result = stamp(tmp_path, build(tmp_path / f"{name}.pdf"), pages="1")
                assert result.error is None and shown_images(result.result)[0][-1] == DRAWN, name
        return
    if case.endswith("left turned"):
        monkeypatch.setattr(stamping, "odd_rotations", lambda doc: {})
    if case.startswith("/Rotate"):
        pdf = rotated(tmp_path / "in.pdf", case.split()[1])
    else:
        pdf = make_document(tmp_path / "in.pdf", ((60, 60, 0),) if "60" in case else ((595, 842, 0),) * 2)
    result = stamp(tmp_path, pdf, **change)
    if error:
        assert result.error.startswith("【ERROR】") and error in result.error, result.error
        assert sorted(os.listdir(tmp_path)) == ["in.pdf", "s.png"]
        return
    assert result.error is None and [w["page"] for w in result.warnings] == warned
    if not warned:
        with fitz.open(result.result) as doc:
            assert [p.rotation for p in doc] == [90 if case.endswith("45") else 270] * 2
        assert all(page[-1] == DRAWN for page in shown_images(result.result))
    elif case == "A4":  # the signature of the README's example runs off the right edge
        assert result.warnings[0]["box"] == [120.0, 20.0, 101.6, 135.43]
        assert "ページ 1 ではスタンプの一部がページの外" in result.warnings[0]["text"]
        json.dumps(result.as_dict())


def off_page_signature(path):  # a signed field in /AcroForm /Fields only, and a loop of /Kids
    signed = sign(make_document(path.with_suffix(".src.pdf")), path)
    with fitz.open(signed) as doc:
        widget = next(doc[0].widgets()).xref
        doc.xref_set_key(doc[0].xref, "Annots", "[]")
        doc.xref_set_key(widget, "Kids", f"[{widget} 0 R]")
        doc.saveIncr()
    return signed


def truncated(path):
    data = open(make_document(path), "rb").read()
    with open(path, "wb") as f:
        f.write(data[:int(len(data) * 0.3)])
    return str(path)


@pytest.mark.parametrize("build, change, words", [
    (off_page_signature, {}, "電子署名があります。押印するとファイルが書き換わり、署名は検証できなくなります。"
                              "それでも押印するには、コマンドラインでは --allow-rewrite を付け"),
    (no_pages, {}, "in.pdf にはページがありません"),
    (truncated, {}, "in.pdf は壊れているか、途中で切れています"),
    (lambda p: Image.new("RGB", (8, 8)).save(p, "PNG") or p, {}, "in.pdf は PDF ファイルではありません"),
    (make_document, {"image": "dpi0.png", "width": None, "height": None}, "dpi0.png の解像度が 0.0 dpi"),
    (make_document, {"width": "inf"}, "数値が正しく入力されていません（幅: 「inf」）"),
    (lambda p: "missing.pdf", {}, "【ERROR】PDFの読み込みに失敗しました: no such file: 'missing.pdf'"),
    (make_document, {"image": "missing.png"}, "【ERROR】画像を読み込めません: [Errno 2]"),
    (make_document, {"every": "2.5"}, "【ERROR】ページ毎の数字が不正です"),
    (make_document, {"pages": "even"}, "【ERROR】対象ページが指定されていません"),
    (make_document, {"pages": "1-3"}, "【ERROR】ページ 3 はありません: in.pdf は 1 ページです"),
    (make_document, {"stopped": signal.SIGTERM}, "中断したため書き出していません"),  # verified, not named
])
def test_a_failed_file_says_why_and_leaves_nothing(tmp_path, private_temp, monkeypatch, build, change, words):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(naming.Stop, "shared", types.SimpleNamespace(value=change.pop("stopped", 0)))
    Image.new("RGB", (60, 80), "red").save("dpi0.png", dpi=(0, 0))
    result = stamp(tmp_path, build(tmp_path / "in.pdf"), **change)
    assert (result.result, result.pages_stamped) == (None, []) and words in result.error, result.error
    assert set(os.listdir(tmp_path)) <= {"in.pdf", "in.src.pdf", "s.png", "dpi0.png"}


@pytest.mark.skipif(sys.platform == "win32", reason="names there are always Unicode")
def test_names_that_are_not_utf8(tmp_path):
    pdf, seal = (tmp_path / os.fsdecode(n) for n in (b"r\xe9sum\xe9.pdf", b"s\xe9al.png"))
    os.rename(make_document(tmp_path / "in.pdf"), pdf)
    os.rename(make_stamp(tmp_path / "s0.png"), seal)
    result = stamp(tmp_path, pdf, image=str(seal))
    assert (result.error, result.result) == (None, str(tmp_path / os.fsdecode(b"r\xe9sum\xe9_stamped.pdf")))


def test_json_lines_stay_json(tmp_path):
    pdf = make_document(tmp_path / "in.pdf")
    with fitz.open(pdf) as doc:  # a page content that does not inflate: MuPDF reports errors
        xref = doc[0].get_contents()[-1]
        doc.update_stream(xref, b"not deflated", compress=False)
        doc.xref_set_key(xref, "Filter", "/FlateDecode")
        doc.save(str(tmp_path / "bad.pdf"))
    done = pdf_stamp("bad.pdf", make_stamp(tmp_path / "s.png"), "-x", "10", "-y", "10", "--pages", "1", "--json",
                     "--jobs", "1", cwd=tmp_path)
    (line,) = done.stdout.splitlines()
    result = json.loads(line)  # the stamp is lost with the page's content: a true failure
    assert "ページがあります: 1" in result["error"] and any("zlib" in m for m in result["messages"])
    assert ".pdf-stamp-" not in done.stdout + done.stderr and "PDF出力完了" not in line
