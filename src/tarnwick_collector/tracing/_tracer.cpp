// The tracing layer on C-level trace and profile functions (CPython 3.10
// and 3.11).
//
// The trace function sees every Python frame start: library frames get line
// events switched off and are let go, unless project code called them
// directly (an external call, finished at their return); project frames get
// a state, opcode events where their code loads or calls, and, for plain
// functions, a record. The profile function only looks at C calls made by
// project frames. Values are read from the frame: the arguments from its
// fast locals at the start, the object of an attribute load and the result
// of a C call from the value stack, whose depth the interpreter stores
// before it calls a trace function. Nothing of the program's code is run.
#include "tarn/trace_hooks.hpp"
#include "tracer_state.hpp"

namespace tracer {

Strings S;

#if TRACER_AVAILABLE

Tracer& T = leak<Tracer>();

// ------------------------------------------------------- frame states

StatePtr find_state(PyFrameObject* f) {
    if (!f || T.frames.empty()) return {};
    auto it = T.frames.find(f);
    if (it == T.frames.end()) return {};
    if (it->second->code != frames::code(f)) return {};
    return it->second;
}

void forget(PyFrameObject* f, const StatePtr& st) {
    auto it = T.frames.find(f);
    if (it != T.frames.end() && it->second == st) {
        T.last_f = nullptr;
        T.frames.erase(it);
    }
}

void clear_pending(FrameState& st) {
    st.pending = P_NONE;
    st.p_obj.reset();
    st.p_extra.reset();
    st.p_entry = nullptr;
}

// What the caller's pending call instruction called, when it started the
// frame of `code`; the pending call is used up either way.
Ref called_by(FrameState* caller, PyObject* code, bool& bound) {
    bound = false;
    if (!caller || caller->pending != P_CALL) return {};
    Ref target = caller->p_obj, self = caller->p_extra;
    Ref fn;
    if (self) {
        // The method-call layout: an unbound function with its object.
        if (PyFunction_Check(target.get()) && PyFunction_GET_CODE(target.get()) == code) {
            bound = true;
            fn = Ref::steal(PyMethod_New(target.get(), self.get()));
        }
    } else {
        fn = trace::called_object(target.get(), nullptr, code, S.init, bound);
    }
    // Used up, unless a class may start its __init__ after its __new__.
    if (fn || !PyType_Check(target.get())) clear_pending(*caller);
    return fn;
}

// The function of a frame nothing told us about.
Ref function_of(PyFrameObject* f, PyObject* code) {
    PyObject* own = frames::function(f);
    if (own && PyFunction_Check(own) && PyFunction_GET_CODE(own) == code) return Ref::borrow(own);
    return call(T.finder.get(), reinterpret_cast<PyObject*>(f), code);
}

// What a starting frame runs: told by its caller's call, else looked for.
// `fn` stays empty when it cannot be found (counted); false only for an
// exception that must reach the program.
bool resolve(PyFrameObject* f, PyObject* code, FrameState* caller, Ref& fn, bool& bound) {
    fn = called_by(caller, code, bound);
    if (fn) return true;
    fn = function_of(f, code);
    if (!fn) return T.h.absorb_internal();
    if (fn.get() == Py_None) {
        fn.reset();
        ++T.h.n.unresolved;
    }
    return true;
}

// ------------------------------------------------------------- loads

bool load_attr(PyFrameObject* f, FrameState& st, const Entry& e, long offset) {
    if (T.peek) {
        PyObject* obj = stack(f, *st.info, 0);
        if (!obj) {
            ++T.h.n.attrs_unknown;
            return true;
        }
        st.pending = P_ATTR;
        st.p_obj = Ref::borrow(obj);
        st.p_entry = &e;
        return true;
    }
    Ref obj = static_source(frames::globals(f), frames::builtins(f), frames::fast_locals(f), st, e);
    if (PyErr_Occurred()) return T.h.absorb_internal();
    if (!obj) {
        ++T.h.n.attrs_unknown;
        return true;
    }
    Ref result = call(T.getattr_static.get(), obj.get(), e.name);
    if (!result) return T.h.absorb_internal();
    if (result.get() == T.static_missing.get()) return true;  // an AttributeError is coming
    bool unknown = result.get() == T.static_unknown.get();
    if (e.kind == E_ATTR) {
        st.last_attr_offset = unknown ? -1 : offset;
        st.last_attr = unknown ? Ref() : result;
    }
    return T.h.attr_loaded(obj.get(), e.name, unknown ? nullptr : result.get());
}

// The first positional argument of a call about to run, when there is one.
PyObject* first_argument(PyFrameObject* f, const CodeInfo& info, const Entry& e, bool null_slot) {
    int depth = e.call_depth;
    switch (e.layout) {
        case CALL_POSITIONAL:
            return depth >= 1 ? stack(f, info, depth - 1) : nullptr;
        case CALL_METHOD:  // NULL, callable, args
            return null_slot && depth >= 2 ? stack(f, info, depth - 2) : nullptr;
        case CALL_KW: {    // callable, args, names of the keyword ones
            PyObject* names = stack(f, info, 0);
            if (!names || !PyTuple_Check(names) || depth - 1 - PyTuple_GET_SIZE(names) < 1) return nullptr;
            return stack(f, info, depth - 1);
        }
        case CALL_EX: {    // callable, args tuple[, kwargs]
            PyObject* args = depth >= 1 ? stack(f, info, depth - 1) : nullptr;
            return args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) ? PyTuple_GET_ITEM(args, 0)
                                                                      : nullptr;
        }
        default:
            return nullptr;
    }
}

