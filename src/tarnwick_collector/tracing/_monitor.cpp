// The tracing layer on sys.monitoring (CPython 3.12 and later).
//
// Events: PY_START for all code (library code answers DISABLE once and then
// runs untouched); PY_UNWIND, PY_THROW and RAISE for all code (they cannot
// be limited); on project code only, as local events, PY_RETURN, CALL and,
// where the code loads globals or attributes or makes calls, INSTRUCTION
// (offsets that need nothing answer DISABLE). A library Python function
// called from project code gets PY_RETURN on its code for the end of that
// call. Values come from the interpreter's frame record: the arguments from
// the fast locals at PY_START, the object of an attribute load and the
// result of a call from the value stack, at a depth worked out from the
// bytecode once per code object. Nothing of the program's own code is run.
#include "monitor_state.hpp"

namespace monitor {

Strings S;

#if MONITOR_AVAILABLE

Monitor& M = leak<Monitor>();

// ------------------------------------------------------- frame states

IFrame* current_frame() { return frames::current(PyThreadState_Get()); }

StatePtr find_state(IFrame* f, PyObject* code) {
    if (!f) return {};
    auto it = M.frames.find(f);
    if (it == M.frames.end()) return {};
    if (it->second->code != code) return {};
    return it->second;
}

// The state of the project frame whose call instruction started `f`: its
// direct caller, or the one below a C entry record (a class call, whose
// __init__ the type starts). Matches are checked by code identity after.
StatePtr caller_state(IFrame* f) {
    IFrame* back = frames::python_caller(f);
    if (!back) back = frames::caller_through_c(f);
    return back ? find_state(back, frames::code(back)) : StatePtr();
}

// The frame's end: whatever it started is over.
bool finish(FrameState& st, PyObject* value, PyObject* exc) {
    bool ok = true;
    if (st.c_ext) {
        ++M.h.n.c_results_unknown;
        ok = M.h.exit_external(st.c_ext, nullptr, exc) && ok;
    }
    if (st.lib_ext) ok = M.h.exit_external(st.lib_ext, nullptr, exc) && ok;
    st.call_target.reset();
    st.call_arg0.reset();
    st.attr_obj.reset();
    st.last_attr.reset();
    if (st.record) ok = M.h.exit_user(st.record, value, exc) && ok;
    return ok;
}

void forget(IFrame* f, const StatePtr& st) {
    auto it = M.frames.find(f);
    if (it != M.frames.end() && it->second == st) M.frames.erase(it);
    if (st->counted) {
        st->counted = false;
        CodeInfo* info = st->info;
        if (--info->live == 0 && info->switch_off && info->generation == M.generation &&
            !switch_off(*info))
            M.h.absorb_internal();
    }
}

// A frame whose end we did not see (its address is in use again): its
// record is dropped, not finished with a return that did not happen.
void drop_stale(IFrame* f) {
    auto it = M.frames.find(f);
    if (it == M.frames.end()) return;
    StatePtr st = it->second;
    ++M.h.n.internal_errors;
    forget(f, st);
}

// ------------------------------------------------------------ settling
// The instruction before `offset` has run: what waited for its result gets it.

bool settle(IFrame* f, FrameState& st, long offset) {
    bool ok = true;
    CodeInfo& info = *st.info;
    st.call_target.reset();
    st.call_arg0.reset();
    if (st.c_ext) {
        const Entry* call = info.entry(st.c_offset);
        PyObject* value = nullptr;
        if (M.peek && call && call->next == offset) {
            value = stack_slot(f, info, call->next_depth);
        }
        if (!value) ++M.h.n.c_results_unknown;
        ok = M.h.exit_external(st.c_ext, value, nullptr) && ok;
    }
    if (st.lib_ext) {
        // Its frame's return was not seen (a class built without Python code).
        const Entry* call = info.entry(st.lib_offset);
        PyObject* value = nullptr;
        if (M.peek && call && call->next == offset) value = stack_slot(f, info, call->next_depth);
        if (!value) ++M.h.n.c_results_unknown;
        ok = M.h.exit_external(st.lib_ext, value, nullptr) && ok;
        st.lib_code = nullptr;
    }
    if (st.attr_obj) {
        Ref obj = std::move(st.attr_obj);
        const Entry* load = st.attr_entry;
        st.attr_entry = nullptr;
        if (load->next == offset) {
            PyObject* top = stack_slot(f, info, load->next_depth);
            Ref result;
            if (load->kind == E_METHOD) {
                PyObject *meth = nullptr, *self_or_attr = nullptr;
                frames::method_load_result(stack_slot(f, info, load->next_depth - 1), top, &meth,
                                           &self_or_attr);
                if (self_or_attr) {
                    if (!meth) {
                        result = Ref::borrow(self_or_attr);
                    } else {
                        result = bind_method(meth, self_or_attr);
                        if (!result && PyErr_Occurred()) PyErr_Clear();
                    }
                    ok = M.h.attr_loaded(obj.get(), load->name, result.get()) && ok;
                }
            } else if (top) {
                ok = M.h.attr_loaded(obj.get(), load->name, top) && ok;
            }
        }
    }
    return ok;
}

// ----------------------------------------------------------- the loads

bool load_attr(IFrame* f, FrameState& st, const Entry& e, long offset) {
    if (M.peek) {
        PyObject* obj = stack_slot(f, *st.info, e.depth);
        if (!obj) {
            ++M.h.n.attrs_unknown;
            return true;
        }
        st.attr_obj = Ref::borrow(obj);
        st.attr_entry = &e;
        return true;
    }
    Ref obj = static_source(frames::globals(f), frames::builtins(f), frames::localsplus(f), st, e);
    if (PyErr_Occurred()) return M.h.absorb_internal();
    if (!obj) {
        ++M.h.n.attrs_unknown;
        return true;
    }
    Ref result = call(M.getattr_static.get(), obj.get(), e.name);
    if (!result) return M.h.absorb_internal();
    if (result.get() == M.static_missing.get()) return true;  // an AttributeError is coming
    bool unknown = result.get() == M.static_unknown.get();
    if (e.kind == E_ATTR) {
        st.last_attr_offset = unknown ? -1 : offset;
        st.last_attr = unknown ? Ref() : result;
    }
    return M.h.attr_loaded(obj.get(), e.name, unknown ? nullptr : result.get());
}

// What a call instruction of the caller called, when it started this
// frame: the called object and whether the frame's first argument is bound
// in it. Empty when it started something else.
Ref called_object(FrameState& caller, PyObject* code, bool& bound) {
    PyObject* arg0 = caller.call_arg0.get();
    if (arg0 == M.missing.get()) arg0 = nullptr;
    return trace::called_object(caller.call_target.get(), arg0, code, S.init, bound);
}

// ------------------------------------------------------------- events

PyObject* disable() { return Py_NewRef(M.disable.get()); }
PyObject* keep() { Py_RETURN_NONE; }

long offset_of(PyObject* o) { return PyLong_AsLong(o); }

PyObject* on_py_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!M.active || nargs < 2) return disable();
        PyObject* code = args[0];
        CodeInfo* info = code_info(code);
        if (!info) return M.h.absorb_internal() ? keep() : nullptr;
        if (info->kind == 0) return info->watched ? keep() : disable();
        if (info->kind == kSkip) return disable();
        IFrame* f = current_frame();
        if (!f || frames::code(f) != code) {
            ++M.h.n.internal_errors;
            return keep();
        }
        drop_stale(f);
        StatePtr caller = caller_state(f);
        if (caller && info->kind != kRecord) {
            caller->call_target.reset();
            caller->call_arg0.reset();
        }
        if (info->kind == kRecord && M.max_calls && info->seen++ >= M.max_calls) {
            ++M.h.n.capped;
            if (info->live == 0) {
                if (info->local_events && !switch_off(*info) && !M.h.absorb_internal()) return nullptr;
            } else {
                info->switch_off = true;
            }
            return keep();
        }
        if (!ensure_local_events(*info)) return M.h.absorb_internal() ? keep() : nullptr;
        auto st = std::make_shared<FrameState>();
        st->code = code;
        st->info = info;
        st->counted = true;
        ++info->live;
        M.frames[f] = st;
        if (info->kind != kRecord) return keep();

        bool bound = false;
        Ref fn;
        if (caller) {
            fn = called_object(*caller, code, bound);
            // Used up, unless a class may start its __init__ after its __new__.
            if (fn || !caller->call_target || !PyType_Check(caller->call_target.get())) {
                caller->call_target.reset();
                caller->call_arg0.reset();
            }
        }
        if (!fn) {
            PyObject* own = frames::function(f);
            if (own && PyFunction_Check(own) && PyFunction_GET_CODE(own) == code) {
                fn = Ref::borrow(own);
            } else {
                fn = call(M.finder.get(), code);
                if (!fn) return M.h.absorb_internal() ? keep() : nullptr;
                if (fn.get() == Py_None) {
                    ++M.h.n.unresolved;
                    return keep();
                }
            }
        }
        Ref call_args, kwargs;
        if (!info->args.read(frames::localsplus(f), bound, call_args, kwargs))
            return M.h.absorb_internal() ? keep() : nullptr;
        if (!M.h.enter_user(fn.get(), call_args.get(), kwargs.get(), st->record)) return nullptr;
        return keep();
    });
}

