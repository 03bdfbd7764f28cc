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

#include <tsl/robin_map.h>

#include <cstdint>
#include <memory>
#include <vector>

using namespace tarn;
using namespace tarn::trace;

namespace {

#if PY_VERSION_HEX < 0x030C0000
#define TRACER_AVAILABLE 1
#else
#define TRACER_AVAILABLE 0
#endif

#define TRACER_STRINGS(X)        \
    X(init, "__init__")          \
    X(start_new_thread, "start_new_thread") \
    X(start_new, "start_new")

TARN_STRING_TABLE(Strings, TRACER_STRINGS);
Strings S;

#if TRACER_AVAILABLE

namespace frames = tarn::compat::frames;

// Rows of the load table (tracing/bytecode.py load_table).
enum : std::uint8_t { E_NONE = 0, E_GLOBAL = 1, E_ATTR = 2, E_METHOD = 3, E_CALL = 4 };

struct Entry {
    std::uint8_t kind = E_NONE;
    std::uint8_t src = SRC_NONE;
    bool method_call = false;  // E_CALL: the method-call layout (NULL or method, then self)
    int call_depth = 0;        // E_CALL: how deep below the top the callable slot is
    int src_slot = -1;         // SRC_LOCAL: the fast-locals slot
    int src_offset = -1;       // SRC_ATTR: the load whose result is the object
    PyObject* name = nullptr;     // kept alive by CodeInfo::rows
    PyObject* src_arg = nullptr;  // SRC_GLOBAL name, SRC_CONST value
};

// What the layer keeps of one code object, in the code object's extra slot.
struct CodeInfo {
    PyObject* code = nullptr;  // the owner; compared, never followed
    std::uint64_t generation = 0;
    int kind = 0;              // 0: not project code
    bool loads = false;        // has loads (not only calls) in its table
    bool calls = false;        // has call instructions
    bool suspending = false;   // generator, coroutine
    std::uint64_t seen = 0;    // calls counted against the cap
    std::vector<Entry> at;     // by offset / 2
    Ref rows;                  // the table rows, owning the names
    // arguments at the start of a call
    int argcount = 0, kwonly = 0;
    bool varargs = false, varkw = false;
    Ref varnames;
    std::vector<int> arg_cell;        // 3.10: cell slot of an argument that is a cell
    std::vector<std::uint8_t> cell;   // 3.11: argument slots that hold a cell

