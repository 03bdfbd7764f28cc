// The opcodes are those of the interpreter's C pickler at protocol 4, in its
// order: a memo check before every value that is not an atom, MEMOIZE after
// every value it memoizes, one frame around everything. An instance of a
// record class is what object.__reduce_ex__(4) gives for it: its class by
// name, NEWOBJ with no arguments, its __dict__ as state.
#include "record_bytes.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace record_bytes {

using namespace tarn;

namespace {

constexpr const char* CLASSES[] = {"UserFunctionCall", "UserFunctionMetadata",
                                   "ExternalFunctionCall", "ExternalFunctionMetadata"};
constexpr std::size_t NCLASSES = sizeof(CLASSES) / sizeof(CLASSES[0]);
// Larger output is framed in pieces by the pickler: left to it.
constexpr std::size_t MAX_BODY = 60000;
constexpr int MAX_DEPTH = 32;
constexpr Py_ssize_t BATCH = 1000;

struct Class {
    Ref type;
    Ref name;  // the name the module holds it under, its __qualname__
    unsigned int version = 0;         // type version the module and name were read at
    unsigned long long modules_version = 0, module_version = 0;
    PyObject* module_name = nullptr;  // its __module__, owned by the class dict
    bool checked = false;             // a record with it was compared at this version
};

struct State {
    std::array<Class, NCLASSES> classes;
    Ref extension_registry;  // copyreg's: a class registered there is written as EXT
    Ref module_key;
    Stats stats;
};
State& G = leak<State>();

// The pickler's memo, by identity, for one record.
class Memo {
public:
    void clear() {
        for (auto& s : slots_) s = {};
        used_ = 0;
        next_ = 0;
    }
    bool find(PyObject* obj, std::uint32_t& index) const {
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash(obj) & mask;; i = (i + 1) & mask) {
            if (!slots_[i].key) return false;
            if (slots_[i].key == obj) {
                index = slots_[i].index;
                return true;
            }
        }
    }
    // Held while the record is written, as the pickler's memo holds them:
    // an address seen cannot come back as another object's.
    void put(PyObject* obj) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        insert(obj, next_++);
        ++used_;
        held_.push_back(Ref::borrow(obj));
    }
    // Drops what the memo holds; releasing strings and bytes runs no code,
    // but the records themselves are released last, by the caller's hold.
    void release() {
        for (Ref& r : held_) r.reset();
        held_.clear();
    }

private:
    struct Slot {
        PyObject* key = nullptr;
        std::uint32_t index = 0;
    };
    static std::size_t hash(PyObject* p) {
        std::uint64_t x = reinterpret_cast<std::uintptr_t>(p);
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        return static_cast<std::size_t>(x ^ (x >> 33));
    }
    void insert(PyObject* obj, std::uint32_t index) {
        std::size_t mask = slots_.size() - 1;
        std::size_t i = hash(obj) & mask;
        while (slots_[i].key) i = (i + 1) & mask;
        slots_[i] = {obj, index};
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& s : old)
            if (s.key) insert(s.key, s.index);
    }
    std::vector<Slot> slots_ = std::vector<Slot>(128);
    std::vector<Ref> held_;
    std::size_t used_ = 0;
    std::uint32_t next_ = 0;
};

