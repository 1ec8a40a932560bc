"""What the window reads from its fields and documents, and the lines it shows
about them, apart from the controls."""

import math
import os

import fitz

from pdf_stamp.i18n import _


def number(text):
    """The finite float in a field's text, or None ("nan" and "inf" are no lengths)."""
    try:
        value = float(text)
    except (TypeError, ValueError):
        return None
    return value if math.isfinite(value) else None


def module_error(printed):
    """The reason in the first "[ERROR] what: reason" line the module printed, or None."""
    return next((line.split(": ", 1)[-1] for line in printed.splitlines() if line.startswith("[ERROR]")), None)


def pdf_problem(path):
    """Why the PDF at `path` cannot be previewed (None when it can) and its page
    count: the window opens the file itself to tell the user the reason."""
    try:
        with fitz.open(path) as doc:
            if doc.needs_pass:
                return _("It is protected by a password"), 0
            if doc.page_count == 0:
                return _("It has no pages"), 0
            return None, doc.page_count
    except Exception as ex:
        return str(ex) or type(ex).__name__, 0


def result_lines(result):
    """The lines of one file in the result list (warnings of a written file
    below it)."""
    name = os.path.basename(result.source)
    if not result.ok:
        return [f"✕ {name}: {result.error}"]
    pages = ", ".join(map(str, result.pages_stamped))
    line = _("    pages stamped: {pages}").format(pages=pages)
    if result.growth:
        line += _(" (size × {growth:.2f})").format(growth=result.growth)
    warnings = [f"    ⚠ {warning}" for warning in getattr(result, "warnings", None) or []]
    return [f"✓ {name} → {os.path.abspath(result.result)}", line, *warnings]
