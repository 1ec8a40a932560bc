// Owned Python references and the one C++ exception that means "a Python
// error is set". Everything else in the module is written on these two.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <new>
#include <utility>

namespace pdfm {

// Thrown after a C-API call failed; the Python error indicator holds the
// exception. Function boundaries turn it back into a NULL return.
struct PyErrorSet {};

[[noreturn]] inline void raise() { throw PyErrorSet{}; }

// The unwinding that ends a thread: when the interpreter exits, it stops a
// daemon thread that waits for the GIL inside a C-API call by unwinding its
// stack with a foreign exception (not thrown by a C++ throw expression). That
// thread holds no GIL, so nothing on the way may call into Python, and every
// catch (...) must let such an unwinding through unchanged. Called inside a
// catch (...) handler, this tells it apart from the module's own exceptions
// without binding a reference to it (it has no C++ object).
inline bool foreign_unwinding() noexcept { return !std::current_exception(); }

// Whether this thread may use the C-API now, i.e. holds the GIL. False only
// while a thread is being ended as above: nothing else runs the module's
// code without the GIL.
inline bool python_usable() noexcept { return PyGILState_Check() != 0; }

// References that went out of scope while a C++ exception was unwinding.
// They are released where that exception is caught, so that no Python code
// (a finaliser run by a release) runs in the middle of an unwinding.
void defer_release(PyObject* p);
// Releases the deferred references; called with the GIL, outside any
// unwinding.
void release_deferred();
bool has_deferred() noexcept;

// For the catch (...) block of an entry point that the runtime calls, once
// it has rethrown a foreign unwinding: turns the C++ exception being
// handled into the Python error it stands for, so that the entry point can
// return its failure value. A PyErrorSet with no Python error set,
// std::bad_alloc and any other exception become SystemError, MemoryError and
// SystemError; `where` names the entry point.
inline void set_error_from_exception(const char* where) {
    if (foreign_unwinding()) throw;
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%s: a failure was reported without an exception set",
                         where);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%s: internal error: %s", where, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: unknown internal error", where);
    }
    release_deferred();
}

// A move-only owner of one strong reference (or of nothing).
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) {  // releases the old reference: see ~Ref
        Ref old(std::move(*this));
        ptr_ = std::exchange(other.ptr_, nullptr);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // A release may run a finaliser, and a finaliser may end the thread (see
    // foreign_unwinding): that unwinding must be able to leave the destructor.
    ~Ref() noexcept(false) {
        if (ptr_ == nullptr) return;
        if (std::uncaught_exceptions() > 0)
            defer_release(ptr_);
        else if (python_usable()) [[likely]]
            Py_DECREF(ptr_);
        // else the thread is being ended without the GIL: the reference is
        // left to the exiting interpreter.
    }

    // Takes over a new reference returned by a C-API call; NULL means the
    // call failed and its error is set.
    static Ref steal(PyObject* p) {
        if (p == nullptr) raise();
        return Ref(p);
    }
    // Takes over a new reference that may be NULL without an error.
    static Ref adopt(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object (which may be NULL).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    operator PyObject*() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller (for returning it to CPython).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// Checks the -1 error convention of int-returning C-API calls.
inline int check(int rc) {
    if (rc < 0) raise();
    return rc;
}

// Fixed-length text usable as a template argument, so that every constant
// Python string is created once, where it is first used.
template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

namespace detail {
inline PyObject* make_immortal(PyObject* p) {
    if (p == nullptr) raise();
    return p;  // held for the life of the process
}
}  // namespace detail

// "name"_py: the interned Python string, borrowed.
template <Literal L>
PyObject* operator""_py() {
    static PyObject* const s = detail::make_immortal(PyUnicode_InternFromString(L.text));
    return s;
}

// int_<72>() and float_<25.4>(): constant numbers, borrowed.
template <long long V>
PyObject* int_() {
    static PyObject* const n = detail::make_immortal(PyLong_FromLongLong(V));
    return n;
}
template <double V>
PyObject* float_() {
    static PyObject* const f = detail::make_immortal(PyFloat_FromDouble(V));
    return f;
}

}  // namespace pdfm
