#include "../module/bodies.hpp"

namespace pdfm {

Ref update_image_size(Call&) {
    PyErr_SetString(PyExc_NotImplementedError, "update_image_size");
    raise();
}

Ref update_image_sizeb(Call&) {
    PyErr_SetString(PyExc_NotImplementedError, "update_image_sizeb");
    raise();
}

}  // namespace pdfm
