// Interpreter-version shims. Every difference between the supported
// CPython versions that the modules care about is handled here.
#pragma once

#include "tarn/ref.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif
#if PY_VERSION_HEX < 0x030B0000
#include <frameobject.h>
#endif

#include <cstddef>
#include <cstdint>
#include <utility>

#if PY_VERSION_HEX < 0x030A0000
#error "CPython 3.10 or newer is required"
#endif

namespace tarn::compat {

// getattr(obj, name) where a missing attribute is not an error:
// 1 found (out set), 0 missing (no error set), -1 error.
inline int lookup_attr(PyObject* obj, PyObject* name, Ref& out) {
    PyObject* res = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    int rc = PyObject_GetOptionalAttr(obj, name, &res);
#else
    int rc = _PyObject_LookupAttr(obj, name, &res);
#endif
    out = Ref::steal(res);
    return rc;
}

// The attribute lookup of `type` itself (type.__getattribute__): follows the
// MRO and binds descriptors, but bypasses any metaclass override.
inline Ref type_generic_getattr(PyObject* cls, PyObject* name) {
    return Ref::steal(PyType_Type.tp_getattro(cls, name));
}

// The attribute `name` of a type as its MRO holds it: no descriptor is
// applied and no error is raised. Borrowed; NULL when absent.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

// The entry `name` of the type's own dict (its bases are not looked at).
// Borrowed (the type keeps its dict); NULL when absent, with an error set
// only when the lookup itself failed.
inline PyObject* type_own_item(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030C0000
    // Static built-in types keep their dict per interpreter, not in tp_dict.
    Ref dict = Ref::steal(PyType_GetDict(type));
    return dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
#else
    return type->tp_dict ? PyDict_GetItemWithError(type->tp_dict, name) : nullptr;
#endif
}

// The member that tells a heap type where its instances keep their
// vectorcall function.
inline PyMemberDef vectorcall_offset_member(Py_ssize_t offset) {
#if PY_VERSION_HEX >= 0x030C0000
    return {"__vectorcalloffset__", Py_T_PYSSIZET, offset, Py_READONLY, nullptr};
#else
    return {"__vectorcalloffset__", T_PYSSIZET, offset, READONLY, nullptr};
#endif
}

// ------------------------------------------------------------ exceptions
// The pending exception as one object (normalized, traceback attached), and
// no exception pending afterwards. Empty when none was pending.
inline Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return {};
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    if (v && b) PyException_SetTraceback(v.get(), b.get());
    return v;
#endif
}

// Makes `exc` (from take_exception) the pending exception again.
inline void restore_exception(Ref exc) {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    PyErr_Restore(type.release(), exc.release(), tb.release());
#endif
}

// Records `cause` as the __context__ of the pending exception, unless that
// already has one.
inline void add_context(Ref cause) {
    Ref current = take_exception();
    if (current && cause && current.get() != cause.get()) {
        Ref had = Ref::steal(PyException_GetContext(current.get()));
        if (!had) PyException_SetContext(current.get(), cause.release());
    }
    restore_exception(std::move(current));
}

