// The strategy protocol and the per-bar loop, shared by Engine.run and Backtest.run: init once
// with the whole series, then for each bar the exits, next(bar, broker) and the equity point.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "binding/classes.hpp"
#include "binding/names.hpp"
#include "binding/signals.hpp"
#include "broker/broker.hpp"
#include "market/bar_type.hpp"

namespace cw {

// The run's own steps on its broker never span a call into Python, so under the interpreter lock
// they cannot collide with the strategy; a refusal means another thread holds the broker, which
// the run cannot wait for or recover from.
[[noreturn, gnu::cold]] void broker_held_for_exits();
[[noreturn, gnu::cold]] void broker_held_for_valuation();
using ExclusiveStep = ScopedAccess<true, broker_held_for_exits>;
using SharedStep = ScopedAccess<false, broker_held_for_valuation>;

// strategy.init(list of Bar copies), or nothing when the strategy has no init; the result is
// kept until the run ends. An AttributeError raised inside init is dropped unless `errors_pass`.
[[nodiscard]] Ref call_init(std::span<const Bar> data, PyObject* strategy,
                            bool errors_pass = false);

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

// Every bar in order on `broker`, appending one equity point each, with `step(bar)` calling the
// strategy between the bar's exits and its valuation. With a journal the book learns the bar
// number and the bars at whose close a position was open are counted (returned); with options,
// the book's own steps go around the exits.
template <class Book, class Step>
std::uint64_t run_bars_with(std::span<const Bar> data, Instance<BrokerOf<Book>>& broker,
                            std::vector<double>& equity_curve, Step&& step_strategy) {
    std::uint64_t exposed = 0;
    SignalCheck signals;
    for (const Bar& bar : data) {
        {
            ExclusiveStep step(broker.access);
            bool done = false;  // the bar's exits were resolved on finer data inside it
            if constexpr (Book::options) {
                done = begin_bar(broker.record, bar);
            }
            if (!done) {
                check_exits(broker.record, bar);
                if constexpr (Book::options) {
                    if (broker.record.book.rules.margin()) {
                        end_exits(broker.record, bar);
                    }
                }
            }
        }
        step_strategy(bar);
        double point;
        {
            SharedStep step(broker.access);
            point = equity(broker.record, bar.close);
            if constexpr (Book::journal) {
                exposed += broker.record.positions.empty() ? 0U : 1U;
            }
        }
        equity_curve.push_back(point);
        signals.after();
    }
    return exposed;
}

// The engine's protocol: next(bar, broker) on every bar, with a Bar object for each.
template <class Book>
std::uint64_t run_bars(std::span<const Bar> data, PyObject* strategy,
                       Instance<BrokerOf<Book>>& broker, std::vector<double>& equity_curve) {
    PyObject* const next = names().next;
    auto* const broker_object = reinterpret_cast<PyObject*>(&broker);
    Ref bar_object;
    return run_bars_with<Book>(data, broker, equity_curve, [&](const Bar& bar) {
        renew_bar(bar_object, bar);
        call_method(next, strategy, std::array{bar_object.get(), broker_object});
    });
}

}  // namespace cw
