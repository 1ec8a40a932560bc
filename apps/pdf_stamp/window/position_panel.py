"""The position panel: X and Y in mm, the 3 × 3 anchor grid with its margin,
and moving the stamp on the preview with the pointer or the keyboard."""

import flet as ft

from pdf_stamp import placement
from pdf_stamp.i18n import _
from pdf_stamp.window import placing, state
from pdf_stamp.window.context import page_mm
from pdf_stamp.window.texts import number


def anchor_names():
    return dict(zip(placement.ANCHORS, (
        _("top left"), _("top"), _("top right"), _("left"), _("centre"), _("right"),
        _("bottom left"), _("bottom"), _("bottom right"))))


class PositionPanel:
    def __init__(self, ctx):
        self.ctx = ctx
        self.drag = None  # during a drag: the stamp's box and the pointer where it started
        self.x_position = ft.TextField(label="X (mm)", value="0", width=110, dense=True,
                                       on_change=self.on_position_typed)
        self.y_position = ft.TextField(label="Y (mm)", value="0", width=110, dense=True,
                                       on_change=self.on_position_typed)
        self.margin = ft.TextField(label=_("Margin (mm)"), value="10", width=100, dense=True,
                                   on_change=lambda e: self.place_at_anchor())
        names = anchor_names()
        self.anchor_cells = {
            anchor: ft.Container(width=22, height=22, border=ft.border.all(1, ft.Colors.BLUE_GREY_400),
                                 border_radius=3, tooltip=names[anchor],
                                 on_click=lambda e, anchor=anchor: self.on_anchor(anchor))
            for anchor in placement.ANCHORS}
        grid = ft.Column([ft.Row([self.anchor_cells[a] for a in placement.ANCHORS[row:row + 3]], spacing=2)
                          for row in (0, 3, 6)], spacing=2)
        self.view = ft.Column([
            ft.Text(_("3. Position"), weight=ft.FontWeight.BOLD),
            ft.Row([self.x_position, self.y_position, ft.Text(_(
                "From the page's top-left corner. Drag the seal on the preview;\n"
                "Alt+arrows move it 0.5 mm, Alt+Shift+arrows 5 mm"), size=12)]),
            ft.Row([grid, self.margin, ft.Text(_("Placed at the margin from the edges"), size=12)],
                   vertical_alignment=ft.CrossAxisAlignment.CENTER),
        ], spacing=10)
        ctx.fields.x_position, ctx.fields.y_position = self.x_position, self.y_position
        dragger = ctx.fields.dragger  # over the preview
        dragger.on_pan_start, dragger.on_pan_update, dragger.on_pan_end = (
            self.on_drag_start, self.on_drag_update, self.on_drag_end)

    def values(self):
        return {"x": self.x_position.value or "", "y": self.y_position.value or "", "anchor": self.ctx.anchor,
                "margin": self.margin.value or ""}

    def update_preview(self):
        ctx = self.ctx
        ctx.call(ctx.pdf_module.update_image_position, self.x_position, self.y_position,
                 ctx.fields.image_preview, ctx.fields.image_path)
        ctx.show_outline()

    def place(self, x_text, y_text, remember=True):
        """Writes the position fields and lets the module place the preview exactly
        as if the numbers had been typed."""
        self.x_position.value, self.y_position.value = x_text, y_text
        self.x_position.update()
        self.y_position.update()
        self.update_preview()
        if remember:
            self.ctx.remember()

    def on_position_typed(self, e, remember=True):
        if e is not None:
            self.ctx.anchor = None  # typed numbers replace the anchor
            self.show_anchor()
        self.update_preview()
        if remember:
            self.ctx.remember()

    def show_anchor(self):
        for anchor, cell in self.anchor_cells.items():
            cell.bgcolor = ft.Colors.BLUE_400 if anchor == self.ctx.anchor else None
        if self.ctx.page.controls:
            for cell in self.anchor_cells.values():
                cell.update()

    def on_anchor(self, anchor):
        self.ctx.anchor = anchor
        self.show_anchor()
        self.place_at_anchor()

    def place_at_anchor(self, remember=True):
        """Fills X and Y from the anchor and the margin for the page shown and the
        stamp as drawn, as the command line computes them."""
        if not self.ctx.anchor:
            return
        margin, size = number(self.margin.value), self.ctx.chosen_size()
        if margin is None or size is None:
            return
        x, y = placement.anchor_position(self.ctx.anchor, margin, *page_mm(), *size)
        self.place(placing.mm_text(x), placing.mm_text(y), remember)

    def stamp_box(self):
        p = self.ctx.fields.image_preview
        return (p.left or 0, p.top or 0, p.width or 0, p.height or 0)

    def on_drag_start(self, e):
        self.drag = None
        preview = self.ctx.fields.image_preview
        if preview.visible and preview.width and placing.contains(self.stamp_box(), e.local_x, e.local_y):
            self.drag = (self.stamp_box(), (e.local_x, e.local_y))

    def on_drag_update(self, e):
        # The distance from where the drag started, rather than a sum of the
        # deltas: an update that never arrives then costs nothing.
        if self.drag is None:
            return
        f = self.ctx.fields
        (left, top, width, height), (x, y) = self.drag
        bounds = (f.pdf_preview.width or state.PREVIEW_PX, f.pdf_preview.height or state.PREVIEW_PX)
        f.image_preview.left, f.image_preview.top = placing.dragged(
            (left, top), (e.local_x - x, e.local_y - y), (width, height), bounds)
        f.image_preview.update()

    def on_drag_end(self, e):
        # The end event carries no position: the last update's place is the result.
        if self.drag is None:
            return
        self.drag = None
        self.ctx.anchor = None
        self.show_anchor()
        scale = state.pdf_scale_ratio * state.shrink_scale
        preview = self.ctx.fields.image_preview
        self.place(placing.mm_text(placing.px_to_mm(preview.left, scale)),
                   placing.mm_text(placing.px_to_mm(preview.top, scale)))

    def on_key(self, e):
        # Text fields keep plain arrows for their cursor: the stamp moves with Alt.
        if not e.alt or e.ctrl or e.meta:
            return
        f = self.ctx.fields
        position = number(self.x_position.value or 0), number(self.y_position.value or 0)
        size = (self.ctx.chosen_size() or (0, 0))[:2]
        if None in position or not f.image_path.value:
            return
        moved = placing.nudge(e.key, e.shift, position, size, page_mm())
        if moved is not None:
            self.ctx.anchor = None
            self.show_anchor()
            self.place(*map(placing.mm_text, moved))

    def apply(self, values, x=None, y=None):
        """Takes the position's part of a set of settings; `x` and `y` from the
        command line take precedence over the anchor."""
        self.margin.value = values["margin"]
        self.x_position.value = x if x is not None else values["x"]
        self.y_position.value = y if y is not None else values["y"]
        self.ctx.anchor = None if x is not None or y is not None else values["anchor"]
        self.ctx.page.update()
        if self.ctx.anchor:
            self.place_at_anchor(remember=False)
        else:
            self.on_position_typed(None, remember=False)
        self.show_anchor()