// PY_RETURN: a project frame's end, or a library frame's that project code called.
PyObject* on_py_return(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!M.active || nargs < 3) return disable();
        PyObject* code = args[0];
        IFrame* f = current_frame();
        if (!f) return keep();
        StatePtr st = find_state(f, code);
        if (st) {
            forget(f, st);
            return finish(*st, args[2], nullptr) ? keep() : nullptr;
        }
        if (StatePtr caller = caller_state(f)) {
            if (caller->lib_ext && caller->lib_code == code) {
                caller->lib_code = nullptr;
                caller->call_target.reset();
                caller->call_arg0.reset();
                return M.h.exit_external(caller->lib_ext, args[2], nullptr) ? keep() : nullptr;
            }
        }
        return keep();
    });
}

PyObject* on_py_unwind(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!M.active || nargs < 3 || M.frames.empty()) return keep();
        PyObject* code = args[0];
        IFrame* f = current_frame();
        if (!f) return keep();
        StatePtr st = find_state(f, code);
        if (st) {
            forget(f, st);
            return finish(*st, nullptr, args[2]) ? keep() : nullptr;
        }
        if (StatePtr caller = caller_state(f)) {
            if (caller->lib_ext && caller->lib_code == code) {
                caller->lib_code = nullptr;
                return M.h.exit_external(caller->lib_ext, nullptr, args[2]) ? keep() : nullptr;
            }
        }
        return keep();
    });
}

