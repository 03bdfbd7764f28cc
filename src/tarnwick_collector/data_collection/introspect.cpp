// Metadata extraction: turns a callable into its metadata record, caches it
// in the native object-to-object map, and reports external functions that
// are recording candidates.
#include "c_extension/map.h"
#include "tarn/collector.hpp"
#include "tarn/weak_table.hpp"

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

Params<4> extract_params{
    "extract_function_metadata",
    {"function_obj", "is_external_call", "dont_cache", "collect_signature"},
    1};

PyObject* extract_function_metadata_impl(PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!extract_params.parse(args, nargs, kwnames, a)) return nullptr;
    int is_external = a[1] ? truthy(a[1]) : 0;
    int dont_cache = a[2] ? truthy(a[2]) : 0;
    int collect_signature = a[3] ? truthy(a[3]) : 1;
    if (is_external < 0 || dont_cache < 0 || collect_signature < 0) return nullptr;

    Ref fn = Ref::borrow(a[0]);
    // 1. A class stands for its constructor, unless that is object's.
    if (PyType_Check(fn.get())) {
        Ref init;
        int own = class_has_own_init(fn.get(), &init);
        if (own < 0) return nullptr;
        if (own) fn = std::move(init);
    }
    // 2. Bound and class methods stand for their function.
    {
        Ref func = attr_or_none(fn.get(), S.func);
        if (!func) return nullptr;
        int t = truthy(func.get());
        if (t < 0) return nullptr;
        if (t) fn = std::move(func);
    }
    // 3. Readers take what the hooks stored.
    if (dont_cache) {
        if (PyObject* hit = cache_read(fn.get())) return Py_NewRef(hit);
    }
    // 4.-7.
    Ref self = attr_or_none(fn.get(), S.self_const);
    if (!self) return nullptr;
    Ref code = attr_or_none(fn.get(), S.code_dunder);
    if (!code) return nullptr;
    Ref module = call(B.get_function_module.get(), fn.get(), self.get());
    if (!module) return nullptr;
    Ref result = is_external ? external_metadata(module.get(), fn.get())
                             : user_metadata(module.get(), fn.get(), code.get(),
                                             collect_signature != 0);
    if (!result) return nullptr;
    // 8.-9.
    if (!dont_cache) {
        if (!cache_store(fn.get(), result.get())) return nullptr;
        if (is_external) {
            PyObject* meta = PyTuple_GET_ITEM(result.get(), 0);
            Ref full_name = getattr(meta, S.full_name);
            if (!full_name) return nullptr;
            int named = truthy(full_name.get());
            if (named < 0) return nullptr;
            if (named && !C.send_metric(B.external_function_metric.get(), full_name.get()))
                return nullptr;
        }
    }
    return result.release();
}

PyObject* extract_function_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&] { return extract_function_metadata_impl(args, nargs, kwnames); });
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
    if (!S.create() || !C.bind() || !cache.init("_forget_metadata")) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !bind(module.get()) || !add_introspector(module.get())) return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_introspect() {
    return guarded(init_module);
}
