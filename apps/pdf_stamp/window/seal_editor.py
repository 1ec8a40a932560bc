"""The seal editor: what a mark stamps (an image, a date seal or a name
seal), the generated seals' texts, and a live picture of the seal as it is
typed. A seal that cannot be drawn says why under the fields and keeps the
last picture that could."""

import datetime
import itertools
import os

import flet as ft

from pdf_stamp import sealdraw
from pdf_stamp.exceptions import UsageError
from pdf_stamp.i18n import _
from pdf_stamp.window.jobs import seal_of

SEAL_PREVIEW_PX = 96


def kind_names():
    return {"image": _("Image"), "date_seal": _("Date seal"), "name_seal": _("Name seal")}


class SealEditor:
    def __init__(self, ctx, folder, on_drawn, size):
        # on_drawn(path, kind, remember): a new picture of the mark's seal (None for an image mark);
        # size(): the width in mm the mark's fields give now
        self.ctx, self.folder, self.on_drawn, self.size = ctx, folder, on_drawn, size
        self.names = itertools.count(1)
        self.drawn_kind = None  # the kind of the picture handed on last
        changed = lambda e: self.draw()  # noqa: E731
        self.kind = ft.Dropdown(label=_("Kind of mark"), dense=True, width=150, value="image",
                                options=[ft.dropdown.Option(key=k, text=t) for k, t in kind_names().items()],
                                on_change=changed)
        self.top = ft.TextField(label=_("Top text"), dense=True, width=140, on_change=changed)
        self.bottom = ft.TextField(label=_("Bottom text"), dense=True, width=140, on_change=changed)
        self.date = ft.TextField(label=_("Date"), hint_text=_("YYYY-MM-DD (empty: the day of output)"),
                                 dense=True, width=150, on_change=changed)
        today = datetime.date.today()
        self.style = ft.Dropdown(label=_("Date style"), dense=True, width=170, value="western", on_change=changed,
                                 options=[ft.dropdown.Option(key=s, text=sealdraw.date_text(today, s))
                                          for s in sealdraw.STYLES])
        self.name = ft.TextField(label=_("Name"), dense=True, width=140, on_change=changed)
        self.picture = ft.Image(width=SEAL_PREVIEW_PX, height=SEAL_PREVIEW_PX, fit=ft.ImageFit.CONTAIN,
                                visible=False)
        self.problem = ft.Text("", color=ft.Colors.RED_700, size=12, visible=False)
        self.date_fields = ft.Row([self.top, self.date, self.style, self.bottom], wrap=True, visible=False)
        self.name_fields = ft.Row([self.name], visible=False)
        self.view = ft.Row([ft.Column([self.date_fields, self.name_fields, self.problem], spacing=6, expand=True),
                            self.picture], visible=False)

    def values(self):
        return {"kind": self.kind.value or "image", "seal_top": self.top.value or "",
                "seal_bottom": self.bottom.value or "", "seal_date": self.date.value or "",
                "seal_style": self.style.value or "western", "seal_name": self.name.value or ""}

    def apply(self, values):
        """Fills the fields from a mark's values (draws nothing)."""
        self.kind.value = values["kind"]
        self.top.value, self.bottom.value = values["seal_top"], values["seal_bottom"]
        self.date.value, self.style.value = values["seal_date"], values["seal_style"]
        self.name.value = values["seal_name"]
        self.show_kind(values["kind"])

    def show_kind(self, kind):
        self.date_fields.visible = kind == "date_seal"
        self.name_fields.visible = kind == "name_seal"
        self.view.visible = kind != "image"
        if kind == "image":
            self.picture.visible = False
            self.say(None)

    def say(self, problem):
        self.problem.value, self.problem.visible = problem or "", bool(problem)

    def draw(self, mm=None, remember=True):
        """Draws the seal the fields describe `mm` across (default: the size it
        has, or its usual size for a new kind), shows it and hands it on; an
        image mark hands on None."""
        values = self.values()
        kind = values["kind"]
        if mm is None and kind == self.drawn_kind:
            mm = self.size()
        self.show_kind(kind)
        path = None
        if kind != "image":
            try:
                seal = seal_of(values)
                path = os.path.join(self.folder, f"seal-{next(self.names)}.png")
                sealdraw.render(seal, path, mm)
            except (UsageError, OSError) as error:
                path = None
                self.say(str(error))
            else:
                self.say(None)
                self.picture.src, self.picture.visible = path, True
        if self.ctx.page.controls:
            self.view.update()
        if path is not None or kind == "image":
            self.drawn_kind = kind
            self.on_drawn(path, kind, remember)
