#include "../module/bodies.hpp"

namespace pdfm {

Ref process_pdf(Call&) {
    PyErr_SetString(PyExc_NotImplementedError, "process_pdf");
    raise();
}

}  // namespace pdfm
