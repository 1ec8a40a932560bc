"""The marks panel: the list of marks stamped in turn, to add, remove and
choose from. The other panels' fields edit the chosen mark; the others keep
their values here and show on the preview as they are."""

import os

import flet as ft

from pdf_stamp.i18n import _
from pdf_stamp.window.settings import MARK_DEFAULTS
from pdf_stamp.window.texts import number

NEW_MARK_GAP_MM = 2.0  # a new mark starts beside the chosen one, this far from it


def describe(n, values):
    """The mark's line in the list: its number and what it stamps."""
    kind = values["kind"]
    if kind == "date_seal":
        what = _("date seal {top}/{bottom}").format(top=values["seal_top"], bottom=values["seal_bottom"])
    elif kind == "name_seal":
        what = _("name seal {name}").format(name=values["seal_name"])
    else:
        what = os.path.basename(values["image"]) or _("no image")
    return f"{n}. {what}"


def beside(values):
    """A copy of a mark moved to its right by its width, placed by X and Y."""
    new = dict(values, anchor=None)
    x, width = number(values["x"]), number(values["width"])
    if x is not None and width:
        new["x"] = f"{x + width + NEW_MARK_GAP_MM:.1f}"
    return new


class MarksPanel:
    def __init__(self, ctx, show):
        self.ctx, self.show = ctx, show  # show(values): fills the fields with one mark
        self.marks = [dict(MARK_DEFAULTS)]
        self.chosen = 0
        self.choice = ft.Dropdown(label=_("Marks (stamped in this order)"), dense=True, width=300,
                                  on_change=self.on_chosen)
        self.remove_button = ft.IconButton(ft.Icons.DELETE_OUTLINE, tooltip=_("Remove the chosen mark"),
                                           on_click=self.on_remove)
        self.view = ft.Row([self.choice, ft.OutlinedButton(_("Add a mark"), icon=ft.Icons.ADD, on_click=self.on_add),
                            self.remove_button])
        self.refresh()

    def all_marks(self, editing):
        """Every mark's values, the chosen one as the fields show it (`editing`)."""
        marks = list(self.marks)
        marks[self.chosen] = {name: editing[name] for name in MARK_DEFAULTS}
        return marks

    def others(self):
        """(number from 0, values) of the marks not being edited."""
        return [(n, values) for n, values in enumerate(self.marks) if n != self.chosen]

    def refresh(self, editing=None):
        """Lists the marks (the chosen one as `editing` describes it, when given)."""
        described = [describe(n + 1, editing if editing is not None and n == self.chosen else values)
                     for n, values in enumerate(self.marks)]
        if [o.text for o in self.choice.options] != described:  # new options: the client redraws them
            self.choice.options = [ft.dropdown.Option(key=str(n), text=t) for n, t in enumerate(described)]
        self.choice.value = str(self.chosen)
        self.remove_button.disabled = len(self.marks) == 1

    def retitle(self, editing):
        """Names the chosen mark in the list as the fields describe it now."""
        before = self.choice.options
        self.refresh(editing)
        if self.choice.options is not before and self.ctx.page.controls:
            self.choice.update()

    def keep_fields(self):
        self.marks = self.all_marks(self.ctx.mark_values())

    def choose(self, n):
        self.keep_fields()
        self.chosen = n
        self.marks_changed()
        self.show(self.marks[n])
        self.ctx.remember()

    def on_chosen(self, e):
        if self.choice.value is not None and int(self.choice.value) != self.chosen:
            self.choose(int(self.choice.value))

    def on_add(self, e):
        self.keep_fields()
        self.marks.append(beside(self.marks[self.chosen]))
        self.choose(len(self.marks) - 1)

    def on_remove(self, e):
        if len(self.marks) > 1:
            self.keep_fields()
            del self.marks[self.chosen]
            self.chosen = min(self.chosen, len(self.marks) - 1)
            self.marks_changed()
            self.show(self.marks[self.chosen])
            self.ctx.remember()

    def marks_changed(self):
        self.refresh()
        if self.ctx.page.controls:
            self.choice.update()
            self.remove_button.update()

    def apply(self, values):
        """Takes a whole set's marks; the caller shows the chosen one."""
        self.marks = [dict(mark) for mark in values["marks"]]
        self.chosen = values["chosen"]
        self.marks_changed()
