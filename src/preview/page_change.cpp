#include "../module/bodies.hpp"

namespace pdfm {

Ref on_page_number_change(Call&) {
    PyErr_SetString(PyExc_NotImplementedError, "on_page_number_change");
    raise();
}

}  // namespace pdfm
