"""What the preview shows over the page: every mark that lands on the page
shown, each outlined (the one being edited in blue, any in red while part of
it lies off the page), and a line when no mark lands there.

The chosen mark is the module's own stamp preview, which is dragged and
nudged; the others are pictures placed here from their values as the output
places them: the library prepares each (seal drawn, tilt, opacity, white made
transparent) and the page rules say on which pages it lands.
"""

import itertools
import os
import tempfile

import flet as ft

from pdf_stamp import placement, seal
from pdf_stamp.exceptions import StampError
from pdf_stamp.i18n import _
from pdf_stamp.pages import every_pages, parse_rules
from pdf_stamp.sizing import complete_size, natural_size
from pdf_stamp.window import placing, state
from pdf_stamp.window.context import page_mm
from pdf_stamp.window.jobs import mark_job
from pdf_stamp.window.texts import number

OUTLINE_PX = 2
PX_PER_MM_PT = 72 / 25.4


def lands(values, page, page_count):
    """Whether a mark's page rules select `page` of a document of `page_count`
    pages (a rule that cannot be read, or names a page past the end, selects
    nothing: the output refuses it)."""
    try:
        chosen = set(parse_rules(values["pages"]).expand(page_count))
        chosen.update(every_pages(values["every"], page_count))
    except (StampError, ValueError):
        return False
    return page in chosen


def box_mm(job, picture, image, page):
    """(left, top, right, bottom) in mm of a mark as the output draws it on a
    page of `page` (width, height in mm): its box turned by its tilt, at its
    position or its anchor, with the picture fitted and centred in the box."""
    width, height = map(float, seal.turned_box(*complete_size(picture, job.width, job.height), job.rotate))
    ratio = natural_size(image).pixel_ratio
    if job.anchor:
        x, y = placement.anchor_position(job.anchor, job.margin, *page, width, height, ratio)
    else:
        x, y = float(job.x), float(job.y)
    drawn_w, drawn_h = placement.drawn_size(width, height, ratio)
    left, top = x + (width - drawn_w) / 2, y + (height - drawn_h) / 2
    return left, top, left + drawn_w, top + drawn_h


def outline(box_px, off):
    left, top, right, bottom = box_px
    return ft.Container(left=left, top=top, width=right - left, height=bottom - top,
                        border=ft.border.all(OUTLINE_PX, ft.Colors.RED_600 if off else ft.Colors.BLUE_GREY_300))


class Overlay:
    def __init__(self, ctx):
        self.ctx = ctx
        self.folder = tempfile.TemporaryDirectory(prefix="pdf-stamp-marks-")  # the other marks' pictures
        self.prepared = {}  # a mark's job (as text) -> (picture, image) in the folder
        self.names = itertools.count(1)
        self.others = ft.Stack([], left=0, top=0)  # the other marks, under the chosen one
        self.outline = ft.Container(left=0, top=0, visible=False, border=ft.border.all(OUTLINE_PX, ft.Colors.RED_600))
        self.nothing_here = ft.Text(_("This page is not stamped"), color=ft.Colors.RED_700, visible=False)

    def prepare(self, job):
        key = repr(job)
        if key not in self.prepared:
            self.prepared[key] = seal.prepare_mark(job, self.folder.name, f"mark{next(self.names)}")
        return self.prepared[key]

    def other_controls(self, values, page):
        """The picture and outline of a mark that is not being edited, or [] when
        it cannot be drawn yet (no image, a seal text too long: the output says why)."""
        try:
            job = mark_job(values)
            picture, image = self.prepare(job)
            box = box_mm(job, picture, image, page)
        except (StampError, OSError, ValueError):
            return []
        scale = PX_PER_MM_PT * state.pdf_scale_ratio * state.shrink_scale
        left, top, right, bottom = (v * scale for v in box)
        picture = ft.Image(src=os.path.abspath(image), left=left, top=top, width=right - left,
                           height=bottom - top, fit=ft.ImageFit.CONTAIN)
        return [picture, outline((left, top, right, bottom), placing.off_page(box, page) == "partly")]

    def refresh(self):
        """Shows every mark that lands on the page shown, and says so when none does."""
        ctx = self.ctx
        shown = ctx.page_shown()  # (page, page count), or None before a document is shown
        editing = ctx.mark_values()
        chosen_here = shown is not None and lands(editing, *shown)
        self.show_chosen(chosen_here)
        landing = [] if shown is None or ctx.cleared else [
            values for _n, values in ctx.marks.others() if lands(values, *shown)]
        self.others.controls = [control for values in landing for control in self.other_controls(values, page_mm())]
        self.nothing_here.visible = shown is not None and not ctx.cleared and not chosen_here and not landing
        if ctx.page.controls:
            self.others.update()
            self.nothing_here.update()

    def show_chosen(self, here):
        """The module's stamp preview, shown where the chosen mark lands, sized
        to its turned box, with a red outline while it lies partly off the page."""
        ctx, preview = self.ctx, self.ctx.fields.image_preview
        size = ctx.chosen_size()
        if ctx.rotate and size is not None:
            scale = PX_PER_MM_PT * state.pdf_scale_ratio * state.shrink_scale
            preview.width, preview.height = size[0] * scale, size[1] * scale
        preview.visible = bool(here and preview.src and not ctx.cleared)
        box = self.chosen_mm(size)
        off = box is not None and preview.visible and placing.off_page(box, page_mm()) == "partly"
        several = len(ctx.marks.marks) > 1  # which one is being edited: outlined in blue
        self.outline.visible = off or (several and preview.visible)
        if self.outline.visible:
            self.outline.left, self.outline.top = (preview.left or 0), (preview.top or 0)
            self.outline.width, self.outline.height = preview.width, preview.height
            self.outline.border = ft.border.all(OUTLINE_PX, ft.Colors.RED_600 if off else ft.Colors.BLUE_400)
        if ctx.page.controls:
            preview.update()
            self.outline.update()

    def chosen_mm(self, size):
        """The chosen stamp as drawn (left, top, right, bottom in mm), or None
        while the fields do not say."""
        f = self.ctx.fields
        x, y = number(f.x_position.value or 0), number(f.y_position.value or 0)
        if None in (x, y) or size is None:
            return None
        width, height, ratio = size
        drawn_w, drawn_h = placement.drawn_size(width, height, ratio)
        left, top = x + (width - drawn_w) / 2, y + (height - drawn_h) / 2
        return left, top, left + drawn_w, top + drawn_h
