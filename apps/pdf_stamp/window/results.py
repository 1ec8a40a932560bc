"""The dialog that lists what became of each file after an output."""

import os

import flet as ft

from pdf_stamp import system
from pdf_stamp.i18n import _
from pdf_stamp.window.texts import result_lines


def show(ctx, results):
    """Failures first, then the written files, and a button that opens their folder.
    When the folder cannot be opened its path is added to the list, which stays."""
    written = [r for r in results if r.ok]
    ordered = [r for r in results if not r.ok] + written
    lines = [line for r in ordered for line in result_lines(r)]
    if written:
        lines.append(_("Verified: page count, stamps, forms, annotations and bookmarks were checked"))
    folder = os.path.dirname(os.path.abspath(written[0].result)) if written else None
    column = ft.Column([ft.Text(line, selectable=True) for line in lines], tight=True, scroll=ft.ScrollMode.AUTO)

    def close(e):
        ctx.page.close(dialog)

    def open_folder(e):
        try:
            opened = system.open_folder(folder)
            reason = None
        except OSError as ex:
            opened, reason = False, ex
        if not opened:
            line = _("The folder could not be opened: {folder}").format(folder=folder)
            column.controls.append(ft.Text(line + (f" ({reason})" if reason else ""), selectable=True,
                                           color=ft.Colors.RED_700))
            column.update()

    actions = [ft.TextButton(_("Open the folder"), on_click=open_folder)] if folder else []
    title = _("Output: {written} of {count} files written").format(written=len(written), count=len(results))
    dialog = ft.AlertDialog(title=ft.Text(title), content=column,
                            actions=actions + [ft.TextButton(_("Close"), on_click=close)])
    ctx.page.open(dialog)