// A call instruction is about to run. What it calls is kept for the frame
// it starts; a C function called is an external call from here to the next
// instruction (its result is then the stack top) or to the exception it raises.
bool load_call(PyFrameObject* f, FrameState& st, const Entry& e) {
    PyObject* slot = stack(f, *st.info, e.call_depth);
    PyObject* above = e.call_depth >= 1 ? stack(f, *st.info, e.call_depth - 1) : nullptr;
    PyObject *target, *self = nullptr;
    if (e.method_call && !slot) {  // NULL: a plain callable above it
        target = above;
    } else if (e.method_call) {
        target = slot;
        self = above;
    } else {
        target = slot;
    }
    if (!target) return true;
    if (T.c_by_call && is_c_callable(target)) {
        // As the interpreter binds a method descriptor for a profiler.
        PyObject* on = self ? self : first_argument(f, *st.info, e, e.method_call && !slot);
        Ref bound = bind_c_descriptor(target, on);
        if (!bound && PyErr_Occurred()) PyErr_Clear();
        Ref ext;
        if (!T.h.enter_external(bound ? bound.get() : target, false, ext)) return false;
        if (ext) {
            st.pending = P_CRUN;
            st.p_obj = std::move(ext);
        }
        return true;
    }
    st.pending = P_CALL;
    st.p_obj = Ref::borrow(target);
    st.p_extra = Ref::borrow(self);
    return true;
}

// The instruction before this one has run: its result is the stack top.
bool settle(PyFrameObject* f, FrameState& st) {
    Pending kind = st.pending;
    if (kind == P_CALL) {
        clear_pending(st);
        return true;
    }
    Ref obj = std::move(st.p_obj);
    const Entry* load = st.p_entry;
    clear_pending(st);
    if (kind == P_C || kind == P_CRUN) {
        PyObject* value = stack(f, *st.info, 0);
        if (!value) ++T.h.n.c_results_unknown;
        return T.h.exit_external(obj, value, nullptr);
    }
    PyObject* top = stack(f, *st.info, 0);
    if (!top) return true;
    Ref result;
    if (load->kind == E_METHOD) {
        PyObject* meth = stack(f, *st.info, 1);
        if (meth) {
            result = bind_method(meth, top);
            if (!result && PyErr_Occurred()) PyErr_Clear();
        } else {
            result = Ref::borrow(top);
        }
    } else {
        result = Ref::borrow(top);
    }
    return T.h.attr_loaded(obj.get(), load->name, result.get());
}

