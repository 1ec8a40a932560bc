"""The seal panel: what the chosen mark stamps (an image file, or a date or
name seal drawn from its texts), its size, tilt, opacity and white-to-
transparent switch, with a thumbnail showing the seal as it will be printed."""

import itertools
import os
import tempfile

import flet as ft

from pdf_stamp import seal
from pdf_stamp.i18n import _
from pdf_stamp.window import placing, state
from pdf_stamp.window.context import ERROR, page_mm, picked
from pdf_stamp.window.seal_editor import SealEditor
from pdf_stamp.window.texts import number

THUMBNAIL_PX = 48


def thumbnail_size(ratio):
    """Width and height in pixels of a thumbnail of aspect `ratio` in its box."""
    if ratio >= 1:
        return THUMBNAIL_PX, max(1, round(THUMBNAIL_PX / ratio))
    return max(1, round(THUMBNAIL_PX * ratio)), THUMBNAIL_PX


class SealPanel:
    def __init__(self, ctx):
        self.ctx = ctx
        self.folder = tempfile.TemporaryDirectory(prefix="pdf-stamp-seal-")  # prepared seals
        self.names = itertools.count(1)
        self.last_shown = None  # (source, opacity, white, tilt): what the preview shows now
        self.image_file = ""  # the image an image mark stamps, kept while a seal is edited
        self.image_path = ft.TextField(label=_("Image file"), dense=True, expand=True,
                                       on_submit=lambda e: self.on_image_picked(picked(self.image_path.value)))
        self.thumbnail = ft.Image(width=THUMBNAIL_PX, height=THUMBNAIL_PX, fit=ft.ImageFit.CONTAIN, visible=False)
        self.image_width = ft.TextField(label=_("Width (mm)"), width=110, dense=True,
                                        on_change=self.on_width_change)
        self.image_height = ft.TextField(label=_("Height (mm)"), width=110, dense=True,
                                         on_change=self.on_height_change)
        # The seal's controls in grey-blue: the one filled blue control is the output button.
        # A click on the track sends only on_change, a drag ends with on_change_end.
        self.opacity = ft.Slider(min=0.1, max=1, divisions=18, value=1, width=200, label="{value}",
                                 active_color=ft.Colors.BLUE_GREY_300, thumb_color=ft.Colors.BLUE_GREY_600,
                                 on_change=self.on_seal_change, on_change_end=self.on_seal_change)
        self.white_to_transparent = ft.Switch(label=_("Make white transparent"),
                                              active_color=ft.Colors.BLUE_GREY_600, on_change=self.on_seal_change)
        # 1° steps; positive turns counter-clockwise, as a seal tilted to the left. In a
        # shade of its own: no blend of its colours passes for the opacity slider's.
        self.tilt = ft.Slider(min=-180, max=180, divisions=360, value=0, width=150, label="{value}°",
                              active_color=ft.Colors.BROWN_300, thumb_color=ft.Colors.BROWN_500,
                              on_change=self.on_tilt, on_change_end=self.on_tilt)
        self.tilt_text = ft.Text("0°", width=40)
        self.editor = SealEditor(ctx, self.folder.name, self.on_seal_drawn,
                                 size=lambda: number(self.image_width.value))
        f = ctx.fields
        f.image_path, f.image_width, f.image_height = self.image_path, self.image_width, self.image_height
        picker = ft.FilePicker(on_result=self.on_image_picked)
        ctx.page.overlay.append(picker)
        self.image_row = ft.Row([self.image_path, ft.ElevatedButton(
            _("Choose an image"), icon=ft.Icons.IMAGE, on_click=lambda e: picker.pick_files(
                dialog_title=_("Choose an image"), file_type=ft.FilePickerFileType.IMAGE))], expand=True)
        self.view = ft.Column([
            ft.Text(_("2. Image"), weight=ft.FontWeight.BOLD),
            ft.Row([self.thumbnail, self.editor.kind, self.image_row]),
            self.editor.view,
            ft.Row([self.image_width, self.image_height,
                    ft.OutlinedButton(_("Fit to the PDF"), icon=ft.Icons.FIT_SCREEN, on_click=self.on_fit_to_page),
                    ft.Text(_("Tilt")), self.tilt, self.tilt_text], spacing=4),
            ft.Row([ft.Text(_("Opacity")), self.opacity, self.white_to_transparent]),
        ], spacing=10)

    def values(self):
        kind = self.editor.kind.value or "image"
        image = self.image_path.value if kind == "image" else ""
        return {"image": os.path.abspath(image) if image else "",
                "width": self.image_width.value or "", "height": self.image_height.value or "",
                "opacity": round(float(self.opacity.value), 2),
                "white_to_transparent": bool(self.white_to_transparent.value),
                "rotate": self.ctx.rotate, **self.editor.values()}

    def on_seal_drawn(self, path, kind, remember=True):
        """A new picture from the seal editor: the seal takes the image's place
        in the module's fields; back to an image mark, the image returns."""
        self.image_row.visible = kind == "image"
        if self.ctx.page.controls:
            self.image_row.update()
        path = path or self.image_file
        if path:
            self.on_image_picked(picked(path), remember=remember)
        else:
            self.clear_image()

    def clear_image(self):
        """No image: the preview and the thumbnail show none."""
        self.image_path.value, self.last_shown = "", None
        self.ctx.fields.image_preview.src = None
        self.ctx.fields.image_preview.visible = self.thumbnail.visible = False
        if self.ctx.page.controls:
            self.image_path.update()
            self.thumbnail.update()
        self.ctx.show_outline()

    def on_tilt(self, e):
        self.ctx.rotate = int(round(float(self.tilt.value)))
        self.tilt_text.value = f"{self.ctx.rotate}°"
        if self.ctx.page.controls:
            self.tilt_text.update()
        self.show_seal()
        self.on_width_change(None)  # the preview's box turns with the seal

    def on_image_picked(self, e, remember=True):
        ctx, f = self.ctx, self.ctx.fields
        if (self.editor.kind.value or "image") == "image" and e.files:
            self.image_file = e.files[0].path
        try:
            ctx.call(ctx.pdf_module.select_image, e, self.image_path, self.image_width, self.image_height,
                     f.image_preview, state.set_original_ratio, f.x_position, f.y_position)
        except Exception as ex:
            f.image_preview.src = None
            f.image_preview.visible = self.thumbnail.visible = False
            self.last_shown = None
            f.preview.update()
            self.thumbnail.update()
            ctx.tell(ERROR + _("Could not read the image: {reason}").format(reason=ex))
            return
        if e.files:
            self.last_shown = None
            self.show_seal()
            ctx.place_at_anchor(remember=False)
            if remember:
                ctx.remember()

    def show_seal(self):
        """Shows the stamp as it will be printed, in the preview and the thumbnail:
        the prepared image when opacity or white-to-transparent is chosen. Each
        prepared image gets a new file name: the client caches pictures by path."""
        ctx, preview = self.ctx, self.ctx.fields.image_preview
        source = self.image_path.value
        if not source or not state.original_ratio:
            return
        opacity, white = round(float(self.opacity.value), 2), bool(self.white_to_transparent.value)
        wanted = (source, opacity, white, ctx.rotate)
        if wanted != self.last_shown:
            shown = source
            if opacity < 1 or white or ctx.rotate:
                shown = os.path.join(self.folder.name, f"shown-{next(self.names)}.png")
                try:
                    seal.prepare_seal(source, shown, opacity=opacity, white_to_transparent=white,
                                      rotate=ctx.rotate)
                except Exception as ex:
                    ctx.tell(ERROR + _("Could not prepare the image: {reason}").format(reason=ex))
                    shown = source
            size = ctx.chosen_size()
            width, height = thumbnail_size(size[0] / size[1] if size else state.original_ratio)
            try:
                self.thumbnail.src_base64, _printed = ctx.call(
                    ctx.pdf_module.generate_resized_base64_image, shown, width, height)
            except Exception as ex:
                ctx.tell(ERROR + _("Could not read the image: {reason}").format(reason=ex))
                return
            preview.src, self.last_shown = shown, wanted
        self.thumbnail.visible = True
        self.thumbnail.update()
        preview.update()
        ctx.show_outline()

    def on_seal_change(self, e):
        self.show_seal()
        self.ctx.remember()

    def on_width_change(self, e, remember=True):
        ctx, f = self.ctx, self.ctx.fields
        ctx.call(ctx.pdf_module.update_image_size, e, True, self.image_width, self.image_height,
                 f.image_preview, f.x_position, f.y_position, self.image_path)
        self.after_size_change(remember)

    def on_height_change(self, e):
        ctx = self.ctx
        ctx.call(ctx.pdf_module.update_image_sizeb, e, True, self.image_width, self.image_height,
                 ctx.fields.image_preview)
        self.after_size_change(True)

    def after_size_change(self, remember):
        ctx = self.ctx
        if ctx.anchor:
            ctx.place_at_anchor(remember)
        elif remember:
            ctx.remember()
        ctx.show_outline()

    def on_fit_to_page(self, e):
        ctx = self.ctx
        try:
            (width, height), _printed = ctx.call(
                ctx.pdf_module.scale_image_to_pdf, float(self.image_width.value), float(self.image_height.value),
                *page_mm())
        except (TypeError, ValueError, ZeroDivisionError):
            ctx.tell("【ERROR】数値が正しく入力されていません")  # the module's own text for this fault
            return
        self.image_width.value = placing.mm_text(width)
        self.image_height.value = placing.mm_text(height)
        self.on_width_change(e)

    def apply(self, values, image=None):
        """Takes the seal's part of a set of settings; `image` from the command
        line takes precedence."""
        self.opacity.value = max(self.opacity.min, values["opacity"])  # the slider refuses less
        self.white_to_transparent.value = values["white_to_transparent"]
        self.tilt.value = self.ctx.rotate = values["rotate"]
        self.tilt_text.value = f"{self.ctx.rotate}°"
        if image:
            values = dict(values, kind="image")
        self.editor.apply(values)
        self.image_file = values["image"]
        if values["kind"] != "image":
            self.editor.draw(number(values["width"]) or None, remember=False)
            return
        self.image_row.visible = True
        wanted = image or values["image"]
        if wanted and (image or (wanted != self.image_path.value and os.path.exists(wanted))):
            self.on_image_picked(picked(wanted), remember=False)
        elif wanted != self.image_path.value and not (wanted and os.path.exists(wanted)):
            self.clear_image()  # not another mark's picture in its place
            self.image_path.value = wanted
        if self.image_path.value == values["image"] and not image and number(values["width"]):
            self.image_width.value = values["width"]  # the height follows the ratio
            self.on_width_change(None, remember=False)
        else:
            self.show_seal()
