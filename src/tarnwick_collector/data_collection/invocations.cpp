// Call and metadata records: plain classes whose attributes live in the
// instance __dict__, with native constructors and finishing methods.
#include "tarn/collector.hpp"

#include "signature_bytes.hpp"
#include "value_bytes.hpp"

using namespace tarn;

namespace {

#define INVOCATIONS_STRINGS(X)                                 \
    X(module_name, "module_name")                              \
    X(full_name, "full_name")                                  \
    X(is_builtin, "is_builtin")                                \
    X(is_function_for_recording, "is_function_for_recording")  \
    X(code_hash, "code_hash")                                  \
    X(full_path, "full_path")                                  \
    X(co_names, "co_names")                                    \
    X(function_signature, "function_signature")                \
    X(is_async, "is_async")                                    \
    X(function_metadata, "function_metadata")                  \
    X(post_run_args, "post_run_args")                          \
    X(post_run_kwargs, "post_run_kwargs")                      \
    X(pre_run_args, "pre_run_args")                            \
    X(pre_run_kwargs, "pre_run_kwargs")                        \
    X(globals, "globals")                                      \
    X(return_value, "return_value")                            \
    X(execption, "execption")                                  \
    X(external_calls, "external_calls")                        \
    X(awaited_functions, "awaited_functions")
TARN_STRING_TABLE(Strings, INVOCATIONS_STRINGS);

Strings S;
Collector& C = leak<Collector>();
// Every call of a function carries the same argspec: its bytes are made once.
signature_bytes::Cache& SIGNATURES = leak<signature_bytes::Cache>();

constexpr const char* MODULE = "tarnwick_collector.data_collection.invocations";

bool set(PyObject* self, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(self, name, value) == 0;
}

// The serializer's bytes for `value`; with the collector's own serializer,
// written directly where they can be (value_bytes.hpp).
bool set_serialized(PyObject* self, PyObject* name, PyObject* value) {
    Ref ser = C.setting(C.s.serializer);
    if (!ser) return false;
    auto pickled = [&] { return C.serialize_unwrapped_by(ser.get(), value); };
    Ref data = C.own_serializer(ser.get()) ? value_bytes::write(value, pickled) : pickled();
    return data && set(self, name, data.get());
}

bool check_names(PyObject* module_name, PyObject* full_name) {
    return check_exact_or_none(module_name, &PyUnicode_Type, "module_name") &&
           check_exact_or_none(full_name, &PyUnicode_Type, "full_name");
}

bool init_metadata(PyObject* self, PyObject* module_name, PyObject* full_name) {
    return set(self, S.module_name, module_name) && set(self, S.full_name, full_name);
}

bool check_call_args(PyObject* args, PyObject* kwargs, PyObject* globals) {
    return check_exact_or_none(args, &PyTuple_Type, "args") &&
           check_exact_or_none(kwargs, &PyDict_Type, "kwargs") &&
           check_exact_or_none(globals, &PyDict_Type, "globals");
}

// The steps of FunctionCall.__init__ after the checks, in their order; a
// failing step leaves the attributes set before it.
bool init_call(PyObject* self, PyObject* meta, PyObject* args, PyObject* kwargs,
               PyObject* globals) {
    return set(self, S.function_metadata, meta) && set(self, S.post_run_args, args) &&
           set(self, S.post_run_kwargs, kwargs) && set_serialized(self, S.pre_run_args, args) &&
           set_serialized(self, S.pre_run_kwargs, kwargs) && set(self, S.globals, globals) &&
           set(self, S.return_value, Py_None) && set(self, S.execption, Py_None);
}

// ------------------------------------------------------------- metadata

Params<2> function_metadata_params{"__init__", {"module_name", "full_name"}, 2};

PyObject* FunctionMetadata_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!function_metadata_params.parse(args, nargs, kwnames, a)) return nullptr;
    if (!check_names(a[0], a[1]) || !init_metadata(self, a[0], a[1])) return nullptr;
    Py_RETURN_NONE;
}

