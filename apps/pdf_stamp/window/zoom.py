"""The preview's zoom: the width the window leaves it (fit), 100 % or 200 %.

pdf_module lays the preview out in its own pixels (about 500 on the page's
longer side) and places the stamp in them; the zoom scales the whole preview
as one picture, so that every position the module and the panels compute,
and the pointer positions of a drag, stay in those pixels.
"""

import flet as ft

from pdf_stamp.i18n import _

FIT, STEPS = "fit", {"100": 1.0, "200": 2.0}
BORDER_PX = 4  # the preview's stack is this much larger than the page


def fit_factor(available_px, preview_px):
    """The zoom that makes the preview as wide as `available_px` (1 while
    either is unknown)."""
    if not available_px or not preview_px or available_px <= 0:
        return 1.0
    return available_px / (preview_px + BORDER_PX)


class Zoom:
    def __init__(self, ctx, stack, pdf_preview):
        self.ctx, self.stack, self.pdf_preview = ctx, stack, pdf_preview
        self.available = lambda: None  # the preview's width in the window, set by the window
        self.mode = "100"
        stack.left = stack.top = 0
        self.frame = ft.Stack([stack], width=stack.width, height=stack.height)
        self.choice = ft.SegmentedButton(
            segments=[ft.Segment(value=FIT, label=ft.Text(_("Fit"))),
                      ft.Segment(value="100", label=ft.Text("100 %")),
                      ft.Segment(value="200", label=ft.Text("200 %"))],
            selected={self.mode}, allow_multiple_selection=False, allow_empty_selection=False,
            on_change=self.on_change)

    def size(self):
        """The preview's size unscaled: the page's with its border, or the
        whole empty preview while no page is shown."""
        if not self.pdf_preview.visible or not self.pdf_preview.width:
            return self.stack.width, self.stack.height
        return self.pdf_preview.width + BORDER_PX, self.pdf_preview.height + BORDER_PX

    def factor(self):
        if self.mode == FIT:
            return fit_factor(self.available(), self.size()[0] - BORDER_PX)
        return STEPS[self.mode]

    def on_change(self, e):
        selected = list(self.choice.selected or [])
        if selected:
            self.mode = selected[0]
        self.refit()

    def refit(self):
        """Scales the preview for the zoom chosen and the window's width now."""
        factor = self.factor()
        self.stack.scale = None if factor == 1 else ft.Scale(scale=factor, alignment=ft.alignment.top_left)
        width, height = self.size()
        self.frame.width, self.frame.height = width * factor, height * factor
        if self.ctx.page.controls:
            self.frame.update()
