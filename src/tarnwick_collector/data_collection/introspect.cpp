// Metadata extraction: turns a callable into its metadata record, caches it
// in the native object-to-object map, and reports external functions that
// are recording candidates.
#include "c_extension/map.h"
#include "tarn/collector.hpp"
#include "tarn/weak_table.hpp"

#include "signature_bytes.hpp"

#include <unordered_map>

using namespace tarn;

namespace {

#define INTROSPECT_STRINGS(X)           \
    X(code_dunder, "__code__")          \
    X(self_const, "__self__")           \
    X(init, "__init__")                 \
    X(func, "__func__")                 \
    X(klass, "__class__")               \
    X(module_dunder, "__module__")      \
    X(qualname, "__qualname__")         \
    X(name, "__name__")                 \
    X(full_name, "full_name")           \
    X(co_flags, "co_flags")             \
    X(co_filename, "co_filename")       \
    X(co_names, "co_names")             \
    X(builtins, "builtins")             \
    X(unknown_path, "unknown_path")     \
    X(unhashable, "unhashable")         \
    X(function_signature, "function_signature") \
    X(module_name, "module_name")       \
    X(code_hash, "code_hash")           \
    X(full_path, "full_path")           \
    X(is_async, "is_async")             \
    X(signature_dunder, "__signature__") \
    X(text_signature, "__text_signature__") \
    X(partialmethod, "_partialmethod")  \
    X(empty, "")
TARN_STRING_TABLE(Strings, INTROSPECT_STRINGS);

Strings S;
Collector& C = leak<Collector>();

// Collaborators, bound once at import.
struct Bound {
    Ref object_init;  // object.__init__
    Ref builtin_open;
    Ref builtin_input;
    Ref user_metadata_cls;
    Ref external_metadata_cls;
    Ref external_function_metric;
    Ref get_function_module;
    Ref get_function_full_name;
    Ref get_hash;
    Ref get_signature;
    Ref argspec_cls;  // inspect.FullArgSpec
    long co_coroutine = 0;
};
Bound& B = leak<Bound>();

// ------------------------------------------------------- the cache
// The map itself holds borrowed pointers only. Recording must not extend
// the life of any object of the program, so a cached callable is watched
// through a weak reference and its entry leaves the map when it dies; a
// record that can be weakly referenced is watched the same way (its
// signature holds the function's defaults, which may lead back to the
// function), others (the external pairs, which hold only names and flags)
// are kept here while their entry lasts. A read hands out only a value
// that is alive and is the one stored here.
struct Cached {
    Ref kept;                  // the value, when it cannot be watched
    PyObject* value = nullptr;  // what the map holds for the key
};

void cache_dropped(PyObject* key, Cached& gone) {
    auto it = g_object_to_object.find(key);
    if (it != g_object_to_object.end() && it->second == gone.value) g_object_to_object.erase(it);
}

auto& cache = leak<WeakTable<Cached>>(cache_dropped);

// Bound builtin methods are made afresh at every attribute access and hold
// the object they are bound to: an entry would only churn. Builtins of
// modules (and unbound ones) live as long as their module.
bool short_lived(PyObject* fn) {
    if (!PyCFunction_Check(fn)) return false;
    PyObject* self = PyCFunction_GET_SELF(fn);
    return self && !PyModule_Check(self);
}

// False with an error set on failure; a callable that cannot be watched
// is simply not cached.
bool cache_store(PyObject* key, PyObject* value) {
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(key)) || short_lived(key)) return true;
    Ref watcher = cache.watch(value);  // may run code
    if (!watcher && PyErr_Occurred()) return false;
    bool watched = bool(watcher);
    auto* e = cache.ensure(key);  // may run code
    if (!e) return !PyErr_Occurred();
    // From here to the map write nothing runs code; what is replaced is
    // released after the map is consistent again.
    Ref previous_watcher;
    if (!cache.set_companion(key, e, std::move(watcher), previous_watcher)) return false;
    Ref previous_kept = std::exchange(e->value.kept, watched ? Ref() : Ref::borrow(value));
    e->value.value = value;
    set_pyobject_to_pyobject_item(key, value);
    return true;
}

