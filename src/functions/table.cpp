// The fifteen published functions, in the order they are bound.
#include "table.hpp"

#include "bodies.hpp"

namespace pdfm {

const FunctionSpec function_table[15] = {
    {"mm_to_pt", "mm_to_pt", "pdf_module.mm_to_pt", nullptr, {"mm"}, 17, mm_to_pt,
     /*converts_float=*/false, mm_to_pt_entry},
    {"select_image", "select_image", "pdf_module.select_image",
     "画像を選択してプレビューに反映し、サイズとアスペクト比を取得",
     {"e", "image_path", "image_width", "image_height", "image_preview",
      "set_original_ratio_callback", "x_position", "y_position"},
     20, select_image},
    {"select_pdf", "select_pdf", "pdf_module.select_pdf", nullptr,
     {"e", "pdf_path", "page_number_input", "pdf_preview", "set_pdf_scale_callback", "image_path",
      "image_width", "image_height", "image_preview", "x_position", "y_position"},
     59, select_pdf},
    {"format_mm_value", "format_mm_value", "pdf_module.format_mm_value", nullptr, {"val"}, 123,
     format_mm_value, /*converts_float=*/true, format_mm_value_entry},
    {"update_image_size", "update_image_size", "pdf_module.update_image_size", nullptr,
     {"e", "is_width", "image_width", "image_height", "image_preview", "x_position", "y_position",
      "image_path"},
     126, update_image_size},
    {"update_image_sizeb", "update_image_sizeb", "pdf_module.update_image_sizeb", nullptr,
     {"e", "is_height", "image_width", "image_height", "image_preview"}, 171, update_image_sizeb},
    {"scale_image_to_pdf", "scale_image_to_pdf", "pdf_module.scale_image_to_pdf",
     "画像の縦横比を保ちながらPDFに合わせてスケーリング",
     {"image_width_mm", "image_height_mm", "pdf_width_mm", "pdf_height_mm"}, 207,
     scale_image_to_pdf, /*converts_float=*/false, scale_image_to_pdf_entry},
    {"generate_resized_base64_image", "generate_resized_base64_image",
     "pdf_module.generate_resized_base64_image", "画像を指定サイズにリサイズしてBase64エンコード",
     {"image_path", "width", "height"}, 220, generate_resized_base64_image},
    {"update_image_position", "update_image_position", "pdf_module.update_image_position",
     nullptr, {"x_input", "y_input", "image_preview", "image_path"}, 229, update_image_position},
    {"on_page_number_change", "on_page_number_change", "pdf_module.on_page_number_change",
     nullptr,
     {"e", "pdf_path", "page_number_input", "pdf_preview", "image_path", "image_preview",
      "image_width", "image_height", "x_position", "y_position", "set_pdf_scale_callback",
      "get_pdf_scale_callback", "set_original_ratio_callback"},
     255, on_page_number_change},
    {"select_directory", "select_directory", "pdf_module.select_directory",
     "directoryを選択したとき、パスを入力欄にセット", {"e", "save_field"}, 330, select_directory},
    {"get_unique_filename", "get_unique_filename", "pdf_module.get_unique_filename",
     "既存の output.pdf がある場合、連番をつけて保存", {"directory", "base_name"}, 336,
     get_unique_filename},
    {"show_dialog", "show_dialog", "pdf_module.show_dialog",
     "エラーダイアログを表示する共通関数", {"page", "message"}, 346, show_dialog},
    {"confirm_exit", "confirm_exit", "pdf_module.confirm_exit",
     "アプリ終了の確認ダイアログを表示", {"page"}, 353, confirm_exit},
    {"process_pdf", "process_pdf", "pdf_module.process_pdf", "指定したPDFに画像を挿入し保存する",
     {"pdf_path", "image_path", "save_path", "x_mm", "y_mm", "width_mm", "height_mm",
      "target_pages", "page_interval", "page"},
     376, process_pdf},
};

}  // namespace pdfm
