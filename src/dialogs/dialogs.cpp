// The message dialog and the exit confirmation with its two buttons.
#include "../host/toolkit.hpp"
#include "../functions/bodies.hpp"

namespace pdfm {

Ref show_dialog(Call& c) {
    auto [page, message] = c.args<2>();
    c.at(348);
    toolkit::AlertDialog alert_dialog(c);
    Ref dlg = alert_dialog(toolkit::text(c, message));
    c.at(349);
    toolkit::set_dialog(page, dlg);
    c.at(350);
    toolkit::open_dialog(page);
    c.at(351);
    toolkit::update(page);
    return nullptr;
}

namespace {

// "はい": close the current dialog, then end the application.
Ref on_yes(Call& c) {
    PyObject* page = c.closure();
    c.at(356);
    toolkit::close_dialog(page);
    c.at(358);
    toolkit::destroy_window(page);
    return nullptr;
}

// "いいえ": close the current dialog and redraw the page.
Ref on_no(Call& c) {
    PyObject* page = c.closure();
    c.at(361);
    toolkit::close_dialog(page);
    c.at(362);
    toolkit::update(page);
    return nullptr;
}

const FunctionSpec on_yes_spec = {"on_yes", "confirm_exit.<locals>.on_yes",
                                  "pdf_module.confirm_exit.on_yes", nullptr, {"e"}, 355, on_yes};
const FunctionSpec on_no_spec = {"on_no", "confirm_exit.<locals>.on_no",
                                 "pdf_module.confirm_exit.on_no", nullptr, {"e"}, 360, on_no};

}  // namespace

Ref confirm_exit(Call& c) {
    auto [page] = c.args<1>();
    c.at(355);
    Ref yes_handler = make_function(on_yes_spec, c.globals(), page);
    c.at(360);
    Ref no_handler = make_function(on_no_spec, c.globals(), page);
    // One statement over lines 364 to 370: ft.AlertDialog is found first
    // (364), then the title (365), the buttons (367, 368) and their list
    // (366) are built, and the dialog is made (364).
    c.at(364);
    toolkit::AlertDialog alert_dialog(c);
    c.at(365);
    Ref title = toolkit::text(c, "アプリを終了しますか？"_py);
    c.at(367);
    Ref yes_button = toolkit::text_button(c, "はい"_py, yes_handler);
    c.at(368);
    Ref no_button = toolkit::text_button(c, "いいえ"_py, no_handler);
    c.at(366);
    Ref actions = list_of(yes_button, no_button);
    c.at(364);
    Ref dlg = alert_dialog(title, actions);
    c.at(372);
    toolkit::set_dialog(page, dlg);
    c.at(373);
    toolkit::open_dialog(page);
    c.at(374);
    toolkit::update(page);
    return nullptr;
}

}  // namespace pdfm
