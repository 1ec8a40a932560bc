"""Result names: NAME.pdf gives NAME_stamped.pdf, or NAME_stamped_1.pdf,
NAME_stamped_2.pdf, ... when that name is taken. A name is taken by creating
a hard link to the finished file, which never replaces a file and never
writes through a symbolic link; where the file system makes no hard links
(FAT, exFAT, some shares), by creating the file exclusively and copying into
it. Every result that is neither signed nor protected carries a mark in its
document information, written last, so that a later folder scan knows it
whatever its name."""

import itertools
import os
import re
import shutil

from . import system
from .exceptions import StampError
from .i18n import _

DEFAULT_SUFFIX = "_stamped"
MARK = "PdfStampResult"  # a key of the document information dictionary
_NUMBERED = re.compile(r"(?P<stem>.+)_(?P<n>[0-9]+)\.pdf")


class Stop:
    """Whether the run was interrupted, and by which signal. Workers share
    their run's value (`shared`, set up in each worker); no name is claimed
    once it is set."""

    shared = None  # an object with an int `value`, 0 while running

    @classmethod
    def signal(cls):
        return cls.shared.value if cls.shared is not None else 0


class Interrupted(StampError):
    """The run stopped before this file took its name; nothing was written."""

    def __init__(self, message=None):  # the message, when it comes back from a worker
        super().__init__(message or _("Not written: the run was interrupted"))


def result_stem(source, suffix=DEFAULT_SUFFIX):
    """NAME<suffix> for a source NAME.pdf (any case of .pdf)."""
    name = os.path.basename(source)
    if name.lower().endswith(".pdf"):
        name = name[:-4]
    return name + suffix


def result_source(name, suffix):
    """NAME.pdf when `name` is NAME<suffix>.pdf or NAME<suffix>_N.pdf (the
    suffix taken literally, .pdf in any case), else None."""
    if not suffix:
        return None
    match = re.fullmatch(r"(.+?)" + re.escape(suffix) + r"(?:_[0-9]+)?\.pdf", name,
                         re.IGNORECASE | re.DOTALL)
    return match and match[1] + ".pdf"


def candidates(folder, stem, start=0):
    """folder/stem.pdf (when `start` is 0), then folder/stem_N.pdf from N = max(start, 1)."""
    if start == 0:
        yield os.path.join(folder, f"{stem}.pdf")
    for n in itertools.count(max(start, 1)):
        yield os.path.join(folder, f"{stem}_{n}.pdf")


def plan_names(sources, out_dir, suffix=DEFAULT_SUFFIX):
    """The result name of each source, in input order: the first candidate
    neither on disk (a dangling link counts) nor planned for an earlier input."""
    planned = set()
    names = []
    for source in sources:
        name = next(c for c in candidates(out_dir, result_stem(source, suffix))
                    if c not in planned and not os.path.lexists(c))
        planned.add(name)
        names.append(name)
    return names


def mark(path):
    """Adds the result mark to the finished file `path` as an incremental
    update: the verified revision stays byte for byte as it was."""
    import fitz

    with fitz.open(path) as doc:
        kind, value = doc.xref_get_key(-1, "Info")
        if kind == "xref":
            info = int(value.split()[0])
        else:  # none yet, or written into the trailer itself
            info = doc.get_new_xref()
            doc.update_object(info, value if kind == "dict" else "<<>>")
            doc.xref_set_key(-1, "Info", f"{info} 0 R")
        doc.xref_set_key(info, MARK, "true")
        doc.saveIncr()


def is_marked(path):
    """True when the file at `path` ends with the result mark: a result as
    this package wrote it. Only its last 64 KiB are read."""
    try:
        with open(path, "rb") as file:
            file.seek(max(0, os.path.getsize(path) - 65536))
            return f"/{MARK} true".encode() in file.read()
    except OSError:
        return False


def claim(temp_file, wanted, marked=True):
    """Marks the finished `temp_file` (unless not `marked`) and gives it the
    name `wanted`, or the next numbered name when that one is taken
    meanwhile; returns the path. Raises Interrupted, naming nothing, once the
    run is stopped. A signed or protected result is not marked: a revision
    after the last signature would show as a change to it, and an encrypted
    file is not updated without its passwords."""
    folder, name = os.path.split(wanted)
    numbered = _NUMBERED.fullmatch(name)
    if numbered:
        names = candidates(folder, numbered["stem"], int(numbered["n"]))
    else:
        names = candidates(folder, name[:-4] if name.lower().endswith(".pdf") else name)
    if marked:
        mark(temp_file)
    for candidate in names:
        if Stop.signal():
            raise Interrupted()
        if take(temp_file, candidate):
            return candidate


def take(temp_file, path):
    """Gives the finished `temp_file` the one name `path`: a hard link, or
    where the file system refuses links, `path` created exclusively and
    written. False when `path` is taken; a file is never replaced, and a
    link is never written through."""
    try:
        os.link(temp_file, path)
        return True
    except FileExistsError:
        return False
    except OSError as error:
        if not system.links_refused(error):
            raise
    return _copy_to_new(temp_file, path)


def _copy_to_new(temp_file, candidate):
    """Creates `candidate` exclusively and copies `temp_file` into it; False
    when the name is taken. A file not written completely is removed again,
    as long as the name still leads to the file created here."""
    try:
        descriptor = system.create_new(candidate)
    except FileExistsError:
        return False
    created = os.fstat(descriptor)
    try:
        with open(descriptor, "wb") as out, open(temp_file, "rb") as data:
            shutil.copyfileobj(data, out, 1 << 20)
            out.flush()
            os.fsync(out.fileno())
    except BaseException:
        try:
            if os.path.samestat(os.lstat(candidate), created):
                os.unlink(candidate)
        except OSError:
            pass
        raise
    return True
