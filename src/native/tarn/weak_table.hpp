// Entries about objects of the program that never keep those objects alive.
//
// Each entry holds a weak reference to its object; the reference's callback
// drops the entry when the object dies, before its address can be reused,
// so a new object never finds what was recorded about an old one. An entry
// may also watch one companion object (a cached value, say) and is dropped
// when either dies. Objects that cannot be weakly referenced get no entry.
//
// The callbacks run whenever a watched object dies, which is at any point
// where Python code can run (any release, any allocation that starts the
// cyclic collector). An entry pointer from find() or ensure() is therefore
// valid only until the next such point.
#pragma once

#include "tarn/util.hpp"

#include <tsl/robin_map.h>

#include <cstdint>
#include <functional>
#include <utility>

namespace tarn {

template <class V>
class WeakTable {
public:
    struct Entry {
        Ref ref;        // to the key object
        Ref companion;  // to a second watched object, or empty
        V value{};
    };
    // Told about an entry after it left the table; must not run Python code.
    using Dropped = void (*)(PyObject* key, V& value);

    explicit WeakTable(Dropped dropped = nullptr) : dropped_(dropped) {}
    WeakTable(const WeakTable&) = delete;
    WeakTable& operator=(const WeakTable&) = delete;

    // At module init.
    bool init(const char* name) {
        def_ = {name, &WeakTable::forget, METH_O, nullptr};
        Ref self = Ref::steal(PyCapsule_New(this, nullptr, nullptr));
        if (!self) return false;
        callback_ = Ref::steal(PyCFunction_New(&def_, self.get()));
        return bool(callback_);
    }

    // The entry of the live object `key`, or nullptr.
    Entry* find(PyObject* key) {
        auto it = entries_.find(key);
        if (it == entries_.end() || compat::weakref_target(it->second.ref.get()) != key)
            return nullptr;
        return &it.value();
    }

    // The entry of `key`, made when missing. nullptr without an error when
    // `key` cannot be weakly referenced; nullptr with an error on failure.
    Entry* ensure(PyObject* key) {
        if (Entry* e = find(key)) return e;
        Ref ref = watch(key);  // may run code
        if (!ref) return nullptr;
        // Code run meanwhile may have made the entry.
        if (Entry* e = find(key)) return e;
        auto left = entries_.find(key);
        if (left != entries_.end()) {
            // An entry whose object died unannounced: dropped, not trusted.
            Entry stale = std::move(left.value());
            entries_.erase(left);
            forget_refs(stale);
            if (dropped_) dropped_(key, stale.value);
            return nullptr;
        }
        PyObject* raw = ref.get();
        try {
            by_ref_.emplace(raw, key);
            try {
                auto done = entries_.emplace(key, Entry{std::move(ref), Ref(), V{}});
                return &done.first.value();
            } catch (...) {
                by_ref_.erase(raw);
                throw;
            }
        } catch (...) {
            PyErr_NoMemory();
            return nullptr;
        }
    }

    // A weak reference to `obj` whose death would drop an entry, for
    // set_companion(); empty (no error) when `obj` cannot be weakly
    // referenced, empty with an error on failure. May run code.
    Ref watch(PyObject* obj) {
        Ref ref = Ref::steal(PyWeakref_NewRef(obj, callback_.get()));
        if (!ref && PyErr_ExceptionMatches(PyExc_TypeError)) PyErr_Clear();
        return ref;
    }

    // Makes `ref` (from watch(), or empty) the companion of the entry of
    // `key`, which `e` points to. Returns the previous companion, for the
    // caller to release once it no longer holds `e`. False when out of memory.
    bool set_companion(PyObject* key, Entry* e, Ref ref, Ref& previous) {
        try {
            if (ref) by_ref_.emplace(ref.get(), key);
        } catch (...) {
            PyErr_NoMemory();
            return false;
        }
        if (e->companion) by_ref_.erase(e->companion.get());
        previous = std::exchange(e->companion, std::move(ref));
        return true;
    }

private:
    static PyObject* forget(PyObject* capsule, PyObject* ref) {
        auto* self = static_cast<WeakTable*>(PyCapsule_GetPointer(capsule, nullptr));
        if (self) self->drop(ref);
        PyErr_Clear();
        Py_RETURN_NONE;
    }

    void drop(PyObject* ref) {
        auto found = by_ref_.find(ref);
        if (found == by_ref_.end()) return;
        PyObject* key = found->second;
        by_ref_.erase(found);
        auto it = entries_.find(key);
        if (it == entries_.end()) return;
        if (it->second.ref.get() != ref && it->second.companion.get() != ref) return;
        // Released at the end, once the table is consistent: releasing can
        // run code, and with it more callbacks.
        Entry gone = std::move(it.value());
        entries_.erase(it);
        forget_refs(gone);
        if (dropped_) dropped_(key, gone.value);
    }

    void forget_refs(const Entry& e) {
        by_ref_.erase(e.ref.get());
        if (e.companion) by_ref_.erase(e.companion.get());
    }

    // Addresses are aligned: their low bits say nothing.
    struct AddressHash {
        std::size_t operator()(PyObject* p) const noexcept {
            std::uint64_t x = reinterpret_cast<std::uintptr_t>(p);
            x ^= x >> 33;
            x *= 0xff51afd7ed558ccdULL;
            x ^= x >> 33;
            return static_cast<std::size_t>(x);
        }
    };

    template <class T>
    using Map = tsl::robin_map<PyObject*, T, AddressHash, std::equal_to<PyObject*>,
                               std::allocator<std::pair<PyObject*, T>>, false,
                               tsl::rh::power_of_two_growth_policy<2>>;

    Map<Entry> entries_;
    Map<PyObject*> by_ref_;  // weak reference -> key of its entry
    Dropped dropped_;
    PyMethodDef def_{};
    Ref callback_;
};

}  // namespace tarn
