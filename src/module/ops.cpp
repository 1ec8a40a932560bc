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
    Ref list = Ref::steal(PyList_New(0));
    for (PyObject* piece : pieces) check(PyList_Append(list, piece));
    return Ref::steal(PyUnicode_Join(""_py, list));
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

}  // namespace pdfm
