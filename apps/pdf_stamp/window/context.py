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
import types

import flet as ft

from pdf_stamp import host
from pdf_stamp.i18n import _
from pdf_stamp.seal import turned_box
from pdf_stamp.window import state
from pdf_stamp.window.texts import number

ERROR = host.ERROR_PREFIX
MM_PER_PT = 25.4 / 72


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


def picked(*paths):
    """A file-picker result for `paths`, as if the user had picked them (no path
    is a cancelled pick)."""
    files = [types.SimpleNamespace(path=p) for p in paths if p]
    return types.SimpleNamespace(files=files or None)


def page_mm():
    """The previewed page's size in mm, as pdf_module left it in `state`."""
    return state.pdf_width_pt * MM_PER_PT, state.pdf_height_pt * MM_PER_PT


def unset(*args, **kwargs):
    raise RuntimeError("a window callback was used before the window was built")


class WindowContext:
    """One window's shared values. The panels talk through it, never through
    each other's attributes:
    - `fields` holds the controls pdf_module's handlers take, each added by the
      panel that owns it (pdf_path, page_number, pdf_preview, image_preview,
      preview, dragger, image_path, image_width, image_height, x_position,
      y_position);
    - `anchor` and `cleared` are the placement and preview states that several
      panels read, `rotate` the chosen mark's tilt;
    - `marks` is the marks panel: the list of marks the fields edit one of;
    - the callbacks are set by the window from the panel that answers them.
    """

    def __init__(self, page, settings, saver, pdf_module):
        self.page, self.settings, self.saver, self.pdf_module = page, settings, saver, pdf_module
        self.lock = threading.RLock()  # one module call at a time
        self.output = thread_output()
        self.save_failed = False
        self.fields = types.SimpleNamespace()
        self.anchor = None  # an anchor places the stamp; None: the X/Y fields do
        self.cleared = False  # the preview was cleared after a file that could not be shown
        self.rotate = 0  # the chosen mark's tilt in degrees
        self.marks = None  # the marks panel
        self.value_parts = []  # each panel's values(): the chosen mark's settings and the output folder
        self.show_seal = self.place_at_anchor = self.show_outline = self.sources = self.page_shown = unset
        self.show_signatures = self.ask_pdf_password = unset
        self.pdf_password = None  # of the protected PDF last asked for; never kept

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

    def mark_values(self):
        """The chosen mark's values and the output folder, as the fields show them now."""
        return {name: value for part in self.value_parts for name, value in part().items()}

    def values(self):
        """The whole set worth keeping: every mark, the chosen one as the fields
        show it, and the output folder."""
        editing = self.mark_values()
        return {"marks": self.marks.all_marks(editing), "chosen": self.marks.chosen,
                "out_dir": editing["out_dir"]}

    def chosen_size(self):
        """(width, height, ratio) of the chosen stamp's box in mm, turned by its
        tilt; None while the fields do not say."""
        f = self.fields
        width, height = number(f.image_width.value), number(f.image_height.value)
        if not width or not height or not state.original_ratio:
            return None
        if not self.rotate:
            return width, height, state.original_ratio
        width, height = map(float, turned_box(width, height, self.rotate))
        return width, height, width / height

    def remember(self):
        """Keeps the fields' values; the settings file is written a moment later."""
        values = self.values()
        self.marks.retitle(values["marks"][values["chosen"]])
        self.saver.remember(values)

    def save_failed_once(self, error):
        if not self.save_failed:  # once per session, not on every change
            self.save_failed = True
            self.tell(ERROR + _("Cannot save the settings: {reason}").format(reason=error))
