// The five account methods as Python entry points, for any book: the Broker's, and the Account's
// equity and constructor helpers, so both convert, check and lock exactly alike.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "binding/classes.hpp"
#include "binding/params.hpp"
#include "broker/broker.hpp"

namespace cw::methods {

// The constructor's and the five methods' parameters, for the class named `owner`. buy and sell
// take `N` parameters, the first `open_required` of them required.
template <std::size_t N>
struct Signatures {
    Signature<5> construct;
    Signature<N> buy;
    Signature<N> sell;
    Signature<3> close_position;
    Signature<2> close_all;
    Signature<1> equity;

    constexpr Signatures(std::string_view owner, std::array<std::string_view, N> open,
                         std::size_t open_required)
        : construct{owner,
                    "__new__",
                    {"initial_cash", "commission", "spread", "contract_size", "quote_to_account"}},
          // Past the five of the plain account, parameters are keyword-only.
          buy{owner, "buy", open, open_required, N < 5 ? N : 5},
          sell{owner, "sell", open, open_required, N < 5 ? N : 5},
          close_position{owner, "close_position", {"id", "price", "timestamp"}},
          close_all{owner, "close_all", {"price", "timestamp"}},
          equity{owner, "equity", {"current_price"}} {}
};

constexpr std::array<std::string_view, 5> k_open_names{"price", "lot_size", "timestamp",
                                                       "stop_loss", "take_profit"};

// The five account parameters of a bound call, from `first` on, converted in order.
template <class Bound>
std::array<double, 5> account_parameters(const Bound& bound, std::size_t first = 0) {
    std::array<double, 5> values{};
    // One at a time: the first argument that fails must be the one reported.
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = bound.template get<to_f64>(first + i);
    }
    return values;
}

template <class Book>
BrokerOf<Book> make_from(const std::array<double, 5>& p) {
    return make_broker<Book>(p[0], p[1], p[2], p[3], p[4]);
}

// The constructor: the five account parameters, converted in order.
template <class Book, const auto& Sigs>
PyObject* construct(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        const auto bound = bind(Sigs.construct, args, kwargs);
        return new_instance(cls, make_from<Book>(account_parameters(bound)));
    });
}

// buy and sell differ only in the side. Every method takes its access before converting, so
// Python code run by a conversion (a __float__) finds this account held and is refused.
template <class Book, ClassCell& Cell, const auto& Sig, bool IsLong>
PyObject* open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        const HeldReceiver<BrokerOf<Book>> broker(self, Cell);
        {
            ExclusiveAccess access(broker->access);
            const double price = bound.template get<to_f64>(0);
            const double lot_size = bound.template get<to_f64>(1);
            const std::int64_t timestamp = bound.template get<to_i64>(2);
            const std::optional<double> stop_loss =
                bound.template get_or<to_optional_f64>(3, std::nullopt);
            const std::optional<double> take_profit =
                bound.template get_or<to_optional_f64>(4, std::nullopt);
            (void)open_position(broker->record, IsLong, price, lot_size, timestamp, stop_loss,
                                take_profit);
        }
        return none();
    });
}

template <class Book, ClassCell& Cell, const auto& Sig>
PyObject* close_position(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        const HeldReceiver<BrokerOf<Book>> broker(self, Cell);
        {
            ExclusiveAccess access(broker->access);
            const std::uint64_t id = bound.template get<to_u64>(0);
            const double price = bound.template get<to_f64>(1);
            const std::int64_t timestamp = bound.template get<to_i64>(2);
            cw::close_position(broker->record, id, price, timestamp);
        }
        return none();
    });
}

template <class Book, ClassCell& Cell, const auto& Sig>
PyObject* close_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        const HeldReceiver<BrokerOf<Book>> broker(self, Cell);
        {
            ExclusiveAccess access(broker->access);
            const double price = bound.template get<to_f64>(0);
            const std::int64_t timestamp = bound.template get<to_i64>(1);
            cw::close_all(broker->record, price, timestamp);
        }
        return none();
    });
}

template <class Book, ClassCell& Cell, const auto& Sig>
PyObject* equity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        const HeldReceiver<BrokerOf<Book>> broker(self, Cell);
        const double value = [&] {
            SharedAccess access(broker->access);
            const double current_price = bound.template get<to_f64>(0);
            return cw::equity(broker->record, current_price);
        }();
        // The float is made after the access is given back.
        return to_py(value);
    });
}

constexpr int k_fastcall = METH_FASTCALL | METH_KEYWORDS;

// The five entries of a method table, with their text signatures; buy and sell's are given
// after the name.
template <class Book, ClassCell& Cell, const auto& Sigs>
std::array<PyMethodDef, 5> table(const char* buy_doc, const char* sell_doc) {
    return {{
        {"buy", method_entry(open<Book, Cell, Sigs.buy, true>), k_fastcall, buy_doc},
        {"sell", method_entry(open<Book, Cell, Sigs.sell, false>), k_fastcall, sell_doc},
        {"close_position", method_entry(close_position<Book, Cell, Sigs.close_position>), k_fastcall,
         "close_position($self, id, price, timestamp)\n--\n\n"},
        {"close_all", method_entry(close_all<Book, Cell, Sigs.close_all>), k_fastcall,
         "close_all($self, price, timestamp)\n--\n\n"},
        {"equity", method_entry(equity<Book, Cell, Sigs.equity>), k_fastcall,
         "equity($self, current_price)\n--\n\n"},
    }};
}

}  // namespace cw::methods