    const Entry* entry(long offset) const {
        std::size_t i = static_cast<std::size_t>(offset) / 2;
        if (offset < 0 || i >= at.size() || at[i].kind == E_NONE) return nullptr;
        return &at[i];
    }
};

enum Pending : std::uint8_t { P_NONE, P_ATTR, P_C, P_CALL };

// One running frame of project code, or a library frame that project code
// called (`library`: only `record` (its external record) and `exc` are used).
struct FrameState {
    PyObject* code = nullptr;  // compared only
    CodeInfo* info = nullptr;
    bool library = false;
    Ref record;
    Ref exc;                   // the exception last raised in the frame
    // a C function called by this frame, until its end
    Ref ext;
    bool ext_raised = false;
    // what waits for the next instruction
    Pending pending = P_NONE;
    Ref p_obj, p_extra;        // ATTR: object; C: record; CALL: target, self
    const Entry* p_entry = nullptr;
    // static reads: the last attribute result, for the load after it
    Ref last_attr;
    long last_attr_offset = -1;
    SeenGlobals seen;
};
using StatePtr = std::shared_ptr<FrameState>;

struct Tracer {
    bool active = false;
    std::uint64_t generation = 0;
    Py_ssize_t extra_index = -1;
    bool peek = true;            // value stack reads
    std::uint64_t max_calls = 0;
    Hooks h;
    Ref builder;         // code -> None | (kind, rows)
    Ref finder;          // (frame, code) -> function or None
    Ref getattr_static;  // (obj, name) -> value | MISSING | UNKNOWN
    Ref static_missing, static_unknown;
    Ref trace_obj, profile_obj;  // what sys.gettrace()/getprofile() show
    Ref detach;                  // () -> None: a thread goes back to its old tracers
    // what the starting thread had before
    Py_tracefunc saved_trace = nullptr, saved_profile = nullptr;
    Ref saved_trace_obj, saved_profile_obj;
    PyThreadState* owner = nullptr;
    // the program put its own tracer in place of ours (first seen)
    Ref displaced;
    bool resumed = false;
    tsl::robin_map<PyFrameObject*, StatePtr> frames;
    // start_new_thread of _thread, while ours stands in for it
    Ref thread_module, real_start_new_thread, our_start_new_thread;
};

Tracer& T = leak<Tracer>();

int on_trace(PyObject* obj, PyFrameObject* f, int what, PyObject* arg);
int on_profile(PyObject* obj, PyFrameObject* f, int what, PyObject* arg);

// ---------------------------------------------------------- code info

void free_info(void* p) {
    auto* info = static_cast<CodeInfo*>(p);
    // A state of it can only be one whose end was missed: its frame is gone.
    // The states die after the walk: their references may run any code.
    std::vector<StatePtr> gone;
    for (auto it = T.frames.begin(); it != T.frames.end();) {
        if (it->second->info == info) {
            gone.push_back(std::move(it.value()));
            it = T.frames.erase(it);
        } else {
            ++it;
        }
    }
    delete info;
}

bool fill_table(CodeInfo& info, PyObject* rows) {
    auto* code = reinterpret_cast<PyCodeObject*>(info.code);
    Py_ssize_t n = PyList_Size(rows);
    if (n < 0) return false;
    Py_ssize_t size = compat::code_size(code);
    if (size < 0) return false;
    info.at.assign(static_cast<std::size_t>(size / 2 + 1), Entry{});
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* names = code->co_localsplusnames;
#else
    PyObject* names = code->co_varnames;
#endif
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(rows, i);
        if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 6) {
            PyErr_SetString(PyExc_TypeError, "bad load table row");
            return false;
        }
        long offset = PyLong_AsLong(PyTuple_GET_ITEM(row, 0));
        if (offset < 0 || static_cast<std::size_t>(offset / 2) >= info.at.size()) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "offset out of range");
            return false;
        }
        Entry& e = info.at[static_cast<std::size_t>(offset / 2)];
        e.kind = static_cast<std::uint8_t>(PyLong_AsLong(PyTuple_GET_ITEM(row, 1)));
        PyObject* name = PyTuple_GET_ITEM(row, 2);
        e.src = static_cast<std::uint8_t>(PyLong_AsLong(PyTuple_GET_ITEM(row, 3)));
        PyObject* src_arg = PyTuple_GET_ITEM(row, 4);
        long src_offset = PyLong_AsLong(PyTuple_GET_ITEM(row, 5));
        if (PyErr_Occurred()) return false;
        if (e.kind == E_CALL) {
            e.method_call = name == Py_True;
            e.call_depth = static_cast<int>(PyLong_AsLong(src_arg));
            e.src = SRC_NONE;
            if (PyErr_Occurred()) return false;
            info.calls = true;
            continue;
        }
        e.name = name;
        info.loads = true;
        if (e.src == SRC_LOCAL) {
            // The slot of that name among the fast locals (cells and free
            // variables follow the plain locals on 3.10).
            e.src_slot = -1;
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(names); ++k) {
                if (PyTuple_GET_ITEM(names, k) == src_arg) {
                    e.src_slot = static_cast<int>(k);
                    break;
                }
            }
#if PY_VERSION_HEX < 0x030B0000
            if (e.src_slot < 0) {
                Py_ssize_t base = code->co_nlocals;
                for (PyObject* group : {code->co_cellvars, code->co_freevars}) {
                    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(group) && e.src_slot < 0; ++k)
                        if (PyTuple_GET_ITEM(group, k) == src_arg) e.src_slot = static_cast<int>(base + k);
                    base += PyTuple_GET_SIZE(group);
                }
            }
