"""What differs between Windows, macOS and Linux for the hosts, in one place."""

import os
import shutil
import subprocess
import sys


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
