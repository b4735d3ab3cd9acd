// The Python class Broker: a constructor and five methods, no attributes.
#include "broker/broker_type.hpp"

#include "binding/params.hpp"

namespace cw {
namespace {

constexpr Signature<5> k_new{
    "Broker",
    "__new__",
    {"initial_cash", "commission", "spread", "contract_size", "quote_to_account"}};
constexpr Signature<5> k_buy{
    "Broker", "buy", {"price", "lot_size", "timestamp", "stop_loss", "take_profit"}};
constexpr Signature<5> k_sell{
    "Broker", "sell", {"price", "lot_size", "timestamp", "stop_loss", "take_profit"}};
constexpr Signature<3> k_close_position{"Broker", "close_position", {"id", "price", "timestamp"}};
constexpr Signature<2> k_close_all{"Broker", "close_all", {"price", "timestamp"}};
constexpr Signature<1> k_equity{"Broker", "equity", {"current_price"}};

PyObject* broker_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        const auto bound = bind(k_new, args, kwargs);
        // One statement each: the order of a call's arguments is unspecified, and the first
        // argument that fails must be the one reported.
        const double initial_cash = bound.get<to_f64>(0);
        const double commission = bound.get<to_f64>(1);
        const double spread = bound.get<to_f64>(2);
        const double contract_size = bound.get<to_f64>(3);
        const double quote_to_account = bound.get<to_f64>(4);
        return new_instance(
            cls, make_broker(initial_cash, commission, spread, contract_size, quote_to_account));
    });
}

// buy and sell differ only in the side. Every method takes its access before converting, so
// Python code run by a conversion (a __float__) finds this broker held and is refused.
template <const Signature<5>& Sig, bool IsLong>
PyObject* broker_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        const HeldReceiver<Broker> broker(self, broker_class);
        {
            ExclusiveAccess access(broker->access);
            const double price = bound.get<to_f64>(0);
            const double lot_size = bound.get<to_f64>(1);
            const std::int64_t timestamp = bound.get<to_i64>(2);
            const std::optional<double> stop_loss = bound.get<to_optional_f64>(3);
            const std::optional<double> take_profit = bound.get<to_optional_f64>(4);
            open_position(broker->record, IsLong, price, lot_size, timestamp, stop_loss,
                          take_profit);
        }
        return none();
    });
}

PyObject* broker_close_position(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_close_position, args, nargs, kwnames);
        const HeldReceiver<Broker> broker(self, broker_class);
        {
            ExclusiveAccess access(broker->access);
            const std::uint64_t id = bound.get<to_u64>(0);
            const double price = bound.get<to_f64>(1);
            const std::int64_t timestamp = bound.get<to_i64>(2);
            close_position(broker->record, id, price, timestamp);
        }
        return none();
    });
}

PyObject* broker_close_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_close_all, args, nargs, kwnames);
        const HeldReceiver<Broker> broker(self, broker_class);
        {
            ExclusiveAccess access(broker->access);
            const double price = bound.get<to_f64>(0);
            const std::int64_t timestamp = bound.get<to_i64>(1);
            close_all(broker->record, price, timestamp);
        }
        return none();
    });
}

PyObject* broker_equity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_equity, args, nargs, kwnames);
        const HeldReceiver<Broker> broker(self, broker_class);
        const double value = [&] {
            SharedAccess access(broker->access);
            const double current_price = bound.get<to_f64>(0);
            return equity(broker->record, current_price);
        }();
        // The float is made after the access is given back.
        return to_py(value);
    });
}

constexpr int k_fastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"buy", method_entry(broker_open<k_buy, true>), k_fastcall,
     "buy($self, price, lot_size, timestamp, stop_loss, take_profit)\n--\n\n"},
    {"sell", method_entry(broker_open<k_sell, false>), k_fastcall,
     "sell($self, price, lot_size, timestamp, stop_loss, take_profit)\n--\n\n"},
    {"close_position", method_entry(broker_close_position), k_fastcall,
     "close_position($self, id, price, timestamp)\n--\n\n"},
    {"close_all", method_entry(broker_close_all), k_fastcall,
     "close_all($self, price, timestamp)\n--\n\n"},
    {"equity", method_entry(broker_equity), k_fastcall, "equity($self, current_price)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec k_spec{
    "builtins.Broker",
    "Broker(initial_cash, commission, spread, contract_size, quote_to_account)\n--\n\n",
    instance_size<Broker>(),
    dealloc_instance<Broker>,
    broker_new,
    nullptr,
    g_methods,
    nullptr,
};

}  // namespace

ClassCell broker_class{k_spec};

}  // namespace cw
