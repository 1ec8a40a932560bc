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
};

// Makes a function object for `spec` that runs with `globals` as its module
// namespace; `closure` (may be NULL) is what an inner function closes over.
Ref make_function(const FunctionSpec& spec, PyObject* globals, PyObject* closure = nullptr);

// Sets the function's __annotations__ dictionary.
void set_annotations(PyObject* function, PyObject* annotations);

// Adds the entry `function_name` in "pdf_module.py" at `line` to the
// traceback of the pending exception.
void add_traceback(const char* function_name, int line, PyObject* globals) noexcept;

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

// print(text) with the print function taken at initialisation.
inline void print(PyObject* line) { call(builtins.print, line); }
// round(value, ndigits) with the round function taken at initialisation.
inline Ref round(PyObject* value, PyObject* ndigits) { return call(builtins.round, value, ndigits); }

}  // namespace pdfm
