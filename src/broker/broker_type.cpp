// The Python class Broker: a constructor and five methods, no attributes.
#include "broker/broker_type.hpp"

#include "broker/methods.hpp"

namespace cw {
namespace {

constexpr methods::Signatures<5> k_signatures{"Broker", methods::k_open_names, 5};
const auto k_methods = methods::table<PlainBook, broker_class, k_signatures>(
    "buy($self, price, lot_size, timestamp, stop_loss, take_profit)\n--\n\n",
    "sell($self, price, lot_size, timestamp, stop_loss, take_profit)\n--\n\n");
PyMethodDef g_methods[] = {
    k_methods[0], k_methods[1], k_methods[2], k_methods[3], k_methods[4],
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec k_spec{
    "builtins.Broker",
    "Broker(initial_cash, commission, spread, contract_size, quote_to_account)\n--\n\n",
    instance_size<Broker>(),
    dealloc_instance<Broker>,
    methods::construct<PlainBook, k_signatures>,
    nullptr,
    g_methods,
    nullptr,
};

}  // namespace

ClassCell broker_class{k_spec};

}  // namespace cw
