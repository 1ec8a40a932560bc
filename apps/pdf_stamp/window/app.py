"""The desktop window: stamp an image onto chosen pages of one or more PDFs.

`pdf-stamp-window [--pdf FILE ...] [--image FILE] [--x MM] [--y MM]` opens it.
pdf_module imports the host's values by the module name `state`: the window's
own state module is registered under that name before pdf_module is imported.
The module does the previews, sizes and positions; the shared library of the
package checks documents, computes anchors, prepares seals and writes the
results, in worker processes so that the window stays responsive.

The window is made of panels, each a class owning its controls and handlers
(document_panel with its overlay and zoom, marks_panel, seal_panel with its
seal_editor, position_panel, output_panel, signing_panel, presets_panel);
they share one WindowContext and talk through it: its fields, its shared
states and the callbacks this module sets from the panel that answers them.
"""

import argparse
import signal
import sys
import threading

import flet as ft

from pdf_stamp.window import state

sys.modules["state"] = state  # before pdf_module is imported, here or by the library
from pdf_stamp import host  # noqa: E402
from pdf_stamp.i18n import _  # noqa: E402
from pdf_stamp.window.context import WindowContext, picked  # noqa: E402
from pdf_stamp.window.document_panel import DocumentPanel  # noqa: E402
from pdf_stamp.window.marks_panel import MarksPanel  # noqa: E402
from pdf_stamp.window.output_panel import OutputPanel  # noqa: E402
from pdf_stamp.window.position_panel import PositionPanel  # noqa: E402
from pdf_stamp.window.presets_panel import PresetsPanel  # noqa: E402
from pdf_stamp.window.saving import Saver  # noqa: E402
from pdf_stamp.window.seal_panel import SealPanel  # noqa: E402
from pdf_stamp.window.settings import Settings  # noqa: E402
from pdf_stamp.window.signing_panel import SigningPanel  # noqa: E402

pdf_module = host.load_module()

CONTROLS_WIDTH = 620
PREVIEW_GAPS = 24 + 2 * 16 + 16  # between the columns, the page's padding, a scroll bar
TERMINATED = threading.Event()  # set by SIGTERM: the exit status says so (128 + 15)


class Window:
    """The panels of one window, laid out: the fields on the left, the preview
    taking the rest of the width on the right."""

    def __init__(self, page: ft.Page, settings: Settings):
        self.page = page
        saver = Saver(settings, on_error=lambda error: self.ctx.save_failed_once(error))
        self.ctx = ctx = WindowContext(page, settings, saver, pdf_module)
        page.title = _("Stamp images onto PDFs")
        page.padding = 16
        page.window.width = 1180
        page.window.height = 860
        self.document = DocumentPanel(ctx)
        self.marks = ctx.marks = MarksPanel(ctx, show=self.show_mark)
        self.seal = SealPanel(ctx)
        self.position = PositionPanel(ctx)
        self.outputs = OutputPanel(ctx)
        self.presets = PresetsPanel(ctx, apply=self.apply)
        self.signing = SigningPanel(ctx, self.outputs.signing_job)
        ctx.value_parts = [self.seal.values, self.position.values, self.outputs.values]
        ctx.show_seal, ctx.show_outline, ctx.sources, ctx.page_shown = (
            self.seal.show_seal, self.document.overlay.refresh, self.document.sources, self.document.page_shown)
        ctx.place_at_anchor = self.position.place_at_anchor
        ctx.show_signatures, ctx.ask_pdf_password = (
            self.signing.show_signatures, self.signing.ask_pdf_password)
        panels = [self.document, self.marks, self.seal, self.position, self.outputs, self.signing,
                  self.presets]
        controls = ft.Column([panel.view for panel in panels], spacing=14, width=CONTROLS_WIDTH,
                             scroll=ft.ScrollMode.AUTO)
        zoom = self.document.zoom
        zoom.available = lambda: (page.width or page.window.width or 0) - CONTROLS_WIDTH - PREVIEW_GAPS
        preview = ft.Column([ft.Row([zoom.frame], scroll=ft.ScrollMode.AUTO),
                             ft.Row([zoom.choice, self.document.overlay.nothing_here])],
                            expand=True, scroll=ft.ScrollMode.AUTO,
                            horizontal_alignment=ft.CrossAxisAlignment.CENTER)
        page.add(ft.Row([controls, preview], vertical_alignment=ft.CrossAxisAlignment.START,
                        spacing=24, expand=True))
        page.on_resized = lambda e: zoom.refit()
        page.on_keyboard_event = self.position.on_key

        # Closing the window asks first; "はい" in the dialog destroys the window.
        def on_window_event(e):
            if e.type == ft.WindowEventType.CLOSE:
                ctx.remember()
                saver.flush()
                pdf_module.confirm_exit(page)

        page.window.prevent_close = True
        page.window.on_event = on_window_event
        page.update()

    def apply(self, values, image=None, x=None, y=None):
        """Fills the panels from a whole set of settings (a preset, or the last
        session's); `image`, `x` and `y` from the command line take precedence
        for the chosen mark."""
        self.marks.apply(values)
        self.outputs.apply(values)
        self.show_mark(values["marks"][values["chosen"]], image, x, y)

    def show_mark(self, mark, image=None, x=None, y=None):
        """Fills the fields with one mark's values."""
        self.outputs.apply_mark(mark)
        self.seal.apply(mark, image)
        self.position.apply(mark, x, y)
        self.marks.retitle(self.ctx.mark_values())

    def start(self, args):
        ctx = self.ctx
        if args.pdf:
            self.document.on_pdfs_picked(picked(*args.pdf))
        self.apply(ctx.settings.current, image=args.image, x=args.x, y=args.y)
        if ctx.settings.notice:
            ctx.tell(ctx.settings.notice)

    def close(self):
        """What the window owns goes with it: pending settings are written, the
        workers finish the file in hand and end, the prepared seals are removed."""
        self.ctx.saver.close()
        self.outputs.shutdown()
        self.seal.folder.cleanup()
        self.document.overlay.folder.cleanup()


def close_on_terminate(page):
    """flet takes SIGTERM for itself and, with its desktop client, does nothing
    with it: a terminated window closes as if "はい" had been chosen, so that
    its exit path runs. A second SIGTERM ends it at once. (On the event loop's
    thread, the main one: only it may set a handler.)"""
    def terminate(signum, frame):
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        TERMINATED.set()
        threading.Thread(target=page.window.destroy, name="terminate", daemon=True).start()

    signal.signal(signal.SIGTERM, terminate)


def main(argv=None):
    parser = argparse.ArgumentParser(description=_("Opens a window that stamps an image onto PDFs."))
    parser.add_argument("--pdf", metavar="FILE", nargs="+", help=_("PDFs to open at start (one or more)"))
    parser.add_argument("--image", metavar="FILE", help=_("image to load at start"))
    parser.add_argument("--x", metavar="MM", help=_("the image's X position (mm)"))
    parser.add_argument("--y", metavar="MM", help=_("the image's Y position (mm)"))
    args = parser.parse_args(argv)
    windows = []

    def start(page):
        window = Window(page, Settings.load())
        windows.append(window)
        page.loop.call_soon_threadsafe(close_on_terminate, page)
        window.start(args)

    try:
        ft.app(target=start)
    finally:
        for window in windows:
            window.close()
    if TERMINATED.is_set():
        raise SystemExit(128 + signal.SIGTERM)


if __name__ == "__main__":
    main()
