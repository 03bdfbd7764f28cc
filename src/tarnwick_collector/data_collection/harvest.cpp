// The recording hooks called by the tracing extension: user-call entry and
// return, external calls, global and attribute loads. Every failure of the
// system's own becomes an unrecorded call plus one metric.
#include "tarn/collector.hpp"

#include <pythread.h>

#include "metric_bytes.hpp"
#include "record_bytes.hpp"
#include "size_guard.hpp"
#include "tarn/weak_table.hpp"
#include "tarn/stand_ins.hpp"

#include <variant>

using namespace tarn;

namespace {

#define HARVEST_STRINGS(X)                                                     \
    X(function_metadata, "function_metadata")                                  \
    X(full_name, "full_name")                                                  \
    X(module_name, "module_name")                                              \
    X(is_async, "is_async")                                                    \
    X(caller_function, "caller_function")                                      \
    X(globals, "globals")                                                      \
    X(last_call, "last_call")                                                  \
    X(recorded_functions, "recorded_functions")                                \
    X(unknown_modules, "unknown_modules")                                      \
    X(external_calls, "external_calls")                                        \
    X(add_execption, "add_execption")                                          \
    X(add_return_value, "add_return_value")                                    \
    X(serialize_post_run, "serialize_post_run_args_and_kwargs")                \
    X(add_external_module_call, "add_external_module_call")                    \
    X(function_calls_count, "function_calls_count")                            \
    X(external_calls_max, "external_calls_max")                                \
    X(project_files, "project_files")                                          \
    X(init, "__init__")                                                        \
    X(self_str, "__self__")                                                    \
    X(func, "__func__")                                                        \
    X(klass, "__class__")                                                      \
    X(enter, "__enter__")                                                      \
    X(exit, "__exit__")                                                        \
    X(enter_suffix, ".__enter__")                                              \
    X(exit_suffix, ".__exit__")                                                \
    X(unknown, "unknown")                                                      \
    X(args_kwargs, "args/kwargs")                                              \
    X(user_return_place, "user_func_return_value")                             \
    X(external_return_place, "external_func_return_value")                     \
    X(globals_place, "globals")                                                \
    X(format, "format")                                                        \
    X(origin, "origin")                                                        \
    X(limit, "limit")                                                          \
    X(quote, "'")                                                              \
    X(update, "update")                                                        \
    X(add, "add")                                                              \
    X(stand_ins_credit, "_stand_ins")                                          \
    X(pickler_module, "tarnwick_collector.data_serialization.pickler")        \
    X(stand_in_api, "_stand_in_api")                                           \
    X(empty, "")
TARN_STRING_TABLE(Strings, HARVEST_STRINGS);

Strings S;
Collector& C = leak<Collector>();

struct Bound {
    Ref collection_try, collection_success, collector_failure, unpicklable, limit_failure;
    Ref general, reduce, type_error, asyncio, exception_reason, max_size_exceeded,
        calls_limit_exceeded;
    Ref problematic_exc;
    Ref tracker_cls, user_call_cls, external_call_cls;
    Ref current_calls;  // Pathway.thread_id_to_current_call
    Ref extract_metadata;
    Ref call_metadata;  // the same, for the function of a recorded call
    Ref method_type;
    Ref used_attributes;
    Ref ids_to_follow, blacklist, stateless, cached_none_modules;
    Ref asizeof, find_spec;
    Ref limit_kw;  // ("limit",)
    Ref limit_value;
    Ref stand_ins_metric;
    Ref stand_in_reasons[stand_ins::REASONS];
    const stand_ins::Api* stand_in_api = nullptr;
    double max_size = 805306368.0;
};
Bound& B = leak<Bound>();
// The two metrics of every recorded call, their bytes made once.
metric_bytes::ConstantMetric& TRY = leak<metric_bytes::ConstantMetric>();
metric_bytes::ConstantMetric& SUCCESS = leak<metric_bytes::ConstantMetric>();

Ref none() { return Ref::borrow(Py_None); }

// ------------------------------------------------------- per-thread state

Ref thread_key() { return Ref::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident())); }

// The calling thread's current tracker (may be None), or empty with an
// error set.
Ref current_tracker() {
    Ref key = thread_key();
    if (!key) return {};
    PyObject* found = PyDict_GetItemWithError(B.current_calls.get(), key.get());
    if (found) return Ref::borrow(found);
    return PyErr_Occurred() ? Ref() : none();
}

bool set_current(PyObject* tracker) {
    Ref key = thread_key();
    return key && PyDict_SetItem(B.current_calls.get(), key.get(), tracker) == 0;
}

// ------------------------------------------------------------ helpers

bool contains(PyObject* container, PyObject* item, int* out) {
    *out = PyAnySet_Check(container) ? PySet_Contains(container, item)
                                     : PySequence_Contains(container, item);
    return *out >= 0;
}

Ref full_name_of(PyObject* record) {
    Ref meta = getattr(record, S.function_metadata);
    return meta ? getattr(meta.get(), S.full_name) : Ref();
}

// An exception's text as BaseException.__str__ gives it for a single str
// argument, read from BaseException's own args: no property, __str__ or
// other method of the exception's class runs (it may be the program's).
// "" for any other arguments.
Ref exception_text(PyObject* exc) {
    if (!PyExceptionInstance_Check(exc)) return Ref::borrow(S.empty);
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exc)->args;
    if (!args || !PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) != 1 ||
        !PyUnicode_CheckExact(PyTuple_GET_ITEM(args, 0)))
        return Ref::borrow(S.empty);
    return Ref::borrow(PyTuple_GET_ITEM(args, 0));
}

// The type name quoted in an exception's text at `index` (text cut at
// single quotes); "" when the text has fewer quoted parts.
Ref quoted_type_name(PyObject* exc, Py_ssize_t index) {
    Ref text = exception_text(exc);
    Ref parts = Ref::steal(PyUnicode_Split(text.get(), S.quote, -1));
    if (!parts) return {};
    if (PyList_GET_SIZE(parts.get()) <= index) return Ref::borrow(S.empty);
    return Ref::borrow(PyList_GET_ITEM(parts.get(), index));
}

// Reports a caught pickling failure: ProblematicPickleException -> REDUCE,
// TypeError -> TYPE_ERROR. The exception is taken out of the indicator.
// 1 handled, 0 not one of the two (indicator untouched), -1 failure.
int report_pickling_failure() {
    bool problematic = PyErr_ExceptionMatches(B.problematic_exc.get());
    if (!problematic && !PyErr_ExceptionMatches(PyExc_TypeError)) return 0;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    Ref name = quoted_type_name(v ? v.get() : Py_None, problematic ? 2 : 1);
    if (!name) return -1;
    return C.send_metric(B.unpicklable.get(), name.get(),
                         problematic ? B.reduce.get() : B.type_error.get())
               ? 1
               : -1;
}

// ------------------------------------------------- stand-in counting
// The pickler counts per thread the values it writes as stand-ins. A call
// is credited with those written for its own values and for its external
// calls' results, and the count goes out in StandIns metrics once its
// record is stored. Until its return a call's credit waits on its tracker,
// set only when there is one.

