// The runtime's own operations (attribute access, calls, truth, numbers,
// text), each throwing PyErrorSet on failure, so handler bodies read like
// the statements they carry out.
#pragma once

#include "ref.hpp"

#include <array>
#include <initializer_list>

namespace pdfm {

// Anything a call accepts as an argument: a borrowed object or a Ref.
inline PyObject* as_object(PyObject* o) noexcept { return o; }
inline PyObject* as_object(const Ref& o) noexcept { return o.get(); }

// --- attributes and items -------------------------------------------------

// o.name. On a plain module an ordinary (not dunder) name is found in the
// module's namespace first, as the generic lookup would find it: the module
// type has data descriptors for dunder names only.
inline Ref attr(PyObject* o, PyObject* name) {
    if (PyModule_CheckExact(o) && !(PyUnicode_GET_LENGTH(name) > 1 &&
                                     PyUnicode_READ_CHAR(name, 0) == '_' &&
                                     PyUnicode_READ_CHAR(name, 1) == '_')) {
        if (PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(o), name))
            return Ref::borrow(value);
        if (PyErr_Occurred()) raise();
    }
    return Ref::steal(PyObject_GetAttr(o, name));
}
inline void set_attr(PyObject* o, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(o, name, value));
}
inline Ref item(PyObject* o, PyObject* key) { return Ref::steal(PyObject_GetItem(o, key)); }
inline Py_ssize_t length(PyObject* o) {
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) raise();
    return n;
}

// --- calls ------------------------------------------------------------------

// f(args...)
template <class... A>
Ref call(PyObject* f, const A&... args) {
    std::array<PyObject*, sizeof...(A) + 1> argv{nullptr, as_object(args)...};
    return Ref::steal(PyObject_Vectorcall(f, argv.data() + 1,
                                          sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// o.name(args...)
template <class... A>
Ref method(PyObject* o, PyObject* name, const A&... args) {
    std::array<PyObject*, sizeof...(A) + 1> argv{o, as_object(args)...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv.data(),
                                                (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
}

struct Kw {
    PyObject* name;
    PyObject* value;
};

// f(*positional, **keywords), keywords in the order given.
Ref call_kw(PyObject* f, std::initializer_list<PyObject*> positional,
            std::initializer_list<Kw> keywords);

// --- truth, comparison, numbers --------------------------------------------

inline bool truth(PyObject* o) { return check(PyObject_IsTrue(o)) == 1; }
inline bool compare(PyObject* a, PyObject* b, int op) {
    return check(PyObject_RichCompareBool(a, b, op)) == 1;
}
inline bool lt(PyObject* a, PyObject* b) { return compare(a, b, Py_LT); }
inline bool le(PyObject* a, PyObject* b) { return compare(a, b, Py_LE); }
inline bool gt(PyObject* a, PyObject* b) { return compare(a, b, Py_GT); }
inline bool eq(PyObject* a, PyObject* b) { return compare(a, b, Py_EQ); }

// min(a, b) and max(a, b) as the builtins pick among two: the first one
// unless the second is strictly smaller (larger).
inline Ref min_of(PyObject* a, PyObject* b) { return Ref::borrow(lt(b, a) ? b : a); }
inline Ref max_of(PyObject* a, PyObject* b) { return Ref::borrow(gt(b, a) ? b : a); }

inline Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
inline Ref sub(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Subtract(a, b)); }
inline Ref mul(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Multiply(a, b)); }
inline Ref div(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }

inline Ref to_int(PyObject* o) { return Ref::steal(PyNumber_Long(o)); }
inline Ref to_float(PyObject* o) { return Ref::steal(PyNumber_Float(o)); }
// float(o) as a C double, for values that are doubles by definition.
inline double as_double(PyObject* o) {
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) raise();
    return d;
}
inline Ref new_float(double d) { return Ref::steal(PyFloat_FromDouble(d)); }
inline Ref new_int(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

// --- text ---------------------------------------------------------------------

inline Ref str(PyObject* o) { return Ref::steal(PyObject_Str(o)); }
// format(o, spec); a builtin float with the fixed-point specs the handlers
// print with takes a short path that gives the same text.
Ref format(PyObject* o, PyObject* spec);
inline Ref text(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }

// The pieces joined without separator, as an f-string joins them.
Ref concat(std::initializer_list<PyObject*> pieces);

// --- containers ---------------------------------------------------------------

template <class... A>
Ref tuple_of(const A&... items) {
    return Ref::steal(PyTuple_Pack(sizeof...(A), as_object(items)...));
}
template <class... A>
Ref list_of(const A&... items) {
    Ref list = Ref::steal(PyList_New(0));
    (check(PyList_Append(list, as_object(items))), ...);
    return list;
}

// --- exceptions -----------------------------------------------------------------

// An exception taken out of the error indicator by an except clause. While it
// lives it is the exception being handled (sys.exception()), so an error raised
// inside the handler chains to it as in Python. It takes the place of what the
// current frame's slot held, which may be nothing (a generator's own slot
// usually is empty), and puts that back, as the runtime's except clause does.
class Caught {
public:
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;
    ~Caught() noexcept(false);
    PyObject* get() const noexcept { return exception_.get(); }
    operator PyObject*() const noexcept { return exception_.get(); }

    // Takes the pending exception if it is an instance of `type` (or of one
    // of its subclasses); otherwise leaves it pending and throws again.
    friend Caught catch_only(PyObject* type);

private:
    explicit Caught(Ref exception);
    Ref exception_;
    Ref previous_;  // what the slot held (may be NULL)
};

Caught catch_only(PyObject* type);

// --- imports ----------------------------------------------------------------

// `from package import name` (level 0, with `globals` as the importing
// namespace): the attribute of the package, else the registry's
// package.name, else ImportError "cannot import name ...".
Ref import_from(PyObject* globals, PyObject* package, PyObject* name);

// --- the with statement -------------------------------------------------------

// One `with manager as value:` block. The constructor looks up __enter__ and
// __exit__ on the manager's type, binds them to the manager as the runtime's
// with statement does (through the descriptor protocol), and calls
// __enter__(); finish() calls __exit__(None, None, None); unwind() calls
// __exit__ with the pending exception while that exception is being handled.
class ContextManager {
public:
    explicit ContextManager(PyObject* manager);
    PyObject* value() const noexcept { return value_.get(); }
    void finish();
    // With an exception pending: true when __exit__ suppressed it (nothing is
    // pending any more); false when it is pending again, unchanged. An
    // exception raised by __exit__ itself is thrown.
    bool unwind();

private:
    Ref exit_;
    Ref value_;
};

// with manager as value: body(value)
// Failures of __enter__ and __exit__ are reported at `line`; a failure of
// the body keeps the line the body marked. Returns
// false when __exit__ suppressed an exception raised by the body.
template <class Context, class Body>
bool with(Context& c, int line, PyObject* manager, Body&& body) {
    c.at(line);
    ContextManager cm(manager);
    try {
        body(cm.value());
    } catch (const PyErrorSet&) {
        const int body_line = c.line();
        c.at(line);
        if (cm.unwind()) return false;
        c.at(body_line);
        throw;
    }
    c.at(line);
    cm.finish();
    return true;
}

}  // namespace pdfm
