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
    X(name_, "__name__")                      \
    X(qualname, "__qualname__")               \
    X(value_, "_value_")                      \
    X(module, "__module__")
TARN_STRING_TABLE(Strings, VALUE_STRINGS);

Strings S;

// How the instances of a class are written here.
enum class Kind : std::uint8_t {
    none,      // left to the pickler
    plain,     // class by name, NEWOBJ, the __dict__ as state
    reduced,   // what the standard library's own C __reduce__ gives
    function,  // what the safe pickler's reduce_function gives
    member,    // an enum member: its class by name called with its value
    module,    // a module: the safe pickler's wrap_module called with its name
};

// What is known of one class at one version of it. The class itself is
// not held: the version tag, which no other class ever gets, says whether
// an entry is still about the class at that address.
struct Entry {
    unsigned int version = 0;
    Kind kind = Kind::none;
    bool verified = false;  // a value with it was compared at this version
    bool differed = false;  // ... and its bytes differed: left to the pickler
    // For the lookups by name; for the interpreter's own classes also what
    // is written: the very object each time where its getter hands out one
    // (an interned module name), else a copy, written as a new string.
    Ref module_name, name;
    bool module_shared = false, name_shared = false;
    pickle_writer::FoundAt at;
};

constexpr std::size_t MAX_CLASSES = 10000;

struct State {
    std::unordered_map<PyTypeObject*, Entry> classes;
    // Classes as values (written by name), whatever their instances are.
    std::unordered_map<PyTypeObject*, Entry> class_values;
    Ref dispatch_table;      // copyreg's, which the pickler consults too
    Ref extension_registry;  // a class registered there is written as EXT
    Ref object_reduce_ex;    // object.__reduce_ex__
    Ref four;
    // The safe pickler's, bound at first use (it imports this module's
    // package): _function_reduction(obj) and _is_function_type(type).
    Ref reduce_function, is_function_type;
    Ref loadclass;  // what reduce_function's values call, written by name
    Entry loadclass_names;
    Ref wrap_module;
    // With the object wrapper on, an object whose attributes the recorded
    // code used is written as those attributes: left to the pickler.
    Ref used_attributes;
    Stats stats;
    bool busy = false;
};
State& G = leak<State>();

bool own_dict_is_plain(PyTypeObject* t) {
    PyObject* dict = t->tp_dict;
    if (!dict || !PyDict_CheckExact(dict)) return false;
    // A class attribute __name__ makes the pickler look its instances up
    // among the values it rebuilds by name.
    for (PyObject* key : {S.slots, S.reduce, S.reduce_ex, S.getstate, S.setstate, S.getnewargs,
                          S.getnewargs_ex, S.getattr_, S.getattribute, S.klass, S.new_, S.name_}) {
        if (PyDict_GetItemWithError(dict, key)) return false;
        if (PyErr_Occurred()) return false;
    }
    PyObject* d = PyDict_GetItemWithError(dict, S.dict_);
    return !PyErr_Occurred() && (!d || Py_TYPE(d) == &PyGetSetDescr_Type);
}

// A class's (or function's) module and name. Only the interpreter's own
// classes' shared strings are kept themselves (a program's string is never
// held: its class's are read again where they are written).
bool copy_name(PyObject* target, PyObject* attr, Ref& out, bool& shared) {
    Ref first = getattr(target, attr), again = first ? getattr(target, attr) : Ref();
    if (!again || !PyUnicode_CheckExact(first.get())) return false;
    shared = first.get() == again.get();
    bool own = PyType_Check(target) &&
               !(reinterpret_cast<PyTypeObject*>(target)->tp_flags & Py_TPFLAGS_HEAPTYPE);
    out = shared && own ? first
                        : Ref::steal(PyUnicode_FromKindAndData(
                              PyUnicode_KIND(first.get()), PyUnicode_DATA(first.get()),
                              PyUnicode_GET_LENGTH(first.get())));
    return bool(out);
}

// A nested or local class is found by a dotted path: left to the pickler.
bool copy_names(PyObject* target, Entry& p) {
    return copy_name(target, S.module, p.module_name, p.module_shared) &&
           copy_name(target, S.qualname, p.name, p.name_shared) &&
           PyUnicode_FindChar(p.name.get(), '.', 0, PY_SSIZE_T_MAX, 1) == -1;
}

