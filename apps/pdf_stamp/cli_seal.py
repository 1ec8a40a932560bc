"""The command line's seals: `pdf-stamp seal ...` writes a date seal or a name
seal as a PNG, and the stamping command's options that stamp a generated
seal, tilt the stamp or apply a marks file."""

import argparse
import datetime
import os
import shutil
import sys
import tempfile

from . import naming, sealdraw
from .cli import _argparse_texts, _number, _Parser
from .exceptions import ExitCode, StampError
from .i18n import _

SEAL_EXAMPLES = """\
examples:
  pdf-stamp seal --top 経理部 --bottom 山田 -o seal.png
  pdf-stamp seal --top 総務 --bottom 佐藤 --date 2026-12-07 --date-style era-kanji --size 18 -o seal.png
  pdf-stamp seal --name 山田 -o name.png
"""


def _date(text):
    try:
        return sealdraw.parse_date(text)
    except sealdraw.SealError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _color(text):
    try:
        sealdraw.parse_color(text)
    except sealdraw.SealError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _add_seal_look(group):
    group.add_argument("--date", type=_date, metavar="YYYY-MM-DD",
                       help=_("the date on a date seal (default: today)"))
    group.add_argument("--date-style", choices=sealdraw.STYLES, default="western",
                       help=_("2026.12.07, '26.12.07, R8.12.07 or 令和8年12月7日 (default: western)"))
    group.add_argument("--color", type=_color, default=sealdraw.VERMILION, metavar="COLOUR",
                       help=_("ink colour, #RRGGBB or a name (default: vermilion {colour})")
                       .format(colour=sealdraw.VERMILION))


def add_stamp_options(parser):
    """The stamping command's options for generated seals, tilt and marks."""
    group = parser.add_argument_group(
        _("generated seals, tilt and marks"),
        _("With --date-seal, --name-seal or --marks every FILE is a PDF or a folder. A marks "
          "file gives each mark its image or seal, pages and place, so the placement, pages "
          "and seal options above are not given with it."))
    group.add_argument("--date-seal", action="store_true",
                       help=_("stamp a date seal drawn from --seal-top, the date and --seal-bottom"))
    group.add_argument("--seal-top", metavar="TEXT", help=_("a date seal's top text (a department)"))
    group.add_argument("--seal-bottom", metavar="TEXT", help=_("a date seal's bottom text (a name)"))
    group.add_argument("--name-seal", metavar="TEXT", help=_("stamp a name seal of 1 to 4 characters"))
    _add_seal_look(group)
    group.add_argument("--rotate", type=_number(low=-180, high=180), default=0.0, metavar="DEG",
                       help=_("tilt the stamp, counter-clockwise (-180 to 180); the size is "
                              "the stamp's before it is turned"))
    group.add_argument("--marks", metavar="MARKS.toml",
                       help=_("stamp every [[mark]] of this file in turn (see the README)"))


def stamp_source(args, parser):
    """(image, seal, marks) from the parsed stamping options: the last FILE
    is the image unless a seal is generated or a marks file is given.
    Removes the image from args.inputs."""
    chosen = [name for name, given in (("--date-seal", args.date_seal),
                                       ("--name-seal", args.name_seal is not None),
                                       ("--marks", args.marks is not None)) if given]
    if len(chosen) > 1:
        parser.error(_("{options} exclude each other").format(options=" / ".join(chosen)))
    _only_with(parser, "--date-seal", args.date_seal, (
        ("--seal-top", args.seal_top), ("--seal-bottom", args.seal_bottom),
        ("--date", args.date), ("--date-style", args.date_style != "western")))
    _only_with(parser, "--date-seal / --name-seal", args.date_seal or args.name_seal is not None,
               (("--color", args.color != sealdraw.VERMILION),))
    if not chosen:
        if len(args.inputs) < 2:
            parser.error(_("give the PDFs and then the stamp image"))
        return args.inputs.pop(), None, ()
    if args.marks is not None:
        from .marks import load_marks

        placed = [o for o, v in (("-x", args.x), ("-y", args.y), ("--anchor", args.anchor),
                                 ("--margin", args.margin is not None),
                                 ("--width", args.width), ("--height", args.height),
                                 ("--pages", args.pages), ("--every", args.every),
                                 ("--rotate", args.rotate), ("--opacity", args.opacity != 1),
                                 ("--white-to-transparent", args.white_to_transparent is not None))
                  if v]
        if placed:
            parser.error(_("with --marks each mark is placed in the marks file: drop {options}")
                         .format(options=" ".join(placed)))
        return None, None, load_marks(args.marks)
    seal = seal_from(args, parser)
    size = args.width if args.width is not None else args.height
    sealdraw.check(seal, None if size is None else float(size))
    return None, seal, ()


