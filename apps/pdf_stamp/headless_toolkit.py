"""The few toolkit controls pdf_module builds, for hosts that show no window.

The module builds its dialogs from `ft.Text`, `ft.TextButton` and
`ft.AlertDialog` and names `ft.ImageFit.CONTAIN` for previews. A host without a
window (the command line, its workers, the demo) only reads what those
controls hold, so it hands the module these plain classes instead of the
desktop toolkit, whose import takes most of such a host's start-up.
host.load_module(headless=True) puts them in place."""

import enum


class Text:
    def __init__(self, value=None):
        self.value = value


class TextButton:
    def __init__(self, text=None, on_click=None):
        self.text = text
        self.on_click = on_click


class AlertDialog:
    def __init__(self, title=None, actions=None):
        self.title = title
        self.actions = [] if actions is None else actions


class ImageFit(enum.Enum):
    CONTAIN = "contain"
