"""Exit statuses of the pdf-stamp command and the errors of the host library.

Every error carries the exit status it stands for; the command maps a caught
error to its status in one place. The messages are Japanese, like the
module's own dialogs, because the window shows them as they are.
"""

import enum

from .i18n import _


class ExitCode(enum.IntEnum):
    ok = 0
    file_failed = 1
    bad_arguments = 2
    interrupted = 130  # Ctrl-C, as shells report SIGINT
    terminated = 143  # SIGTERM, as shells report it


class StampError(Exception):
    """A failure the user is told about; str(e) is the message."""

    exit_code = ExitCode.file_failed


class UsageError(StampError):
    """A malformed command line."""

    exit_code = ExitCode.bad_arguments


class BadPageRule(StampError):
    """A page rule that is not of a known form; names the piece."""

    exit_code = ExitCode.bad_arguments

    def __init__(self, piece):
        super().__init__(_("Invalid page rule: \"{piece}\" (use N, N-M, N-, last, odd, even, "
                           "all)").format(piece=piece))
        self.piece = piece


class PageOutOfRange(StampError):
    """A selected page past the end of a document."""

    def __init__(self, page, page_count, source=""):
        super().__init__(_("Page {page} does not exist: {name} has {count} pages").format(
            page=page, name=source or _("the document"), count=page_count))
        self.page, self.page_count, self.source = page, page_count, source


class UnsafeDocument(StampError):
    """A document that stamping would damage, or cannot open."""


class NeedsPassword(UnsafeDocument):
    pass


class SignedDocument(UnsafeDocument):
    pass


class OwnerProtected(UnsafeDocument):
    pass


class ModuleRefused(StampError):
    """process_pdf ended in an error dialog; the message is that dialog's."""


class UnreadableDocument(StampError):
    """A source that is not a PDF with pages the library can read."""


class BadValue(StampError):
    """A size, position or margin that is not a usable number, or an image
    whose size cannot be worked out; names the field or the file."""


class VerificationFailed(StampError):
    """The saved result differs from what was asked for."""
