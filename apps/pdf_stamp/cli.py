"""pdf-stamp: stamp an image onto chosen pages of PDFs from the terminal.

The command parses its options into a StampJob and hands the files to the
host library (batch.run_batch), which does every stamping and saving through
pdf_module.process_pdf. Exit status: 0 when every file was written and
verified, 1 when any failed (the others are still written), 2 for a
malformed command line, 130 or 143 when SIGINT or SIGTERM stopped the run.
Its own texts are in the user's language; the module's are shown as they are.
"""

import argparse
import contextlib
import importlib
import os
import stat
import sys

from . import cli_sign
from .exceptions import BadPageRule, ExitCode, StampError, UsageError
from .i18n import _, ngettext
from .job import StampJob
from .naming import DEFAULT_SUFFIX
from .pages import parse_rules
from .placement import ANCHORS
from .report import Report
from .seal import DEFAULT_TOLERANCE, image_problem

# A first argument that names another command: (module, function) that runs it
# on the remaining arguments; a PDF of that name is given as ./verify.
SUBCOMMANDS = {"verify": ("cli_sign", "run_verify"), "id": ("cli_sign", "run_id"),
               "seal": ("cli_seal", "main")}


def examples():
    return _("""\
examples:
  pdf-stamp in.pdf stamp.png -x 20 -y 30 --width 40 --height 40 --pages 1,3 -o out/
  pdf-stamp invoices/ seal.png --anchor bottom-right --margin 15 --width 30 --pages last
  pdf-stamp contract.pdf signature.png --pages 1 --anchor bottom-left --margin 20
  pdf-stamp a.pdf b.pdf seal.png --anchor top-right --pages odd --opacity 0.7 --white-to-transparent

pages: N, N-M, N- (to the end), last, odd, even, all; separated by commas.
--pages or --every must be given. Results are named NAME_stamped.pdf
(NAME_stamped_1.pdf, ... when taken); no file is ever replaced. Earlier
results found in folders are skipped and counted.
""")


@contextlib.contextmanager
def _argparse_texts():
    """argparse's own texts (usage, its errors) in the user's language too."""
    saved = argparse._, argparse.ngettext
    argparse._, argparse.ngettext = _, ngettext
    try:
        yield
    finally:
        argparse._, argparse.ngettext = saved


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # The command maps every failure to its exit status in one place.
        with _argparse_texts():
            usage = self.format_usage()
        raise UsageError(f"{usage}{self.prog}: {_('error')}: {message}")


def _number(low=None, high=None, whole=False, above=None, as_text=False):
    """An argparse type: an int or float within the bounds given (or, for mm
    that process_pdf converts itself, the text typed once checked)."""
    def check(text):
        try:
            value = int(text) if whole else float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(_("not a number: {text}").format(text=repr(text))) from None
        if value != value or (low is not None and value < low) \
                or (high is not None and value > high) or (above is not None and value <= above):
            raise argparse.ArgumentTypeError(_("out of range: {text}").format(text=repr(text)))
        return text.strip() if as_text else value
    return check


def _page_rules(text):
    try:
        parse_rules(text)
    except BadPageRule as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _suffix(text):
    if os.sep in text or (os.altsep and os.altsep in text):
        raise argparse.ArgumentTypeError(
            _("a suffix cannot hold a path separator: {text}").format(text=repr(text)))
    return text


def build_parser():
    parser = _Parser(
        prog="pdf-stamp", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=examples(),
        description=_("Stamp an image onto chosen pages of PDFs at a position or corner, "
                      "and save each result as a new, verified file beside the others."))
    parser.add_argument("inputs", nargs="+", metavar="FILE",
                        help=_("PDF files, or folders of PDFs (earlier results and hidden "
                               "folders skipped), then the stamp image (PNG, JPEG, ...)"))
    where = parser.add_argument_group(_("placement (mm; -x/-y or --anchor)"))
    where.add_argument("-x", type=_number(as_text=True), metavar="MM",
                       help=_("the stamp's left edge from the page's left edge"))
    where.add_argument("-y", type=_number(as_text=True), metavar="MM",
                       help=_("the stamp's top edge from the page's top edge"))
    where.add_argument("--anchor", choices=ANCHORS,
                       help=_("place the stamp at a corner, an edge's middle or the centre"))
    where.add_argument("--margin", type=_number(low=0), metavar="MM",
                       help=_("distance from the anchor's edges (default: 10)"))
    where.add_argument("--width", type=_number(above=0, as_text=True), metavar="MM",
                       help=_("stamp width; the height follows unless given (default: natural size)"))
    where.add_argument("--height", type=_number(above=0, as_text=True), metavar="MM",
                       help=_("stamp height; the width follows unless given"))
    which = parser.add_argument_group(_("pages (--pages or --every required)"))
    which.add_argument("-p", "--pages", type=_page_rules, default="", metavar="RULES",
                       help=_("e.g. 1,3-5,last or odd; see below"))
    which.add_argument("-e", "--every", type=_number(low=1, whole=True), metavar="N",
                       help=_("also stamp every N-th page (N, 2N, 3N, ...)"))
    seal = parser.add_argument_group(_("seal"))
    seal.add_argument("--opacity", type=_number(low=0, high=1), default=1.0, metavar="0..1",
                      help=_("opacity of the stamp (default: 1)"))
    seal.add_argument("--white-to-transparent", type=_number(low=0, high=255, whole=True),
                      nargs="?", const=DEFAULT_TOLERANCE, metavar="TOLERANCE",
                      help=_("make near-white pixels transparent (tolerance 0-255, default "
                             "{tolerance})").format(tolerance=DEFAULT_TOLERANCE))
    out = parser.add_argument_group(_("output"))
    out.add_argument("-o", "--output-dir", default="", metavar="FOLDER",
                     help=_("folder for the results, created when missing (default: the "
                            "current folder)"))
    out.add_argument("--suffix", type=_suffix, default=DEFAULT_SUFFIX,
                     help=_("added to each result's name (default: {suffix})").format(
                         suffix=DEFAULT_SUFFIX))
    out.add_argument("-r", "--recursive", action="store_true", help=_("take PDFs in subfolders too"))
    out.add_argument("--allow-rewrite", action="store_true",
                     help=_("stamp signed documents anyway (their signatures stop verifying)"))
    cli_sign.add_signing_options(parser)
    run = parser.add_argument_group(_("run"))
    run.add_argument("-j", "--jobs", type=_number(low=1, whole=True), default=None,
                     metavar="N", help=_("files stamped in parallel (default: the number of cores)"))
    run.add_argument("--json", action="store_true",
                     help=_("print one JSON object per file on standard output instead of lines"))
    run.add_argument("-v", "--verbose", action="store_true",
                     help=_("name skipped files, and show the module's own lines on standard error"))
    from .cli_seal import add_stamp_options

    add_stamp_options(parser)
    return parser