// ------------------------------------------------------------- events

// The end of a project frame: whatever it started is over.
bool finish(FrameState& st, PyObject* value) {
    bool ok = true;
    if (st.pending == P_C || st.pending == P_CRUN) {
        Ref ext = std::move(st.p_obj);
        ok = T.h.exit_external(ext, nullptr, st.pending == P_CRUN ? st.exc.get() : nullptr) && ok;
    }
    clear_pending(st);
    if (st.ext) ok = T.h.exit_external(st.ext, nullptr, st.ext_raised ? st.exc.get() : nullptr) && ok;
    st.last_attr.reset();
    st.seen.clear();
    // A NULL value is an exception leaving the frame.
    if (st.record) ok = T.h.exit_user(st.record, value, value ? nullptr : st.exc.get()) && ok;
    st.exc.reset();
    return ok;
}

bool raised(FrameState& st, PyObject* exc_info) {
    PyObject* exc = PyTuple_Check(exc_info) && PyTuple_GET_SIZE(exc_info) >= 2
                        ? PyTuple_GET_ITEM(exc_info, 1)
                        : Py_None;
    if (st.library) {
        st.exc = Ref::borrow(exc);
        return true;
    }
    st.exc = Ref::borrow(exc);
    bool ok = true;
    if (st.pending == P_C || st.pending == P_CRUN) {
        // A C call still running raised; one that had returned did not.
        Ref ext = std::move(st.p_obj);
        ok = T.h.exit_external(ext, nullptr, st.pending == P_CRUN ? exc : nullptr);
    }
    clear_pending(st);
    if (st.ext && st.ext_raised) {
        st.ext_raised = false;
        ok = T.h.exit_external(st.ext, nullptr, exc) && ok;
    }
    return ok;
}

bool enter_library(PyFrameObject* f, PyObject* code, CodeInfo* info) {
    PyFrameObject* back = frames::caller(f);
    StatePtr caller = find_state(back);
    if (!caller || caller->library || caller->ext || caller->pending == P_CRUN || info->suspending)
        return true;  // inside a C call: a callback, not a call of the project's
    bool bound = false;
    Ref fn;
    if (!resolve(f, code, caller.get(), fn, bound)) return false;
    if (!fn) return true;
    Ref ext;
    if (!T.h.enter_external(fn.get(), true, ext)) return false;
    if (!ext) return true;
    auto st = std::make_shared<FrameState>();
    st->code = code;
    st->info = info;
    st->library = true;
    st->record = std::move(ext);
    T.frames[f] = std::move(st);
    return true;
}

bool enter_project(PyFrameObject* f, PyObject* code, CodeInfo* info) {
    if (info->kind == kSkip) return true;
    PyFrameObject* back = frames::caller(f);
    StatePtr caller = find_state(back);
    if (info->kind == kRecord && T.max_calls && info->seen++ >= T.max_calls) {
        ++T.h.n.capped;  // not traced at all: its loads and calls are not asked for
        if (caller && caller->pending == P_CALL) clear_pending(*caller);
        return true;
    }
    auto st = std::make_shared<FrameState>();
    st->code = code;
    st->info = info;
    T.frames[f] = st;
    if (info->loads || (info->calls && T.peek)) frames::set_trace_opcodes(f, true);
    if (info->kind != kRecord) {
        if (caller && caller->pending == P_CALL) clear_pending(*caller);
        return true;
    }
    bool bound = false;
    Ref fn;
    if (!resolve(f, code, caller.get(), fn, bound)) return false;
    if (!fn) return true;
    Ref args, kwargs;
    if (!info->args.read(frames::fast_locals(f), bound, args, kwargs)) return T.h.absorb_internal();
    return T.h.enter_user(fn.get(), args.get(), kwargs.get(), st->record);
}

