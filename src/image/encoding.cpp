#include "../module/bodies.hpp"

namespace pdfm {

Ref generate_resized_base64_image(Call&) {
    PyErr_SetString(PyExc_NotImplementedError, "generate_resized_base64_image");
    raise();
}

}  // namespace pdfm
