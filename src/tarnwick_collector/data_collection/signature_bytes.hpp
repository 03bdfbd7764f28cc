// The bytes of a function's signature, made once per signature object: the
// introspector hands every call of a function the same argspec, and its
// bytes are the same while it holds the same plain values and the names it
// is written through are unchanged.
//
// Only signatures made of plain values are remembered (strings, numbers,
// None, bytes, the interpreter's own classes, in tuples, lists and dicts):
// holding those keeps nothing of the program's alive that it could observe.
// An entry holds the values it saw; it is used while the signature still
// holds exactly those, the serializer is the collector's own and the
// modules the bytes name (the signature class's, builtins) are unchanged.
#pragma once

#include "tarn/collector.hpp"

#include <cstring>
#include <unordered_map>
#include <vector>

namespace signature_bytes {

using namespace tarn;

class Cache {
public:
    bool bind() {
        builtins_ = Ref::steal(PyImport_ImportModule("builtins"));
        module_key_ = Ref::steal(PyUnicode_InternFromString("__module__"));
        return builtins_ && module_key_;
    }

    // C.serialize_unwrapped(spec), from what was remembered where it can be.
    Ref serialize(Collector& C, PyObject* spec) {
        Ref ser = C.setting(C.s.serializer);
        if (!ser) return {};
        bool own = C.own_serializer(ser.get());
        Ref known;
        if (own && hit(spec, known)) return known;
        Ref data = C.serialize_unwrapped(spec);
        if (data && own && PyBytes_CheckExact(data.get())) remember(C, spec, data);
        return data;
    }

    // Whether `spec` is made of plain values only (what an entry may hold).
    static bool plain(PyObject* spec) {
        std::vector<Seen> seen;
        return walk(spec, seen);
    }

private:
    struct Seen {
        PyObject* obj;
        Py_ssize_t len;  // a container's length; -1 for other values
        bool operator==(const Seen& o) const { return obj == o.obj && len == o.len; }
    };

    // The values under `obj`, in order, as long as all are plain; false
    // for anything else. The argspec itself may be a tuple subclass.
    static bool walk(PyObject* obj, std::vector<Seen>& out, int depth = 0) {
        if (depth > 8 || out.size() > 256) return false;
        PyTypeObject* t = Py_TYPE(obj);
        if (obj == Py_None || t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type ||
            t == &PyBool_Type || t == &PyBytes_Type || t == &PyComplex_Type) {
            out.push_back({obj, -1});
            return true;
        }
        if (PyType_Check(obj)) {
            // The interpreter's classes named by builtins only.
            auto* cls = reinterpret_cast<PyTypeObject*>(obj);
            out.push_back({obj, -1});
            return !(cls->tp_flags & Py_TPFLAGS_HEAPTYPE) && !std::strchr(cls->tp_name, '.');
        }
        if (t == &PyTuple_Type || (depth == 0 && PyTuple_Check(obj))) {
            Py_ssize_t n = PyTuple_GET_SIZE(obj);
            out.push_back({obj, n});
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!walk(PyTuple_GET_ITEM(obj, i), out, depth + 1)) return false;
            return true;
        }
        if (t == &PyList_Type) {
            Py_ssize_t n = PyList_GET_SIZE(obj);
            out.push_back({obj, n});
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!walk(PyList_GET_ITEM(obj, i), out, depth + 1)) return false;
            return true;
        }
        if (t == &PyDict_Type) {
            out.push_back({obj, PyDict_GET_SIZE(obj)});
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(obj, &pos, &k, &v))
                if (!walk(k, out, depth + 1) || !walk(v, out, depth + 1)) return false;
            return true;
        }
        return false;
    }

    static unsigned long long module_version(PyObject* module) {
        return module ? compat::dict_version(PyModule_GetDict(module)) : 0;
    }

    // The module the signature's class is written from.
    PyObject* class_module(PyTypeObject* t) const {
        if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE) || !t->tp_dict) return nullptr;
        PyObject* name = PyDict_GetItemWithError(t->tp_dict, module_key_.get());
        if (!name) PyErr_Clear();
        if (!name || !PyUnicode_CheckExact(name)) return nullptr;
        PyObject* mod = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
        if (!mod) PyErr_Clear();
        return mod && PyModule_Check(mod) ? mod : nullptr;
    }

    struct Entry {
        Ref spec, bytes;
        std::vector<Ref> refs;  // every value seen, so that none is freed and replaced
        std::vector<Seen> kept;
        unsigned int type_version = 0;
        unsigned long long modules_version = 0, class_module_version = 0, builtins_version = 0;
    };

    bool hit(PyObject* spec, Ref& out) {
        auto it = entries_.find(spec);
        if (it == entries_.end()) return false;
        const Entry& e = it->second;
        PyTypeObject* t = Py_TYPE(spec);
        unsigned int tv = compat::type_version(t);
        if (!tv || tv != e.type_version) return false;
        unsigned long long mv = compat::dict_version(PyImport_GetModuleDict());
        if (!mv || mv != e.modules_version) return false;
        unsigned long long cv = module_version(class_module(t));
        unsigned long long bv = module_version(builtins_.get());
        if (!cv || cv != e.class_module_version || !bv || bv != e.builtins_version) return false;
        seen_.clear();
        if (!walk(spec, seen_) || seen_ != e.kept) return false;
        out = e.bytes;
        return true;
    }

    void remember(Collector& C, PyObject* spec, const Ref& data) {
        seen_.clear();
        if (!walk(spec, seen_)) return;
        PyTypeObject* t = Py_TYPE(spec);
        PyObject* mod = class_module(t);
        if (!mod) return;
        // A lookup gives a class a valid version tag where it has none yet.
        (void)compat::type_lookup(t, C.s.serialize);
        Entry e;
        e.type_version = compat::type_version(t);
        if (!e.type_version) return;
        e.refs.reserve(seen_.size());
        for (const Seen& v : seen_) e.refs.push_back(Ref::borrow(v.obj));
        e.kept = seen_;
        e.spec = Ref::borrow(spec);
        e.bytes = data;
        e.modules_version = compat::dict_version(PyImport_GetModuleDict());
        e.class_module_version = module_version(mod);
        e.builtins_version = module_version(builtins_.get());
        Map old;  // what is replaced is released once the map is consistent
        if (entries_.size() >= CAP) old.swap(entries_);
        auto [it, fresh] = entries_.try_emplace(spec);
        Entry previous = std::move(it->second);
        it->second = std::move(e);
    }

    static constexpr std::size_t CAP = 4096;
    using Map = std::unordered_map<PyObject*, Entry>;
    Ref builtins_, module_key_;
    Map entries_;
    std::vector<Seen> seen_;
};

}  // namespace signature_bytes
