// The collector's pickler: the interpreter's C pickler, which asks a
// subclass's reducer_override about every object it does not write itself
// and writes what a failure reducer makes of a value the standard route
// cannot write, so that one such value never loses a whole record.
//
// The C pickler looks `reducer_override` up on the instance when a dump
// starts and calls what it found for each object. For a dump, Pickler.dump
// puts a native dispatcher under that name in the instance __dict__ (where
// it shadows the subclass's method); the dispatcher calls the subclass's
// method and, when that answers NotImplemented, checks the standard route
// before the C pickler takes it.
#include "tarn/util.hpp"

#include <tsl/robin_map.h>

#include "known_globals.hpp"

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <iterator>
#include <new>
#include <vector>

using namespace tarn;

namespace {

#define PICKLE_STRINGS(X)                   \
    X(reducer_override, "reducer_override") \
    X(failure_reducer, "failure_reducer")   \
    X(special_cases, "special_cases")       \
    X(protocol, "protocol")                 \
    X(reduce_ex, "__reduce_ex__")           \
    X(reduce, "__reduce__")                 \
    X(qualname, "__qualname__")             \
    X(name, "__name__")                     \
    X(module_dunder, "__module__")          \
    X(klass, "__class__")                   \
    X(new_dunder, "__new__")                \
    X(newobj, "__newobj__")                 \
    X(newobj_ex, "__newobj_ex__")           \
    X(main, "__main__")                     \
    X(locals, "<locals>")                   \
    X(dot, ".")
TARN_STRING_TABLE(Strings, PICKLE_STRINGS);

Strings S;

constexpr const char* MODULE = "tarnwick_collector.data_serialization.tarn_pickle";

// Collaborators, bound once at import.
struct Bound {
    Ref base;               // _pickle.Pickler
    Ref base_init;          // _pickle.Pickler.__init__
    Ref base_dump;          // _pickle.Pickler.dump
    Ref base_clear_memo;    // _pickle.Pickler.clear_memo
    Ref table_member;       // _pickle.Pickler.dispatch_table: the C struct's field
    Ref pickling_error;
    Ref loads;              // _pickle.loads
    Ref copyreg_table;      // copyreg.dispatch_table, which _pickle consults too
    Ref copyreg_newobj;     // copyreg.__newobj__
    Ref copyreg_newobj_ex;  // copyreg.__newobj_ex__
    Ref reconstructor;      // copyreg._reconstructor
    Ref default_protocol;
    Ref highest_protocol;
    Ref dispatcher_type;
    Ref spare;  // a disarmed dispatcher nobody else holds, for the next dump
};
Bound& B = leak<Bound>();

Ref not_implemented() { return Ref::borrow(Py_NotImplemented); }

bool pickling_error(const char* message) {
    PyErr_SetString(B.pickling_error.get(), message);
    return false;
}

// An error of the object itself, which the failure reducer may stand in
// for. The depth of the dump, lack of memory and interrupts always
// propagate: replacing them would cut a record short without a word.
bool substitutable() {
    return PyErr_ExceptionMatches(PyExc_Exception) &&
           !PyErr_ExceptionMatches(PyExc_RecursionError) &&
           !PyErr_ExceptionMatches(PyExc_MemoryError);
}

// ------------------------------------------------------------ dump state

struct IdentityHash {
    std::size_t operator()(PyObject* p) const noexcept {
        return static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(p) >> 4);
    }
};

// What one dump has learnt of a class or function written by reference:
// Py_True when it is found again, else the exception that showed it is not.
struct Verdict {
    Ref key;
    Ref outcome;
};
using Verdicts = tsl::robin_map<PyObject*, Verdict, IdentityHash>;

// Everything the dispatcher needs, read from the pickler once per dump.
struct DumpState {
    Ref user;       // reducer_override: a plain function taking (pickler, obj),
    Ref user_self;  // with the pickler here, or else any callable taking (obj)
    Ref failure;    // the failure reducer; empty outside a dump
    Ref special;    // special_cases; empty for never
    Ref proto;
    long proto_num = 0;
    Ref table;  // the dispatch table the C pickler consults
    bool table_is_exact_dict = false;
    bool kept = false;       // armed between the dumps of a kept pickler
    bool needs_self = false;  // kept: user_self is the pickler, set per dump
    Verdicts verdicts;
    // Every object the C pickler asked about. It may hold them borrowed
    // from a container that a finalizer empties while the hook runs; these
    // keep them alive until the dump ends, as its memo keeps the rest.
    std::vector<Ref> asked;

