"""The host's own texts in the user's language.

Texts are written in English in the code and marked with `_()` (or `ngettext`
where a count decides the form); the Japanese catalogue is read from
`locale/ja/*.po`, one file per concern (cli.po, window.po, ...). The module's
own texts are never translated: hosts show them as they are, and may add a
translation beside them.

The language is Japanese when the locale says so and English otherwise:
PDF_STAMP_LANG first, then the variables gettext reads (LANGUAGE, LC_ALL,
LC_MESSAGES, LANG), then the system's locale (on Windows there are usually no
such variables).
"""

import ast
import functools
import locale
import os
import pathlib

LOCALE_DIR = pathlib.Path(__file__).with_name("locale")
LANGUAGES = ("en", "ja")
_VARIABLES = ("PDF_STAMP_LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG")


def language():
    """'ja' or 'en'."""
    for name in _VARIABLES:
        value = os.environ.get(name, "")
        if value:
            return _language_of(value.split(":")[0])
    try:
        code = locale.getlocale()[0] or ""
    except ValueError:
        code = ""
    return _language_of(code)


def _language_of(code):
    code = code.lower()
    return "ja" if code.startswith(("ja", "japanese")) else "en"


def _(text):
    """`text` in the user's language."""
    return catalogue(language()).get(text) or text


def ngettext(singular, plural, count):
    """The form for `count` in the user's language (Japanese has one form,
    catalogued under the singular)."""
    translated = catalogue(language()).get(singular)
    if translated:
        return translated
    return singular if count == 1 else plural


@functools.cache
def catalogue(lang):
    """msgid -> msgstr of every catalogue file of `lang` ({} for English)."""
    table = {}
    for path in sorted((LOCALE_DIR / lang).glob("*.po")):
        table.update(read_po(path.read_text(encoding="utf-8")))
    return table


def read_po(text):
    """The translated entries of a .po file's text (msgstr[0] for plurals);
    untranslated and fuzzy entries are left out."""
    entries, fields, field, fuzzy = {}, {}, None, False

    def finish():
        msgid, msgstr = fields.get("msgid"), fields.get("msgstr", fields.get("msgstr[0]"))
        if msgid and msgstr and not fuzzy:
            entries[msgid] = msgstr

    for line in text.splitlines():
        line = line.strip()
        if line.startswith('"'):
            fields[field] += ast.literal_eval(line)
            continue
        if not line or line.startswith(("#", "msgid ")):
            if any(key.startswith("msgstr") for key in fields):  # the entry is complete
                finish()
                fields, field, fuzzy = {}, None, False
            fuzzy = fuzzy or (line.startswith("#,") and "fuzzy" in line)
            if not line.startswith("msgid "):
                continue
        field, _sep, literal = line.partition(" ")
        fields[field] = ast.literal_eval(literal)
    finish()
    return entries
