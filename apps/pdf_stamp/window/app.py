"""The desktop window: stamp an image onto chosen pages of one or more PDFs.

`pdf-stamp-window [--pdf FILE ...] [--image FILE] [--x MM] [--y MM]` opens it.
pdf_module imports the host's values by the module name `state`: the window's
own state module is registered under that name before pdf_module is imported.
The module does the previews, sizes and positions; the shared library of the
package checks documents, computes anchors, prepares seals and writes the
results, in worker processes so that the window stays responsive.
"""

import argparse
import io
import itertools
import os
import subprocess
import sys
import tempfile
import types

import flet as ft

from pdf_stamp.window import state

sys.modules["state"] = state  # before pdf_module is imported, here or by the library
from pdf_stamp import host, naming, placement, safety, seal, stamping  # noqa: E402
from pdf_stamp.window.signing_panel import SigningPanel  # noqa: E402
from pdf_stamp.exceptions import NeedsPassword, UnsafeDocument  # noqa: E402
from pdf_stamp.job import StampJob  # noqa: E402
from pdf_stamp.window import placing, workers  # noqa: E402
from pdf_stamp.window.texts import module_error, number, pdf_problem, result_lines  # noqa: E402
from pdf_stamp.window.settings import Settings  # noqa: E402

pdf_module = host.load_module()

THUMBNAIL_PX = 48
ANCHOR_NAMES = dict(zip(placement.ANCHORS, ("左上", "上", "右上", "左", "中央", "右", "左下", "下", "右下")))
MM_PER_PT = 25.4 / 72


def picked(*paths):
    """A file-picker result for `paths`, as if the user had picked them (no path
    is a cancelled pick)."""
    files = [types.SimpleNamespace(path=p) for p in paths if p]
    return types.SimpleNamespace(files=files or None)


def thumbnail_size(ratio):
    """Width and height in pixels of a thumbnail of aspect `ratio` in its box."""
    if ratio >= 1:
        return THUMBNAIL_PX, max(1, round(THUMBNAIL_PX / ratio))
    return max(1, round(THUMBNAIL_PX * ratio)), THUMBNAIL_PX


