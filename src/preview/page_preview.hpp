// The page-preview steps that select_pdf and on_page_number_change share:
// loading the chosen page, its PNG as Base64 text, its size and render
// scale, the preview control's box, and refreshing the stamp over it.
#pragma once

#include "../host/pdf_library.hpp"
#include "../host/toolkit.hpp"

namespace pdfm::preview {

// doc.load_page(max(0, min(page_number - 1, doc.page_count - 1))): a number
// below 1 gives the first page, one above the page count the last.
inline Ref load_clamped_page(PyObject* doc, PyObject* page_number) {
    Ref wanted = sub(page_number, int_<1>());
    Ref last = sub(pdf::page_count(doc), int_<1>());
    Ref index = max_of(int_<0>(), min_of(wanted, last));
    return pdf::load_page(doc, index);
}

// base64.b64encode(data).decode("utf-8")
inline Ref base64_text(const Call& c, PyObject* data) {
    Ref encoded = method(c.global("base64"_py), "b64encode"_py, data);
    return method(encoded, "decode"_py, "utf-8"_py);
}

// page.rect.width, page.rect.height: the page size in points.
struct PageSize {
    Ref width;
    Ref height;
};
inline PageSize page_size(PyObject* page) {
    Ref width = pdf::width(pdf::page_rect(page));
    return {std::move(width), pdf::height(pdf::page_rect(page))};
}

// scale_x = pix.width / width (at `line`), scale_y = pix.height / height
// (the next line), and min(scale_x, scale_y) (the line after).
inline Ref render_scale(Call& c, int line, PyObject* pix, const PageSize& size) {
    c.at(line);
    Ref scale_x = div(pdf::width(pix), size.width);
    c.at(line + 1);
    Ref scale_y = div(pdf::height(pix), size.height);
    c.at(line + 2);
    return min_of(scale_x, scale_y);
}

// max_preview_px / (side_pt * pdf_scale_ratio)
inline Ref shrink_term(PyObject* side_pt, PyObject* pdf_scale_ratio) {
    return div(int_<500>(), mul(side_pt, pdf_scale_ratio));
}

// int(pixels * shrink_scale): truncated towards zero
inline Ref display_size(PyObject* pixels, PyObject* shrink_scale) {
    return to_int(mul(pixels, shrink_scale));
}

// The preview control's picture and box, one attribute per line from
// `line` on, then its update().
inline void show_page(Call& c, int line, PyObject* preview, PyObject* encoded_img,
                      PyObject* display_width, PyObject* display_height) {
    c.at(line);
    toolkit::set_src_base64(preview, encoded_img);
    c.at(line + 1);
    toolkit::set_width(preview, display_width);
    c.at(line + 2);
    toolkit::set_height(preview, display_height);
    c.at(line + 3);
    toolkit::set_left(preview, int_<0>());
    c.at(line + 4);
    toolkit::set_top(preview, int_<0>());
    c.at(line + 5);
    toolkit::set_fit(preview, toolkit::image_fit_contain(c));
    c.at(line + 6);
    toolkit::update(preview);
}

// When a stamp image is set (tested at `line`), the size logic places its
// preview over the new page (the next line).
inline void refresh_stamp(Call& c, int line, PyObject* image_path, PyObject* image_width,
                          PyObject* image_height, PyObject* image_preview, PyObject* x_position,
                          PyObject* y_position) {
    c.at(line);
    if (!truth(toolkit::value(image_path))) return;
    c.at(line + 1);
    call(c.global("update_image_size"_py), Py_None, Py_True, image_width, image_height,
         image_preview, x_position, y_position, image_path);
}

}  // namespace pdfm::preview