    // Drops every reference (so no cycle through the pickler outlives the
    // dump); the tables keep their buckets for the next dump. Finalizers
    // that run meanwhile cannot reach this state: the pickler still counts
    // as dumping and the dispatcher is nobody else's.
    void disarm() {
        Ref drop[] = {std::move(user), std::move(user_self), std::move(failure),
                      std::move(special), std::move(proto), std::move(table)};
        // Clearing walks every bucket: a table a large dump grew is dropped.
        if (verdicts.bucket_count() > 256)
            Verdicts().swap(verdicts);
        else if (!verdicts.empty())
            verdicts.clear();
        asked.clear();
    }
};

// The callable the C pickler finds under "reducer_override" during a dump.
// Not tracked by the cyclic GC: the cycle pickler -> __dict__ -> dispatcher
// -> pickler lasts only while the dump runs and is cut when it ends.
struct Dispatcher {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    alignas(DumpState) unsigned char storage[sizeof(DumpState)];

    DumpState& st() { return *std::launder(reinterpret_cast<DumpState*>(storage)); }
};

Dispatcher* as_dispatcher(PyObject* o) { return reinterpret_cast<Dispatcher*>(o); }

bool is_dispatcher(PyObject* o) {
    return Py_IS_TYPE(o, reinterpret_cast<PyTypeObject*>(B.dispatcher_type.get()));
}

// ------------------------------------------------------ written by name
// The checks save_global() makes before it writes a class or function by
// reference: its module, imported, holds that very object under its
// qualified name.

Ref deep_attribute(PyObject* root, PyObject* path) {
    Ref obj = Ref::borrow(root);
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(path); obj && i < n; ++i)
        obj = getattr(obj.get(), PyList_GET_ITEM(path, i));
    return obj;
}

// __module__, or else the first module in sys.modules holding the object.
Ref which_module(PyObject* obj, PyObject* path) {
    Ref name;
    int rc = compat::lookup_attr(obj, S.module_dunder, name);
    if (rc < 0) return {};
    if (rc && name.get() != Py_None) return name;
    PyObject* modules = PySys_GetObject("modules");
    if (!modules || !PyDict_Check(modules)) {
        PyErr_SetString(PyExc_RuntimeError, "unable to get sys.modules");
        return {};
    }
    // A copy: attribute lookups may import, and so change sys.modules.
    Ref snapshot = own(PyDict_Copy(modules));
    if (!snapshot) return {};
    Py_ssize_t pos = 0;
    PyObject *key, *module;
    while (PyDict_Next(snapshot.get(), &pos, &key, &module)) {
        if (module == Py_None || (PyUnicode_Check(key) && PyUnicode_Compare(key, S.main) == 0))
            continue;
        Ref found = deep_attribute(module, path);
        if (!found) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
            PyErr_Clear();
            continue;
        }
        if (found.get() == obj) return Ref::borrow(key);
    }
    return Ref::borrow(S.main);
}

// true when `obj` is found again under `name` (NULL: its own qualified
// name); false with the reason set as exception. `where` receives what it
// was found through.
bool found_by_name(PyObject* obj, PyObject* name, known_globals::Found* where = nullptr) {
    Ref global;
    if (name) {
        global = Ref::borrow(name);
    } else {
        int rc = compat::lookup_attr(obj, S.qualname, global);
        if (rc < 0) return false;
        if (!rc && !(global = getattr(obj, S.name))) return false;
    }
    Ref path = own(PyUnicode_Split(global.get(), S.dot, -1));
    if (!path) return false;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(path.get()); i < n; ++i) {
        if (PyUnicode_Compare(PyList_GET_ITEM(path.get(), i), S.locals) == 0) {
            PyErr_Format(PyExc_AttributeError, "Can't pickle local object %R", global.get());
            return false;
        }
    }
    Ref module_name = which_module(obj, path.get());
    if (!module_name) return false;
    // PyImport_Import hands back sys.modules[name] after importing; an
    // entry already there is that answer without the import machinery.
    Ref module = own(PyImport_GetModule(module_name.get()));
    if (!module) {
        if (PyErr_Occurred() || !(module = own(PyImport_Import(module_name.get()))))
            return false;
    }
    Ref found = deep_attribute(module.get(), path.get());
    if (!found) return false;
    if (found.get() != obj) {
        // Named, not repr()'d: a metaclass's __repr__ is the program's code.
        PyErr_Format(B.pickling_error.get(), "Can't pickle %S: it's not the same object as %S.%S",
                     global.get(), module_name.get(), global.get());
        return false;
    }
    if (where) *where = known_globals::Found{module_name, module, path};
    return true;
}

// Classes save_type() writes without looking up a name.
bool singleton_type(PyObject* cls) {
    return cls == reinterpret_cast<PyObject*>(Py_TYPE(Py_None)) ||
           cls == reinterpret_cast<PyObject*>(Py_TYPE(Py_Ellipsis)) ||
           cls == reinterpret_cast<PyObject*>(Py_TYPE(Py_NotImplemented));
}

