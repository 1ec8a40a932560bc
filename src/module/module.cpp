// Multi-phase initialisation of pdf_module: the create step guards the
// interpreter and hands out the one module object, the exec step runs the
// module-level statements and binds the functions.
#include "function.hpp"
#include "../functions/table.hpp"

#include <cstdint>
#include <utility>

namespace pdfm {
namespace {

// Process-wide: one interpreter, one module object.
int64_t owning_interpreter = -1;
PyObject* the_module = nullptr;  // strong reference while the module is ready

// Copies spec.<attribute> to module.<name>, skipping an attribute the spec lacks.
void copy_spec_attribute(PyObject* spec, PyObject* module, PyObject* attribute, PyObject* name,
                         bool skip_none) {
    PyObject* value = PyObject_GetAttr(spec, attribute);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return;
    }
    Ref owned = Ref::adopt(value);
    if (skip_none && value == Py_None) return;
    set_attr(module, name, value);
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (owning_interpreter == -1) {
        if (current == -1) return nullptr;
        owning_interpreter = current;
    } else if (owning_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);
    try {
        Ref name = attr(spec, "name"_py);
        Ref module = Ref::steal(PyModule_NewObject(name));
        copy_spec_attribute(spec, module, "loader"_py, "__loader__"_py, false);
        copy_spec_attribute(spec, module, "origin"_py, "__file__"_py, false);
        copy_spec_attribute(spec, module, "parent"_py, "__package__"_py, false);
        copy_spec_attribute(spec, module, "submodule_search_locations"_py, "__path__"_py, true);
        return module.release();
    } catch (...) {
        if (foreign_unwinding()) throw;
        set_error_from_exception("pdf_module create step");
        return nullptr;
    }
}

// Warns when the running interpreter's major.minor is not 3.12, the version
// the module is made for, whichever version's headers it was compiled with.
void check_version() {
    constexpr int made_major = 3, made_minor = 12;
    const int run_major = (Py_Version >> 24) & 0xff;
    const int run_minor = (Py_Version >> 16) & 0xff;
    if (run_major == made_major && run_minor == made_minor) return;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  made_major, made_minor, "pdf_module", "does not match", run_major, run_minor);
    check(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

// The interpreter's own builtins module: the module of a builtin function
// found in the builtins dictionary the runtime runs with, whose namespace is
// that dictionary. sys.modules is not asked, since a host may have replaced
// or removed its entry.
Ref interpreter_builtins() {
    PyObject* builtins_dict = PyEval_GetBuiltins();
    if (builtins_dict == nullptr) raise();
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(builtins_dict, &position, &name, &value)) {
        if (!PyCFunction_Check(value)) continue;
        PyObject* owner = PyCFunction_GetSelf(value);
        if (owner && PyModule_Check(owner) && PyModule_GetDict(owner) == builtins_dict)
            return Ref::borrow(owner);
    }
    PyErr_SetString(PyExc_ImportError, "the interpreter's builtins module was not found");
    raise();
}

// builtins.<name>, for the builtins kept from initialisation on.
Ref kept_builtin(PyObject* module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module, name);
    if (value == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
        raise();
    }
    return Ref::adopt(value);
}

// The builtins one initialisation attempt looked up; they are kept only
// when the attempt succeeds.
struct Lookups {
    Ref module, round, print, ValueError, range;
};

// The runtime's own round: the builtin function of that name whose module is
// the interpreter's builtins.
bool is_builtin_round(PyObject* round, PyObject* module) {
    if (!PyCFunction_Check(round) || PyCFunction_GetSelf(round) != module) return false;
    Ref name = attr(round, "__name__"_py);
    return PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name, "round") == 0;
}

void keep(Lookups found) {
    builtins.round_is_builtin = is_builtin_round(found.round, found.module);
    builtins.module = found.module.release();
    builtins.round = found.round.release();
    builtins.print = found.print.release();
    builtins.ValueError = found.ValueError.release();
    builtins.range = found.range.release();
}

// `import name` (level 0, with the module's namespace as globals).
Ref import(PyObject* globals, PyObject* name, PyObject* fromlist = nullptr) {
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, 0));
}

// Runs the module-level statements; `line` follows the statement being run.
void run_module_statements(PyObject* module, PyObject* globals, Lookups& found, int& line) {
    line = 1;
    PyObject* registry = PyImport_GetModuleDict();
    if (!check(PyDict_Contains(registry, "pdf_module"_py)))
        check(PyDict_SetItem(registry, "pdf_module"_py, module));
    found.round = kept_builtin(found.module, "round"_py);
    found.print = kept_builtin(found.module, "print"_py);
    found.ValueError = kept_builtin(found.module, "ValueError"_py);
    found.range = kept_builtin(found.module, "range"_py);

    // One assignment statement at `at`: the value is computed on that line.
    auto assign = [&](int at, PyObject* name, auto&& value_of) {
        line = at;
        check(PyDict_SetItem(globals, name, value_of()));
    };
    assign(1, "fitz"_py, [&] { return import(globals, "fitz"_py); });
    assign(2, "Image"_py, [&] { return import_from(globals, "PIL"_py, "Image"_py); });
    assign(3, "os"_py, [&] { return import(globals, "os"_py); });
    assign(4, "io"_py, [&] { return import(globals, "io"_py); });
    assign(5, "ft"_py, [&] { return import(globals, "flet"_py); });
    assign(6, "base64"_py, [&] { return import(globals, "base64"_py); });
    assign(7, "state"_py, [&] { return import(globals, "state"_py); });
    assign(10, "pdf_page_width_pt"_py, [] { return new_int(0); });
    assign(11, "pdf_page_height_pt"_py, [] { return new_int(0); });
    assign(14, "original_width"_py, [] { return new_int(0); });
    assign(15, "original_height"_py, [] { return new_int(0); });

    for (const FunctionSpec& spec : function_table) {
        line = spec.first_line;
        Ref function = make_function(spec, globals);
        if (spec.converts_float) {
            Ref annotations = Ref::steal(PyDict_New());
            check(PyDict_SetItem(annotations, "val"_py, "float"_py));
            check(PyDict_SetItem(annotations, "return"_py, "str"_py));
            set_annotations(function, annotations);
        }
        check(PyDict_SetItemString(globals, spec.name, function));
    }
    check(PyDict_SetItem(globals, "__test__"_py, Ref::steal(PyDict_New())));
}

int exec(PyObject* module) {
    if (the_module) {
        if (the_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'pdf_module' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    the_module = Py_NewRef(module);
    PyObject* globals = PyModule_GetDict(module);
    int line = 0;  // 0 until the module-level statements start
    try {
        Lookups found;
        found.module = interpreter_builtins();
        set_attr(module, "__builtins__"_py, found.module);
        check_version();
        run_module_statements(module, globals, found, line);
        keep(std::move(found));
        return 0;
    } catch (...) {
        if (foreign_unwinding()) throw;
        set_error_from_exception("init pdf_module");
        if (line > 0) add_traceback("init pdf_module", line, globals);
        Py_CLEAR(the_module);
        return -1;
    }
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "pdf_module",
    nullptr,  // no docstring
    0,
    nullptr,  // functions are bound by the exec step
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pdfm

PyMODINIT_FUNC PyInit_pdf_module(void) { return PyModuleDef_Init(&pdfm::definition); }
