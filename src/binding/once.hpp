// One-time initialisation shared by all threads of the process. A thread that finds another one
// running the initialisation waits without holding the interpreter lock, so the initialiser can
// run Python code that switches threads; the lock is taken back before the initialiser runs.
#pragma once

#include <atomic>
#include <mutex>
#include <utility>

#include "binding/errors.hpp"

namespace cw {

template <class T>
class OnceCell {
public:
    constexpr OnceCell() = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    [[nodiscard]] bool ready() const noexcept { return ready_.load(std::memory_order_acquire); }
    // Only after ready() returned true.
    [[nodiscard]] const T& value() const noexcept { return value_; }

    // The value, made by `make` (which returns a T or throws) if no thread made it yet. If `make`
    // throws, the cell stays empty and a later call tries again.
    template <class Make>
    const T& get(Make&& make) {
        if (ready()) [[likely]] {
            return value_;
        }
        return get_slow(std::forward<Make>(make));
    }

private:
    template <class Make>
    [[gnu::noinline]] const T& get_slow(Make&& make) {
        const unsigned long me = PyThread_get_thread_ident();
        if (owner_.load(std::memory_order_relaxed) == me) {
            panic("one-time initialisation re-entered on the same thread");
        }
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            PyThreadState* saved = PyEval_SaveThread();
            lock.lock();
            PyEval_RestoreThread(saved);
        }
        if (!ready()) {
            owner_.store(me, std::memory_order_relaxed);
            struct Disown {
                std::atomic<unsigned long>& owner;
                ~Disown() { owner.store(0, std::memory_order_relaxed); }
            } disown{owner_};
            value_ = make();
            ready_.store(true, std::memory_order_release);
        }
        return value_;
    }

    std::atomic<bool> ready_{false};
    std::atomic<unsigned long> owner_{0};
    std::mutex mutex_;
    T value_{};
};

}  // namespace cw
