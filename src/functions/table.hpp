// The module's function table, which initialisation binds in order.
#pragma once

#include "../module/function.hpp"

namespace pdfm {

// The published functions in binding order.
extern const FunctionSpec function_table[15];

}  // namespace pdfm