PyObject* cache_read(PyObject* key) {
    PyObject* value = get_pyobject_to_pyobject_item(key);
    if (!value) return nullptr;
    auto* e = cache.find(key);
    if (!e || e->value.value != value) return nullptr;
    if (e->value.kept) return value;
    if (!e->companion || compat::weakref_target(e->companion.get()) != value) return nullptr;
    return value;
}

// ------------------------------------------------------- helpers

Ref none() { return Ref::borrow(Py_None); }

// getattr(obj, name, None)
Ref attr_or_none(PyObject* obj, PyObject* name) {
    Ref out;
    int rc = compat::lookup_attr(obj, name, out);
    if (rc < 0) return {};
    return rc ? out : none();
}

// For a class: 1 when its constructor (found through the MRO, no metaclass
// hooks) is not object.__init__, 0 when it is, -1 on error.
int class_has_own_init(PyObject* cls, Ref* init_out) {
    Ref init = compat::type_generic_getattr(cls, S.init);
    if (!init) return -1;
    int ne = PyObject_RichCompareBool(init.get(), B.object_init.get(), Py_NE);
    if (ne > 0 && init_out) *init_out = std::move(init);
    return ne;
}

// code.<field>, straight from the struct for a real code object.
// Whether the code is a coroutine's: 1 / 0, -1 on error.
int code_is_coroutine(PyObject* code) {
    if (PyCode_Check(code))
        return (compat::code_flags(reinterpret_cast<PyCodeObject*>(code)) & B.co_coroutine) != 0;
    Ref flags = getattr(code, S.co_flags);
    if (!flags) return -1;
    Ref bit = Ref::steal(PyLong_FromLong(B.co_coroutine));
    if (!bit) return -1;
    Ref masked = Ref::steal(PyNumber_And(flags.get(), bit.get()));
    return masked ? truthy(masked.get()) : -1;
}
Ref code_filename(PyObject* code) {
    if (PyCode_Check(code))
        return Ref::borrow(compat::code_filename(reinterpret_cast<PyCodeObject*>(code)));
    return getattr(code, S.co_filename);
}
Ref code_names(PyObject* code) {
    if (PyCode_Check(code))
        return Ref::borrow(compat::code_names(reinterpret_cast<PyCodeObject*>(code)));
    return getattr(code, S.co_names);
}

// ------------------------------------------------------- metadata

Ref external_metadata(PyObject* module, PyObject* fn) {
    int candidate = 1;
    if (PyType_Check(fn)) {
        candidate = class_has_own_init(fn, nullptr);
        if (candidate < 0) return {};
    }
    if (candidate) {
        candidate = PyObject_RichCompareBool(module, S.builtins, Py_NE);
        if (candidate == 0) candidate = equal(fn, B.builtin_open.get());
        if (candidate == 0) candidate = equal(fn, B.builtin_input.get());
        if (candidate < 0) return {};
    }
    Ref full_name = candidate ? call(B.get_function_full_name.get(), module, fn)
                              : Ref::borrow(S.empty);
    if (!full_name) return {};
    PyObject* flag = candidate ? Py_True : Py_False;
    Ref meta = call(B.external_metadata_cls.get(), module, full_name.get(), Py_False, flag);
    if (!meta) return {};
    return Ref::steal(PyTuple_Pack(2, meta.get(), flag));
}

Ref user_metadata(PyObject* module, PyObject* fn, PyObject* code, bool collect_signature) {
    Ref full_name = call(B.get_function_full_name.get(), module, fn);
    if (!full_name) return {};
    int has_code = truthy(code);
    if (has_code < 0) return {};
    if (!has_code)
        return call(B.user_metadata_cls.get(), module, full_name.get(), S.unhashable,
                    S.unknown_path, Py_None, Py_None, Py_False);

    int is_coro = code_is_coroutine(code);
    if (is_coro < 0) return {};
    Ref signature = collect_signature ? call(B.get_signature.get(), fn) : none();
    if (!signature) return {};
    Ref hash = call(B.get_hash.get(), fn);
    if (!hash) return {};
    Ref filename = code_filename(code);
    if (!filename) return {};
    Ref names = code_names(code);
    if (!names) return {};
    return call(B.user_metadata_cls.get(), module, full_name.get(), hash.get(), filename.get(),
                names.get(), signature.get(), is_coro ? Py_True : Py_False);
}

