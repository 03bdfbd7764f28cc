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
#include "tarn/trace_hooks.hpp"

#include "monitor_guard.hpp"

#include <tsl/robin_map.h>
#include <tsl/robin_set.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

using namespace tarn;
using tarn::trace::AddressHash;

namespace {

#if PY_VERSION_HEX >= 0x030C0000
#define MONITOR_AVAILABLE 1
#else
#define MONITOR_AVAILABLE 0
#endif

#define MONITOR_STRINGS(X)                   \
    X(use_tool_id, "use_tool_id")            \
    X(free_tool_id, "free_tool_id")          \
    X(get_tool, "get_tool")                  \
    X(register_callback, "register_callback") \
    X(set_events, "set_events")              \
    X(set_local_events, "set_local_events")  \
    X(init, "__init__")                      \
    X(code_dunder, "__code__")               \
    X(tool_name, "tarnwick")

TARN_STRING_TABLE(Strings, MONITOR_STRINGS);
Strings S;

#if MONITOR_AVAILABLE

namespace frames = tarn::compat::frames;
using frames::IFrame;

// Kinds of code, as the Python side names them.
constexpr int kRecord = 1;  // a plain function: one record per call
constexpr int kInline = 2;  // generators, comprehensions: part of their driver
constexpr int kSkip = 3;    // module and class bodies

// Rows of the instruction table (tracing/bytecode.py monitor_table).
enum : std::uint8_t { E_NONE = 0, E_GLOBAL = 1, E_ATTR = 2, E_METHOD = 3, E_CALL = 4, E_NEXT = 5 };
// Where the object of an attribute load comes from, for static reads.
enum : std::uint8_t { SRC_NONE = 0, SRC_LOCAL = 1, SRC_GLOBAL = 2, SRC_CONST = 3, SRC_ATTR = 4 };

// Event numbers of sys.monitoring.events.
enum : int {
    EV_PY_START = 0,
    EV_PY_RETURN = 2,
    EV_CALL = 4,
    EV_INSTRUCTION = 6,
    EV_RAISE = 10,
    EV_PY_UNWIND = 12,
    EV_PY_THROW = 13,
    EV_C_RETURN = 15,
    EV_C_RAISE = 16,
};
constexpr long bit(int ev) { return 1L << ev; }

enum Hook { H_USER, H_USER_RETURN, H_EXT, H_EXT_RETURN, H_GLOBAL, H_ATTR, H_COUNT };
const char* const kHookNames[H_COUNT] = {
    "record_user_function_call", "record_user_function_return_value",
    "record_external_call",      "record_external_return_value",
    "load_global_hook",          "load_attr_hook"};

struct Entry {
    std::uint8_t kind = E_NONE;
    std::uint8_t src = SRC_NONE;
    int depth = 0;       // stack depth before the instruction
    int next = -1;       // offset of the first event after it
    int next_depth = 0;  // stack depth there
    int src_slot = -1;   // SRC_LOCAL: the fast-locals slot
    int src_offset = -1; // SRC_ATTR: the load whose result is the object
    bool is_next = false; // another row's result is read here
    PyObject* name = nullptr;     // kept alive by CodeInfo::rows
    PyObject* src_arg = nullptr;  // SRC_GLOBAL name, SRC_CONST value
};

// What the layer keeps of one code object, in the code object's extra slot.
struct CodeInfo {
    PyObject* code = nullptr;  // the owner; compared, never followed
    std::uint64_t generation = 0;
    int kind = 0;              // 0: not project code
    bool has_table = false;
    bool local_events = false;  // our local events are set on it
    bool watched = false;       // library code with PY_RETURN for external calls
    bool switch_off = false;    // over the cap: local events go once no frame runs
    std::uint64_t seen = 0;     // calls counted against the cap
    int live = 0;               // frames of it with a state
    std::vector<Entry> at;      // by offset / 2
    Ref rows;                   // the table rows, owning the names
    // arguments at the start of a call
    int argcount = 0, kwonly = 0;
    bool varargs = false, varkw = false;
    Ref varnames;
    std::vector<std::uint8_t> cell;  // argument slots that hold a cell

