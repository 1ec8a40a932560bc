#include "function.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstddef>
#include <exception>
#include <new>
#include <vector>

namespace pdfm {

CachedBuiltins builtins;

PyObject* Call::closure() const noexcept { return self_->closure; }
PyObject* Call::globals() const noexcept { return self_->globals; }

Ref Call::global(PyObject* name) const {
    if (PyObject* value = PyDict_GetItemWithError(self_->globals, name)) return Ref::borrow(value);
    if (PyErr_Occurred()) raise();
    if (PyObject* value = PyObject_GetAttr(builtins.module, name)) return Ref::adopt(value);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    raise();
}

void add_traceback(const char* function_name, int line, PyObject* globals) {
    Ref exception = Ref::adopt(PyErr_GetRaisedException());
    if (!exception) return;  // callers set the error first
    PyCodeObject* code = PyCode_NewEmpty("pdf_module.py", function_name, line);
    Ref code_owner = Ref::adopt(reinterpret_cast<PyObject*>(code));
    Ref frame = Ref::adopt(code ? reinterpret_cast<PyObject*>(
                                      PyFrame_New(PyThreadState_Get(), code, globals, nullptr))
                                : nullptr);
    PyErr_Clear();  // a failure to build the entry must not replace the exception
    PyErr_SetRaisedException(exception.release());
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

namespace {

// Module functions running now, in any thread (the GIL serialises the
// count). A call made while none runs cannot be a recursion through the
// module and skips the runtime's C recursion guard; every nested call
// takes it, so deep recursion through the module namespace still ends in
// RecursionError. A call served by a short path calls nothing back and is
// not counted.
int active_calls = 0;

// Raises the positional-count TypeError with `given` as the count.
[[noreturn]] void wrong_count(const FunctionObject* f, Py_ssize_t given) {
    Py_ssize_t n = static_cast<Py_ssize_t>(f->spec->params.size());
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->spec->name, "exactly", n, n == 1 ? "" : "s", given);
    raise();
}

bool same_name(PyObject* param, PyObject* key) {
    if (param == key) return true;
    return PyUnicode_Check(key) && PyUnicode_Compare(param, key) == 0;
}

// Binds positional and keyword arguments to the parameters; a mismatch
// raises the TypeError.
[[gnu::noinline]] void bind(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::array<PyObject*, max_params>& bound) {
    const Py_ssize_t n = PyTuple_GET_SIZE(f->param_names);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != n) wrong_count(f, nargs);
        for (Py_ssize_t i = 0; i < n; ++i) bound[i] = args[i];
        return;
    }
    if (nargs > n) wrong_count(f, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    std::vector<char> used(static_cast<std::size_t>(nkw), 0);
    for (Py_ssize_t i = nargs; i < n; ++i) {
        PyObject* param = PyTuple_GET_ITEM(f->param_names, i);
        bound[i] = nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!used[k] && same_name(param, PyTuple_GET_ITEM(kwnames, k))) {
                bound[i] = args[nargs + k];
                used[k] = true;
                break;
            }
        }
        if (bound[i] == nullptr) wrong_count(f, i);
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (used[k]) continue;
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->spec->name);
            raise();
        }
        bool names_a_parameter = false;
        for (Py_ssize_t i = 0; i < n; ++i)
            names_a_parameter |= same_name(PyTuple_GET_ITEM(f->param_names, i), key);
        if (names_a_parameter)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f->spec->name, key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         f->spec->name, key);
        raise();
    }
}

// What a call needs beyond its positional arguments as given: keyword
// binding, a positional count to check, the float conversion. Returns the
// arguments in parameter order (in `bound`, with a converted float owned by
// `converted`). A function emptied by the garbage collector's tp_clear, or
// made by an initialisation that did not finish, refuses to run.
[[gnu::noinline]] PyObject* const* prepare(FunctionObject* f, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames,
                                          std::array<PyObject*, max_params>& bound,
                                          Ref& converted) {
    if (f->globals == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "%U() cannot run: the function was cleared",
                     f->qualname);
        raise();
    }
    if (builtins.module == nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "%U() cannot run: the import of pdf_module did not complete", f->qualname);
        raise();
    }
    if (kwnames != nullptr || nargs != PyTuple_GET_SIZE(f->param_names)) {
        bind(f, args, nargs, kwnames, bound);
        args = bound.data();
    }
    if (f->spec->converts_float && !PyFloat_CheckExact(args[0])) {
        converted = new_float(as_double(args[0]));
        bound[0] = converted;
        args = bound.data();
    }
    return args;
}

// The failure of a call at `line`: the C++ exception being handled becomes
// the Python error, and the function's traceback entry is added.
[[gnu::noinline, gnu::cold]] PyObject* fail(FunctionObject* f, int line) {
    set_error_from_exception(f->spec->traceback_name);
    if (f->globals) add_traceback(f->spec->traceback_name, line, f->globals);
    return nullptr;
}

// Runs the body on the arguments in parameter order. An exception leaving it
// becomes the Python error, with the function's traceback entry at the line
// the body last marked.
PyObject* run_body(FunctionObject* f, Call& call) {
    try {
        Ref result = f->spec->body(call);
        return result ? result.release() : Py_NewRef(Py_None);
    } catch (...) {
        if (foreign_unwinding()) throw;
        return fail(f, call.line());
    }
}

// Every other call: the arguments are bound (and converted) first, and a
// failure there is reported at the function's first line.
[[gnu::noinline]] PyObject* bind_and_run(FunctionObject* f, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
    Call call(f, args, f->spec->first_line);
    std::array<PyObject*, max_params> bound;
    Ref converted;
    try {
        call = Call(f, prepare(f, args, nargs, kwnames, bound, converted), f->spec->first_line);
    } catch (...) {
        if (foreign_unwinding()) throw;
        return fail(f, call.line());
    }
    return run_body(f, call);
}

