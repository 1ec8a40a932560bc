import types

import flet as ft
import pytest

from pdf_stamp import system
from pdf_stamp.job import FileResult
from pdf_stamp.window import results
from pdf_stamp.window.document_panel import DocumentPanel
from pdf_stamp.window.texts import module_error, number, pdf_problem


@pytest.mark.parametrize("printed, reason", [
    ("[OK] PDF page 1 loaded.\n[ERROR] PDF読み込み失敗: no such file: 'x.pdf'\n[ERROR] later\n", "no such file: 'x.pdf'"),
    ("[INFO] ページ番号が数値ではありません。\n", None),
])
def test_the_reason_in_the_module_s_printed_error_line(printed, reason):
    assert module_error(printed) == reason
    assert number("nan") is None and number(" 3 ") == 3.0  # a margin of "nan" places nothing


def test_why_a_pdf_cannot_be_previewed(tmp_path):  # the library's own reason
    missing = tmp_path / "doc.pdf"
    assert pdf_problem(str(missing)) == (f"no such file: '{missing}'", 0)


def test_results_list_failures_first_and_stay_when_the_folder_cannot_open(tmp_path, page, monkeypatch):
    monkeypatch.setattr(system, "open_folder", lambda path: False)
    monkeypatch.setattr(ft.Column, "update", lambda self: None)  # not on a running page
    written = FileResult(source=str(tmp_path / "in" / "a.pdf"), result=str(tmp_path / "a_stamped.pdf"),
                         pages_stamped=[1, 3], size_before=1000, size_after=1500)
    written.warnings = [{"page": 3, "box": [150, 280, 40, 40], "text": "ページ 3 の印影は一部がページの外にあります"}]
    failed = FileResult(source="b.pdf", error="ページ 9 は b.pdf にありません")
    results.show(types.SimpleNamespace(page=page), [written, failed])
    dialog = page.log[-1][1]
    dialog.actions[0].on_click(None)  # "フォルダを開く"
    assert [line.value for line in dialog.content.controls] == [
        "✕ b.pdf: ページ 9 は b.pdf にありません", f"✓ a.pdf → {tmp_path / 'a_stamped.pdf'}",
        "    押印ページ: 1, 3 (サイズ 1.50 倍)", "    ⚠ ページ 3 の印影は一部がページの外にあります",
        "検証済み: ページ数・押印・フォーム・注釈・しおりを確認しました",
        f"フォルダを開けませんでした。結果はこのフォルダにあります: {tmp_path}"]
    dialog.actions[1].on_click(None)  # "閉じる"
    assert [entry[0] for entry in page.log] == ["open", "close"]


@pytest.mark.parametrize("field, expected", [
    ("c.pdf", ["c.pdf"]),  # typed over without Enter: what the field shows is written
    ("a.pdf", ["a.pdf", "b.pdf"]), ("b.pdf", ["a.pdf", "b.pdf"]), ("", []),
])
def test_output_takes_the_pdfs_the_field_shows(field, expected):
    panel = DocumentPanel(types.SimpleNamespace(page=types.SimpleNamespace(overlay=[]), fields=types.SimpleNamespace()))
    panel.pdf_files, panel.shown, panel.pdf_path.value = ["a.pdf", "b.pdf"], "a.pdf", field
    assert panel.sources() == expected
