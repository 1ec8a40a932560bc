"""The document panel: the chosen PDFs, the page shown, and the preview with
the stamp over the page."""

import os

import flet as ft

from pdf_stamp import safety
from pdf_stamp.exceptions import NeedsPassword, UnsafeDocument
from pdf_stamp.i18n import _
from pdf_stamp.window import placing, state
from pdf_stamp.window.context import ERROR, picked
from pdf_stamp.window.overlay import Overlay
from pdf_stamp.window.texts import module_error, pdf_problem
from pdf_stamp.window.zoom import Zoom


class DocumentPanel:
    def __init__(self, ctx):
        self.ctx = ctx
        self.pdf_files = []  # the chosen PDFs; the preview shows one of them
        self.shown = None  # the file previewed, as its path field showed it
        self.page_count = 0
        self.pdf_path = ft.TextField(label=_("PDF file"), dense=True, expand=True,
                                     on_submit=lambda e: self.on_pdfs_picked(picked(self.pdf_path.value)))
        self.pdf_choice = ft.Dropdown(label=_("PDF to preview"), dense=True, expand=True, visible=False,
                                      on_change=lambda e: self.show_pdf(self.pdf_choice.value))
        self.page_number = ft.TextField(label=_("Page"), value="1", width=90, dense=True,
                                        keyboard_type=ft.KeyboardType.NUMBER)
        self.page_number.on_submit = self.page_number.on_blur = self.on_page_change
        self.page_label = ft.Text("– / –")
        picker = ft.FilePicker(on_result=lambda e: self.on_pdfs_picked(e))
        ctx.page.overlay.append(picker)

        # The page preview and the stamp preview share one stack: the module places
        # both with left/top in preview pixels from its top-left corner. A gesture
        # detector over the whole stack drags the stamp (it must stay a direct
        # child of the stack for left/top to work).
        px = state.PREVIEW_PX
        self.pdf_preview = ft.Image(left=0, top=0, visible=False)
        self.image_preview = ft.Image(left=0, top=0, fit=ft.ImageFit.CONTAIN, visible=False)
        self.overlay = Overlay(ctx)
        self.placeholder = ft.Container(width=px, height=px, bgcolor=ft.Colors.GREY_200)
        self.dragger = ft.GestureDetector(content=ft.Container(width=px, height=px), left=0, top=0,
                                          mouse_cursor=ft.MouseCursor.MOVE)
        self.preview = ft.Stack([self.placeholder, self.pdf_preview, self.overlay.others, self.image_preview,
                                 self.overlay.outline, self.dragger], width=px + 4, height=px + 4)
        self.zoom = Zoom(ctx, self.preview, self.pdf_preview)
        teal = ft.Colors.TEAL_700
        f = ctx.fields
        f.pdf_path, f.page_number, f.pdf_preview, f.image_preview, f.preview, f.dragger = (
            self.pdf_path, self.page_number, self.pdf_preview, self.image_preview, self.preview, self.dragger)
        self.view = ft.Column([
            ft.Text(_("1. PDF"), weight=ft.FontWeight.BOLD),
            ft.Row([self.pdf_path, ft.ElevatedButton(
                _("Choose PDFs"), icon=ft.Icons.PICTURE_AS_PDF, on_click=lambda e: picker.pick_files(
                    dialog_title=_("Choose PDFs"), allowed_extensions=["pdf"],
                    file_type=ft.FilePickerFileType.CUSTOM, allow_multiple=True))]),
            self.pdf_choice,
            ft.Row([ft.IconButton(ft.Icons.CHEVRON_LEFT, icon_color=teal, tooltip=_("Previous page"),
                                  on_click=lambda e: self.turn(-1)),
                    self.page_number,
                    ft.IconButton(ft.Icons.CHEVRON_RIGHT, icon_color=teal, tooltip=_("Next page"),
                                  on_click=lambda e: self.turn(1)),
                    self.page_label, ft.Text(_("page shown in the preview"))]),
        ], spacing=10)

    def sources(self):
        """The PDFs to write: the chosen ones, or the path the field shows when it
        was typed over since (without Enter)."""
        typed = (self.pdf_path.value or "").strip()
        if typed and typed != self.shown and typed not in self.pdf_files:
            return [typed]
        return list(self.pdf_files) if typed else []

    def on_pdfs_picked(self, e):
        paths = [f.path for f in (e.files or []) if f.path]
        if not paths:
            return
        self.pdf_files = paths
        self.pdf_choice.options = [ft.dropdown.Option(key=p, text=os.path.basename(p)) for p in paths]
        self.pdf_choice.value = paths[0]
        self.pdf_choice.label = _("PDF to preview ({count})").format(count=len(paths))
        self.pdf_choice.visible = len(paths) > 1
        self.pdf_choice.update()
        self.show_pdf(paths[0], check_all=True)

    def clear_preview(self):
        """Takes the previous document's picture away: it does not belong to the
        file that failed."""
        self.pdf_preview.src_base64 = None
        self.pdf_preview.visible = self.image_preview.visible = self.overlay.outline.visible = False
        self.overlay.others.controls = []
        self.placeholder.visible = True
        self.ctx.cleared = True
        self.page_count = 0
        self.overlay.nothing_here.visible = False
        self.zoom.refit()
        self.page_label.value = "– / –"
        self.preview.update()
        self.page_label.update()
        self.overlay.nothing_here.update()

    def refuse(self, path, message):
        self.pdf_path.value = self.shown = path
        self.pdf_path.update()
        self.clear_preview()
        if message:
            self.ctx.tell(message)

    def show_pdf(self, path, check_all=False):
        """Previews `path`, or says why it cannot be previewed and clears the preview.
        The safety check speaks up for every chosen file at once."""
        ctx, messages = self.ctx, []
        for other in self.pdf_files if check_all else [path]:
            try:
                safety.check(other)
            except UnsafeDocument as ex:  # the library's message names the file
                messages.append(str(ex))
                if isinstance(ex, NeedsPassword) and other == path:
                    self.refuse(path, None)
                    print("\n".join(messages), flush=True)  # the dialog asks for the password
                    return ctx.ask_pdf_password(path)
            except Exception:
                pass  # the file's own problem is reported below when it is previewed
        problem, count = pdf_problem(path)
        if problem is None:
            self.pdf_preview.src_base64 = None
            f = ctx.fields
            _result, printed = ctx.call(
                ctx.pdf_module.select_pdf, picked(path), self.pdf_path, self.page_number, self.pdf_preview,
                state.set_pdf_scale, f.image_path, f.image_width, f.image_height, self.image_preview,
                f.x_position, f.y_position)
            if not self.pdf_preview.src_base64:
                problem = module_error(printed) or _("The preview cannot be made")
        if problem is not None:
            return self.refuse(path, ERROR + _("Cannot open the PDF: {name}").format(
                name=os.path.basename(path)) + f"\n{problem}")
        self.shown = self.pdf_path.value
        self.page_count = count
        ctx.cleared = False
        self.clamp_page_number()
        self.pdf_preview.visible = True
        self.placeholder.visible = False
        ctx.show_seal()
        ctx.place_at_anchor(remember=False)
        ctx.show_signatures(path)
        self.zoom.refit()
        self.preview.update()
        if messages:
            ctx.tell("\n".join(messages))

    def clamp_page_number(self):
        """Keeps the page number within 1…N and shows "n / N"."""
        try:
            n = int(self.page_number.value)
        except (TypeError, ValueError):
            n = 1
        n = placing.clamp(n, 1, max(1, self.page_count))
        self.page_number.value = str(n)
        self.page_label.value = f"{n} / {self.page_count}"
        self.page_number.update()
        self.page_label.update()
        return n

    def turn(self, step):
        if self.page_count:
            self.page_number.value = str(self.clamp_page_number() + step)
            self.on_page_change(None)

    def on_page_change(self, e):
        if not self.page_count:
            return
        ctx, f = self.ctx, self.ctx.fields
        self.clamp_page_number()
        _result, printed = ctx.call(
            ctx.pdf_module.on_page_number_change, e, self.pdf_path, self.page_number, self.pdf_preview,
            f.image_path, self.image_preview, f.image_width, f.image_height, f.x_position, f.y_position,
            state.set_pdf_scale, state.get_pdf_scale, state.set_original_ratio)
        problem = module_error(printed)
        if problem is not None:  # the file changed or went away since it was chosen
            self.clear_preview()
            ctx.tell(ERROR + _("Cannot show the page: {name}").format(
                name=os.path.basename(self.pdf_path.value)) + f"\n{problem}")
            return
        ctx.place_at_anchor(remember=False)
        ctx.show_outline()
        self.zoom.refit()

    def page_shown(self):
        """(the page shown, the page count), or None while no page is shown."""
        if not self.page_count or self.ctx.cleared:
            return None
        try:
            return int(self.page_number.value), self.page_count
        except (TypeError, ValueError):
            return None
