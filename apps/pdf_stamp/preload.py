"""Imported once by the server that forks the --jobs workers on Linux:
PyMuPDF and pdf_module are loaded there, before any document is opened, and
every worker starts as a copy of that clean process."""

from . import host, stamping  # noqa: F401 (stamping: what every worker runs)

host.load_module(headless=True)  # the workers show no window
