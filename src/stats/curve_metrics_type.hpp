// The module functions of candlewright._backtest behind candlewright.metrics: the passes over an
// equity curve and a run's trades, read from buffers without the interpreter lock.
#pragma once

#include "binding/compat.hpp"

namespace cw {

// _curve_metrics and _trade_metrics.
extern PyMethodDef curve_metrics_functions[];

}  // namespace cw