// A thread whose layer was stopped (or belongs to an earlier start) goes
// back to what it had.
int detach_thread() {
    if (PyThreadState_Get() == T.owner) return 0;  // stop() is putting this one back
    PyEval_SetTrace(nullptr, nullptr);
    PyEval_SetProfile(nullptr, nullptr);
    if (T.detach) {
        Ref r = call(T.detach.get());
        if (!r) PyErr_Clear();
    }
    return 0;
}

// The program put its own trace or profile function in place of ours on
// this thread: recording stops here, and the summary says why.
void displaced(const char* what) {
    if (!T.displaced) T.displaced = Ref::steal(PyUnicode_FromString(what));
    if (!T.displaced) PyErr_Clear();
    // The other of the pair goes too: on the starting thread back to what it was.
    PyThreadState* ts = PyThreadState_Get();
    bool owner = ts == T.owner;
    if (ts->c_tracefunc == on_trace)
        PyEval_SetTrace(owner ? T.saved_trace : nullptr, owner ? T.saved_trace_obj.get() : nullptr);
    if (ts->c_profilefunc == on_profile)
        PyEval_SetProfile(owner ? T.saved_profile : nullptr,
                          owner ? T.saved_profile_obj.get() : nullptr);
}

// -1 only for an exception that must reach the program.
int done(bool ok) { return ok ? 0 : -1; }

int on_trace(PyObject* obj, PyFrameObject* f, int what, PyObject* arg) {
    if (!T.active || obj != T.trace_obj.get()) return what == PyTrace_CALL ? detach_thread() : 0;
    try {
        switch (what) {
            case PyTrace_CALL: {
                frames::set_trace_lines(f, false);
                if (!T.c_by_call && PyThreadState_Get()->c_profilefunc != on_profile) {
                    displaced("the program set its own profile function (sys.setprofile)");
                    return 0;
                }
                PyObject* code = frames::code(f);
                auto it = T.frames.find(f);
                if (it != T.frames.end()) {
                    // A frame whose end we did not see (our tracer was away):
                    // its memory is in use again; the old state is dropped.
                    StatePtr stale = std::move(it->second);
                    T.last_f = nullptr;
                    T.frames.erase(it);
                }
                CodeInfo* info = code_info(code);
                if (!info) return done(T.h.absorb_internal());
                if (info->kind == 0) return done(enter_library(f, code, info));
                return done(enter_project(f, code, info));
            }
            case PyTrace_OPCODE: {
                // Most instructions need nothing: looked at without holding the state.
                FrameState* raw = T.last_st;
                if (f != T.last_f) {
                    if (T.frames.empty()) return 0;
                    auto it = T.frames.find(f);
                    if (it == T.frames.end()) return 0;
                    raw = it->second.get();
                    T.last_f = f;
                    T.last_st = raw;
                }
                if (raw->library || raw->code != frames::code(f)) return 0;
                long offset = frames::lasti(f);
                const Entry* e = raw->info->entry(offset);
                if (!e && raw->pending == P_NONE) return 0;
                StatePtr st = raw->shared_from_this();  // held: the hooks may run any code
                bool ok = true;
                if (st->pending != P_NONE) ok = settle(f, *st);
                if (!e) return done(ok);
                if (e->kind == E_GLOBAL)
                    ok = load_global(T.h, frames::globals(f), frames::builtins(f), *st, *e) && ok;
                else if (e->kind == E_CALL) {
                    if (T.peek) ok = load_call(f, *st, *e) && ok;
                } else ok = load_attr(f, *st, *e, offset) && ok;
                return done(ok);
            }
            case PyTrace_EXCEPTION: {
                StatePtr st = find_state(f);
                if (!st) return 0;
                return done(raised(*st, arg));
            }
            case PyTrace_RETURN: {
                StatePtr st = find_state(f);
                if (!st) return 0;
                forget(f, st);
                frames::set_trace_opcodes(f, false);
                if (st->library) {
                    Ref ext = std::move(st->record);
                    return done(T.h.exit_external(ext, arg, arg ? nullptr : st->exc.get()));
                }
                return done(finish(*st, arg));
            }
            default:
                return 0;
        }
    } catch (...) {
        ++T.h.n.internal_errors;
        return 0;
    }
}