// found_by_name(obj, NULL), remembered for the rest of the dump (every
// instance of a class asks about the class again) and, where found, across
// dumps (every record names the same few classes and functions).
bool by_reference(DumpState& st, PyObject* obj) {
    if (Py_IS_TYPE(obj, &PyType_Type) && singleton_type(obj)) return true;
    if (known_globals::still_found(obj)) return true;
    auto it = st.verdicts.find(obj);
    if (it != st.verdicts.end()) {
        if (it->second.outcome.get() == Py_True) return true;
        compat::restore_exception(it->second.outcome);
        return false;
    }
    known_globals::Found where;
    if (found_by_name(obj, nullptr, &where)) {
        st.verdicts.emplace(obj, Verdict{Ref::borrow(obj), Ref::borrow(Py_True)});
        known_globals::remember(obj, where);
        return true;
    }
    if (!substitutable()) return false;
    Ref why = compat::take_exception();
    st.verdicts.emplace(obj, Verdict{Ref::borrow(obj), why});
    compat::restore_exception(std::move(why));
    return false;
}

// ------------------------------------------------------ the standard route

// Types save() writes itself, without asking reducer_override.
bool written_by_c(PyTypeObject* t) {
    return t == &PyDict_Type || t == &PyList_Type || t == &PyTuple_Type || t == &PySet_Type ||
           t == &PyFrozenSet_Type || t == &PyByteArray_Type || t == &PyPickleBuffer_Type ||
           t == &PyUnicode_Type || t == &PyBytes_Type || t == &PyLong_Type ||
           t == &PyFloat_Type || t == &PyBool_Type || t == Py_TYPE(Py_None);
}

// The reducer the dispatch table holds for `t`, empty when none; false on error.
bool table_lookup(DumpState& st, PyTypeObject* t, Ref& out) {
    PyObject* key = reinterpret_cast<PyObject*>(t);
    if (st.table_is_exact_dict) {
        // No KeyError per object for the usual empty or small table.
        if (PyDict_GET_SIZE(st.table.get()) == 0) return true;
        out = Ref::borrow(PyDict_GetItemWithError(st.table.get(), key));
        return out || !PyErr_Occurred();
    }
    out = own(PyObject_GetItem(st.table.get(), key));
    if (out) return true;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    PyErr_Clear();
    return true;
}

// A class or function a reduce value names is written by reference too.
bool reference_ok(DumpState& st, PyObject* x) {
    PyTypeObject* t = Py_TYPE(x);
    if (t == &PyType_Type || t == &PyFunction_Type) return by_reference(st, x);
    if (!PyType_IsSubtype(t, &PyType_Type)) return true;
    Ref reducer;
    if (!table_lookup(st, t, reducer)) return false;
    return reducer || by_reference(st, x);
}

// obj.__reduce_ex__(protocol), or obj.__reduce__() without the former.
Ref reduce_of(DumpState& st, PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    // The usual case, without a bound method per object.
    if (t->tp_getattro == PyObject_GenericGetAttr && compat::type_lookup(t, S.reduce_ex))
        return call_method(obj, S.reduce_ex, st.proto.get());
    Ref method;
    int rc = compat::lookup_attr(obj, S.reduce_ex, method);
    if (rc < 0) return {};
    if (rc) return call(method.get(), st.proto.get());
    rc = compat::lookup_attr(obj, S.reduce, method);
    if (rc < 0) return {};
    if (rc) return call(method.get());
    PyErr_Format(B.pickling_error.get(), "can't pickle '%.200s' object", t->tp_name);
    return {};
}

enum class Ctor { plain, newobj, newobj_ex, reconstructor };

// How save_reduce() writes the call: NEWOBJ(_EX) for callables so named
// from protocol 2 on, else a plain call.
bool constructor_kind(DumpState& st, PyObject* callable, Ctor& kind) {
    kind = Ctor::plain;
    if (callable == B.reconstructor.get()) {
        kind = Ctor::reconstructor;
        return true;
    }
    if (st.proto_num < 2) return true;
    if (callable == B.copyreg_newobj.get()) {
        kind = Ctor::newobj;
        return true;
    }
    if (callable == B.copyreg_newobj_ex.get()) {
        kind = Ctor::newobj_ex;
        return true;
    }
    Ref name;
    if (compat::lookup_attr(callable, S.name, name) < 0) return false;
    if (name && PyUnicode_Check(name.get())) {
        if (PyUnicode_Compare(name.get(), S.newobj_ex) == 0)
            kind = Ctor::newobj_ex;
        else if (PyUnicode_Compare(name.get(), S.newobj) == 0)
            kind = Ctor::newobj;
    }
    return true;
}

