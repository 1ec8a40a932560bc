// Output file names: the numbered names that follow a taken base name.
#pragma once

#include "../module/function.hpp"

namespace pdfm {

// f"{base_name}_{i}.pdf": output.pdf is followed by output.pdf_1.pdf, ...
Ref numbered_name(PyObject* base_name, PyObject* i);

}  // namespace pdfm