// An external callable's metadata depends on its module and names alone:
// what was worked out for it is taken again (the metric each extraction
// sends is still sent). A bound builtin method is made afresh at every
// access; its metadata is that of its method and its object's class, kept
// here for as long as the class is unchanged (the records hold names and
// flags only). Only classes of metaclass `type`, whose module and names
// are read without running code.
struct BoundKey {
    const PyMethodDef* method;
    PyTypeObject* owner;
    bool operator==(const BoundKey& o) const { return method == o.method && owner == o.owner; }
};
struct BoundKeyHash {
    std::size_t operator()(const BoundKey& k) const noexcept {
        return std::hash<const void*>()(k.method) * 31 + std::hash<const void*>()(k.owner);
    }
};
struct BoundEntry {
    unsigned int version = 0;
    Ref qualname;  // a copy: __qualname__ can be set without a new version tag
    Ref result;
};

// The class's qualified name as it is now (a heap class's can change).
PyObject* owner_qualname(PyTypeObject* owner) {
    return (owner->tp_flags & Py_TPFLAGS_HEAPTYPE)
               ? reinterpret_cast<PyHeapTypeObject*>(owner)->ht_qualname
               : nullptr;
}

bool same_name(PyObject* now, const Ref& then) {
    if (!now) return !then;
    return then && PyUnicode_CheckExact(now) && PyUnicode_Compare(now, then.get()) == 0;
}
auto& bound_memo = leak<std::unordered_map<BoundKey, BoundEntry, BoundKeyHash>>();
constexpr std::size_t BOUND_MEMO_MAX = 4096;

bool bound_key(PyObject* fn, BoundKey& key, unsigned int& version) {
    if (!short_lived(fn)) return false;
    PyObject* self = PyCFunction_GET_SELF(fn);
    if (PyType_Check(self)) return false;
    PyTypeObject* owner = Py_TYPE(self);
    if (Py_TYPE(owner) != &PyType_Type) return false;
    version = compat::type_version(owner);
    if (!version) return false;
    key = {reinterpret_cast<PyCFunctionObject*>(fn)->m_ml, owner};
    return true;
}

// The metric an external callable's extraction sends, for its name.
Ref sent_external(Ref result) {
    PyObject* meta = PyTuple_GET_ITEM(result.get(), 0);
    Ref full_name = getattr(meta, S.full_name);
    if (!full_name) return {};
    int named = truthy(full_name.get());
    if (named < 0) return {};
    if (named && !C.send_metric(B.external_function_metric.get(), full_name.get())) return {};
    return result;
}

Params<4> extract_params{
    "extract_function_metadata",
    {"function_obj", "is_external_call", "dont_cache", "collect_signature"},
    1};

