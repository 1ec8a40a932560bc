// Taking a PDF: its path, and its chosen page rendered at the library's
// default resolution into the page preview.
#include "../functions/bodies.hpp"
#include "../host/base64_text.hpp"
#include "page_preview.hpp"

namespace pdfm {

using namespace preview;

Ref select_pdf(Call& c) {
    auto [e, pdf_path, page_number_input, pdf_preview, set_pdf_scale_callback, image_path,
          image_width, image_height, image_preview, x_position, y_position] = c.args<11>();
    c.at(64);
    if (!truth(toolkit::picked_files(e))) return nullptr;
    c.at(67);
    toolkit::set_value(pdf_path, toolkit::first_picked_path(e));
    c.at(68);
    toolkit::update(pdf_path);

    try {
        c.at(72);
        Ref doc = open_document(c, pdf_path);
        c.at(73);
        Ref page_number = truth(toolkit::value(page_number_input))
                              ? to_int(toolkit::value(page_number_input))
                              : Ref::borrow(int_<1>());
        c.at(74);
        Ref page = load_clamped_page(doc, page_number);
        c.at(76);
        Ref pix = pdf::get_pixmap(page);
        c.at(78);
        Ref img_data = pdf::png_bytes(pix);
        c.at(79);
        Ref encoded_img = base64::text(c, img_data);
        c.at(81);
        PageSize size = page_size(page);

        Ref pdf_scale_ratio =
            render_scale(c, {.scale_x = 85, .scale_y = 86, .ratio = 87}, pix, size);
        // min() over lines 91 and 92: the width term (91), the height term
        // (92), then the call itself (91).
        c.at(91);
        Ref width_term = shrink_term(size.width, pdf_scale_ratio);
        c.at(92);
        Ref height_term = shrink_term(size.height, pdf_scale_ratio);
        c.at(91);
        Ref shrink_scale = min_of(width_term, height_term);
        c.at(93);
        Ref display_width = display_size(pdf::width(pix), shrink_scale);
        c.at(94);
        Ref display_height = display_size(pdf::height(pix), shrink_scale);

        show_page(c,
                  {.src_base64 = 98, .width = 99, .height = 100, .left = 101, .top = 102,
                   .fit = 103, .update = 104},
                  pdf_preview, encoded_img, display_width, display_height);
        c.at(107);
        call(set_pdf_scale_callback, pdf_scale_ratio, size.width, size.height, shrink_scale);

        c.at(110);
        print(concat({"[OK] PDF page "_py, format(page_number, ""_py), " loaded."_py}));
        c.at(111);
        print(concat({"PDF page size: "_py, format(size.width, ".2f"_py), "pt x "_py,
                      format(size.height, ".2f"_py), "pt"_py}));
        c.at(112);
        print(concat({"[PDF画像化] 幅: "_py, format(pdf::width(pix), ""_py), "px, 高さ: "_py,
                      format(pdf::height(pix), ""_py), "px"_py}));
        c.at(113);
        print(concat({"[プレビューサイズ] 幅: "_py, format(display_width, ""_py), "px, 高さ: "_py,
                      format(display_height, ""_py), "px (縮尺: "_py,
                      format(pdf_scale_ratio, ".4f"_py), ")"_py}));
        c.at(114);
        print(concat({"縮小率shrink_scale: "_py, format(shrink_scale, ".4f"_py)}));

        refresh_stamp(c, {.test = 116, .call = 117}, image_path, image_width, image_height,
                      image_preview, x_position, y_position);
    } catch (const PyErrorSet&) {
        Caught ex = catch_only(PyExc_Exception);
        c.at(120);
        print(concat({"[ERROR] PDF読み込み失敗: "_py, format(ex, ""_py)}));
    }
    return nullptr;
}

}  // namespace pdfm
