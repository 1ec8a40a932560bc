"""Command-line host for pdf_module (placeholder until stamping lands)."""


def main(argv=None):
    raise SystemExit("pdf-stamp: not available yet")