Ref extract(PyObject* function_obj, bool is_external, bool dont_cache, bool collect_signature) {
    Ref fn = Ref::borrow(function_obj);
    // 1. A class stands for its constructor, unless that is object's.
    if (PyType_Check(fn.get())) {
        Ref init;
        int own = class_has_own_init(fn.get(), &init);
        if (own < 0) return {};
        if (own) fn = std::move(init);
    }
    // 2. Bound and class methods stand for their function.
    {
        Ref func = attr_or_none(fn.get(), S.func);
        if (!func) return {};
        int t = truthy(func.get());
        if (t < 0) return {};
        if (t) fn = std::move(func);
    }
    // 3. Readers take what the hooks stored.
    if (dont_cache) {
        if (PyObject* hit = cache_read(fn.get())) return Ref::borrow(hit);
    }
    // Taken again: see bound_memo.
    Ref result;
    BoundKey key{};
    unsigned int version = 0;
    bool bound = false;
    if (is_external && !dont_cache) {
        PyObject* hit = cache_read(fn.get());
        if (hit && PyTuple_CheckExact(hit) && PyTuple_GET_SIZE(hit) >= 1) {
            result = Ref::borrow(hit);
        } else if (!hit && (bound = bound_key(fn.get(), key, version))) {
            auto it = bound_memo.find(key);
            if (it != bound_memo.end() && it->second.version == version &&
                same_name(owner_qualname(key.owner), it->second.qualname))
                result = it->second.result;
        }
    }
    if (result) return sent_external(std::move(result));
    // 4.-7.
    Ref self = attr_or_none(fn.get(), S.self_const);
    if (!self) return {};
    Ref code = attr_or_none(fn.get(), S.code_dunder);
    if (!code) return {};
    Ref module = call(B.get_function_module.get(), fn.get(), self.get());
    if (!module) return {};
    result = is_external ? external_metadata(module.get(), fn.get())
                         : user_metadata(module.get(), fn.get(), code.get(),
                                         collect_signature != 0);
    if (!result) return {};
    if (bound && compat::type_version(key.owner) == version) {
        PyObject* name = owner_qualname(key.owner);
        Ref copy = name && PyUnicode_CheckExact(name)
                       ? Ref::steal(PyUnicode_FromKindAndData(PyUnicode_KIND(name),
                                                              PyUnicode_DATA(name),
                                                              PyUnicode_GET_LENGTH(name)))
                       : Ref();
        if (!name || copy) {
            if (bound_memo.size() >= BOUND_MEMO_MAX) bound_memo.clear();
            bound_memo[key] = {version, std::move(copy), result};
        } else {
            PyErr_Clear();  // not kept: worked out again next time
        }
    }
    // 8.-9.
    if (!dont_cache) {
        if (!cache_store(fn.get(), result.get())) return {};
        if (is_external) return sent_external(std::move(result));
    }
    return result;
}

PyObject* extract_function_metadata_impl(PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!extract_params.parse(args, nargs, kwnames, a)) return nullptr;
    int is_external = a[1] ? truthy(a[1]) : 0;
    int dont_cache = a[2] ? truthy(a[2]) : 0;
    int collect_signature = a[3] ? truthy(a[3]) : 1;
    if (is_external < 0 || dont_cache < 0 || collect_signature < 0) return nullptr;
    return extract(a[0], is_external, dont_cache, collect_signature).release();
}

PyObject* extract_function_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&] { return extract_function_metadata_impl(args, nargs, kwnames); });
}

// ------------------------------------------------------- call memo
// The hooks ask for the metadata of the called function at every call.
// Working it out runs the name, hash and signature helpers and makes a new
// argspec, whose bytes then miss the signature cache. For a plain function
// whose argspec holds plain values only, what the metadata is made from is
// remembered per function and checked field by field at each call: a new
// record is made from it, around the same argspec object.
struct CallMemo {
    PyObject* code = nullptr;  // the watched companion: its address is not reused
    Ref module, qualname;      // held, so that identity stands for value
    PyObject* kwdefaults = nullptr;
    PyObject* annotations = nullptr;
    PyObject* dict = nullptr;
    unsigned long long kwdefaults_version = 0, annotations_version = 0, dict_version = 0;
    Ref full_name, hash, filename, names, spec;
    bool is_async = false;
    Ref kept;  // the record the first call stored for readers
};

auto& call_memo = leak<WeakTable<CallMemo>>();

// A dict read by the helpers: the same object in the same state. Version
// tags are unique across dicts, so a new dict at an old address differs.
unsigned long long state_of(PyObject* dict) {
    return dict ? compat::dict_version(dict) : 1;
}

bool same_dict(PyObject* now, PyObject* kept, unsigned long long version) {
    return now == kept && state_of(now) == version;
}

// The argspec's defaults are the function's own default values, which the
// spec holds: identity of each says they are unchanged.
bool same_defaults(PyObject* defaults, PyObject* spec) {
    PyObject* kept = PyTuple_GET_ITEM(spec, 3);
    if (kept == Py_None) return !defaults || PyTuple_GET_SIZE(defaults) == 0;
    if (!defaults || !PyTuple_CheckExact(kept) || PyTuple_GET_SIZE(defaults) != PyTuple_GET_SIZE(kept))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kept); ++i)
        if (PyTuple_GET_ITEM(defaults, i) != PyTuple_GET_ITEM(kept, i)) return false;
    return true;
}

