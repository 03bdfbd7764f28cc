// The opcodes are those of the interpreter's C pickler at protocol 4, in its
// order: a memo check before every value that is not an atom, MEMOIZE after
// every value it memoizes, one frame around everything. An instance of a
// record class is what object.__reduce_ex__(4) gives for it: its class by
// name, NEWOBJ with no arguments, its __dict__ as state.
#include "record_bytes.hpp"

#include "pickle_writer.hpp"

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

struct Class {
    Ref type;
    Ref name;  // the name the module holds it under, its __qualname__
    unsigned int version = 0;         // type version the module and name were read at
    pickle_writer::FoundAt at;
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

// The class is what its module holds under its name, read from the dicts
// (version tags say when to read again); false: not written here now.
bool found_by_name(Class& c) {
    auto* t = reinterpret_cast<PyTypeObject*>(c.type.get());
    unsigned int version = compat::type_version(t);
    if (!version || version != c.version) {
        // Read again: name and module, and the bytes are compared anew.
        c.checked = false;
        c.version = 0;
        c.at = {};
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
    if (!pickle_writer::found_in_module(c.type.get(), c.module_name, c.name.get(), c.at))
        return false;
    if (!c.version) {
        // A lookup gives a class a valid version tag where it has none yet.
        (void)compat::type_lookup(t, G.module_key.get());
        c.version = compat::type_version(t);
    }
    return c.version && c.at.modules && c.at.module;
}

class RecordWriter : public pickle_writer::Writer {
public:
    // false: not a record written here (no error set), or an error.
    bool run_record(PyObject* record, std::string& out, std::array<bool, NCLASSES>& used) {
        used_ = &used;
        return run(record, out);
    }

private:
    int class_index(PyTypeObject* t) const {
        for (std::size_t i = 0; i < NCLASSES; ++i)
            if (G.classes[i].type.get() == reinterpret_cast<PyObject*>(t)) return static_cast<int>(i);
        return -1;
    }
    bool save_class(std::size_t i, int depth) {
        Class& c = G.classes[i];
        PyObject* cls = c.type.get();
        if (memo_get(cls)) return true;
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
    bool save_other(PyObject* obj, int depth) override {
        int i = class_index(Py_TYPE(obj));
        return i >= 0 && save_record(obj, static_cast<std::size_t>(i), depth);
    }

    std::array<bool, NCLASSES>* used_ = nullptr;
};

RecordWriter& W = leak<RecordWriter>();

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
    bool ok = W.run_record(record, out, used);
    busy = false;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();
    }
    bool checked = true;
    for (std::size_t i = 0; ok && i < NCLASSES; ++i)
        if (used[i]) checked = checked && G.classes[i].checked;
    if (!ok) return leave();
    Ref bytes = pickle_writer::Writer::finish(out);
    if (!bytes) return {};
    const char* p = PyBytes_AS_STRING(bytes.get());
    std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()));
    if (checked) {
        ++G.stats.direct;
        return bytes;
    }
    Ref theirs = pickled();
    if (!theirs) return {};
    ++G.stats.checked;
    if (!PyBytes_CheckExact(theirs.get()) || PyBytes_GET_SIZE(theirs.get()) != PyBytes_GET_SIZE(bytes.get()) ||
        std::memcmp(PyBytes_AS_STRING(theirs.get()), p, n) != 0) {
        G.stats.off = true;
        return theirs;
    }
    for (std::size_t i = 0; i < NCLASSES; ++i)
        if (used[i]) G.classes[i].checked = true;
    return theirs;
}

const Stats& stats() { return G.stats; }

}  // namespace record_bytes
