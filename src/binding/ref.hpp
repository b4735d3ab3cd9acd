// Ref: the one owner of a strong reference. A raw PyObject* anywhere else is borrowed.
#pragma once

#include <utility>

#include "binding/compat.hpp"

namespace cw {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a reference the caller owns (a new reference from the interpreter).
    [[nodiscard]] static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    // Adds a reference of its own to a borrowed pointer.
    [[nodiscard]] static Ref borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller (to return it to the interpreter, or to a stealing call).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // Gives the reference back now rather than at the end of the scope.
    void reset() noexcept { Ref().swap(*this); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace cw
