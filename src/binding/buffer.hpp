// A buffer-protocol view held for a scope: taken from an object, released once.
#pragma once

#include "binding/errors.hpp"

namespace cw {

class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    // False with the interpreter's error pending when `obj` has no such buffer.
    [[nodiscard]] bool try_take(PyObject* obj, int flags) noexcept {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    void take(PyObject* obj, int flags) {
        if (!try_take(obj, flags)) {
            throw_pending();
        }
    }
    [[nodiscard]] const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace cw
