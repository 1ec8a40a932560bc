"""Hosts for pdf_module: a library of plain modules (one per concern) that
the pdf-stamp command and the desktop window share."""
