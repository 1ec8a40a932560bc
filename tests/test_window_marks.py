import types

import flet as ft
import pytest
from PIL import Image

pdf_module = pytest.importorskip("pdf_module")
from pdf_stamp import marks, stamping  # noqa: E402
from pdf_stamp.seal import turned_box  # noqa: E402
from pdf_stamp.window import app, overlay, state  # noqa: E402
from pdf_stamp.window.settings import Settings  # noqa: E402
from stamping import make_document  # noqa: E402

PX_PER_MM = 72 / 25.4 * 1.25  # a 400 x 250 pt page is previewed 500 pixels wide


@pytest.fixture
def window(tmp_path, monkeypatch):  # the whole window over a stand-in page, a 3-page PDF and a stamp
    monkeypatch.setattr(ft.Control, "update", lambda self: None)
    monkeypatch.setattr(pdf_module, "state", state)  # the window's own state, as when it runs
    monkeypatch.chdir(tmp_path)
    make_document("three.pdf", ((400, 250, 0),) * 3)
    Image.new("RGB", (100, 50), (255, 0, 255)).save("stamp.png")
    page = types.SimpleNamespace(
        controls=[], overlay=[], width=1180, title="", padding=0, dialogs=[],
        window=types.SimpleNamespace(width=1180, height=860), update=lambda: None, add=lambda *c: None,
        close=lambda d: None)
    page.open = lambda d: page.dialogs.append(d.title.value)
    w = app.Window(page, Settings.load(tmp_path / "config" / "settings.json"))
    w.start(types.SimpleNamespace(pdf=["three.pdf"], image="stamp.png", x="20", y="10"))
    yield w
    w.close()


def show_page(w, n):
    w.document.page_number.value = str(n)
    w.document.on_page_change(None)
    overlay = w.document.overlay
    pictures = [c for c in overlay.others.controls if isinstance(c, ft.Image)]
    return w.document.image_preview.visible, len(pictures), overlay.nothing_here.visible


def test_marks_show_on_their_pages_and_write_as_a_marks_file_does(window, tmp_path):
    window.marks.on_add(None)  # the second mark, edited now: a date seal tilted on page 2
    editor = window.seal.editor
    editor.kind.value, editor.top.value, editor.bottom.value, editor.date.value = "date_seal", "経理部", "山田", "2026-12-07"
    editor.draw()
    window.seal.tilt.value = 15
    window.seal.on_tilt(None)
    window.outputs.target_pages.value = "2"
    # (chosen mark shown, other marks shown, "not stamped" line) per page
    assert [show_page(window, n) for n in (1, 2, 3)] == [(False, 1, False), (True, 0, False), (False, 0, True)]
    preview, side = window.document.image_preview, float(turned_box("15", "15", 15)[0]) * PX_PER_MM
    assert (preview.width, preview.height) == pytest.approx((side, side))  # the turned box is outlined
    labels = [window.document.turn(step) or window.document.page_label.value for step in (1, 1, -1, -1, -1)]
    assert labels == ["3 / 3", "3 / 3", "2 / 3", "1 / 3", "1 / 3"]  # the arrows keep within the document

    (tmp_path / "marks.toml").write_text(
        '[[mark]]\nimage = "stamp.png"\nx = 20\ny = 10\nwidth = 35.28\npages = "1"\n'
        '[[mark]]\ndate_seal = { top = "経理部", bottom = "山田", date = 2026-12-07 }\n'
        'x = 57.3\ny = 10\nwidth = 15.0\nrotate = 15\npages = "2"\n', encoding="utf-8")
    def described(m):
        return m.image, m.seal, float(m.x), float(m.y), float(m.width), m.pages, m.rotate, m.anchor, m.opacity

    job = window.outputs.job()
    assert list(map(described, job.marks)) == list(map(described, marks.load_marks("marks.toml")))
    assert stamping.stamp_file(job, "three.pdf", str(tmp_path / "out.pdf")).pages_stamped == [1, 2]


def test_choosing_removing_and_restarting_keep_each_mark(window, tmp_path):
    window.marks.on_add(None)
    window.position.on_anchor("bottom-right")
    window.marks.choose(0)
    assert (window.position.x_position.value, window.ctx.anchor) == ("20", None)
    window.ctx.remember()
    window.ctx.saver.flush()
    saved = Settings.load(tmp_path / "config" / "settings.json").current
    assert [m["anchor"] for m in saved["marks"]] == [None, "bottom-right"] and saved["chosen"] == 0
    window.marks.on_remove(None)  # the chosen one goes; the other is edited now
    assert len(window.marks.marks) == 1 and window.ctx.anchor == "bottom-right"
    assert window.ctx.values()["marks"][0]["x"] == f"{400 / 72 * 25.4 - 10 - 35.28:.1f}"


@pytest.mark.parametrize("pages, every, page, expected", [
    ("last", "2", 2, True),
    ("1-x", "", 1, False),  # rules the output refuses select nothing, and stop no handler
    ("1,5", "", 1, False),
])
def test_a_mark_lands_on_the_pages_its_rules_select(pages, every, page, expected):
    assert overlay.lands({"pages": pages, "every": every}, page, 3) is expected


@pytest.mark.parametrize("kind, texts, problem", [
    ("date_seal", {"top": "経理部", "bottom": "山田", "date": "2026-02-30"}, "2026-02-30"),  # no such day
    ("date_seal", {"top": "経理部" * 8, "bottom": "山田"}, "読める大きさ"),
    ("name_seal", {"name": "山田太郎一"}, "1〜4文字"),
])
def test_a_seal_that_cannot_be_drawn_says_why_and_keeps_the_last_picture(window, kind, texts, problem):
    editor = window.seal.editor
    editor.kind.value, editor.name.value, editor.top.value, editor.bottom.value = kind, "山田", "総務", "受付"
    editor.draw()
    drawn = window.seal.image_path.value
    for name, text in texts.items():
        getattr(editor, name).value = text
    editor.draw()
    assert problem in editor.problem.value and editor.problem.visible
    assert window.seal.image_path.value == drawn and window.ctx.values()["marks"][0]["kind"] == kind
