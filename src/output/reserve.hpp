// Writing the output file: the document saved completely where nobody else
// writes, then given the first free output name in one step, so that a name
// never shows an incomplete file and an existing file is never replaced.
#pragma once

#include "../module/function.hpp"

namespace pdfm {

// Saves `doc` (doc.save(..., garbage=4, clean=True, deflate=True)) into a
// private folder beside `first`, then gives the saved file the name `first`,
// or, when that is taken by any kind of entry including a symbolic link
// (dangling or not), the first free one of "<base_name>_1.pdf",
// "<base_name>_2.pdf", ... in `directory`. An existing entry is never opened,
// followed or replaced. Returns the name written, as the path object it was
// given or made as. Errors name that output path, never the private folder.
Ref save_under_free_name(const Call& c, PyObject* doc, PyObject* directory, PyObject* base_name,
                         PyObject* first);

}  // namespace pdfm
