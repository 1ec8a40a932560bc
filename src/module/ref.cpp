#include "ref.hpp"

#include <vector>

namespace pdfm {
namespace {
thread_local std::vector<PyObject*> deferred;
}  // namespace

void defer_release(PyObject* p) {
    try {
        deferred.push_back(p);
    } catch (const std::bad_alloc&) {
        Py_DECREF(p);  // the unwinding exception is the module's own: the GIL is held
    }
}

bool has_deferred() noexcept { return !deferred.empty(); }

void release_deferred() {
    // A release may run a finaliser that defers or releases more: take the
    // list first, and repeat until it stays empty.
    while (!deferred.empty()) {
        std::vector<PyObject*> now;
        now.swap(deferred);
        for (PyObject* p : now) Py_DECREF(p);
    }
}

}  // namespace pdfm
