# The stamp shows upright where the preview lays it, on every corpus file and hard case.
import os

import fitz
import pytest

from conftest import corpus_rows
from hard_cases import HARD_CASES
from stamping import QUADRANTS, find_stamp, make_stamp, run

GEOMETRY = dict(x="20", y="30", width="15", height="20")
WANTED = fitz.Rect(20, 30, 35, 50) * (72 / 25.4)  # in points: a pixel of a 72 dpi render
REFUSED = dict.fromkeys(["pypdf-libreoffice-writer-password.pdf", "pypdf-r6-user-password.pdf",
                         "user password"], "【ERROR】ページ 1 への画像挿入に失敗: document closed or encrypted")
REFUSED.update(dict.fromkeys(["pypdf-crazyones-encrypted-256.pdf", "qpdf-many-nulls.pdf", "no pages"],
                             "【ERROR】対象ページが指定されていません"))   # no pages (yet)


@pytest.mark.parametrize("source", corpus_rows(lambda path: (path,)) + list(HARD_CASES))
def test_stamp_lands_upright_where_requested(source, tmp_path_factory, tmp_path, page):
    made = tmp_path_factory.mktemp("made")
    name = os.path.basename(source)
    if name in HARD_CASES:
        source = HARD_CASES[name](made / "hard.pdf")
    run(page, source, make_stamp(made / "stamp.png"), str(tmp_path), **GEOMETRY, interval="1")
    if name in REFUSED:
        assert (page.messages(), os.listdir(tmp_path)) == ([REFUSED[name]], [])
        return
    assert page.messages() == [f"PDF出力完了: {tmp_path / 'output.pdf'}"]
    with fitz.open(source) as before_doc, fitz.open(tmp_path / "output.pdf") as after_doc:
        assert len(after_doc) == len(before_doc)
        for before, after in zip(before_doc, after_doc):
            box, colours = find_stamp(before, after)
            if (before.rect & WANTED).is_empty:  # a page too small to show the stamp
                assert box is None, f"page {before.number + 1} changed off the stamp"
                continue
            assert all(abs(a - b) <= 1.5 for a, b in zip(box, WANTED)), (box, WANTED)
            assert colours == list(QUADRANTS)  # upright
