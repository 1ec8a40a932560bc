#pragma once

#include "function.hpp"

namespace pdfm {

// The published functions in binding order.
extern const FunctionSpec function_table[15];

}  // namespace pdfm
