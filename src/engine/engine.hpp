// The engine's record: its bars, the account template every run starts from, and the equity curve
// of the latest run.
#pragma once

#include <vector>

#include "broker/broker.hpp"
#include "market/bar.hpp"

namespace cw {

struct Engine {
    std::vector<Bar> data;              // never changed after construction
    Broker broker;                      // template: read by each run, never traded on
    std::vector<double> equity_curve;   // one point per bar of the latest run
};

}  // namespace cw
