// Long native stretches (the run loop, building or taking in long lists) look for pending signals
// now and then, as the interpreter's own long loops do, so that Ctrl-C stops them even when no
// Python code runs in between (a strategy written in C).
#pragma once

#include <cstddef>

#include "binding/errors.hpp"

namespace cw {

class SignalCheck {
public:
    // Counts one unit done (a bar, an item). Every few thousand the pending signals are handled;
    // a handler that raises (KeyboardInterrupt) ends the stretch with its exception.
    void after() {
        if (--left_ != 0) [[likely]] {
            return;
        }
        handle();
    }

private:
    [[gnu::noinline]] void handle() {
        left_ = k_interval;
        if (PyErr_CheckSignals() < 0) {
            throw_pending();
        }
    }

    // About a tenth of a millisecond of bars: a signal waits no longer than the eye can tell.
    static constexpr std::size_t k_interval = 4096;
    std::size_t left_ = k_interval;
};

}  // namespace cw