// The class is what its module holds under its name, read from the dicts
// (version tags say when to read again); false: not written here now.
bool found_by_name(Class& c) {
    auto* t = reinterpret_cast<PyTypeObject*>(c.type.get());
    unsigned int version = compat::type_version(t);
    PyObject* modules = PyImport_GetModuleDict();
    unsigned long long mv = compat::dict_version(modules);
    if (version && version == c.version && mv && mv == c.modules_version) {
        PyObject* module = PyDict_GetItemWithError(modules, c.module_name);
        if (module && PyModule_Check(module) &&
            compat::dict_version(PyModule_GetDict(module)) == c.module_version)
            return true;
        PyErr_Clear();
    }
    if (!version || version != c.version) {
        // Read again: name and module, and the bytes are compared anew.
        c.checked = false;
        c.version = 0;
        PyObject* name = reinterpret_cast<PyHeapTypeObject*>(t)->ht_qualname;
        PyObject* module_name = t->tp_dict ? PyDict_GetItemWithError(t->tp_dict, G.module_key.get())
                                           : nullptr;
        PyErr_Clear();
        if (!name || !PyUnicode_CheckExact(name) || !module_name ||
            !PyUnicode_CheckExact(module_name) || PyUnicode_FindChar(name, '.', 0, PY_SSIZE_T_MAX, 1) != -1) {
            PyErr_Clear();
            return false;
        }
        c.name = Ref::borrow(name);
        c.module_name = module_name;
    }
    PyObject* module = PyDict_GetItemWithError(modules, c.module_name);
    PyObject* found = module && PyModule_Check(module)
                          ? PyDict_GetItemWithError(PyModule_GetDict(module), c.name.get())
                          : nullptr;
    PyErr_Clear();
    if (found != c.type.get()) return false;
    // A lookup gives a class a valid version tag where it has none yet.
    (void)compat::type_lookup(t, G.module_key.get());
    c.version = compat::type_version(t);
    c.modules_version = mv;
    c.module_version = compat::dict_version(PyModule_GetDict(module));
    return c.version && mv && c.module_version;
}