struct Tally {
    std::uint64_t n[stand_ins::REASONS] = {};
};

// The pickler's counts are reached once it is loaded (it counts from zero
// on every thread): before that, none can have been written.
const stand_ins::Api* stand_in_api() {
    if (B.stand_in_api) return B.stand_in_api;
    Ref pickler = Ref::steal(PyImport_GetModule(S.pickler_module));
    if (!pickler) {
        PyErr_Clear();
        return nullptr;
    }
    Ref capsule = Ref::steal(PyObject_GetAttr(pickler.get(), S.stand_in_api));
    void* api = capsule ? PyCapsule_GetPointer(capsule.get(), stand_ins::CAPSULE) : nullptr;
    if (!api) PyErr_Clear();  // a module still being initialized
    B.stand_in_api = static_cast<const stand_ins::Api*>(api);
    return B.stand_in_api;
}

Tally stand_ins_now() {
    Tally t;
    const stand_ins::Api* api = stand_in_api();
    if (!api) return t;
    const std::uint64_t* counts = api->written();
    for (int i = 0; i < stand_ins::REASONS; ++i) t.n[i] = counts[i];
    return t;
}

Tally since(const Tally& before) {
    Tally now = stand_ins_now();
    for (int i = 0; i < stand_ins::REASONS; ++i) now.n[i] -= before.n[i];
    return now;
}

bool is_zero(const Tally& t) {
    for (std::uint64_t n : t.n)
        if (n) return false;
    return true;
}

// Adds what `tracker` was credited before to `t`; -1 on error.
int held_credit(PyObject* tracker, Tally& t) {
    Ref held;
    if (compat::lookup_attr(tracker, S.stand_ins_credit, held) < 0) return -1;
    if (!held || !PyTuple_CheckExact(held.get()) || PyTuple_GET_SIZE(held.get()) != stand_ins::REASONS)
        return 0;
    for (int i = 0; i < stand_ins::REASONS; ++i) {
        unsigned long long n = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(held.get(), i));
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        t.n[i] += n;
    }
    return 1;
}

// Credits `tracker` (a tracker or None) with the stand-ins written since `before`.
bool credit_stand_ins(PyObject* tracker, const Tally& before) {
    Tally t = since(before);
    if (is_zero(t) || tracker == Py_None) return true;
    if (held_credit(tracker, t) < 0) return false;
    Ref held = Ref::steal(PyTuple_New(stand_ins::REASONS));
    if (!held) return false;
    for (int i = 0; i < stand_ins::REASONS; ++i) {
        PyObject* n = PyLong_FromUnsignedLongLong(t.n[i]);
        if (!n) return false;
        PyTuple_SET_ITEM(held.get(), i, n);
    }
    return PyObject_SetAttr(tracker, S.stand_ins_credit, held.get()) == 0;
}

// After a stored record: one StandIns metric per reason with values written
// as stand-ins, those since `before` and those credited to the tracker.
bool report_stand_ins(PyObject* tracker, PyObject* full_name, const Tally& before) {
    Tally t = since(before);
    // A thread that never wrote one has credited none.
    if (!is_zero(stand_ins_now()) && held_credit(tracker, t) < 0) return false;
    for (int i = 0; i < stand_ins::REASONS; ++i) {
        if (!t.n[i]) continue;
        Ref count = Ref::steal(PyLong_FromUnsignedLongLong(t.n[i]));
        if (!count || !C.send_metric(B.stand_ins_metric.get(), full_name,
                                     B.stand_in_reasons[i].get(), count.get()))
            return false;
    }
    return true;
}

// -------------------------------------------------------- size guard

// asizeof.asizeof(obj, limit=3) > MAX_STRING_SIZE. The native measure
// settles every value it finds below the limit. Above it (or past its
// budget) pympler decides, but only for values it can measure without
// running the program's code; for the others the native measure is the
// answer (pympler's would differ only by what that code returned).
int is_size_too_big_impl(PyObject* obj) {
    if (obj == Py_None) return 0;
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        Py_ssize_t n = PyUnicode_Check(obj) ? PyUnicode_GET_LENGTH(obj) : PyBytes_GET_SIZE(obj);
        return static_cast<double>(n) > B.max_size;
    }
    size_guard::Stats& stats = size_guard::stats();
    ++stats.measured;
    Ref held = Ref::borrow(obj);
    size_guard::Measure m = size_guard::measure(obj, B.max_size);
    if (m.complete && !m.over) {
        ++stats.native;
        return 0;
    }
    if (!m.complete || !size_guard::pympler_safe(obj)) {
        // A walk too large to finish is judged by what it counted.
        ++stats.c_level;
        return m.over ? 1 : 0;
    }
    ++stats.pympler;
    PyObject* argv[] = {obj, B.limit_value.get()};
    Ref size = Ref::steal(PyObject_Vectorcall(B.asizeof.get(), argv, 1, B.limit_kw.get()));
    if (!size) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref limit = Ref::steal(PyFloat_FromDouble(B.max_size));
    if (!limit) return -1;
    return PyObject_RichCompareBool(size.get(), limit.get(), Py_GT);
}

bool size_too_big_metric(PyObject* function_full_name, PyObject* name, PyObject* place) {
    Ref message = call_method(B.max_size_exceeded.get(), S.format, name, place);
    return message && C.send_metric(B.limit_failure.get(), function_full_name, message.get());
}

// -------------------------------------------------------- entry

