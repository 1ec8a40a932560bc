import ast
import pathlib

import pytest

from pdf_stamp import i18n

PACKAGE = pathlib.Path(i18n.__file__).parent


def marked_texts():  # every literal text the package passes to _() or ngettext()
    for path in sorted(PACKAGE.rglob("*.py")):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Call) and getattr(node.func, "id", None) in ("_", "ngettext"):
                first = node.args[0] if node.args else None
                if isinstance(first, ast.Constant) and isinstance(first.value, str):
                    yield f"{path.name}:{node.lineno}", first.value


def test_every_marked_text_has_its_japanese_entry():
    missing = [where for where, text in marked_texts() if text not in i18n.catalogue("ja")]
    assert not missing, missing


@pytest.mark.parametrize("variables, expected", [
    ({"PDF_STAMP_LANG": "", "LANGUAGE": "ja:en", "LANG": "C"}, "ja"),
    ({"PDF_STAMP_LANG": "", "LANG": "ja_JP.UTF-8"}, "ja"),
    ({"PDF_STAMP_LANG": "", "LC_ALL": "C.UTF-8", "LANG": "ja_JP.UTF-8"}, "en"),
    ({"PDF_STAMP_LANG": "en_US"}, "en"),
])
def test_language_follows_the_locale(monkeypatch, variables, expected):
    for name in ("LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"):
        monkeypatch.delenv(name, raising=False)
    for name, value in variables.items():
        monkeypatch.setenv(name, value)
    assert i18n.language() == expected


def test_po_reader_keeps_translated_entries_only():
    text = '''msgid ""\nmsgstr ""\n"Language: ja\\n"\n\n#, fuzzy\nmsgid "Old"\nmsgstr "古い"\n
msgid "Saved {name}"\nmsgstr "保存しました"\n": {name}"\nmsgid "Empty"\nmsgstr ""\n
msgid "1 page"\nmsgid_plural "{n} pages"\nmsgstr[0] "{n} ページ"\n'''
    assert i18n.read_po(text) == {"Saved {name}": "保存しました: {name}", "1 page": "{n} ページ"}
