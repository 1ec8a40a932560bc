// The host application's `state` module, looked up by name at each use and
// read afresh for every value.
#pragma once

#include "../module/function.hpp"

namespace pdfm::state {

// state.<name>
inline Ref get(const Call& c, PyObject* name) { return attr(c.global("state"_py), name); }
// state.<name> = value
inline void set(const Call& c, PyObject* name, PyObject* value) {
    set_attr(c.global("state"_py), name, value);
}

}  // namespace pdfm::state
