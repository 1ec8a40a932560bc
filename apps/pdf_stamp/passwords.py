"""Passwords for digital IDs and protected documents.

A password comes from a file named on the command line, from an environment
variable, or from a prompt on a terminal; never from the command line itself,
where other users and the shell's history could read it. Passwords are kept
as bytes and never printed, logged or reported.
"""

import getpass
import os
import pathlib
import sys

from .exceptions import UsageError
from .i18n import _

ID_VARIABLE = "PDF_STAMP_ID_PASSWORD"
PDF_VARIABLE = "PDF_STAMP_PDF_PASSWORD"


class NoPassword(UsageError):
    """No source gave a password that is needed."""


def read_password(what, password_file=None, variable=ID_VARIABLE, confirm=False):
    """The password (bytes) from `password_file`, else the environment
    `variable`, else a prompt naming `what` when standard input is a
    terminal (asked twice when `confirm`)."""
    if password_file:
        try:
            text = pathlib.Path(password_file).read_bytes()
        except OSError as error:
            raise NoPassword(_("Cannot read the password file {name}: {reason}").format(
                name=password_file, reason=error.strerror or error)) from None
        # One line: the line break an editor adds is not part of the password.
        return text.splitlines()[0] if text.strip(b"\r\n") else b""
    if os.environ.get(variable):
        return os.environ[variable].encode("utf-8")
    if not sys.stdin or not sys.stdin.isatty():
        raise NoPassword(_("A password is needed for {what}: give --password-file or set {variable}")
                         .format(what=what, variable=variable))
    password = getpass.getpass(_("Password for {what}: ").format(what=what))
    if confirm and getpass.getpass(_("The same password again: ")) != password:
        raise NoPassword(_("The two passwords differ"))
    return password.encode("utf-8")