// Whether a RAISE at `offset` comes from the call instruction at
// `call_offset`: interpreters report it there or at its last cache entry.
bool within_call(const CodeInfo& info, long call_offset, long offset) {
    if (offset < call_offset) return false;
    const Entry* e = info.entry(call_offset);
    return !e || e->next < 0 || offset < e->next;
}

// RAISE in a project frame at a call that is still running: that call raised.
PyObject* on_raise(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!M.active || nargs < 3 || M.frames.empty()) return keep();
        IFrame* f = current_frame();
        StatePtr st = find_state(f, args[0]);
        if (!st) return keep();
        long offset = offset_of(args[1]);
        if (offset < 0 && PyErr_Occurred()) return M.h.absorb_internal() ? keep() : nullptr;
        bool ok = true;
        st->call_target.reset();
        st->call_arg0.reset();
        st->attr_obj.reset();
        if (st->c_ext && within_call(*st->info, st->c_offset, offset))
            ok = M.h.exit_external(st->c_ext, nullptr, args[2]);
        if (st->lib_ext && within_call(*st->info, st->lib_offset, offset)) {
            st->lib_code = nullptr;
            ok = M.h.exit_external(st->lib_ext, nullptr, args[2]) && ok;
        }
        return ok ? keep() : nullptr;
    });
}

// PY_THROW: a generator of the project is resumed with an exception.
PyObject* on_py_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!M.active || nargs < 3 || M.frames.empty()) return keep();
        StatePtr st = find_state(current_frame(), args[0]);
        if (st) {
            st->call_target.reset();
            st->call_arg0.reset();
            st->attr_obj.reset();
        }
        return keep();
    });
}