// A class of the program whose instances pickle as object.__reduce_ex__(4)
// makes them, reading nothing but their __dict__.
bool is_plain(PyTypeObject* t, Entry& p) {
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
    return copy_names(reinterpret_cast<PyObject*>(t), p);
}

bool found_by_name(PyObject* target, Entry& p) {
    return pickle_writer::found_in_module(target, p.module_name.get(), p.name.get(), p.at);
}

// The standard library's values whose own C __reduce__ is their pickling:
// decimals, dates and times (looked up where imported; nothing is imported
// for this).
bool is_reduced_type(PyTypeObject* t) {
    static const char* const names[][2] = {{"decimal", "Decimal"}, {"datetime", "date"},
                                           {"datetime", "datetime"}, {"datetime", "time"},
                                           {"datetime", "timedelta"}};
    PyObject* modules = PyImport_GetModuleDict();
    for (const auto& [module_name, name] : names) {
        PyObject* module = PyDict_GetItemString(modules, module_name);
        PyObject* found = module && PyModule_Check(module)
                              ? PyDict_GetItemString(PyModule_GetDict(module), name)
                              : nullptr;
        if (found == reinterpret_cast<PyObject*>(t)) return true;
    }
    return false;
}

bool bind_pickler() {
    if (G.reduce_function) return true;
    Ref pickler = imp_module("tarnwick_collector.data_serialization.pickler");
    if (!pickler) return false;
    G.is_function_type = attr_of(pickler, "_is_function_type");
    G.reduce_function = G.is_function_type ? attr_of(pickler, "_function_reduction") : Ref();
    G.loadclass = G.reduce_function ? import_attr("jsonpickle.unpickler", "loadclass") : Ref();
    G.wrap_module = G.loadclass ? attr_of(pickler, "wrap_module") : Ref();
    G.used_attributes = G.wrap_module ? import_attr(
        "tarnwick_collector.data_collection.used_attributes_collector", "used_attributes") : Ref();
    if (!G.used_attributes || !copy_names(G.loadclass.get(), G.loadclass_names)) {
        G.reduce_function.reset();
        return false;
    }
    return true;
}

// Enum.__reduce_ex__ where the enum module is imported (nothing is
// imported for this), and the metaclass of enums.
PyObject* enum_reduce_ex(PyTypeObject*& meta) {
    PyObject* module = PyDict_GetItemString(PyImport_GetModuleDict(), "enum");
    if (!module || !PyModule_Check(module)) return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    PyObject* base = PyDict_GetItemString(dict, "Enum");
    PyObject* m = PyDict_GetItemString(dict, "EnumMeta");
    if (!base || !PyType_Check(base) || !m || !PyType_Check(m)) return nullptr;
    meta = reinterpret_cast<PyTypeObject*>(m);
    PyObject* base_dict = reinterpret_cast<PyTypeObject*>(base)->tp_dict;
    return base_dict ? PyDict_GetItemWithError(base_dict, S.reduce_ex) : nullptr;
}

// A class of enum members pickled by Enum's own __reduce_ex__: (its class,
// (its value,)).
bool is_enum_class(PyTypeObject* t) {
    PyTypeObject* meta = nullptr;
    PyObject* reduce_ex = enum_reduce_ex(meta);
    if (!reduce_ex || Py_TYPE(t) != meta || !(t->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
        compat::type_lookup(t, S.reduce_ex) != reduce_ex ||
        t->tp_getattro != PyObject_GenericGetAttr || t->tp_dictoffset == 0)
        return false;
    // Reading the member's __dict__ and class runs nothing of the program's.
    PyObject* mro = t->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro)) return false;
    for (Py_ssize_t i = 0; i + 1 < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (!dict || !PyDict_CheckExact(dict)) return false;
        for (PyObject* key : {S.getattr_, S.getattribute, S.klass, S.name_}) {
            if (PyDict_GetItemWithError(dict, key) || PyErr_Occurred()) return false;
        }
    }
    return true;
}

