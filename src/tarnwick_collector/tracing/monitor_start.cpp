// Starting and stopping the sys.monitoring layer: the tool id, the
// callbacks, the probe that checks the frame layout, and the counters.
#include "monitor_state.hpp"

#include "monitor_guard.hpp"

#if MONITOR_AVAILABLE

namespace monitor {

// ---------------------------------------------------------- start/stop

PyMethodDef callback_defs[] = {
    {"py_start", as_method(on_py_start), METH_FASTCALL, nullptr},
    {"py_return", as_method(on_py_return), METH_FASTCALL, nullptr},
    {"py_unwind", as_method(on_py_unwind), METH_FASTCALL, nullptr},
    {"py_throw", as_method(on_py_throw), METH_FASTCALL, nullptr},
    {"raise_", as_method(on_raise), METH_FASTCALL, nullptr},
    {"call", as_method(on_call), METH_FASTCALL, nullptr},
    {"c_return", as_method(on_c_return), METH_FASTCALL, nullptr},
    {"c_raise", as_method(on_c_raise), METH_FASTCALL, nullptr},
    {"instruction", as_method(on_instruction), METH_FASTCALL, nullptr},
    {}};
const int callback_events[] = {EV_PY_START, EV_PY_RETURN, EV_PY_UNWIND, EV_PY_THROW, EV_RAISE,
                               EV_CALL,     EV_C_RETURN,  EV_C_RAISE,   EV_INSTRUCTION};
// Never destroyed (see leak()).
Ref* const callbacks = new Ref[std::size(callback_events)];

bool register_all(PyObject* module, bool on) {
    Ref tool = Ref::steal(PyLong_FromLong(M.tool));
    if (!tool) return false;
    for (std::size_t i = 0; i < std::size(callback_events); ++i) {
        if (on && !callbacks[i]) {
            callbacks[i] = Ref::steal(PyCFunction_NewEx(&callback_defs[i], nullptr, nullptr));
            if (!callbacks[i]) return false;
        }
        (void)module;
        Ref ev = Ref::steal(PyLong_FromLong(bit(callback_events[i])));
        if (!ev) return false;
        // With stack reads a C call ends at the next instruction; C_RETURN and
        // C_RAISE come with CALL all the same, so they get no callback.
        bool c_end = callback_events[i] == EV_C_RETURN || callback_events[i] == EV_C_RAISE;
        bool wanted = on && !(c_end && M.peek);
        Ref r = call_method(M.monitoring.get(), S.register_callback, tool.get(), ev.get(),
                            wanted ? callbacks[i].get() : Py_None);
        if (!r) return false;
    }
    return true;
}

bool set_global_events(long mask) {
    Ref tool = Ref::steal(PyLong_FromLong(M.tool));
    Ref events = Ref::steal(PyLong_FromLong(mask));
    if (!tool || !events) return false;
    return bool(call_method(M.monitoring.get(), S.set_events, tool.get(), events.get()));
}

// Tries the profiler's id, then the debugger's; -1 when both are taken.
int take_tool_id() {
    for (int id : {2, 0}) {
        Ref tool = Ref::steal(PyLong_FromLong(id));
        if (!tool) return -2;
        Ref owner = call_method(M.monitoring.get(), S.get_tool, tool.get());
        if (!owner) return -2;
        if (owner.get() != Py_None) continue;
        if (!call_method(M.monitoring.get(), S.use_tool_id, tool.get(), S.tool_name)) return -2;
        return id;
    }
    return -1;
}

// --------------------------------------------------------- calibration
// A probe function is run with our callbacks; the reads it shows must be
// what the probe knows: its code, function, globals, argument and the
// object of its attribute load at the worked-out depth.

struct Probe {
    bool running = false;
    PyObject* code = nullptr;
    PyObject* fn = nullptr;
    PyObject* arg = nullptr;
    int attr_offset = -1, attr_depth = 0;
    bool started = false, frame_ok = false, arg_ok = false, stack_ok = false;
};
Probe P;

PyObject* probe_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs >= 1 && args[0] == P.code) {
        IFrame* f = current_frame();
        P.started = true;
        P.frame_ok = frames::layout_matches(f, P.code, P.fn, PyFunction_GET_GLOBALS(P.fn));
        P.arg_ok = P.frame_ok && frames::localsplus(f)[0] == P.arg;
    }
    Py_RETURN_NONE;
}

