// A native upper bound of pympler's asizeof(obj, limit=3), for the objects
// where one can be proven: built-in atoms, strings and containers, and
// instances of plain Python classes, down to the same depth. pympler
// counts each object at most once, at its sys.getsizeof (aligned), and
// counts classes, functions and builtins as nothing; the walk counts every
// visit at sys.getsizeof plus the alignment, so its sum is never below
// pympler's. Anything else makes the bound unknown and pympler decides.
#pragma once

#include "tarn/util.hpp"

namespace size_guard {

constexpr int kLimit = 3;  // asizeof's limit: referents followed below this depth
constexpr std::size_t kBudget = 4'000'000;  // visits before giving up
constexpr double kAlignment = 8.0;

inline destructor& python_class_dealloc() {
    static destructor d = nullptr;
    return d;
}

// The deallocator of classes made by a class statement.
inline bool init() {
    tarn::Ref probe = tarn::make_class("tarnwick_collector.data_collection.harvest", "_Probe",
                                       nullptr, nullptr);
    if (!probe) return false;
    python_class_dealloc() = reinterpret_cast<PyTypeObject*>(probe.get())->tp_dealloc;
    return true;
}

inline bool counted_as_nothing(PyObject* obj) {
    return PyType_Check(obj) || PyFunction_Check(obj) || PyCFunction_Check(obj);
}

inline bool builtin_sized(PyTypeObject* t) {
    return t == Py_TYPE(Py_None) || t == &PyBool_Type || t == &PyLong_Type || t == &PyFloat_Type ||
           t == &PyComplex_Type || t == &PyUnicode_Type || t == &PyBytes_Type ||
           t == &PyByteArray_Type || t == &PyList_Type || t == &PyTuple_Type ||
           t == &PyDict_Type || t == &PySet_Type || t == &PyFrozenSet_Type;
}

// A class statement's class over object alone, measured by object's own
// __sizeof__: sys.getsizeof runs no code of the user's and is exact.
inline bool plain_instance(PyTypeObject* t) {
    static PyObject* sizeof_name = PyUnicode_InternFromString("__sizeof__");
    static PyObject* object_sizeof = tarn::compat::type_lookup(&PyBaseObject_Type, sizeof_name);
    if (t->tp_dealloc != python_class_dealloc() || !t->tp_mro) return false;
    if (tarn::compat::type_lookup(t, sizeof_name) != object_sizeof) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t->tp_mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(t->tp_mro, i));
        if (base != &PyBaseObject_Type && base->tp_dealloc != python_class_dealloc()) return false;
    }
    return true;
}

struct Walk {
    double total = 0;
    double ceiling;
    std::size_t budget = kBudget;
    int depth = 0;
    bool unknown = false;
};

inline void measure(PyObject* obj, Walk& w);

inline int visit(PyObject* child, void* arg) {
    auto& w = *static_cast<Walk*>(arg);
    measure(child, w);
    return w.unknown ? 1 : 0;
}

inline void measure(PyObject* obj, Walk& w) {
    if (w.unknown) return;
    if (--w.budget == 0) {
        w.unknown = true;
        return;
    }
    if (counted_as_nothing(obj)) return;
    PyTypeObject* t = Py_TYPE(obj);
    bool instance = !builtin_sized(t);
    if (instance && !plain_instance(t)) {
        w.unknown = true;
        return;
    }
    // pympler reads __dict__, which makes an inline or a missing one real;
    // so does this, to measure what pympler measures.
    if (instance && t->tp_dictoffset) {
        PyObject** dict = tarn::compat::instance_dict_ptr(obj);
        if (dict && !*dict) {
            tarn::Ref made = tarn::Ref::steal(PyObject_GenericGetDict(obj, nullptr));
            if (!made) {
                PyErr_Clear();
                w.unknown = true;
                return;
            }
        }
    }
    std::size_t flat = tarn::compat::size_of(obj);
    if (flat == static_cast<std::size_t>(-1)) {
        PyErr_Clear();
        w.unknown = true;
        return;
    }
    w.total += static_cast<double>(flat) + kAlignment;
    if (w.total > w.ceiling) {
        w.unknown = true;  // too much to prove anything
        return;
    }
    if (w.depth >= kLimit) return;
    ++w.depth;
    tarn::Ref inline_dict;
    if (instance && tarn::compat::dict_beside_inline_values(obj, inline_dict) < 0) {
        PyErr_Clear();
        w.unknown = true;
    } else if (inline_dict) {
        measure(inline_dict.get(), w);  // its values are visited again below: still a bound
    }
    if (t == &PyDict_Type) {
        // Keys too: an instance dict's keys live in a shared table that
        // the dict's traversal leaves out, but pympler counts them.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (!w.unknown && PyDict_Next(obj, &pos, &key, &value)) {
            measure(key, w);
            measure(value, w);
        }
    } else if (t->tp_traverse) {
        t->tp_traverse(obj, visit, &w);
    }
    --w.depth;
}

// The bound, or -1 when none is proven below `ceiling`.
inline double upper_bound(PyObject* obj, double ceiling) {
    Walk w;
    w.ceiling = ceiling;
    measure(obj, w);
    return w.unknown ? -1.0 : w.total;
}

}  // namespace size_guard
