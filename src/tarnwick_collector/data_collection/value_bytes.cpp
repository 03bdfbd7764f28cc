#include "value_bytes.hpp"

#include "pickle_writer.hpp"

#include <string>
#include <unordered_map>
#include <vector>

namespace value_bytes {

using namespace tarn;

namespace {

// In a class's own dict (or a base's), any of these can change how its
// instances pickle or what reading their attributes runs.
#define VALUE_STRINGS(X)                      \
    X(slots, "__slots__")                     \
    X(reduce, "__reduce__")                   \
    X(reduce_ex, "__reduce_ex__")             \
    X(getstate, "__getstate__")               \
    X(setstate, "__setstate__")               \
    X(getnewargs, "__getnewargs__")           \
    X(getnewargs_ex, "__getnewargs_ex__")     \
    X(getattr_, "__getattr__")                \
    X(getattribute, "__getattribute__")       \
    X(klass, "__class__")                     \
    X(new_, "__new__")                        \
    X(dict_, "__dict__")                      \
    X(module, "__module__")
TARN_STRING_TABLE(Strings, VALUE_STRINGS);

Strings S;

// What is known of one class at one version of it. The class itself is
// not held: the version tag, which no other class ever gets, says whether
// an entry is still about the class at that address.
struct Plain {
    unsigned int version = 0;
    bool plain = false;
    bool verified = false;  // a value with it was compared at this version
    bool differed = false;  // ... and its bytes differed: left to the pickler
    Ref module_name, name;  // copies, for the lookups by name
    unsigned long long modules_version = 0, module_version = 0;
};

constexpr std::size_t MAX_CLASSES = 10000;

struct State {
    std::unordered_map<PyTypeObject*, Plain> classes;
    Ref dispatch_table;      // copyreg's, which the pickler consults too
    Ref extension_registry;  // a class registered there is written as EXT
    Stats stats;
    bool busy = false;
};
State& G = leak<State>();

bool own_dict_is_plain(PyTypeObject* t) {
    PyObject* dict = t->tp_dict;
    if (!dict || !PyDict_CheckExact(dict)) return false;
    for (PyObject* key : {S.slots, S.reduce, S.reduce_ex, S.getstate, S.setstate, S.getnewargs,
                          S.getnewargs_ex, S.getattr_, S.getattribute, S.klass, S.new_}) {
        if (PyDict_GetItemWithError(dict, key)) return false;
        if (PyErr_Occurred()) return false;
    }
    PyObject* d = PyDict_GetItemWithError(dict, S.dict_);
    return !PyErr_Occurred() && (!d || Py_TYPE(d) == &PyGetSetDescr_Type);
}

// A class of the program whose instances pickle as object.__reduce_ex__(4)
// makes them, reading nothing but their __dict__.
bool is_plain(PyTypeObject* t, Plain& p) {
    if (Py_TYPE(t) != &PyType_Type || !(t->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
        t->tp_itemsize != 0 || t->tp_dictoffset == 0 ||
        t->tp_getattro != PyObject_GenericGetAttr)
        return false;
    PyObject* mro = t->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) < 2 ||
        PyTuple_GET_ITEM(mro, PyTuple_GET_SIZE(mro) - 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type))
        return false;
    for (Py_ssize_t i = 0; i + 1 < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base) || Py_TYPE(base) != &PyType_Type ||
            !(reinterpret_cast<PyTypeObject*>(base)->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
            !own_dict_is_plain(reinterpret_cast<PyTypeObject*>(base)))
            return false;
    }
    PyObject* name = reinterpret_cast<PyHeapTypeObject*>(t)->ht_qualname;
    PyObject* module = PyDict_GetItemWithError(t->tp_dict, S.module);
    if (!name || !PyUnicode_CheckExact(name) || !module || !PyUnicode_CheckExact(module))
        return false;
    // A nested or local class is found by a dotted path: left to the pickler.
    if (PyUnicode_FindChar(name, '.', 0, PY_SSIZE_T_MAX, 1) != -1) return false;
    Py_ssize_t n;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &n);
    const char* mod8 = utf8 ? PyUnicode_AsUTF8(module) : nullptr;
    if (!mod8) return false;
    p.name = Ref::steal(PyUnicode_FromStringAndSize(utf8, n));
    p.module_name = Ref::steal(PyUnicode_FromString(mod8));
    return p.name && p.module_name;
}

// The class is what its module holds under its name (dict version tags say
// when to read again).
bool found_by_name(PyTypeObject* t, Plain& p) {
    PyObject* modules = PyImport_GetModuleDict();
    unsigned long long mv = compat::dict_version(modules);
    if (mv && mv == p.modules_version) {
        PyObject* module = PyDict_GetItemWithError(modules, p.module_name.get());
        if (module && PyModule_Check(module) &&
            compat::dict_version(PyModule_GetDict(module)) == p.module_version)
            return true;
    }
    PyObject* module = PyDict_GetItemWithError(modules, p.module_name.get());
    PyObject* found = module && PyModule_Check(module)
                          ? PyDict_GetItemWithError(PyModule_GetDict(module), p.name.get())
                          : nullptr;
    if (found != reinterpret_cast<PyObject*>(t)) {
        p.modules_version = 0;
        return false;
    }
    p.modules_version = mv;
    p.module_version = compat::dict_version(PyModule_GetDict(module));
    return true;
}

