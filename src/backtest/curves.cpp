// Equity curves kept for reuse between runs.
#include <mutex>

#include "backtest/backtest.hpp"

namespace cw {

std::vector<double> take_spare(CurveStore& store) {
    std::vector<double> curve;
    const std::lock_guard lock(store.mutex);
    curve.swap(store.spare);
    return curve;
}

std::shared_ptr<const std::vector<double>> recycled(std::vector<double> curve,
                                                    const std::shared_ptr<CurveStore>& store) {
    auto values = std::make_unique<std::vector<double>>(std::move(curve));
    auto give_back = [weak = std::weak_ptr<CurveStore>(store)](const std::vector<double>* gone) {
        std::unique_ptr<std::vector<double>> owned(const_cast<std::vector<double>*>(gone));
        if (const auto alive = weak.lock()) {
            const std::lock_guard lock(alive->mutex);
            if (owned->capacity() > alive->spare.capacity()) {
                alive->spare.swap(*owned);
            }
        }
    };
    // Should making the shared count fail, the deleter is called on the pointer: nothing leaks.
    return std::shared_ptr<const std::vector<double>>(values.release(), std::move(give_back));
}

}  // namespace cw
