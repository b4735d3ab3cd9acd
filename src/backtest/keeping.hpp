// What lets a run's results be pickled and copied: each class's reduction, and the module
// functions of candlewright._backtest that build the objects again from it.
#pragma once

#include "binding/errors.hpp"

namespace cw {

// _stats, _column, _trades, _trade, _position, _order.
extern PyMethodDef keeping_functions[];

// __reduce_ex__ of Column (the values as bytes, or a PickleBuffer from protocol 5 on).
PyObject* column_reduce_ex(PyObject* self, PyObject* protocol);
// __reduce__ of Trades (a bytes object per field), Trade, Position and Order.
PyObject* trades_reduce(PyObject* self, PyObject* unused);
PyObject* trade_reduce(PyObject* self, PyObject* unused);
PyObject* position_reduce(PyObject* self, PyObject* unused);
PyObject* order_reduce(PyObject* self, PyObject* unused);

}  // namespace cw