    const Entry* entry(long offset) const {
        std::size_t i = static_cast<std::size_t>(offset) / 2;
        if (offset < 0 || i >= at.size() || at[i].kind == E_NONE) return nullptr;
        return &at[i];
    }
};

// One running frame of project code.
struct FrameState {
    PyObject* code = nullptr;  // compared only
    CodeInfo* info = nullptr;
    bool counted = false;      // counts in info->live
    Ref record;
    // a C function called by this frame, until its end
    Ref c_ext;
    long c_offset = -1;
    // a library Python function called by this frame
    Ref lib_ext;
    PyObject* lib_code = nullptr;  // compared only
    long lib_offset = -1;
    // what the last call instruction called, for the frame it starts
    Ref call_target, call_arg0;
    long call_offset = -1;
    // an attribute load, until its result is on the stack
    Ref attr_obj;
    const Entry* attr_entry = nullptr;
    // static reads: the last attribute result, for the load after it
    Ref last_attr;
    long last_attr_offset = -1;
    // globals already reported by this frame (compared by identity only)
    std::vector<std::pair<PyObject*, PyObject*>> seen;
};
using StatePtr = std::shared_ptr<FrameState>;

struct Counters {
    std::uint64_t user_calls = 0, records = 0, not_recorded = 0, unresolved = 0, capped = 0,
                  external_calls = 0, external_records = 0, globals = 0, attrs = 0,
                  attrs_unknown = 0, c_results_unknown = 0, internal_errors = 0;
    std::uint64_t hook_errors[H_COUNT] = {};
};

struct Monitor {
    bool active = false;
    int tool = -1;
    std::uint64_t generation = 0;
    Py_ssize_t extra_index = -1;
    bool peek = true;        // value stack reads
    bool layout_ok = false;  // the frame record matches the mirror
    std::uint64_t max_calls = 0;
    bool null_hooks = false;
    Ref hooks[H_COUNT];
    Ref builder;        // code -> None | (kind, rows)
    Ref finder;         // (code) -> function or None, for frames started from C
    Ref getattr_static; // (obj, name) -> value | MISSING | UNKNOWN
    Ref static_missing, static_unknown;
    Ref token;          // what switched-off hooks return
    Ref monitoring, disable, missing;
    Ref set_local_events_fn;
    Counters n;
    tsl::robin_map<void*, StatePtr, AddressHash> frames;
    tsl::robin_set<CodeInfo*, AddressHash> with_local_events;
    long local_mask = 0;
    // Set when the layer stopped before stop(): why, and when.
    Ref stopped_reason;
    double stopped_seconds = 0;
    std::uint64_t stopped_calls = 0;
    std::chrono::steady_clock::time_point started;
};

Monitor& M = leak<Monitor>();

PyObject* none_type() { return reinterpret_cast<PyObject*>(Py_TYPE(Py_None)); }

// ------------------------------------------------------------ failures
// An exception of a hook or of the layer is counted and cleared; the
// program only ever sees KeyboardInterrupt, SystemExit and the like.
// Returns false when such an exception must go on into the program.
bool absorb(std::uint64_t& counter) {
    if (!PyErr_Occurred()) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    ++counter;
    return true;
}
bool absorb_hook(Hook h) { return absorb(M.n.hook_errors[h]); }
bool absorb_internal() { return absorb(M.n.internal_errors); }

// Vectorcall of a hook; NULL result with the error left for absorb_hook.
Ref call_hook(Hook h, PyObject* const* args, std::size_t nargs, PyObject* kwnames = nullptr) {
    if (M.null_hooks) return (h == H_USER || h == H_EXT) ? M.token : Ref::borrow(Py_None);
    return Ref::steal(PyObject_Vectorcall(M.hooks[h].get(), args, nargs, kwnames));
}

// -------------------------------------------------------- hook calls
// Each returns false only when an exception must reach the program.

bool exit_external(FrameState& st, Ref& ext, PyObject* value, PyObject* exc) {
    if (!ext) return true;
    Ref record = std::move(ext);
    (void)st;
    PyObject* args[] = {value ? value : Py_None, record.get(), exc ? exc : none_type()};
    Ref r = call_hook(H_EXT_RETURN, args, 3);
    return r ? true : absorb_hook(H_EXT_RETURN);
}

bool enter_external(PyObject* fn, int checked, Ref& out) {
    ++M.n.external_calls;
    Ref flag = Ref::steal(PyLong_FromLong(checked));
    if (!flag) return absorb_internal();
    PyObject* args[] = {fn, flag.get()};
    Ref r = call_hook(H_EXT, args, 2);
    if (!r) return absorb_hook(H_EXT);
    if (r.get() != Py_None) {
        ++M.n.external_records;
        out = std::move(r);
    }
    return true;
}

bool global_loaded(PyObject* value, PyObject* name) {
    ++M.n.globals;
    PyObject* args[] = {value, name};
    Ref r = call_hook(H_GLOBAL, args, 2);
    return r ? true : absorb_hook(H_GLOBAL);
}

bool attr_loaded(PyObject* obj, PyObject* name, PyObject* result) {
    ++M.n.attrs;
    PyObject* args[] = {obj, name, result ? result : Py_None};
    Ref r = call_hook(H_ATTR, args, 3);
    return r ? true : absorb_hook(H_ATTR);
}

// --------------------------------------------------------- code info

void free_info(void* p) {
    auto* info = static_cast<CodeInfo*>(p);
    M.with_local_events.erase(info);
    // A state of it can only be one whose end was missed: its frame is gone.
    for (auto it = M.frames.begin(); it != M.frames.end();) {
        if (it->second->info == info) {
            it->second->counted = false;
            it = M.frames.erase(it);
        } else {
            ++it;
        }
    }
    delete info;
}

bool set_local_events(PyObject* code, long mask) {
    Ref tool = Ref::steal(PyLong_FromLong(M.tool));
    Ref events = Ref::steal(PyLong_FromLong(mask));
    if (!tool || !events) return false;
    Ref r = call(M.set_local_events_fn.get(), tool.get(), code, events.get());
    return bool(r);
}

bool fill_table(CodeInfo& info, PyObject* rows) {
    auto* code = reinterpret_cast<PyCodeObject*>(info.code);
    Py_ssize_t n = PyList_Size(rows);
    if (n < 0) return false;
    Py_ssize_t size = PyBytes_Size(Ref::steal(PyCode_GetCode(code)).get());
    if (size < 0) return false;
    info.at.assign(static_cast<std::size_t>(size / 2 + 1), Entry{});
    PyObject* names = code->co_localsplusnames;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(rows, i);
        if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 8) {
            PyErr_SetString(PyExc_TypeError, "bad instruction table row");
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
        e.name = name == Py_None ? nullptr : name;
        e.depth = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(row, 3)));
        e.next = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(row, 4)));
        e.next_depth = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(row, 5)));
        e.src = static_cast<std::uint8_t>(PyLong_AsLong(PyTuple_GET_ITEM(row, 6)));
        PyObject* src_arg = PyTuple_GET_ITEM(row, 7);
        if (PyErr_Occurred()) return false;
        if (e.src == SRC_LOCAL) {
            // The slot of that name among the fast locals.
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(names); ++k) {
                if (PyTuple_GET_ITEM(names, k) == src_arg) {
                    e.src_slot = static_cast<int>(k);
                    break;
                }
            }
            if (e.src_slot < 0) e.src = SRC_NONE;
        } else if (e.src == SRC_ATTR) {
            e.src_offset = static_cast<int>(PyLong_AsLong(src_arg));
            if (PyErr_Occurred()) return false;
        } else {
            e.src_arg = src_arg;
        }
        if (e.kind != E_NONE) info.has_table = true;
    }
    for (const Entry& e : info.at) {
        if (e.kind != E_NONE && e.next >= 0 && static_cast<std::size_t>(e.next / 2) < info.at.size())
            info.at[static_cast<std::size_t>(e.next / 2)].is_next = true;
    }
    return true;
}

