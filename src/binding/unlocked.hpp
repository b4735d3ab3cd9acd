// Native work done without the interpreter lock, so that other Python threads run meanwhile and
// several such stretches run at once on different cores. Nothing in it may touch a Python object.
#pragma once

#include "binding/compat.hpp"

namespace cw {

// The lock given up for a scope, and taken back at its end however it ends.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

    // With the lock taken back for a moment: false if a signal handler raised (Ctrl-C), whose
    // exception then waits, pending, for the scope's end.
    [[nodiscard]] bool signals_pass() noexcept {
        PyEval_RestoreThread(state_);
        const bool pass = PyErr_Occurred() == nullptr && PyErr_CheckSignals() == 0;
        state_ = PyEval_SaveThread();
        return pass;
    }

private:
    PyThreadState* state_;
};

}  // namespace cw
