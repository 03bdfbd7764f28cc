#include "known_globals.hpp"

#include <tsl/robin_map.h>

#include <cstdint>

namespace known_globals {

using namespace tarn;

namespace {

constexpr std::size_t CAP = 4096;

struct Entry {
    IdentityKey obj;
    IdentityKey module;
    PyObject* module_ptr = nullptr;  // only compared; `module` tells it is alive
    Ref module_name, path;
    unsigned long long modules_version = 0, dict_version = 0;
    // What names the object: a function's own fields, a class's version
    // tags (any change of a class attribute, __qualname__ and __module__
    // included, gives the class a new tag).
    Ref func_module, func_qualname;
    unsigned int type_version = 0, meta_version = 0;
};

struct IdentityHash {
    std::size_t operator()(PyObject* p) const noexcept {
        return static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(p) >> 4);
    }
};

#define KNOWN_STRINGS(X)                \
    X(getattribute, "__getattribute__") \
    X(qualname, "__qualname__")         \
    X(module, "__module__")
TARN_STRING_TABLE(Strings, KNOWN_STRINGS);
Strings S;

using Map = tsl::robin_map<PyObject*, Entry, IdentityHash>;
Map& known = leak<Map>();

// A class whose name is read by the interpreter's own code: its metaclass
// neither hooks attribute access nor redefines __qualname__ or __module__.
bool plainly_named_class(PyTypeObject* cls) {
    PyTypeObject* meta = Py_TYPE(cls);
    if (meta == &PyType_Type) return true;
    PyObject *getattribute = S.getattribute, *qualname = S.qualname, *module = S.module;
    // A __getattr__ of the metaclass answers only what is not found.
    if (compat::type_lookup(meta, getattribute) != compat::type_lookup(&PyType_Type, getattribute))
        return false;
    return compat::type_lookup(meta, qualname) == compat::type_lookup(&PyType_Type, qualname) &&
           compat::type_lookup(meta, module) == compat::type_lookup(&PyType_Type, module);
}

bool names_unchanged(const Entry& e, PyObject* obj) {
    if (PyFunction_Check(obj)) {
        auto* f = reinterpret_cast<PyFunctionObject*>(obj);
        return f->func_module == e.func_module.get() && f->func_qualname == e.func_qualname.get();
    }
    auto* t = reinterpret_cast<PyTypeObject*>(obj);
    unsigned int tv = compat::type_version(t);
    unsigned int mv = compat::type_version(Py_TYPE(t));
    return tv && mv && tv == e.type_version && mv == e.meta_version;
}

// The attribute path from the module, read through dicts only (module
// dicts and class dicts along each class's MRO); NULL when a step is not
// such a plain read.
PyObject* plain_path(PyObject* module, PyObject* path) {
    PyObject* at = module;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(path); at && i < n; ++i) {
        PyObject* name = PyList_GET_ITEM(path, i);
        if (PyModule_Check(at)) {
            at = PyDict_GetItemWithError(PyModule_GetDict(at), name);
        } else if (PyType_Check(at) && plainly_named_class(reinterpret_cast<PyTypeObject*>(at))) {
            at = compat::type_lookup(reinterpret_cast<PyTypeObject*>(at), name);
            // A descriptor would be applied by getattr.
            if (at && Py_TYPE(at)->tp_descr_get && !PyFunction_Check(at) && !PyType_Check(at))
                at = nullptr;
        } else {
            at = nullptr;
        }
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return at;
}

}  // namespace

bool still_found(PyObject* obj) {
    auto it = known.find(obj);
    if (it == known.end()) return false;
    Entry& e = it.value();
    if (!e.obj.is(obj) || !names_unchanged(e, obj)) return false;
    PyObject* modules = PyImport_GetModuleDict();
    unsigned long long mv = compat::dict_version(modules);
    PyObject* module = e.module_ptr;
    if (!mv || mv != e.modules_version) {
        // sys.modules changed: its entry must still be that module.
        module = PyDict_GetItemWithError(modules, e.module_name.get());
        if (!module) {
            PyErr_Clear();
            return false;
        }
    }
    if (module != e.module_ptr || !e.module.is(module) || !PyModule_Check(module)) return false;
    unsigned long long dv = compat::dict_version(PyModule_GetDict(module));
    // A nested name goes through classes, whose dicts have no such number.
    bool direct = PyList_GET_SIZE(e.path.get()) == 1;
    if (!direct || !dv || dv != e.dict_version) {
        // Looked up again, by dict reads alone.
        if (plain_path(module, e.path.get()) != obj) return false;
    }
    e.modules_version = mv;
    e.dict_version = dv;
    return true;
}

void remember(PyObject* obj, const Found& found) {
    if (!found.module || !PyModule_Check(found.module.get()) || !found.path ||
        !PyList_CheckExact(found.path.get()) || !found.module_name ||
        !PyUnicode_CheckExact(found.module_name.get()))
        return;
    Entry e;
    if (PyFunction_Check(obj)) {
        auto* f = reinterpret_cast<PyFunctionObject*>(obj);
        e.func_module = Ref::borrow(f->func_module);
        e.func_qualname = Ref::borrow(f->func_qualname);
    } else if (PyType_Check(obj)) {
        auto* t = reinterpret_cast<PyTypeObject*>(obj);
        if (!plainly_named_class(t)) return;
        // A lookup gives a class a valid version tag where it has none yet.
        (void)compat::type_lookup(t, S.qualname);
        (void)compat::type_lookup(Py_TYPE(t), S.qualname);
        e.type_version = compat::type_version(t);
        e.meta_version = compat::type_version(Py_TYPE(t));
        if (!e.type_version || !e.meta_version) return;
    } else {
        return;
    }
    // Only what a plain read finds again is worth remembering.
    if (plain_path(found.module.get(), found.path.get()) != obj) return;
    e.module_name = found.module_name;
    e.path = found.path;
    e.modules_version = compat::dict_version(PyImport_GetModuleDict());
    e.dict_version = compat::dict_version(PyModule_GetDict(found.module.get()));
    e.obj = IdentityKey::of(obj);  // allocates: may run code
    e.module = IdentityKey::of(found.module.get());
    e.module_ptr = found.module.get();
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return;
    }
    if (known.size() >= CAP) {
        // Released after the map is usable again: a release may run code.
        Map old;
        old.swap(known);
    }
    auto [slot, fresh] = known.try_emplace(obj);
    Entry previous = std::move(slot.value());
    slot.value() = std::move(e);
}

bool init() { return S.create(); }

void clear() {
    Map old;
    old.swap(known);
}

}  // namespace known_globals
