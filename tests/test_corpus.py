"""Stamping every file of the real-world corpus: where a page can be changed
the stamp shows at the requested place, upright, as the page is displayed;
files that cannot be opened or changed end in the module's dialogs with no
file written."""

import os

import fitz
import pytest

from conftest import CORPUS
from stamping import UPRIGHT, assert_close, changed_box, make_stamp, mm_rect, quadrant_colours, render, run

GEOMETRY = ("20", "30", "15", "20")  # x 20 mm, y 30 mm, 15 x 20 mm

# Files that end in an error dialog; every other file is stamped and saved.
REFUSED = {
    "pypdf-crazyones-encrypted-256.pdf": "【ERROR】対象ページが指定されていません",  # no pages until a password is given
    "pypdf-libreoffice-writer-password.pdf": "【ERROR】ページ 1 への画像挿入に失敗: document closed or encrypted",
    "pypdf-r6-user-password.pdf": "【ERROR】ページ 1 への画像挿入に失敗: document closed or encrypted",
    "qpdf-many-nulls.pdf": "【ERROR】対象ページが指定されていません",  # no pages
}

FILES = sorted(f for f in os.listdir(CORPUS) if f.endswith(".pdf")) if os.path.isdir(CORPUS) else []


def test_corpus_is_there():
    assert len(FILES) >= 20, f"corpus missing at {CORPUS}"


@pytest.fixture(scope="module")
def stamp(tmp_path_factory):
    return make_stamp(tmp_path_factory.mktemp("stamp") / "stamp.png")


@pytest.mark.parametrize("name", [f for f in FILES if f not in REFUSED])
def test_stamp_lands_upright_where_requested(name, stamp, tmp_path, page, capsys):
    source = os.path.join(CORPUS, name)
    run(page, source, stamp, str(tmp_path), geometry=GEOMETRY, interval="1")

    output = str(tmp_path / "output.pdf")
    assert page.messages() == [f"PDF出力完了: {output}"]
    wanted = mm_rect(*GEOMETRY)
    with fitz.open(source) as before_doc, fitz.open(output) as after_doc:
        pages = len(before_doc)
        assert len(after_doc) == pages
        for before_page, after_page in zip(before_doc, after_doc):
            shown = before_page.rect & wanted  # the part of the stamp on the page
            box = changed_box(render(before_page), render(after_page))
            if shown.is_empty:
                assert box is None, f"page {before_page.number + 1} changed off the stamp"
                continue
            assert_close(box, shown.irect if shown != wanted else wanted)
            if shown == wanted:
                assert quadrant_colours(render(after_page), box) == UPRIGHT
    assert capsys.readouterr().out.count("DEBUG: Inserting image at ") == pages


@pytest.mark.parametrize("name", sorted(REFUSED))
def test_unchangeable_files_end_in_a_dialog(name, stamp, tmp_path, page, capsys):
    run(page, os.path.join(CORPUS, name), stamp, str(tmp_path), geometry=GEOMETRY, interval="1")
    assert page.messages() == [REFUSED[name]]
    assert os.listdir(tmp_path) == []
