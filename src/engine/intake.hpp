// Taking in the bars handed to the Engine constructor.
#pragma once

#include <vector>

#include "binding/compat.hpp"
#include "market/bar.hpp"

namespace cw {

// Copies of the Bar objects a sequence yields, in iteration order; throws the conversion error.
[[nodiscard]] std::vector<Bar> to_bars(PyObject* data);

}  // namespace cw
