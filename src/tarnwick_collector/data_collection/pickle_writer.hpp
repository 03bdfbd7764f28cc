// Writing protocol 4 the way the interpreter's C pickler writes it, for the
// values it writes itself: atoms, strings, bytes, and exact tuples, lists,
// dicts and sets of strings. What else a writer takes (a record class, a
// plain class) it writes in `save_other`. Anything not written exactly as
// the pickler would is refused (false, no error set), and the caller leaves
// the whole value to the pickler.
//
// Code can run while a value is walked (a collection at an allocation runs
// finalizers): every object read from a container is held while it is
// written, and a list or dict that changes under the walk is refused.
#pragma once

#include "tarn/util.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace pickle_writer {

using tarn::Ref;

// Where a class or function was last found by name: the versions of
// sys.modules and of its module's dict then (0: not found, or not kept).
struct FoundAt {
    unsigned long long modules = 0, module = 0;
};

// `target` is what sys.modules[module_name] holds under `name`, read from
// the dicts only when their version tags say they changed.
inline bool found_in_module(PyObject* target, PyObject* module_name, PyObject* name,
                            FoundAt& at) {
    PyObject* modules = PyImport_GetModuleDict();
    unsigned long long mv = tarn::compat::dict_version(modules);
    if (mv && mv == at.modules) {
        PyObject* module = PyDict_GetItemWithError(modules, module_name);
        if (module && PyModule_Check(module) &&
            tarn::compat::dict_version(PyModule_GetDict(module)) == at.module)
            return true;
    }
    PyObject* module = PyDict_GetItemWithError(modules, module_name);
    PyObject* found = module && PyModule_Check(module)
                          ? PyDict_GetItemWithError(PyModule_GetDict(module), name)
                          : nullptr;
    PyErr_Clear();
    if (found != target) {
        at = {};
        return false;
    }
    at = {mv, tarn::compat::dict_version(PyModule_GetDict(module))};
    return true;
}

// Larger output is framed in pieces by the pickler: left to it.
constexpr std::size_t MAX_BODY = 60000;
constexpr int MAX_DEPTH = 32;
constexpr Py_ssize_t BATCH = 1000;

// The pickler's memo, by identity, for one value.
class Memo {
public:
    // Only the slots used are reset: most values are a few objects, and the
    // table keeps the size the largest one needed.
    void clear() {
        if (slots_.size() > 4096 && used_ < slots_.size() / 16) {
            slots_.assign(128, Slot{});
        } else {
            for (std::size_t i : filled_) slots_[i] = {};
        }
        filled_.clear();
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
    // Held while the value is written, as the pickler's memo holds them:
    // an address seen cannot come back as another object's.
    void put(PyObject* obj) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        insert(obj, next_++);
        ++used_;
        held_.push_back(Ref::borrow(obj));
    }
    // An index used by an object the pickler makes and drops as it writes
    // (the names of the interpreter's own classes): never referred to again.
    void skip() { ++next_; }
    // Drops what the memo holds (the caller holds the value itself).
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
        filled_.push_back(i);
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        filled_.clear();
        for (const Slot& s : old)
            if (s.key) insert(s.key, s.index);
    }
    std::vector<Slot> slots_ = std::vector<Slot>(128);
    std::vector<std::size_t> filled_;
    std::vector<Ref> held_;
    std::size_t used_ = 0;
    std::uint32_t next_ = 0;
};

class Writer {
public:
    virtual ~Writer() = default;

    // The body (no PROTO, no FRAME, no STOP) into `out`; false: refused.
    bool run(PyObject* value, std::string& out) {
        out_ = &out;
        memo_.clear();
        bool ok = save(value, 0) && out.size() <= MAX_BODY;
        memo_.release();
        return ok;
    }

    // PROTO 4, the body and STOP in one FRAME, as the pickler ends a dump:
    // a frame shorter than 4 bytes is written without its header.
    static Ref finish(std::string& body) {
        body.push_back('.');
        std::size_t n = body.size();
        std::size_t head = n >= 4 ? 11 : 2;
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n + head)));
        if (!bytes) return {};
        char* p = PyBytes_AS_STRING(bytes.get());
        p[0] = '\x80', p[1] = 4;
        if (head == 11) {
            p[2] = '\x95';
            for (int i = 0; i < 8; ++i)
                p[3 + i] = static_cast<char>((static_cast<std::uint64_t>(n) >> (8 * i)) & 0xFF);
        }
        std::memcpy(p + head, body.data(), n);
        return bytes;
    }

