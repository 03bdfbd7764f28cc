// Helpers shared by every extension module: interned-string tables, the
// exact-type argument check, fastcall argument parsing, calls, class
// creation, and the barrier that keeps C++ exceptions out of Python.
#pragma once

#include "tarn/compat.hpp"
#include "tarn/ref.hpp"

#include <array>
#include <cstddef>
#include <exception>
#include <new>
#include <utility>

namespace tarn {

// ------------------------------------------------------- module state
// Module state that holds references is created once and never destroyed:
// C++ static destructors run after the interpreter has been finalized.
template <class T, class... A>
T& leak(A&&... args) {
    return *new T(std::forward<A>(args)...);
}

// ---------------------------------------------------------------- strings
// A table of interned strings, created once at module init:
//   #define MY_STRINGS(X) X(init, "__init__") X(func, "__func__")
//   TARN_STRING_TABLE(Strings, MY_STRINGS);  static Strings S;  S.create();
#define TARN_STR_MEMBER_(id, text) PyObject* id = nullptr;
#define TARN_STR_INIT_(id, text) \
    if (!(id = PyUnicode_InternFromString(text))) return false;
#define TARN_STRING_TABLE(Name, LIST)           \
    struct Name {                               \
        LIST(TARN_STR_MEMBER_)                  \
        bool create() {                         \
            LIST(TARN_STR_INIT_)                \
            return true;                        \
        }                                       \
    }

// ------------------------------------------------------------ type checks
// Parameters declared with a type accept exactly that type or None.
inline bool check_exact_or_none(PyObject* obj, PyTypeObject* expected, const char* param) {
    if (obj == Py_None || Py_IS_TYPE(obj, expected)) return true;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

// ------------------------------------------------------- argument parsing
// Parameters of a METH_FASTCALL | METH_KEYWORDS function: the first
// `required` are mandatory, the first `positional` (default: all) may be
// passed by position, every one by name. Missing optional arguments come
// out as NULL.
template <std::size_t N>
class Params {
public:
    constexpr Params(const char* fname, std::array<const char*, N> names, std::size_t required,
                     std::size_t positional = N)
        : fname_(fname), names_(names), required_(required), positional_(positional) {}

    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::array<PyObject*, N>& out) {
        out.fill(nullptr);
        if (nargs > static_cast<Py_ssize_t>(positional_)) {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes at most %zd positional arguments (%zd given)",
                         fname_, static_cast<Py_ssize_t>(positional_), nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        if (kwnames) {
            if (!interned_ && !intern()) return false;
            Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                std::size_t slot = find(key);
                if (slot == N) {
                    if (PyErr_Occurred()) return false;
                    PyErr_Format(PyExc_TypeError,
                                 "%s() got an unexpected keyword argument '%S'", fname_, key);
                    return false;
                }
                if (out[slot]) {
                    PyErr_Format(PyExc_TypeError,
                                 "%s() got multiple values for argument '%s'", fname_,
                                 names_[slot]);
                    return false;
                }
                out[slot] = args[nargs + k];
            }
        }
        for (std::size_t i = 0; i < required_; ++i) {
            if (!out[i]) {
                PyErr_Format(PyExc_TypeError,
                             "%s() missing required argument '%s' (pos %zd)", fname_,
                             names_[i], static_cast<Py_ssize_t>(i + 1));
                return false;
            }
        }
        return true;
    }

private:
    bool intern() {
        for (std::size_t i = 0; i < N; ++i)
            if (!(keys_[i] = PyUnicode_InternFromString(names_[i]))) return false;
        interned_ = true;
        return true;
    }
    std::size_t find(PyObject* key) {
        for (std::size_t i = 0; i < N; ++i)
            if (keys_[i] == key) return i;
        for (std::size_t i = 0; i < N; ++i) {
            int eq = PyObject_RichCompareBool(keys_[i], key, Py_EQ);
            if (eq < 0) return N;
            if (eq) return i;
        }
        return N;
    }

    const char* fname_;
    std::array<const char*, N> names_;
    std::size_t required_;
    std::size_t positional_;
    std::array<PyObject*, N> keys_{};
    bool interned_ = false;
};

inline bool no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", fname);
    return false;
}