Ref get_function_call_object_impl(PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) < 1) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return {};
    }
    Ref called = Ref::borrow(PyTuple_GET_ITEM(args, 0));
    if (Py_IS_TYPE(called.get(), &PyType_Type)) {
        called = getattr(called.get(), S.init);
        if (!called) return {};
    }
    Ref new_args;
    Ref described;
    bool bound_to_object = false;
    if (PyObject_TypeCheck(called.get(), reinterpret_cast<PyTypeObject*>(B.method_type.get()))) {
        Ref self;
        if (compat::lookup_attr(called.get(), S.self_str, self) < 0) return {};
        if (!self) self = none();
        if (!PyObject_TypeCheck(self.get(), &PyType_Type)) {
            bound_to_object = true;
            Py_ssize_t n = PyTuple_GET_SIZE(args);
            new_args = Ref::steal(PyTuple_New(n));
            if (!new_args) return {};
            PyTuple_SET_ITEM(new_args.get(), 0, self.new_ref());
            for (Py_ssize_t i = 1; i < n; ++i)
                PyTuple_SET_ITEM(new_args.get(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
            described = getattr(called.get(), S.func);
            if (!described) return {};
        }
    }
    if (!bound_to_object) {
        new_args = Ref::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
        if (!new_args) return {};
        described = called;
    }
    Ref meta = call(B.call_metadata.get(), described.get());
    if (!meta) return {};

    // Positional arguments first, then keyword values in order.
    auto too_big = [](PyObject* value) { return is_size_too_big_impl(value); };
    int big = 0;
    for (Py_ssize_t i = 0; !big && i < PyTuple_GET_SIZE(new_args.get()); ++i)
        if ((big = too_big(PyTuple_GET_ITEM(new_args.get(), i))) < 0) return {};
    if (!big && kwargs != Py_None) {
        // The guard can run code that changes the dict: its values are
        // owned before any is measured.
        Ref values = Ref::steal(PyDict_Values(kwargs));
        if (!values) return {};
        for (Py_ssize_t i = 0; !big && i < PyList_GET_SIZE(values.get()); ++i)
            if ((big = too_big(PyList_GET_ITEM(values.get(), i))) < 0) return {};
    }
    if (big) {
        Ref name = getattr(meta.get(), S.full_name);
        if (!name || !check_exact_or_none(name.get(), &PyUnicode_Type, "function_full_name") ||
            !size_too_big_metric(name.get(), S.unknown, S.args_kwargs))
            return {};
        return none();
    }

    Ref name = getattr(meta.get(), S.full_name);
    if (!name) return {};
    int blacklisted;
    if (!contains(B.blacklist.get(), name.get(), &blacklisted)) return {};
    if (blacklisted) return none();

    Ref globals = Ref::steal(PyDict_New());
    if (!globals) return {};
    Ref record = call(B.user_call_cls.get(), meta.get(), new_args.get(), kwargs, globals.get());
    if (record) return record;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    PyErr_Clear();
    if (PySet_Add(B.blacklist.get(), name.get()) < 0) return {};
    return none();
}

PyObject* record_user_function_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return nullptr;
            }
            if (PyDict_SetItem(kwargs.get(), key, args[nargs + k]) < 0) return nullptr;
        }
        Ref arg_tuple = Ref::steal(PyTuple_New(nargs));
        if (!arg_tuple) return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i)
            PyTuple_SET_ITEM(arg_tuple.get(), i, Py_NewRef(args[i]));

        if (!TRY.send(C)) return nullptr;
        Tally before = stand_ins_now();
        Ref record = get_function_call_object_impl(arg_tuple.get(), kwargs.get());
        if (!record) return nullptr;
        if (record.get() == Py_None) {
            if (!C.send_metric(B.unpicklable.get(), S.empty, B.general.get())) return nullptr;
            Py_RETURN_NONE;
        }
        Ref meta = getattr(record.get(), S.function_metadata);
        Ref is_async = meta ? getattr(meta.get(), S.is_async) : Ref();
        if (!is_async) return nullptr;
        int async = truthy(is_async.get());
        if (async < 0) return nullptr;
        if (async) {
            if (!C.send_metric(B.collector_failure.get(), B.asyncio.get())) return nullptr;
            Py_RETURN_NONE;
        }
        Ref name = getattr(meta.get(), S.full_name);
        if (!name) return nullptr;
        Ref tracker = call(B.tracker_cls.get(), name.get());
        if (!tracker) return nullptr;
        Ref caller = current_tracker();
        if (!caller || PyObject_SetAttr(tracker.get(), S.caller_function, caller.get()) < 0 ||
            !credit_stand_ins(tracker.get(), before) || !set_current(tracker.get()))
            return nullptr;
        return record.release();
    });
}

Params<2> call_object_params{"get_function_call_object", {"args", "kwargs"}, 2};
PyObject* get_function_call_object(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kw) {
    std::array<PyObject*, 2> a;
    if (!call_object_params.parse(args, nargs, kw, a) ||
        !check_exact_or_none(a[0], &PyTuple_Type, "args") ||
        !check_exact_or_none(a[1], &PyDict_Type, "kwargs"))
        return nullptr;
    if (a[0] == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return nullptr;
    }
    return guarded([&] { return get_function_call_object_impl(a[0], a[1]).release(); });
}

Params<1> obj_params{"is_size_too_big", {"obj"}, 1};
PyObject* is_size_too_big(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!obj_params.parse(args, nargs, kw, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        int big = is_size_too_big_impl(a[0]);
        if (big < 0) return nullptr;
        return PyBool_FromLong(big);
    });
}

// For tests: the native measure alone (None when the walk does not
// finish), whether pympler could measure a value without running the
// program's code, the guard's counters, and a stand-in limit.
PyObject* size_upper_bound(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!obj_params.parse(args, nargs, kw, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        size_guard::Measure m = size_guard::measure(a[0], 1e300);
        if (!m.complete) Py_RETURN_NONE;
        return PyFloat_FromDouble(m.total);
    });
}

PyObject* size_guard_pympler_safe(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!obj_params.parse(args, nargs, kw, a)) return nullptr;
    return guarded([&] { return PyBool_FromLong(size_guard::pympler_safe(a[0])); });
}

PyObject* size_guard_stats(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
    if (!no_args("_size_guard_stats", nargs, kw)) return nullptr;
    const size_guard::Stats& st = size_guard::stats();
    return Py_BuildValue("{sKsKsKsK}", "measured", (unsigned long long)st.measured, "native",
                         (unsigned long long)st.native, "pympler", (unsigned long long)st.pympler,
                         "c_level", (unsigned long long)st.c_level);
}

PyObject* record_bytes_stats(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
    if (!no_args("_record_bytes_stats", nargs, kw)) return nullptr;
    const record_bytes::Stats& st = record_bytes::stats();
    return Py_BuildValue("{sKsKsKsO}", "direct", st.direct, "pickler", st.pickler, "checked",
                         st.checked, "off", st.off ? Py_True : Py_False);
}

PyObject* set_size_guard_limit(PyObject*, PyObject* value) {
    double limit = PyFloat_AsDouble(value);
    if (limit == -1.0 && PyErr_Occurred()) return nullptr;
    double old = B.max_size;
    B.max_size = limit;
    return PyFloat_FromDouble(old);
}

Params<3> metric_params{"create_size_too_big_metric",
                        {"function_full_name", "name", "failure_place"}, 3};
PyObject* create_size_too_big_metric(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kw) {
    std::array<PyObject*, 3> a;
    if (!metric_params.parse(args, nargs, kw, a) ||
        !check_exact_or_none(a[0], &PyUnicode_Type, "function_full_name") ||
        !check_exact_or_none(a[1], &PyUnicode_Type, "name") ||
        !check_exact_or_none(a[2], &PyUnicode_Type, "failure_place"))
        return nullptr;
    return guarded([&]() -> PyObject* {
        if (!size_too_big_metric(a[0], a[1], a[2])) return nullptr;
        Py_RETURN_NONE;
    });
}

// The pending exception's value, or its type, or type(None).
Ref exc_value() {
    PyObject *type = nullptr, *value = nullptr;
    compat::take_pending_exception(&type, &value);
    if (!value) return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(Py_None)));
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(PyExc_Exception)))
        return Ref::borrow(value);
    return Ref::borrow(type ? type : reinterpret_cast<PyObject*>(Py_TYPE(Py_None)));
}

