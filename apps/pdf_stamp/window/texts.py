"""What the window reads from its fields and documents, and the lines it shows
about them, apart from the controls."""

import os

import fitz


def number(text):
    """The float in a field's text, or None."""
    try:
        return float(text)
    except (TypeError, ValueError):
        return None


def module_error(printed):
    """The reason in the first "[ERROR] what: reason" line the module printed, or None."""
    return next((line.split(": ", 1)[-1] for line in printed.splitlines() if line.startswith("[ERROR]")), None)


def pdf_problem(path):
    """Why the PDF at `path` cannot be previewed (None when it can) and its page
    count: the window opens the file itself to tell the user the reason."""
    try:
        with fitz.open(path) as doc:
            if doc.needs_pass:
                return "パスワードで保護されています", 0
            if doc.page_count == 0:
                return "ページがありません", 0
            return None, doc.page_count
    except Exception as ex:
        return str(ex) or type(ex).__name__, 0


def result_lines(result):
    """The lines of one file in the result list."""
    name = os.path.basename(result.source)
    if not result.ok:
        return [f"✕ {name}: {result.error}"]
    pages = ", ".join(map(str, result.pages_stamped))
    growth = f" (サイズ {result.growth:.2f} 倍)" if result.growth else ""
    return [f"✓ {name} → {os.path.abspath(result.result)}", f"    押印ページ: {pages}{growth}"]
