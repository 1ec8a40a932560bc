"""The presets panel: named sets of settings to save, choose and delete."""

import flet as ft

from pdf_stamp.i18n import _
from pdf_stamp.window.context import ERROR


class PresetsPanel:
    def __init__(self, ctx, apply):
        self.ctx, self.apply = ctx, apply  # apply(values): fills every panel's fields
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