int on_profile(PyObject* obj, PyFrameObject* f, int what, PyObject* arg) {
    if (what == PyTrace_CALL || what == PyTrace_RETURN) {
        if (!T.active || obj != T.profile_obj.get()) return what == PyTrace_CALL ? detach_thread() : 0;
        if (what == PyTrace_CALL && PyThreadState_Get()->c_tracefunc != on_trace)
            displaced("the program set its own trace function (sys.settrace)");
        return 0;
    }
    if (!T.active || T.frames.empty()) return 0;
    try {
        StatePtr st = find_state(f);
        if (!st || st->library) return 0;
        switch (what) {
            case PyTrace_C_CALL:
                if (!st->ext) {
                    Ref ext;
                    if (!T.h.enter_external(arg, false, ext)) return -1;
                    if (ext) {
                        st->ext = std::move(ext);
                        st->ext_raised = false;
                    }
                }
                return 0;
            case PyTrace_C_RETURN:
                if (st->ext) {
                    if (T.peek && frames::trace_opcodes(f)) {
                        // The result is the stack top at the next instruction.
                        clear_pending(*st);
                        st->pending = P_C;
                        st->p_obj = std::move(st->ext);
                    } else {
                        ++T.h.n.c_results_unknown;
                        return done(T.h.exit_external(st->ext, nullptr, nullptr));
                    }
                }
                return 0;
            case PyTrace_C_EXCEPTION:
                if (st->ext) st->ext_raised = true;
                return 0;
            default:
                return 0;
        }
    } catch (...) {
        ++T.h.n.internal_errors;
        return 0;
    }
}

// --------------------------------------------------------- calibration
// A probe function runs under a probe tracer; what its frame shows must be
// what the probe knows: its code, globals, argument, and the object of its
// attribute load on the value stack.

struct Probe {
    PyObject* code = nullptr;
    PyObject* globals = nullptr;
    PyObject* arg = nullptr;
    long attr_offset = -1;
    bool started = false, layout = false, arg_ok = false, stack_ok = false;
};
Probe P;

int probe_trace(PyObject*, PyFrameObject* f, int what, PyObject*) {
    if (what == PyTrace_CALL) {
        if (frames::code(f) != P.code && !P.started) return 0;
        if (P.started) return 0;
        P.started = true;
        P.layout = frames::layout_matches(f, P.code, P.globals);
        P.arg_ok = P.layout && frames::fast_locals(f)[0] == P.arg;
        if (P.layout) {
            frames::set_trace_lines(f, false);
            frames::set_trace_opcodes(f, true);
        }
    } else if (what == PyTrace_OPCODE && P.layout && frames::code(f) == P.code) {
        if (frames::lasti(f) == P.attr_offset)
            P.stack_ok = frames::stack_item(f, reinterpret_cast<PyCodeObject*>(P.code), 0) == P.arg;
    } else if (what == PyTrace_LINE && P.layout && frames::code(f) == P.code) {
        P.layout = false;  // line events were not switched off: not the field we wrote
    }
    return 0;
}

