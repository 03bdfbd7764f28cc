// How the trace-function layer gets onto a thread: at start, through
// threading's hooks, when the program puts back the tracer it found, and in
// threads started with _thread.start_new_thread.
#include "tracer_state.hpp"

#if TRACER_AVAILABLE

namespace tracer {

// ------------------------------------------------- installing per thread

void install_here() {
    PyEval_SetTrace(on_trace, T.trace_obj.get());
    if (!T.c_by_call) PyEval_SetProfile(on_profile, T.profile_obj.get());
}

// The program put back the tracer it had taken from us (save and restore
// around its own): recording goes on, and the summary says there was a gap.
void put_back() {
    install_here();
    // On the starting thread this is always a put-back (new threads come
    // here first); without the profile function nothing saw ours go.
    if (!T.displaced && PyThreadState_Get() == T.owner) {
        T.displaced = Ref::steal(PyUnicode_FromString(
            "the program set its own trace function (sys.settrace)"));
        if (!T.displaced) PyErr_Clear();
    }
    if (T.displaced && !T.resumed) {
        T.resumed = true;
        Ref longer = Ref::steal(PyUnicode_FromFormat("%U, until it put ours back", T.displaced.get()));
        if (longer) T.displaced = std::move(longer);
        else PyErr_Clear();
    }
}

// What sys.gettrace() shows while we trace. Called as a Python trace
// function (a thread started through threading's hooks, or the program
// putting back the tracer it found): it puts the native one in place and
// takes the event as that one would.
PyObject* trace_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!T.active || nargs != 3 || !PyFrame_Check(args[0])) Py_RETURN_NONE;
    put_back();
    if (PyUnicode_Check(args[1]) && PyUnicode_CompareWithASCIIString(args[1], "call") == 0) {
        if (on_trace(T.trace_obj.get(), reinterpret_cast<PyFrameObject*>(args[0]), PyTrace_CALL,
                     Py_None) < 0)
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* profile_entry(PyObject*, PyObject* const*, Py_ssize_t) {
    if (T.active) put_back();
    Py_RETURN_NONE;
}

PyMethodDef entry_defs[] = {
    {"trace", as_method(trace_entry), METH_FASTCALL, nullptr},
    {"profile", as_method(profile_entry), METH_FASTCALL, nullptr},
    {}};

// ------------------------------------------- threads started by _thread
// A thread started with _thread.start_new_thread runs no threading hook;
// while recording, the function it runs is wrapped so that the thread is
// traced from its start. Everything else about the call is the original's.

struct Boot {
    PyObject_HEAD
    PyObject* fn;
};

void boot_dealloc(PyObject* self) {
    Ref fn = Ref::steal(reinterpret_cast<Boot*>(self)->fn);
    Py_TYPE(self)->tp_free(self);
}

PyObject* boot_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* fn = reinterpret_cast<Boot*>(self)->fn;
    if (T.active) install_here();
    Ref r = Ref::steal(PyObject_Call(fn, args, kwargs));
    if (r || PyErr_ExceptionMatches(PyExc_SystemExit)) return r.release();
    // Reported as the thread module reports it, naming the program's function.
    _PyErr_WriteUnraisableMsg("in thread started by", fn);
    Py_RETURN_NONE;
}

PyTypeObject BootType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "tarnwick_collector.tracing._tracer.ThreadStart";
    t.tp_basicsize = sizeof(Boot);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_dealloc = boot_dealloc;
    t.tp_call = boot_call;
    return t;
}();

PyObject* start_new_thread(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* real = T.real_start_new_thread.get();
    if (!real) {
        PyErr_SetString(PyExc_RuntimeError, "start_new_thread is not available");
        return nullptr;
    }
    if (nargs < 1 || !PyCallable_Check(args[0]) || !T.active)
        return PyObject_Vectorcall(real, args, static_cast<std::size_t>(nargs), nullptr);
    Ref boot = Ref::steal(PyType_GenericAlloc(&BootType, 0));
    if (!boot) return nullptr;
    reinterpret_cast<Boot*>(boot.get())->fn = Py_NewRef(args[0]);
    std::vector<PyObject*> argv(args, args + nargs);
    argv[0] = boot.get();
    return PyObject_Vectorcall(real, argv.data(), static_cast<std::size_t>(nargs), nullptr);
}

PyMethodDef start_new_thread_def = {
    "start_new_thread", as_method(start_new_thread), METH_FASTCALL,
    "start_new_thread(function, args[, kwargs])\n\nStart a new thread and return its identifier."};

bool swap_start_new_thread(bool on) {
    if (!T.thread_module) {
        T.thread_module = Ref::steal(PyImport_ImportModule("_thread"));
        if (!T.thread_module) return false;
    }
    PyObject* module = T.thread_module.get();
    if (on) {
        Ref current = Ref::steal(PyObject_GetAttr(module, S.start_new_thread));
        if (!current) return false;
        if (!T.our_start_new_thread) {
            T.our_start_new_thread = Ref::steal(PyCFunction_NewEx(&start_new_thread_def, nullptr, module));
            if (!T.our_start_new_thread) return false;
        }
        if (current.get() == T.our_start_new_thread.get()) return true;
        T.real_start_new_thread = current;
        for (PyObject* name : {S.start_new_thread, S.start_new}) {
            Ref there = Ref::steal(PyObject_GetAttr(module, name));
            if (!there) {
                PyErr_Clear();
                continue;
            }
            if (there.get() == current.get() &&
                PyObject_SetAttr(module, name, T.our_start_new_thread.get()) < 0)
                return false;
        }
        return true;
    }
    if (!T.real_start_new_thread) return true;
    for (PyObject* name : {S.start_new_thread, S.start_new}) {
        Ref there = Ref::steal(PyObject_GetAttr(module, name));
        if (!there) {
            PyErr_Clear();
            continue;
        }
        // Only ours is put back: the program may have put its own there.
        if (there.get() == T.our_start_new_thread.get() &&
            PyObject_SetAttr(module, name, T.real_start_new_thread.get()) < 0)
            return false;
    }
    return true;
}

}  // namespace tracer

#endif
