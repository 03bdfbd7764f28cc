// The hooks of external calls and of global and attribute loads.
#include "harvest_state.hpp"

namespace harvest {

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

// The sync and async hooks are one, under their own names.
PyObject* external_return_hook(Params<3>& params, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kw) {
    std::array<PyObject*, 3> a;
    if (!params.parse(args, nargs, kw, a)) return nullptr;
    return guarded([&] { return external_return(a[0], a[1], a[2]); });
}

Params<3> external_return_params{"record_external_return_value",
                                 {"return_value", "func_obj", "cur_exc"}, 2};
PyObject* record_external_return_value(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kw) {
    return external_return_hook(external_return_params, args, nargs, kw);
}

Params<3> async_external_params{"record_async_external_return_value",
                                {"return_value", "func_obj", "cur_exc"}, 2};
PyObject* record_async_external_return_value(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kw) {
    return external_return_hook(async_external_params, args, nargs, kw);
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

WeakTable<std::monostate>& followed = leak<WeakTable<std::monostate>>(unfollow);

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

}  // namespace harvest
