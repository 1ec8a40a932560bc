"""Stamp-image handlers and utilities for a flet PDF stamping application."""

from typing import Any, Callable

pdf_page_width_pt: int
pdf_page_height_pt: int
original_width: int
original_height: int

def mm_to_pt(mm: float) -> float: ...
def select_image(
    e: Any,
    image_path: Any,
    image_width: Any,
    image_height: Any,
    image_preview: Any,
    set_original_ratio_callback: Callable[[float], object],
    x_position: Any,
    y_position: Any,
) -> None:
    """画像を選択してプレビューに反映し、サイズとアスペクト比を取得"""

def select_pdf(
    e: Any,
    pdf_path: Any,
    page_number_input: Any,
    pdf_preview: Any,
    set_pdf_scale_callback: Callable[[float, float, float, float], object],
    image_path: Any,
    image_width: Any,
    image_height: Any,
    image_preview: Any,
    x_position: Any,
    y_position: Any,
) -> None: ...
def format_mm_value(val: float) -> str: ...
def update_image_size(
    e: Any,
    is_width: object,
    image_width: Any,
    image_height: Any,
    image_preview: Any,
    x_position: Any,
    y_position: Any,
    image_path: Any,
) -> None: ...
def update_image_sizeb(
    e: Any, is_height: object, image_width: Any, image_height: Any, image_preview: Any
) -> None: ...
def scale_image_to_pdf(
    image_width_mm: float, image_height_mm: float, pdf_width_mm: float, pdf_height_mm: float
) -> tuple[float, float]:
    """画像の縦横比を保ちながらPDFに合わせてスケーリング"""

def generate_resized_base64_image(image_path: Any, width: int | float | str, height: int | float | str) -> str:
    """画像を指定サイズにリサイズしてBase64エンコード"""

def update_image_position(x_input: Any, y_input: Any, image_preview: Any, image_path: Any) -> None: ...
def on_page_number_change(
    e: Any,
    pdf_path: Any,
    page_number_input: Any,
    pdf_preview: Any,
    image_path: Any,
    image_preview: Any,
    image_width: Any,
    image_height: Any,
    x_position: Any,
    y_position: Any,
    set_pdf_scale_callback: Callable[[float, float, float, float], object],
    get_pdf_scale_callback: Callable[..., object],
    set_original_ratio_callback: Callable[[float], object],
) -> None: ...
def select_directory(e: Any, save_field: Any) -> None:
    """directoryを選択したとき、パスを入力欄にセット"""

def get_unique_filename(directory: str, base_name: str) -> str:
    """既存の output.pdf がある場合、連番をつけて保存"""

def show_dialog(page: Any, message: str) -> None:
    """エラーダイアログを表示する共通関数"""

def confirm_exit(page: Any) -> None:
    """アプリ終了の確認ダイアログを表示"""

def process_pdf(
    pdf_path: str,
    image_path: str,
    save_path: str | None,
    x_mm: str | float,
    y_mm: str | float,
    width_mm: str | float,
    height_mm: str | float,
    target_pages: str,
    page_interval: str,
    page: Any,
) -> None:
    """指定したPDFに画像を挿入し保存する"""
