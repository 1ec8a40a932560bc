// A new page number: the chosen page rendered at 150 dots per inch, with the
// preview's scale factors and page size kept in the host's `state`.
#include "../functions/bodies.hpp"
#include "../host/base64_text.hpp"
#include "../host/state.hpp"
#include "page_preview.hpp"

namespace pdfm {

using namespace preview;

Ref on_page_number_change(Call& c) {
    auto [e, pdf_path, page_number_input, pdf_preview, image_path, image_preview, image_width,
          image_height, x_position, y_position, set_pdf_scale_callback, get_pdf_scale_callback,
          set_original_ratio_callback] = c.args<13>();
    c.at(272);
    if (!truth(toolkit::value(pdf_path))) {
        c.at(273);
        print("[INFO] PDFが指定されていません。"_py);
        return nullptr;
    }
    Ref page_number;
    try {
        c.at(277);
        page_number = to_int(toolkit::value(page_number_input));
    } catch (const PyErrorSet&) {
        Caught ex = catch_only(builtins.ValueError);
        c.at(279);
        print("[INFO] ページ番号が数値ではありません。"_py);
        return nullptr;
    }

    try {
        c.at(283);
        Ref doc = open_document(c, pdf_path);
        c.at(284);
        Ref page = load_clamped_page(doc, page_number);
        c.at(285);
        Ref pix = pdf::get_pixmap(page, int_<page_change_dpi>());
        c.at(286);
        Ref img_data = pdf::png_bytes(pix);
        c.at(287);
        Ref encoded_img = base64::text(c, img_data);
        c.at(289);
        PageSize size = page_size(page);

        Ref pdf_scale_ratio =
            render_scale(c, {.scale_x = 292, .scale_y = 293, .ratio = 294}, pix, size);
        state::set(c, "pdf_scale_ratio"_py, pdf_scale_ratio);
        // min() over lines 297 to 299 runs backwards: the height term (299)
        // is computed before the width term (298), then the call (297).
        c.at(299);
        Ref height_term = shrink_term(size.height, state::get(c, "pdf_scale_ratio"_py));
        c.at(298);
        Ref width_term = shrink_term(size.width, state::get(c, "pdf_scale_ratio"_py));
        c.at(297);
        Ref shrink_scale = min_of(width_term, height_term);
        state::set(c, "shrink_scale"_py, shrink_scale);
        c.at(302);
        Ref pix_width = pdf::width(pix);
        Ref display_width = display_size(pix_width, state::get(c, "shrink_scale"_py));
        c.at(303);
        Ref pix_height = pdf::height(pix);
        Ref display_height = display_size(pix_height, state::get(c, "shrink_scale"_py));

        show_page(c,
                  {.src_base64 = 306, .width = 307, .height = 308, .left = 309, .top = 310,
                   .fit = 311, .update = 312},
                  pdf_preview, encoded_img, display_width, display_height);
        c.at(315);
        state::set(c, "pdf_width_pt"_py, size.width);
        c.at(316);
        state::set(c, "pdf_height_pt"_py, size.height);
        c.at(317);
        Ref ratio_now = state::get(c, "pdf_scale_ratio"_py);
        call(set_pdf_scale_callback, ratio_now, size.width, size.height,
             state::get(c, "shrink_scale"_py));

        c.at(319);
        print(concat({"[ページ変更] PDF page "_py, format(page_number, ""_py), " loaded."_py}));
        c.at(320);
        print(concat({"     size: "_py, format(size.width, ".2f"_py), "pt × "_py,
                      format(size.height, ".2f"_py), "pt"_py}));
        c.at(321);
        print(concat({"     scale: "_py, format(state::get(c, "pdf_scale_ratio"_py), ".4f"_py),
                      ", shrink: "_py, format(state::get(c, "shrink_scale"_py), ".4f"_py)}));

        refresh_stamp(c, {.test = 324, .call = 325}, image_path, image_width, image_height,
                      image_preview, x_position, y_position);
    } catch (const PyErrorSet&) {
        Caught ex = catch_only(PyExc_Exception);
        c.at(328);
        print(concat({"[ERROR] ページ変更エラー: "_py, format(ex, ""_py)}));
    }
    return nullptr;
}

}  // namespace pdfm
