// Conversions that are not worth inlining.
#include "binding/convert.hpp"

namespace cw {

std::uint64_t to_u64(PyObject* obj) {
    Ref index;
    if (!PyLong_Check(obj)) {
        index = require(PyNumber_Index(obj));
        obj = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        throw_pending();
    }
    return value;
}

}  // namespace cw