// Keeps the pending exception aside while clean-up code runs, and makes it
// pending again at the end of the scope.
class SavedError {
public:
    SavedError() : exc_(take_exception()) {}
    ~SavedError() { restore_exception(std::move(exc_)); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
    Ref exc_;
};

// Code object fields the introspector reads on every call.
inline int code_flags(PyCodeObject* code) { return code->co_flags; }
inline PyObject* code_filename(PyCodeObject* code) { return code->co_filename; }
inline PyObject* code_names(PyCodeObject* code) { return code->co_names; }

// The slot of an object's instance __dict__, or NULL when it has none. On
// interpreters that keep instance attributes inline, the dict is made.
inline PyObject** instance_dict_ptr(PyObject* obj) {
#if PY_VERSION_HEX >= 0x030D0000
    // No pointer API any more: callers only read through it.
    static thread_local PyObject* slot;
    Py_XDECREF(slot);
    slot = PyObject_GenericGetDict(obj, nullptr);
    if (!slot) PyErr_Clear();
    return slot ? &slot : nullptr;
#else
    return _PyObject_GetDictPtr(obj);
#endif
}

// The type's version tag while it is valid (it changes whenever the type or
// a base is modified), 0 when there is none to trust.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return type->tp_version_tag;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}


// ----------------------------------------------------- size measurement
// What sys.getsizeof adds to __sizeof__: the collector's header and, from
// 3.11 on, the managed dict (and weakref) pointers kept before the object.
inline std::size_t preheader_size(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    constexpr std::size_t gc_head = 2 * sizeof(void*);
#if PY_VERSION_HEX >= 0x030C0000
    return (PyType_IS_GC(t) ? gc_head : 0) +
           ((t->tp_flags & (Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF))
                ? 2 * sizeof(PyObject*)
                : 0);
#elif PY_VERSION_HEX >= 0x030B0000
    return (PyType_IS_GC(t) ? gc_head : 0) +
           ((t->tp_flags & Py_TPFLAGS_MANAGED_DICT) ? 2 * sizeof(PyObject*) : 0);
#else
    (void)t;
    return PyObject_IS_GC(obj) ? gc_head : 0;
#endif
}

// object.__sizeof__(obj), computed without a call.
inline std::size_t object_sizeof(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    Py_ssize_t size = t->tp_basicsize;
    if (t->tp_itemsize > 0) size += Py_SIZE(obj) * t->tp_itemsize;
    return static_cast<std::size_t>(size);
}

// The dict a type keeps its own attributes in (not its bases'). Borrowed.
inline PyObject* own_type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    Ref d = Ref::steal(PyType_GetDict(type));
    return d.get();  // the type keeps it alive
#else
    return type->tp_dict;
#endif
}

// What a weak reference points to, or empty when it is dead.
inline Ref weakref_referent(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0) PyErr_Clear();
    return Ref::steal(obj);
#else
    PyObject* obj = PyWeakref_GetObject(ref);
    if (!obj || obj == Py_None) return {};
    return Ref::borrow(obj);
#endif
}

// Whether instances of `t` can have an instance __dict__.
inline bool supports_instance_dict(PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x030B0000
    if (t->tp_flags & Py_TPFLAGS_MANAGED_DICT) return true;
#endif
    return t->tp_dictoffset != 0;
}

// The instance dict of `obj` as an owned reference, made when the object
// supports one and has none yet; empty (no error) when it has no dict.
inline Ref ensure_instance_dict(PyObject* obj) {
#if PY_VERSION_HEX >= 0x030D0000
    if (!(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT) && Py_TYPE(obj)->tp_dictoffset == 0)
        return {};
    Ref d = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!d) PyErr_Clear();
    return d;
#else
    PyObject** slot = _PyObject_GetDictPtr(obj);  // 3.11: makes a managed dict real
    if (!slot) return {};
    if (*slot) return Ref::borrow(*slot);
    Ref d = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!d) PyErr_Clear();
    return d;
#endif
}

// The instance dict of `obj` if it already exists (3.11 and later: also
// one the interpreter keeps as inline values). Owned; empty otherwise.
inline Ref existing_instance_dict(PyObject* obj) {
#if PY_VERSION_HEX >= 0x030D0000
    return ensure_instance_dict(obj);
#else
    PyObject** slot = _PyObject_GetDictPtr(obj);
    return slot ? Ref::borrow(*slot) : Ref();
#endif
}

// Where an interpreter keeps an instance's attributes inline (3.13), its
// traversal visits those values but not the instance dict made from them.
// That dict when it exists; empty (no error) otherwise.
inline Ref dict_beside_inline_values(PyObject* obj) {
#if PY_VERSION_HEX >= 0x030D0000
    if (PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_INLINE_VALUES)) return existing_instance_dict(obj);
#else
    (void)obj;
