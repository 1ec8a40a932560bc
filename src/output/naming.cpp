// The output folder field and the first free output file name.
#include "../host/toolkit.hpp"
#include "../functions/bodies.hpp"
#include "naming.hpp"
#include "../host/paths.hpp"

namespace pdfm {

Ref select_directory(Call& c) {
    auto [e, save_field] = c.args<2>();
    c.at(332);
    if (truth(attr(e, "path"_py))) {
        c.at(333);
        toolkit::set_value(save_field, attr(e, "path"_py));
    }
    c.at(334);
    toolkit::update(save_field);
    return nullptr;
}

Ref numbered_name(PyObject* base_name, PyObject* i) {
    return concat({format(base_name, ""_py), "_"_py, format(i, ""_py), ".pdf"_py});
}

Ref get_unique_filename(Call& c) {
    auto [directory, base_name] = c.args<2>();
    c.at(338);
    Ref base_path = paths::join(c, directory, base_name);
    c.at(339);
    if (!paths::exists(c, base_path)) return base_path;
    Ref i = new_int(1);
    c.at(342);
    while (paths::exists(c, [&] {
        return paths::join(c, directory, [&] { return numbered_name(base_name, i); });
    })) {
        c.at(343);
        i = add(i, int_<1>());
        c.at(342);
    }
    c.at(344);
    return paths::join(c, directory, [&] { return numbered_name(base_name, i); });
}

}  // namespace pdfm
