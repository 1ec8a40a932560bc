"""The desktop window: stamp an image onto chosen pages of a PDF.

`pdf-stamp-window [--pdf FILE] [--image FILE] [--x MM] [--y MM]` opens it.
pdf_module imports the host's values by the module name `state`: the window's
own state module is registered under that name before pdf_module is imported.
The window lays out controls and wires their events to pdf_module, which does
the previews, sizes and positions.
"""

import argparse
import sys
import types

import flet as ft

from pdf_stamp.window import state

sys.modules["state"] = state
import pdf_module  # noqa: E402

THUMBNAIL_PX = 48


def picked(path):
    """A file-picker result for `path`, as if the user had picked it (an empty
    path is a cancelled pick)."""
    return types.SimpleNamespace(files=[types.SimpleNamespace(path=path)] if path else None)


def thumbnail_size(ratio):
    """Width and height in pixels of a thumbnail of aspect `ratio` in its box."""
    if ratio >= 1:
        return THUMBNAIL_PX, max(1, round(THUMBNAIL_PX / ratio))
    return max(1, round(THUMBNAIL_PX * ratio)), THUMBNAIL_PX


def build(page: ft.Page, args):
    page.title = "PDF画像挿入"
    page.padding = 16
    page.window.width = 1120
    page.window.height = 580

    def field(label, value="", width=None, **kw):
        return ft.TextField(label=label, value=value, width=width, dense=True, **kw)

    pdf_path = field("PDFファイル", expand=True)
    page_number = field("ページ番号", "1", 120, keyboard_type=ft.KeyboardType.NUMBER)
    image_path = field("画像ファイル", expand=True)
    thumbnail = ft.Image(width=THUMBNAIL_PX, height=THUMBNAIL_PX, fit=ft.ImageFit.CONTAIN, visible=False)
    image_width = field("幅 (mm)", width=120)
    image_height = field("高さ (mm)", width=120)
    x_position = field("X (mm)", args.x or "0", 120)
    y_position = field("Y (mm)", args.y or "0", 120)
    target_pages = field("挿入するページ (例: 1,3,5)", "1", 260)
    page_interval = field("ページ毎 (N)", width=140)
    save_path = field("出力フォルダ (空欄なら作業フォルダ)", expand=True)

    # The page preview and the stamp preview share one stack: the module
    # places both with left/top in preview pixels from its top-left corner.
    pdf_preview = ft.Image(left=0, top=0, visible=False)
    image_preview = ft.Image(left=0, top=0, fit=ft.ImageFit.CONTAIN, visible=False)
    placeholder = ft.Container(width=state.PREVIEW_PX, height=state.PREVIEW_PX, bgcolor=ft.Colors.GREY_200)
    preview = ft.Stack(
        [
            placeholder,
            pdf_preview,
            image_preview,
        ],
        width=state.PREVIEW_PX + 4,
        height=state.PREVIEW_PX + 4,
    )

    def refresh_stamp_preview():
        """Shows the stamp preview once it has a picture."""
        image_preview.visible = bool(image_preview.src)
        image_preview.update()

    def on_pdf_picked(e):
        pdf_module.select_pdf(
            e, pdf_path, page_number, pdf_preview, state.set_pdf_scale,
            image_path, image_width, image_height, image_preview, x_position, y_position,
        )
        pdf_preview.visible = bool(pdf_preview.src_base64)
        placeholder.visible = not pdf_preview.visible
        preview.update()

    def on_image_picked(e):
        try:
            pdf_module.select_image(
                e, image_path, image_width, image_height, image_preview,
                state.set_original_ratio, x_position, y_position,
            )
            if image_path.value:
                width, height = thumbnail_size(state.original_ratio)
                thumbnail.src_base64 = pdf_module.generate_resized_base64_image(image_path.value, width, height)
                thumbnail.visible = True
                thumbnail.update()
        except Exception as ex:
            pdf_module.show_dialog(page, f"【ERROR】画像の読み込みに失敗しました: {ex}")
        refresh_stamp_preview()

    def on_page_change(e):
        pdf_module.on_page_number_change(
            e, pdf_path, page_number, pdf_preview, image_path, image_preview,
            image_width, image_height, x_position, y_position,
            state.set_pdf_scale, state.get_pdf_scale, state.set_original_ratio,
        )

    def on_width_change(e):
        pdf_module.update_image_size(
            e, True, image_width, image_height, image_preview, x_position, y_position, image_path
        )

    def on_height_change(e):
        pdf_module.update_image_sizeb(e, True, image_width, image_height, image_preview)

    def on_position_change(e):
        pdf_module.update_image_position(x_position, y_position, image_preview, image_path)

    def on_fit_to_page(e):
        mm_per_pt = 25.4 / 72
        try:
            width, height = pdf_module.scale_image_to_pdf(
                float(image_width.value), float(image_height.value),
                state.pdf_width_pt * mm_per_pt, state.pdf_height_pt * mm_per_pt,
            )
        except (ValueError, ZeroDivisionError):
            pdf_module.show_dialog(page, "【ERROR】数値が正しく入力されていません")
            return
        image_width.value = pdf_module.format_mm_value(width)
        image_height.value = pdf_module.format_mm_value(height)
        on_width_change(e)

    def on_output(e):
        pdf_module.process_pdf(
            pdf_path.value, image_path.value, save_path.value,
            x_position.value, y_position.value, image_width.value, image_height.value,
            target_pages.value, page_interval.value, page,
        )

    pdf_picker = ft.FilePicker(on_result=on_pdf_picked)
    image_picker = ft.FilePicker(on_result=on_image_picked)
    folder_picker = ft.FilePicker(on_result=lambda e: pdf_module.select_directory(e, save_path))
    page.overlay.extend([pdf_picker, image_picker, folder_picker])

    # A path typed into a path field and confirmed with Enter counts as picked.
    pdf_path.on_submit = lambda e: on_pdf_picked(picked(pdf_path.value))
    image_path.on_submit = lambda e: on_image_picked(picked(image_path.value))
    page_number.on_change = page_number.on_submit = on_page_change
    image_width.on_change = on_width_change
    image_height.on_change = on_height_change
    x_position.on_change = y_position.on_change = on_position_change

    def heading(text):
        return ft.Text(text, weight=ft.FontWeight.BOLD)

    controls = ft.Column(
        [
            heading("1. PDF"),
            ft.Row([
                pdf_path,
                ft.ElevatedButton("PDFを選択", icon=ft.Icons.PICTURE_AS_PDF,
                                  on_click=lambda e: pdf_picker.pick_files(
                                      dialog_title="PDFを選択", allowed_extensions=["pdf"],
                                      file_type=ft.FilePickerFileType.CUSTOM)),
            ]),
            ft.Row([page_number, ft.Text("プレビューするページ")]),
            heading("2. 画像"),
            ft.Row([
                thumbnail,
                image_path,
                ft.ElevatedButton("画像を選択", icon=ft.Icons.IMAGE,
                                  on_click=lambda e: image_picker.pick_files(
                                      dialog_title="画像を選択", file_type=ft.FilePickerFileType.IMAGE)),
            ]),
            ft.Row([image_width, image_height,
                    ft.OutlinedButton("PDFに合わせる", icon=ft.Icons.FIT_SCREEN, on_click=on_fit_to_page)]),
            ft.Row([x_position, y_position, ft.Text("ページ左上からの位置")]),
            heading("3. 出力"),
            ft.Row([target_pages, page_interval]),
            ft.Row([
                save_path,
                ft.ElevatedButton("フォルダを選択", icon=ft.Icons.FOLDER_OPEN,
                                  on_click=lambda e: folder_picker.get_directory_path(dialog_title="出力フォルダを選択")),
            ]),
            ft.FilledButton("PDF出力", icon=ft.Icons.SAVE, on_click=on_output),
        ],
        spacing=12,
        expand=True,
        scroll=ft.ScrollMode.AUTO,
    )
    page.add(ft.Row([controls, preview], vertical_alignment=ft.CrossAxisAlignment.START, spacing=24, expand=True))

    # Closing the window asks first; "はい" in the dialog destroys the window.
    def on_window_event(e):
        if e.type == ft.WindowEventType.CLOSE:
            pdf_module.confirm_exit(page)

    page.window.prevent_close = True
    page.window.on_event = on_window_event
    page.update()

    if args.pdf:
        on_pdf_picked(picked(args.pdf))
    if args.image:
        on_image_picked(picked(args.image))


def main(argv=None):
    parser = argparse.ArgumentParser(description="PDFに画像を挿入するウィンドウを開きます。")
    parser.add_argument("--pdf", metavar="FILE", help="起動時に開くPDF")
    parser.add_argument("--image", metavar="FILE", help="起動時に読み込む画像")
    parser.add_argument("--x", metavar="MM", help="画像のX位置 (mm)")
    parser.add_argument("--y", metavar="MM", help="画像のY位置 (mm)")
    args = parser.parse_args(argv)
    ft.app(target=lambda page: build(page, args))


if __name__ == "__main__":
    main()