def _regular_file(parser, path, unreadable, not_regular, read=False):
    """Refuses, before anything opens it, a path that is missing or is not a
    regular file (a folder, a FIFO, a device), and with `read` one that
    cannot be opened for reading."""
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        parser.error(unreadable.format(path=path, error=error.strerror or error))
    if not stat.S_ISREG(mode):
        parser.error(not_regular.format(path=path))
    if read:
        try:
            open(path, "rb").close()
        except OSError as error:
            parser.error(unreadable.format(path=path, error=error.strerror or error))


def _check_placement(parser, args):
    """The placement and page options of a run with one stamp."""
    if args.anchor is None and (args.x is None or args.y is None):
        parser.error(_("give -x and -y, or --anchor"))
    if args.anchor is not None and (args.x is not None or args.y is not None):
        parser.error(_("-x/-y and --anchor exclude each other"))
    if args.margin is not None and args.anchor is None:
        parser.error(_("--margin goes with --anchor"))
    if not args.pages.strip() and args.every is None:
        parser.error(_("give --pages or --every: which pages to stamp"))


def parse_job(argv=None):
    """(job, sources, skipped, options) from the command line; raises
    UsageError before any PDF is opened."""
    with _argparse_texts():
        parser = build_parser()
        args = parser.parse_args(argv)
    from .cli_seal import stamp_source

    image, seal, marks = stamp_source(args, parser)
    if not marks:
        _check_placement(parser, args)
    if image is not None:
        problem = image_problem(image)
        if problem:
            parser.error(problem)
    for path in args.inputs:
        if not os.path.isdir(path):
            _regular_file(parser, path, _("the PDF cannot be read: {path}: {error}"),
                          _("the PDF is not a regular file: {path}"))
    for path in (args.sign, args.password_file, args.pdf_password_file):
        if path:
            _regular_file(parser, path, _("the file cannot be read: {path}: {error}"),
                          _("not a regular file: {path}"), read=True)
    if args.output_dir and os.path.exists(args.output_dir) and not os.path.isdir(args.output_dir):
        parser.error(_("the output folder is not a folder: {path}").format(path=args.output_dir))
    job = StampJob(
        image=image, seal=seal, marks=marks, rotate=args.rotate,
        x=args.x, y=args.y, width=args.width, height=args.height,
        anchor=args.anchor, margin=10.0 if args.margin is None else args.margin, pages=args.pages,
        every="" if args.every is None else str(args.every),
        opacity=args.opacity, white_to_transparent=args.white_to_transparent is not None,
        tolerance=DEFAULT_TOLERANCE if args.white_to_transparent is None else args.white_to_transparent,
        suffix=args.suffix, allow_rewrite=args.allow_rewrite, out_dir=args.output_dir,
        verbose=args.verbose)
    from .batch import collect_sources

    sources, skipped = collect_sources(args.inputs, args.recursive, job.suffix)
    if not sources and not skipped:
        parser.error(_("no PDF found in {paths}").format(paths=" ".join(args.inputs)))
    if args.output_dir:
        try:
            os.makedirs(args.output_dir, exist_ok=True)
        except OSError as error:
            parser.error(_("the output folder cannot be made: {path}: {error}").format(
                path=args.output_dir, error=error.strerror or error))
    job.signing = cli_sign.signing_for(args, job, sources)
    return job, sources, skipped, args


def run(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] and argv[0] in SUBCOMMANDS:
        module, function = SUBCOMMANDS[argv[0]]
        return getattr(importlib.import_module(f".{module}", __package__), function)(argv[1:])
    job, sources, skipped, args = parse_job(argv)
    from . import host
    from .batch import default_jobs, run_batch

    if job.signing or min(args.jobs or default_jobs(), len(sources)) <= 1:
        host.load_module(headless=True)  # stamped here; this command shows no window
    report = Report(len(sources), args.json, args.verbose)
    report.skipped(skipped)
    results = run_batch(job, sources, args.jobs, on_result=report)
    report.close(results, skipped)
    if results.signal:
        return 128 + results.signal
    return ExitCode.ok if all(r.ok for r in results) else ExitCode.file_failed


def main(argv=None):
    """The pdf-stamp command; returns its exit status."""
    for stream in (sys.stdout, sys.stderr):
        # The messages may be Japanese: never fail on a narrow console.
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        return run(argv)
    except StampError as error:
        print(error, file=sys.stderr)
        return error.exit_code
    except KeyboardInterrupt:
        print(_("pdf-stamp: interrupted"), file=sys.stderr)
        return ExitCode.interrupted


if __name__ == "__main__":
    sys.exit(main())
