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
// ft.AlertDialog, found when this is made, before the title and the actions
// are built; dialog(title) and dialog(title, actions) call it with the
// keywords title= and actions=.
class AlertDialog {
public:
    explicit AlertDialog(const Call& c) : class_(attr(c.global("ft"_py), "AlertDialog"_py)) {}
    Ref operator()(PyObject* title) const { return call_kw(class_, {}, {{"title"_py, title}}); }
    Ref operator()(PyObject* title, PyObject* actions) const {
        return call_kw(class_, {}, {{"title"_py, title}, {"actions"_py, actions}});
    }

private:
    Ref class_;
};
// ft.ImageFit.CONTAIN
inline Ref image_fit_contain(const Call& c) {
    return attr(attr(c.global("ft"_py), "ImageFit"_py), "CONTAIN"_py);
}

// The page's current dialog: page.dialog, read and assigned.
inline Ref dialog(PyObject* page) { return attr(page, "dialog"_py); }
inline void set_dialog(PyObject* page, PyObject* dlg) { set_attr(page, "dialog"_py, dlg); }
// page.open(page.dialog) and page.close(page.dialog): the operation is found
// on the page before the current dialog is read.
inline void open_dialog(PyObject* page) {
    Ref open = attr(page, "open"_py);
    call(open, dialog(page));
}
inline void close_dialog(PyObject* page) {
    Ref close = attr(page, "close"_py);
    call(close, dialog(page));
}
// page.window.destroy()
inline void destroy_window(PyObject* page) { method(attr(page, "window"_py), "destroy"_py); }

}  // namespace pdfm::toolkit