PyObject* probe_instruction(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs >= 2 && args[0] == P.code && P.frame_ok) {
        long offset = PyLong_AsLong(args[1]);
        if (offset == P.attr_offset) {
            IFrame* f = current_frame();
            auto* code = reinterpret_cast<PyCodeObject*>(P.code);
            P.stack_ok = frames::localsplus(f)[code->co_nlocalsplus + P.attr_depth - 1] == P.arg;
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef probe_defs[] = {
    {"probe_start", as_method(probe_start), METH_FASTCALL, nullptr},
    {"probe_instruction", as_method(probe_instruction), METH_FASTCALL, nullptr},
    {}};

// calibrate(fn, arg, attr_offset, attr_depth): runs fn(arg) under probe
// callbacks; returns (frame layout ok, stack reads ok).
bool calibrate(PyObject* fn, PyObject* arg, int attr_offset, int attr_depth, bool& layout,
               bool& stack) {
    P = Probe{};
    P.code = PyFunction_GET_CODE(fn);
    P.fn = fn;
    P.arg = arg;
    P.attr_offset = attr_offset;
    P.attr_depth = attr_depth;
    Ref tool = Ref::steal(PyLong_FromLong(M.tool));
    Ref start = Ref::steal(PyCFunction_NewEx(&probe_defs[0], nullptr, nullptr));
    Ref instr = Ref::steal(PyCFunction_NewEx(&probe_defs[1], nullptr, nullptr));
    Ref ev_start = Ref::steal(PyLong_FromLong(bit(EV_PY_START)));
    Ref ev_instr = Ref::steal(PyLong_FromLong(bit(EV_INSTRUCTION)));
    Ref mask = Ref::steal(PyLong_FromLong(bit(EV_PY_START) | bit(EV_INSTRUCTION)));
    if (!tool || !start || !instr || !ev_start || !ev_instr || !mask) return false;
    auto reg = [&](PyObject* ev, PyObject* cb) {
        return bool(call_method(M.monitoring.get(), S.register_callback, tool.get(), ev, cb));
    };
    if (!reg(ev_start.get(), start.get()) || !reg(ev_instr.get(), instr.get())) return false;
    bool ok = set_local_events(P.code, bit(EV_PY_START) | bit(EV_INSTRUCTION));
    if (ok) {
        Ref r = call(fn, arg);
        HeldError err;  // the clean-up below runs either way
        ok = set_local_events(P.code, 0) && bool(r);
        if (!r) err.restore();
        else PyErr_Clear();
    }
    {
        HeldError err;
        bool clean = reg(ev_start.get(), Py_None) && reg(ev_instr.get(), Py_None);
        if (!ok) err.restore();
        else if (!clean) ok = false;
    }
    layout = P.started && P.frame_ok && P.arg_ok;
    stack = layout && P.stack_ok;
    P = Probe{};
    return ok;
}

bool shutdown();
void yield_tool(int tool);

// start(hooks or None, builder, finder, getattr_static, missing, unknown,
//       token, max_calls, peek, probe, probe_arg, probe_offset, probe_depth,
//       session)
// The code tables and call counts of a session are kept for the next start
// with the same session number (the same tracer started again).
//   -> (tool id, stack reads on) ; raises when the layer cannot start.
PyObject* start(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 14) {
            PyErr_SetString(PyExc_TypeError, "start() takes 14 arguments");
            return nullptr;
        }
        if (M.active) {
            PyErr_SetString(PyExc_RuntimeError, "the monitoring layer is already running");
            return nullptr;
        }
        if (!M.h.bind(args[0], args[6])) return nullptr;
        M.builder = Ref::borrow(args[1]);
        M.finder = Ref::borrow(args[2]);
        M.getattr_static = Ref::borrow(args[3]);
        M.static_missing = Ref::borrow(args[4]);
        M.static_unknown = Ref::borrow(args[5]);
        long long cap = PyLong_AsLongLong(args[7]);
        if (cap < 0 && PyErr_Occurred()) return nullptr;
        M.max_calls = cap > 0 ? static_cast<std::uint64_t>(cap) : 0;
        int want_peek = PyObject_IsTrue(args[8]);
        if (want_peek < 0) return nullptr;
        long probe_offset = PyLong_AsLong(args[11]);
        long probe_depth = PyLong_AsLong(args[12]);
        unsigned long long session = PyLong_AsUnsignedLongLong(args[13]);
        if (PyErr_Occurred()) return nullptr;
        if (!PyFunction_Check(args[9])) {
            PyErr_SetString(PyExc_TypeError, "probe must be a function");
            return nullptr;
        }
        if (M.extra_index < 0) {
            M.extra_index = compat::request_code_extra_index(free_info);
            if (M.extra_index < 0) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no code extra slot");
                return nullptr;
            }
        }
        int tool = take_tool_id();
        if (tool == -2) return nullptr;
        if (tool == -1) {
            PyErr_SetString(PyExc_RuntimeError,
                            "the profiler and debugger monitoring tool ids are both in use");
            return nullptr;
        }
        M.tool = tool;
        bool layout = false, stack = false;
        if (!calibrate(args[9], args[10], static_cast<int>(probe_offset),
                       static_cast<int>(probe_depth), layout, stack)) {
            Ref t = Ref::steal(PyLong_FromLong(M.tool));
            HeldError err;
            if (t) (void)call_method(M.monitoring.get(), S.free_tool_id, t.get());
            PyErr_Clear();
            err.restore();
            M.tool = -1;
            return nullptr;
        }
        if (!layout) {
            Ref t = Ref::steal(PyLong_FromLong(M.tool));
            if (t) (void)call_method(M.monitoring.get(), S.free_tool_id, t.get());
            PyErr_Clear();
            M.tool = -1;
            PyErr_SetString(PyExc_RuntimeError,
                            "the interpreter's frame layout is not the one this layer reads");
            return nullptr;
        }
        M.layout_ok = layout;
        M.peek = want_peek && stack;
        M.local_mask = bit(EV_PY_RETURN) | bit(EV_CALL) | bit(EV_INSTRUCTION);
        if (!M.peek) M.local_mask |= bit(EV_C_RETURN) | bit(EV_C_RAISE);
        if (session != M.generation) {
            M.generation = session;
            M.h.n = Counters{};
        }
        M.stopped_reason.reset();
        M.started = std::chrono::steady_clock::now();
        M.active = true;
        if (!register_all(module, true) ||
            !set_global_events(bit(EV_PY_START) | bit(EV_PY_UNWIND) | bit(EV_PY_THROW) |
                               bit(EV_RAISE)) ||
            !monitor_guard::install(M.monitoring.get(), M.tool, yield_tool)) {
            HeldError err;
            (void)shutdown();
            PyErr_Clear();
            err.restore();
            return nullptr;
        }
        return Py_BuildValue("(iO)", M.tool, M.peek ? Py_True : Py_False);
    });
}

