// Interpreter-version shims. Every difference between the supported
// CPython versions that the modules care about is handled here.
#pragma once

#include "tarn/ref.hpp"

#include <cstddef>

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

// Lookup through a type's MRO: borrowed, NULL when absent, never runs code.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

// sys.getsizeof(obj): (size_t)-1 with an error set on failure.
inline std::size_t size_of(PyObject* obj) { return _PySys_GetSizeOf(obj); }

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

}  // namespace tarn::compat
