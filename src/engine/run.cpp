// The run loop: drives a strategy over the engine's bars on a fresh broker and returns the
// statistics of the run.
#include "broker/broker_type.hpp"
#include "engine/engine_type.hpp"
#include "engine/loop.hpp"
#include "stats/stats_type.hpp"

namespace cw {

Ref run_strategy(Engine& engine, Ref strategy) {
    // Emptied but not freed: repeated runs reuse the storage, sized for every bar up front.
    engine.equity_curve.clear();
    engine.equity_curve.reserve(engine.data.size());

    Ref init_result = call_init(engine.data, strategy.get());
    const Broker& params = engine.broker;
    Ref broker_object = new_broker(make_broker(params.initial_cash, params.commission,
                                               params.spread, params.contract_size,
                                               params.quote_to_account));
    auto& broker = *reinterpret_cast<BrokerObject*>(broker_object.get());

    if (!engine.data.empty()) {
        (void)run_bars(std::span<const Bar>(engine.data), strategy.get(), broker, engine.equity_curve);
        const Bar& last = engine.data.back();
        ExclusiveStep step(broker.access);
        close_all(broker.record, last.close, last.timestamp);
    }
    Stats stats;
    {
        SharedStep step(broker.access);
        stats = compute_stats(broker.record, engine.equity_curve);
    }
    broker_object.reset();
    init_result.reset();
    strategy.reset();
    return new_stats(stats);
}

}  // namespace cw
