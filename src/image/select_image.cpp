// Taking the stamp image: its path, its size in millimetres from its pixel
// size and resolution, its aspect ratio, and the preview over the page.
#include "../functions/bodies.hpp"
#include "../functions/constants.hpp"
#include "../host/images.hpp"
#include "../host/state.hpp"
#include "../host/toolkit.hpp"

namespace pdfm {

namespace {

// `first, second = pair`, with the messages of the unpacking statement.
std::pair<Ref, Ref> unpack2(PyObject* pair) {
    if (Py_TYPE(pair)->tp_iter == nullptr && !PySequence_Check(pair)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(pair)->tp_name);
        raise();
    }
    Ref iterator = Ref::steal(PyObject_GetIter(pair));
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::adopt(PyIter_Next(iterator));
        if (!items[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            raise();
        }
    }
    if (Ref extra = Ref::adopt(PyIter_Next(iterator))) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        raise();
    }
    if (PyErr_Occurred()) raise();
    return {std::move(items[0]), std::move(items[1])};
}

}  // namespace

Ref select_image(Call& c) {
    auto [e, image_path, image_width, image_height, image_preview, set_original_ratio_callback,
          x_position, y_position] = c.args<8>();
    c.at(24);
    if (!truth(toolkit::picked_files(e))) return nullptr;
    c.at(27);
    toolkit::set_value(image_path, toolkit::first_picked_path(e));
    c.at(28);
    toolkit::update(image_path);

    c.at(32);
    Ref Image = images::import_image(c);
    Ref width_mm, height_mm, aspect_ratio;
    c.at(33);
    images::Open open(Image);
    Ref opened = open(toolkit::value(image_path));
    const bool completed = with(c, 33, opened, [&](PyObject* img) {
        c.at(34);
        auto [width_px, height_px] = unpack2(images::size(img));
        c.at(35);
        Ref dpi = images::horizontal_dpi(img);
        c.at(36);
        state::set(c, "image_dpi"_py, dpi);
        c.at(37);
        width_mm = round(mul(div(width_px, dpi), float_<mm_per_inch>()), int_<2>());
        c.at(38);
        height_mm = round(mul(div(height_px, dpi), float_<mm_per_inch>()), int_<2>());
        c.at(39);
        aspect_ratio = div(width_mm, height_mm);
    });
    c.at(43);
    if (!completed) {
        // __exit__ swallowed the failure: the locals of the block were never bound.
        PyErr_SetString(PyExc_UnboundLocalError,
                        "cannot access local variable 'aspect_ratio' where it is not associated "
                        "with a value");
        raise();
    }
    call(set_original_ratio_callback, aspect_ratio);

    c.at(46);
    toolkit::set_value(image_width, str(width_mm));
    c.at(47);
    toolkit::set_value(image_height, str(height_mm));
    c.at(48);
    toolkit::update(image_width);
    c.at(49);
    toolkit::update(image_height);

    c.at(52);
    toolkit::set_src(image_preview, toolkit::value(image_path));
    c.at(53);
    toolkit::set_left(image_preview, int_<0>());
    c.at(54);
    toolkit::set_top(image_preview, int_<0>());

    c.at(57);
    call(c.global("update_image_size"_py), Py_None, Py_True, image_width, image_height,
         image_preview, x_position, y_position, image_path);
    return nullptr;
}

}  // namespace pdfm
