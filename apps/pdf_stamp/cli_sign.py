"""The command line's digital signatures: the --sign options of the stamping
command, and the subcommands `pdf-stamp verify` and `pdf-stamp id new`.

pyHanko and cryptography are imported only when a command signs, verifies
or makes an ID: importing them costs about a second."""

import json
import sys
import unicodedata

from .exceptions import ExitCode, StampError, UsageError
from .i18n import _
from .passwords import ID_VARIABLE, PDF_VARIABLE, read_password

def add_signing_options(parser):
    group = parser.add_argument_group(_("digital signature"))
    group.add_argument("--sign", metavar="ID.p12",
                       help=_("sign each file with this digital ID (PKCS#12); the seal becomes "
                              "the signature's appearance, added as an incremental update"))
    group.add_argument("--password-file", metavar="FILE",
                       help=_("the digital ID's password (else ${variable}, else a prompt)")
                       .format(variable=ID_VARIABLE))
    group.add_argument("--tsa", metavar="URL",
                       help=_("add an RFC 3161 timestamp from this authority"))
    _pdf_password_option(group)


def _pdf_password_option(parser):
    parser.add_argument("--pdf-password-file", metavar="FILE",
                        help=_("the password of protected PDFs (else ${variable})")
                        .format(variable=PDF_VARIABLE))


def signing_for(args, job, sources):
    """The Signing of a --sign run (the ID loaded once), or None."""
    job.pdf_password = pdf_password(args)
    if not args.sign and any(mark.sign for mark in job.marks):
        raise UsageError(_("a mark with sign = true needs --sign ID.p12"))
    if not args.sign:
        if args.password_file or args.tsa:
            raise UsageError(_("--password-file and --tsa go with --sign"))
        return None
    if args.tsa and not args.tsa.lower().startswith(("http://", "https://")):
        raise UsageError(_("--tsa needs an http:// or https:// address: {url}").format(url=args.tsa))
    from .identity import load_id
    from .pages import one_page_each
    from .signing import Signing

    signer, _others = job.signature_parts()
    if signer is None:
        raise UsageError(_("with --marks and --sign, give the signature's mark sign = true"))
    one_page_each(signer, sources)

    password = read_password(_("the digital ID {name}").format(name=args.sign), args.password_file)
    return Signing(load_id(args.sign, password), args.tsa)


def pdf_password(args):
    import os

    if args.pdf_password_file or os.environ.get(PDF_VARIABLE):
        return read_password(_("protected PDFs"), args.pdf_password_file, PDF_VARIABLE)
    return None


def _parser(**options):
    from .cli import _Parser  # the command's own: texts in the user's language, exit 2

    return _Parser(**options)


def _verify_parser():
    parser = _parser(prog="pdf-stamp verify",
                     description=_("Report every signature of PDFs: signer, time, intact, valid, "
                                   "trusted, changes after it, coverage."))
    parser.add_argument("files", nargs="+", metavar="PDF")
    parser.add_argument("--trust", action="append", default=[], metavar="CERT.pem",
                        help=_("a trusted root for signers and timestamp authorities "
                               "(repeatable)"))
    parser.add_argument("--json", action="store_true", help=_("one JSON object per signature"))
    _pdf_password_option(parser)
    return parser


def _id_parser():
    parser = _parser(prog="pdf-stamp id", description=_("Digital IDs."))
    commands = parser.add_subparsers(dest="command", required=True, parser_class=type(parser))
    new = commands.add_parser("new", help=_("make a self-signed digital ID (ECDSA P-256)"))
    new.add_argument("--name", required=True, help=_("the holder's name, shown in signatures"))
    new.add_argument("--email")
    new.add_argument("-o", "--output", required=True, metavar="ID.p12")
    new.add_argument("--cert", metavar="CERT.pem",
                     help=_("also write the certificate, for colleagues' --trust"))
    new.add_argument("--password-file", metavar="FILE",
                     help=_("the new ID's password (else ${variable}, else asked twice)")
                     .format(variable=ID_VARIABLE))
    return parser


def _parse(make_parser, argv):
    from .cli import _argparse_texts

    with _argparse_texts():
        return make_parser().parse_args(argv)


def run_verify(argv):
    """`pdf-stamp verify ...` (the arguments after `verify`); the exit status."""
    return _verify(_parse(_verify_parser, argv))


def run_id(argv):
    """`pdf-stamp id new ...` (the arguments after `id`); the exit status."""
    return _id_new(_parse(_id_parser, argv))


def _id_new(args):
    from .identity import new_id, remember_certificate

    password = read_password(_("the new digital ID"), args.password_file, confirm=True)
    made = new_id(args.name, args.output, password, email=args.email, cert_path=args.cert)
    remember_certificate(made.certificate)
    print(_("Digital ID for {holder} written to {path}").format(holder=made.name, path=args.output))
    if args.cert:
        print(_("Certificate for --trust written to {path}").format(path=args.cert))
    return ExitCode.ok


def _verify(args):
    from .signatures import report, trust_roots

    roots = trust_roots(args.trust)
    password = pdf_password(args)
    ok = True
    rows = []
    for path in args.files:
        try:
            reports = report(path, roots, password)
        except StampError as error:
            print(error, file=sys.stderr)
            ok = False
            continue
        if not reports:
            print(_("{name}: no signatures").format(name=path), file=sys.stderr)
            ok = False
        for entry in reports:
            ok = ok and entry.ok(bool(args.trust))
            if args.json:
                print(json.dumps(entry.as_dict(), ensure_ascii=False))
            else:
                rows.append(_row(entry))
    if rows:
        _print_table(rows)
    return ExitCode.ok if ok else ExitCode.file_failed


def _mark(flag):
    return "✓" if flag else "✗"


def _row(entry):
    from .signatures import describe_changes

    changed = describe_changes(entry.changed_after)
    return [entry.file, entry.field, entry.signer or "-", entry.signing_time or "-",
            entry.timestamp_time or "-", _mark(entry.intact), _mark(entry.valid),
            _mark(entry.trusted), changed, _("whole file") if entry.whole_file else _("a revision"),
            entry.problem or ""]


def _width(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def _print_table(rows):
    header = [_("file"), _("field"), _("signer"), _("signed at"), _("timestamp"), _("intact"),
              _("valid"), _("trusted"), _("changed after"), _("covers"), _("problem")]
    rows = [header, *rows]
    widths = [max(_width(row[i]) for row in rows) for i in range(len(header))]
    for row in rows:
        print("  ".join(cell + " " * (w - _width(cell)) for cell, w in zip(row, widths)).rstrip())
