// The Python class Broker.
#pragma once

#include "binding/classes.hpp"
#include "broker/broker.hpp"

namespace cw {

extern ClassCell broker_class;
using BrokerObject = Instance<Broker>;

// A new Broker object holding `broker`.
[[nodiscard]] inline Ref new_broker(Broker&& broker) {
    return new_instance(broker_class.type(), std::move(broker));
}

}  // namespace cw