#endif
            if (e.src_slot < 0) e.src = SRC_NONE;
        } else if (e.src == SRC_ATTR) {
            e.src_offset = static_cast<int>(src_offset);
        } else if (e.src != SRC_NONE) {
            e.src_arg = src_arg;
        }
    }
    return true;
}

bool fill_arguments(CodeInfo& info) {
    auto* code = reinterpret_cast<PyCodeObject*>(info.code);
    info.argcount = code->co_argcount;
    info.kwonly = code->co_kwonlyargcount;
    info.varargs = code->co_flags & CO_VARARGS;
    info.varkw = code->co_flags & CO_VARKEYWORDS;
    info.varnames = compat::code_varnames(code);
    if (!info.varnames) return false;
    int total = info.argcount + info.kwonly + info.varargs + info.varkw;
    info.arg_cell.assign(static_cast<std::size_t>(total), -1);
    info.cell.assign(static_cast<std::size_t>(total), 0);
    for (int i = 0; i < total; ++i) {
        info.arg_cell[static_cast<std::size_t>(i)] = frames::argument_cell(code, i);
        info.cell[static_cast<std::size_t>(i)] = frames::argument_is_cell(code, i);
    }
    return true;
}

// The info of `code` for this session, made on first sight. NULL with an
// error set on failure.
CodeInfo* code_info(PyObject* code) {
    void* extra = nullptr;
    if (compat::code_get_extra(code, T.extra_index, &extra) < 0) return nullptr;
    auto* info = static_cast<CodeInfo*>(extra);
    if (info && info->generation == T.generation) return info;
    if (!info) {
        info = new CodeInfo();
        info->code = code;
        if (compat::code_set_extra(code, T.extra_index, info) < 0) {
            delete info;
            return nullptr;
        }
    }
    // (Re)built for this session: another session may see other project files.
    info->generation = T.generation;
    info->kind = 0;
    info->loads = info->calls = false;
    info->seen = 0;
    info->at.clear();
    info->rows.reset();
    info->suspending = reinterpret_cast<PyCodeObject*>(code)->co_flags &
                       (CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE);
    Ref built = call(T.builder.get(), code);
    if (!built) return nullptr;
    if (built.get() == Py_None) return info;
    if (!PyTuple_Check(built.get()) || PyTuple_GET_SIZE(built.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "code info builder: (kind, rows) expected");
        return nullptr;
    }
    int kind = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(built.get(), 0)));
    if (kind < 0 && PyErr_Occurred()) return nullptr;
    PyObject* rows = PyTuple_GET_ITEM(built.get(), 1);
    if (kind != kSkip) {
        if (!PyList_Check(rows)) {
            PyErr_SetString(PyExc_TypeError, "code info builder: rows must be a list");
            return nullptr;
        }
        info->rows = Ref::borrow(rows);
        if (!fill_table(*info, rows)) return nullptr;
        if (kind == kRecord && !fill_arguments(*info)) return nullptr;
    }
    info->kind = kind;
    return info;
}

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
    if (it != T.frames.end() && it->second == st) T.frames.erase(it);
}

void clear_pending(FrameState& st) {
    st.pending = P_NONE;
    st.p_obj.reset();
    st.p_extra.reset();
    st.p_entry = nullptr;
}

// ------------------------------------------------------------ reads

PyObject* stack(PyFrameObject* f, const CodeInfo& info, int from_top) {
    return frames::stack_item(f, reinterpret_cast<PyCodeObject*>(info.code), from_top);
}

PyObject* fast_local(PyFrameObject* f, int slot) {
    PyObject* v = frames::fast_locals(f)[slot];
    if (v && PyCell_Check(v)) v = PyCell_GET(v);
    return v;
}