Kind kind_of(PyTypeObject* t, Entry& p) {
    if (is_reduced_type(t)) return copy_names(reinterpret_cast<PyObject*>(t), p) ? Kind::reduced : Kind::none;
    if (t == &PyMethod_Type || t == &PyFunction_Type || t == &PyCFunction_Type) {
        if (!bind_pickler()) return Kind::none;
        Ref yes = call(G.is_function_type.get(), reinterpret_cast<PyObject*>(t));
        return yes && yes.get() == Py_True ? Kind::function : Kind::none;
    }
    if (t == &PyModule_Type) return bind_pickler() ? Kind::module : Kind::none;
    if (is_enum_class(t)) return copy_names(reinterpret_cast<PyObject*>(t), p) ? Kind::member : Kind::none;
    return is_plain(t, p) ? Kind::plain : Kind::none;
}

// The entry of `t` in `table` at the class's present version, made by
// `make(t, entry)` where there is none (or only one of an older version).
template <class Make>
Entry* cached_entry(std::unordered_map<PyTypeObject*, Entry>& table, PyTypeObject* t, Make make) {
    unsigned int version = compat::type_version(t);
    if (!version) {
        // A lookup gives a class a valid version tag where it has none yet.
        (void)compat::type_lookup(t, S.module);
        version = compat::type_version(t);
        if (!version) return nullptr;
    }
    auto it = table.find(t);
    // A class's __qualname__ can be set without a new version tag.
    auto renamed = [t](const Entry& e) {
        PyObject* now = (t->tp_flags & Py_TPFLAGS_HEAPTYPE)
                            ? reinterpret_cast<PyHeapTypeObject*>(t)->ht_qualname
                            : nullptr;
        return now && e.name && PyUnicode_CheckExact(now) &&
               PyUnicode_Compare(now, e.name.get()) != 0;
    };
    if (it == table.end() || it->second.version != version || renamed(it->second)) {
        if (it == table.end() && table.size() >= MAX_CLASSES) table.clear();
        Entry fresh;
        fresh.version = version;
        fresh.kind = make(t, fresh);
        PyErr_Clear();
        // The checks read dicts only, but a class changed meanwhile is not
        // the class they checked.
        if (compat::type_version(t) != version) return nullptr;
        it = table.insert_or_assign(t, std::move(fresh)).first;
    }
    Entry& p = it->second;
    return p.kind == Kind::none || p.differed ? nullptr : &p;
}

// Found by name where the kind is written by name.
Entry* found(Entry* p, PyTypeObject* t) {
    if (!p || p->kind == Kind::function || p->kind == Kind::module) return p;
    if (found_by_name(reinterpret_cast<PyObject*>(t), *p)) return p;
    PyErr_Clear();
    return nullptr;
}

// A class of metaclass `type` as a value: by its module and name.
Entry* class_value_entry(PyTypeObject* t) {
    if (Py_TYPE(t) != &PyType_Type) return nullptr;
    return found(cached_entry(G.class_values, t, [](PyTypeObject* c, Entry& e) {
        return copy_names(reinterpret_cast<PyObject*>(c), e) ? Kind::plain : Kind::none;
    }), t);
}

Entry* entry_for(PyTypeObject* t) { return found(cached_entry(G.classes, t, kind_of), t); }

