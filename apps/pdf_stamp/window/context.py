"""What the window's panels share: the flet page, the settings, one way into
pdf_module, and the panels themselves.

flet runs each synchronous handler on a thread of its own, so two handlers can
run at once. pdf_module keeps its values in the shared `state` module and prints
its reasons on standard output: every call into it goes through `call`, which
lets one call run at a time and keeps what each call prints apart from the
others (standard output is replaced once, by a stream that writes to the
calling thread's buffer while it captures, and nowhere else is it swapped).
"""

import contextlib
import io
import sys
import threading

import flet as ft

from pdf_stamp import host
from pdf_stamp.i18n import _

ERROR = host.ERROR_PREFIX


class Nowhere:
    """The stream of a process started without standard output (pythonw)."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


class ThreadOutput:
    """Standard output that sends a capturing thread's writes to its own buffer
    and every other write to the stream it replaced."""

    def __init__(self, stream):
        self.stream = stream if stream is not None else Nowhere()
        self.local = threading.local()

    def write(self, text):
        buffer = getattr(self.local, "buffer", None)
        return (self.stream if buffer is None else buffer).write(text)

    def flush(self):
        if getattr(self.local, "buffer", None) is None:
            self.stream.flush()

    def __getattr__(self, name):  # encoding, fileno, isatty ... of the real stream
        return getattr(self.stream, name)

    @contextlib.contextmanager
    def capture(self):
        outer = getattr(self.local, "buffer", None)
        self.local.buffer = io.StringIO()
        try:
            yield self.local.buffer
        finally:
            captured, self.local.buffer = self.local.buffer.getvalue(), outer
            (self.stream if outer is None else outer).write(captured)  # kept beside the window's lines


def thread_output():
    """The process's ThreadOutput, installed on first use."""
    if not isinstance(sys.stdout, ThreadOutput):
        sys.stdout = ThreadOutput(sys.stdout)
    return sys.stdout


class WindowContext:
    """One window's shared values. The panels are set by the window once built;
    a panel reaches another's controls and handlers through here."""

    def __init__(self, page, settings, saver, pdf_module):
        self.page, self.settings, self.saver, self.pdf_module = page, settings, saver, pdf_module
        self.lock = threading.RLock()  # one module call at a time
        self.output = thread_output()
        self.save_failed = False
        self.document = self.seal = self.position = self.outputs = self.presets = None

    def call(self, function, *args):
        """Calls pdf_module's `function`; returns (its result, what it printed)."""
        with self.lock, self.output.capture() as printed:
            result = function(*args)
            return result, printed.getvalue()

    def tell(self, message):
        """Shows `message` in a dialog with a button that closes it (and prints
        it beside the module's own lines)."""
        print(message, flush=True)

        def close(e):
            self.page.close(dialog)

        dialog = ft.AlertDialog(title=ft.Text(message, size=16, selectable=True),
                                actions=[ft.TextButton(_("Close"), on_click=close)])
        self.page.open(dialog)

    def values(self):
        """The settings worth keeping, as the fields show them now."""
        return {**self.seal.values(), **self.position.values(), **self.outputs.values()}

    def remember(self):
        """Keeps the fields' values; the settings file is written a moment later."""
        self.saver.remember(self.values())

    def save_failed_once(self, error):
        if not self.save_failed:  # once per session, not on every change
            self.save_failed = True
            self.tell(ERROR + _("Cannot save the settings: {reason}").format(reason=error))