Plain* plain_entry(PyTypeObject* t) {
    unsigned int version = compat::type_version(t);
    if (!version) {
        // A lookup gives a class a valid version tag where it has none yet.
        (void)compat::type_lookup(t, S.module);
        version = compat::type_version(t);
        if (!version) return nullptr;
    }
    auto it = G.classes.find(t);
    if (it == G.classes.end() || it->second.version != version) {
        if (it == G.classes.end() && G.classes.size() >= MAX_CLASSES) G.classes.clear();
        Plain fresh;
        fresh.version = version;
        fresh.plain = is_plain(t, fresh);
        PyErr_Clear();
        // The checks read dicts only, but a class changed meanwhile is not
        // the class they checked.
        if (compat::type_version(t) != version) return nullptr;
        it = G.classes.insert_or_assign(t, std::move(fresh)).first;
    }
    Plain& p = it->second;
    if (!p.plain || p.differed) return nullptr;
    if (!found_by_name(t, p)) {
        PyErr_Clear();
        return nullptr;
    }
    return &p;
}

class ValueWriter : public pickle_writer::Writer {
public:
    std::vector<PyTypeObject*> unverified;

private:
    bool save_class(PyTypeObject* t, Plain& p, int depth) {
        PyObject* cls = reinterpret_cast<PyObject*>(t);
        if (memo_get(cls)) return true;
        // The very strings the pickler writes (a string seen again is a
        // memo reference, by identity).
        Ref module = Ref::borrow(PyDict_GetItemWithError(t->tp_dict, S.module));
        Ref name = Ref::borrow(reinterpret_cast<PyHeapTypeObject*>(t)->ht_qualname);
        if (!module || !name || !save(module.get(), depth) || !save(name.get(), depth)) return false;
        op('\x93');
        memoize(cls);
        if (!p.verified) unverified.push_back(t);
        return true;
    }
    bool save_other(PyObject* obj, int depth) override {
        PyTypeObject* t = Py_TYPE(obj);
        Plain* p = plain_entry(t);
        if (!p) return false;
        PyObject* own = PyDict_GetItemWithError(G.dispatch_table.get(), reinterpret_cast<PyObject*>(t));
        if (own || PyErr_Occurred()) return false;
        Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        // An empty __dict__ is no state from 3.11 on: left to the pickler.
        if (!dict || !PyDict_CheckExact(dict.get()) || PyDict_GET_SIZE(dict.get()) == 0) return false;
        // The class may have changed while the dict was made.
        if (compat::type_version(t) != p->version || !save_class(t, *p, depth)) return false;
        op(')'), op('\x81');
        memoize(obj);
        if (!save_dict(dict.get(), depth, true)) return false;
        op('b');
        return true;
    }
};

ValueWriter& W = leak<ValueWriter>();

std::string& body() {
    static std::string& b = leak<std::string>();
    return b;
}

}  // namespace

bool bind() {
    if (!S.create()) return false;
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    if (!copyreg) return false;
    G.dispatch_table = Ref::steal(PyObject_GetAttrString(copyreg.get(), "dispatch_table"));
    G.extension_registry = Ref::steal(PyObject_GetAttrString(copyreg.get(), "_extension_registry"));
    if (!G.dispatch_table || !G.extension_registry) return false;
    if (!PyDict_Check(G.dispatch_table.get())) {
        PyErr_SetString(PyExc_ImportError, "copyreg.dispatch_table is not a dict");
        return false;
    }
    return true;
}

// The pickler hands out one bytes object for each of these (a record that
// holds two of them writes the second as a memo reference): asked for them.
bool shared_constant(PyObject* v) {
    return v == Py_None || v == Py_True || v == Py_False ||
           v == reinterpret_cast<PyObject*>(Py_TYPE(Py_None)) ||
           (PyTuple_CheckExact(v) && PyTuple_GET_SIZE(v) == 0) ||
           (PyDict_CheckExact(v) && PyDict_GET_SIZE(v) == 0);
}

Ref write(PyObject* value, const std::function<Ref()>& pickled) {
    if (shared_constant(value)) return pickled();
    auto leave = [&] {
        ++G.stats.pickler;
        return pickled();
    };
    // A collection during the walk can run a finalizer that records a call
    // of its own: that one is left to the pickler.
    if (G.busy || !PyDict_Check(G.extension_registry.get()) ||
        PyDict_GET_SIZE(G.extension_registry.get()) != 0)
        return leave();
    Ref held = Ref::borrow(value);
    std::string& out = body();
    out.clear();
    W.unverified.clear();
    G.busy = true;
    bool ok = W.run(value, out);
    G.busy = false;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();
    }
    if (!ok) return leave();
    Ref bytes = pickle_writer::Writer::finish(out);
    if (!bytes) return {};
    if (W.unverified.empty()) {
        ++G.stats.direct;
        return bytes;
    }
    std::vector<PyTypeObject*> classes;
    classes.swap(W.unverified);
    Ref theirs = pickled();
    if (!theirs) return {};
    ++G.stats.checked;
    bool same = PyBytes_CheckExact(theirs.get()) &&
                PyBytes_GET_SIZE(theirs.get()) == PyBytes_GET_SIZE(bytes.get()) &&
                std::memcmp(PyBytes_AS_STRING(theirs.get()), PyBytes_AS_STRING(bytes.get()),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))) == 0;
    for (PyTypeObject* t : classes) {
        auto it = G.classes.find(t);
        if (it == G.classes.end() || it->second.version != compat::type_version(t)) continue;
        if (same) {
            it->second.verified = true;
        } else if (!it->second.differed) {
            it->second.differed = true;
            ++G.stats.differed;
        }
    }
    return theirs;
}

const Stats& stats() { return G.stats; }

}  // namespace value_bytes
