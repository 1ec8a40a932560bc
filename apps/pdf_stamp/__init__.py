"""Command-line host for pdf_module."""
