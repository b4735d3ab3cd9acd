// The native side of candlewright.Portfolio.
#pragma once

#include "binding/classes.hpp"

namespace cw {

extern ClassCell portfolio_class;
extern PyMethodDef portfolio_functions[];

}  // namespace cw