class Window:
    """The controls of one window and their event handlers."""

    def __init__(self, page: ft.Page, args, settings: Settings):
        self.page, self.args, self.settings = page, args, settings
        self.pdf_files = []  # the chosen PDFs; the preview shows one of them
        self.page_count = 0
        self.anchor = None  # an anchor places the stamp; None: the X/Y fields do
        self.drag = None  # during a drag: the stamp's box and the pointer where it started
        self.cleared = False  # the preview was cleared after a file that could not be shown
        self.seal_dir = tempfile.TemporaryDirectory(prefix="pdf-stamp-seal-")
        self.seal_names = itertools.count(1)
        self.executor = None
        self.save_failed = False
        self.build()

    # ---- layout -------------------------------------------------------------------

    def build(self):
        page = self.page
        page.title = "PDF画像挿入"
        page.padding = 16
        page.window.width = 1180
        page.window.height = 860

        def field(label, value="", width=None, **kw):
            return ft.TextField(label=label, value=value, width=width, dense=True, **kw)

        self.pdf_path = field("PDFファイル", expand=True)
        self.pdf_choice = ft.Dropdown(label="プレビューするPDF", dense=True, expand=True, visible=False,
                                      on_change=lambda e: self.show_pdf(self.pdf_choice.value))
        self.page_number = field("ページ番号", "1", 90, keyboard_type=ft.KeyboardType.NUMBER)
        self.page_label = ft.Text("– / –")
        self.image_path = field("画像ファイル", expand=True)
        self.thumbnail = ft.Image(width=THUMBNAIL_PX, height=THUMBNAIL_PX, fit=ft.ImageFit.CONTAIN, visible=False)
        self.image_width = field("幅 (mm)", width=110)
        self.image_height = field("高さ (mm)", width=110)
        # The seal's controls in grey-blue: the one filled blue control is the output button.
        self.opacity = ft.Slider(min=0.1, max=1, divisions=18, value=1, width=200, label="{value}",
                                 active_color=ft.Colors.BLUE_GREY_300, thumb_color=ft.Colors.BLUE_GREY_600,
                                 on_change_end=self.on_seal_change)
        self.white_to_transparent = ft.Switch(label="白を透明にする", active_color=ft.Colors.BLUE_GREY_600,
                                              on_change=self.on_seal_change)
        self.x_position = field("X (mm)", "0", 110)
        self.y_position = field("Y (mm)", "0", 110)
        self.margin = field("余白 (mm)", "10", 100)
        self.anchor_cells = {}
        self.target_pages = field("挿入するページ (例: 1,3-5,last,odd)", "1", 260)
        self.page_interval = field("ページ毎 (N)", width=140)
        self.save_path = field("出力フォルダ (空欄なら作業フォルダ)", expand=True)
        self.allow_rewrite = ft.Checkbox(label="署名・保護付きのPDFも出力する (署名は無効になります)")
        self.output_button = ft.FilledButton("PDF出力", icon=ft.Icons.SAVE, on_click=self.on_output)
        self.progress = ft.ProgressRing(width=28, height=28, color=ft.Colors.ORANGE_700, visible=False)
        self.progress_text = ft.Text("", visible=False)
        self.preset_choice = ft.Dropdown(label="プリセット", dense=True, width=220,
                                         on_change=self.on_preset_chosen)
        self.preset_name = field("プリセット名", width=180)

        # The page preview and the stamp preview share one stack: the module places
        # both with left/top in preview pixels from its top-left corner. A gesture
        # detector over the whole stack drags the stamp (it must stay a direct
        # child of the stack for left/top to work).
        px = state.PREVIEW_PX
        self.pdf_preview = ft.Image(left=0, top=0, visible=False)
        self.image_preview = ft.Image(left=0, top=0, fit=ft.ImageFit.CONTAIN, visible=False)
        self.placeholder = ft.Container(width=px, height=px, bgcolor=ft.Colors.GREY_200)
        dragger = ft.GestureDetector(
            content=ft.Container(width=px, height=px), left=0, top=0,
            mouse_cursor=ft.MouseCursor.MOVE, on_pan_start=self.on_drag_start,
            on_pan_update=self.on_drag_update, on_pan_end=self.on_drag_end)
        self.preview = ft.Stack([self.placeholder, self.pdf_preview, self.image_preview, dragger],
                                width=px + 4, height=px + 4)

        pdf_picker = ft.FilePicker(on_result=lambda e: self.on_pdfs_picked(e))
        image_picker = ft.FilePicker(on_result=self.on_image_picked)
        folder_picker = ft.FilePicker(on_result=self.on_folder_picked)
        page.overlay.extend([pdf_picker, image_picker, folder_picker])
        self.signing = SigningPanel(page, self.tell, self.job, self.sources, self.show_results)
        page.overlay.extend(self.signing.pickers)

        # A path typed into a path field and confirmed with Enter counts as picked.
        self.pdf_path.on_submit = lambda e: self.on_pdfs_picked(picked(self.pdf_path.value))
        self.image_path.on_submit = lambda e: self.on_image_picked(picked(self.image_path.value))
        self.page_number.on_submit = self.page_number.on_blur = self.on_page_change
        self.image_width.on_change = self.on_width_change
        self.image_height.on_change = self.on_height_change
        self.x_position.on_change = self.y_position.on_change = self.on_position_typed
        self.margin.on_change = lambda e: self.place_at_anchor()
        for control in (self.target_pages, self.page_interval, self.save_path):
            control.on_blur = lambda e: self.remember()

        def heading(text):
            return ft.Text(text, weight=ft.FontWeight.BOLD)

        anchor_grid = ft.Column(
            [ft.Row([self.anchor_cell(a) for a in placement.ANCHORS[row:row + 3]], spacing=2)
             for row in (0, 3, 6)], spacing=2)
        controls = ft.Column(
            [
                heading("1. PDF"),
                ft.Row([
                    self.pdf_path,
                    ft.ElevatedButton("PDFを選択", icon=ft.Icons.PICTURE_AS_PDF,
                                      on_click=lambda e: pdf_picker.pick_files(
                                          dialog_title="PDFを選択", allowed_extensions=["pdf"],
                                          file_type=ft.FilePickerFileType.CUSTOM, allow_multiple=True)),
                ]),
                self.pdf_choice,
                ft.Row([
                    ft.IconButton(ft.Icons.CHEVRON_LEFT, icon_color=ft.Colors.TEAL_700, tooltip="前のページ",
                                  on_click=lambda e: self.turn(-1)),
                    self.page_number,
                    ft.IconButton(ft.Icons.CHEVRON_RIGHT, icon_color=ft.Colors.TEAL_700, tooltip="次のページ",
                                  on_click=lambda e: self.turn(1)),
                    self.page_label,
                    ft.Text("プレビューするページ"),
                ]),
                heading("2. 画像"),
                ft.Row([
                    self.thumbnail,
                    self.image_path,
                    ft.ElevatedButton("画像を選択", icon=ft.Icons.IMAGE,
                                      on_click=lambda e: image_picker.pick_files(
                                          dialog_title="画像を選択", file_type=ft.FilePickerFileType.IMAGE)),
                ]),
                ft.Row([self.image_width, self.image_height,
                        ft.OutlinedButton("PDFに合わせる", icon=ft.Icons.FIT_SCREEN, on_click=self.on_fit_to_page)]),
                ft.Row([ft.Text("不透明度"), self.opacity, self.white_to_transparent]),
                heading("3. 位置"),
                ft.Row([self.x_position, self.y_position,
                        ft.Text("ページ左上から。プレビューの印影をドラッグ、\n"
                                "Alt+矢印で 0.5 mm、Alt+Shift+矢印で 5 mm 移動", size=12)]),
                ft.Row([anchor_grid, self.margin, ft.Text("端からの余白で配置", size=12)],
                       vertical_alignment=ft.CrossAxisAlignment.CENTER),
                heading("4. 出力"),
                ft.Row([self.target_pages, self.page_interval]),
                ft.Row([
                    self.save_path,
                    ft.ElevatedButton("フォルダを選択", icon=ft.Icons.FOLDER_OPEN,
                                      on_click=lambda e: folder_picker.get_directory_path(
                                          dialog_title="出力フォルダを選択")),
                ]),
                self.allow_rewrite,
                ft.Row([self.output_button, self.progress, self.progress_text]),
                *self.signing.controls(),
                heading("プリセット"),
                ft.Row([self.preset_choice,
                        ft.IconButton(ft.Icons.DELETE_OUTLINE, tooltip="選んだプリセットを削除",
                                      on_click=self.on_preset_delete),
                        self.preset_name,
                        ft.OutlinedButton("保存", icon=ft.Icons.BOOKMARK_ADD, on_click=self.on_preset_save)]),
            ],
            spacing=10,
            expand=True,
            scroll=ft.ScrollMode.AUTO,
        )
        page.add(ft.Row([controls, self.preview], vertical_alignment=ft.CrossAxisAlignment.START,
                        spacing=24, expand=True))
        page.on_keyboard_event = self.on_key

        # Closing the window asks first; "はい" in the dialog destroys the window.
        def on_window_event(e):
            if e.type == ft.WindowEventType.CLOSE:
                self.remember()
                pdf_module.confirm_exit(page)

        page.window.prevent_close = True
        page.window.on_event = on_window_event
        self.refresh_presets()
        page.update()

    def anchor_cell(self, anchor):
        cell = ft.Container(width=22, height=22, border=ft.border.all(1, ft.Colors.BLUE_GREY_400),
                            border_radius=3, tooltip=ANCHOR_NAMES[anchor],
                            on_click=lambda e: self.on_anchor(anchor))
        self.anchor_cells[anchor] = cell
        return cell

    # ---- messages and settings ---------------------------------------------------

    def tell(self, message):
        print(message, flush=True)  # beside the module's own lines
        pdf_module.show_dialog(self.page, message)

    def values(self):
        """The settings worth keeping, as the fields show them now."""
        return {
            "image": os.path.abspath(self.image_path.value) if self.image_path.value else "",
            "width": self.image_width.value or "", "height": self.image_height.value or "",
            "x": self.x_position.value or "",
            "y": self.y_position.value or "", "anchor": self.anchor, "margin": self.margin.value or "",
            "pages": self.target_pages.value or "", "every": self.page_interval.value or "",
            "out_dir": self.save_path.value or "", "opacity": round(float(self.opacity.value), 2),
            "white_to_transparent": bool(self.white_to_transparent.value),
        }

    def remember(self):
        try:
            self.settings.remember(self.values())
        except OSError as ex:
            if not self.save_failed:  # once per session, not on every keystroke
                self.save_failed = True
                self.tell(f"【ERROR】設定を保存できません: {ex}")

    def apply(self, values, image=None, x=None, y=None):
        """Fills the fields from a set of settings (a preset, or the last session's);
        `image`, `x` and `y` from the command line take precedence."""
        for control, name in ((self.margin, "margin"), (self.target_pages, "pages"),
                              (self.page_interval, "every"), (self.save_path, "out_dir")):
            control.value = values[name]
        self.opacity.value = max(self.opacity.min, values["opacity"])  # the slider refuses less
        self.white_to_transparent.value = values["white_to_transparent"]
        wanted = image or values["image"]
        if wanted and (image or (wanted != self.image_path.value and os.path.exists(wanted))):
            self.on_image_picked(picked(wanted), remember=False)
        if self.image_path.value == values["image"] and not image and number(values["width"]):
            self.image_width.value = values["width"]  # the height follows the ratio
            self.on_width_change(None, remember=False)
        else:
            self.show_seal()
        self.x_position.value = x if x is not None else values["x"]
        self.y_position.value = y if y is not None else values["y"]
        self.anchor = None if x is not None or y is not None else values["anchor"]
        self.page.update()
        if self.anchor:
            self.place_at_anchor(remember=False)
        else:
            self.on_position_typed(None, remember=False)
        self.show_anchor()

    def refresh_presets(self):
        self.preset_choice.options = [ft.dropdown.Option(name) for name in self.settings.names()]
        if self.preset_choice.value not in self.settings.presets:
            self.preset_choice.value = None

    def on_preset_chosen(self, e):
        name = self.preset_choice.value
        if name in self.settings.presets:
            self.preset_name.value = name
            self.apply(self.settings.preset(name))
            self.remember()

    def on_preset_save(self, e):
        try:
            name = self.settings.save_preset(self.preset_name.value or "", self.values())
        except (ValueError, OSError) as ex:
            self.tell(f"【ERROR】{ex}")
            return
        self.refresh_presets()
        self.preset_choice.value = name
        self.page.update()

    def on_preset_delete(self, e):
        name = self.preset_choice.value
        if name in self.settings.presets:
            try:
                self.settings.delete_preset(name)
            except OSError as ex:
                self.tell(f"【ERROR】{ex}")
            self.preset_choice.value = None
            self.refresh_presets()
            self.page.update()

    # ---- PDFs and pages -------------------------------------------------------------

    def on_pdfs_picked(self, e):
        paths = [f.path for f in (e.files or []) if f.path]
        if not paths:
            return
        self.pdf_files = paths
        self.pdf_choice.options = [ft.dropdown.Option(key=p, text=os.path.basename(p)) for p in paths]
        self.pdf_choice.value = paths[0]
        self.pdf_choice.label = f"プレビューするPDF ({len(paths)} 件)"
        self.pdf_choice.visible = len(paths) > 1
        self.pdf_choice.update()
        self.show_pdf(paths[0], check_all=True)

    def clear_preview(self):
        """Takes the previous document's picture away: it does not belong to the
        file that failed."""
        self.pdf_preview.src_base64 = None
        self.pdf_preview.visible = self.image_preview.visible = False
        self.placeholder.visible = True
        self.cleared = True
        self.page_count = 0
        self.page_label.value = "– / –"
        self.preview.update()
        self.page_label.update()

    def show_pdf(self, path, check_all=False):
        """Previews `path`, or says why it cannot be previewed and clears the preview.
        The safety check speaks up for every chosen file at once."""
        messages = []
        for other in self.pdf_files if check_all else [path]:
            try:
                safety.check(other)
            except UnsafeDocument as ex:  # the library's message names the file
                messages.append(str(ex))
                if isinstance(ex, NeedsPassword) and other == path:
                    self.pdf_path.value = path
                    self.pdf_path.update()
                    self.clear_preview()
                    print("\n".join(messages), flush=True)
                    others = "\n".join(messages[:-1])  # about the other chosen files
                    self.signing.ask_pdf_password(path, lambda: others and self.tell(others))
                    return
            except Exception:
                pass  # the file's own problem is reported below when it is previewed
        problem, count = pdf_problem(path)
        if problem is None:
            self.pdf_preview.src_base64 = None
            printed = io.StringIO()
            with host.module_output(printed):
                pdf_module.select_pdf(
                    picked(path), self.pdf_path, self.page_number, self.pdf_preview, state.set_pdf_scale,
                    self.image_path, self.image_width, self.image_height, self.image_preview,
                    self.x_position, self.y_position)
            sys.stdout.write(printed.getvalue())
            if not self.pdf_preview.src_base64:
                problem = module_error(printed.getvalue()) or "プレビューを作れません"
        if problem is not None:
            self.pdf_path.value = path
            self.pdf_path.update()
            self.clear_preview()
            self.tell(f"【ERROR】PDFを開けません: {os.path.basename(path)}\n{problem}")
            return
        self.page_count = count
        self.cleared = False
        self.signing.show_signatures(path)
        self.clamp_page_number()
        self.pdf_preview.visible = True
        self.placeholder.visible = False
        self.show_seal()
        self.place_at_anchor(remember=False)
        self.preview.update()
        if messages:
            self.tell("\n".join(messages))

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
        self.clamp_page_number()
        printed = io.StringIO()
        with host.module_output(printed):
            pdf_module.on_page_number_change(
                e, self.pdf_path, self.page_number, self.pdf_preview, self.image_path, self.image_preview,
                self.image_width, self.image_height, self.x_position, self.y_position,
                state.set_pdf_scale, state.get_pdf_scale, state.set_original_ratio)
        sys.stdout.write(printed.getvalue())
        problem = module_error(printed.getvalue())
        if problem is not None:  # the file changed or went away since it was chosen
            self.clear_preview()
            self.tell(f"【ERROR】ページを表示できません: {os.path.basename(self.pdf_path.value)}\n{problem}")
            return
        self.place_at_anchor(remember=False)

    # ---- the stamp image -------------------------------------------------------------

    def on_image_picked(self, e, remember=True):
        try:
            pdf_module.select_image(
                e, self.image_path, self.image_width, self.image_height, self.image_preview,
                state.set_original_ratio, self.x_position, self.y_position)
        except Exception as ex:
            self.image_preview.src = None
            self.image_preview.visible = self.thumbnail.visible = False
            self.preview.update()
            self.thumbnail.update()
            self.tell(f"【ERROR】画像の読み込みに失敗しました: {ex}")
            return
        if e.files:
            self.show_seal()
            self.place_at_anchor(remember=False)
            if remember:
                self.remember()

    def show_seal(self):
        """Shows the stamp as it will be printed, in the preview and the thumbnail:
        the prepared image when opacity or white-to-transparent is chosen. Each
        prepared image gets a new file name: the client caches pictures by path."""
        source = self.image_path.value
        if not source or not state.original_ratio:
            return
        shown = source
        opacity, white = round(float(self.opacity.value), 2), bool(self.white_to_transparent.value)
        if opacity < 1 or white:
            shown = os.path.join(self.seal_dir.name, f"seal-{next(self.seal_names)}.png")
            try:
                seal.prepare_seal(source, shown, opacity=opacity, white_to_transparent=white)
            except Exception as ex:
                self.tell(f"【ERROR】画像の加工に失敗しました: {ex}")
                shown = source
        width, height = thumbnail_size(state.original_ratio)
        try:
            self.thumbnail.src_base64 = pdf_module.generate_resized_base64_image(shown, width, height)
        except Exception as ex:
            self.tell(f"【ERROR】画像の読み込みに失敗しました: {ex}")
            return
        self.image_preview.src = shown
        self.image_preview.visible = not self.cleared
        self.thumbnail.visible = True
        self.thumbnail.update()
        self.image_preview.update()

    def on_seal_change(self, e):
        self.show_seal()
        self.remember()

    def on_width_change(self, e, remember=True):
        pdf_module.update_image_size(
            e, True, self.image_width, self.image_height, self.image_preview,
            self.x_position, self.y_position, self.image_path)
        self.after_size_change(remember)

    def on_height_change(self, e):
        pdf_module.update_image_sizeb(e, True, self.image_width, self.image_height, self.image_preview)
        self.after_size_change(True)

    def after_size_change(self, remember):
        if self.anchor:
            self.place_at_anchor(remember)
        elif remember:
            self.remember()

    def on_fit_to_page(self, e):
        try:
            width, height = pdf_module.scale_image_to_pdf(
                float(self.image_width.value), float(self.image_height.value),
                state.pdf_width_pt * MM_PER_PT, state.pdf_height_pt * MM_PER_PT)
        except (TypeError, ValueError, ZeroDivisionError):
            self.tell("【ERROR】数値が正しく入力されていません")
            return
        self.image_width.value = pdf_module.format_mm_value(width)
        self.image_height.value = pdf_module.format_mm_value(height)
        self.on_width_change(e)

    # ---- placing -------------------------------------------------------------------

    def place(self, x_text, y_text, remember=True):
        """Writes the position fields and lets the module place the preview exactly
        as if the numbers had been typed."""
        self.x_position.value, self.y_position.value = x_text, y_text
        self.x_position.update()
        self.y_position.update()
        pdf_module.update_image_position(self.x_position, self.y_position, self.image_preview, self.image_path)
        if remember:
            self.remember()

    def on_position_typed(self, e, remember=True):
        if e is not None:
            self.anchor = None  # typed numbers replace the anchor
            self.show_anchor()
        pdf_module.update_image_position(self.x_position, self.y_position, self.image_preview, self.image_path)
        if remember:
            self.remember()

    def show_anchor(self):
        for anchor, cell in self.anchor_cells.items():
            cell.bgcolor = ft.Colors.BLUE_400 if anchor == self.anchor else None
        if self.page.controls:
            for cell in self.anchor_cells.values():
                cell.update()

    def on_anchor(self, anchor):
        self.anchor = anchor
        self.show_anchor()
        self.place_at_anchor()

    def place_at_anchor(self, remember=True):
        """Fills X and Y from the anchor and the margin for the page shown and the
        stamp as drawn, as the command line computes them."""
        if not self.anchor:
            return
        margin = number(self.margin.value)
        width, height = number(self.image_width.value), number(self.image_height.value)
        if margin is None or not width or not height or not state.original_ratio:
            return
        x, y = placement.anchor_position(
            self.anchor, margin, state.pdf_width_pt * MM_PER_PT, state.pdf_height_pt * MM_PER_PT,
            width, height, state.original_ratio)
        self.place(pdf_module.format_mm_value(x), pdf_module.format_mm_value(y), remember)

    def stamp_box(self):
        p = self.image_preview
        return (p.left or 0, p.top or 0, p.width or 0, p.height or 0)

    def on_drag_start(self, e):
        self.drag = None
        if self.image_preview.visible and self.image_preview.width and placing.contains(
                self.stamp_box(), e.local_x, e.local_y):
            self.drag = (self.stamp_box(), (e.local_x, e.local_y))

    def on_drag_update(self, e):
        # The distance from where the drag started, rather than a sum of the
        # deltas: an update that never arrives then costs nothing.
        if self.drag is None:
            return
        (left, top, width, height), (x, y) = self.drag
        bounds = (self.pdf_preview.width or state.PREVIEW_PX, self.pdf_preview.height or state.PREVIEW_PX)
        self.image_preview.left, self.image_preview.top = placing.dragged(
            (left, top), (e.local_x - x, e.local_y - y), (width, height), bounds)
        self.image_preview.update()

    def on_drag_end(self, e):
        # The end event carries no position: the last update's place is the result.
        if self.drag is None:
            return
        self.drag = None
        self.anchor = None
        self.show_anchor()
        scale = state.pdf_scale_ratio * state.shrink_scale
        self.place(placing.mm_text(placing.px_to_mm(self.image_preview.left, scale)),
                   placing.mm_text(placing.px_to_mm(self.image_preview.top, scale)))

    def on_key(self, e: ft.KeyboardEvent):
        # Text fields keep plain arrows for their cursor: the stamp moves with Alt.
        if not e.alt or e.ctrl or e.meta:
            return
        position = number(self.x_position.value or 0), number(self.y_position.value or 0)
        size = number(self.image_width.value) or 0, number(self.image_height.value) or 0
        if None in position or not self.image_path.value:
            return
        moved = placing.nudge(e.key, e.shift, position, size,
                              (state.pdf_width_pt * MM_PER_PT, state.pdf_height_pt * MM_PER_PT))
        if moved is not None:
            self.anchor = None
            self.show_anchor()
            self.place(*map(placing.mm_text, moved))

    # ---- output --------------------------------------------------------------------

    def on_folder_picked(self, e):
        pdf_module.select_directory(e, self.save_path)
        self.remember()

    def job(self):
        anchored = self.anchor is not None
        return StampJob(
            image=self.image_path.value or "",
            x=None if anchored else self.x_position.value or "0",
            y=None if anchored else self.y_position.value or "0",
            width=self.image_width.value or None, height=self.image_height.value or None,
            anchor=self.anchor, margin=number(self.margin.value) or 0.0,
            pages=self.target_pages.value or "", every=self.page_interval.value or "",
            opacity=round(float(self.opacity.value), 2),
            white_to_transparent=bool(self.white_to_transparent.value),
            allow_rewrite=bool(self.allow_rewrite.value), out_dir=self.save_path.value or "",
            pdf_password=self.signing.pdf_password)

    def sources(self):
        return self.pdf_files or ([self.pdf_path.value] if self.pdf_path.value else [])

    def output_pool(self):
        """The output's worker processes, started on the first output."""
        if self.executor is None:
            self.executor = workers.pool()
        return self.executor

    def busy(self, running, text=""):
        self.output_button.disabled = running
        self.progress.visible = self.progress_text.visible = running
        self.progress_text.value = text
        self.page.update()

    def on_output(self, e):
        sources = self.sources()
        if not sources:
            self.tell("【ERROR】PDFが選択されていません")
            return
        if not self.image_path.value:
            self.tell("【ERROR】画像が選択されていません")
            return
        self.remember()
        job = self.job()
        self.busy(True, f"出力中… (0 / {len(sources)})")
        results = []
        try:
            wanted = naming.plan_names(sources, job.out_dir, job.suffix)
            pool = self.output_pool()
            futures = [pool.submit(stamping.stamp_file, job, source, name)
                       for source, name in zip(sources, wanted)]
            for done, future in enumerate(futures, 1):
                results.append(future.result())
                self.progress_text.value = f"出力中… ({done} / {len(sources)})"
                self.progress_text.update()
        except Exception as ex:  # a worker that died, a folder that cannot be listed
            if self.executor is not None:
                self.executor.shutdown(wait=False, cancel_futures=True)
                self.executor = None
            self.busy(False)
            self.tell(f"【ERROR】出力できませんでした: {ex}")
            return
        self.busy(False)
        self.show_results(results)

    def show_results(self, results):
        written = [r for r in results if r.ok]
        lines = [line for r in results for line in result_lines(r)]
        if written:
            lines.append("検証済み: ページ数・押印・フォーム・注釈・しおりを確認しました")
        folder = os.path.dirname(os.path.abspath(written[0].result)) if written else None

        def close(e):
            self.page.close(dialog)

        def open_folder(e):
            self.page.close(dialog)
            try:
                subprocess.Popen(["xdg-open", folder], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            except OSError as ex:
                self.tell(f"【ERROR】フォルダを開けません: {ex}")

        actions = [ft.TextButton("フォルダを開く", on_click=open_folder)] if folder else []
        dialog = ft.AlertDialog(
            title=ft.Text(f"出力結果: {len(results)} 件中 {len(written)} 件を書き出しました"),
            content=ft.Column([ft.Text(line, selectable=True) for line in lines], tight=True,
                              scroll=ft.ScrollMode.AUTO),
            actions=actions + [ft.TextButton("閉じる", on_click=close)])
        self.page.open(dialog)


def main(argv=None):
    parser = argparse.ArgumentParser(description="PDFに画像を挿入するウィンドウを開きます。")
    parser.add_argument("--pdf", metavar="FILE", nargs="+", help="起動時に開くPDF (複数可)")
    parser.add_argument("--image", metavar="FILE", help="起動時に読み込む画像")
    parser.add_argument("--x", metavar="MM", help="画像のX位置 (mm)")
    parser.add_argument("--y", metavar="MM", help="画像のY位置 (mm)")
    args = parser.parse_args(argv)

    def start(page):
        settings = Settings.load()
        window = Window(page, args, settings)
        if args.pdf:
            window.on_pdfs_picked(picked(*args.pdf))
        window.apply(settings.current, image=args.image, x=args.x, y=args.y)
        if settings.notice:
            window.tell(settings.notice)

    ft.app(target=start)


if __name__ == "__main__":
    main()