#endif
    return {};
}

// A suspended generator's frame where it is an object of its own that the
// generator's traversal hands over (3.10); NULL where the generator visits
// its locals itself.
inline PyObject* generator_frame(PyObject* gen) {
#if PY_VERSION_HEX < 0x030B0000
    return reinterpret_cast<PyObject*>(reinterpret_cast<PyGenObject*>(gen)->gi_frame);
#else
    (void)gen;
    return nullptr;
#endif
}

// Whether `child`, met in the traversal of a generator's frame, is part of
// the frame's context (caller, code, globals, builtins) rather than its state.
inline bool frame_context(PyObject* frame, PyObject* child) {
#if PY_VERSION_HEX < 0x030B0000
    auto* f = reinterpret_cast<PyFrameObject*>(frame);
    return child == reinterpret_cast<PyObject*>(f->f_back) ||
           child == reinterpret_cast<PyObject*>(f->f_code) || child == f->f_builtins ||
           child == f->f_globals;
#else
    (void)frame, (void)child;
    return false;
#endif
}

// The names of a generator's local variables, cells and free variables:
// the keys its frame's locals dict gets. Owned tuples, appended to `out`.
template <class Out>
inline void generator_local_names(PyObject* gen, Out&& out) {
#if PY_VERSION_HEX >= 0x030C0000
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(gen))));
    if (!code) { PyErr_Clear(); return; }
    Ref names = Ref::steal(PyObject_GetAttrString(code.get(), "co_varnames"));
    if (names) out(std::move(names)); else PyErr_Clear();
    for (const char* n : {"co_cellvars", "co_freevars"}) {
        Ref more = Ref::steal(PyObject_GetAttrString(code.get(), n));
        if (more) out(std::move(more)); else PyErr_Clear();
    }
#elif PY_VERSION_HEX >= 0x030B0000
    auto* code = reinterpret_cast<PyGenObject*>(gen)->gi_code;
    if (code) out(Ref::borrow(code->co_localsplusnames));
#else
    auto* code = reinterpret_cast<PyCodeObject*>(reinterpret_cast<PyGenObject*>(gen)->gi_code);
    if (!code) return;
    out(Ref::borrow(code->co_varnames));
    out(Ref::borrow(code->co_cellvars));
    out(Ref::borrow(code->co_freevars));
#endif
}

// How deep the thread is in nested C-level calls, as the interpreter counts
// them against its recursion limit (each value the C pickler descends into
// counts one). Only the difference of two readings means anything.
inline int recursion_depth() {
    PyThreadState* ts = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    return -ts->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    return ts->recursion_limit - ts->recursion_remaining;
#else
    return ts->recursion_depth;
#endif
}

// A number that changes whenever the dict is changed and that no other
// state of any dict shares, so an unchanged number means unchanged
// contents; 0 where the interpreter keeps none (callers then check anew).
inline unsigned long long dict_version(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030E0000
    (void)dict;
    return 0;
#else
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#endif
}

// True when the weak reference `ref` still points at `obj`.
inline bool weakref_points_at(PyObject* ref, PyObject* obj) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(ref, &target) < 0) {
        PyErr_Clear();
        return false;
    }
    Ref held = Ref::steal(target);  // only compared, then given back
    return target == obj;
#else
    return PyWeakref_GetObject(ref) == obj;
#endif
}

// Takes the pending exception out of the thread's error indicator and
// leaves the indicator empty. The indicator's references are not released:
// the tracing extension restores that same exception after the hook, with
// the pointers it saw. Borrowed results; NULL where a slot was empty.
inline void take_pending_exception(PyObject** type, PyObject** value) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    *value = exc;
    *type = exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : nullptr;
#else
    PyObject* traceback = nullptr;
    PyErr_Fetch(type, value, &traceback);
#endif
}