bool fill_arguments(CodeInfo& info) {
    auto* code = reinterpret_cast<PyCodeObject*>(info.code);
    info.argcount = code->co_argcount;
    info.kwonly = code->co_kwonlyargcount;
    info.varargs = code->co_flags & CO_VARARGS;
    info.varkw = code->co_flags & CO_VARKEYWORDS;
    info.varnames = Ref::steal(PyCode_GetVarnames(code));
    if (!info.varnames) return false;
    int total = info.argcount + info.kwonly + info.varargs + info.varkw;
    const char* kinds = PyBytes_AS_STRING(code->co_localspluskinds);
    info.cell.assign(static_cast<std::size_t>(total), 0);
    for (int i = 0; i < total && i < code->co_nlocalsplus; ++i)
        info.cell[static_cast<std::size_t>(i)] = (static_cast<unsigned char>(kinds[i]) & frames::kFastCell) ? 1 : 0;
    return true;
}

// The info of `code` for this session, made on first sight. NULL with an
// error set on failure.
CodeInfo* code_info(PyObject* code) {
    void* extra = nullptr;
    if (compat::code_get_extra(code, M.extra_index, &extra) < 0) return nullptr;
    auto* info = static_cast<CodeInfo*>(extra);
    if (info && info->generation == M.generation) return info;
    if (!info) {
        info = new CodeInfo();
        info->code = code;
        if (compat::code_set_extra(code, M.extra_index, info) < 0) {
            delete info;
            return nullptr;
        }
    }
    // (Re)built for this session: another session may see other project files.
    M.with_local_events.erase(info);
    info->generation = M.generation;
    info->kind = 0;
    info->has_table = info->local_events = info->watched = info->switch_off = false;
    info->seen = 0;
    info->live = 0;
    info->at.clear();
    info->rows.reset();
    Ref built = call(M.builder.get(), code);
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

bool ensure_local_events(CodeInfo& info) {
    if (info.local_events) return true;
    long mask = M.local_mask;
    if (!info.has_table) mask &= ~bit(EV_INSTRUCTION);
    if (!set_local_events(info.code, mask)) return false;
    info.local_events = true;
    M.with_local_events.insert(&info);
    return true;
}

bool switch_off(CodeInfo& info) {
    info.switch_off = false;
    if (!info.local_events) return true;
    info.local_events = false;
    M.with_local_events.erase(&info);
    return set_local_events(info.code, 0);
}

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
        ++M.n.c_results_unknown;
        ok = exit_external(st, st.c_ext, nullptr, exc) && ok;
    }
    if (st.lib_ext) ok = exit_external(st, st.lib_ext, nullptr, exc) && ok;
    st.call_target.reset();
    st.call_arg0.reset();
    st.attr_obj.reset();
    st.last_attr.reset();
    if (st.record) {
        Ref record = std::move(st.record);
        PyObject* args[] = {value ? value : Py_None, record.get(), exc ? exc : none_type()};
        Ref r = call_hook(H_USER_RETURN, args, 3);
        if (!r) ok = absorb_hook(H_USER_RETURN) && ok;
    }
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
            absorb_internal();
    }
}

