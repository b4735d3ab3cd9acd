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
    [[nodiscard]] bool try_share() noexcept {
        std::intptr_t seen = word_.load();
        while (seen != k_exclusive) {
            if (word_.compare_exchange_strong(seen, seen + 1)) {
                return true;
            }
        }
        return false;
    }
    void unshare() noexcept { word_.fetch_sub(1); }

    [[nodiscard]] bool try_exclude() noexcept {
        std::intptr_t expected = k_free;
        return word_.compare_exchange_strong(expected, k_exclusive);
    }
    void unexclude() noexcept { word_.store(k_free); }

private:
    static constexpr std::intptr_t k_free = 0;
    static constexpr std::intptr_t k_exclusive = -1;
    std::atomic<std::intptr_t> word_{k_free};
};

[[noreturn, gnu::cold]] void refuse_shared();     // RuntimeError "Already mutably borrowed"
[[noreturn, gnu::cold]] void refuse_exclusive();  // RuntimeError "Already borrowed"

// Access held for a scope; `Refuse` says what a refusal is (it must throw).
template <bool Exclusive, void (*Refuse)()>
class ScopedAccess {
public:
    explicit ScopedAccess(AccessFlag& flag) : flag_(flag) {
        if (!(Exclusive ? flag_.try_exclude() : flag_.try_share())) [[unlikely]] {
            Refuse();
        }
    }
    ~ScopedAccess() {
        if constexpr (Exclusive) {
            flag_.unexclude();
        } else {
            flag_.unshare();
        }
    }
    ScopedAccess(const ScopedAccess&) = delete;
    ScopedAccess& operator=(const ScopedAccess&) = delete;

private:
    AccessFlag& flag_;
};

// For a call from Python, a refusal is the caller's RuntimeError.
using SharedAccess = ScopedAccess<false, refuse_shared>;
using ExclusiveAccess = ScopedAccess<true, refuse_exclusive>;

}  // namespace cw