// The class a reduce value builds from, checked as save_reduce() checks it.
bool constructor_ok(DumpState& st, PyObject* obj, PyObject* callable, PyObject* args) {
    Ctor kind;
    if (!constructor_kind(st, callable, kind)) return false;
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    PyObject* cls = n > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    switch (kind) {
    case Ctor::plain:
        return true;
    case Ctor::reconstructor:
        return !cls || !PyType_Check(cls) || reference_ok(st, cls);
    case Ctor::newobj_ex:
        if (n != 3) return pickling_error("length of the NEWOBJ_EX argument tuple must be exactly 3");
        if (!PyType_Check(cls))
            return pickling_error("first item from NEWOBJ_EX argument tuple must be a class");
        if (!PyTuple_Check(PyTuple_GET_ITEM(args, 1)))
            return pickling_error("second item from NEWOBJ_EX argument tuple must be a tuple");
        if (!PyDict_Check(PyTuple_GET_ITEM(args, 2)))
            return pickling_error("third item from NEWOBJ_EX argument tuple must be a dict");
        if (st.proto_num < 4 && !getattr(cls, S.new_dunder)) return false;
        return reference_ok(st, cls);
    case Ctor::newobj: {
        if (!cls) return pickling_error("__newobj__ arglist is empty");
        if (!PyType_Check(cls)) return pickling_error("args[0] from __newobj__ args is not a type");
        Ref actual;
        int rc = compat::lookup_attr(obj, S.klass, actual);
        if (rc < 0) return false;
        PyObject* obj_cls = rc ? actual.get() : reinterpret_cast<PyObject*>(Py_TYPE(obj));
        if (obj_cls != cls) return pickling_error("args[0] from __newobj__ args has the wrong class");
        return reference_ok(st, cls);
    }
    }
    return true;
}

// What save() and save_reduce() would reject in a reduce value.
bool valid_reduction(DumpState& st, PyObject* obj, PyObject* rv) {
    if (PyUnicode_Check(rv)) return found_by_name(obj, rv);
    if (!PyTuple_Check(rv)) return pickling_error("__reduce__ must return a string or tuple");
    Py_ssize_t n = PyTuple_GET_SIZE(rv);
    if (n < 2 || n > 6)
        return pickling_error("tuple returned by __reduce__ must contain 2 through 6 elements");
    PyObject* callable = PyTuple_GET_ITEM(rv, 0);
    PyObject* args = PyTuple_GET_ITEM(rv, 1);
    if (!PyCallable_Check(callable))
        return pickling_error("first item of the tuple returned by __reduce__ must be callable");
    if (!PyTuple_Check(args))
        return pickling_error("second item of the tuple returned by __reduce__ must be a tuple");
    for (Py_ssize_t i = 3; i < n && i < 5; ++i) {
        PyObject* items = PyTuple_GET_ITEM(rv, i);
        if (items != Py_None && !PyIter_Check(items))
            return pickling_error("item iterators returned by __reduce__ must be iterators");
    }
    if (n == 6) {
        PyObject* setter = PyTuple_GET_ITEM(rv, 5);
        if (setter != Py_None && !PyCallable_Check(setter))
            return pickling_error("sixth element of the tuple returned by __reduce__ must be callable");
    }
    return reference_ok(st, callable) && constructor_ok(st, obj, callable, args);
}

// What the C pickler would do after NotImplemented, short of writing:
// NotImplemented where it writes the object itself or by reference (checked
// to succeed), else the reduce value it would compute, computed here once
// and handed back. Empty with the exception set when the route fails.
Ref standard_route(DumpState& st, PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (written_by_c(t)) return not_implemented();
    if (t == &PyType_Type || t == &PyFunction_Type)
        return by_reference(st, obj) ? not_implemented() : Ref();
    Ref reducer;
    if (!table_lookup(st, t, reducer)) return {};
    Ref rv;
    if (reducer)
        rv = call(reducer.get(), obj);
    else if (PyType_IsSubtype(t, &PyType_Type))
        return by_reference(st, obj) ? not_implemented() : Ref();
    else
        rv = reduce_of(st, obj);
    if (!rv || !valid_reduction(st, obj, rv.get())) return {};
    return rv;
}

// ------------------------------------------------------------ dispatch

// The failure reducer's value for `obj`; should it raise, `reason` (why it
// was called) becomes the new exception's context.
Ref substitute(DumpState& st, PyObject* obj, Ref reason) {
    Ref failure = st.failure;
    Ref rv = call(failure.get(), obj);
    if (!rv) compat::add_context(std::move(reason));
    return rv;
}