bool calibrate(PyObject* fn, PyObject* arg, long attr_offset, bool& layout, bool& stack_ok) {
    P = Probe{};
    P.code = PyFunction_GET_CODE(fn);
    P.globals = PyFunction_GET_GLOBALS(fn);
    P.arg = arg;
    P.attr_offset = attr_offset;
    PyThreadState* ts = PyThreadState_Get();
    Py_tracefunc old = ts->c_tracefunc;
    Ref old_obj = Ref::borrow(ts->c_traceobj);
    PyEval_SetTrace(probe_trace, nullptr);
    Ref r = call(fn, arg);
    HeldError err;
    PyEval_SetTrace(old, old_obj.get());
    err.restore();
    layout = P.started && P.layout && P.arg_ok;
    stack_ok = layout && P.stack_ok;
    P = Probe{};
    if (!r) return false;
    return true;
}

// ---------------------------------------------------------- start/stop

// start(hooks or None, builder, finder, getattr_static, missing, unknown,
//       token, max_calls, peek, probe, probe_arg, probe_offset, session, detach)
//   -> (trace object, profile object, stack reads on)
PyObject* start(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 14) {
            PyErr_SetString(PyExc_TypeError, "start() takes 14 arguments");
            return nullptr;
        }
        if (T.active) {
            PyErr_SetString(PyExc_RuntimeError, "the tracing layer is already running");
            return nullptr;
        }
        long long cap = PyLong_AsLongLong(args[7]);
        if (cap < 0 && PyErr_Occurred()) return nullptr;
        int want_peek = PyObject_IsTrue(args[8]);
        if (want_peek < 0) return nullptr;
        long probe_offset = PyLong_AsLong(args[11]);
        unsigned long long session = PyLong_AsUnsignedLongLong(args[12]);
        if (PyErr_Occurred()) return nullptr;
        if (!PyFunction_Check(args[9])) {
            PyErr_SetString(PyExc_TypeError, "probe must be a function");
            return nullptr;
        }
        if (!T.h.bind(args[0], args[6])) return nullptr;
        T.builder = Ref::borrow(args[1]);
        T.finder = Ref::borrow(args[2]);
        T.getattr_static = Ref::borrow(args[3]);
        T.static_missing = Ref::borrow(args[4]);
        T.static_unknown = Ref::borrow(args[5]);
        T.detach = Ref::borrow(args[13]);
        T.max_calls = cap > 0 ? static_cast<std::uint64_t>(cap) : 0;
        if (T.extra_index < 0) {
            T.extra_index = compat::request_code_extra_index(free_info);
            if (T.extra_index < 0) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no code extra slot");
                return nullptr;
            }
        }
        bool layout = false, stack_ok = false;
        if (!calibrate(args[9], args[10], probe_offset, layout, stack_ok)) return nullptr;
        if (!layout) {
            PyErr_SetString(PyExc_RuntimeError,
                            "the interpreter's frame layout is not the one this layer reads");
            return nullptr;
        }
        T.peek = want_peek && stack_ok;
        // With stack reads a C call is seen at its call instruction; the
        // profile function is then not needed at all.
        T.c_by_call = T.peek;
        if (!T.trace_obj) {
            T.trace_obj = Ref::steal(PyCFunction_NewEx(&entry_defs[0], nullptr, nullptr));
            T.profile_obj = Ref::steal(PyCFunction_NewEx(&entry_defs[1], nullptr, nullptr));
            if (!T.trace_obj || !T.profile_obj) return nullptr;
        }
        if (session != T.generation) {
            T.generation = session;
            T.h.n = Counters{};
        }
        T.displaced.reset();
        T.resumed = false;
        PyThreadState* ts = PyThreadState_Get();
        T.owner = ts;
        T.saved_trace = ts->c_tracefunc;
        T.saved_trace_obj = Ref::borrow(ts->c_traceobj);
        T.saved_profile = ts->c_profilefunc;
        T.saved_profile_obj = Ref::borrow(ts->c_profileobj);
        if (!swap_start_new_thread(true)) return nullptr;
        T.active = true;
        install_here();
        return Py_BuildValue("(OOO)", T.trace_obj.get(),
                             T.c_by_call ? Py_None : T.profile_obj.get(), T.peek ? Py_True : Py_False);
    });
}

