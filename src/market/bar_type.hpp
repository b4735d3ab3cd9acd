// The Python class Bar.
#pragma once

#include "binding/classes.hpp"
#include "market/bar.hpp"

namespace cw {

extern ClassCell bar_class;
using BarObject = Instance<Bar>;

// A new Bar object holding a copy of `bar`, copied straight into the object.
[[nodiscard]] inline Ref new_bar(const Bar& bar) {
    return new_instance(bar_class.type(), bar);
}

}  // namespace cw
