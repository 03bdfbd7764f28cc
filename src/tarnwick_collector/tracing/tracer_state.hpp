// What the files of the trace-function layer share: the tables kept per
// code object, the state of a running frame, the layer's own state, and the
// functions one file offers another. CPython 3.10 and 3.11 only.
#pragma once

#include "tarn/trace_hooks.hpp"

#if PY_VERSION_HEX < 0x030C0000
#define TRACER_AVAILABLE 1
#else
#define TRACER_AVAILABLE 0
#endif

#include <tsl/robin_map.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace tracer {

using namespace tarn;
using namespace tarn::trace;

#define TRACER_STRINGS(X)                   \
    X(init, "__init__")                     \
    X(start_new_thread, "start_new_thread") \
    X(start_new, "start_new")

TARN_STRING_TABLE(Strings, TRACER_STRINGS);
extern Strings S;

#if TRACER_AVAILABLE

namespace frames = tarn::compat::frames;

// How a call instruction lays out its arguments (bytecode.py CALL_LAYOUTS).
enum : std::uint8_t { CALL_POSITIONAL = 0, CALL_METHOD = 1, CALL_KW = 2, CALL_EX = 3 };

// Rows of the load table (tracing/bytecode.py load_table).
enum : std::uint8_t { E_NONE = 0, E_GLOBAL = 1, E_ATTR = 2, E_METHOD = 3, E_CALL = 4 };

struct Entry {
    std::uint8_t kind = E_NONE;
    std::uint8_t src = SRC_NONE;
    bool method_call = false;  // E_CALL: the method-call layout (NULL or method, then self)
    std::uint8_t layout = 0;   // E_CALL: where its arguments are (CALL_*)
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
    // The rows, and by offset / 2 one more than a row's index (0: none):
    // the index is what every opcode event reads, so it is kept small.
    std::vector<Entry> rows_at;
    std::vector<std::uint16_t> at;
    Ref rows;                  // the table rows, owning the names
    Arguments args;            // where a plain function's arguments are

    const Entry* entry(long offset) const {
        std::size_t i = static_cast<std::size_t>(offset) / 2;
        if (offset < 0 || i >= at.size() || at[i] == 0) return nullptr;
        return &rows_at[at[i] - 1];
    }
};

// What waits for the frame's next instruction: an attribute load's result,
// a returned C call's result (P_C), a C call still running (P_CRUN), or
// what a call instruction called, for the frame it starts (P_CALL).
enum Pending : std::uint8_t { P_NONE, P_ATTR, P_C, P_CRUN, P_CALL };

// One running frame of project code, or a library frame that project code
// called (`library`: only `record` (its external record) and `exc` are used).
struct FrameState : std::enable_shared_from_this<FrameState> {
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
    bool c_by_call = true;       // C calls seen at call instructions (else by the profile function)
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
    tsl::robin_map<PyFrameObject*, StatePtr, AddressHash> frames;
    // The last frame an opcode event was for, and its state: runs of events
    // come from one frame. Cleared whenever an entry leaves `frames`.
    PyFrameObject* last_f = nullptr;
    FrameState* last_st = nullptr;
    // start_new_thread of _thread, while ours stands in for it
    Ref thread_module, real_start_new_thread, our_start_new_thread;
};

extern Tracer& T;

// tracer_code.cpp
void free_info(void* p);
CodeInfo* code_info(PyObject* code);
PyObject* stack(PyFrameObject* f, const CodeInfo& info, int from_top);

// _tracer.cpp: the events
int on_trace(PyObject* obj, PyFrameObject* f, int what, PyObject* arg);
int on_profile(PyObject* obj, PyFrameObject* f, int what, PyObject* arg);

// tracer_threads.cpp
void install_here();
extern PyMethodDef entry_defs[];
extern PyTypeObject BootType;
bool swap_start_new_thread(bool on);

#endif

}  // namespace tracer
