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

// `slot` holding `bar`: the object it holds, rewritten, when nobody else holds it, as the
// interpreter's own zip() reuses its result tuple; else a new one. A Bar has no weak references
// and no subclasses, so an object held only here is one no Python code can reach: a strategy
// that did not keep the last bar cannot tell its successor from a new object.
inline void renew_bar(Ref& slot, const Bar& bar) {
    if (slot && Py_REFCNT(slot.get()) == 1) {
        reinterpret_cast<BarObject*>(slot.get())->record = bar;
    } else {
        slot = new_bar(bar);
    }
}

}  // namespace cw
