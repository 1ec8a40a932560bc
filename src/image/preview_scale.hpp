// Points to stamp-preview pixels with the page preview's scale held in the
// host's state: pdf_scale_ratio (rendered pixels per point) times
// shrink_scale (rendered to preview pixels), each read afresh.
#pragma once

#include "../host/state.hpp"

namespace pdfm {

// points * state.pdf_scale_ratio * state.shrink_scale, left to right
inline Ref preview_pixels(const Call& c, double points) {
    Ref scaled = mul(new_float(points), state::get(c, "pdf_scale_ratio"_py));
    return mul(scaled, state::get(c, "shrink_scale"_py));
}

// state.pdf_scale_ratio * state.shrink_scale
inline Ref pixels_per_point(const Call& c) {
    Ref ratio = state::get(c, "pdf_scale_ratio"_py);
    return mul(ratio, state::get(c, "shrink_scale"_py));
}

}  // namespace pdfm