// The call's (args, kwargs) from the fast locals at its start.
bool read_arguments(PyFrameObject* f, CodeInfo& info, bool drop_first, Ref& args, Ref& kwargs) {
    PyObject** slots = frames::fast_locals(f);
    auto value = [&](int i) -> PyObject* {
        PyObject* v = slots[i];
        auto k = static_cast<std::size_t>(i);
        if (!v && info.arg_cell[k] >= 0) {
            v = slots[info.arg_cell[k]];
            if (v && PyCell_Check(v)) v = PyCell_GET(v);
        } else if (v && info.cell[k] && PyCell_Check(v)) {
            v = PyCell_GET(v);
        }
        return v ? v : Py_None;
    };
    int first = drop_first && info.argcount > 0 ? 1 : 0;
    Py_ssize_t extra = 0;
    PyObject* star = nullptr;
    int i = info.argcount + info.kwonly;
    if (info.varargs) {
        star = value(i++);
        if (PyTuple_Check(star)) extra = PyTuple_GET_SIZE(star);
    }
    args = Ref::steal(PyTuple_New(info.argcount - first + extra));
    if (!args) return false;
    for (int k = first; k < info.argcount; ++k)
        PyTuple_SET_ITEM(args.get(), k - first, Py_NewRef(value(k)));
    for (Py_ssize_t k = 0; k < extra; ++k)
        PyTuple_SET_ITEM(args.get(), info.argcount - first + k, Py_NewRef(PyTuple_GET_ITEM(star, k)));
    if (!info.kwonly && !info.varkw) return true;
    kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return false;
    for (int k = info.argcount; k < info.argcount + info.kwonly; ++k) {
        if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(info.varnames.get(), k), value(k)) < 0)
            return false;
    }
    if (info.varkw) {
        PyObject* kw = value(i);
        if (PyDict_Check(kw)) {
            Py_ssize_t pos = 0;
            PyObject *key, *v;
            while (PyDict_Next(kw, &pos, &key, &v)) {
                if (PyUnicode_Check(key) && PyDict_SetItem(kwargs.get(), key, v) < 0) return false;
            }
        }
    }
    return true;
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

// ------------------------------------------------------------- loads

bool load_global(PyFrameObject* f, FrameState& st, const Entry& e) {
    PyObject* value = global_value(frames::globals(f), frames::builtins(f), e.name);
    if (!value) return PyErr_Occurred() ? T.h.absorb_internal() : true;  // a NameError is coming
    if (!st.seen.fresh(e.name, value)) return true;
    Ref hold = Ref::borrow(value);  // the hook may change the globals
    return T.h.global_loaded(hold.get(), e.name);
}

Ref static_source(PyFrameObject* f, FrameState& st, const Entry& e) {
    switch (e.src) {
        case SRC_LOCAL:
            return Ref::borrow(fast_local(f, e.src_slot));
        case SRC_GLOBAL:
            return Ref::borrow(global_value(frames::globals(f), frames::builtins(f), e.src_arg));
        case SRC_CONST:
            return Ref::borrow(e.src_arg);
        case SRC_ATTR:
            if (st.last_attr && st.last_attr_offset == e.src_offset) return st.last_attr;
            return {};
        default:
            return {};
    }
}

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
    Ref obj = static_source(f, st, e);
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

