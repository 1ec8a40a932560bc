// The page-preview steps that select_pdf and on_page_number_change share:
// opening the document, loading the chosen page, its size and render scale,
// the preview control's box, and refreshing the stamp over it. Each step
// marks the lines its caller gives it.
#pragma once

#include "../functions/constants.hpp"
#include "../host/pdf_library.hpp"
#include "../host/toolkit.hpp"

namespace pdfm::preview {

// fitz.open(pdf_path.value): fitz.open is found before the field is read.
inline Ref open_document(const Call& c, PyObject* pdf_path) {
    Ref open = attr(c.global("fitz"_py), "open"_py);
    return call(open, toolkit::value(pdf_path));
}

// doc.load_page(max(0, min(page_number - 1, doc.page_count - 1))): a number
// below 1 gives the first page, one above the page count the last. The
// method is found before its index is computed.
inline Ref load_clamped_page(PyObject* doc, PyObject* page_number) {
    Ref load_page = attr(doc, "load_page"_py);
    Ref wanted = sub(page_number, int_<1>());
    Ref last = sub(pdf::page_count(doc), int_<1>());
    Ref index = max_of(int_<0>(), min_of(wanted, last));
    return call(load_page, index);
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

// scale_x = pix.width / width, scale_y = pix.height / height, and
// min(scale_x, scale_y), each at its own line.
struct RenderScaleLines {
    int scale_x, scale_y, ratio;
};
inline Ref render_scale(Call& c, const RenderScaleLines& at, PyObject* pix, const PageSize& size) {
    c.at(at.scale_x);
    Ref scale_x = div(pdf::width(pix), size.width);
    c.at(at.scale_y);
    Ref scale_y = div(pdf::height(pix), size.height);
    c.at(at.ratio);
    return min_of(scale_x, scale_y);
}

// max_preview_px / (side_pt * pdf_scale_ratio)
inline Ref shrink_term(PyObject* side_pt, PyObject* pdf_scale_ratio) {
    return div(int_<max_preview_px>(), mul(side_pt, pdf_scale_ratio));
}

// int(pixels * shrink_scale): truncated towards zero
inline Ref display_size(PyObject* pixels, PyObject* shrink_scale) {
    return to_int(mul(pixels, shrink_scale));
}

// The preview control's picture and box, one attribute per line, then its
// update().
struct ShowPageLines {
    int src_base64, width, height, left, top, fit, update;
};
inline void show_page(Call& c, const ShowPageLines& at, PyObject* preview, PyObject* encoded_img,
                      PyObject* display_width, PyObject* display_height) {
    c.at(at.src_base64);
    toolkit::set_src_base64(preview, encoded_img);
    c.at(at.width);
    toolkit::set_width(preview, display_width);
    c.at(at.height);
    toolkit::set_height(preview, display_height);
    c.at(at.left);
    toolkit::set_left(preview, int_<0>());
    c.at(at.top);
    toolkit::set_top(preview, int_<0>());
    c.at(at.fit);
    toolkit::set_fit(preview, toolkit::image_fit_contain(c));
    c.at(at.update);
    toolkit::update(preview);
}

// When a stamp image is set (tested at one line), the size logic places its
// preview over the new page (called at the other).
struct RefreshStampLines {
    int test, call;
};
inline void refresh_stamp(Call& c, const RefreshStampLines& at, PyObject* image_path,
                          PyObject* image_width, PyObject* image_height, PyObject* image_preview,
                          PyObject* x_position, PyObject* y_position) {
    c.at(at.test);
    if (!truth(toolkit::value(image_path))) return;
    c.at(at.call);
    call(c.global("update_image_size"_py), Py_None, Py_True, image_width, image_height,
         image_preview, x_position, y_position, image_path);
}

}  // namespace pdfm::preview