class Writer {
public:
    // false: not a record written here (no error set), or an error.
    bool run(PyObject* record, std::string& out, std::array<bool, NCLASSES>& used) {
        out_ = &out;
        used_ = &used;
        memo_.clear();
        bool ok = save(record, 0) && out.size() <= MAX_BODY;
        memo_.release();
        return ok;
    }

private:
    void op(char c) { out_->push_back(c); }
    void le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out_->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    void memoize(PyObject* obj) {
        op('\x94');
        memo_.put(obj);
    }
    bool sized(char small, char mid, char big, const char* data, std::size_t n) {
        if (n <= 0xFF) {
            op(small), le(n, 1);
        } else if (n <= 0xFFFFFFFFull) {
            op(mid), le(n, 4);
        } else {
            if (!big) return false;
            op(big), le(n, 8);
        }
        out_->append(data, n);
        return out_->size() <= MAX_BODY;
    }
    bool save_long(PyObject* obj) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow || (v == -1 && PyErr_Occurred()) || v > 0x7fffffffLL || v < -0x80000000LL) {
            PyErr_Clear();
            return false;
        }
        auto u = static_cast<std::uint32_t>(v);
        if (u >> 16) {
            op('J'), le(u, 4);
        } else if (u >> 8) {
            op('M'), le(u, 2);
        } else {
            op('K'), le(u, 1);
        }
        return true;
    }
    bool save_str(PyObject* obj) {
        Py_ssize_t n;
        const char* data = PyUnicode_AsUTF8AndSize(obj, &n);
        if (!data) {  // lone surrogates: the pickler encodes those otherwise
            PyErr_Clear();
            return false;
        }
        if (!sized('\x8c', 'X', '\x8d', data, static_cast<std::size_t>(n))) return false;
        memoize(obj);
        return true;
    }
    bool save_items(PyObject* const* items, Py_ssize_t n, char one, char many, int depth) {
        if (n == 1) {
            if (!save(items[0], depth)) return false;
            op(one);
            return true;
        }
        for (Py_ssize_t start = 0; start < n; start += BATCH) {
            op('(');
            for (Py_ssize_t i = start; i < n && i < start + BATCH; ++i)
                if (!save(items[i], depth)) return false;
            op(many);
        }
        return true;
    }
    bool save_tuple(PyObject* obj, int depth) {
        Py_ssize_t n = PyTuple_GET_SIZE(obj);
        if (n == 0) {
            op(')');
            return true;
        }
        if (n > 3) op('(');
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!save(PyTuple_GET_ITEM(obj, i), depth)) return false;
        std::uint32_t index;
        if (memo_.find(obj, index)) return false;  // recursive: left to the pickler
        op(n > 3 ? 't' : static_cast<char>('\x85' + (n - 1)));
        memoize(obj);
        return true;
    }
    bool save_set(PyObject* obj, int depth) {
        op('\x8f');
        memoize(obj);
        Py_ssize_t n = PySet_GET_SIZE(obj);
        if (n == 0) return true;
        if (n > BATCH) return false;
        // Strings only: iterating them runs nothing.
        Ref it = Ref::steal(PyObject_GetIter(obj));
        if (!it) return false;
        op('(');
        Py_ssize_t seen = 0;
        while (PyObject* item = PyIter_Next(it.get())) {
            Ref held = Ref::steal(item);
            if (!PyUnicode_CheckExact(item) || !save(item, depth)) return false;
            ++seen;
        }
        if (PyErr_Occurred() || seen != n) return false;
        op('\x90');
        return true;
    }
    bool save_dict(PyObject* obj, int depth) {
        op('}');
        memoize(obj);
        Py_ssize_t n = PyDict_GET_SIZE(obj);
        if (n == 0) return true;
        if (n > BATCH) return false;
        if (n > 1) op('(');
        Py_ssize_t pos = 0, seen = 0;
        PyObject *k, *v;
        while (PyDict_Next(obj, &pos, &k, &v)) {
            if (!save(k, depth) || !save(v, depth)) return false;
            ++seen;
        }
        if (seen != n) return false;
        op(n > 1 ? 'u' : 's');
        return true;
    }
    int class_index(PyTypeObject* t) const {
        for (std::size_t i = 0; i < NCLASSES; ++i)
            if (G.classes[i].type.get() == reinterpret_cast<PyObject*>(t)) return static_cast<int>(i);
        return -1;
    }
    bool save_class(std::size_t i, int depth) {
        Class& c = G.classes[i];
        PyObject* cls = c.type.get();
        std::uint32_t index;
        if (memo_.find(cls, index)) return get(index);
        if (!found_by_name(c)) return false;
        if (!save(c.module_name, depth) || !save(c.name.get(), depth)) return false;
        op('\x93');
        memoize(cls);
        (*used_)[i] = true;
        return true;
    }
    bool save_record(PyObject* obj, std::size_t i, int depth) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        // An empty __dict__ is no state from 3.11 on: left to the pickler.
        if (!dict || !PyDict_CheckExact(dict.get()) || PyDict_GET_SIZE(dict.get()) == 0) {
            PyErr_Clear();
            return false;
        }
        if (!save_class(i, depth)) return false;
        op(')'), op('\x81');
        memoize(obj);
        if (!save(dict.get(), depth)) return false;
        op('b');
        return true;
    }
    bool get(std::uint32_t index) {
        if (index < 256) {
            op('h'), le(index, 1);
        } else {
            op('j'), le(index, 4);
        }
        return true;
    }

    bool save(PyObject* obj, int depth) {
        if (++depth > MAX_DEPTH || out_->size() > MAX_BODY) return false;
        if (obj == Py_None) return op('N'), true;
        if (obj == Py_True) return op('\x88'), true;
        if (obj == Py_False) return op('\x89'), true;
        PyTypeObject* t = Py_TYPE(obj);
        if (t == &PyLong_Type) return save_long(obj);
        std::uint32_t index;
        if (memo_.find(obj, index)) return get(index);
        if (t == &PyBytes_Type) {
            if (!sized('C', 'B', '\x8e', PyBytes_AS_STRING(obj),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(obj))))
                return false;
            memoize(obj);
            return true;
        }
        if (t == &PyUnicode_Type) return save_str(obj);
        if (t == &PyDict_Type) return save_dict(obj, depth);
        if (t == &PySet_Type) return save_set(obj, depth);
        if (t == &PyList_Type) {
            op(']');
            memoize(obj);
            Ref items = Ref::steal(PySequence_Tuple(obj));  // a copy: our walk never sees it change
            if (!items) {
                PyErr_Clear();
                return false;
            }
            Py_ssize_t n = PyTuple_GET_SIZE(items.get());
            return n == 0 || save_items(&PyTuple_GET_ITEM(items.get(), 0), n, 'a', 'e', depth);
        }
        if (t == &PyTuple_Type) return save_tuple(obj, depth);
        int i = class_index(t);
        if (i >= 0) return save_record(obj, static_cast<std::size_t>(i), depth);
        return false;
    }

    std::string* out_ = nullptr;
    std::array<bool, NCLASSES>* used_ = nullptr;
    Memo memo_;
};