PyObject* get_exc_value(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
    // Runs with the user's exception still pending: the indicator is read
    // before anything else can touch it.
    if (nargs || (kw && PyTuple_GET_SIZE(kw))) {
        PyErr_SetString(PyExc_TypeError, "get_exc_value() takes no arguments");
        return nullptr;
    }
    return exc_value().release();
}

// -------------------------------------------------------- external calls

int should_skip_impl(PyObject* full_name, PyObject* module_name, PyObject* did_check);

Ref module_location(PyObject* module_name) {
    Ref spec = call(B.find_spec.get(), module_name);
    if (!spec) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return {};
        PyErr_Clear();
        return none();
    }
    if (spec.get() == Py_None) return spec;
    return getattr(spec.get(), S.origin);
}

int should_skip_impl(PyObject* full_name, PyObject* module_name, PyObject* did_check) {
    int found;
    if (!contains(B.stateless.get(), full_name, &found)) return -1;
    if (found) return 1;
    if (!contains(B.cached_none_modules.get(), module_name, &found)) return -1;
    if (found) return 1;
    int checked = truthy(did_check);
    if (checked) return checked < 0 ? -1 : 0;
    Ref path = module_location(module_name);
    if (!path) return -1;
    if (path.get() == Py_None) return 0;
    Ref files = C.setting(S.project_files);
    if (!files || !contains(files.get(), path.get(), &found)) return -1;
    if (!found) return 0;
    return PySet_Add(B.cached_none_modules.get(), module_name) < 0 ? -1 : 1;
}

// A context manager's bound __enter__/__exit__ is named after its class's.
bool rename_context_method(PyObject* call_obj, PyObject* meta, PyObject* method_name) {
    Ref self = getattr(call_obj, S.self_str);
    Ref klass = self ? getattr(self.get(), S.klass) : Ref();
    Ref method = klass ? getattr(klass.get(), method_name) : Ref();
    Ref pair = method ? call(B.extract_metadata.get(), method.get(), Py_True) : Ref();
    Ref inner = pair ? Ref::steal(PySequence_GetItem(pair.get(), 0)) : Ref();
    Ref name = inner ? getattr(inner.get(), S.full_name) : Ref();
    return name && PyObject_SetAttr(meta, S.full_name, name.get()) == 0;
}

// 1: skip the call (return None), 0: record it, -1: failure.
int external_call_filters(PyObject* call_obj, PyObject* meta, PyObject* did_check) {
    Ref name = getattr(meta, S.full_name);
    Ref module = name ? getattr(meta, S.module_name) : Ref();
    if (!module) return -1;
    if (!check_exact_or_none(name.get(), &PyUnicode_Type, "full_name") ||
        !check_exact_or_none(module.get(), &PyUnicode_Type, "module_name"))
        return -1;
    int skip = should_skip_impl(name.get(), module.get(), did_check);
    if (skip != 0) return skip;
    if (name.get() == Py_None) return 0;
    for (PyObject* suffix : {S.enter_suffix, S.exit_suffix}) {
        Py_ssize_t ends = PyUnicode_Tailmatch(name.get(), suffix, 0, PY_SSIZE_T_MAX, 1);
        if (ends < 0) return -1;
        if (ends) return rename_context_method(call_obj, meta, suffix == S.enter_suffix ? S.enter : S.exit) ? 0 : -1;
    }
    return 0;
}

Params<2> external_call_params{"record_external_call",
                               {"call", "did_check_function_file_in_project_files"}, 1};
PyObject* record_external_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 2> a;
    if (!external_call_params.parse(args, nargs, kw, a)) return nullptr;
    PyObject* did_check = a[1] ? a[1] : Py_False;
    return guarded([&]() -> PyObject* {
        Ref metadata = call(B.extract_metadata.get(), a[0], Py_True);
        if (!metadata) return nullptr;
        Ref flag = Ref::steal(PySequence_GetItem(metadata.get(), 1));
        if (!flag) return nullptr;
        int recording = truthy(flag.get());
        if (recording <= 0) return recording < 0 ? nullptr : Py_NewRef(Py_None);
        Ref tracker_ref = current_tracker();
        if (!tracker_ref) return nullptr;
        int running = truthy(tracker_ref.get());
        if (running <= 0) return running < 0 ? nullptr : Py_NewRef(Py_None);
        Ref meta = Ref::steal(PySequence_GetItem(metadata.get(), 0));
        if (!meta) return nullptr;
        int skip = external_call_filters(a[0], meta.get(), did_check);
        if (skip < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
        } else if (skip) {
            Py_RETURN_NONE;
        }
        Ref record = call(B.external_call_cls.get(), meta.get());
        if (!record) return nullptr;
        Ref full = call_method(tracker_ref.get(), S.add_external_module_call, record.get());
        if (!full) return nullptr;
        int exceeded = truthy(full.get());
        if (exceeded < 0 || (exceeded && !set_current(Py_None))) return nullptr;
        return record.release();
    });
}

Params<3> should_skip_params{
    "should_skip_external_function",
    {"full_name", "module_name", "did_check_function_file_in_project_files"}, 3};
PyObject* should_skip_external_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kw) {
    std::array<PyObject*, 3> a;
    if (!should_skip_params.parse(args, nargs, kw, a) ||
        !check_exact_or_none(a[0], &PyUnicode_Type, "full_name") ||
        !check_exact_or_none(a[1], &PyUnicode_Type, "module_name"))
        return nullptr;
    return guarded([&]() -> PyObject* {
        int skip = should_skip_impl(a[0], a[1], a[2]);
        return skip < 0 ? nullptr : PyBool_FromLong(skip);
    });
}

Params<1> location_params{"get_module_location", {"module_name"}, 1};
PyObject* get_module_location(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!location_params.parse(args, nargs, kw, a) ||
        !check_exact_or_none(a[0], &PyUnicode_Type, "module_name"))
        return nullptr;
    return guarded([&] { return module_location(a[0]).release(); });
}

// The guarded part of an external return; false with an error pending.
bool finish_external_call(PyObject* return_value, PyObject* record, PyObject* cur_exc) {
    if (!call_method(record, S.add_execption, cur_exc)) return false;
    int big = is_size_too_big_impl(return_value);
    if (big < 0) return false;
    if (!big) return bool(call_method(record, S.add_return_value, return_value));
    Ref name = full_name_of(record);
    return name && check_exact_or_none(name.get(), &PyUnicode_Type, "function_full_name") &&
           size_too_big_metric(name.get(), name.get(), S.external_return_place) &&
           set_current(Py_None);
}

// With the exception given, a pending one is the caller's own: it is held
// aside while the hook runs code and is pending again afterwards.
template <class F>
PyObject* with_given_exception(F&& body) {
    if (!PyErr_Occurred()) return body();
    HeldError pending;
    Ref result = Ref::steal(body());
    if (!result) return nullptr;
    pending.restore();
    return result.release();
}

