// The recording hooks called by the tracing extension: user-call entry and
// return, external calls, global and attribute loads. Every failure of the
// system's own becomes an unrecorded call plus one metric.
#include "harvest_state.hpp"
#include "value_bytes.hpp"

namespace harvest {

Strings S;
Collector& C = leak<Collector>();
Bound& B = leak<Bound>();
// The two metrics of every recorded call, their bytes made once.
metric_bytes::ConstantMetric& TRY = leak<metric_bytes::ConstantMetric>();
metric_bytes::ConstantMetric& SUCCESS = leak<metric_bytes::ConstantMetric>();

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

PyObject* value_bytes_stats(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
    if (!no_args("_value_bytes_stats", nargs, kw)) return nullptr;
    return value_bytes::stats_dict();
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
    // Written directly where the values allow it (value_bytes.hpp).
    Ref ser = C.setting(C.s.serializer);
    if (!ser) return false;
    auto pickled = [&] { return call_method(ser.get(), C.s.serialize, used.get()); };
    Ref globals_data =
        C.own_serializer(ser.get()) ? value_bytes::write(used.get(), pickled, true) : pickled();
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
    {"_value_bytes_stats", as_method(value_bytes_stats), FK, nullptr},
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
        !value_bytes::bind() ||
        !followed.init("_forget_followed"))
        return nullptr;
    return module.release();
}

}  // namespace harvest

using namespace harvest;

PyMODINIT_FUNC PyInit_harvest() {
    return guarded(init_module);
}