// A frame whose end we did not see (its address is in use again): its
// record is dropped, not finished with a return that did not happen.
void drop_stale(IFrame* f) {
    auto it = M.frames.find(f);
    if (it == M.frames.end()) return;
    StatePtr st = it->second;
    ++M.n.internal_errors;
    forget(f, st);
}

// --------------------------------------------------------- stack reads

PyObject* stack_slot(IFrame* f, CodeInfo& info, int depth_from_bottom) {
    auto* code = reinterpret_cast<PyCodeObject*>(info.code);
    if (depth_from_bottom < 1 || depth_from_bottom > code->co_stacksize) return nullptr;
    return frames::localsplus(f)[code->co_nlocalsplus + depth_from_bottom - 1];
}

PyObject* fast_local(IFrame* f, int slot) {
    PyObject* v = frames::localsplus(f)[slot];
    if (v && PyCell_Check(v)) v = PyCell_GET(v);
    return v;
}

bool is_c_callable(PyObject* obj) {
    return PyCFunction_Check(obj) || Py_IS_TYPE(obj, &PyMethodDescr_Type);
}

// What `self.<method>` gives for the (method, self) pair a method load
// leaves; NULL (no error) when only running code could tell.
Ref bind_method(PyObject* meth, PyObject* self) {
    if (PyFunction_Check(meth)) return Ref::steal(PyMethod_New(meth, self));
    PyTypeObject* t = Py_TYPE(meth);
    if (t == &PyMethodDescr_Type || t == &PyWrapperDescr_Type || t == &PyClassMethodDescr_Type) {
        Ref r = Ref::steal(t->tp_descr_get(meth, self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
        if (!r) PyErr_Clear();
        return r;
    }
    if (!t->tp_descr_get) return Ref::borrow(meth);
    return {};
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
        if (!value) ++M.n.c_results_unknown;
        ok = exit_external(st, st.c_ext, value, nullptr) && ok;
    }
    if (st.lib_ext) {
        // Its frame's return was not seen (a class built without Python code).
        const Entry* call = info.entry(st.lib_offset);
        PyObject* value = nullptr;
        if (M.peek && call && call->next == offset) value = stack_slot(f, info, call->next_depth);
        if (!value) ++M.n.c_results_unknown;
        ok = exit_external(st, st.lib_ext, value, nullptr) && ok;
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
                    ok = attr_loaded(obj.get(), load->name, result.get()) && ok;
                }
            } else if (top) {
                ok = attr_loaded(obj.get(), load->name, top) && ok;
            }
        }
    }
    return ok;
}

