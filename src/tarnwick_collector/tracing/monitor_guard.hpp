// The program's claim on the tool id the monitoring layer holds.
//
// While the layer runs, sys.monitoring.use_tool_id is a stand-in that calls
// the interpreter's own function with the same arguments; when those ask
// for the id we hold and would otherwise succeed, the layer is told to give
// the id up first, so that the program's call succeeds as it would without
// recording. Every other call is the original's, errors included.
#pragma once

#include <Python.h>

namespace tarn::monitor_guard {

// Runs (with no exception pending) before the original is called for `tool`;
// it must free the id. An exception it leaves is counted, never raised.
using YieldFn = void (*)(int tool);

// Puts the stand-in on `monitoring` for `tool`. False with an exception set.
bool install(PyObject* monitoring, int tool, YieldFn on_yield);
// Puts the original back unless the program replaced the attribute itself;
// the stand-in, if the program kept it, only forwards from then on.
bool remove(PyObject* monitoring);

}  // namespace tarn::monitor_guard
