// Moving the stamp-image preview to the position typed in millimetres.
#include "../functions/bodies.hpp"
#include "../functions/constants.hpp"
#include "../host/toolkit.hpp"
#include "preview_scale.hpp"

namespace pdfm {

namespace {

// float(field.value) if field.value else 0.0
double millimetres_or_zero(PyObject* field) {
    if (!truth(toolkit::value(field))) return 0.0;
    return as_double(to_float(toolkit::value(field)));
}

}  // namespace

Ref update_image_position(Call& c) {
    auto [x_input, y_input, image_preview, image_path] = c.args<4>();
    c.at(231);
    if (!truth(toolkit::value(image_path))) {
        c.at(232);
        print("[INFO] Imageが指定されていません。"_py);
        return nullptr;
    }
    try {
        c.at(235);
        const double x_mm = millimetres_or_zero(x_input);
        c.at(236);
        const double y_mm = millimetres_or_zero(y_input);
        const long long dpi = points_per_inch;
        c.at(239);
        const double x_pt = x_mm / mm_per_inch * dpi;
        c.at(240);
        const double y_pt = y_mm / mm_per_inch * dpi;
        c.at(243);
        Ref x_px = preview_pixels(c, x_pt);
        c.at(244);
        Ref y_px = preview_pixels(c, y_pt);
        c.at(246);
        toolkit::set_left(image_preview, x_px);
        c.at(247);
        toolkit::set_top(image_preview, y_px);
        c.at(248);
        toolkit::update(image_preview);
        c.at(250);
        print(concat({"[位置更新] X: "_py, format(new_float(x_mm), ""_py), "mm → "_py,
                      format(x_px, ".2f"_py), "px, Y: "_py, format(new_float(y_mm), ""_py),
                      "mm → "_py, format(y_px, ".2f"_py), "px"_py}));
        c.at(251);
        print(concat({"     スケール: "_py,
                      format(state::get(c, "pdf_scale_ratio"_py), ".4f"_py),
                      " × 縮小率: "_py,
                      format(state::get(c, "shrink_scale"_py), ".4f"_py),
                      " → 表示: "_py,
                      format(pixels_per_point(c), ".4f"_py),
                      "px/pt"_py}));
    } catch (const PyErrorSet&) {
        Caught ex = catch_only(builtins.ValueError);
        c.at(254);
        print("[ERROR] 数値変換失敗（xまたはy入力が不正）"_py);
    }
    return nullptr;
}

}  // namespace pdfm
