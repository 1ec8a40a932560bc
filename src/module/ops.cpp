#include "ops.hpp"

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

Ref concat(std::initializer_list<PyObject*> pieces) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(piece));
    return Ref::steal(PyUnicode_Join(""_py, tuple));
}

Caught::Caught(Ref exception)
    : exception_(std::move(exception)), previous_(Ref::adopt(PyErr_GetHandledException())) {
    PyErr_SetHandledException(exception_);
}

Caught::~Caught() { PyErr_SetHandledException(previous_); }

Caught catch_only(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) raise();
    return Caught(Ref::adopt(PyErr_GetRaisedException()));
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
// type(manager).<name>, as the with statement looks its methods up.
Ref special_method(PyObject* manager, PyObject* name, const char* missing) {
    if (PyObject* method = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(manager)), name))
        return Ref::adopt(method);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol%s",
                     Py_TYPE(manager)->tp_name, missing);
    }
    raise();
}
}  // namespace

ContextManager::ContextManager(PyObject* manager) : manager_(Ref::borrow(manager)) {
    Ref enter = special_method(manager, "__enter__"_py, "");
    exit_ = special_method(manager, "__exit__"_py, " (missed __exit__ method)");
    value_ = call(enter, manager);
}

void ContextManager::finish() { call(exit_, manager_, Py_None, Py_None, Py_None); }

bool ContextManager::unwind() {
    Caught ex = catch_only(PyExc_BaseException);
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(ex.get())));
    Ref traceback = Ref::adopt(PyException_GetTraceback(ex));
    if (truth(call(exit_, manager_, type, ex.get(), traceback ? traceback.get() : Py_None)))
        return true;
    PyErr_SetRaisedException(Py_NewRef(ex.get()));
    return false;
}

}  // namespace pdfm