Writer& W = leak<Writer>();

std::string& body() {
    static std::string& b = leak<std::string>();
    return b;
}

}  // namespace

bool bind(PyObject* invocations) {
    if (!invocations) return false;
    G.module_key = Ref::steal(PyUnicode_InternFromString("__module__"));
    if (!G.module_key) return false;
    for (std::size_t i = 0; i < NCLASSES; ++i) {
        Ref cls = Ref::steal(PyObject_GetAttrString(invocations, CLASSES[i]));
        if (!cls) return false;
        if (!PyType_Check(cls.get()) ||
            !(reinterpret_cast<PyTypeObject*>(cls.get())->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
            PyErr_Format(PyExc_ImportError, "%s is not a record class", CLASSES[i]);
            return false;
        }
        G.classes[i].type = std::move(cls);
    }
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    if (!copyreg) return false;
    G.extension_registry = Ref::steal(PyObject_GetAttrString(copyreg.get(), "_extension_registry"));
    return bool(G.extension_registry);
}

Ref write(PyObject* record, const std::function<Ref()>& pickled) {
    auto leave = [&] {
        ++G.stats.pickler;
        return pickled();
    };
    if (G.stats.off || !PyDict_Check(G.extension_registry.get()) ||
        PyDict_GET_SIZE(G.extension_registry.get()) != 0)
        return leave();
    // A collection during the walk can run a finalizer that records a call
    // of its own: that one is left to the pickler.
    static bool busy = false;
    if (busy) return leave();
    Ref held = Ref::borrow(record);
    std::string& out = body();
    out.clear();
    std::array<bool, NCLASSES> used{};
    busy = true;
    bool ok = W.run(record, out, used);
    busy = false;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();
    }
    bool checked = true;
    for (std::size_t i = 0; ok && i < NCLASSES; ++i)
        if (used[i]) checked = checked && G.classes[i].checked;
    if (!ok) return leave();
    // PROTO 4, one FRAME holding the body and STOP.
    out.push_back('.');
    std::size_t n = out.size();
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n + 11)));
    if (!bytes) return {};
    char* p = PyBytes_AS_STRING(bytes.get());
    p[0] = '\x80', p[1] = 4, p[2] = '\x95';
    for (int i = 0; i < 8; ++i) p[3 + i] = static_cast<char>((static_cast<std::uint64_t>(n) >> (8 * i)) & 0xFF);
    std::memcpy(p + 11, out.data(), n);
    if (checked) {
        ++G.stats.direct;
        return bytes;
    }
    Ref theirs = pickled();
    if (!theirs) return {};
    ++G.stats.checked;
    if (!PyBytes_CheckExact(theirs.get()) || PyBytes_GET_SIZE(theirs.get()) != PyBytes_GET_SIZE(bytes.get()) ||
        std::memcmp(PyBytes_AS_STRING(theirs.get()), p, n + 11) != 0) {
        G.stats.off = true;
        return theirs;
    }
    for (std::size_t i = 0; i < NCLASSES; ++i)
        if (used[i]) G.classes[i].checked = true;
    return theirs;
}

const Stats& stats() { return G.stats; }

}  // namespace record_bytes