bool memo_holds(PyFunctionObject* f, const CallMemo& m) {
    return f->func_code == m.code && f->func_module == m.module.get() &&
           f->func_qualname == m.qualname.get() &&
           same_dict(f->func_kwdefaults, m.kwdefaults, m.kwdefaults_version) &&
           same_dict(f->func_annotations, m.annotations, m.annotations_version) &&
           same_dict(f->func_dict, m.dict, m.dict_version) &&
           same_defaults(f->func_defaults, m.spec.get());
}

// Names extract() reads through the function's own __dict__ before its type.
bool shadows_lookups(PyObject* dict) {
    if (!dict) return false;
    if (!PyDict_CheckExact(dict)) return true;
    for (PyObject* name : {S.func, S.self_const, S.signature_dunder, S.text_signature,
                           S.partialmethod}) {
        int has = PyDict_Contains(dict, name);
        if (has != 0) {
            if (has < 0) PyErr_Clear();
            return true;
        }
    }
    return false;
}

Ref meta_field(PyObject* meta, PyObject* name) {
    PyObject** dict = compat::instance_dict_ptr(meta);
    PyObject* value = dict && *dict ? PyDict_GetItemWithError(*dict, name) : nullptr;
    if (!value) PyErr_Clear();
    return Ref::borrow(value);
}

// Remembers what `meta`, just made for the plain function `fn`, was made
// from, when it can stand for later calls. False only with an error set.
bool remember_call(PyObject* fn, PyObject* meta) {
    auto* f = reinterpret_cast<PyFunctionObject*>(fn);
    if (Py_TYPE(meta) != reinterpret_cast<PyTypeObject*>(B.user_metadata_cls.get())) return true;
    CallMemo m;
    m.spec = meta_field(meta, S.function_signature);
    m.module = meta_field(meta, S.module_name);
    m.full_name = meta_field(meta, S.full_name);
    m.hash = meta_field(meta, S.code_hash);
    m.filename = meta_field(meta, S.full_path);
    m.names = meta_field(meta, S.co_names);
    Ref is_async = meta_field(meta, S.is_async);
    if (!m.spec || Py_TYPE(m.spec.get()) != reinterpret_cast<PyTypeObject*>(B.argspec_cls.get()) ||
        PyTuple_GET_SIZE(m.spec.get()) < 7 || !m.module || m.module.get() != f->func_module ||
        !PyUnicode_CheckExact(m.module.get()) || !f->func_qualname ||
        !PyUnicode_CheckExact(f->func_qualname) || !m.full_name || !m.hash || !m.filename ||
        !m.names || !is_async || (is_async.get() != Py_True && is_async.get() != Py_False))
        return true;
    if (!signature_bytes::Cache::plain(m.spec.get()) || shadows_lookups(f->func_dict) ||
        !same_defaults(f->func_defaults, m.spec.get()) ||
        (f->func_kwdefaults && !PyDict_CheckExact(f->func_kwdefaults)) ||
        (f->func_annotations && !PyDict_CheckExact(f->func_annotations)))
        return true;
    m.is_async = is_async.get() == Py_True;
    m.code = f->func_code;
    m.qualname = Ref::borrow(f->func_qualname);
    m.kwdefaults = f->func_kwdefaults, m.kwdefaults_version = state_of(f->func_kwdefaults);
    m.annotations = f->func_annotations, m.annotations_version = state_of(f->func_annotations);
    m.dict = f->func_dict, m.dict_version = state_of(f->func_dict);
    if (!m.kwdefaults_version || !m.annotations_version || !m.dict_version) return true;
    m.kept = Ref::borrow(meta);
    Ref watcher = call_memo.watch(m.code);  // may run code
    if (!watcher) return !PyErr_Occurred();
    auto* e = call_memo.ensure(fn);  // may run code
    if (!e) return !PyErr_Occurred();
    if (!memo_holds(f, m)) return true;  // changed meanwhile
    Ref previous_watcher;
    if (!call_memo.set_companion(fn, e, std::move(watcher), previous_watcher)) return false;
    CallMemo previous = std::exchange(e->value, std::move(m));
    return true;
}

