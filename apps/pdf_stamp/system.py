"""What differs between Windows, macOS and Linux for the hosts, in one place."""

import errno
import os
import shutil
import subprocess
import sys

# Errors of a hard link that mean this file system or share makes none, as
# opposed to a problem with the name: POSIX errno values, and Windows error
# codes (access denied is what some shares and Wine answer; 1 and 50: not
# supported; 17: another drive; 1142: too many links).
_LINKS_REFUSED = {errno.EPERM, errno.EXDEV, errno.EMLINK, errno.ENOSYS, errno.EOPNOTSUPP,
                  getattr(errno, "ENOTSUP", errno.EOPNOTSUPP)}
_WINDOWS_LINKS_REFUSED = {1, 5, 17, 50, 1142}


def links_refused(error):
    """True when an OSError from os.link says that no hard link can be made here."""
    if sys.platform == "win32":
        return getattr(error, "winerror", None) in _WINDOWS_LINKS_REFUSED
    return error.errno in _LINKS_REFUSED


def create_new(path):
    """A descriptor for writing the new file `path`, created here: fails with
    FileExistsError when the name exists in any form (a dangling link too),
    and never opens through a link."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL
    flags |= getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0)
    return os.open(path, flags, 0o666)


def open_folder(path):
    """Shows `path` in the system's file manager. Returns False when no way to
    open it is known here (the caller then shows the path itself)."""
    if sys.platform == "win32":
        os.startfile(path)  # noqa: only on Windows
        return True
    for opener in (["open"] if sys.platform == "darwin" else ["xdg-open", "gio open"]):
        command = opener.split()
        if shutil.which(command[0]):
            subprocess.Popen([*command, os.fspath(path)], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True)
            return True
    return False
