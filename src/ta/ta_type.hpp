// The module functions of candlewright._backtest behind candlewright.ta: each fills output arrays
// that the caller made, from columns of doubles, without the interpreter lock.
#pragma once

#include "binding/compat.hpp"

namespace cw {

// _ta_sma, _ta_ema, ... one per indicator.
extern PyMethodDef ta_functions[];

}  // namespace cw