// ------------------------------------------------------------------ calls
template <class... A>
inline Ref call(PyObject* callable, A... a) {
    PyObject* argv[] = {nullptr, a...};
    return Ref::steal(PyObject_Vectorcall(
        callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*a), looked up and called without a bound-method object.
template <class... A>
inline Ref call_method(PyObject* obj, PyObject* name, A... a) {
    PyObject* argv[] = {obj, a...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(A), nullptr));
}

inline Ref getattr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// 1 / 0 truthiness, -1 on error.
inline int truthy(PyObject* obj) {
    if (obj == Py_True) return 1;
    if (obj == Py_False || obj == Py_None) return 0;
    return PyObject_IsTrue(obj);
}

// a == b with the identity shortcut that `==` takes for most types.
inline int equal(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

// Binds `slot` and tells whether it worked. Chained with &&, nothing more
// runs once an import or lookup has failed (the C API must not be called
// with an exception pending).
inline bool bind_to(Ref& slot, Ref value) {
    slot = std::move(value);
    return bool(slot);
}

inline Ref import_attr(const char* module, const char* attr) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) return {};
    return Ref::steal(PyObject_GetAttrString(mod.get(), attr));
}

// ----------------------------------------------------- static lookups
// What inspect.getattr_static finds: the instance __dict__ (unless the
// class holds a data descriptor of that name), the class's MRO, and for a
// class its metaclass's MRO. Nothing of the object's own is run: no
// __getattr__, __getattribute__ or descriptor. Borrowed; NULL when absent.
inline PyObject* static_lookup(PyObject* obj, PyObject* name) {
    if (PyType_Check(obj)) {
        PyObject* found = compat::type_lookup(reinterpret_cast<PyTypeObject*>(obj), name);
        return found ? found : compat::type_lookup(Py_TYPE(obj), name);
    }
    PyObject* cls_attr = compat::type_lookup(Py_TYPE(obj), name);
    if (cls_attr && Py_TYPE(cls_attr)->tp_descr_set) return cls_attr;
    PyObject** dictptr = compat::instance_dict_ptr(obj);
    if (dictptr && *dictptr && PyDict_CheckExact(*dictptr)) {
        PyObject* value = PyDict_GetItemWithError(*dictptr, name);
        if (value) return value;
        PyErr_Clear();
    }
    return cls_attr;
}

inline bool is_builtin_descriptor(PyObject* attr) {
    return Py_IS_TYPE(attr, &PyGetSetDescr_Type) || Py_IS_TYPE(attr, &PyMemberDescr_Type);
}

// The value of a statically found attribute, as far as reading it runs no
// Python code: plain values as they are, C getset and member descriptors
// read. Anything else (properties, methods) counts as absent. No error set.
inline Ref static_value(PyObject* obj, PyObject* name) {
    PyObject* found = static_lookup(obj, name);
    if (!found) return {};
    if (is_builtin_descriptor(found)) {
        PyObject* owner = reinterpret_cast<PyObject*>(Py_TYPE(obj));
        Ref value = Ref::steal(Py_TYPE(found)->tp_descr_get(found, obj, owner));
        if (!value) PyErr_Clear();
        return value;
    }
    if (Py_TYPE(found)->tp_descr_get) return {};
    return Ref::borrow(found);
}

// Module init binds dozens of names in a row: once one lookup has failed,
// the following ones do nothing, and the first error is the one reported.
inline Ref imp(const char* module, const char* attr) {
    return PyErr_Occurred() ? Ref() : import_attr(module, attr);
}
inline Ref imp_module(const char* name) {
    return PyErr_Occurred() ? Ref() : Ref::steal(PyImport_ImportModule(name));
}
inline Ref attr_of(const Ref& owner, const char* name) {
    return owner && !PyErr_Occurred() ? Ref::steal(PyObject_GetAttrString(owner.get(), name))
                                      : Ref();
}

