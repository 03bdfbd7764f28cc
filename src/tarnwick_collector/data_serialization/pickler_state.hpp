// What the files of the safe pickler share: interned strings, the
// collaborators bound at import, and the functions one file offers another.
#pragma once

#include "tarn/collector.hpp"
#include "tarn/stand_ins.hpp"

#include <string>
#include <unordered_map>
#include <vector>

namespace safe_pickler {

using namespace tarn;

#define PICKLER_STRINGS(X)                                           \
    X(dot, ".")                                                      \
    X(dict_dunder, "__dict__")                                       \
    X(reduce_allowed_qual_name, "FunctionWrapper")                   \
    X(reduce_allowed_module, "tarnwick_common.utils.object_wrapper") \
    X(get_initargs, "__getinitargs__")                               \
    X(get_newargs_ex, "__getnewargs_ex__")                           \
    X(getnewargs, "__getnewargs__")                                  \
    X(getstate, "__getstate__")                                      \
    X(reduce, "__reduce__")                                          \
    X(reduce_ex, "__reduce_ex__")                                    \
    X(init, "__init__")                                              \
    X(func, "__func__")                                              \
    X(self_str, "__self__")                                          \
    X(getattr_str, "__getattr__")                                    \
    X(getattribute, "__getattribute__")                              \
    X(setattr_str, "__setattr__")                                    \
    X(code, "__code__")                                              \
    X(classmethod_descriptor, "classmethod_descriptor")              \
    X(builtin_method, "builtin_method")                              \
    X(name, "__name__")                                              \
    X(module, "__module__")                                          \
    X(qualname, "__qualname__")                                      \
    X(klass, "__class__")                                            \
    X(mro, "__mro__")                                                \
    X(bases, "__bases__")                                            \
    X(slots, "__slots__")                                            \
    X(slotnames, "__slotnames__")                                    \
    X(weakref_dunder, "__weakref__")                                 \
    X(file, "__file__")                                              \
    X(builtins, "builtins")                                          \
    X(type_name, "type")                                             \
    X(args, "args")                                                  \
    X(enter, "__enter__")                                            \
    X(exit, "__exit__")                                              \
    X(full_name, "full_name")                                        \
    X(module_name, "module_name")                                    \
    X(full_path, "full_path")                                        \
    X(project_path, "project_path")                                  \
    X(object_wrapper, "object_wrapper")                              \
    X(dispatch_table, "dispatch_table")                              \
    X(failure_reducer, "failure_reducer")                            \
    X(special_cases, "special_cases")                                \
    X(dump, "dump")                                                  \
    X(getvalue, "getvalue")                                          \
    X(clear_memo, "clear_memo")                                      \
    X(memo, "memo")                                                  \
    X(append, "append")                                              \
    X(write, "write")                                                \
    X(get, "get")                                                    \
    X(dont_cache, "dont_cache")                                      \
    X(collect_signature, "collect_signature")                        \
    X(name_attr, "name")                                             \
    X(main, "__main__")                                              \
    X(unknown_path, "unknown_path")                                  \
    X(dunder, "__")                                                  \
    X(startswith, "startswith")                                      \
    X(empty, "")
TARN_STRING_TABLE(Strings, PICKLER_STRINGS);

extern Strings S;
extern Collector& C;

struct Bound {
    // Collaborators.
    Ref object_wrapper_cls, module_wrapper_cls, unpicklable_cls, function_wrapper_cls,
        special_wrapper_cls, exception_wrapper_cls;
    Ref extract_metadata, get_function_full_name, replace_main, relpath, isroutine;
    Ref problematic_exc, base_pickler, base_pickler_init, bytes_io, tarn_loads;
    Ref reconstructor, copyreg_newobj, environ_type, copyreg_dispatch, stdlib_names,
        builtin_module_names, is_frozen, sys_modules;
    Ref metric_base;
    Ref loadclass;  // bound at import
    Ref namespace_cls;
    Ref dont_cache_kw;
    // Tables (class attributes of SafePickler and module globals).
    Ref functions_types, method_types, types_to_skip, subclasses_to_skip,
        full_names_to_run_functions, full_names_to_rebuild_functions_dict,
        specific_type_for_magic_mock, types_to_continue;
    // This module's objects.
    Ref wrap_object, wrap_module, wrap_function, wrap_exception, new_func_wrap, wraper,
        safe_pickler, failure_reducer, special_cases, used_attributes;
    // Raw class attributes of object and type, to tell inherited ones.
    PyObject* object_reduce = nullptr;
    PyObject* object_reduce_ex = nullptr;
    PyObject* object_getstate = nullptr;  // NULL before every object had one
    PyObject* object_class = nullptr;
    PyObject* type_getattribute = nullptr;
    PyObject* type_setattr = nullptr;
    destructor python_class_dealloc = nullptr;
    // Exact types that the ordinary route always writes (types_to_skip less
    // the function types, which are reduced by name first).
    std::unordered_map<PyTypeObject*, bool> plain_types;
    std::unordered_map<PyTypeObject*, bool> own_types;
    std::vector<Ref> own_type_refs;  // keeps the keys of own_types alive
    std::vector<PyTypeObject*> skip_bases;  // subclasses_to_skip, in its order
    std::vector<PyTypeObject*> function_types;  // FUNCTIONS_TYPES, compared by identity
    std::vector<PyTypeObject*> method_type_list;  // METHOD_TYPES, likewise
    std::vector<PyTypeObject*> magic_mock_types;  // specific_type_for_magic_mock, likewise
    // Folders the standard library lives in, each ending in '/'.
    std::vector<std::string> stdlib_dirs;
    Ref safe_pickle_kwnames;
};
extern Bound& B;

// ------------------------------------------------------------ helpers

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref not_implemented() { return Ref::borrow(Py_NotImplemented); }

// Errors that a guard "catching every Exception" absorbs; anything else
// (KeyboardInterrupt, SystemExit) goes on.
inline bool swallow() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

inline PyTypeObject* as_type(PyObject* o) { return reinterpret_cast<PyTypeObject*>(o); }
inline PyObject* as_obj(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

// str(cls) without any metaclass hook: "<class 'module.qualname'>".
inline Ref type_text(PyTypeObject* t) { return Ref::steal(PyType_Type.tp_repr(as_obj(t))); }

// A class written by a class statement, as opposed to one implemented in C.
inline bool is_python_class(PyTypeObject* t) { return t->tp_dealloc == B.python_class_dealloc; }

inline bool has_static(PyObject* obj, PyObject* name) { return static_lookup(obj, name) != nullptr; }

inline Ref make_tuple2(PyObject* a, PyObject* b) { return Ref::steal(PyTuple_Pack(2, a, b)); }
inline Ref make_tuple3(PyObject* a, PyObject* b, PyObject* c) {
    return Ref::steal(PyTuple_Pack(3, a, b, c));
}

// (callable, (arg,))
inline Ref reduce_value1(PyObject* callable, PyObject* arg) {
    Ref args = Ref::steal(PyTuple_Pack(1, arg));
    return args ? make_tuple2(callable, args.get()) : Ref();
}

Ref loadclass();

// ------------------------------------------ static reads (pickler_static.cpp)
// Reading the program's objects without running any of their code.

// A class's module and qualified name as the class statement stored them
// (no metaclass property or __getattribute__ is consulted); empty when absent.
Ref type_module(PyTypeObject* t);
Ref type_qualname(PyTypeObject* t);
Ref type_name(PyTypeObject* t);

// The object's own __dict__ entry `name`, borrowed and only to be tested;
// NULL when there is none.
PyObject* instance_entry(PyObject* obj, PyObject* name);

// getattr(obj, name) as far as it runs none of the program's code: instance
// dict entries and plain class attributes as they are, functions bound to
// obj, class and static methods unwrapped, the interpreter's own
// descriptors applied. Properties, Python descriptors and __getattr__
// count as absent. Empty without an error when absent.
Ref static_attribute(PyObject* obj, PyObject* name);

// The names dir(obj) would list, from the instance dict and the class
// dicts along the MRO, sorted; no __dir__ runs.
Ref static_names(PyObject* obj);

// The names of the slots instances of `t` carry (copyreg's listing);
// false when a __slots__ value is not a plain string or container.
bool slot_names(PyTypeObject* t, std::vector<Ref>& out);

// `t` is found again under its module and qualified name by dict lookups
// from sys.modules down: 1 / 0, -1 on error.
int found_again(PyTypeObject* t);

// Whether the module of that name lives where the interpreter keeps its
// standard library (or is built in or frozen), judged by where it was
// loaded from rather than by its name: 1 / 0, -1 on error. `compiled`
// tells a module named by a type implemented in C, which may come from a
// module that is not imported under that name.
int module_is_standard(PyObject* module_name, bool compiled);
bool bind_stdlib_dirs();
// Whether the module of that name was loaded from an installed library's
// folder (site-packages): 1 / 0, -1 on error.
int module_is_library(PyObject* module_name);

// ------------------------------------------------ caches (pickler_caches.cpp)

// What is known of a class, for all its instances; -1 not yet known.
struct TypeVerdicts {
    signed char named_like_function = -1;  // the type name rule of is_obj_function
    signed char standard = -1;             // the interpreter's or the standard library's
    signed char proxy = -1;                // attribute lookups are forwarded elsewhere
    signed char meta_hooks = -1;           // reading the class runs its metaclass's code
    signed char unsafe = -1;               // writing an instance would run program code
    signed char skip = -1;                 // the class part of is_subclass_for_skip
    signed char container = -1;            // a list or dict subclass of the program's
};

// Copies out what is cached for `t` (no code runs); false when nothing
// valid is.
bool cached_verdicts(PyTypeObject* t, TypeVerdicts& out);
// Stores `v` for `t`; may run code (it allocates), holds nothing across it.
void remember_verdicts(PyTypeObject* t, const TypeVerdicts& v);

// The full name cached for a callable with this project path, or empty.
Ref cached_name(PyObject* callable, PyObject* project_path);
void remember_name(PyObject* callable, const Ref& name, const Ref& project_path);

// ------------------------------------------ predicates (pickler_predicates.cpp)

// The verdicts for `t`, computed on first sight; false on error.
bool verdicts_for(PyTypeObject* t, TypeVerdicts& out);

int is_function_type(PyTypeObject* t);
int is_interpreter_type(PyTypeObject* t);
bool has_python_getattr(PyObject* obj);
bool lies_about_class(PyObject* obj);
int is_subclass_for_skip_impl(PyObject* obj);
int is_problematic_pickle_impl(PyObject* obj);
bool is_python_callable(PyObject* attr);
// Membership by identity: no __hash__ or __eq__ of a key is asked. 1 / 0, -1 on error.
int identity_member(PyObject* set, PyObject* key);
PyObject* static_getstate(PyObject* obj);

// ------------------------------------------ reductions (pickler_reductions.cpp)

Ref unpicklable_value(PyTypeObject* t, PyObject* funcs, PyObject* state);
Ref bare_unpicklable(PyTypeObject* t);
Ref standard_copyreg_reduction(PyObject* obj);
Ref exception_reduction(PyObject* obj);
Ref class_by_name(PyObject* cls);
Ref container_reduction(PyObject* obj);
Ref get_attributes_value_impl(PyObject* obj, PyObject* attributes);
Ref failure_reduce_impl(PyObject* obj);

// ------------------------------------------- stand-ins (pickler_standins.cpp)

// What the dispatch writes for a value it refuses (`reason`, one of
// tarn::stand_ins::Reason): a StandIn reduce value when
// CollectorSettings.stand_ins_for_refused is on, else empty without an error.
Ref refused_stand_in(PyObject* obj, int reason);
// Binds StandIn and adds the counts' capsule to the module.
bool add_stand_ins(PyObject* module);

// pickler.cpp
Ref callable_full_name(PyObject* obj);
bool raise_problematic(PyTypeObject* t, const char* why);


// ------------------------------------------- shared by pickler.cpp and pickler_module.cpp
inline constexpr const char* MODULE = "tarnwick_collector.data_serialization.pickler";

// The base pickler's dump for a pickler only this module sees (NULL
// `dump`): its dispatcher stays armed between dumps.
struct TarnApi {
    PyObject* (*dump_kept)(PyObject* pickler, PyObject* obj);
};
extern TarnApi* TP;

// Values written the same way every time: their bytes, made once.
struct Constants {
    Ref none, yes, no, empty_tuple, empty_dict, none_type;
    Ref builtins;  // the builtins module
    unsigned long long modules_version = 0, builtins_version = 0;
};
extern Constants& K;

extern PyMethodDef module_functions[], entry_functions[], wrap_methods[], safe_pickler_methods[],
    safe_pickler_static[], helpers_functions[];
extern PyModuleDef module_def;

}  // namespace safe_pickler