// A call with exactly the positional arguments, on a function that converts
// none, runs the body on them in place.
PyObject* run(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames) {
    if (nargs != f->in_place_nargs || kwnames != nullptr || builtins.module == nullptr)
        [[unlikely]] {
        return bind_and_run(f, args, nargs, kwnames);
    }
    Call call(f, args, f->spec->first_line);
    return run_body(f, call);
}

}  // namespace

PyObject* detail::function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                      PyObject* kwnames) {
    const bool guarded = active_calls > 0;
    if (guarded && Py_EnterRecursiveCall(" while calling a pdf_module function")) return nullptr;
    ++active_calls;
    // The caller holds `self` and the arguments for the duration of the call.
    PyObject* result =
        run(reinterpret_cast<FunctionObject*>(self), args, PyVectorcall_NARGS(nargsf), kwnames);
    --active_calls;
    if (guarded) Py_LeaveRecursiveCall();
    // Left over by an unwinding that began before this call (the caller's).
    if (has_deferred()) [[unlikely]] release_deferred();
    return result;
}

PyObject* detail::short_path_failed(PyObject* self, int line) {
    return fail(reinterpret_cast<FunctionObject*>(self), line);
}

namespace {

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->closure);
    return 0;
}

// Drops what may take part in a reference cycle. The name, the qualified name
// and the parameter names are strings made by the module itself and cannot,
// so a cleared function still prints and binds as before.
int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    f->in_place_nargs = -1;
    f->short_path_nargs = -1;
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->closure);
    return 0;
}

// The trashcan bounds the C stack used when freeing a long chain of
// functions that each hold the next one (as inner handlers closing over
// another handler do): past a depth, the runtime defers the rest.
void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, function_dealloc)
    PyTypeObject* type = Py_TYPE(self);
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->param_names);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>",
                                reinterpret_cast<FunctionObject*>(self)->qualname, self);
}

PyObject* get_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->annotations == nullptr) f->annotations = PyDict_New();
    return Py_XNewRef(f->annotations);
}

// What inspect.signature() shows: the parameters, each positional-or-keyword
// and required, with the annotations the function carries at the time.
PyObject* get_signature(PyObject* self, void*) {
    try {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
        Ref parameter = attr(inspect, "Parameter"_py);
        Ref signature = attr(inspect, "Signature"_py);
        Ref kind = attr(parameter, "POSITIONAL_OR_KEYWORD"_py);
        Ref none_given = attr(parameter, "empty"_py);
        Ref annotations = Ref::steal(get_annotations(self, nullptr));
        auto annotation_of = [&](PyObject* name) {
            PyObject* found = PyDict_GetItemWithError(annotations, name);
            if (found == nullptr && PyErr_Occurred()) raise();
            return Ref::borrow(found ? found : none_given.get());
        };
        const Py_ssize_t n = PyTuple_GET_SIZE(f->param_names);
        Ref parameters = Ref::steal(PyList_New(0));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* name = PyTuple_GET_ITEM(f->param_names, i);
            Ref annotation = annotation_of(name);
            check(PyList_Append(parameters, call_kw(parameter, {name, kind},
                                                    {{"annotation"_py, annotation}})));
        }
        Ref returns = annotation_of("return"_py);
        return call_kw(signature, {parameters}, {{"return_annotation"_py, returns}}).release();
    } catch (...) {
        if (foreign_unwinding()) throw;
        set_error_from_exception("__signature__");
        return nullptr;
    }
}

int set_annotations_attr(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->annotations, Py_NewRef(value));
    return 0;
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__annotations__", get_annotations, set_annotations_attr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "pdf_module.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

PyObject* function_type() {
    static PyObject* const type = detail::make_immortal(PyType_FromSpec(&function_type_spec));
    return type;
}

Ref interned_tuple(std::initializer_list<const char*> names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names)
        PyTuple_SET_ITEM(tuple.get(), i++, Ref::steal(PyUnicode_InternFromString(name)).release());
    return tuple;
}

Ref text_or_none(const char* utf8) {
    return utf8 ? Ref::steal(PyUnicode_FromString(utf8)) : Ref::borrow(Py_None);
}

}  // namespace

Ref make_function(const FunctionSpec& spec, PyObject* globals, PyObject* closure) {
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    Ref doc = text_or_none(spec.doc);
    Ref params = interned_tuple(spec.params);
    auto* type = reinterpret_cast<PyTypeObject*>(function_type());
    // Allocated zeroed and already tracked by the collector, which finds
    // the empty fields harmless until they are set below.
    auto* f = reinterpret_cast<FunctionObject*>(type->tp_alloc(type, 0));
    if (f == nullptr) raise();
    f->vectorcall = spec.entry ? spec.entry : detail::function_vectorcall;
    f->spec = &spec;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef("pdf_module"_py);
    f->doc = doc.release();
    f->annotations = nullptr;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->globals = Py_NewRef(globals);
    f->closure = Py_XNewRef(closure);
    f->param_names = params.release();
    f->in_place_nargs = spec.converts_float ? -1 : PyTuple_GET_SIZE(f->param_names);
    f->short_path_nargs = spec.entry ? PyTuple_GET_SIZE(f->param_names) : -1;
    return Ref::adopt(reinterpret_cast<PyObject*>(f));
}

void set_annotations(PyObject* function, PyObject* annotations) {
    check(set_annotations_attr(function, annotations, nullptr));
}

}  // namespace pdfm
