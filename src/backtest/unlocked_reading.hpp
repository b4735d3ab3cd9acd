// Files read without the interpreter lock (bars and ticks alike): the pending signals handled
// with the lock taken back for a moment; a handler's exception waits, pending, for the lock's
// scope to end, and the reading stops by throwing Interrupted.
#pragma once

#include <string_view>

#include "binding/buffer.hpp"
#include "binding/compat.hpp"
#include "binding/ref.hpp"
#include "binding/signals.hpp"
#include "binding/unlocked.hpp"
#include "ingest/csv.hpp"

namespace cw {

// With the lock held: the pending signals looked at now and then.
class Signals final : public ingest::Progress {
public:
    void step() override { check_.after(); }

private:
    SignalCheck check_;
};

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

// Each bytes-like piece of `pieces` (an iterator, of a file decompressed as it is read) fed to
// `reader` without the interpreter lock, the next asked for only once it is read; then what
// `reader.finish` makes of them.
template <class Reader>
auto read_pieces(PyObject* pieces, Reader& reader) {
    Ref iterator = require(PyObject_GetIter(pieces));
    for (;;) {
        PyObject* raw = nullptr;
        const int status = PyIter_NextItem(iterator.get(), &raw);
        if (status < 0) {
            throw_pending();
        }
        if (status == 0) {
            Signals signals;
            return reader.finish(signals);
        }
        Ref item = Ref::steal(raw);
        HeldBuffer held;
        held.take(item.get(), PyBUF_SIMPLE);
        const std::string_view piece(static_cast<const char*>(held.view().buf),
                                     static_cast<std::size_t>(held.view().len));
        bool interrupted = false;
        {
            WithoutInterpreterLock unlocked;
            UnlockedSignals signals(unlocked);
            try {
                reader.feed(piece, signals);
            } catch (const Interrupted&) {
                interrupted = true;
            }
        }
        if (interrupted) {
            throw_pending();
        }
    }
}

}  // namespace cw