protected:
    // A value of a type not written above: written here, or refused.
    virtual bool save_other(PyObject* obj, int depth) = 0;

    void op(char c) { out_->push_back(c); }
    void le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out_->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    void memoize(PyObject* obj) {
        op('\x94');
        memo_.put(obj);
    }
    bool memo_get(PyObject* obj) {
        std::uint32_t index;
        if (!memo_.find(obj, index)) return false;
        if (index < 256) {
            op('h'), le(index, 1);
        } else {
            op('j'), le(index, 4);
        }
        return true;
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
    void save_float(PyObject* obj) {
        // BINFLOAT: the IEEE 754 double, big-endian.
        double d = PyFloat_AS_DOUBLE(obj);
        std::uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        op('G');
        for (int i = 7; i >= 0; --i) out_->push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
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
    // A string the pickler makes anew where it writes it.
    bool save_fresh_str(PyObject* obj) {
        Py_ssize_t n;
        const char* data = PyUnicode_AsUTF8AndSize(obj, &n);
        if (!data) {
            PyErr_Clear();
            return false;
        }
        if (!sized('\x8c', 'X', '\x8d', data, static_cast<std::size_t>(n))) return false;
        op('\x94');
        memo_.skip();
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
    bool save_list(PyObject* obj, int depth) {
        op(']');
        memoize(obj);
        Py_ssize_t n = PyList_GET_SIZE(obj);
        if (n == 0) return true;
        if (n == 1) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, 0));
            if (!save(item.get(), depth) || PyList_GET_SIZE(obj) != 1) return false;
            op('a');
            return true;
        }
        for (Py_ssize_t start = 0; start < n; start += BATCH) {
            op('(');
            for (Py_ssize_t i = start; i < n && i < start + BATCH; ++i) {
                if (PyList_GET_SIZE(obj) != n) return false;
                Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
                if (!save(item.get(), depth)) return false;
            }
            op('e');
        }
        return PyList_GET_SIZE(obj) == n;
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
    // `plain_keys`: refuse keys that are not strings or that look like
    // special names (an instance's state: such a key shadows its class).
    bool save_dict(PyObject* obj, int depth, bool plain_keys = false) {
        op('}');
        memoize(obj);
        Py_ssize_t n = PyDict_GET_SIZE(obj);
        if (n == 0) return true;
        if (n > BATCH) return false;
        if (n > 1) op('(');
        unsigned long long version = tarn::compat::dict_version(obj);
        Py_ssize_t pos = 0, seen = 0;
        PyObject *k, *v;
        while (PyDict_Next(obj, &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            if (plain_keys && !plain_key(k)) return false;
            if (!save(key.get(), depth) || !save(value.get(), depth)) return false;
            if (tarn::compat::dict_version(obj) != version || PyDict_GET_SIZE(obj) != n)
                return false;
            ++seen;
        }
        if (seen != n) return false;
        op(n > 1 ? 'u' : 's');
        return true;
    }
    static bool plain_key(PyObject* k) {
        if (!PyUnicode_CheckExact(k)) return false;
        Py_ssize_t n = PyUnicode_GET_LENGTH(k);
        return n < 2 || PyUnicode_READ_CHAR(k, 0) != '_' || PyUnicode_READ_CHAR(k, 1) != '_';
    }

    bool save(PyObject* obj, int depth) {
        if (++depth > MAX_DEPTH || out_->size() > MAX_BODY) return false;
        if (obj == Py_None) return op('N'), true;
        if (obj == Py_True) return op('\x88'), true;
        if (obj == Py_False) return op('\x89'), true;
        PyTypeObject* t = Py_TYPE(obj);
        if (t == &PyLong_Type) return save_long(obj);
        if (t == &PyFloat_Type) return save_float(obj), true;
        if (memo_get(obj)) return true;
        if (t == &PyBytes_Type) {
            if (!sized('C', 'B', '\x8e', PyBytes_AS_STRING(obj),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(obj))))
                return false;
            memoize(obj);
            return true;
        }
        if (t == &PyUnicode_Type) return save_str(obj);
        if (t == &PyDict_Type) return save_dict(obj, depth);
        if (t == &PyList_Type) return save_list(obj, depth);
        if (t == &PyTuple_Type) return save_tuple(obj, depth);
        if (t == &PySet_Type) return save_set(obj, depth);
        return save_other(obj, depth);
    }

    std::string* out_ = nullptr;
    Memo memo_;
};

}  // namespace pickle_writer