Params<4> external_metadata_params{
    "__init__", {"module_name", "full_name", "is_builtin", "is_function_for_recording"}, 4};

PyObject* ExternalFunctionMetadata_init(PyObject* self, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!external_metadata_params.parse(args, nargs, kwnames, a)) return nullptr;
    if (!check_names(a[0], a[1])) return nullptr;
    if (!set(self, S.is_builtin, a[2]) || !set(self, S.is_function_for_recording, a[3]) ||
        !init_metadata(self, a[0], a[1]))
        return nullptr;
    Py_RETURN_NONE;
}

Params<7> user_metadata_params{"__init__",
                               {"module_name", "full_name", "code_hash", "full_path", "co_names",
                                "function_signature", "is_async"},
                               6};

PyObject* UserFunctionMetadata_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    std::array<PyObject*, 7> a;
    if (!user_metadata_params.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject* is_async = a[6] ? a[6] : Py_False;
    if (!check_names(a[0], a[1]) ||
        !check_exact_or_none(a[2], &PyUnicode_Type, "code_hash") ||
        !check_exact_or_none(a[3], &PyUnicode_Type, "full_path"))
        return nullptr;
    if (!set(self, S.code_hash, a[2]) || !set(self, S.full_path, a[3]) ||
        !set(self, S.co_names, a[4]) || !set(self, S.function_signature, a[5]) ||
        !set(self, S.is_async, is_async) || !init_metadata(self, a[0], a[1]))
        return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- calls

Params<4> function_call_params{"__init__", {"function_metadata", "args", "kwargs", "globals"}, 4};

PyObject* FunctionCall_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!function_call_params.parse(args, nargs, kwnames, a)) return nullptr;
    if (!check_call_args(a[1], a[2], a[3]) || !init_call(self, a[0], a[1], a[2], a[3]))
        return nullptr;
    Py_RETURN_NONE;
}

Params<1> external_call_params{"__init__", {"function_metadata"}, 1};

PyObject* ExternalFunctionCall_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!external_call_params.parse(args, nargs, kwnames, a)) return nullptr;
    if (!init_call(self, a[0], Py_None, Py_None, Py_None)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* UserFunctionCall_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!function_call_params.parse(args, nargs, kwnames, a)) return nullptr;
    if (!check_call_args(a[1], a[2], a[3])) return nullptr;
    Ref external = Ref::steal(PyList_New(0));
    if (!external || !set(self, S.external_calls, external.get())) return nullptr;
    Ref awaited = Ref::steal(PyList_New(0));
    if (!awaited || !set(self, S.awaited_functions, awaited.get())) return nullptr;
    if (!init_call(self, a[0], a[1], a[2], a[3])) return nullptr;
    // The shared metadata record is changed in place.
    Ref signature = getattr(a[0], S.function_signature);
    Ref data = signature ? SIGNATURES.serialize(C, signature.get()) : Ref();
    if (!data || !set(a[0], S.function_signature, data.get())) return nullptr;
    Py_RETURN_NONE;
}

Params<1> return_value_params{"add_return_value", {"return_value"}, 1};

PyObject* FunctionCall_add_return_value(PyObject* self, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!return_value_params.parse(args, nargs, kwnames, a) ||
        !set_serialized(self, S.return_value, a[0]))
        return nullptr;
    Py_RETURN_NONE;
}

Params<1> execption_params{"add_execption", {"exception"}, 1};