// extract_function_metadata(fn) as the hooks call it.
Ref metadata_for_call(PyObject* fn) {
    if (Py_IS_TYPE(fn, &PyFunction_Type)) {
        auto* f = reinterpret_cast<PyFunctionObject*>(fn);
        auto* e = call_memo.find(fn);
        if (e && e->companion && compat::weakref_target(e->companion.get()) == e->value.code &&
            memo_holds(f, e->value)) {
            // Copied out: making the record can run code that drops the entry.
            CallMemo& m = e->value;
            Ref module = m.module, full_name = m.full_name, hash = m.hash, filename = m.filename,
                names = m.names, spec = m.spec, kept = m.kept;
            bool is_async = m.is_async;
            if (!cache_read(fn) && !cache_store(fn, kept.get())) return {};
            return call(B.user_metadata_cls.get(), module.get(), full_name.get(), hash.get(),
                        filename.get(), names.get(), spec.get(), is_async ? Py_True : Py_False);
        }
    }
    Ref meta = extract(fn, false, false, true);
    if (meta && Py_IS_TYPE(fn, &PyFunction_Type) && !remember_call(fn, meta.get())) return {};
    return meta;
}

PyObject* py_metadata_for_call(PyObject*, PyObject* fn) {
    return guarded([&] { return metadata_for_call(fn).release(); });
}

Params<2> external_params{"_extract_external_function_metadata", {"module", "function_obj"}, 2};

PyObject* extract_external_function_metadata(PyObject*, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!external_params.parse(args, nargs, kwnames, a)) return nullptr;
    if (!check_exact_or_none(a[0], &PyUnicode_Type, "module")) return nullptr;
    return external_metadata(a[0], a[1]).release();
}

PyObject* get_attribute_full_name(PyObject*, PyObject* obj) {
    Ref klass = getattr(obj, S.klass);
    if (!klass) return nullptr;
    Ref mod = getattr(klass.get(), S.module_dunder);
    if (!mod) return nullptr;
    Ref name = attr_or_none(klass.get(), S.qualname);
    if (!name) return nullptr;
    int t = truthy(name.get());
    if (t < 0) return nullptr;
    if (!t && !(name = getattr(klass.get(), S.name))) return nullptr;
    Ref mod_text = Ref::steal(PyObject_Format(mod.get(), S.empty));
    if (!mod_text) return nullptr;
    Ref name_text = Ref::steal(PyObject_Format(name.get(), S.empty));
    if (!name_text) return nullptr;
    return PyUnicode_FromFormat("%U.%U", mod_text.get(), name_text.get());
}


PyMethodDef introspector_methods[] = {
    {"extract_function_metadata", as_method(extract_function_metadata),
     METH_FASTCALL | METH_KEYWORDS,
     "extract_function_metadata(function_obj, is_external_call=False, dont_cache=False, "
     "collect_signature=True)\n--\n\n"
     "Metadata of a callable: a UserFunctionMetadata, or for an external call the pair "
     "(ExternalFunctionMetadata, is_function_for_recording)."},
    {"_metadata_for_call", reinterpret_cast<PyCFunction>(py_metadata_for_call), METH_O,
     "_metadata_for_call(function_obj)\n--\n\n"
     "extract_function_metadata(function_obj) as the recording hooks ask for it."},
    {"_extract_external_function_metadata", as_method(extract_external_function_metadata),
     METH_FASTCALL | METH_KEYWORDS,
     "_extract_external_function_metadata(module, function_obj)\n--\n\n"
     "The pair (ExternalFunctionMetadata, is_function_for_recording) of a callable."},
    {}};

PyMethodDef module_methods[] = {
    {"get_attribute_full_name", get_attribute_full_name, METH_O,
     "This function returns the full name of an object."},
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "introspect",
                          "Metadata extraction for user and external callables.", -1,
                          module_methods};

