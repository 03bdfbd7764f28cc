// What the files of the sys.monitoring layer share: the tables kept per
// code object, the state of a running frame, the layer's own state, and the
// functions one file offers another. CPython 3.12 and later only.
#pragma once

#include "tarn/trace_hooks.hpp"

#if PY_VERSION_HEX >= 0x030C0000
#define MONITOR_AVAILABLE 1
#else
#define MONITOR_AVAILABLE 0
#endif

#include <tsl/robin_map.h>
#include <tsl/robin_set.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace monitor {

using namespace tarn;
using namespace tarn::trace;

#define MONITOR_STRINGS(X)                    \
    X(use_tool_id, "use_tool_id")             \
    X(free_tool_id, "free_tool_id")           \
    X(get_tool, "get_tool")                   \
    X(register_callback, "register_callback") \
    X(set_events, "set_events")               \
    X(set_local_events, "set_local_events")   \
    X(init, "__init__")                       \
    X(code_dunder, "__code__")                \
    X(tool_name, "tarnwick")

TARN_STRING_TABLE(Strings, MONITOR_STRINGS);
extern Strings S;

#if MONITOR_AVAILABLE

namespace frames = tarn::compat::frames;
using frames::IFrame;

// Rows of the instruction table (tracing/bytecode.py monitor_table).
enum : std::uint8_t { E_NONE = 0, E_GLOBAL = 1, E_ATTR = 2, E_METHOD = 3, E_CALL = 4, E_NEXT = 5 };

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
    Arguments args;             // where a plain function's arguments are

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
    SeenGlobals seen;
};
using StatePtr = std::shared_ptr<FrameState>;


struct Monitor {
    bool active = false;
    int tool = -1;
    std::uint64_t generation = 0;
    Py_ssize_t extra_index = -1;
    bool peek = true;        // value stack reads
    bool layout_ok = false;  // the frame record matches the mirror
    std::uint64_t max_calls = 0;
    Hooks h;
    Ref builder;        // code -> None | (kind, rows)
    Ref finder;         // (code) -> function or None, for frames started from C
    Ref getattr_static; // (obj, name) -> value | MISSING | UNKNOWN
    Ref static_missing, static_unknown;
    Ref monitoring, disable, missing;
    Ref set_local_events_fn;
    tsl::robin_map<void*, StatePtr, AddressHash> frames;
    tsl::robin_set<CodeInfo*, AddressHash> with_local_events;
    long local_mask = 0;
    // Set when the layer stopped before stop(): why, and when.
    Ref stopped_reason;
    double stopped_seconds = 0;
    std::uint64_t stopped_calls = 0;
    std::chrono::steady_clock::time_point started;
};

extern Monitor& M;

// monitor_code.cpp
void free_info(void* p);
bool set_local_events(PyObject* code, long mask);
CodeInfo* code_info(PyObject* code);
bool ensure_local_events(CodeInfo& info);
bool switch_off(CodeInfo& info);
PyObject* stack_slot(IFrame* f, CodeInfo& info, int depth_from_bottom);

// _monitor.cpp: the events
PyObject* on_py_start(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* on_py_return(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* on_py_unwind(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* on_py_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* on_raise(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* on_call(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* on_c_return(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* on_c_raise(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* on_instruction(PyObject*, PyObject* const* args, Py_ssize_t nargs);
IFrame* current_frame();

// monitor_start.cpp
extern PyMethodDef functions[];

#endif

}  // namespace monitor