PyObject* external_return(PyObject* return_value, PyObject* record, PyObject* cur_exc) {
    auto finish = [&](PyObject* exc) -> PyObject* {
        Tally before = stand_ins_now();
        if (!finish_external_call(return_value, record, exc)) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        if (!is_zero(since(before))) {
            // The current call holds this external call's record.
            Ref tracker = current_tracker();
            if (!tracker || !credit_stand_ins(tracker.get(), before)) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
                PyErr_Clear();
            }
        }
        Py_RETURN_NONE;
    };
    if (cur_exc && cur_exc != Py_None) return with_given_exception([&] { return finish(cur_exc); });
    Ref exc = exc_value();
    return finish(exc.get());
}

Params<3> external_return_params{"record_external_return_value",
                                 {"return_value", "func_obj", "cur_exc"}, 2};
PyObject* record_external_return_value(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kw) {
    std::array<PyObject*, 3> a;
    if (!external_return_params.parse(args, nargs, kw, a)) return nullptr;
    return guarded([&] { return external_return(a[0], a[1], a[2]); });
}

Params<3> async_external_params{"record_async_external_return_value",
                                {"return_value", "func_obj", "cur_exc"}, 2};
PyObject* record_async_external_return_value(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kw) {
    std::array<PyObject*, 3> a;
    if (!async_external_params.parse(args, nargs, kw, a)) return nullptr;
    return guarded([&] { return external_return(a[0], a[1], a[2]); });
}

// 1: the caller's tracker is full, 0: merged (or no caller).
int merge_into_caller(PyObject* tracker) {
    auto merge_calls = [&]() -> int {
        int t = truthy(tracker);
        if (t <= 0) return t;
        Ref caller = getattr(tracker, S.caller_function);
        if (!caller) return -1;
        int c = truthy(caller.get());
        if (c <= 0) return c;
        Ref caller_globals = getattr(caller.get(), S.globals);
        Ref own_globals = caller_globals ? getattr(tracker, S.globals) : Ref();
        if (!own_globals || !call_method(caller_globals.get(), S.update, own_globals.get()))
            return -1;
        Ref own = getattr(tracker, S.recorded_functions);
        Ref theirs = own ? getattr(caller.get(), S.recorded_functions) : Ref();
        if (!theirs) return -1;
        Py_ssize_t n_own = PyObject_Length(own.get());
        Py_ssize_t n_theirs = n_own < 0 ? -1 : PyObject_Length(theirs.get());
        if (n_theirs < 0) return -1;
        Ref total = Ref::steal(PyLong_FromSsize_t(n_own + n_theirs));
        Ref cap = total ? C.setting(S.external_calls_max) : Ref();
        if (!cap) return -1;
        int over = PyObject_RichCompareBool(total.get(), cap.get(), Py_GT);
        if (over != 0) return over;
        Ref it = Ref::steal(PyObject_GetIter(own.get()));
        if (!it) return -1;
        while (Ref record = Ref::steal(PyIter_Next(it.get())))
            if (!call_method(caller.get(), S.add_external_module_call, record.get())) return -1;
        return PyErr_Occurred() ? -1 : 0;
    };
    int full = merge_calls();
    if (full > 0) return 1;
    if (full < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        PyErr_Clear();
    }
    auto merge_modules = [&]() -> bool {
        int t = truthy(tracker);
        if (t <= 0) return t == 0;
        Ref caller = getattr(tracker, S.caller_function);
        if (!caller) return false;
        int c = truthy(caller.get());
        if (c <= 0) return c == 0;
        Ref own = getattr(tracker, S.unknown_modules);
        Ref theirs = own ? getattr(caller.get(), S.unknown_modules) : Ref();
        Ref it = theirs ? Ref::steal(PyObject_GetIter(own.get())) : Ref();
        if (!it) return false;
        while (Ref name = Ref::steal(PyIter_Next(it.get())))
            if (PySet_Add(theirs.get(), name.get()) < 0) return false;
        return !PyErr_Occurred();
    };
    if (!merge_modules()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        PyErr_Clear();
    }
    return 0;
}

Params<1> tracker_params{"add_recorded_functions_to_caller_tracker", {"flow_tracker"}, 1};
PyObject* add_recorded_functions_to_caller_tracker(PyObject*, PyObject* const* args,
                                                   Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!tracker_params.parse(args, nargs, kw, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        int full = merge_into_caller(a[0]);
        return full < 0 ? nullptr : PyBool_FromLong(full);
    });
}

Params<1> count_params{"get_function_calls_count", {"flow_tracker"}, 1};
PyObject* get_function_calls_count(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!count_params.parse(args, nargs, kw, a)) return nullptr;
    int t = truthy(a[0]);
    if (t < 0) return nullptr;
    if (!t) return PyLong_FromLong(0);
    return PyObject_GetAttr(a[0], S.function_calls_count);
}

Params<2> set_count_params{"set_function_calls_count", {"flow_tracker", "count"}, 2};
PyObject* set_function_calls_count(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kw) {
    std::array<PyObject*, 2> a;
    if (!set_count_params.parse(args, nargs, kw, a)) return nullptr;
    int t = truthy(a[0]);
    if (t < 0 || (t && PyObject_SetAttr(a[0], S.function_calls_count, a[1]) < 0)) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------ global and attribute loads

// What recorded code did with an object applies to that object only: an
// object is followed (its id in IDS_TO_FOLLOW, its attribute names in
// used_attributes) while it lives, and both forget it when it dies, before
// a new object can be born at its address. The weak references that tell
// of its death keep nothing alive. An object that cannot be weakly
// referenced is not followed, which only means it is written in full.
void unfollow(PyObject* key, std::monostate&) {
    Ref id = Ref::steal(PyLong_FromVoidPtr(key));
    if (!id) {
        PyErr_Clear();
        return;
    }
    if (PySet_Discard(B.ids_to_follow.get(), id.get()) < 0) PyErr_Clear();
    PyObject* used = B.used_attributes.get();
    if (!PyDict_CheckExact(used)) return;
    // The names set is released after the dict no longer holds it.
    Ref names = Ref::borrow(PyDict_GetItemWithError(used, id.get()));
    if (names && PyDict_DelItem(used, id.get()) < 0) PyErr_Clear();
    if (PyErr_Occurred()) PyErr_Clear();
}

auto& followed = leak<WeakTable<std::monostate>>(unfollow);

// Bound methods are written as functions, never through their used
// attributes, and are made afresh at every access: not worth following.
bool written_as_function(PyObject* obj) {
    if (PyMethod_Check(obj)) return true;
    return PyCFunction_Check(obj) && PyCFunction_GET_SELF(obj) &&
           !PyModule_Check(PyCFunction_GET_SELF(obj));
}

// False with an error set on failure.
bool follow(PyObject* obj) {
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(obj)) || written_as_function(obj)) return true;
    if (!followed.ensure(obj)) return !PyErr_Occurred();
    Ref id = Ref::steal(PyLong_FromVoidPtr(obj));
    return id && PySet_Add(B.ids_to_follow.get(), id.get()) == 0;
}