// reducer_override raised: substitute when special_cases(type(obj)) says so.
Ref override_failed(DumpState& st, PyObject* obj) {
    if (!st.failure || !st.special || !substitutable()) return {};
    Ref reason = compat::take_exception();
    Ref special = st.special;
    Ref answer = call(special.get(), reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    int yes = answer ? truthy(answer.get()) : -1;
    if (yes < 0) {
        compat::add_context(std::move(reason));
        return {};
    }
    if (!yes) {
        compat::restore_exception(std::move(reason));
        return {};
    }
    return substitute(st, obj, std::move(reason));
}

Ref dispatch(DumpState& st, PyObject* obj) {
    st.asked.push_back(Ref::borrow(obj));
    if (st.user) {
        Ref user = st.user, user_self = st.user_self;
        Ref rv = user_self ? call(user.get(), user_self.get(), obj) : call(user.get(), obj);
        if (!rv) return override_failed(st, obj);
        if (rv.get() != Py_NotImplemented || !st.failure) return rv;
    } else if (!st.failure) {
        return not_implemented();
    }
    Ref rv = standard_route(st, obj);
    if (rv || !substitutable()) return rv;
    return substitute(st, obj, compat::take_exception());
}

PyObject* dispatcher_call(PyObject* self, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
            PyErr_SetString(PyExc_TypeError, "reducer_override() takes exactly one argument");
            return nullptr;
        }
        Ref keep = Ref::borrow(self);
        return dispatch(as_dispatcher(self)->st(), args[0]).release();
    });
}

void dispatcher_dealloc(PyObject* self) {
    // Instances of a heap type own a reference to it.
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    as_dispatcher(self)->st().~DumpState();
    Py_TYPE(self)->tp_free(self);
}

PyMemberDef dispatcher_members[2] = {};
PyType_Slot dispatcher_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dispatcher_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, dispatcher_members},
    {Py_tp_doc, const_cast<char*>("Stands in for reducer_override while a Pickler dumps.")},
    {0, nullptr}};
PyType_Spec dispatcher_type_def = {
    "tarnwick_collector.data_serialization.tarn_pickle.ReducerDispatch", sizeof(Dispatcher), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    dispatcher_slots};

bool make_dispatcher_type() {
    dispatcher_members[0] = compat::vectorcall_offset_member(offsetof(Dispatcher, vectorcall));
    B.dispatcher_type = own(PyType_FromSpec(&dispatcher_type_def));
    return bool(B.dispatcher_type);
}

Ref take_dispatcher() {
    if (B.spare) return std::move(B.spare);
    auto* type = reinterpret_cast<PyTypeObject*>(B.dispatcher_type.get());
    Ref obj = own(type->tp_alloc(type, 0));
    if (!obj) return {};
    Dispatcher* d = as_dispatcher(obj.get());
    new (d->storage) DumpState();
    d->vectorcall = dispatcher_call;
    return obj;
}

void give_back(Ref d) {
    as_dispatcher(d.get())->st().disarm();
    if (!B.spare && Py_REFCNT(d.get()) == 1) B.spare = std::move(d);
}

// ------------------------------------------------------------- Pickler

bool set(PyObject* self, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(self, name, value) == 0;
}

bool callable_or_none(PyObject* obj, const char* param) {
    if (obj == Py_None || PyCallable_Check(obj)) return true;
    PyErr_Format(PyExc_TypeError, "%s must be callable or None, not %.200s", param,
                 Py_TYPE(obj)->tp_name);
    return false;
}

// The protocol number as _pickle settles it (the arguments were accepted).
Ref protocol_number(PyObject* protocol) {
    if (protocol == Py_None) return B.default_protocol;
    long p = PyLong_AsLong(protocol);
    if (p == -1 && PyErr_Occurred()) return {};
    return p < 0 ? B.highest_protocol : own(PyLong_FromLong(p));
}

Params<6> init_params{
    "__init__",
    {"file", "protocol", "fix_imports", "buffer_callback", "failure_reducer", "special_cases"},
    1,
    2};

PyObject* Pickler_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    std::array<PyObject*, 6> a;
    if (!init_params.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject* protocol = a[1] ? a[1] : Py_None;
    PyObject* failure = a[4] ? a[4] : Py_None;
    PyObject* special = a[5] ? a[5] : Py_None;
    if (!callable_or_none(failure, "failure_reducer") ||
        !callable_or_none(special, "special_cases"))
        return nullptr;
    if (!call(B.base_init.get(), self, a[0], protocol, a[2] ? a[2] : Py_True,
              a[3] ? a[3] : Py_None))
        return nullptr;
    Ref proto = protocol_number(protocol);
    if (!proto || !set(self, S.protocol, proto.get()) ||
        !set(self, S.failure_reducer, failure) || !set(self, S.special_cases, special))
        return nullptr;
    Py_RETURN_NONE;
}