void load_call(PyFrameObject* f, FrameState& st, const Entry& e) {
    PyObject* slot = stack(f, *st.info, e.call_depth);
    PyObject* above = e.call_depth >= 1 ? stack(f, *st.info, e.call_depth - 1) : nullptr;
    st.pending = P_CALL;
    if (e.method_call && !slot) {  // NULL: a plain callable above it
        st.p_obj = Ref::borrow(above);
    } else if (e.method_call) {
        st.p_obj = Ref::borrow(slot);
        st.p_extra = Ref::borrow(above);
    } else {
        st.p_obj = Ref::borrow(slot);
    }
    if (!st.p_obj) clear_pending(st);
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
    if (kind == P_C) {
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
    if (st.pending == P_C) {
        Ref ext = std::move(st.p_obj);
        ok = T.h.exit_external(ext, nullptr, nullptr) && ok;
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
    if (st.pending == P_C) {
        Ref ext = std::move(st.p_obj);
        ok = T.h.exit_external(ext, nullptr, nullptr);
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
    if (!caller || caller->library || caller->ext || info->suspending) return true;
    bool bound = false;
    Ref fn = called_by(caller.get(), code, bound);
    if (!fn) {
        fn = function_of(f, code);
        if (!fn) return T.h.absorb_internal();
        if (fn.get() == Py_None) {
            ++T.h.n.unresolved;
            return true;
        }
    }
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
    Ref fn = called_by(caller.get(), code, bound);
    if (!fn) {
        fn = function_of(f, code);
        if (!fn) return T.h.absorb_internal();
        if (fn.get() == Py_None) {
            ++T.h.n.unresolved;
            return true;
        }
    }
    Ref args, kwargs;
    if (!read_arguments(f, *info, bound, args, kwargs)) return T.h.absorb_internal();
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
                PyThreadState* ts = PyThreadState_Get();
                if (ts->c_profilefunc != on_profile) {
                    displaced("the program set its own profile function (sys.setprofile)");
                    return 0;
                }
                PyObject* code = frames::code(f);
                auto it = T.frames.find(f);
                if (it != T.frames.end()) {
                    // A frame whose end we did not see (our tracer was away):
                    // its memory is in use again; the old state is dropped.
                    StatePtr stale = std::move(it->second);
                    T.frames.erase(it);
                }
                CodeInfo* info = code_info(code);
                if (!info) return done(T.h.absorb_internal());
                if (info->kind == 0) return done(enter_library(f, code, info));
                return done(enter_project(f, code, info));
            }
            case PyTrace_OPCODE: {
                StatePtr st = find_state(f);
                if (!st || st->library) return 0;
                bool ok = true;
                if (st->pending != P_NONE) ok = settle(f, *st);
                long offset = frames::lasti(f);
                const Entry* e = st->info->entry(offset);
                if (!e) return done(ok);
                if (e->kind == E_GLOBAL) ok = load_global(f, *st, *e) && ok;
                else if (e->kind == E_CALL) {
                    if (T.peek) load_call(f, *st, *e);
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

// ------------------------------------------------- installing per thread

void install_here() {
    PyEval_SetTrace(on_trace, T.trace_obj.get());
    PyEval_SetProfile(on_profile, T.profile_obj.get());
}

// The program put back the tracer it had taken from us (save and restore
// around its own): recording goes on, and the summary says there was a gap.
void put_back() {
    install_here();
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
        return Py_BuildValue("(OOO)", T.trace_obj.get(), T.profile_obj.get(),
                             T.peek ? Py_True : Py_False);
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
        bool trace_ours = ts->c_tracefunc == on_trace;
        bool profile_ours = ts->c_profilefunc == on_profile;
        if (!T.displaced && (!trace_ours || !profile_ours) && ts == T.owner) {
            T.displaced = Ref::steal(PyUnicode_FromString(
                !trace_ours ? "the program set its own trace function (sys.settrace)"
                            : "the program set its own profile function (sys.setprofile)"));
            if (!T.displaced) PyErr_Clear();
        }
        if (ts == T.owner) {
            if (trace_ours) PyEval_SetTrace(T.saved_trace, T.saved_trace_obj.get());
            if (profile_ours) PyEval_SetProfile(T.saved_profile, T.saved_profile_obj.get());
        } else {
            if (trace_ours) PyEval_SetTrace(nullptr, nullptr);
            if (profile_ours) PyEval_SetProfile(nullptr, nullptr);
        }
        T.saved_trace_obj.reset();
        T.saved_profile_obj.reset();
        T.owner = nullptr;
        // Frames still running are left as they are: their calls are not
        // finished with a return that did not happen.
        // Opcode events off for the frames that still run (found on the
        // threads' stacks: a frame whose end was missed may be gone).
        auto states = std::move(T.frames);
        T.frames = {};
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

}  // namespace

PyMODINIT_FUNC PyInit__tracer() {
    Ref m = Ref::steal(PyModule_Create(&module_def));
    if (!m || !S.create()) return nullptr;
#if TRACER_AVAILABLE
    if (PyType_Ready(&BootType) < 0) return nullptr;
#endif
    if (PyModule_AddIntConstant(m.get(), "AVAILABLE", TRACER_AVAILABLE) < 0) return nullptr;
    return m.release();
}
