// Paths between Python and the file layer: the only file of the layer that
// knows Python, with one branch per system.
#include "python_paths.hpp"

#include <memory>

#ifndef _WIN32
#include <cerrno>
#endif

namespace pdfm::platform {

#ifdef _WIN32

Path native_path(PyObject* path) {
    PyObject* text = nullptr;
    if (!PyUnicode_FSDecoder(path, &text)) raise();
    Ref owned = Ref::steal(text);
    // With no size asked for, an embedded NUL raises ValueError.
    std::unique_ptr<wchar_t, decltype(&PyMem_Free)> wide(
        PyUnicode_AsWideCharString(owned.get(), nullptr), PyMem_Free);
    if (!wide) raise();
    return Path(wide.get());
}

Ref python_path(const Path& path) {
    return Ref::steal(PyUnicode_FromWideChar(path.data(), static_cast<Py_ssize_t>(path.size())));
}

void raise_os_error(Error error, PyObject* filename) {
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, static_cast<int>(error), filename);
    raise();
}

#else

Path native_path(PyObject* path) {
    PyObject* out = nullptr;
    if (!PyUnicode_FSConverter(path, &out)) raise();
    Ref bytes = Ref::steal(out);
    return Path(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

Ref python_path(const Path& path) {
    return Ref::steal(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

void raise_os_error(Error error, PyObject* filename) {
    errno = static_cast<int>(error);
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    raise();
}

#endif

}  // namespace pdfm::platform