// The dispatch table the C pickler will consult: its own field, or
// copyreg's when that is unset.
bool bind_table(DumpState& st, PyObject* self) {
    PyObject* member = B.table_member.get();
    Ref table = own(Py_TYPE(member)->tp_descr_get(member, self,
                                                  reinterpret_cast<PyObject*>(Py_TYPE(self))));
    if (!table) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        table = B.copyreg_table;
    }
    st.table_is_exact_dict = PyDict_CheckExact(table.get());
    st.table = std::move(table);
    return true;
}

// What `self.reducer_override` meant before the dispatcher shadowed it.
bool bind_override(DumpState& st, PyObject* self, PyObject* prior) {
    PyTypeObject* type = Py_TYPE(self);
    Ref descr = Ref::borrow(compat::type_lookup(type, S.reducer_override));
    descrgetfunc get = descr ? Py_TYPE(descr.get())->tp_descr_get : nullptr;
    if (get && Py_TYPE(descr.get())->tp_descr_set) {
        // An instance entry cannot shadow a data descriptor.
        PyErr_Format(PyExc_TypeError, "%.200s.reducer_override must be a method, not %.200s",
                     type->tp_name, Py_TYPE(descr.get())->tp_name);
        return false;
    }
    if (prior) {
        st.user = Ref::borrow(prior);
        return true;
    }
    if (!descr) return true;
    // A function or a method of a class in C is called with the pickler
    // prepended: no bound method is made per dump.
    if (PyFunction_Check(descr.get()) || Py_IS_TYPE(descr.get(), &PyMethodDescr_Type)) {
        st.user = std::move(descr);
        st.user_self = Ref::borrow(self);
        return true;
    }
    st.user = get ? own(get(descr.get(), self, reinterpret_cast<PyObject*>(type)))
                  : std::move(descr);
    return bool(st.user);
}

bool arm(DumpState& st, PyObject* self, PyObject* prior, Ref failure) {
    st.failure = std::move(failure);
    Ref special;
    if (compat::lookup_attr(self, S.special_cases, special) < 0) return false;
    if (special && special.get() != Py_None) st.special = std::move(special);
    if (!(st.proto = getattr(self, S.protocol))) return false;
    st.proto_num = PyLong_AsLong(st.proto.get());
    if (st.proto_num == -1 && PyErr_Occurred()) return false;
    return bind_table(st, self) && bind_override(st, self, prior);
}

// Takes the dispatcher out of the instance __dict__ again, unless the dump
// itself put something else there.
bool uninstall(PyObject* dict, PyObject* dispatcher, PyObject* prior) {
    PyObject* now = PyDict_GetItemWithError(dict, S.reducer_override);
    if (now != dispatcher) return now || !PyErr_Occurred();
    int rc = prior ? PyDict_SetItem(dict, S.reducer_override, prior)
                   : PyDict_DelItem(dict, S.reducer_override);
    return rc == 0;
}

// Picklers whose dump is running. The C pickler's output buffer, frame and
// memo serve one dump at a time: a second dump, a re-initialisation or a
// cleared memo in the middle of one would leave the first writing through
// freed or foreign state.
auto& dumping = leak<std::vector<PyObject*>>();

bool is_dumping(PyObject* self) {
    return std::find(dumping.begin(), dumping.end(), self) != dumping.end();
}

bool refuse_while_dumping(PyObject* self) {
    if (!is_dumping(self)) return false;
    PyErr_SetString(PyExc_RuntimeError, "pickler is already dumping");
    return true;
}

// Marks `self` as dumping for the scope (threads may end their dumps in
// any order).
class DumpingMark {
public:
    explicit DumpingMark(PyObject* self) : self_(self) { dumping.push_back(self); }
    ~DumpingMark() {
        auto it = std::find(dumping.rbegin(), dumping.rend(), self_);
        if (it != dumping.rend()) dumping.erase(std::next(it).base());
    }
    DumpingMark(const DumpingMark&) = delete;
    DumpingMark& operator=(const DumpingMark&) = delete;

private:
    PyObject* self_;
};