// The object a weak reference points to, or NULL once it has died.
// Borrowed: valid while something else keeps the object alive.
inline PyObject* weakref_target(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    Py_DECREF(obj);  // alive: a referent is held by someone else
    return obj;
#else
    PyObject* obj = PyWeakref_GetObject(ref);
    return obj == Py_None ? nullptr : obj;
#endif
}


// --------------------------------------------------------- code fields
// Length of the bytecode in bytes; -1 with an error set.
inline Py_ssize_t code_size(PyCodeObject* code) {
#if PY_VERSION_HEX >= 0x030B0000
    Ref raw = Ref::steal(PyCode_GetCode(code));
    return raw ? PyBytes_Size(raw.get()) : -1;
#else
    return PyBytes_Size(code->co_code);
#endif
}
inline Ref code_varnames(PyCodeObject* code) {
#if PY_VERSION_HEX >= 0x030B0000
    return Ref::steal(PyCode_GetVarnames(code));
#else
    return Ref::borrow(code->co_varnames);
#endif
}

// The cell slot that holds argument `arg` when the argument is also a cell
// variable (3.10 moves it there and empties the argument's slot); -1 else.
inline int argument_cell(PyCodeObject* code, int arg) {
#if PY_VERSION_HEX >= 0x030B0000
    (void)code, (void)arg;
    return -1;
#else
    if (!code->co_cell2arg) return -1;
    Py_ssize_t ncells = PyTuple_GET_SIZE(code->co_cellvars);
    for (Py_ssize_t j = 0; j < ncells; ++j)
        if (code->co_cell2arg[j] == arg) return code->co_nlocals + static_cast<int>(j);
    return -1;
#endif
}
// Whether argument slot `arg` holds a cell at the frame's start (3.11 and
// later make the cells before the call event).
inline bool argument_is_cell(PyCodeObject* code, int arg) {
#if PY_VERSION_HEX >= 0x030B0000
    if (arg >= code->co_nlocalsplus) return false;
    return static_cast<unsigned char>(PyBytes_AS_STRING(code->co_localspluskinds)[arg]) & 0x40;
#else
    (void)code, (void)arg;
    return false;
#endif
}

// --------------------------------------------------------- code extras
// A slot per code object for a tracer's own data, freed with the code.
inline Py_ssize_t request_code_extra_index(freefunc free_fn) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Eval_RequestCodeExtraIndex(free_fn);
#else
    return _PyEval_RequestCodeExtraIndex(free_fn);
#endif
}
inline int code_get_extra(PyObject* code, Py_ssize_t index, void** extra) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_GetExtra(code, index, extra);
#else
    return _PyCode_GetExtra(code, index, extra);
#endif
}
inline int code_set_extra(PyObject* code, Py_ssize_t index, void* extra) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_SetExtra(code, index, extra);
#else
    return _PyCode_SetExtra(code, index, extra);
#endif
}