Params<2> global_params{"load_global_hook", {"global_obj", "name"}, 2};
PyObject* load_global_hook(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 2> a;
    if (!global_params.parse(args, nargs, kw, a) ||
        !check_exact_or_none(a[1], &PyUnicode_Type, "name"))
        return nullptr;
    Ref tracker_ref = current_tracker();
    if (!tracker_ref) return nullptr;
    if (tracker_ref.get() == Py_None) Py_RETURN_NONE;
    int t = truthy(tracker_ref.get());
    if (t <= 0) return t < 0 ? nullptr : Py_NewRef(Py_None);
    Ref globals = getattr(tracker_ref.get(), S.globals);
    if (!globals || PyObject_SetItem(globals.get(), a[1], a[0]) < 0) return nullptr;
    if (!follow(a[0])) return nullptr;
    Py_RETURN_NONE;
}

bool follow_attribute(PyObject* obj, PyObject* attr, PyObject* result) {
    // Most loads are from objects nobody follows: one probe, no allocation.
    if (!followed.find(obj)) return true;
    Ref id = Ref::steal(PyLong_FromVoidPtr(obj));
    if (!id) return false;
    int is_followed = PySet_Contains(B.ids_to_follow.get(), id.get());
    if (is_followed <= 0) return is_followed == 0;
    PyObject* used = B.used_attributes.get();
    Ref names = Ref::steal(PyObject_GetItem(used, id.get()));
    if (names) return follow(result) && bool(call_method(names.get(), S.add, attr));
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    PyErr_Clear();
    Ref fresh = Ref::steal(PySet_New(nullptr));
    return fresh && PySet_Add(fresh.get(), attr) == 0 &&
           PyObject_SetItem(used, id.get(), fresh.get()) == 0 && follow(result);
}

Params<3> attr_params{"load_attr_hook", {"obj", "attr", "result"}, 3};
PyObject* load_attr_hook(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject *obj, *attr, *result;
    if (nargs == 3 && !kw) {
        obj = args[0], attr = args[1], result = args[2];
    } else {
        std::array<PyObject*, 3> a;
        if (!attr_params.parse(args, nargs, kw, a)) return nullptr;
        obj = a[0], attr = a[1], result = a[2];
    }
    if (!check_exact_or_none(attr, &PyUnicode_Type, "attr")) return nullptr;
    if (!follow_attribute(obj, attr, result)) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

// The globals a finished call keeps; None (with the metric sent and the
// thread's recording stopped) when one is too big.
Ref filter_globals(PyObject* function_globals, PyObject* func_full_name) {
    Ref used = Ref::steal(PyDict_New());
    if (!used) return {};
    Ref keys = Ref::steal(PyMapping_Keys(function_globals));
    if (!keys) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        Ref key_ref = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        PyObject* key = key_ref.get();
        Ref value = Ref::steal(PyObject_GetItem(function_globals, key));
        if (!value) return {};
        if (Py_IS_TYPE(value.get(), &PyModule_Type)) {
            Ref id = Ref::steal(PyLong_FromVoidPtr(value.get()));
            if (!id) return {};
            int used_module = PySequence_Contains(B.used_attributes.get(), id.get());
            if (used_module < 0) return {};
            if (used_module && PyDict_SetItem(used.get(), key, value.get()) < 0) return {};
            continue;
        }
        int big = is_size_too_big_impl(value.get());
        if (big < 0) return {};
        if (big) {
            if (!check_exact_or_none(key, &PyUnicode_Type, "name") ||
                !size_too_big_metric(func_full_name, key, S.globals_place) || !set_current(Py_None))
                return {};
            return none();
        }
        if (PyDict_SetItem(used.get(), key, value.get()) < 0) return {};
    }
    return used;
}

Params<2> filter_params{"filter_modules_and_function_from_globals",
                        {"function_globals", "func_full_name"}, 2};
PyObject* filter_modules_and_function_from_globals(PyObject*, PyObject* const* args,
                                                   Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 2> a;
    if (!filter_params.parse(args, nargs, kw, a) ||
        !check_exact_or_none(a[1], &PyUnicode_Type, "func_full_name"))
        return nullptr;
    return guarded([&] { return filter_globals(a[0], a[1]).release(); });
}

// ---------------------------------------------------------- return

// Serializes a finished record and sends it; pickling failures of the
// record are reported, not raised. False with an error pending otherwise.
// The record's bytes: written directly when the serializer is the
// collector's own (record_bytes.hpp), else by the serializer.
Ref serialize_record(PyObject* record) {
    Ref ser = C.setting(C.s.serializer);
    if (!ser) return {};
    auto pickled = [&] { return call_method(ser.get(), C.s.serialize, record); };
    if (!C.own_serializer(ser.get())) return pickled();
    return record_bytes::write(record, pickled);
}

bool send_record(PyObject* record, bool* stored = nullptr) {
    auto attempt = [&]() -> bool {
        if (!call_method(record, S.serialize_post_run)) return false;
        Ref data = serialize_record(record);
        if (!data) return false;
        int t = truthy(data.get());
        if (t <= 0) return t == 0;
        Ref sink = C.setting(C.s.data_subprocess);
        if (!sink || !call_method(sink.get(), C.s.send_message, data.get())) return false;
        if (stored) *stored = true;
        return SUCCESS.send(C);
    };
    if (attempt()) return true;
    int reported = report_pickling_failure();
    return reported > 0;
}

PyObject* send_function_call_to_handler(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kw) {
    std::array<PyObject*, 1> a;
    static Params<1> params{"send_function_call_to_handler", {"function_under_test"}, 1};
    if (!params.parse(args, nargs, kw, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        if (!send_record(a[0])) return nullptr;
        Py_RETURN_NONE;
    });
}

