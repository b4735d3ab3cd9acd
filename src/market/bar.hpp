// A price bar: a plain value, copied wherever it goes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace cw {

struct Bar {
    std::int64_t timestamp;  // opaque to the module: only copied
    double open;
    double high;
    double low;
    double close;
    double volume;
};

// Bars that never change once made, shared by whatever views them.
using BarRows = std::shared_ptr<const std::vector<Bar>>;

}  // namespace cw
