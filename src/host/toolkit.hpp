// The operations the handlers perform on the toolkit's controls, events and
// page, and the dialog controls they build through `ft`.
#pragma once

#include "../module/function.hpp"

namespace pdfm::toolkit {

// field.value / field.value = v
inline Ref value(PyObject* field) { return attr(field, "value"_py); }
inline void set_value(PyObject* field, PyObject* v) { set_attr(field, "value"_py, v); }
// A file picker's result: e.files (None or empty when cancelled) and
// e.files[0].path, the picked file's path.
inline Ref picked_files(PyObject* e) { return attr(e, "files"_py); }
inline Ref first_picked_path(PyObject* e) {
    return attr(item(picked_files(e), int_<0>()), "path"_py);
}
// control.update()
inline void update(PyObject* control) { method(control, "update"_py); }

// The image control's picture, box and place in its stack.
inline void set_src(PyObject* image, PyObject* v) { set_attr(image, "src"_py, v); }
inline void set_src_base64(PyObject* image, PyObject* v) { set_attr(image, "src_base64"_py, v); }
inline void set_width(PyObject* image, PyObject* v) { set_attr(image, "width"_py, v); }
inline void set_height(PyObject* image, PyObject* v) { set_attr(image, "height"_py, v); }
inline void set_left(PyObject* image, PyObject* v) { set_attr(image, "left"_py, v); }
inline void set_top(PyObject* image, PyObject* v) { set_attr(image, "top"_py, v); }
inline void set_fit(PyObject* image, PyObject* v) { set_attr(image, "fit"_py, v); }

// ft.Text(value)
inline Ref text(const Call& c, PyObject* value) {
    return call(attr(c.global("ft"_py), "Text"_py), value);
}
// ft.TextButton(label, on_click=handler)
inline Ref text_button(const Call& c, PyObject* label, PyObject* handler) {
    return call_kw(attr(c.global("ft"_py), "TextButton"_py), {label}, {{"on_click"_py, handler}});
}
// ft.AlertDialog(title=title) and ft.AlertDialog(title=title, actions=actions)
inline Ref alert_dialog(const Call& c, PyObject* title) {
    return call_kw(attr(c.global("ft"_py), "AlertDialog"_py), {}, {{"title"_py, title}});
}
inline Ref alert_dialog(const Call& c, PyObject* title, PyObject* actions) {
    return call_kw(attr(c.global("ft"_py), "AlertDialog"_py), {},
                   {{"title"_py, title}, {"actions"_py, actions}});
}
// ft.ImageFit.CONTAIN
inline Ref image_fit_contain(const Call& c) {
    return attr(attr(c.global("ft"_py), "ImageFit"_py), "CONTAIN"_py);
}

// The page's current dialog and the page operations on it.
inline Ref dialog(PyObject* page) { return attr(page, "dialog"_py); }
inline void set_dialog(PyObject* page, PyObject* dlg) { set_attr(page, "dialog"_py, dlg); }
inline void open(PyObject* page, PyObject* dlg) { method(page, "open"_py, dlg); }
inline void close(PyObject* page, PyObject* dlg) { method(page, "close"_py, dlg); }
// page.window.destroy()
inline void destroy_window(PyObject* page) { method(attr(page, "window"_py), "destroy"_py); }

}  // namespace pdfm::toolkit