// Steps of a user return after the record was looked up; `tracker` is set
// as soon as it is known. False with an error pending.
bool finish_user_call(PyObject* ret_val, PyObject* record, PyObject* cur_exc, Ref& tracker) {
    Ref exc = cur_exc && cur_exc != Py_None ? Ref::borrow(cur_exc) : exc_value();
    Tally before = stand_ins_now();
    Ref current = current_tracker();
    if (!current) return false;
    Ref name = full_name_of(record);
    if (!name) return false;
    if (current.get() == Py_None) {
        return C.send_metric(B.limit_failure.get(), name.get(), B.calls_limit_exceeded.get());
    }
    tracker = current;
    Ref collected = getattr(tracker.get(), S.globals);
    if (!collected) return false;
    if (!check_exact_or_none(name.get(), &PyUnicode_Type, "func_full_name")) return false;
    Ref used = filter_globals(collected.get(), name.get());
    if (!used) return false;
    if (used.get() == Py_None) return true;
    Ref globals_data = C.serialize(used.get());
    if (!globals_data || PyObject_SetAttr(record, S.globals, globals_data.get()) < 0) return false;
    if (!call_method(record, S.add_execption, exc.get())) return false;
    int big = is_size_too_big_impl(ret_val);
    if (big < 0) return false;
    if (big) {
        return check_exact_or_none(name.get(), &PyUnicode_Type, "function_full_name") &&
               size_too_big_metric(name.get(), name.get(), S.user_return_place) &&
               set_current(Py_None);
    }
    if (!call_method(record, S.add_return_value, ret_val)) return false;

    Ref caller = getattr(tracker.get(), S.caller_function);
    if (!caller || PyObject_SetAttr(tracker.get(), S.caller_function, Py_None) < 0 ||
        PyObject_SetAttr(tracker.get(), S.last_call, Py_None) < 0)
        return false;
    Ref recorded = getattr(tracker.get(), S.recorded_functions);
    Ref modules = recorded ? getattr(tracker.get(), S.unknown_modules) : Ref();
    if (!modules || PyObject_SetAttr(record, S.external_calls, recorded.get()) < 0 ||
        PyObject_SetAttr(record, S.unknown_modules, modules.get()) < 0)
        return false;
    bool stored = false;
    if (!send_record(record, &stored)) return false;
    if (stored && !report_stand_ins(tracker.get(), name.get(), before)) return false;

    if (PyObject_SetAttr(tracker.get(), S.caller_function, caller.get()) < 0) return false;
    int full = merge_into_caller(tracker.get());
    if (full < 0) return false;
    if (full) return set_current(Py_None);
    if (!set_current(caller.get())) return false;
    int has_caller = truthy(caller.get());
    if (has_caller < 0) return false;
    Ref callers_caller = has_caller ? getattr(caller.get(), S.caller_function) : none();
    return callers_caller &&
           PyObject_SetAttr(tracker.get(), S.caller_function, callers_caller.get()) == 0;
}

PyObject* user_return_impl(PyObject* ret_val, PyObject* record, PyObject* cur_exc);

PyObject* user_return(PyObject* ret_val, PyObject* record, PyObject* cur_exc) {
    if (cur_exc && cur_exc != Py_None)
        return with_given_exception([&] { return user_return_impl(ret_val, record, cur_exc); });
    return user_return_impl(ret_val, record, cur_exc);
}

