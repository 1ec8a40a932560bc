// Millimetres to points, the text of a millimetre value, and fitting an
// image size into a page size.
#include "../module/bodies.hpp"

namespace pdfm {

Ref mm_to_pt(Call& c) {
    auto [mm] = c.args<1>();
    c.at(18);
    return div(mul(mm, int_<72>()), float_<25.4>());
}

Ref format_mm_value(Call& c) {
    auto [val] = c.args<1>();  // already a float
    c.at(124);
    Ref whole = to_int(val);
    if (eq(val, whole)) return str(whole);
    return str(round(val, int_<2>()));
}

Ref scale_image_to_pdf(Call& c) {
    auto [image_width_mm, image_height_mm, pdf_width_mm, pdf_height_mm] = c.args<4>();
    Ref width = Ref::borrow(image_width_mm);
    Ref height = Ref::borrow(image_height_mm);
    c.at(209);
    Ref aspect_ratio = div(width, height);
    c.at(210);
    if (gt(width, pdf_width_mm) || gt(height, pdf_height_mm)) {
        c.at(212);
        if (gt(div(width, pdf_width_mm), div(height, pdf_height_mm))) {
            width = Ref::borrow(pdf_width_mm);
            c.at(214);
            height = div(pdf_width_mm, aspect_ratio);
        } else {
            height = Ref::borrow(pdf_height_mm);
            c.at(217);
            width = mul(pdf_height_mm, aspect_ratio);
        }
    }
    c.at(218);
    Ref rounded_width = round(width, int_<2>());
    return tuple_of(rounded_width, round(height, int_<2>()));
}

}  // namespace pdfm