// stop(): this thread's tracers back to what they were, unless the program
// put its own in place of ours; other threads detach at their next event.
//   -> None, or why recording stopped early
PyObject* stop(PyObject*, PyObject* const*, Py_ssize_t) {
    return guarded([&]() -> PyObject* {
        if (!T.active) Py_RETURN_NONE;
        T.active = false;
        PyThreadState* ts = PyThreadState_Get();
        // Without the profile function (C calls seen at their instructions)
        // the program's own profile function is none of our business.
        bool trace_ours = ts->c_tracefunc == on_trace;
        bool profile_ours = !T.c_by_call && ts->c_profilefunc == on_profile;
        bool profile_kept = T.c_by_call || profile_ours;
        if (!T.displaced && (!trace_ours || !profile_kept) && ts == T.owner) {
            T.displaced = Ref::steal(PyUnicode_FromString(
                !trace_ours ? "the program set its own trace function (sys.settrace)"
                            : "the program set its own profile function (sys.setprofile)"));
            if (!T.displaced) PyErr_Clear();
        }
        bool owner = ts == T.owner;
        if (trace_ours)
            PyEval_SetTrace(owner ? T.saved_trace : nullptr, owner ? T.saved_trace_obj.get() : nullptr);
        if (profile_ours)
            PyEval_SetProfile(owner ? T.saved_profile : nullptr,
                              owner ? T.saved_profile_obj.get() : nullptr);
        T.saved_trace_obj.reset();
        T.saved_profile_obj.reset();
        T.owner = nullptr;
        // Frames still running are left as they are: their calls are not
        // finished with a return that did not happen. Opcode events off for the frames that still run (found on the
        // threads' stacks: a frame whose end was missed may be gone).
        auto states = std::move(T.frames);
        T.frames = {};
        T.last_f = nullptr;
        for (PyThreadState* t = PyInterpreterState_ThreadHead(ts->interp); t; t = PyThreadState_Next(t)) {
            frames::for_each_running(t, [&](PyFrameObject* f) {
                if (states.find(f) != states.end()) frames::set_trace_opcodes(f, false);
            });
        }
        states.clear();
        bool ok = swap_start_new_thread(false);
        if (!ok) return nullptr;
        return T.displaced ? T.displaced.new_ref() : Py_NewRef(Py_None);
    });
}

PyObject* stats(PyObject*, PyObject* const*, Py_ssize_t) {
    return guarded([&]() -> PyObject* { return T.h.stats(static_cast<Py_ssize_t>(T.frames.size())); });
}

PyObject* is_active(PyObject*, PyObject* const*, Py_ssize_t) { return PyBool_FromLong(T.active); }

PyObject* stopped_reason(PyObject*, PyObject* const*, Py_ssize_t) {
    return T.displaced ? T.displaced.new_ref() : Py_NewRef(Py_None);
}

PyMethodDef functions[] = {
    {"start", as_method(start), METH_FASTCALL, nullptr},
    {"stop", as_method(stop), METH_FASTCALL, nullptr},
    {"stats", as_method(stats), METH_FASTCALL, nullptr},
    {"active", as_method(is_active), METH_FASTCALL, nullptr},
    {"stopped_reason", as_method(stopped_reason), METH_FASTCALL, nullptr},
    {}};

#else  // not TRACER_AVAILABLE

PyMethodDef functions[] = {{}};

#endif

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_tracer",
                          "The tracing layer's trace and profile functions.", -1, functions};

}  // namespace tracer

using namespace tracer;

PyMODINIT_FUNC PyInit__tracer() {
    Ref m = Ref::steal(PyModule_Create(&module_def));
    if (!m || !S.create()) return nullptr;
#if TRACER_AVAILABLE
    if (PyType_Ready(&BootType) < 0) return nullptr;
#endif
    if (PyModule_AddIntConstant(m.get(), "AVAILABLE", TRACER_AVAILABLE) < 0) return nullptr;
    return m.release();
}
