// Interpreter-version shims. Every difference between the supported
// CPython versions that the modules care about is handled here.
#pragma once

#include "tarn/ref.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
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


// sys.getsizeof(obj): (size_t)-1 with an error set on failure.
#if PY_VERSION_HEX >= 0x030D0000
// The interpreter no longer exports its own: the same steps, with the type's
// __sizeof__ found as the interpreter finds special methods.
inline std::size_t size_of(PyObject* obj) {
    static PyObject* const name = PyUnicode_InternFromString("__sizeof__");
    constexpr auto failed = static_cast<std::size_t>(-1);
    if (!name) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return failed;
    }
    PyTypeObject* tp = Py_TYPE(obj);
    if (PyType_Ready(tp) < 0) return failed;
    Ref entry = Ref::borrow(_PyType_Lookup(tp, name));
    if (!entry) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "Type %.100s doesn't define __sizeof__", tp->tp_name);
        return failed;
    }
    Ref method;
    if (descrgetfunc get = Py_TYPE(entry.get())->tp_descr_get)
        method = Ref::steal(get(entry.get(), obj, reinterpret_cast<PyObject*>(tp)));
    else
        method = std::move(entry);
    if (!method) return failed;
    Ref res = Ref::steal(PyObject_CallNoArgs(method.get()));
    if (!res) return failed;
    Py_ssize_t size = PyLong_AsSsize_t(res.get());
    if (size == -1 && PyErr_Occurred()) return failed;
    if (size < 0) {
        PyErr_SetString(PyExc_ValueError, "__sizeof__() should return >= 0");
        return failed;
    }
    std::size_t header = 0;
    if (!Py_IS_TYPE(obj, &PyType_Type) ||
        PyType_HasFeature(reinterpret_cast<PyTypeObject*>(obj), Py_TPFLAGS_HEAPTYPE)) {
        // What the interpreter keeps in front of the object: the collector's
        // two links, and the managed dict and weakref pointers.
        if (PyType_IS_GC(tp)) header += 2 * sizeof(std::uintptr_t);
        if (PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF))
            header += 2 * sizeof(PyObject*);
    }
    return static_cast<std::size_t>(size) + header;
}
#else
inline std::size_t size_of(PyObject* obj) { return _PySys_GetSizeOf(obj); }
#endif

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

// Where an interpreter keeps an instance's attributes inline (3.13), the
// type's traversal visits those values but not the instance dict, which
// still exists once made. That dict (in `out`) for such an object; `out`
// empty otherwise. -1 with an error set when it cannot be had.
inline int dict_beside_inline_values(PyObject* obj, Ref& out) {
    out.reset();
#if PY_VERSION_HEX >= 0x030D0000
    if (PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_INLINE_VALUES)) {
        out = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        if (!out) return -1;
    }
#else
    (void)obj;
#endif
    return 0;
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

}  // namespace frames

}  // namespace tarn::compat
