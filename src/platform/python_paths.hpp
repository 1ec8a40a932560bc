// Paths between Python and the file layer, and the layer's errors as OSError.
#pragma once

#include "../module/function.hpp"
#include "files.hpp"

namespace pdfm::platform {

// A str, bytes or path-like object as the system's path: bytes in the
// file-system encoding on POSIX, a wide string on Windows.
Path native_path(PyObject* path);
// The path as str, as the PDF library takes it.
Ref python_path(const Path& path);
// Raises the OSError for `error` (errno or a Windows error) naming `filename`.
[[noreturn]] void raise_os_error(Error error, PyObject* filename);

}  // namespace pdfm::platform