class ValueWriter : public pickle_writer::Writer {
public:
    // Entries written with that are not checked yet: (class, as a value).
    std::vector<std::pair<PyTypeObject*, bool>> unverified;
    bool wrapped = false;  // the safe pickler's object wrapper is on

private:
    // Whether the wrapper writes `obj` as the attributes the recorded code
    // used (or cannot be asked without running code).
    bool used_by_recording(PyObject* obj) {
        if (!wrapped) return false;
        if (!bind_pickler() || !PyDict_CheckExact(G.used_attributes.get())) return true;
        Ref id = Ref::steal(PyLong_FromVoidPtr(obj));
        if (!id) return true;
        PyObject* used = PyDict_GetItemWithError(G.used_attributes.get(), id.get());
        return PyErr_Occurred() || (used && used != Py_None);
    }
    // A class or function by name, as the pickler writes it: its module and
    // qualified name (the very strings it writes, since a string seen again
    // is a memo reference by identity; the interpreter makes new ones for
    // its own classes), STACK_GLOBAL.
    bool save_global(PyObject* target, const Entry& names, bool own_strings, int depth) {
        if (memo_get(target)) return true;
        if (own_strings) {
            PyObject* module = names.module_name.get();
            PyObject* name = names.name.get();
            if (!(names.module_shared ? save(module, depth) : save_fresh_str(module)) ||
                !(names.name_shared ? save(name, depth) : save_fresh_str(name)))
                return false;
        } else {
            Ref module = getattr(target, S.module), name = getattr(target, S.qualname);
            if (!module || !name || !save(module.get(), depth) || !save(name.get(), depth))
                return false;
        }
        op('\x93');
        memoize(target);
        return true;
    }
    void note(PyTypeObject* t, const Entry& e, bool class_value = false) {
        if (!e.verified) unverified.emplace_back(t, class_value);
    }
    bool save_plain(PyObject* obj, PyTypeObject* t, Entry& p, int depth) {
        PyObject* own = PyDict_GetItemWithError(G.dispatch_table.get(), reinterpret_cast<PyObject*>(t));
        if (own || PyErr_Occurred()) return false;
        Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        // An empty __dict__ is no state from 3.11 on: left to the pickler.
        if (!dict || !PyDict_CheckExact(dict.get()) || PyDict_GET_SIZE(dict.get()) == 0) return false;
        // The class may have changed while the dict was made.
        if (compat::type_version(t) != p.version ||
            !save_global(reinterpret_cast<PyObject*>(t), p, false, depth))
            return false;
        note(t, p);
        op(')'), op('\x81');
        memoize(obj);
        if (!save_dict(dict.get(), depth, true)) return false;
        op('b');
        return true;
    }
    // (callable, args) as the pickler writes a reduce value: the callable,
    // the arguments, REDUCE, the object memoized.
    bool save_reduce_value(PyObject* obj, PyTypeObject* t, Entry& p, PyObject* rv, int depth) {
        if (!PyTuple_CheckExact(rv) || PyTuple_GET_SIZE(rv) != 2) return false;
        Ref callable = Ref::borrow(PyTuple_GET_ITEM(rv, 0));
        Ref args = Ref::borrow(PyTuple_GET_ITEM(rv, 1));
        if (!PyTuple_CheckExact(args.get())) return false;
        if (callable.get() == G.loadclass.get()) {
            if (!found_by_name(callable.get(), G.loadclass_names) ||
                !save_global(callable.get(), G.loadclass_names, false, depth))
                return false;
        } else {
            // A value of the standard library rebuilt by its own class.
            if (p.kind != Kind::reduced || callable.get() != reinterpret_cast<PyObject*>(t) ||
                !save_global(callable.get(), p, !(t->tp_flags & Py_TPFLAGS_HEAPTYPE), depth))
                return false;
        }
        if (!save(args.get(), depth)) return false;
        std::uint32_t index;
        if (memo_.find(obj, index)) return false;  // reached again through its arguments
        op('R');
        memoize(obj);
        return true;
    }
    bool save_reduced(PyObject* obj, PyTypeObject* t, Entry& p, int depth) {
        // What object.__reduce_ex__(4) calls: the class's own __reduce_ex__,
        // else its __reduce__; both the standard library's C methods.
        Ref reduce_ex = Ref::borrow(compat::type_lookup(t, S.reduce_ex));
        Ref rv;
        if (reduce_ex && reduce_ex.get() != G.object_reduce_ex.get()) {
            if (Py_TYPE(reduce_ex.get()) != &PyMethodDescr_Type) return false;
            rv = call(reduce_ex.get(), obj, G.four.get());
        } else {
            Ref reduce = Ref::borrow(compat::type_lookup(t, S.reduce));
            if (!reduce || Py_TYPE(reduce.get()) != &PyMethodDescr_Type) return false;
            rv = call(reduce.get(), obj);
        }
        if (!rv || compat::type_version(t) != p.version) return false;
        note(t, p);
        return save_reduce_value(obj, t, p, rv.get(), depth);
    }
    bool save_function(PyObject* obj, PyTypeObject* t, Entry& p, int depth) {
        Ref rv = call(G.reduce_function.get(), obj);
        if (!rv || rv.get() == Py_NotImplemented) return false;
        note(t, p);
        return save_reduce_value(obj, t, p, rv.get(), depth);
    }
    bool save_member(PyObject* obj, PyTypeObject* t, Entry& p, int depth) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        if (!dict || !PyDict_CheckExact(dict.get())) return false;
        Ref value = Ref::borrow(PyDict_GetItemWithError(dict.get(), S.value_));
        if (!value || compat::type_version(t) != p.version ||
            !save_global(reinterpret_cast<PyObject*>(t), p, false, depth))
            return false;
        note(t, p);
        return save(value.get(), depth) && called_with_one(obj);
    }
    // After the callable and the one argument: the tuple made for the call
    // (written and dropped: never referred to again), REDUCE, the object.
    bool called_with_one(PyObject* obj) {
        op('\x85'), op('\x94');
        memo_.skip();
        std::uint32_t index;
        if (memo_.find(obj, index)) return false;  // reached again through its argument
        op('R');
        memoize(obj);
        return true;
    }
    // A class as a value: by name.
    bool save_class_value(PyObject* cls, int depth) {
        if (memo_get(cls)) return true;
        auto* t = reinterpret_cast<PyTypeObject*>(cls);
        Entry* p = class_value_entry(t);
        if (!p || !save_global(cls, *p, !(t->tp_flags & Py_TPFLAGS_HEAPTYPE), depth)) return false;
        note(t, *p, true);
        return true;
    }
    bool save_module(PyObject* obj, PyTypeObject* t, Entry& p, int depth) {
        Ref name = Ref::steal(PyModule_GetNameObject(obj));
        if (!name || !PyUnicode_CheckExact(name.get())) return false;
        note(t, p);
        return save(G.wrap_module.get(), depth) && save(name.get(), depth) && called_with_one(obj);
    }
    bool save_other(PyObject* obj, int depth) override {
        PyTypeObject* t = Py_TYPE(obj);
        if (t == &PyType_Type) return save_class_value(obj, depth);
        Entry* p = entry_for(t);
        if (!p) return false;
        if (p->kind != Kind::function && p->kind != Kind::module && used_by_recording(obj))
            return false;
        switch (p->kind) {
        case Kind::plain: return save_plain(obj, t, *p, depth);
        case Kind::reduced: return save_reduced(obj, t, *p, depth);
        case Kind::function: return save_function(obj, t, *p, depth);
        case Kind::member: return save_member(obj, t, *p, depth);
        case Kind::module: return save_module(obj, t, *p, depth);
        case Kind::none: break;
        }
        return false;
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
    Ref object_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    G.object_reduce_ex = getattr(object_type.get(), S.reduce_ex);
    G.four = Ref::steal(PyLong_FromLong(4));
    if (!G.object_reduce_ex || !G.four) return false;
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

Ref write(PyObject* value, const std::function<Ref()>& pickled, bool wrapped) {
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
    W.wrapped = wrapped;
    bool ok;
    {
        // Reset however the walk ends (lack of memory throws).
        struct Busy {
            Busy() { G.busy = true; }
            ~Busy() { G.busy = false; }
        } busy;
        ok = W.run(value, out);
    }
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
    std::vector<std::pair<PyTypeObject*, bool>> classes;
    classes.swap(W.unverified);
    Ref theirs = pickled();
    if (!theirs) return {};
    ++G.stats.checked;
    bool same = PyBytes_CheckExact(theirs.get()) &&
                PyBytes_GET_SIZE(theirs.get()) == PyBytes_GET_SIZE(bytes.get()) &&
                std::memcmp(PyBytes_AS_STRING(theirs.get()), PyBytes_AS_STRING(bytes.get()),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))) == 0;
    for (auto [t, class_value] : classes) {
        auto& table = class_value ? G.class_values : G.classes;
        auto it = table.find(t);
        if (it == table.end() || it->second.version != compat::type_version(t)) continue;
        if (same) {
            it->second.verified = true;
        } else if (!it->second.differed) {
            it->second.differed = true;
            ++G.stats.differed;
        }
    }
    return theirs;
}

PyObject* stats_dict() {
    const Stats& st = G.stats;
    return Py_BuildValue("{sKsKsKsK}", "direct", st.direct, "pickler", st.pickler, "checked",
                         st.checked, "differed", st.differed);
}

}  // namespace value_bytes
