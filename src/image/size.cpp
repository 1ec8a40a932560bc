// The width and height fields of the stamp image: the edited one gives its
// size, the other follows the aspect ratio, and the stamp preview is resized
// on the page preview's scale. update_image_size serves the width field (and
// moves the preview to the entered position), update_image_sizeb the height
// field; both run the steps below with their own lines.
#include "../functions/bodies.hpp"
#include "../functions/constants.hpp"
#include "../host/toolkit.hpp"
#include "preview_scale.hpp"

namespace pdfm {

namespace {

// One branch: the edited field's size, the other size from the ratio, and
// the other field rewritten.
struct Branch {
    bool width_edited;
    int test, convert, compute, write;
};

struct SizeLines {
    Branch flag_true;   // taken when the flag and its field are true
    Branch flag_false;  // taken when the flag is false and its field is true
    int width_pt, height_pt, width_px, height_px;
    int set_width, set_height;
    int update_preview, update_width, update_height;
    int size_line, scale_line;
    int error_line;
};

constexpr SizeLines width_handler = {
    .flag_true = {.width_edited = true, .test = 128, .convert = 129, .compute = 130,
                  .write = 132},
    .flag_false = {.width_edited = false, .test = 133, .convert = 134, .compute = 135,
                   .write = 137},
    .width_pt = 142, .height_pt = 143, .width_px = 144, .height_px = 145,
    .set_width = 147, .set_height = 148,
    .update_preview = 150, .update_width = 151, .update_height = 152,
    .size_line = 153, .scale_line = 155,
    .error_line = 169,
};
constexpr SizeLines height_handler = {
    .flag_true = {.width_edited = false, .test = 174, .convert = 175, .compute = 176,
                  .write = 178},
    .flag_false = {.width_edited = true, .test = 179, .convert = 180, .compute = 181,
                   .write = 182},
    .width_pt = 188, .height_pt = 189, .width_px = 190, .height_px = 191,
    .set_width = 193, .set_height = 194,
    .update_preview = 196, .update_width = 197, .update_height = 198,
    .size_line = 199, .scale_line = 201,
    .error_line = 204,
};

// The two sizes in millimetres as the branch leaves them.
struct Millimetres {
    Ref width;
    Ref height;
};

Millimetres run_branch(Call& c, const Branch& b, PyObject* image_width, PyObject* image_height) {
    PyObject* edited = b.width_edited ? image_width : image_height;
    PyObject* other = b.width_edited ? image_height : image_width;
    c.at(b.convert);
    Ref edited_mm = to_float(toolkit::value(edited));
    c.at(b.compute);
    Ref ratio = state::get(c, "original_ratio"_py);
    Ref other_mm = b.width_edited ? div(edited_mm, ratio) : mul(edited_mm, ratio);
    c.at(b.write);
    toolkit::set_value(other, call(c.global("format_mm_value"_py), other_mm));
    if (b.width_edited) return {std::move(edited_mm), std::move(other_mm)};
    return {std::move(other_mm), std::move(edited_mm)};
}

// float(field.value) / 25.4 * 72
double points_of(PyObject* field) {
    return as_double(to_float(toolkit::value(field))) / mm_per_inch * points_per_inch;
}

// The steps the two handlers share; `after` is the handler's last step,
// run when everything before it succeeded.
template <class After>
void resize_preview(Call& c, const SizeLines& lines, PyObject* flag, PyObject* image_width,
                    PyObject* image_height, PyObject* image_preview, PyObject* error_prefix,
                    After&& after) {
    PyObject* first_field = lines.flag_true.width_edited ? image_width : image_height;
    PyObject* second_field = lines.flag_false.width_edited ? image_width : image_height;
    try {
        Millimetres mm;
        c.at(lines.flag_true.test);
        if (truth(flag) && truth(toolkit::value(first_field))) {
            mm = run_branch(c, lines.flag_true, image_width, image_height);
        } else {
            c.at(lines.flag_false.test);
            if (truth(flag) || !truth(toolkit::value(second_field))) return;
            mm = run_branch(c, lines.flag_false, image_width, image_height);
        }

        c.at(lines.width_pt);
        const double width_pt = points_of(image_width);
        c.at(lines.height_pt);
        const double height_pt = points_of(image_height);
        c.at(lines.width_px);
        Ref width_px = preview_pixels(c, width_pt);
        c.at(lines.height_px);
        Ref height_px = preview_pixels(c, height_pt);

        c.at(lines.set_width);
        toolkit::set_width(image_preview, width_px);
        c.at(lines.set_height);
        toolkit::set_height(image_preview, height_px);
        c.at(lines.update_preview);
        toolkit::update(image_preview);
        c.at(lines.update_width);
        toolkit::update(image_width);
        c.at(lines.update_height);
        toolkit::update(image_height);

        c.at(lines.size_line);
        print(concat({"[Image寸法更新] "_py, format(mm.width, ".2f"_py), "mm x "_py,
                      format(mm.height, ".2f"_py), "mm (DPI: "_py,
                      format(state::get(c, "image_dpi"_py), ""_py), ") → プレビュー: "_py,
                      format(width_px, ".2f"_py), "px x "_py, format(height_px, ".2f"_py),
                      "px"_py}));
        c.at(lines.scale_line);
        print(concat({"     PDF縮尺: "_py, format(state::get(c, "pdf_scale_ratio"_py), ".4f"_py),
                      ", 縮小率: "_py, format(state::get(c, "shrink_scale"_py), ".4f"_py),
                      " → 1ptあたり: "_py, format(pixels_per_point(c), ".4f"_py), "px"_py}));
        after();
    } catch (const PyErrorSet&) {
        Caught ex = catch_only(PyExc_Exception);
        c.at(lines.error_line);
        print(concat({error_prefix, format(ex, ""_py)}));
    }
}

}  // namespace

Ref update_image_size(Call& c) {
    auto [e, is_width, image_width, image_height, image_preview, x_position, y_position,
          image_path] = c.args<8>();
    resize_preview(c, width_handler, is_width, image_width, image_height, image_preview,
                   "[ERROR] update_image_size: "_py, [&] {
                       c.at(158);
                       if (truth(toolkit::value(x_position)) ||
                           truth(toolkit::value(y_position))) {
                           c.at(159);
                           call(c.global("update_image_position"_py), x_position, y_position,
                                image_preview, image_path);
                           c.at(166);
                           print("[Info] 座標の調整"_py);
                       }
                   });
    return nullptr;
}

Ref update_image_sizeb(Call& c) {
    auto [e, is_height, image_width, image_height, image_preview] = c.args<5>();
    resize_preview(c, height_handler, is_height, image_width, image_height, image_preview,
                   "[ERROR] update_image_sizeb: "_py, [] {});
    return nullptr;
}

}  // namespace pdfm
