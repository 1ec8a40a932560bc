import dataclasses
import datetime
import math
import os

import fitz
import pytest
from PIL import Image, ImageChops

from pdf_stamp import marks, sealdraw, stamping
from pdf_stamp.exceptions import ExitCode, VerificationFailed
from pdf_stamp.job import StampJob
from pdf_stamp.stamping import stamp_file
from pdf_stamp.verify import verify
from stamping import QUADRANTS, make_document, make_pdf, make_stamp, render, stamped_pages
from test_cli import pdf_stamp
from test_placement import PAGES, PT_PER_MM, expected_box

DAY = datetime.date(2026, 12, 7)


def alpha_of(seal, path, mm=None, ring=True):
    with Image.open(sealdraw.render(seal, path, mm, ring)) as image:
        return image.getchannel("A")


@pytest.mark.parametrize("seal, mm", [
    (sealdraw.DateSeal("株式会社サンプ", "経理部長", datetime.date(2028, 12, 18), "era-kanji"), None),
    (sealdraw.DateSeal("WWWWWWWW", "受付", datetime.date(2018, 12, 31), "era-kanji"), 21),
    (sealdraw.DateSeal("総務", "印", DAY, "short"), 12),
    (sealdraw.NameSeal("佐々木林"), None),
    (sealdraw.NameSeal("印"), 8),
])
def test_texts_stay_inside_the_ring(tmp_path, seal, mm):
    whole = alpha_of(seal, tmp_path / "whole.png", mm)
    alone = alpha_of(seal, tmp_path / "text.png", mm, ring=False)
    side = whole.width
    assert whole.size == alone.size and side >= math.ceil((mm or seal.default_mm) / 25.4 * 600)
    column = [whole.getpixel((side // 2, y)) for y in range(side // 2)]
    inner = side / 2 - column.index(0, column.index(255))  # where the ring ends, from above
    inked = [(x, y) for y in range(side) for x in range(side) if alone.getpixel((x, y)) > 0]
    assert inked and whole.getpixel((0, 0)) == 0
    assert max(math.dist((x + 0.5, y + 0.5), (side / 2, side / 2)) for x, y in inked) < inner


@pytest.mark.parametrize("day, style, text", [
    (DAY, "western", "2026.12.07"), (DAY, "short", "'26.12.07"), (DAY, "era", "R8.12.07"),
    (DAY, "era-kanji", "令和8年12月7日"),
    ((2019, 5, 1), "era-kanji", "令和元年5月1日"), ((2019, 4, 30), "era", "H31.04.30"),
    ((1989, 1, 8), "era-kanji", "平成元年1月8日"), ((1989, 1, 7), "era", "S64.01.07"),
    ((1926, 12, 25), "era", "S1.12.25"), ((1926, 12, 24), "era-kanji", None),
    ((1900, 1, 1), "western", "1900.01.01"),
])
def test_dates_and_eras(day, style, text):
    day = day if isinstance(day, datetime.date) else datetime.date(*day)
    if text is None:
        with pytest.raises(sealdraw.SealError, match="1926-12-25"):
            sealdraw.date_text(day, style)
    else:
        assert sealdraw.date_text(day, style) == text


BAD_MARKS = [  # (a marks file's text, the words its error must hold)
    ('[[mark]]\nimage = "s.png"\nanchor = "top"\nsize = 3\n', '1 番目の押印、キー「size」'),
    ('[[mark]]\nimage = "s.png"\nanchor = "top"\npages = "1"\n'
     '[[mark]]\nimage = "marks.toml"\nanchor = "top"\n', '2 番目の押印、キー「image」'),
    ('[[mark]]\nname_seal = "山田"\nx = 1\n', 'キー「y」'),
    ('[[mark]]\nname_seal = "山田"\nanchor = "top"\nrotate = 181\n', 'キー「rotate」'),
    ('[[mark]]\nname_seal = "山田太郎様"\nanchor = "top"\n', 'キー「name_seal」'),
    ('[[mark]]\nanchor = "top"\ndate_seal = { top = "経理部", bottom = "山田", colour = "red" }\n',
     'キー「date_seal.colour」'),
    ('[[mark]]\nimage = "s.png"\nname_seal = "山田"\nanchor = "top"\n', 'キー「image」'),
    ('[[mark]]\nimage = "s.png"\nanchor = "top"\npages = "1,x"\n', 'キー「pages」'),
    ('[[mark]]\nname_seal = "山田"\nanchor = "top"\n', 'キー「pages」'),
    ('[mark]\nimage = "s.png"\n', "[[mark]]"),
    ('[[mark]]\nimage = "s.png"\nanchor = top\n', "line 3"),
]


@pytest.mark.parametrize("text, words", BAD_MARKS)
def test_malformed_marks_files_are_refused(tmp_path, text, words):
    make_stamp(tmp_path / "s.png")
    (tmp_path / "marks.toml").write_text(text, encoding="utf-8")
    with pytest.raises(marks.MarksError, match="marks.toml") as caught:
        marks.load_marks(tmp_path / "marks.toml")
    assert words in str(caught.value) and caught.value.exit_code == ExitCode.bad_arguments


@pytest.mark.parametrize("mode, rotate, anchor", [
    ("RGB", 30, "bottom-right"), ("P", -150, "top-left")])
def test_tilt_keeps_corners_clear_and_its_box_at_the_anchor(tmp_path, mode, rotate, anchor):
    stamp = make_stamp(tmp_path / "stamp.png")
    Image.open(stamp).convert(mode).save(stamp)
    source = make_document(tmp_path / "in.pdf", PAGES)
    job = StampJob(image=stamp, width="20", anchor=anchor, margin=12, rotate=rotate,
                   pages="all", out_dir=str(tmp_path))
    result = stamp_file(job, source)  # verified on every page, turned ones too, by its box
    assert (result.error, result.pages_stamped, result.warnings) == (None, [1, 2, 3, 4, 5], [])
    assert sorted(os.listdir(tmp_path)) == ["in.pdf", "in_stamped.pdf", "stamp.png"]
    cos, sin = abs(math.cos(math.radians(rotate))), abs(math.sin(math.radians(rotate)))
    w, h = 20 * PT_PER_MM, 80 / 60 * 20 * PT_PER_MM
    box_w, box_h = w * cos + h * sin, w * sin + h * cos
    # turned counter-clockwise, the image's top-right corner is its highest point
    highest = "top_right" if rotate > 0 else "bottom_left"
    with fitz.open(source) as before_doc, fitz.open(result.result) as after_doc:
        for before, after in zip(before_doc, after_doc):
            shown = render(after)
            changed = ImageChops.difference(render(before), shown)
            found = changed.point(lambda v: 255 * (v > 96)).getbbox()  # text edges shift a little
            wanted = expected_box(anchor, 12 * PT_PER_MM, *before.rect[2:], box_w, box_h)
            assert all(abs(a - b) <= 2 for a, b in zip(found, wanted)), (after.number, found, wanted)
            assert shown.getpixel((found[0] + 1, found[1] + 1)) == (255, 255, 255)
            top = [c for x in range(found[0], found[2]) if (c := shown.getpixel((x, found[1] + 3))) != (255,) * 3]
            ink = top[len(top) // 2]
            assert min(QUADRANTS, key=lambda q: math.dist(QUADRANTS[q], ink)) == highest


MARKS = """mark = [
  { image = "stamp.png", pages = "1", x = 20, y = 20, width = 20, opacity = 0.5 },
  { date_seal = { top = "経理部", bottom = "山田", date = 2019-05-01, style = "era-kanji" }, pages = "last", anchor = "bottom-right", margin = 15, rotate = 10 },
  { name_seal = "佐藤", every = 2, anchor = "bottom-right", margin = 40 }]
"""


@pytest.mark.parametrize("args, status, written, says", [
    (["in.pdf", "--marks", "art/marks.toml"], 0, {1: 1, 2: 1, 4: 2}, "3 ページに押印"),
    (["in.pdf", "--name-seal", "山田", "--anchor", "top", "--pages", "odd", "--rotate", "5"], 0,
     {1: 1, 3: 1}, "2 ページに押印"),
    (["in.pdf", "--date-seal", "--seal-top", "経理部", "--seal-bottom", "山田", "--date",
      "2026-12-07", "--anchor", "top", "--pages", "1", "--width", "30"], 0, {1: 1}, "1 ページに押印"),
    (["in.pdf", "--date-seal", "--seal-top", "経理部", "--seal-bottom", "山田", "--anchor", "top",
      "--pages", "1", "--width", "8"], 2, {}, "5.0 pt"),
    (["in.pdf", "--marks", "art/marks.toml", "--margin", "3"], 2, {}, "--margin"),
    (["seal", "--top", "経理部", "--bottom", "山田", "--date", "2026-13-01", "-o", "s.png"], 2, {},
     "存在しない日付です: 2026-13-01"),
    (["seal", "--name", "山田", "--size", "12", "-o", "art/stamp.png"], 1, {}, "置き換えていません"),
    (["seal", "--top", "経理部", "--bottom", "山田", "--size", "18", "-o", "d.png"], 0, "d.png", ""),
])
def test_command_line_seals_and_marks(tmp_path, args, status, written, says):
    (tmp_path / "art").mkdir()
    make_pdf(tmp_path / "in.pdf", 4)
    make_stamp(tmp_path / "art" / "stamp.png")
    (tmp_path / "art" / "marks.toml").write_text(MARKS, encoding="utf-8")
    before = sorted(os.listdir(tmp_path)), (tmp_path / "art" / "stamp.png").read_bytes()
    result = pdf_stamp(*args, cwd=tmp_path)
    assert result.returncode == status and says in result.stdout + result.stderr, result.stderr
    if isinstance(written, str):  # a vermilion seal with transparent corners, at 600 dpi or more
        assert sorted(os.listdir(tmp_path)) == sorted([*before[0], written])
        with Image.open(tmp_path / written) as image:
            assert image.mode == "RGBA" and image.width >= 18 / 25.4 * 600 and image.getpixel((0, 0))[3] == 0
            assert image.getpixel((image.width // 2, 3)) == (0xD9, 0x38, 0x2B, 255)  # the ring
    elif written:
        assert {p: len(boxes) for p, boxes in stamped_pages(tmp_path / "in_stamped.pdf").items()} == written
    else:
        assert (sorted(os.listdir(tmp_path)), (tmp_path / "art" / "stamp.png").read_bytes()) \
            == before


@pytest.mark.parametrize("moved, fault", [(0, ": 1,2"), (1, ": 2,3")])
def test_verification_finds_each_mark_at_its_rectangle(tmp_path, monkeypatch, moved, fault):
    # Three marks share page 2, two with the same picture; a tilted one is checked by its box.
    stamp, source = make_stamp(tmp_path / "s.png"), make_document(tmp_path / "in.pdf", PAGES[:3])
    job = StampJob(image=None, out_dir=str(tmp_path), marks=(
        StampJob(image=stamp, x="10", y="20", width="30", pages="1,2"),
        StampJob(image=None, seal=sealdraw.NameSeal("山田"), anchor="bottom-right", rotate=10,
                 pages="2,3"), StampJob(image=stamp, x="10", y="100", width="30", pages="2")))
    asked = []
    monkeypatch.setattr(stamping, "verify", lambda *args: asked.append(args) or verify(*args))
    assert stamp_file(job, source).pages_stamped == [1, 2, 3]
    before, _done, stamps, name = asked[0]  # each mark moved by 1 pt fails its own pages
    box = stamps[moved].box
    stamps[moved] = dataclasses.replace(stamps[moved], box=(box[0], box[1] + 1, *box[2:]))
    with pytest.raises(VerificationFailed, match="指定の位置にないページがあります.*" + fault):
        verify(before, str(tmp_path / "in_stamped.pdf"), stamps)