PyObject* Pickler_dump(PyObject* self, PyObject* obj) {
    if (refuse_while_dumping(self)) return nullptr;
    Ref keep = Ref::borrow(self);
    DumpingMark mark(self);
    Ref failure;
    if (compat::lookup_attr(self, S.failure_reducer, failure) < 0) return nullptr;
    // Nothing to stand in for: the C pickler calls the override itself.
    if (!failure || failure.get() == Py_None) return call(B.base_dump.get(), self, obj).release();

    Ref dict = own(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return nullptr;
    Ref prior = Ref::borrow(PyDict_GetItemWithError(dict.get(), S.reducer_override));
    if (!prior && PyErr_Occurred()) return nullptr;
    // A dispatcher left behind by a dump whose clean-up failed stands for nothing.
    if (prior && is_dispatcher(prior.get())) prior.reset();
    Ref dispatcher = take_dispatcher();
    if (!dispatcher) return nullptr;
    if (!arm(as_dispatcher(dispatcher.get())->st(), self, prior.get(), std::move(failure)) ||
        PyDict_SetItem(dict.get(), S.reducer_override, dispatcher.get()) < 0) {
        give_back(std::move(dispatcher));
        return nullptr;
    }
    Ref result = call(B.base_dump.get(), self, obj);
    if (result) {
        if (!uninstall(dict.get(), dispatcher.get(), prior.get())) result.reset();
    } else {
        compat::SavedError keep;
        if (!uninstall(dict.get(), dispatcher.get(), prior.get())) PyErr_Clear();
    }
    give_back(std::move(dispatcher));
    return result.release();
}

PyObject* Pickler_init_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    if (refuse_while_dumping(self)) return nullptr;
    return guarded([&] { return Pickler_init(self, args, nargs, kwnames); });
}

PyObject* Pickler_clear_memo_entry(PyObject* self, PyObject*) {
    if (refuse_while_dumping(self)) return nullptr;
    return guarded([&] { return call(B.base_clear_memo.get(), self).release(); });
}

PyObject* Pickler_dump_entry(PyObject* self, PyObject* obj) {
    return guarded([&] { return Pickler_dump(self, obj); });
}

// ------------------------------------------------------- kept picklers
// A pickler that only its owner ever sees (the safe pickler keeps one for
// all its dumps) keeps its dispatcher installed and armed between dumps:
// what arming reads is the owner's and does not change. Between dumps the
// dispatcher holds no reference to the pickler, so no cycle outlives one.