// Every event off, the tool id given back, running frames forgotten.
// False with an exception set when a step failed (the others still ran).
bool shutdown() {
    M.active = false;
    bool ok = monitor_guard::remove(M.monitoring.get());
    ok = set_global_events(0) && ok;
    std::vector<CodeInfo*> codes(M.with_local_events.begin(), M.with_local_events.end());
    M.with_local_events.clear();
    for (CodeInfo* info : codes) {
        info->local_events = false;
        info->watched = false;
        ok = set_local_events(info->code, 0) && ok;
    }
    ok = register_all(nullptr, false) && ok;
    Ref tool = Ref::steal(PyLong_FromLong(M.tool));
    ok = tool && call_method(M.monitoring.get(), S.free_tool_id, tool.get()) && ok;
    M.tool = -1;
    // Frames still running are left as they are: their calls are not
    // finished with a return that did not happen.
    auto states = std::move(M.frames);
    M.frames = {};
    for (auto& [f, st] : states) {
        (void)f;
        if (st->counted) {
            st->counted = false;
            --st->info->live;
        }
    }
    return ok;
}

// The program asks for the id we hold: it gets it, the recording ends here.
void yield_tool(int tool) {
    if (!M.active || tool != M.tool) return;
    M.stopped_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - M.started).count();
    M.stopped_calls = M.h.n.user_calls;
    M.stopped_reason = Ref::steal(
        PyUnicode_FromFormat("the program took the sys.monitoring tool id %d", tool));
    if (!M.stopped_reason) (void)M.h.absorb_internal();
    if (!shutdown()) (void)M.h.absorb_internal();
}

// stop(): see shutdown().
PyObject* stop(PyObject*, PyObject* const*, Py_ssize_t) {
    return guarded([&]() -> PyObject* {
        if (!M.active) Py_RETURN_NONE;
        if (!shutdown()) return nullptr;
        Py_RETURN_NONE;
    });
}

// None, or (why, seconds after start, calls traced by then) when the layer
// stopped before stop() was called.
PyObject* stopped(PyObject*, PyObject* const*, Py_ssize_t) {
    if (!M.stopped_reason) Py_RETURN_NONE;
    return Py_BuildValue("(OdK)", M.stopped_reason.get(), M.stopped_seconds,
                         static_cast<unsigned long long>(M.stopped_calls));
}

PyObject* stats(PyObject*, PyObject* const*, Py_ssize_t) {
    return guarded([&]() -> PyObject* {
        return M.h.stats(static_cast<Py_ssize_t>(M.frames.size()));
    });
}

PyObject* is_active(PyObject*, PyObject* const*, Py_ssize_t) {
    return PyBool_FromLong(M.active);
}

PyObject* tool_id(PyObject*, PyObject* const*, Py_ssize_t) {
    return PyLong_FromLong(M.tool);
}

PyMethodDef functions[] = {
    {"start", as_method(start), METH_FASTCALL, nullptr},
    {"stop", as_method(stop), METH_FASTCALL, nullptr},
    {"stats", as_method(stats), METH_FASTCALL, nullptr},
    {"active", as_method(is_active), METH_FASTCALL, nullptr},
    {"tool_id", as_method(tool_id), METH_FASTCALL, nullptr},
    {"stopped", as_method(stopped), METH_FASTCALL, nullptr},
    {}};

}  // namespace monitor

#endif
