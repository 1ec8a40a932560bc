"""pdf-stamp: stamp an image onto chosen pages of a PDF from the terminal.

The command is a host for pdf_module: it maps its options one to one onto the
arguments of pdf_module.process_pdf and shows the module's dialogs on the
console. Every check of the input is the module's own.
"""

import argparse
import sys
import types

EXIT_WRITTEN = 0
EXIT_NOT_WRITTEN = 1


class ConsolePage:
    """Stands in for the window's page: a dialog is shown by printing its
    title, and a title that begins with "【ERROR】" marks the run as failed."""

    ERROR_PREFIX = "【ERROR】"

    def __init__(self):
        self.dialog = None
        self.messages = []

    def open(self, control):
        message = control.title.value
        self.messages.append(message)
        failed = str(message).startswith(self.ERROR_PREFIX)
        print(message, file=sys.stderr if failed else sys.stdout)

    def close(self, control):
        pass

    def update(self):
        pass

    @property
    def failed(self):
        """True unless exactly the one success dialog was shown."""
        return not self.messages or any(
            str(m).startswith(self.ERROR_PREFIX) for m in self.messages
        )


def load_module():
    """Imports pdf_module with a `state` module of this host registered first
    (the module imports the host's `state` by name)."""
    sys.modules.setdefault("state", types.ModuleType("state"))
    import pdf_module

    return pdf_module


def build_parser():
    parser = argparse.ArgumentParser(
        prog="pdf-stamp",
        description=(
            "Stamp an image onto chosen pages of a PDF at a position and size given "
            "in millimetres, and save the result as a new file (output.pdf, or "
            "output.pdf_1.pdf, output.pdf_2.pdf, ... when that name is taken). "
            "The source PDF is never changed."
        ),
        epilog=(
            "Positions are measured from the page's top-left corner as the page is "
            "displayed. Pages are counted from 1. Example: "
            "pdf-stamp in.pdf stamp.png -x 20 -y 30 --width 40 --height 40 "
            "--pages 1,3 --every 4 -o out/"
        ),
    )
    parser.add_argument("pdf", help="the PDF to stamp")
    parser.add_argument("image", help="the stamp image (PNG, JPEG, ...)")
    parser.add_argument("-x", dest="x", required=True, metavar="MM",
                        help="distance of the stamp's left edge from the page's left edge, in mm")
    parser.add_argument("-y", dest="y", required=True, metavar="MM",
                        help="distance of the stamp's top edge from the page's top edge, in mm")
    parser.add_argument("--width", required=True, metavar="MM", help="stamp width in mm")
    parser.add_argument("--height", required=True, metavar="MM", help="stamp height in mm")
    parser.add_argument("-p", "--pages", default="", metavar="LIST",
                        help="page numbers separated by commas, e.g. 1,3,5")
    parser.add_argument("-e", "--every", default="", metavar="N",
                        help="also stamp every N-th page (N, 2N, 3N, ...)")
    parser.add_argument("-o", "--output-dir", default="", metavar="FOLDER",
                        help="folder for the new file (default: the current folder)")
    return parser


def main(argv=None):
    """Runs the command; returns 0 when a file was written, 1 when not, and 2
    (from argparse) for a malformed command line."""
    args = build_parser().parse_args(argv)
    for stream in (sys.stdout, sys.stderr):
        # The module's messages are Japanese: never fail on a narrow console.
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    pdf_module = load_module()
    page = ConsolePage()
    pdf_module.process_pdf(
        args.pdf,
        args.image,
        args.output_dir,
        args.x,
        args.y,
        args.width,
        args.height,
        args.pages,
        args.every,
        page,
    )
    return EXIT_NOT_WRITTEN if page.failed else EXIT_WRITTEN


if __name__ == "__main__":
    sys.exit(main())