bool bind(PyObject* module) {
    Ref co_coroutine;
    if (!bind_to(B.object_init, getattr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), S.init)) ||
        !bind_to(B.builtin_open, import_attr("builtins", "open")) ||
        !bind_to(B.builtin_input, import_attr("builtins", "input")) ||
        !bind_to(B.user_metadata_cls, import_attr("tarnwick_collector.data_collection.invocations",
                                                  "UserFunctionMetadata")) ||
        !bind_to(B.external_metadata_cls,
                 import_attr("tarnwick_collector.data_collection.invocations",
                             "ExternalFunctionMetadata")) ||
        !bind_to(B.external_function_metric,
                 import_attr("tarnwick_collector.data_collection.metrics", "ExternalFunction")) ||
        !bind_to(B.get_function_module,
                 import_attr("tarnwick_common.name_extractor", "get_function_module")) ||
        !bind_to(B.get_function_full_name,
                 import_attr("tarnwick_common.name_extractor", "get_function_full_name")) ||
        !bind_to(B.get_hash, import_attr("tarnwick_common.utils.hash", "get_hash")) ||
        !bind_to(B.get_signature, import_attr("tarnwick_common.utils.functions_data", "get_signature")) ||
        !bind_to(B.argspec_cls, import_attr("inspect", "FullArgSpec")) ||
        !bind_to(co_coroutine, import_attr("inspect", "CO_COROUTINE")))
        return false;
    B.co_coroutine = PyLong_AsLong(co_coroutine.get());
    if (B.co_coroutine == -1 && PyErr_Occurred()) return false;

    // The module's namespace, in the order its names are bound.
    for (const char* name : {"threading", "os", "inspect"})
        if (!add_to_module(module, name, Ref::steal(PyImport_ImportModule(name)))) return false;
    for (const char* name : {"Any", "AnyStr", "Callable", "Optional", "Tuple"})
        if (!add_to_module(module, name, import_attr("typing", name))) return false;
    return add_to_module(module, "CollectorSettings", Ref::borrow(C.settings())) &&
           add_to_module(module, "ExternalFunction", B.external_function_metric) &&
           add_to_module(module, "ExternalFunctionMetadata", B.external_metadata_cls) &&
           add_to_module(module, "UserFunctionMetadata", B.user_metadata_cls) &&
           add_to_module(module, "get_function_full_name", B.get_function_full_name) &&
           add_to_module(module, "get_function_module", B.get_function_module) &&
           add_to_module(module, "get_hash", B.get_hash) &&
           add_to_module(module, "get_signature", B.get_signature) &&
           add_to_module(module, "CODE_DUNDER", Ref::borrow(S.code_dunder)) &&
           add_to_module(module, "CO_COROUTINE", co_coroutine) &&
           add_to_module(module, "UNKNOWN_PATH_STR", Ref::borrow(S.unknown_path)) &&
           add_to_module(module, "UNHASHABLE_STR", Ref::borrow(S.unhashable)) &&
           add_to_module(module, "SELF_CONST", Ref::borrow(S.self_const)) &&
           add_to_module(module, "INIT_STR", Ref::borrow(S.init)) &&
           add_to_module(module, "FUNC_STR", Ref::borrow(S.func)) &&
           add_to_module(module, "MAIN_STR", Ref::steal(PyUnicode_InternFromString("__main__"))) &&
           add_to_module(module, "threading_get_ident", import_attr("threading", "get_ident")) &&
           add_to_module(module, "BUILTINS", Ref::borrow(S.builtins)) &&
           add_to_module(module, "reported_modules", Ref::steal(PySet_New(nullptr))) &&
           add_to_module(module, "relative_path", import_attr("os.path", "relpath"));
}

bool add_introspector(PyObject* module) {
    Ref cls = make_class("tarnwick_collector.data_collection.introspect", "Introspector", nullptr,
                         "This class is responsible for extracting function meta data.");
    if (!cls || !add_static_methods(cls.get(), introspector_methods, module)) return false;
    Ref function_data = Ref::steal(PyDict_New());
    if (!function_data || PyObject_SetAttrString(cls.get(), "FUNCTION_DATA", function_data.get()) < 0)
        return false;
    return add_to_module(module, "Introspector", cls);
}

PyObject* init_module() {
    if (!S.create() || !C.bind() || !cache.init("_forget_metadata") ||
        !call_memo.init("_forget_call_memo"))
        return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !bind(module.get()) || !add_introspector(module.get())) return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_introspect() {
    return guarded(init_module);
}
