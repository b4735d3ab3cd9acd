// The five account methods as Python entry points, for any book: Broker and Account share them,
// so both convert, check and lock exactly alike and differ only in their class and signatures.
#pragma once

#include <array>
#include <string_view>

#include "binding/classes.hpp"
#include "binding/params.hpp"
#include "broker/broker.hpp"

namespace cw::methods {

// The constructor's and the five methods' parameters, for the class named `owner`.
struct Signatures {
    Signature<5> construct;
    Signature<5> buy;
    Signature<5> sell;
    Signature<3> close_position;
    Signature<2> close_all;
    Signature<1> equity;

    constexpr explicit Signatures(std::string_view owner)
        : construct{owner,
                    "__new__",
                    {"initial_cash", "commission", "spread", "contract_size", "quote_to_account"}},
          buy{owner, "buy", {"price", "lot_size", "timestamp", "stop_loss", "take_profit"}},
          sell{owner, "sell", {"price", "lot_size", "timestamp", "stop_loss", "take_profit"}},
          close_position{owner, "close_position", {"id", "price", "timestamp"}},
          close_all{owner, "close_all", {"price", "timestamp"}},
          equity{owner, "equity", {"current_price"}} {}
};

// The constructor: the five account parameters, converted in order.
template <class Book, const Signatures& Sigs>
PyObject* construct(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        const auto bound = bind(Sigs.construct, args, kwargs);
        // One statement each: the order of a call's arguments is unspecified, and the first
        // argument that fails must be the one reported.
        const double initial_cash = bound.template get<to_f64>(0);
        const double commission = bound.template get<to_f64>(1);
        const double spread = bound.template get<to_f64>(2);
        const double contract_size = bound.template get<to_f64>(3);
        const double quote_to_account = bound.template get<to_f64>(4);
        return new_instance(cls, make_broker<Book>(initial_cash, commission, spread,
                                                   contract_size, quote_to_account));
    });
}

// buy and sell differ only in the side. Every method takes its access before converting, so
// Python code run by a conversion (a __float__) finds this account held and is refused. With a
// journal, opening returns the position's ticket.
template <class Book, ClassCell& Cell, const Signature<5>& Sig, bool IsLong>
PyObject* open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        const HeldReceiver<BrokerOf<Book>> broker(self, Cell);
        std::uint64_t ticket = 0;
        {
            ExclusiveAccess access(broker->access);
            const double price = bound.template get<to_f64>(0);
            const double lot_size = bound.template get<to_f64>(1);
            const std::int64_t timestamp = bound.template get<to_i64>(2);
            const std::optional<double> stop_loss = bound.template get<to_optional_f64>(3);
            const std::optional<double> take_profit = bound.template get<to_optional_f64>(4);
            const auto& position = open_position(broker->record, IsLong, price, lot_size,
                                                 timestamp, stop_loss, take_profit);
            if constexpr (Book::journal) {
                ticket = position.extra.ticket;
            }
        }
        if constexpr (Book::journal) {
            return to_py(ticket);
        } else {
            return none();
        }
    });
}

template <class Book, ClassCell& Cell, const Signature<3>& Sig>
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

template <class Book, ClassCell& Cell, const Signature<2>& Sig>
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

template <class Book, ClassCell& Cell, const Signature<1>& Sig>
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

// The five entries of a method table, with their text signatures.
template <class Book, ClassCell& Cell, const Signatures& Sigs>
std::array<PyMethodDef, 5> table() {
    return {{
        {"buy", method_entry(open<Book, Cell, Sigs.buy, true>), k_fastcall,
         "buy($self, price, lot_size, timestamp, stop_loss, take_profit)\n--\n\n"},
        {"sell", method_entry(open<Book, Cell, Sigs.sell, false>), k_fastcall,
         "sell($self, price, lot_size, timestamp, stop_loss, take_profit)\n--\n\n"},
        {"close_position", method_entry(close_position<Book, Cell, Sigs.close_position>), k_fastcall,
         "close_position($self, id, price, timestamp)\n--\n\n"},
        {"close_all", method_entry(close_all<Book, Cell, Sigs.close_all>), k_fastcall,
         "close_all($self, price, timestamp)\n--\n\n"},
        {"equity", method_entry(equity<Book, Cell, Sigs.equity>), k_fastcall,
         "equity($self, current_price)\n--\n\n"},
    }};
}

}  // namespace cw::methods
