// The fixed numbers of the module's functions. Where a body needs one as a
// Python object, int_<...>() and float_<...>() create that object once.
#pragma once

namespace pdfm {

// Lengths: 72 points per inch (an int) and 25.4 millimetres per inch (a float).
inline constexpr long long points_per_inch = 72;
inline constexpr double mm_per_inch = 25.4;

// The resolution taken for an image whose file records none, in dots per inch.
inline constexpr long long unrecorded_image_dpi = 72;

// The page preview: its bound in pixels, and the resolution a page is
// rendered at when the page number changes (dots per inch).
inline constexpr long long max_preview_px = 500;
inline constexpr long long page_change_dpi = 150;

}  // namespace pdfm