PyObject* user_return_impl(PyObject* ret_val, PyObject* record, PyObject* cur_exc) {
    int t = truthy(record);
    if (t <= 0) return t < 0 ? nullptr : Py_NewRef(Py_None);
    Ref tracker;
    if (finish_user_call(ret_val, record, cur_exc, tracker)) Py_RETURN_NONE;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;

    HeldError failure;
    // A failed call's tracker must not stay current: its callers would
    // collect into it and report one call's data under another.
    if (tracker) {
        Ref current = current_tracker();
        if (!current || (current.get() == tracker.get() && !set_current(Py_None))) return nullptr;
    }
    Ref name = full_name_of(record);
    if (!name || PySet_Add(B.blacklist.get(), name.get()) < 0) return nullptr;
    failure.restore();
    int reported = report_pickling_failure();
    if (reported < 0) return nullptr;
    if (reported == 0) {
        PyErr_Clear();
        if (!C.send_metric(B.collector_failure.get(), B.exception_reason.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

Params<3> user_return_params{"record_user_function_return_value",
                             {"ret_val", "function_under_test", "cur_exc"}, 2};
PyObject* record_user_function_return_value(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kw) {
    std::array<PyObject*, 3> a;
    if (!user_return_params.parse(args, nargs, kw, a)) return nullptr;
    return guarded([&] { return user_return(a[0], a[1], a[2]); });
}

Params<3> user_async_params{"record_user_async_function_return_value",
                            {"ret_val", "function_under_test", "cur_exc"}, 2};
PyObject* record_user_async_function_return_value(PyObject*, PyObject* const* args,
                                                  Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 3> a;
    if (!user_async_params.parse(args, nargs, kw, a)) return nullptr;
    return guarded([&] { return user_return(a[0], a[1], a[2]); });
}

Params<2> async_params{"record_return_value_async", {"return_value", "func_obj"}, 2};
PyObject* record_return_value_async(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
    std::array<PyObject*, 2> a;
    if (!async_params.parse(args, nargs, kw, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        Ref exc = exc_value();
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(a[1]));
        if (type == B.external_call_cls.get()) return external_return(a[0], a[1], exc.get());
        if (type == B.user_call_cls.get()) return user_return(a[0], a[1], exc.get());
        Py_RETURN_NONE;
    });
}

// ------------------------------------------------------------ module

constexpr int FK = FASTCALL_KEYWORDS;

PyMethodDef functions[] = {
    {"record_user_function_call", as_method(record_user_function_call), FK,
     "Entry of a recorded user call: its UserFunctionCall, or None when it is not recorded."},
    {"get_function_call_object", as_method(get_function_call_object), FK, nullptr},
    {"is_size_too_big", as_method(is_size_too_big), FK, nullptr},
    {"_size_upper_bound", as_method(size_upper_bound), FK, nullptr},
    {"_size_guard_pympler_safe", as_method(size_guard_pympler_safe), FK, nullptr},
    {"_size_guard_stats", as_method(size_guard_stats), FK, nullptr},
    {"_record_bytes_stats", as_method(record_bytes_stats), FK, nullptr},
    {"_set_size_guard_limit", set_size_guard_limit, METH_O, nullptr},
    {"create_size_too_big_metric", as_method(create_size_too_big_metric), FK, nullptr},
    {"get_exc_value", as_method(get_exc_value), FK,
     "Take the pending exception out of the error indicator."},
    {"record_user_function_return_value", as_method(record_user_function_return_value), FK,
     "Return of a recorded user call: finish, send and report its record."},
    {"send_function_call_to_handler", as_method(send_function_call_to_handler), FK, nullptr},
    {"record_user_async_function_return_value",
     as_method(record_user_async_function_return_value), FK, nullptr},
    {"record_return_value_async", as_method(record_return_value_async), FK, nullptr},
    {"record_external_call", as_method(record_external_call), FK,
     "An external call from recorded code: its ExternalFunctionCall, or None."},
    {"should_skip_external_function", as_method(should_skip_external_function), FK, nullptr},
    {"get_module_location", as_method(get_module_location), FK, nullptr},
    {"record_external_return_value", as_method(record_external_return_value), FK, nullptr},
    {"record_async_external_return_value", as_method(record_async_external_return_value), FK,
     nullptr},
    {"add_recorded_functions_to_caller_tracker",
     as_method(add_recorded_functions_to_caller_tracker), FK, nullptr},
    {"get_function_calls_count", as_method(get_function_calls_count), FK, nullptr},
    {"set_function_calls_count", as_method(set_function_calls_count), FK, nullptr},
    {"load_global_hook", as_method(load_global_hook), FK, nullptr},
    {"load_attr_hook", as_method(load_attr_hook), FK, nullptr},
    {"filter_modules_and_function_from_globals",
     as_method(filter_modules_and_function_from_globals), FK, nullptr},
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "harvest",
                          "Recording hooks called by the tracing extension.", -1, functions};


bool bind(PyObject* m) {
    constexpr const char* METRICS = "tarnwick_collector.data_collection.metrics";
    auto add = [m](const char* name, const Ref& value) { return add_to_module(m, name, value); };
    Ref pathway = imp("tarnwick_collector.data_collection.pathway", "Pathway");
    Ref introspector = imp("tarnwick_collector.data_collection.introspect", "Introspector");
    Ref should_mock = imp("tarnwick_common.consts.should_mock", "ShouldMockConsts");
    Ref unpicklable_reasons = imp(METRICS, "UnpicklableReasons");
    Ref failure_reasons = imp(METRICS, "FailureReasons");
    Ref limit_reasons = imp(METRICS, "LimitReasons");
    Ref stand_in_reasons = imp(METRICS, "StandInReasons");
    Ref asizeof_module = imp_module("pympler.asizeof");
    Ref metrics_module = imp_module(METRICS);
    if (!add("threading", imp_module("threading")) || !add("types", imp_module("types")))
        return false;
    for (const char* name : {"Callable", "Any", "Tuple", "Dict", "Union", "Optional"})
        if (!add(name, imp("typing", name))) return false;
    if (!add("asizeof", asizeof_module) ||
        !add("ProblematicPickleException",
             B.problematic_exc = imp("tarnwick_collector.exceptions", "ProblematicPickleException")) ||
        !add("Unpicklable", B.unpicklable = imp(METRICS, "Unpicklable")) ||
        !add("UnpicklableReasons", unpicklable_reasons) ||
        !add("CollectorFailure", B.collector_failure = imp(METRICS, "CollectorFailure")) ||
        !add("FailureReasons", failure_reasons) ||
        !add("CollectionTry", B.collection_try = imp(METRICS, "CollectionTry")) ||
        !add("CollectionSuccess", B.collection_success = imp(METRICS, "CollectionSuccess")) ||
        !add("LimitFailure", B.limit_failure = imp(METRICS, "LimitFailure")) ||
        !TRY.bind(C, B.collection_try.get(), metrics_module.get()) ||
        !SUCCESS.bind(C, B.collection_success.get(), metrics_module.get()) ||
        !add("LimitReasons", limit_reasons) ||
        !add("CollectorSettings", Ref::borrow(C.settings())) || !add("Pathway", pathway) ||
        !add("PathwayTracker",
             B.tracker_cls = imp("tarnwick_collector.data_collection.pathway", "PathwayTracker")) ||
        !add("ExternalFunctionCall",
             B.external_call_cls =
                 imp("tarnwick_collector.data_collection.invocations", "ExternalFunctionCall")) ||
        !add("UserFunctionCall",
             B.user_call_cls =
                 imp("tarnwick_collector.data_collection.invocations", "UserFunctionCall")) ||
        !add("FunctionCall", imp("tarnwick_collector.data_collection.invocations", "FunctionCall")) ||
        !add("Introspector", introspector) ||
        !add("used_attributes",
             B.used_attributes = imp("tarnwick_collector.data_collection.used_attributes_collector",
                                     "used_attributes")) ||
        !add("ShouldMockConsts", should_mock))
        return false;
    if (!bind_to(B.general, attr_of(unpicklable_reasons, "GENERAL")) ||
        !bind_to(B.reduce, attr_of(unpicklable_reasons, "REDUCE")) ||
        !bind_to(B.type_error, attr_of(unpicklable_reasons, "TYPE_ERROR")) ||
        !bind_to(B.asyncio, attr_of(failure_reasons, "ASYNCIO")) ||
        !bind_to(B.exception_reason, attr_of(failure_reasons, "EXCEPTION")) ||
        !bind_to(B.max_size_exceeded, attr_of(limit_reasons, "MAX_STRING_SIZE_EXCEEDED")) ||
        !bind_to(B.calls_limit_exceeded,
                 attr_of(limit_reasons, "EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED")) ||
        !bind_to(B.asizeof, attr_of(asizeof_module, "asizeof")) ||
        !bind_to(B.find_spec, imp("importlib.util", "find_spec")) ||
        !bind_to(B.limit_kw, Ref::steal(PyTuple_Pack(1, S.limit))) ||
        !bind_to(B.limit_value, Ref::steal(PyLong_FromLong(3))) ||
        !bind_to(B.stand_ins_metric, imp(METRICS, "StandIns")) ||
        !bind_to(B.stand_in_reasons[stand_ins::PICKLING_METHODS],
                 attr_of(stand_in_reasons, "PICKLING_METHODS")) ||
        !bind_to(B.stand_in_reasons[stand_ins::ATTRIBUTE_HOOKS],
                 attr_of(stand_in_reasons, "ATTRIBUTE_HOOKS")))
        return false;

    // Module constants and shared state, in their order.
    Ref current_calls = attr_of(pathway, "thread_id_to_current_call");
    Ref current_get = attr_of(current_calls, "get");
    Ref tracker_setter = attr_of(pathway, "set_current_running_function");
    Ref stateless = attr_of(should_mock, "STATELESS_EXTERNAL_FULL_NAMES");
    Ref max_size = Ref::steal(PyFloat_FromDouble(B.max_size));
    return bind_to(B.current_calls, current_calls) && add("STATELESS_EXTERNAL_FULL_NAMES", B.stateless = stateless) &&
           add("CACHED_NONE_EXTERNAL_MODULES", B.cached_none_modules = Ref::steal(PySet_New(nullptr))) &&
           add("TYPE_ERROR_TYPE_INDEX", Ref::steal(PyLong_FromLong(1))) &&
           add("PROBLEMATIC_PICKLE_TYPE_INDEX", Ref::steal(PyLong_FromLong(2))) &&
           add("FUNCTION_META_DATA_INDEX", Ref::steal(PyLong_FromLong(0))) &&
           add("IS_FUNCTION_FOR_RECORDING_INDEX", Ref::steal(PyLong_FromLong(1))) &&
           add("MAX_STRING_SIZE", max_size) && add("__SELF__", Ref::borrow(S.self_str)) &&
           add("IDS_TO_FOLLOW", B.ids_to_follow = Ref::steal(PySet_New(nullptr))) &&
           add("Pathway_thread_id_to_current_call_get", current_get) &&
           add("Pathway_set_current_running_function", tracker_setter) &&
           add("threading_get_ident", imp("threading", "get_ident")) &&
           add("types_MethodType", B.method_type = imp("types", "MethodType")) &&
           add("FUNCTION_INDEX", Ref::steal(PyLong_FromLong(0))) &&
           add("EXTRACT_METADATA", B.extract_metadata = attr_of(introspector, "extract_function_metadata")) &&
           bind_to(B.call_metadata, attr_of(introspector, "_metadata_for_call")) &&
           add("BLACKLISTED_FUNCTIONS", B.blacklist = Ref::steal(PySet_New(nullptr)));
}

PyObject* init_module() {
    if (!S.create() || !C.bind()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !bind(module.get()) || !size_guard::init() ||
        !record_bytes::bind(imp_module("tarnwick_collector.data_collection.invocations").get()) ||
        !followed.init("_forget_followed"))
        return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_harvest() {
    return guarded(init_module);
}
