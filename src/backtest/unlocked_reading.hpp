// Files read without the interpreter lock (bars and ticks alike): the pending signals handled
// with the lock taken back for a moment; a handler's exception waits, pending, for the lock's
// scope to end, and the reading stops by throwing Interrupted.
#pragma once

#include "binding/unlocked.hpp"
#include "ingest/csv.hpp"

namespace cw {

struct Interrupted {};

class UnlockedSignals final : public ingest::Progress {
public:
    explicit UnlockedSignals(WithoutInterpreterLock& unlocked) noexcept : unlocked_(unlocked) {}
    void step() override {
        if (!unlocked_.signals_pass()) {
            throw Interrupted{};
        }
    }

private:
    WithoutInterpreterLock& unlocked_;
};

}  // namespace cw