def _only_with(parser, needed, present, options):
    given = [name for name, value in options if value]
    if given and not present:
        parser.error(_("{options} only go with {needed}").format(options=" ".join(given),
                                                                 needed=needed))


def seal_from(args, parser, top="seal_top", bottom="seal_bottom", name="name_seal"):
    """The DateSeal or NameSeal the options describe."""
    if getattr(args, name) is not None:
        return sealdraw.NameSeal(getattr(args, name), args.color)
    top, bottom = getattr(args, top), getattr(args, bottom)
    if not top or not bottom:
        parser.error(_("a date seal needs a top text and a bottom text"))
    return sealdraw.DateSeal(top, bottom, args.date or datetime.date.today(), args.date_style,
                             args.color)


def build_seal_parser():
    parser = _Parser(
        prog="pdf-stamp seal", formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=SEAL_EXAMPLES,
        description=_("Write a date seal or a name seal as a PNG with transparent corners."))
    parser.add_argument("--top", metavar="TEXT", help=_("a date seal's top text (a department)"))
    parser.add_argument("--bottom", metavar="TEXT", help=_("a date seal's bottom text (a name)"))
    parser.add_argument("--name", metavar="TEXT", help=_("a name seal of 1 to 4 characters"))
    _add_seal_look(parser)
    parser.add_argument("--size", type=_number(above=0), metavar="MM",
                        help=_("diameter (default: {date} for a date seal, {name} for a name seal)")
                        .format(date=sealdraw.DATE_SEAL_MM, name=sealdraw.NAME_SEAL_MM))
    parser.add_argument("-o", "--output", required=True, metavar="PNG",
                        help=_("the file to write; an existing file is never replaced"))
    return parser


def write_seal(seal, path, mm=None):
    """Draws the seal beside `path` and gives it that name, never replacing
    a file; checks what was written. Returns the path."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise StampError(_("Folder not found: {folder}").format(folder=folder))
    private = tempfile.mkdtemp(prefix=".pdf-stamp-", dir=folder)
    try:
        drawn = sealdraw.render(seal, os.path.join(private, "seal.png"), mm)
        from PIL import Image

        with Image.open(drawn) as image:
            if image.mode != "RGBA" or image.getpixel((0, 0))[3] != 0:
                raise StampError(_("The seal was not written correctly: {path}").format(path=path))
        if not naming.take(drawn, path):
            raise StampError(_("{path} already exists; nothing was replaced").format(path=path))
    finally:
        shutil.rmtree(private, ignore_errors=True)
    return path


def main(argv):
    """`pdf-stamp seal ...`; returns the exit status."""
    with _argparse_texts():
        parser = build_seal_parser()
        args = parser.parse_args(argv)
    if args.name is not None and (args.top or args.bottom):
        parser.error(_("{options} exclude each other").format(options="--name / --top, --bottom"))
    seal = seal_from(args, parser, "top", "bottom", "name")
    sealdraw.check(seal, args.size)
    print(_("Seal written: {path}").format(path=write_seal(seal, args.output, args.size)),
          file=sys.stdout)
    return ExitCode.ok