// --------------------------------------------------- interpreter frames
// The running frame, read through the interpreter's own frame record. Its
// layout is mirrored here per version; a tracer checks it against a live
// frame (frames::layout_matches) before it trusts any read.
namespace frames {

#if PY_VERSION_HEX >= 0x030C0000
struct IFrame {
    PyObject* executable;  // the code object (3.12: f_code, 3.13: f_executable)
    IFrame* previous;
    PyObject* funcobj;
    PyObject* globals;
    PyObject* builtins;
    PyObject* locals;
    PyObject* frame_obj;
    void* instr;
    int stacktop;
    std::uint16_t return_offset;
    char owner;
    PyObject* localsplus[1];
};
constexpr char kOwnedByCStack = 3;
// The kind bit of a fast-locals slot that holds a cell (co_localspluskinds).
constexpr unsigned char kFastCell = 0x40;

inline IFrame* current(PyThreadState* ts) {
#if PY_VERSION_HEX >= 0x030D0000
    return reinterpret_cast<IFrame*>(ts->current_frame);
#else
    return ts->cframe ? reinterpret_cast<IFrame*>(ts->cframe->current_frame) : nullptr;
#endif
}

inline PyObject* code(const IFrame* f) { return f->executable; }
inline PyObject* function(const IFrame* f) { return f->funcobj; }
inline PyObject* globals(const IFrame* f) { return f->globals; }
inline PyObject* builtins(const IFrame* f) { return f->builtins; }
inline PyObject** localsplus(IFrame* f) { return f->localsplus; }

// The frame that called `f` directly from Python code; NULL when `f` was
// started by C code (an entry record sits between them) or is the first.
inline IFrame* python_caller(const IFrame* f) {
    IFrame* prev = f->previous;
    if (!prev || prev->owner == kOwnedByCStack) return nullptr;
    return prev;
}

// The Python frame below the one C entry record between it and `f`, when
// C code called from Python started `f`.
inline IFrame* caller_through_c(const IFrame* f) {
    IFrame* prev = f->previous;
    if (!prev || prev->owner != kOwnedByCStack) return nullptr;
    IFrame* below = prev->previous;
    return below && below->owner != kOwnedByCStack ? below : nullptr;
}

// What a method-form attribute load leaves on the stack, given the two top
// slots: the method and its object, or (NULL method) the attribute.
inline void method_load_result(PyObject* below_top, PyObject* top, PyObject** method,
                               PyObject** self_or_attr) {
#if PY_VERSION_HEX >= 0x030D0000
    // attr-or-method, then self-or-NULL on top
    *method = top ? below_top : nullptr;
    *self_or_attr = top ? top : below_top;
#else
    // method-or-NULL, then self-or-attr on top
    *method = below_top;
    *self_or_attr = top;
#endif
}

inline bool layout_matches(IFrame* f, PyObject* code_obj, PyObject* function_obj,
                           PyObject* globals_dict) {
    return f && f->executable == code_obj && f->funcobj == function_obj &&
           f->globals == globals_dict && f->owner != kOwnedByCStack;
}
#endif


#if PY_VERSION_HEX < 0x030C0000
// CPython 3.10 and 3.11: the frame a trace function is given. 3.10 declares
// its frame object; 3.11 keeps the data in an interpreter frame whose layout
// is mirrored here and checked on a live frame (layout_matches) at start.
#if PY_VERSION_HEX >= 0x030B0000
struct IFrame311 {
    PyObject* f_func;
    PyObject* f_globals;
    PyObject* f_builtins;
    PyObject* f_locals;
    PyObject* f_code;
    PyObject* frame_obj;
    IFrame311* previous;
    void* prev_instr;
    int stacktop;
    bool is_entry;
    char owner;
    PyObject* localsplus[1];
};
struct Frame311 {
    PyObject_HEAD
    PyObject* f_back;
    IFrame311* f_frame;
    PyObject* f_trace;
    int f_lineno;
    char f_trace_lines;
    char f_trace_opcodes;
    char f_fast_as_locals;
};
inline Frame311* raw(PyFrameObject* f) { return reinterpret_cast<Frame311*>(f); }
inline IFrame311* iframe(PyFrameObject* f) { return raw(f)->f_frame; }
#endif

inline void set_trace_lines(PyFrameObject* f, bool on) {
#if PY_VERSION_HEX >= 0x030B0000
    raw(f)->f_trace_lines = on;
#else
    f->f_trace_lines = on;
#endif
}
inline void set_trace_opcodes(PyFrameObject* f, bool on) {
#if PY_VERSION_HEX >= 0x030B0000
    raw(f)->f_trace_opcodes = on;
#else
    f->f_trace_opcodes = on;
#endif
}
inline bool trace_opcodes(PyFrameObject* f) {
#if PY_VERSION_HEX >= 0x030B0000
    return raw(f)->f_trace_opcodes;
#else
    return f->f_trace_opcodes;
#endif
}
inline PyObject* code(PyFrameObject* f) {
#if PY_VERSION_HEX >= 0x030B0000
    return iframe(f)->f_code;
#else
    return reinterpret_cast<PyObject*>(f->f_code);
#endif
}
inline PyObject* globals(PyFrameObject* f) {
#if PY_VERSION_HEX >= 0x030B0000
    return iframe(f)->f_globals;
#else
    return f->f_globals;
#endif
}
inline PyObject* builtins(PyFrameObject* f) {
#if PY_VERSION_HEX >= 0x030B0000
    return iframe(f)->f_builtins;
#else
    return f->f_builtins;
#endif
}
// The frame's function where the interpreter keeps it (3.11), else NULL.
inline PyObject* function(PyFrameObject* f) {
#if PY_VERSION_HEX >= 0x030B0000
    return iframe(f)->f_func;
#else
    (void)f;
    return nullptr;
#endif
}
// The caller's frame object, without making one: NULL when the caller has
// none (it was never traced) or there is no caller.
inline PyFrameObject* caller(PyFrameObject* f) {
#if PY_VERSION_HEX >= 0x030B0000
    IFrame311* prev = iframe(f)->previous;
    return prev ? reinterpret_cast<PyFrameObject*>(prev->frame_obj) : nullptr;
#else
    return f->f_back;
#endif
}
// Byte offset of the instruction an opcode event is about (or the last one run).
inline long lasti(PyFrameObject* f) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyFrame_GetLasti(f);
#else
    return f->f_lasti < 0 ? -1 : static_cast<long>(f->f_lasti) * 2;
#endif
}
// The fast locals (arguments first).
inline PyObject** fast_locals(PyFrameObject* f) {
#if PY_VERSION_HEX >= 0x030B0000
    return iframe(f)->localsplus;
#else
    return f->f_localsplus;
#endif
}
// Slots before the value stack.
inline int nlocalsplus(PyCodeObject* code) {
#if PY_VERSION_HEX >= 0x030B0000
    return code->co_nlocalsplus;
#else
    return code->co_nlocals + static_cast<int>(PyTuple_GET_SIZE(code->co_cellvars) +
                                               PyTuple_GET_SIZE(code->co_freevars));
#endif
}
// The value `from_top` below the stack top while a trace function runs
// (the interpreter stores the depth before it calls one); NULL when the
// stack is not that deep or the slot is empty.
inline PyObject* stack_item(PyFrameObject* f, PyCodeObject* code, int from_top) {
#if PY_VERSION_HEX >= 0x030B0000
    int depth = iframe(f)->stacktop - code->co_nlocalsplus;
    if (from_top < 0 || depth <= from_top || depth > code->co_stacksize) return nullptr;
    return iframe(f)->localsplus[iframe(f)->stacktop - 1 - from_top];
#else
    int depth = f->f_stackdepth;
    if (from_top < 0 || depth <= from_top || depth > code->co_stacksize) return nullptr;
    return f->f_valuestack[depth - 1 - from_top];
#endif
}
// fn(frame object) for each frame running on thread `ts` that has one.
template <class F>
inline void for_each_running(PyThreadState* ts, F&& fn) {
#if PY_VERSION_HEX >= 0x030B0000
    if (!ts->cframe) return;
    for (auto* i = reinterpret_cast<IFrame311*>(ts->cframe->current_frame); i; i = i->previous)
        if (i->frame_obj) fn(reinterpret_cast<PyFrameObject*>(i->frame_obj));
#else
    for (PyFrameObject* f = ts->frame; f; f = f->f_back) fn(f);
#endif
}
inline bool layout_matches(PyFrameObject* f, PyObject* code_obj, PyObject* globals_dict) {
#if PY_VERSION_HEX >= 0x030B0000
    IFrame311* i = iframe(f);
    return i && i->f_code == code_obj && i->f_globals == globals_dict &&
           i->frame_obj == reinterpret_cast<PyObject*>(f);
#else
    return reinterpret_cast<PyObject*>(f->f_code) == code_obj && f->f_globals == globals_dict;
#endif
}
#endif

}  // namespace frames

}  // namespace tarn::compat
