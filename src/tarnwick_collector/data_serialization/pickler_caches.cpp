// The pickler's two capped caches: verdicts per class and full names per
// callable. Working out an entry can run code (a finalizer at any
// allocation, another thread, a nested dump) that fills or clears the same
// cache, so callers get copies: nothing here hands out a reference or an
// iterator into a container, entries are built before they go in, and a
// full cache is swapped out before its entries are released.
#include "pickler_state.hpp"

namespace safe_pickler {

namespace {

constexpr std::size_t CAP = 4096;

struct TypeEntry {
    IdentityKey type;
    unsigned int version = 0;
    unsigned int meta_version = 0;
    TypeVerdicts verdicts;
};

struct NameEntry {
    IdentityKey callable;
    Ref name;
    Ref project_path;
};

auto& type_cache = leak<std::unordered_map<PyTypeObject*, TypeEntry>>();
auto& name_cache = leak<std::unordered_map<PyObject*, NameEntry>>();

// Empties a full cache. The old entries are released after the cache is
// usable again, since releasing a reference may run a finalizer.
template <class Map>
void make_room(Map& map) {
    if (map.size() < CAP) return;
    Map old;
    old.swap(map);
}

// Inserts `entry` under `key`; the entry is complete before the container
// is touched.
template <class Map, class Entry>
void put(Map& map, typename Map::key_type key, Entry&& entry) {
    make_room(map);
    auto [it, fresh] = map.try_emplace(key);
    if (fresh) {
        it->second = std::move(entry);
        return;
    }
    // Replacing an entry releases what it held: do that outside the map.
    Entry previous = std::move(it->second);
    it->second = std::move(entry);
}

// A non-weakrefable callable is cached only when holding it keeps nothing
// of the program alive: the descriptors that classes own.
bool cacheable_callable(PyObject* obj) {
    if (Py_TYPE(obj)->tp_weaklistoffset > 0) return true;
    PyTypeObject* t = Py_TYPE(obj);
    return t == &PyMethodDescr_Type || t == &PyWrapperDescr_Type || t == &PyClassMethodDescr_Type;
}

// The path a name was made with is compared by value: the setting is often
// set again to an equal string, which must not cost a full extraction.
bool same_path(PyObject* kept, PyObject* now) {
    if (kept == now) return true;
    if (!PyUnicode_CheckExact(kept) || !PyUnicode_CheckExact(now)) return false;
    return PyUnicode_Compare(kept, now) == 0;
}

}  // namespace

bool cached_verdicts(PyTypeObject* t, TypeVerdicts& out) {
    auto it = type_cache.find(t);
    if (it == type_cache.end()) return false;
    const TypeEntry& entry = it->second;
    unsigned int version = compat::type_version(t);
    if (!version || entry.version != version || !entry.type.is(as_obj(t)) ||
        entry.meta_version != compat::type_version(Py_TYPE(t)))
        return false;
    out = entry.verdicts;
    return true;
}

void remember_verdicts(PyTypeObject* t, const TypeVerdicts& v) {
    TypeEntry entry;
    entry.type = IdentityKey::of(as_obj(t));  // allocates: may run code
    // A lookup gives a class a valid version tag where it has none yet.
    (void)compat::type_lookup(t, S.klass);
    (void)compat::type_lookup(Py_TYPE(t), S.klass);
    entry.version = compat::type_version(t);
    entry.meta_version = compat::type_version(Py_TYPE(t));
    entry.verdicts = v;
    if (!entry.version || !entry.meta_version) return;  // could never be trusted again
    put(type_cache, t, std::move(entry));
}

Ref cached_name(PyObject* callable, PyObject* project_path) {
    auto it = name_cache.find(callable);
    if (it == name_cache.end() || !it->second.callable.is(callable) ||
        !same_path(it->second.project_path.get(), project_path))
        return {};
    return it->second.name;
}

void remember_name(PyObject* callable, const Ref& name, const Ref& project_path) {
    if (!cacheable_callable(callable)) return;
    NameEntry entry{IdentityKey::of(callable), name, project_path};  // may run code
    put(name_cache, callable, std::move(entry));
}

}  // namespace safe_pickler
