"""pdf-stamp: stamp an image onto chosen pages of PDFs from the terminal.

The command parses its options into a StampJob and hands the files to the
host library (batch.run_batch), which does every stamping and saving through
pdf_module.process_pdf. Exit status: 0 when every file was written and
verified, 1 when any failed (the others are still written), 2 for a
malformed command line.
"""

import argparse
import json
import os
import sys

from .exceptions import BadPageRule, ExitCode, StampError, UsageError
from .job import StampJob
from .naming import DEFAULT_SUFFIX
from .pages import parse_rules
from .placement import ANCHORS
from .seal import DEFAULT_TOLERANCE

EXAMPLES = """\
examples:
  pdf-stamp in.pdf stamp.png -x 20 -y 30 --width 40 --height 40 --pages 1,3 -o out/
  pdf-stamp invoices/ seal.png --anchor bottom-right --margin 15 --width 30 --pages last
  pdf-stamp contract.pdf signature.png --pages 1 --anchor bottom-left --margin 20
  pdf-stamp a.pdf b.pdf seal.png --anchor top-right --pages odd --opacity 0.7 --white-to-transparent

pages: N, N-M, N- (to the end), last, odd, even, all; separated by commas.
Results are named NAME_stamped.pdf (NAME_stamped_1.pdf, ... when taken);
no file is ever replaced.
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # The command maps every failure to its exit status in one place.
        raise UsageError(f"{self.format_usage()}{self.prog}: error: {message}")


def _number(low=None, high=None, whole=False, above=None):
    """An argparse type: an int or float within the bounds given."""
    def check(text):
        try:
            value = int(text) if whole else float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if value != value or (low is not None and value < low) \
                or (high is not None and value > high) or (above is not None and value <= above):
            raise argparse.ArgumentTypeError(f"out of range: {text!r}")
        return value
    return check


def _mm_text(above=None):
    """An argparse type: a number of mm, kept as the text typed (process_pdf
    converts it itself)."""
    checked = _number(above=above)

    def check(text):
        checked(text)
        return text.strip()
    return check


def _page_rules(text):
    try:
        parse_rules(text)
    except BadPageRule as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _suffix(text):
    if os.sep in text or (os.altsep and os.altsep in text):
        raise argparse.ArgumentTypeError(f"a suffix cannot hold a path separator: {text!r}")
    return text


def build_parser():
    parser = _Parser(
        prog="pdf-stamp", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXAMPLES,
        description="Stamp an image onto chosen pages of PDFs at a position or corner, "
                    "and save each result as a new, verified file beside the others.")
    parser.add_argument("inputs", nargs="+", metavar="FILE",
                        help="PDF files, or folders of PDFs (results and hidden folders "
                             "skipped), then the stamp image (PNG, JPEG, ...)")
    where = parser.add_argument_group("placement (mm; -x/-y or --anchor)")
    where.add_argument("-x", type=_mm_text(), metavar="MM",
                       help="the stamp's left edge from the page's left edge")
    where.add_argument("-y", type=_mm_text(), metavar="MM",
                       help="the stamp's top edge from the page's top edge")
    where.add_argument("--anchor", choices=ANCHORS,
                       help="place the stamp at a corner, an edge's middle or the centre")
    where.add_argument("--margin", type=_number(low=0), default=10.0, metavar="MM",
                       help="distance from the anchor's edges (default: 10)")
    where.add_argument("--width", type=_mm_text(above=0), metavar="MM",
                       help="stamp width; the height follows unless given (default: natural size)")
    where.add_argument("--height", type=_mm_text(above=0), metavar="MM",
                       help="stamp height; the width follows unless given")
    which = parser.add_argument_group("pages")
    which.add_argument("-p", "--pages", type=_page_rules, default="", metavar="RULES",
                       help="e.g. 1,3-5,last or odd; see below")
    which.add_argument("-e", "--every", type=_number(low=1, whole=True), metavar="N",
                       help="also stamp every N-th page (N, 2N, 3N, ...)")
    seal = parser.add_argument_group("seal")
    seal.add_argument("--opacity", type=_number(low=0, high=1), default=1.0, metavar="0..1",
                      help="opacity of the stamp (default: 1)")
    seal.add_argument("--white-to-transparent", type=_number(low=0, high=255, whole=True),
                      nargs="?", const=DEFAULT_TOLERANCE, metavar="TOLERANCE",
                      help=f"make near-white pixels transparent (tolerance 0-255, default {DEFAULT_TOLERANCE})")
    out = parser.add_argument_group("output")
    out.add_argument("-o", "--output-dir", default="", metavar="FOLDER",
                     help="folder for the results (default: the current folder)")
    out.add_argument("--suffix", type=_suffix, default=DEFAULT_SUFFIX,
                     help=f"added to each result's name (default: {DEFAULT_SUFFIX})")
    out.add_argument("-r", "--recursive", action="store_true", help="take PDFs in subfolders too")
    out.add_argument("--allow-rewrite", action="store_true",
                     help="stamp signed or owner-password documents anyway (signatures stop "
                          "verifying; the protection is not kept)")
    run = parser.add_argument_group("run")
    run.add_argument("-j", "--jobs", type=_number(low=1, whole=True), default=None,
                     metavar="N", help="files stamped in parallel (default: the number of cores)")
    run.add_argument("--json", action="store_true",
                     help="print one JSON object per file on standard output instead of lines")
    run.add_argument("-v", "--verbose", action="store_true",
                     help="show the module's own lines on standard error")
    from .cli_seal import add_stamp_options

    add_stamp_options(parser)
    return parser


def parse_job(argv=None):
    """(job, sources, options) from the command line; raises UsageError."""
    parser = build_parser()
    args = parser.parse_args(argv)
    from .cli_seal import stamp_source

    image, seal, marks = stamp_source(args, parser)
    if not marks and args.anchor is None and (args.x is None or args.y is None):
        parser.error("give -x and -y, or --anchor")
    if args.anchor is not None and (args.x is not None or args.y is not None):
        parser.error("-x/-y and --anchor exclude each other")
    if args.output_dir and not os.path.isdir(args.output_dir):
        parser.error(f"output folder not found: {args.output_dir}")
    job = StampJob(
        image=image, seal=seal, marks=marks, rotate=args.rotate,
        x=args.x, y=args.y, width=args.width, height=args.height,
        anchor=args.anchor, margin=args.margin, pages=args.pages,
        every="" if args.every is None else str(args.every),
        opacity=args.opacity, white_to_transparent=args.white_to_transparent is not None,
        tolerance=DEFAULT_TOLERANCE if args.white_to_transparent is None else args.white_to_transparent,
        suffix=args.suffix, allow_rewrite=args.allow_rewrite, out_dir=args.output_dir,
        verbose=args.verbose)
    from .batch import collect_sources

    sources = collect_sources(args.inputs, args.recursive, job.suffix)
    if not sources:
        parser.error(f"no PDF found in {' '.join(args.inputs)}")
    return job, sources, args


def _size(count):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(count) < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024


def describe(result):
    """The one line shown for a file."""
    if not result.ok:
        return f"{result.source}: {result.error}"
    pages = len(result.pages_stamped)
    return (f"{result.source} -> {result.result}: {pages} page{'s' * (pages != 1)} stamped, "
            f"{_size(result.size_before)} -> {_size(result.size_after)} (x{result.growth:.2f})")


class _Report:
    """Shows each finished file: a line (or a JSON object) and the progress bar."""

    def __init__(self, total, as_json):
        from tqdm import tqdm

        self.as_json = as_json
        tqdm.monitor_interval = 0  # no monitor thread: worker processes may be forked
        self.bar = tqdm(total=total, unit="file", file=sys.stderr, leave=False,
                        disable=not sys.stderr.isatty())

    def __call__(self, result):
        if self.as_json:
            self.bar.write(json.dumps(result.as_dict(), ensure_ascii=False), file=sys.stdout)
        else:
            self.bar.write(describe(result), file=sys.stdout if result.ok else sys.stderr)
            for warning in result.warnings:
                self.bar.write(warning["text"], file=sys.stderr)
        self.bar.update()

    def close(self, results):
        self.bar.close()
        if not self.as_json:
            failed = sum(not r.ok for r in results)
            print(f"{len(results) - failed} of {len(results)} files stamped"
                  + (f", {failed} failed" if failed else ""))


def run(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["seal"]:
        from .cli_seal import main as seal_main

        return seal_main(argv[1:])
    job, sources, args = parse_job(argv)
    from .batch import run_batch

    report = _Report(len(sources), args.json)
    results = run_batch(job, sources, args.jobs, on_result=report)
    report.close(results)
    return ExitCode.ok if all(r.ok for r in results) else ExitCode.file_failed


def main(argv=None):
    """The pdf-stamp command; returns its exit status."""
    for stream in (sys.stdout, sys.stderr):
        # The messages are Japanese: never fail on a narrow console.
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        return run(argv)
    except StampError as error:
        print(error, file=sys.stderr)
        return error.exit_code
    except KeyboardInterrupt:
        print("pdf-stamp: interrupted", file=sys.stderr)
        return ExitCode.interrupted


if __name__ == "__main__":
    sys.exit(main())