PyObject* dump_kept_impl(PyObject* self, PyObject* obj) {
    if (refuse_while_dumping(self)) return nullptr;
    Ref keep = Ref::borrow(self);
    Ref dict = own(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return nullptr;
    PyObject* current = PyDict_GetItemWithError(dict.get(), S.reducer_override);
    if (!current && PyErr_Occurred()) return nullptr;
    if (!current || !is_dispatcher(current) || !as_dispatcher(current)->st().kept) {
        if (current) return Pickler_dump(self, obj);  // not one of ours: the ordinary dump
        Ref failure;
        if (compat::lookup_attr(self, S.failure_reducer, failure) < 0) return nullptr;
        if (!failure || failure.get() == Py_None) return Pickler_dump(self, obj);
        Ref dispatcher = take_dispatcher();
        if (!dispatcher) return nullptr;
        DumpState& st = as_dispatcher(dispatcher.get())->st();
        if (!arm(st, self, nullptr, std::move(failure)) ||
            PyDict_SetItem(dict.get(), S.reducer_override, dispatcher.get()) < 0) {
            give_back(std::move(dispatcher));
            return nullptr;
        }
        st.kept = true;
        st.needs_self = bool(st.user_self);
        st.user_self.reset();
        current = dispatcher.get();  // the dict holds it
    }
    Ref dispatcher = Ref::borrow(current);
    DumpState& st = as_dispatcher(current)->st();
    DumpingMark mark(self);
    if (st.needs_self) st.user_self = Ref::borrow(self);
    Ref result = call(B.base_dump.get(), self, obj);
    {
        compat::SavedError pending;
        // What this dump learnt and held goes; the arming stays.
        Ref drop = std::move(st.user_self);
        if (st.verdicts.bucket_count() > 256)
            Verdicts().swap(st.verdicts);
        else if (!st.verdicts.empty())
            st.verdicts.clear();
        st.asked.clear();
    }
    return result.release();
}

PyObject* dump_kept(PyObject* self, PyObject* obj) {
    return guarded([&] { return dump_kept_impl(self, obj); });
}

struct Api {
    PyObject* (*dump_kept)(PyObject* pickler, PyObject* obj);
};
Api api{dump_kept};

PyObject* loads(PyObject*, PyObject* data) {
    return guarded([&] { return call(B.loads.get(), data).release(); });
}

constexpr const char* PICKLER_DOC =
    "Pickler(file, protocol=None, *, fix_imports=True, buffer_callback=None,\n"
    "        failure_reducer=None, special_cases=None)\n"
    "\n"
    "The interpreter's C pickler, for subclasses that define reducer_override.\n"
    "file, protocol, fix_imports and buffer_callback mean what they mean to\n"
    "_pickle.Pickler; dump(obj) writes one object.\n"
    "\n"
    "reducer_override(obj) is called for every object the C pickler does not\n"
    "write itself. It writes None, bools, ints, floats, str, bytes, memo hits\n"
    "and exact dict, list, tuple, set, frozenset, bytearray and PickleBuffer\n"
    "objects without asking (their items are asked about). NotImplemented and\n"
    "reduce values mean what they mean to the standard pickler. With\n"
    "dispatch_table set to {} after __init__, no copyreg reducer is consulted.\n"
    "\n"
    "failure_reducer(obj), when given, is called for an object that the\n"
    "standard route cannot write once reducer_override answered NotImplemented:\n"
    "its reduction raises or is malformed, or a class or function it writes by\n"
    "reference (the object itself, or what its reduce value names) is not found\n"
    "again under its module and qualified name. The reduce value it returns is\n"
    "written in the object's place. Without it such failures propagate.\n"
    "\n"
    "An exception from reducer_override propagates, unless failure_reducer is\n"
    "given and special_cases(type(obj)) is true: then the failure reducer's\n"
    "value is written instead (special_cases None: never). Exceptions from\n"
    "failure_reducer and special_cases propagate, and so do RecursionError,\n"
    "MemoryError and exceptions that are not Exception subclasses.\n"
    "\n"
    "dump(), __init__() and clear_memo() on a pickler that is dumping (from a\n"
    "reducer, a finalizer or another thread) raise RuntimeError.\n"
    "\n"
    "Attributes: failure_reducer, special_cases, and protocol (the protocol\n"
    "in use).";


PyMethodDef Pickler_methods[] = {
    {"__init__", as_method(Pickler_init_entry), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"dump", reinterpret_cast<PyCFunction>(Pickler_dump_entry), METH_O,
     "Write a pickled representation of obj to the open file. A dump that\n"
     "starts while the same pickler is dumping raises RuntimeError."},
    {"clear_memo", reinterpret_cast<PyCFunction>(Pickler_clear_memo_entry), METH_NOARGS,
     "Clears the pickler's memo (not while it is dumping)."},
    {}};

PyMethodDef module_methods[] = {
    {"loads", reinterpret_cast<PyCFunction>(loads), METH_O,
     "loads(data)\n--\n\nRead back an object from the bytes of a pickle."},
    {}};

// ----------------------------------------------------------------- import

Ref attr(const Ref& obj, const char* name) {
    return own(PyObject_GetAttrString(obj.get(), name));
}

bool bind() {
    Ref cpickle = own(PyImport_ImportModule("_pickle"));
    Ref copyreg = own(PyImport_ImportModule("copyreg"));
    Ref pickle = own(PyImport_ImportModule("pickle"));
    if (!cpickle || !copyreg || !pickle) return false;
    B.base = attr(cpickle, "Pickler");
    if (!B.base) return false;
    B.base_init = attr(B.base, "__init__");
    B.base_dump = attr(B.base, "dump");
    B.base_clear_memo = attr(B.base, "clear_memo");
    B.table_member = attr(B.base, "dispatch_table");
    B.pickling_error = attr(cpickle, "PicklingError");
    B.loads = attr(cpickle, "loads");
    B.copyreg_table = attr(copyreg, "dispatch_table");
    B.copyreg_newobj = attr(copyreg, "__newobj__");
    B.copyreg_newobj_ex = attr(copyreg, "__newobj_ex__");
    B.reconstructor = attr(copyreg, "_reconstructor");
    B.default_protocol = attr(pickle, "DEFAULT_PROTOCOL");
    B.highest_protocol = attr(pickle, "HIGHEST_PROTOCOL");
    for (const Ref* r : {&B.base_init, &B.base_dump, &B.base_clear_memo, &B.table_member, &B.pickling_error, &B.loads,
                         &B.copyreg_table, &B.copyreg_newobj, &B.copyreg_newobj_ex,
                         &B.reconstructor, &B.default_protocol, &B.highest_protocol})
        if (!*r) return false;
    if (!PyType_Check(B.base.get()) || !Py_TYPE(B.table_member.get())->tp_descr_get) {
        PyErr_SetString(PyExc_ImportError, "_pickle.Pickler is not the expected C pickler");
        return false;
    }
    return true;
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "tarn_pickle",
                          "The collector's pickler and loader.", -1, module_methods};

PyObject* init_module() {
    if (!S.create() || !known_globals::init() || !bind() || !make_dispatcher_type()) return nullptr;
    Ref module = own(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref bases = own(PyTuple_Pack(1, B.base.get()));
    if (!bases) return nullptr;
    Ref cls = make_class(MODULE, "Pickler", bases.get(), PICKLER_DOC);
    if (!cls || !add_methods(cls.get(), Pickler_methods) ||
        !set(cls.get(), S.failure_reducer, Py_None) || !set(cls.get(), S.special_cases, Py_None) ||
        !add_to_module(module.get(), "Pickler", cls) ||
        !add_to_module(module.get(), "_C_API",
                       own(PyCapsule_New(&api, "tarnwick_collector.data_serialization.tarn_pickle._C_API",
                                         nullptr))))
        return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_tarn_pickle() {
    return guarded(init_module);
}
