// Flow tracking: one tracker per recorded user call, and the per-thread map
// of the tracker currently recording.
#include "tarn/collector.hpp"

#include <pythread.h>

using namespace tarn;

namespace {

constexpr const char* MODULE = "tarnwick_collector.data_collection.pathway";

#define PATHWAY_STRINGS(X)                                 \
    X(recorded_functions, "recorded_functions")            \
    X(globals, "globals")                                  \
    X(caller_function, "caller_function")                  \
    X(unknown_modules, "unknown_modules")                  \
    X(last_call, "last_call")                              \
    X(func_full_name, "func_full_name")                    \
    X(external_calls_max, "external_calls_max")           \
    X(append, "append")
TARN_STRING_TABLE(Strings, PATHWAY_STRINGS);

Strings S;
Collector& C = leak<Collector>();

struct Bound {
    Ref current_calls;  // Pathway.thread_id_to_current_call, never replaced
    Ref last_recordings;  // Pathway.tid_to_external_call
};
Bound& B = leak<Bound>();

// threading.get_ident() of the calling thread.
Ref thread_key() { return Ref::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident())); }

Params<1> tracker_params{"__init__", {"func_full_name"}, 1};

PyObject* tracker_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!tracker_params.parse(args, nargs, kw, a) ||
        !check_exact_or_none(a[0], &PyUnicode_Type, "func_full_name"))
        return nullptr;
    Ref recorded = Ref::steal(PyList_New(0));
    Ref globals = Ref::steal(PyDict_New());
    Ref modules = Ref::steal(PySet_New(nullptr));
    if (!recorded || !globals || !modules) return nullptr;
    if (PyObject_SetAttr(self, S.recorded_functions, recorded.get()) < 0 ||
        PyObject_SetAttr(self, S.globals, globals.get()) < 0 ||
        PyObject_SetAttr(self, S.caller_function, Py_None) < 0 ||
        PyObject_SetAttr(self, S.unknown_modules, modules.get()) < 0 ||
        PyObject_SetAttr(self, S.last_call, Py_None) < 0 ||
        PyObject_SetAttr(self, S.func_full_name, a[0]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

Params<1> add_call_params{"add_external_module_call", {"function_call"}, 1};

PyObject* tracker_add_external_module_call(PyObject* self, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!add_call_params.parse(args, nargs, kw, a)) return nullptr;
    Ref recorded = getattr(self, S.recorded_functions);
    if (!recorded) return nullptr;
    Py_ssize_t count = PyObject_Length(recorded.get());
    if (count < 0) return nullptr;
    Ref cap = C.setting(S.external_calls_max);
    if (!cap) return nullptr;
    Ref count_obj = Ref::steal(PyLong_FromSsize_t(count));
    if (!count_obj) return nullptr;
    int full = PyObject_RichCompareBool(count_obj.get(), cap.get(), Py_GE);
    if (full < 0) return nullptr;
    if (full) Py_RETURN_TRUE;
    int appended = PyList_CheckExact(recorded.get())
                       ? PyList_Append(recorded.get(), a[0])
                       : (call_method(recorded.get(), S.append, a[0]) ? 0 : -1);
    if (appended < 0 || PyObject_SetAttr(self, S.last_call, a[0]) < 0) return nullptr;
    Py_RETURN_FALSE;
}

Params<1> func_params{"set_current_running_function", {"func"}, 1};

PyObject* set_current_running_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!func_params.parse(args, nargs, kw, a)) return nullptr;
    Ref key = thread_key();
    if (!key || PyDict_SetItem(B.current_calls.get(), key.get(), a[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

Params<1> last_params{"set_last_recording", {"func"}, 1};

PyObject* set_last_recording(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!last_params.parse(args, nargs, kw, a)) return nullptr;
    Ref key = thread_key();
    if (!key || PyDict_SetItem(B.last_recordings.get(), key.get(), a[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_last_recording(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
    if (!no_args("get_last_recording", nargs, kw)) return nullptr;
    Ref key = thread_key();
    if (!key) return nullptr;
    PyObject* found = PyDict_GetItemWithError(B.last_recordings.get(), key.get());
    if (!found) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    return Py_NewRef(found);
}

constexpr int FK = FASTCALL_KEYWORDS;

PyMethodDef tracker_methods[] = {
    {"__init__", as_method(tracker_init), FK, nullptr},
    {"add_external_module_call", as_method(tracker_add_external_module_call), FK,
     "Add an external call record; True when the cap was already reached (nothing added)."},
    {}};

PyMethodDef pathway_static[] = {
    {"set_current_running_function", as_method(set_current_running_function), FK,
     "Make `func` the tracker currently recording on the calling thread."},
    {"set_last_recording", as_method(set_last_recording), FK,
     "Remember `func` as the calling thread's last recording tracker."},
    {"get_last_recording", as_method(get_last_recording), FK,
     "The calling thread's last recording tracker, or None."},
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "pathway",
                          "Per-call flow trackers and the per-thread current tracker.", -1,
                          nullptr};

PyObject* init_module() {
    if (!S.create() || !C.bind()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!add_to_module(module.get(), "threading", Ref::steal(PyImport_ImportModule("threading"))) ||
        !add_to_module(module.get(), "ExternalFunctionMetadata",
                       import_attr("tarnwick_collector.data_collection.invocations",
                                   "ExternalFunctionMetadata")) ||
        !add_to_module(module.get(), "CollectorSettings", Ref::borrow(C.settings())))
        return nullptr;

    Ref tracker = make_class(MODULE, "PathwayTracker", nullptr, nullptr);
    if (!tracker || !add_methods(tracker.get(), tracker_methods) ||
        !add_to_module(module.get(), "PathwayTracker", tracker))
        return nullptr;

    Ref pathway = make_class(MODULE, "Pathway", nullptr, nullptr);
    if (!pathway || !add_static_methods(pathway.get(), pathway_static, module.get()) ||
        !bind_to(B.current_calls, Ref::steal(PyDict_New())) ||
        !bind_to(B.last_recordings, Ref::steal(PyDict_New())) ||
        PyObject_SetAttrString(pathway.get(), "thread_id_to_current_call", B.current_calls.get()) < 0 ||
        PyObject_SetAttrString(pathway.get(), "tid_to_external_call", B.last_recordings.get()) < 0 ||
        PyObject_SetAttrString(pathway.get(), "current_running_function", Py_None) < 0 ||
        !add_to_module(module.get(), "Pathway", pathway))
        return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_pathway() {
    return guarded(init_module);
}
