// A price bar: a plain value, copied wherever it goes.
#pragma once

#include <cstdint>

namespace cw {

struct Bar {
    std::int64_t timestamp;  // opaque to the module: only copied
    double open;
    double high;
    double low;
    double close;
    double volume;
};

}  // namespace cw
