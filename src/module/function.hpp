// The module's function objects: argument binding, the call context that a
// body runs in, and the boundary that adds the traceback entry.
#pragma once

#include "ops.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>

namespace pdfm {

struct FunctionObject;

// The most parameters any function of the module takes.
inline constexpr std::size_t max_params = 13;

// What a body sees of its call: the bound arguments, the line it is on (for
// the traceback entry), and the names of the module's namespace.
class Call {
public:
    Call(FunctionObject* self, PyObject* const* args, int line) noexcept
        : self_(self), args_(args), line_(line) {}

    // Marks the statement being run; an exception leaving the body is
    // reported at this line.
    void at(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }

    // The N bound arguments, in parameter order (borrowed).
    template <std::size_t N>
    std::array<PyObject*, N> args() const noexcept {
        std::array<PyObject*, N> out;
        for (std::size_t i = 0; i < N; ++i) out[i] = args_[i];
        return out;
    }

    // A module-level name, looked up now in the module's namespace and then
    // among the builtins; NameError when neither has it.
    Ref global(PyObject* name) const;

    // The object an inner function closes over.
    PyObject* closure() const noexcept;
    // The namespace the function runs in.
    PyObject* globals() const noexcept;

private:
    FunctionObject* self_;
    PyObject* const* args_;
    int line_;
};

using Body = Ref (*)(Call&);

// A body's short path: the part of it that reads its arguments as given and
// runs no Python code, so that a call it serves needs no binding, no call
// context and no recursion guard. Given exactly the parameters, positionally,
// it returns the result (a new reference), or nullptr with no error set to
// leave the call to the body; a failure (an allocation) throws as in a body.
using ShortPath = PyObject* (*)(PyObject* const* args);

// One function of the module, as it appears in the module's function table.
struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* traceback_name;
    const char* doc;  // nullptr: no docstring
    std::initializer_list<const char*> params;
    int first_line;
    Body body;
    bool converts_float = false;  // the single argument is converted to float on entry
    // The entry of a function with a short path (entry_with<...> below);
    // nullptr: every call takes the general entry.
    vectorcallfunc entry = nullptr;
};

// A function object. Only the call path reads its fields.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;  // the list the runtime keeps of weak references to it
    PyObject* globals;
    PyObject* closure;
    PyObject* param_names;  // tuple of interned parameter names
    // The positional count of a call that runs the body on its arguments in
    // place: the parameter count, or -1 for a function that converts its
    // argument or was cleared.
    Py_ssize_t in_place_nargs;
    // The positional count of a call that tries the short path: the
    // parameter count, or -1 for a function without one or cleared.
    Py_ssize_t short_path_nargs;
};

// Makes a function object for `spec` that runs with `globals` as its module
// namespace; `closure` (may be NULL) is what an inner function closes over.
Ref make_function(const FunctionSpec& spec, PyObject* globals, PyObject* closure = nullptr);

// Sets the function's __annotations__ dictionary.
void set_annotations(PyObject* function, PyObject* annotations);

// Adds the entry `function_name` in "pdf_module.py" at `line` to the
// traceback of the pending exception.
void add_traceback(const char* function_name, int line, PyObject* globals);

// The builtins that are looked up once, when the module is initialised. Each
// pointer is a strong reference, held for the life of the process; all are
// set together when initialisation succeeds and are NULL until then.
struct CachedBuiltins {
    PyObject* module = nullptr;  // the interpreter's builtins module
    PyObject* round = nullptr;
    PyObject* print = nullptr;
    PyObject* ValueError = nullptr;
    PyObject* range = nullptr;
    // The kept round is the runtime's own builtin, so that C arithmetic may
    // stand in for it where it gives the same results.
    bool round_is_builtin = false;
};
extern CachedBuiltins builtins;

// Whether an initialisation has completed, so that functions may run.
inline bool builtins_ready() noexcept { return builtins.module != nullptr; }

// print(text) with the print function taken at initialisation.
inline void print(PyObject* line) { call(builtins.print, line); }
// round(value, ndigits) with the round function taken at initialisation.
inline Ref round(PyObject* value, PyObject* ndigits) { return call(builtins.round, value, ndigits); }

namespace detail {
// The general entry: binding, the recursion guard, the body.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);
// The failure of a short path: the C++ exception being handled becomes the
// Python error, with the function's traceback entry at `line`.
PyObject* short_path_failed(PyObject* self, int line);
}  // namespace detail

// The entry of a function whose body has the short path `path`: a call with
// exactly the parameters, positionally, on a function that can run, takes
// the short path, and a failure there is reported at `line` (the statement
// that computes the result); every other call, and every call the short path
// leaves to the body, takes the general entry. The import having completed
// is checked here too, as the general entry checks it.
template <ShortPath path, int line>
PyObject* entry_with(PyObject* self, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) {
    const auto* f = reinterpret_cast<const FunctionObject*>(self);
    if (PyVectorcall_NARGS(nargsf) == f->short_path_nargs && kwnames == nullptr &&
        builtins_ready()) [[likely]] {
        try {
            if (PyObject* result = path(args)) return result;
        } catch (...) {
            if (foreign_unwinding()) throw;
            return detail::short_path_failed(self, line);
        }
    }
    return detail::function_vectorcall(self, args, nargsf, kwnames);
}

}  // namespace pdfm