PyObject* on_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!M.active || nargs < 4) return disable();
        PyObject* code = args[0];
        IFrame* f = current_frame();
        StatePtr st = find_state(f, code);
        if (!st) return keep();
        long offset = offset_of(args[1]);
        if (offset < 0 && PyErr_Occurred()) return M.h.absorb_internal() ? keep() : nullptr;
        if (!settle(f, *st, offset)) return nullptr;
        PyObject* callable = args[2];
        PyObject* arg0 = args[3];
        if (is_c_callable(callable)) {
            if (st->c_ext) return keep();
            // As the interpreter binds it: the method of that object.
            Ref bound = bind_c_descriptor(callable, arg0 != M.missing.get() ? arg0 : nullptr);
            if (!bound && PyErr_Occurred() && !M.h.absorb_internal()) return nullptr;
            Ref ext;
            if (!M.h.enter_external(bound ? bound.get() : callable, false, ext)) return nullptr;
            if (ext) {
                st->c_ext = std::move(ext);
                st->c_offset = offset;
            }
            return keep();
        }
        // A Python function: the project's own, or a library call.
        PyObject* target_code = python_code_of(callable, S.init);
        if (!target_code) return keep();
        st->call_target = Ref::borrow(callable);
        st->call_arg0 = Ref::borrow(arg0);
        st->call_offset = offset;
        CodeInfo* target = code_info(target_code);
        if (!target) return M.h.absorb_internal() ? keep() : nullptr;
        if (target->kind != 0 || st->lib_ext) return keep();
        if (reinterpret_cast<PyCodeObject*>(target_code)->co_flags &
            (CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE))
            return keep();
        if (!target->watched) {
            if (!set_local_events(target_code, bit(EV_PY_RETURN))) {
                return M.h.absorb_internal() ? keep() : nullptr;
            }
            target->watched = true;
            target->local_events = true;
            M.with_local_events.insert(target);
        }
        Ref ext;
        if (!M.h.enter_external(callable, true, ext)) return nullptr;
        if (ext) {
            st->lib_ext = std::move(ext);
            st->lib_code = target_code;
            st->lib_offset = offset;
        }
        return keep();
    });
}

// C_RETURN / C_RAISE, without stack reads: the end of a C call.
PyObject* on_c_return(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!M.active || nargs < 4) return keep();
        StatePtr st = find_state(current_frame(), args[0]);
        if (!st || !st->c_ext) return keep();
        ++M.h.n.c_results_unknown;
        return M.h.exit_external(st->c_ext, nullptr, nullptr) ? keep() : nullptr;
    });
}

PyObject* on_c_raise(PyObject*, PyObject* const*, Py_ssize_t) {
    Py_RETURN_NONE;  // RAISE follows in the same frame, with the exception
}

PyObject* on_instruction(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!M.active || nargs < 2) return disable();
        PyObject* code = args[0];
        long offset = offset_of(args[1]);
        if (offset < 0 && PyErr_Occurred()) return M.h.absorb_internal() ? keep() : nullptr;
        IFrame* f = current_frame();
        StatePtr st = find_state(f, code);
        if (!st) {
            CodeInfo* info = code_info(code);
            if (!info) return M.h.absorb_internal() ? keep() : nullptr;
            return info->entry(offset) ? keep() : disable();
        }
        const Entry* e = st->info->entry(offset);
        if (!settle(f, *st, offset)) return nullptr;
        if (!e) return disable();
        bool ok = true;
        if (e->kind == E_GLOBAL) {
            ok = load_global(M.h, frames::globals(f), frames::builtins(f), *st, *e);
        } else if (e->kind == E_ATTR || e->kind == E_METHOD) {
            ok = load_attr(f, *st, *e, offset);
        } else if ((e->kind == E_CALL || e->kind == E_NEXT) && (!M.peek || !e->is_next)) {
            return disable();
        }
        return ok ? keep() : nullptr;
    });
}

#else  // not MONITOR_AVAILABLE

PyMethodDef functions[] = {{}};

#endif

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_monitor",
                          "The tracing layer's sys.monitoring backend.", -1, functions};

}  // namespace monitor

using namespace monitor;

PyMODINIT_FUNC PyInit__monitor() {
    Ref m = Ref::steal(PyModule_Create(&module_def));
    if (!m || !S.create()) return nullptr;
#if MONITOR_AVAILABLE
    if (!bind_to(M.monitoring, imp("sys", "monitoring")) ||
        !bind_to(M.disable, attr_of(M.monitoring, "DISABLE")) ||
        !bind_to(M.missing, attr_of(M.monitoring, "MISSING")) ||
        !bind_to(M.set_local_events_fn, attr_of(M.monitoring, "set_local_events")))
        return nullptr;
#endif
    if (PyModule_AddIntConstant(m.get(), "AVAILABLE", MONITOR_AVAILABLE) < 0) return nullptr;
    return m.release();
}