// A METH_FASTCALL function of any of its signatures, as a PyMethodDef takes it.
template <class F>
inline PyCFunction as_method(F fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}
constexpr int FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

// An object remembered by identity without being kept alive, where it
// supports weak references (others, mostly the interpreter's own static
// objects, are held). is(obj) tells whether `obj` is still that object.
class IdentityKey {
public:
    IdentityKey() = default;
    static IdentityKey of(PyObject* obj) {
        IdentityKey key;
        key.ptr_ = obj;
        key.ref_ = Ref::steal(PyWeakref_NewRef(obj, nullptr));
        if (key.ref_) {
            key.weak_ = true;
        } else {
            PyErr_Clear();
            key.ref_ = Ref::borrow(obj);
        }
        return key;
    }
    bool is(PyObject* obj) const {
        if (obj != ptr_) return false;
        return !weak_ || compat::weakref_points_at(ref_.get(), obj);
    }

private:
    Ref ref_;
    PyObject* ptr_ = nullptr;
    bool weak_ = false;
};

// ------------------------------------------------------ class creation
// A real Python class, made the way a class statement makes it, so that
// instances keep their attributes in __dict__ and pickle the ordinary way.
inline Ref make_class(const char* module, const char* name, PyObject* bases_tuple,
                      const char* doc) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return {};
    Ref mod = Ref::steal(PyUnicode_FromString(module));
    Ref qual = Ref::steal(PyUnicode_FromString(name));
    Ref docstr = doc ? Ref::steal(PyUnicode_FromString(doc)) : Ref::borrow(Py_None);
    if (!mod || !qual || !docstr) return {};
    if (PyDict_SetItemString(ns.get(), "__module__", mod.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qual.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", docstr.get()) < 0)
        return {};
    Ref bases = bases_tuple ? Ref::borrow(bases_tuple) : Ref::steal(PyTuple_New(0));
    if (!bases) return {};
    return call(reinterpret_cast<PyObject*>(&PyType_Type), qual.get(), bases.get(), ns.get());
}

// Instance methods become method descriptors of the class (fast calls,
// self checked by the interpreter).
inline bool add_methods(PyObject* cls, PyMethodDef* defs) {
    for (PyMethodDef* d = defs; d->ml_name; ++d) {
        Ref descr = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), d));
        if (!descr || PyObject_SetAttrString(cls, d->ml_name, descr.get()) < 0) return false;
    }
    return true;
}

inline bool add_static_methods(PyObject* cls, PyMethodDef* defs, PyObject* module) {
    for (PyMethodDef* d = defs; d->ml_name; ++d) {
        Ref modname = Ref::steal(PyModule_GetNameObject(module));
        if (!modname) return false;
        Ref fn = Ref::steal(PyCFunction_NewEx(d, nullptr, modname.get()));
        if (!fn) return false;
        Ref sm = Ref::steal(PyStaticMethod_New(fn.get()));
        if (!sm || PyObject_SetAttrString(cls, d->ml_name, sm.get()) < 0) return false;
    }
    return true;
}

inline bool add_to_module(PyObject* module, const char* name, const Ref& obj) {
    return obj && PyModule_AddObjectRef(module, name, obj.get()) == 0;
}

// The pending exception, held aside while other calls run and put back
// with restore() (or released if never restored).
class HeldError {
public:
    HeldError() noexcept {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type), value_ = Ref::steal(value), traceback_ = Ref::steal(traceback);
    }
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

private:
    Ref type_, value_, traceback_;
};

// --------------------------------------------------- exception barrier
// Runs `f` and turns any C++ exception into a Python one; nothing C++ ever
// unwinds through the interpreter.
template <class F>
inline PyObject* guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected native failure");
    }
    return nullptr;
}

}  // namespace tarn
