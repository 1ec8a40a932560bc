#include "ops.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>
#include <vector>

namespace pdfm {

Ref call_kw(PyObject* f, std::initializer_list<PyObject*> positional,
            std::initializer_list<Kw> keywords) {
    std::vector<PyObject*> argv;
    argv.reserve(1 + positional.size() + keywords.size());
    argv.push_back(nullptr);
    argv.insert(argv.end(), positional.begin(), positional.end());
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (const Kw& kw : keywords) {
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(kw.name));
        argv.push_back(kw.value);
    }
    return Ref::steal(PyObject_Vectorcall(f, argv.data() + 1,
                                          positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          names));
}

Ref format(PyObject* o, PyObject* spec) {
    if (PyFloat_CheckExact(o)) {
        const double value = PyFloat_AS_DOUBLE(o);
        if (spec == ""_py) return str(o);
        // Fixed-point text with N decimals is correctly rounded, ties to
        // even, both here and in the runtime's own float formatting;
        // infinities and NaNs are left to the runtime.
        const int decimals = spec == ".2f"_py ? 2 : spec == ".4f"_py ? 4 : -1;
        if (decimals >= 0 && std::isfinite(value)) {
            char buffer[400];
            auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value,
                                              std::chars_format::fixed, decimals);
            if (error == std::errc())
                return Ref::steal(PyUnicode_DecodeASCII(buffer, end - buffer, nullptr));
        }
    }
    return Ref::steal(PyObject_Format(o, spec));
}

Ref concat(std::initializer_list<PyObject*> pieces) {
    // Joined straight into one new string, as an f-string is built, without
    // an intermediate container.
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (PyObject* piece : pieces) {
        if (!PyUnicode_Check(piece)) {
            PyErr_Format(PyExc_TypeError, "expected str instance, %.80s found",
                         Py_TYPE(piece)->tp_name);
            raise();
        }
        length += PyUnicode_GET_LENGTH(piece);
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(piece));
    }
    Ref joined = Ref::steal(PyUnicode_New(length, max_char));
    Py_ssize_t at = 0;
    for (PyObject* piece : pieces) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_CopyCharacters(joined, at, piece, 0, n) < 0) raise();
        at += n;
    }
    return joined;
}

// sys.exception() is the innermost exception held by the current slot or,
// when that is empty, by the slots of the frames around it. Clearing the
// current slot shows whether it held its own: an empty slot shows the same
// exception as before.
Caught::Caught(Ref exception) : exception_(std::move(exception)) {
    Ref seen = Ref::adopt(PyErr_GetHandledException());
    PyErr_SetHandledException(nullptr);
    Ref around = Ref::adopt(PyErr_GetHandledException());
    if (seen.get() != around.get()) previous_ = std::move(seen);
    PyErr_SetHandledException(exception_);
}

Caught::~Caught() noexcept(false) {
    if (python_usable()) PyErr_SetHandledException(previous_);
}

Caught catch_only(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) raise();
    Ref exception = Ref::adopt(PyErr_GetRaisedException());
    release_deferred();
    return Caught(std::move(exception));
}

Ref import_from(PyObject* globals, PyObject* package, PyObject* name) {
    Ref fromlist = tuple_of(name);
    Ref parent = Ref::steal(PyImport_ImportModuleLevelObject(package, globals, nullptr, fromlist, 0));
    if (PyObject* value = PyObject_GetAttr(parent, name)) return Ref::adopt(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package, name));
    if (PyObject* module = PyImport_GetModule(full_name)) return Ref::adopt(module);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    raise();
}

namespace {
// `name` in the namespace of the first class along type's method resolution
// order that defines it; NULL with no error set when none does.
Ref lookup_on_type(PyTypeObject* type, PyObject* name) {
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        Ref names = Ref::steal(PyType_GetDict(base));
        if (PyObject* found = PyDict_GetItemWithError(names, name)) return Ref::borrow(found);
        if (PyErr_Occurred()) raise();
    }
    return nullptr;
}

// type(manager).<name> bound to the manager, as the with statement looks its
// methods up: found on the type only, then bound through the descriptor
// protocol (so a classmethod or staticmethod works as in Python).
Ref special_method(PyObject* manager, PyObject* name, const char* missing) {
    PyTypeObject* type = Py_TYPE(manager);
    Ref found = lookup_on_type(type, name);
    if (!found) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol%s",
                     type->tp_name, missing);
        raise();
    }
    descrgetfunc bind = Py_TYPE(found.get())->tp_descr_get;
    if (bind == nullptr) return found;
    return Ref::steal(bind(found, manager, reinterpret_cast<PyObject*>(type)));
}
}  // namespace

ContextManager::ContextManager(PyObject* manager) {
    Ref enter = special_method(manager, "__enter__"_py, "");
    exit_ = special_method(manager, "__exit__"_py, " (missed __exit__ method)");
    value_ = call(enter);
}

void ContextManager::finish() { call(exit_, Py_None, Py_None, Py_None); }

bool ContextManager::unwind() {
    Caught ex = catch_only(PyExc_BaseException);
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(ex.get())));
    Ref traceback = Ref::adopt(PyException_GetTraceback(ex));
    if (truth(call(exit_, type, ex.get(), traceback ? traceback.get() : Py_None)))
        return true;
    PyErr_SetRaisedException(Py_NewRef(ex.get()));
    return false;
}

}  // namespace pdfm
