"""The presets panel: named sets of settings to save, choose and delete, and
filling every panel's fields from a set of settings."""

import os

import flet as ft

from pdf_stamp.i18n import _
from pdf_stamp.window.context import ERROR
from pdf_stamp.window.document_panel import picked
from pdf_stamp.window.texts import number


class PresetsPanel:
    def __init__(self, ctx):
        self.ctx = ctx
        self.choice = ft.Dropdown(label=_("Preset"), dense=True, width=220, on_change=self.on_chosen)
        self.name = ft.TextField(label=_("Preset name"), width=180, dense=True)
        self.view = ft.Column([
            ft.Text(_("Presets"), weight=ft.FontWeight.BOLD),
            ft.Row([self.choice,
                    ft.IconButton(ft.Icons.DELETE_OUTLINE, tooltip=_("Delete the chosen preset"),
                                  on_click=self.on_delete),
                    self.name,
                    ft.OutlinedButton(_("Save"), icon=ft.Icons.BOOKMARK_ADD, on_click=self.on_save)]),
        ], spacing=10)
        self.refresh()

    def refresh(self):
        presets = self.ctx.settings.presets
        self.choice.options = [ft.dropdown.Option(name) for name in sorted(presets)]
        if self.choice.value not in presets:
            self.choice.value = None

    def on_chosen(self, e):
        name = self.choice.value
        if name in self.ctx.settings.presets:
            self.name.value = name
            self.apply(self.ctx.settings.preset(name))
            self.ctx.remember()

    def on_save(self, e):
        ctx = self.ctx
        try:
            name = ctx.saver.call(ctx.settings.save_preset, self.name.value or "", ctx.values())
        except (ValueError, OSError) as ex:
            return ctx.tell(ERROR + str(ex))
        self.refresh()
        self.choice.value = name
        ctx.page.update()

    def on_delete(self, e):
        ctx, name = self.ctx, self.choice.value
        if name in ctx.settings.presets:
            try:
                ctx.saver.call(ctx.settings.delete_preset, name)
            except (KeyError, OSError) as ex:
                ctx.tell(ERROR + str(ex))
            self.choice.value = None
            self.refresh()
            ctx.page.update()

    def apply(self, values, image=None, x=None, y=None):
        """Fills the fields from a set of settings (a preset, or the last session's);
        `image`, `x` and `y` from the command line take precedence."""
        ctx, seal, position, outputs = self.ctx, self.ctx.seal, self.ctx.position, self.ctx.outputs
        for control, name in ((position.margin, "margin"), (outputs.target_pages, "pages"),
                              (outputs.page_interval, "every"), (outputs.save_path, "out_dir")):
            control.value = values[name]
        seal.opacity.value = max(seal.opacity.min, values["opacity"])  # the slider refuses less
        seal.white_to_transparent.value = values["white_to_transparent"]
        wanted = image or values["image"]
        if wanted and (image or (wanted != seal.image_path.value and os.path.exists(wanted))):
            seal.on_image_picked(picked(wanted), remember=False)
        if seal.image_path.value == values["image"] and not image and number(values["width"]):
            seal.image_width.value = values["width"]  # the height follows the ratio
            seal.on_width_change(None, remember=False)
        else:
            seal.show_seal()
        position.x_position.value = x if x is not None else values["x"]
        position.y_position.value = y if y is not None else values["y"]
        position.anchor = None if x is not None or y is not None else values["anchor"]
        ctx.page.update()
        if position.anchor:
            position.place_at_anchor(remember=False)
        else:
            position.on_position_typed(None, remember=False)
        position.show_anchor()
