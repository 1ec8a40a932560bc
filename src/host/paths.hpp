// The operations on paths and the working folder that the handlers use, each
// on `os` as it is bound in the module's namespace at the time of the call.
//
// As in Python, the function is looked up before its argument is computed:
// an argument may be given as a function that computes it.
#pragma once

#include "../module/function.hpp"

#include <type_traits>

namespace pdfm::paths {

namespace detail {
template <class Value>
decltype(auto) value_of(Value&& v) {
    if constexpr (std::is_invocable_v<Value>)
        return v();
    else
        return std::forward<Value>(v);
}
}  // namespace detail

// os.path.join(a, b)
template <class Name>
Ref join(const Call& c, PyObject* a, Name&& b) {
    Ref join = attr(attr(c.global("os"_py), "path"_py), "join"_py);
    return call(join, a, detail::value_of(std::forward<Name>(b)));
}
// os.path.exists(path), tested for truth
template <class Path>
bool exists(const Call& c, Path&& path) {
    Ref exists = attr(attr(c.global("os"_py), "path"_py), "exists"_py);
    return truth(call(exists, detail::value_of(std::forward<Path>(path))));
}
// os.getcwd()
inline Ref getcwd(const Call& c) { return call(attr(c.global("os"_py), "getcwd"_py)); }

}  // namespace pdfm::paths