PyObject* FunctionCall_add_execption(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!execption_params.parse(args, nargs, kwnames, a) ||
        !set_serialized(self, S.execption, a[0]))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* FunctionCall_serialize_post_run(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    if (!no_args("serialize_post_run_args_and_kwargs", nargs, kwnames)) return nullptr;
    for (PyObject* name : {S.post_run_args, S.post_run_kwargs}) {
        Ref live = getattr(self, name);
        if (!live || !set_serialized(self, name, live.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr int FK = FASTCALL_KEYWORDS;

PyMethodDef FunctionMetadata_methods[] = {
    {"__init__", as_method(FunctionMetadata_init), FK, nullptr}, {}};
PyMethodDef ExternalFunctionMetadata_methods[] = {
    {"__init__", as_method(ExternalFunctionMetadata_init), FK, nullptr}, {}};
PyMethodDef UserFunctionMetadata_methods[] = {
    {"__init__", as_method(UserFunctionMetadata_init), FK, nullptr}, {}};
PyMethodDef FunctionCall_methods[] = {
    {"__init__", as_method(FunctionCall_init), FK, nullptr},
    {"add_return_value", as_method(FunctionCall_add_return_value), FK,
     "Store the serialized return value of the call."},
    {"add_execption", as_method(FunctionCall_add_execption), FK,
     "Store the serialized exception raised by the call."},
    {"serialize_post_run_args_and_kwargs", as_method(FunctionCall_serialize_post_run), FK,
     "Serialize the arguments as they are after the call ran."},
    {}};
PyMethodDef ExternalFunctionCall_methods[] = {
    {"__init__", as_method(ExternalFunctionCall_init), FK, nullptr}, {}};
PyMethodDef UserFunctionCall_methods[] = {
    {"__init__", as_method(UserFunctionCall_init), FK, nullptr}, {}};

bool add_class(PyObject* module, const char* name, PyObject* base, const char* doc,
               PyMethodDef* methods, Ref& out) {
    Ref bases = base ? Ref::steal(PyTuple_Pack(1, base)) : Ref::steal(PyTuple_New(0));
    if (!bases) return false;
    out = make_class(MODULE, name, bases.get(), doc);
    return out && add_methods(out.get(), methods) && add_to_module(module, name, out);
}

bool add_imports(PyObject* module) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!add_to_module(module, "inspect", inspect)) return false;
    for (const char* name : {"Any", "List", "Optional", "Tuple", "Union"})
        if (!add_to_module(module, name, import_attr("typing", name))) return false;
    return add_to_module(module, "CollectorSettings", Ref::borrow(C.settings()));
}

PyObject* value_bytes_stats(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
    if (!no_args("_value_bytes_stats", nargs, kw)) return nullptr;
    return value_bytes::stats_dict();
}

PyMethodDef module_methods[] = {
    {"_value_bytes_stats", as_method(value_bytes_stats), METH_FASTCALL | METH_KEYWORDS,
     "How many values were written directly, left to the pickler, and checked."},
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "invocations",
                          "Call and metadata records.", -1, module_methods};

PyObject* init_module() {
    if (!S.create() || !C.bind() || !SIGNATURES.bind() || !value_bytes::bind()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !add_imports(module.get())) return nullptr;
    Ref fm, efm, ufm, fc, efc, ufc;
    if (!add_class(module.get(), "FunctionMetadata", nullptr,
                   "This object contains function metadata.", FunctionMetadata_methods, fm) ||
        !add_class(module.get(), "ExternalFunctionMetadata", fm.get(),
                   "This impelments FunctionMetadata specific to an ExternalFunction.",
                   ExternalFunctionMetadata_methods, efm) ||
        !add_class(module.get(), "UserFunctionMetadata", fm.get(),
                   "This impelments FunctionMetadata specific to a UserFunction.",
                   UserFunctionMetadata_methods, ufm) ||
        !add_class(module.get(), "FunctionCall", nullptr,
                   "This object contains function call data.", FunctionCall_methods, fc) ||
        !add_class(module.get(), "ExternalFunctionCall", fc.get(),
                   "This object contains external function call data.",
                   ExternalFunctionCall_methods, efc) ||
        !add_class(module.get(), "UserFunctionCall", fc.get(),
                   "This object contains user function call data.", UserFunctionCall_methods,
                   ufc))
        return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_invocations() {
    return guarded(init_module);
}
