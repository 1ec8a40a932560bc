import os
import types

import pytest

import pdf_module
from conftest import Field, Page


@pytest.mark.parametrize("existing, expected", [
    ([], "output.pdf"),
    (["output.pdf"], "output.pdf_1.pdf"),
    (["output.pdf", "output.pdf_2.pdf"], "output.pdf_1.pdf"),  # gaps are filled
    (["output.pdf/"], "output.pdf_1.pdf"),                     # a folder counts as taken
])
def test_get_unique_filename(tmp_path, existing, expected):
    for name in existing:
        if name.endswith("/"):
            (tmp_path / name.rstrip("/")).mkdir()
        else:
            (tmp_path / name).write_bytes(b"")
    assert pdf_module.get_unique_filename(str(tmp_path), "output.pdf") == str(tmp_path / expected)
    assert sorted(os.listdir(tmp_path)) == sorted(n.rstrip("/") for n in existing)
    missing = str(tmp_path / "nowhere")
    assert pdf_module.get_unique_filename(missing, "output.pdf") == os.path.join(missing, "output.pdf")


@pytest.mark.parametrize("path, expected", [("/chosen/folder", "/chosen/folder"), ("", "old")])
def test_select_directory(path, expected):
    field = Field("old")
    assert pdf_module.select_directory(types.SimpleNamespace(path=path), field) is None
    assert (field.value, field.updates) == (expected, 1)


@pytest.mark.parametrize("message", ["【ERROR】対象ページが指定されていません", ""])
def test_show_dialog(page, message):
    assert pdf_module.show_dialog(page, message) is None
    assert (page.dialog.title.value, page.log) == (message, [("open", page.dialog), ("update",)])


@pytest.mark.parametrize("button, effects", [
    (0, [("destroy",)]),  # yes: no redraw before the window goes
    (1, [("update",)]),   # no: the window stays
])
@pytest.mark.parametrize("later_message", [False, True])
def test_exit_buttons(page, button, effects, later_message):
    other = Page()   # each dialog's buttons act on their own page
    pdf_module.confirm_exit(other)
    pdf_module.confirm_exit(page)
    dialog, actions = page.dialog, page.dialog.actions
    assert (dialog.title.value, [a.text for a in actions]) == ("アプリを終了しますか？", ["はい", "いいえ"])
    assert page.log == [("open", dialog), ("update",)]
    if later_message:  # the buttons close whatever dialog is current when clicked
        pdf_module.show_dialog(page, "later message")
        dialog = page.dialog
    page.log.clear()
    assert actions[button].on_click(types.SimpleNamespace(name="click")) is None
    assert (page.log, len(other.log)) == ([("close", dialog)] + effects, 2)
