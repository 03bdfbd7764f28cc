// What the files of the recording hooks share: interned strings, the
// collaborators bound at import, and the functions one file offers another.
#pragma once

#include "tarn/collector.hpp"

#include <pythread.h>

#include "metric_bytes.hpp"
#include "record_bytes.hpp"
#include "size_guard.hpp"
#include "tarn/weak_table.hpp"
#include "tarn/stand_ins.hpp"

#include <variant>



namespace harvest {

using namespace tarn;


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

extern Strings S;
extern Collector& C;

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
extern Bound& B;
// The two metrics of every recorded call, their bytes made once.
extern metric_bytes::ConstantMetric& TRY;
extern metric_bytes::ConstantMetric& SUCCESS;

inline Ref none() { return Ref::borrow(Py_None); }

// Stand-ins written, per reason.
struct Tally {
    std::uint64_t n[stand_ins::REASONS] = {};
};

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

// harvest_common.cpp
Ref thread_key();
Ref current_tracker();
bool set_current(PyObject* tracker);
bool contains(PyObject* container, PyObject* item, int* out);
Ref full_name_of(PyObject* record);
Ref exception_text(PyObject* exc);
Ref quoted_type_name(PyObject* exc, Py_ssize_t index);
int report_pickling_failure();
const stand_ins::Api* stand_in_api();
Tally stand_ins_now();
Tally since(const Tally& before);
bool is_zero(const Tally& t);
int held_credit(PyObject* tracker, Tally& t);
bool credit_stand_ins(PyObject* tracker, const Tally& before);
bool report_stand_ins(PyObject* tracker, PyObject* full_name, const Tally& before);
int is_size_too_big_impl(PyObject* obj);
bool size_too_big_metric(PyObject* function_full_name, PyObject* name, PyObject* place);

// harvest.cpp
Ref exc_value();

// harvest_external.cpp
Ref module_location(PyObject* module_name);
bool rename_context_method(PyObject* call_obj, PyObject* meta, PyObject* method_name);
int external_call_filters(PyObject* call_obj, PyObject* meta, PyObject* did_check);
PyObject* record_external_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* should_skip_external_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* get_module_location(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
bool finish_external_call(PyObject* return_value, PyObject* record, PyObject* cur_exc);
PyObject* external_return(PyObject* return_value, PyObject* record, PyObject* cur_exc);
PyObject* record_external_return_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* record_async_external_return_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
int merge_into_caller(PyObject* tracker);
PyObject* add_recorded_functions_to_caller_tracker(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* get_function_calls_count(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* set_function_calls_count(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
void unfollow(PyObject* key, std::monostate&);
// Objects whose loads are reported, by identity, without keeping them.
extern WeakTable<std::monostate>& followed;
bool written_as_function(PyObject* obj);
bool follow(PyObject* obj);
PyObject* load_global_hook(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
bool follow_attribute(PyObject* obj, PyObject* attr, PyObject* result);
PyObject* load_attr_hook(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
Ref filter_globals(PyObject* function_globals, PyObject* func_full_name);
PyObject* filter_modules_and_function_from_globals(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);

}  // namespace harvest