// ----------------------------------------------------------- the loads

bool load_global(IFrame* f, FrameState& st, const Entry& e) {
    PyObject* globals = frames::globals(f);
    PyObject* value = nullptr;
    if (globals && PyDict_Check(globals)) {
        value = PyDict_GetItemWithError(globals, e.name);
        if (!value && PyErr_Occurred()) return absorb_internal();
    }
    if (!value) {
        PyObject* builtins = frames::builtins(f);
        if (builtins && PyDict_Check(builtins)) {
            value = PyDict_GetItemWithError(builtins, e.name);
            if (!value && PyErr_Occurred()) return absorb_internal();
        }
    }
    if (!value) return true;  // a NameError is coming
    for (auto& [name, seen] : st.seen) {
        if (name == e.name) {
            if (seen == value) return true;
            seen = value;
            return global_loaded(value, e.name);
        }
    }
    st.seen.emplace_back(e.name, value);
    Ref hold = Ref::borrow(value);  // the hook may change the globals
    return global_loaded(hold.get(), e.name);
}

Ref static_source(IFrame* f, FrameState& st, const Entry& e) {
    switch (e.src) {
        case SRC_LOCAL:
            return Ref::borrow(fast_local(f, e.src_slot));
        case SRC_GLOBAL: {
            PyObject* v = nullptr;
            PyObject* g = frames::globals(f);
            if (g && PyDict_Check(g)) v = PyDict_GetItemWithError(g, e.src_arg);
            if (!v && !PyErr_Occurred()) {
                PyObject* b = frames::builtins(f);
                if (b && PyDict_Check(b)) v = PyDict_GetItemWithError(b, e.src_arg);
            }
            return Ref::borrow(v);
        }
        case SRC_CONST:
            return Ref::borrow(e.src_arg);
        case SRC_ATTR:
            if (st.last_attr && st.last_attr_offset == e.src_offset) return st.last_attr;
            return {};
        default:
            return {};
    }
}

