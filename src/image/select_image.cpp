#include "../module/bodies.hpp"

namespace pdfm {

Ref select_image(Call&) {
    PyErr_SetString(PyExc_NotImplementedError, "select_image");
    raise();
}

}  // namespace pdfm
