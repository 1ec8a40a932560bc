#include "../module/bodies.hpp"

namespace pdfm {

Ref update_image_position(Call&) {
    PyErr_SetString(PyExc_NotImplementedError, "update_image_position");
    raise();
}

}  // namespace pdfm