bool load_attr(IFrame* f, FrameState& st, const Entry& e, long offset) {
    if (M.peek) {
        PyObject* obj = stack_slot(f, *st.info, e.depth);
        if (!obj) {
            ++M.n.attrs_unknown;
            return true;
        }
        st.attr_obj = Ref::borrow(obj);
        st.attr_entry = &e;
        return true;
    }
    Ref obj = static_source(f, st, e);
    if (PyErr_Occurred()) return absorb_internal();
    if (!obj) {
        ++M.n.attrs_unknown;
        return true;
    }
    Ref result = call(M.getattr_static.get(), obj.get(), e.name);
    if (!result) return absorb_internal();
    if (result.get() == M.static_missing.get()) return true;  // an AttributeError is coming
    bool unknown = result.get() == M.static_unknown.get();
    if (e.kind == E_ATTR) {
        st.last_attr_offset = unknown ? -1 : offset;
        st.last_attr = unknown ? Ref() : result;
    }
    return attr_loaded(obj.get(), e.name, unknown ? nullptr : result.get());
}

// --------------------------------------------------------- entry reads

// The call's (args, kwargs) from the fast locals at its start.
bool read_arguments(IFrame* f, CodeInfo& info, bool drop_first, Ref& args, Ref& kwargs) {
    PyObject** slots = frames::localsplus(f);
    auto value = [&](int i) -> PyObject* {
        PyObject* v = slots[i];
        if (v && info.cell[static_cast<std::size_t>(i)]) v = PyCell_GET(v);
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

// What a call instruction of the caller called, when it started this
// frame: the called object and whether the frame's first argument is bound
// in it. Empty when it started something else.
Ref called_object(FrameState& caller, PyObject* code, bool& bound) {
    bound = false;
    PyObject* target = caller.call_target.get();
    if (!target) return {};
    PyObject* arg0 = caller.call_arg0.get();
    if (PyFunction_Check(target)) {
        if (PyFunction_GET_CODE(target) != code) return {};
        // A function found on the class of its first argument was called as
        // that object's method.
        if (arg0 && arg0 != M.missing.get()) {
            PyObject* name = reinterpret_cast<PyFunctionObject*>(target)->func_name;
            if (compat::type_lookup(Py_TYPE(arg0), name) == target) {
                bound = true;
                return Ref::steal(PyMethod_New(target, arg0));
            }
        }
        return Ref::borrow(target);
    }
    if (PyMethod_Check(target)) {
        PyObject* fn = PyMethod_GET_FUNCTION(target);
        if (PyFunction_Check(fn) && PyFunction_GET_CODE(fn) == code) {
            bound = true;
            return Ref::borrow(target);
        }
        return {};
    }
    if (PyType_Check(target)) {
        PyObject* init = compat::type_lookup(reinterpret_cast<PyTypeObject*>(target), S.init);
        if (init && PyFunction_Check(init) && PyFunction_GET_CODE(init) == code) {
            bound = true;  // a class: its __init__ gets the new object
            return Ref::borrow(target);
        }
    }
    return {};
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
        if (!info) return absorb_internal() ? keep() : nullptr;
        if (info->kind == 0) return info->watched ? keep() : disable();
        if (info->kind == kSkip) return disable();
        IFrame* f = current_frame();
        if (!f || frames::code(f) != code) {
            ++M.n.internal_errors;
            return keep();
        }
        drop_stale(f);
        StatePtr caller = caller_state(f);
        if (caller && info->kind != kRecord) {
            caller->call_target.reset();
            caller->call_arg0.reset();
        }
        if (info->kind == kRecord && M.max_calls && info->seen++ >= M.max_calls) {
            ++M.n.capped;
            if (info->live == 0) {
                if (info->local_events && !switch_off(*info) && !absorb_internal()) return nullptr;
            } else {
                info->switch_off = true;
            }
            return keep();
        }
        if (!ensure_local_events(*info)) return absorb_internal() ? keep() : nullptr;
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
                if (!fn) return absorb_internal() ? keep() : nullptr;
                if (fn.get() == Py_None) {
                    ++M.n.unresolved;
                    return keep();
                }
            }
        }
        Ref call_args, kwargs;
        if (!read_arguments(f, *info, bound, call_args, kwargs))
            return absorb_internal() ? keep() : nullptr;
        ++M.n.user_calls;
        // (fn, *args, **kwargs) as one vectorcall
        Py_ssize_t npos = PyTuple_GET_SIZE(call_args.get());
        Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs.get()) : 0;
        std::vector<PyObject*> argv(static_cast<std::size_t>(1 + npos + nkw));
        argv[0] = fn.get();
        for (Py_ssize_t k = 0; k < npos; ++k) argv[1 + k] = PyTuple_GET_ITEM(call_args.get(), k);
        Ref kwnames;
        if (nkw) {
            kwnames = Ref::steal(PyTuple_New(nkw));
            if (!kwnames) return absorb_internal() ? keep() : nullptr;
            Py_ssize_t pos = 0, k = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs.get(), &pos, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
                argv[static_cast<std::size_t>(1 + npos + k)] = value;
                ++k;
            }
        }
        Ref record = call_hook(H_USER, argv.data(), static_cast<std::size_t>(1 + npos),
                               kwnames.get());
        if (!record) return absorb_hook(H_USER) ? keep() : nullptr;
        if (record.get() == Py_None) {
            ++M.n.not_recorded;
        } else {
            ++M.n.records;
            st->record = std::move(record);
        }
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
                return exit_external(*caller, caller->lib_ext, args[2], nullptr) ? keep() : nullptr;
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
                return exit_external(*caller, caller->lib_ext, nullptr, args[2]) ? keep() : nullptr;
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
        if (offset < 0 && PyErr_Occurred()) return absorb_internal() ? keep() : nullptr;
        bool ok = true;
        st->call_target.reset();
        st->call_arg0.reset();
        st->attr_obj.reset();
        if (st->c_ext && within_call(*st->info, st->c_offset, offset))
            ok = exit_external(*st, st->c_ext, nullptr, args[2]);
        if (st->lib_ext && within_call(*st->info, st->lib_offset, offset)) {
            st->lib_code = nullptr;
            ok = exit_external(*st, st->lib_ext, nullptr, args[2]) && ok;
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
        if (offset < 0 && PyErr_Occurred()) return absorb_internal() ? keep() : nullptr;
        if (!settle(f, *st, offset)) return nullptr;
        PyObject* callable = args[2];
        PyObject* arg0 = args[3];
        if (is_c_callable(callable)) {
            if (st->c_ext) return keep();
            Ref bound;
            if (Py_IS_TYPE(callable, &PyMethodDescr_Type) && arg0 != M.missing.get()) {
                // As the interpreter binds it: the method of that object.
                auto* descr = reinterpret_cast<PyMethodDescrObject*>(callable);
                if (PyObject_TypeCheck(arg0, descr->d_common.d_type)) {
                    bound = Ref::steal(Py_TYPE(callable)->tp_descr_get(
                        callable, arg0, reinterpret_cast<PyObject*>(Py_TYPE(arg0))));
                    if (!bound && !absorb_internal()) return nullptr;
                }
            }
            Ref ext;
            if (!enter_external(bound ? bound.get() : callable, 0, ext)) return nullptr;
            if (ext) {
                st->c_ext = std::move(ext);
                st->c_offset = offset;
            }
            return keep();
        }
        // A Python function: the project's own, or a library call.
        PyObject* target_code = nullptr;
        if (PyFunction_Check(callable)) {
            target_code = PyFunction_GET_CODE(callable);
        } else if (PyMethod_Check(callable)) {
            PyObject* fn = PyMethod_GET_FUNCTION(callable);
            if (PyFunction_Check(fn)) target_code = PyFunction_GET_CODE(fn);
        } else if (PyType_Check(callable)) {
            PyObject* init = compat::type_lookup(reinterpret_cast<PyTypeObject*>(callable), S.init);
            if (init && PyFunction_Check(init)) target_code = PyFunction_GET_CODE(init);
        }
        if (!target_code) return keep();
        st->call_target = Ref::borrow(callable);
        st->call_arg0 = Ref::borrow(arg0);
        st->call_offset = offset;
        CodeInfo* target = code_info(target_code);
        if (!target) return absorb_internal() ? keep() : nullptr;
        if (target->kind != 0 || st->lib_ext) return keep();
        if (reinterpret_cast<PyCodeObject*>(target_code)->co_flags &
            (CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE))
            return keep();
        if (!target->watched) {
            if (!set_local_events(target_code, bit(EV_PY_RETURN))) {
                return absorb_internal() ? keep() : nullptr;
            }
            target->watched = true;
            target->local_events = true;
            M.with_local_events.insert(target);
        }
        Ref ext;
        if (!enter_external(callable, 1, ext)) return nullptr;
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
        ++M.n.c_results_unknown;
        return exit_external(*st, st->c_ext, nullptr, nullptr) ? keep() : nullptr;
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
        if (offset < 0 && PyErr_Occurred()) return absorb_internal() ? keep() : nullptr;
        IFrame* f = current_frame();
        StatePtr st = find_state(f, code);
        if (!st) {
            CodeInfo* info = code_info(code);
            if (!info) return absorb_internal() ? keep() : nullptr;
            return info->entry(offset) ? keep() : disable();
        }
        const Entry* e = st->info->entry(offset);
        if (!settle(f, *st, offset)) return nullptr;
        if (!e) return disable();
        bool ok = true;
        if (e->kind == E_GLOBAL) {
            ok = load_global(f, *st, *e);
        } else if (e->kind == E_ATTR || e->kind == E_METHOD) {
            ok = load_attr(f, *st, *e, offset);
        } else if ((e->kind == E_CALL || e->kind == E_NEXT) && (!M.peek || !e->is_next)) {
            return disable();
        }
        return ok ? keep() : nullptr;
    });
}

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
        PyObject* hooks = args[0];
        M.null_hooks = hooks == Py_None;
        for (int h = 0; h < H_COUNT; ++h) {
            M.hooks[h].reset();
            if (!M.null_hooks) {
                M.hooks[h] = Ref::steal(PyObject_GetAttrString(hooks, kHookNames[h]));
                if (!M.hooks[h]) return nullptr;
            }
        }
        M.builder = Ref::borrow(args[1]);
        M.finder = Ref::borrow(args[2]);
        M.getattr_static = Ref::borrow(args[3]);
        M.static_missing = Ref::borrow(args[4]);
        M.static_unknown = Ref::borrow(args[5]);
        M.token = Ref::borrow(args[6]);
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
            M.n = Counters{};
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
    M.stopped_calls = M.n.user_calls;
    M.stopped_reason = Ref::steal(
        PyUnicode_FromFormat("the program took the sys.monitoring tool id %d", tool));
    if (!M.stopped_reason) (void)absorb_internal();
    if (!shutdown()) (void)absorb_internal();
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
        const Counters& c = M.n;
        Ref errors = Ref::steal(PyDict_New());
        if (!errors) return nullptr;
        for (int h = 0; h < H_COUNT; ++h) {
            if (!c.hook_errors[h]) continue;
            Ref v = Ref::steal(PyLong_FromUnsignedLongLong(c.hook_errors[h]));
            if (!v || PyDict_SetItemString(errors.get(), kHookNames[h], v.get()) < 0) return nullptr;
        }
        return Py_BuildValue(
            "{sKsKsKsKsKsKsKsKsKsKsKsKsOsn}", "user_calls", c.user_calls, "records", c.records,
            "not_recorded", c.not_recorded, "unresolved", c.unresolved, "capped", c.capped,
            "external_calls", c.external_calls, "external_records", c.external_records,
            "globals", c.globals, "attrs", c.attrs, "attrs_unknown", c.attrs_unknown,
            "c_results_unknown", c.c_results_unknown, "internal_errors", c.internal_errors,
            "hook_errors", errors.get(), "running_frames",
            static_cast<Py_ssize_t>(M.frames.size()));
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

#else  // not MONITOR_AVAILABLE

PyMethodDef functions[] = {{}};

#endif

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_monitor",
                          "The tracing layer's sys.monitoring backend.", -1, functions};

}  // namespace

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
