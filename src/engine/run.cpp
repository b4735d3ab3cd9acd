// The run loop: drives a strategy over the engine's bars on a fresh broker and returns the
// statistics of the run.
#include <array>
#include <vector>

#include "binding/names.hpp"
#include "binding/signals.hpp"
#include "broker/broker_type.hpp"
#include "engine/engine_type.hpp"
#include "market/bar_type.hpp"
#include "stats/stats_type.hpp"

namespace cw {
namespace {

// The run's own steps on its broker never span a call into Python, so under the interpreter lock
// they cannot collide with the strategy; a refusal means another thread holds the broker, which
// the run cannot wait for or recover from.
[[noreturn, gnu::cold]] void broker_held_for_exits() {
    panic("Already borrowed: PyBorrowMutError");
}
[[noreturn, gnu::cold]] void broker_held_for_valuation() {
    panic("Already mutably borrowed: PyBorrowError");
}
using ExclusiveStep = ScopedAccess<true, broker_held_for_exits>;
using SharedStep = ScopedAccess<false, broker_held_for_valuation>;

// strategy.name(*args) as a method call: the slot before the arguments is left free so the
// interpreter can put the receiver there instead of building a bound method.
template <std::size_t N>
Ref call_method(PyObject* name, PyObject* strategy, const std::array<PyObject*, N>& args) {
    std::array<PyObject*, N + 2> stack{};
    stack[1] = strategy;
    for (std::size_t i = 0; i < N; ++i) {
        stack[i + 2] = args[i];
    }
    return require(
        PyObject_VectorcallMethod(name, stack.data() + 1, (N + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                  nullptr));
}

Ref new_bar_list(const std::vector<Bar>& data) {
    Ref list = require_object(PyList_New(static_cast<Py_ssize_t>(data.size())));
    // Signal handlers run while the list still has empty slots: out of the collector's sight, no
    // Python code can reach it (gc.get_objects) until it is whole.
    PyObject_GC_UnTrack(list.get());
    SignalCheck signals;
    for (std::size_t i = 0; i < data.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_bar(data[i]).release());
        signals.after();
    }
    PyObject_GC_Track(list.get());
    return list;
}

// init is optional: an AttributeError, from the lookup or from inside init, is dropped. The
// attribute is looked up before the list is built, so a strategy without init costs no list: the
// list is built from the engine's own bars and runs no Python code, so the order is not visible.
Ref call_init(const std::vector<Bar>& data, PyObject* strategy) {
    try {
        Ref init = require(PyObject_GetAttr(strategy, names().init));
        Ref bars = new_bar_list(data);
        // The slot before the argument is free for the callee (a bound method puts its receiver
        // there instead of copying the arguments).
        std::array<PyObject*, 2> stack{nullptr, bars.get()};
        return require(PyObject_Vectorcall(init.get(), stack.data() + 1,
                                           1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    } catch (PyError& error) {
        if (!error.matches(PyExc_AttributeError)) {
            throw;
        }
        return Ref();
    }
}

void run_bars(Engine& engine, PyObject* strategy, BrokerObject& broker) {
    PyObject* const next = names().next;
    auto* const broker_object = reinterpret_cast<PyObject*>(&broker);
    SignalCheck signals;
    for (const Bar& bar : engine.data) {
        {
            ExclusiveStep step(broker.access);
            check_exits(broker.record, bar);
        }
        {
            Ref bar_object = new_bar(bar);
            call_method(next, strategy, std::array{bar_object.get(), broker_object});
        }
        double point;
        {
            SharedStep step(broker.access);
            point = equity(broker.record, bar.close);
        }
        engine.equity_curve.push_back(point);
        signals.after();
    }
}

}  // namespace

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
        run_bars(engine, strategy.get(), broker);
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
