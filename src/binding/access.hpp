// The access flag every instance carries: any number of shared holders or one exclusive holder,
// taken with atomic operations and never waited for. It guards the record, not the interpreter
// lock, so it holds without the lock too.
#pragma once

#include <atomic>
#include <cstdint>

#include "binding/errors.hpp"

namespace cw {

class AccessFlag {
public:
    // Taking access is an acquire and giving it back a release: the flag orders the record's reads
    // and writes like a lock, and no more strongly. (A sequentially consistent store would cost a
    // locked instruction on x86 where a release store is a plain move; the run loop gives the
    // broker back on every bar.)
    [[nodiscard]] bool try_share() noexcept {
        std::intptr_t seen = word_.load(std::memory_order_relaxed);
        while (seen != k_exclusive) {
            if (word_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }
    void unshare() noexcept { word_.fetch_sub(1, std::memory_order_release); }

    [[nodiscard]] bool try_exclude() noexcept {
        std::intptr_t expected = k_free;
        return word_.compare_exchange_strong(expected, k_exclusive, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    void unexclude() noexcept { word_.store(k_free, std::memory_order_release); }

private:
    static constexpr std::intptr_t k_free = 0;
    static constexpr std::intptr_t k_exclusive = -1;
    std::atomic<std::intptr_t> word_{k_free};
};

[[noreturn, gnu::cold]] void refuse_shared();     // RuntimeError "Already mutably borrowed"
[[noreturn, gnu::cold]] void refuse_exclusive();  // RuntimeError "Already borrowed"

// Scoped access for a call from Python; a refusal is the caller's RuntimeError.
class SharedAccess {
public:
    explicit SharedAccess(AccessFlag& flag) : flag_(flag) {
        if (!flag_.try_share()) [[unlikely]] {
            refuse_shared();
        }
    }
    ~SharedAccess() { flag_.unshare(); }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    AccessFlag& flag_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(AccessFlag& flag) : flag_(flag) {
        if (!flag_.try_exclude()) [[unlikely]] {
            refuse_exclusive();
        }
    }
    ~ExclusiveAccess() { flag_.unexclude(); }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

private:
    AccessFlag& flag_;
};

}  // namespace cw
