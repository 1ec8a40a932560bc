#include "../module/bodies.hpp"

namespace pdfm {

Ref select_pdf(Call&) {
    PyErr_SetString(PyExc_NotImplementedError, "select_pdf");
    raise();
}

}  // namespace pdfm
