// The safe pickler: writes arbitrary user objects without running their own
// pickling code. Functions, modules, exceptions, partly used objects and
// objects that cannot be written are replaced by wrappers rebuilt by name.
#include "pickler_state.hpp"

#include <algorithm>
#include <cstring>

namespace safe_pickler {

Strings S;
Collector& C = leak<Collector>();
Bound& B = leak<Bound>();


// Bound at import, so that no dump pays for importing its module (tens of
// milliseconds) in the middle of a recorded call.
Ref loadclass() {
    if (!B.loadclass) B.loadclass = import_attr("jsonpickle.unpickler", "loadclass");
    return B.loadclass;
}

// -------------------------------------------------------- full names

// The dotted name a callable is written under. Names already worked out
// are cached per callable (pickler_caches.cpp): every record writes the same
// few functions (the wrap_* reconstructors among them) again and again. A
// name depends on the project path only through the main-module rewrite,
// so the path it was made with is kept beside it.
Ref compute_full_name(PyObject* target);

Ref callable_full_name(PyObject* obj) {
    Ref target = Ref::borrow(obj);
    // A class stands for its constructor, a method for its function; both
    // read statically, so no metaclass or property of the program runs.
    if (PyType_Check(target.get())) {
        target = static_attribute(target.get(), S.init);
        if (!target) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, S.init);
            return {};
        }
    }
    if (Ref func = static_value(target.get(), S.func)) target = std::move(func);
    Ref project = C.setting(S.project_path);
    if (!project) return {};
    if (Ref known = cached_name(target.get(), project.get())) return known;
    Ref name = compute_full_name(target.get());
    if (!name) return {};
    remember_name(target.get(), name, project);
    return name;
}

// The __main__ module's __file__ when it is a str; NULL without an error
// when there is none.
Ref main_module_file() {
    Ref module = Ref::steal(PyImport_GetModule(S.main));
    if (!module) return {};
    PyObject* dict = PyModule_Check(module.get()) ? PyModule_GetDict(module.get()) : nullptr;
    if (!dict) return {};
    PyObject* file = PyDict_GetItemWithError(dict, S.file);
    if (!file || !PyUnicode_CheckExact(file)) return {};
    return Ref::borrow(file);
}

Ref compute_full_name(PyObject* target_obj) {
    Ref target = Ref::borrow(target_obj);
    // Only the names are read: the signature is not worth computing.
    PyObject* argv[] = {target.get(), Py_True, Py_False};
    Ref meta = Ref::steal(PyObject_Vectorcall(B.extract_metadata.get(), argv, 1,
                                              B.dont_cache_kw.get()));
    if (!meta) return {};
    if (Py_IS_TYPE(meta.get(), &PyTuple_Type)) {
        if (PyTuple_GET_SIZE(meta.get()) < 1) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return {};
        }
        meta = Ref::borrow(PyTuple_GET_ITEM(meta.get(), 0));
    }
    Ref name = getattr(meta.get(), S.full_name);
    if (!name) return {};
    Ref module = getattr(meta.get(), S.module_name);
    if (!module) return {};
    int named = truthy(name.get());
    if (named < 0) return {};
    if (!named) {
        // Cached for an external non-candidate, which carries no name.
        name = call(B.get_function_full_name.get(), module.get(), target.get());
        if (!name) return {};
    }
    if (PyUnicode_Check(module.get()) && PyUnicode_Compare(module.get(), S.main) == 0) {
        Ref path = getattr(meta.get(), S.full_path);
        if (!path) return {};
        if (PyUnicode_Check(path.get()) && PyUnicode_Compare(path.get(), S.unknown_path) == 0) {
            // No code object (a class of the script): its file is the main
            // module's, read from the module dict so no program code runs.
            path = main_module_file();
            if (!path) return PyErr_Occurred() ? Ref{} : name;
        }
        Ref project = C.setting(S.project_path);
        if (!project) return {};
        Ref relative = call(B.relpath.get(), path.get(), project.get());
        if (!relative) return {};
        name = call(B.replace_main.get(), name.get(), relative.get());
    }
    return name;
}

Ref reduce_function_impl(PyObject* obj) {
    Ref load = loadclass();
    if (!load) return {};
    // By identity, or by the equality of the interpreter's own callables:
    // an __eq__ of the program's is never asked.
    for (PyObject* own : {load.get(), B.wraper.get(), B.new_func_wrap.get(), B.reconstructor.get(),
                          B.wrap_object.get(), B.unpicklable_cls.get()}) {
        if (obj == own) return not_implemented();
        if (Py_TYPE(obj) != Py_TYPE(own) || is_python_class(Py_TYPE(obj))) continue;
        int eq = PyObject_RichCompareBool(obj, own, Py_EQ);
        if (eq < 0) return {};
        if (eq) return not_implemented();
    }
    Ref name = callable_full_name(obj);
    if (!name) return {};
    return reduce_value1(load.get(), name.get());
}

// ----------------------------------------------------- dynamic rebuild

// The rebuild name for a class built by a known factory, or NULL without
// an error. `strict` raises where plain attribute access would.
Ref dynamic_rebuild_impl(PyObject* obj, PyObject* obj_type, bool strict) {
    if (obj_type != Py_None && !Py_IS_TYPE(obj_type, &PyType_Type)) {
        if (strict) check_exact_or_none(obj_type, &PyType_Type, "obj_type");
        return {};
    }
    Ref obj_name = static_value(obj, S.name);
    if (!obj_name) {
        if (strict) PyErr_SetObject(PyExc_AttributeError, S.name);
        return {};
    }
    Ref module = getattr(obj_type, S.module);
    if (!module) return {};
    Ref type_name = getattr(obj_type, S.name);
    if (!type_name) return {};
    Ref parts = Ref::steal(PyTuple_Pack(3, module.get(), type_name.get(), obj_name.get()));
    if (!parts) return {};
    Ref full = Ref::steal(PyUnicode_Join(S.dot, parts.get()));
    if (!full) return {};
    int member = PySet_Contains(B.full_names_to_run_functions.get(), full.get());
    if (member < 0) return {};
    if (!member) return none();
    Ref getter = getattr(B.full_names_to_rebuild_functions_dict.get(), S.get);
    if (!getter) return {};
    return call(getter.get(), full.get());
}

// ------------------------------------------------ used-attribute reduction

Ref reduce_used_attrs_impl(PyObject* obj, PyObject* attributes) {
    PyObject* obj_type = as_obj(Py_TYPE(obj));
    if (obj_type == as_obj(&PyModule_Type)) obj_type = B.module_wrapper_cls.get();
    Ref pair = get_attributes_value_impl(obj, attributes);
    if (!pair) return {};
    Ref args = make_tuple2(obj_type, PyTuple_GET_ITEM(pair.get(), 1));
    if (!args) return {};
    return make_tuple3(B.wrap_object.get(), args.get(), PyTuple_GET_ITEM(pair.get(), 0));
}

// ---------------------------------------------------------- dispatch

bool raise_problematic(PyTypeObject* t, const char* why) {
    Ref text = type_text(t);
    if (!text) return false;
    Ref msg = Ref::steal(PyUnicode_FromFormat("'%U' cant be pickled because %s", text.get(), why));
    if (msg) PyErr_SetObject(B.problematic_exc.get(), msg.get());
    return false;
}

Ref reducer_override_impl(PyObject* self, PyObject* obj) {
    PyTypeObject* obj_type = Py_TYPE(obj);
    // Containers, atoms and the other always-plain types.
    if (B.plain_types.count(obj_type)) return not_implemented();

    int fn = is_function_type(obj_type);
    if (fn < 0) return {};
    if (fn) return reduce_function_impl(obj);

    if (Ref name = dynamic_rebuild_impl(obj, as_obj(obj_type), false)) {
        int t = truthy(name.get());
        if (t > 0) return reduce_value1(B.wrap_function.get(), name.get());
        if (t < 0 && !swallow()) return {};
    } else if (PyErr_Occurred() && !swallow()) {
        return {};
    }

    TypeVerdicts facts;
    if (!verdicts_for(obj_type, facts)) return {};
    // Writing these would run the program's code: a proxy's referent, a
    // class that answers __class__ itself, a metaclass's properties or
    // attribute hooks, a property over a slot.
    if (facts.unsafe) return bare_unpicklable(obj_type);
    if (PyType_Check(obj)) {
        TypeVerdicts of_class;
        if (!verdicts_for(as_type(obj), of_class)) return {};
        if (of_class.meta_hooks) return class_by_name(obj);
    }

    int skip = is_subclass_for_skip_impl(obj);
    if (skip < 0) return {};
    if (skip) return not_implemented();

    if (PyType_IsSubtype(obj_type, as_type(PyExc_Exception)) && !has_python_getattr(obj)) {
        if (Ref value = exception_reduction(obj)) return value;
        if (!swallow()) return {};
    }

    if (PyModule_Check(obj)) {
        Ref name = own(PyModule_GetNameObject(obj));
        return name ? reduce_value1(B.wrap_module.get(), name.get()) : Ref();
    }

    if (!PyType_Check(obj) && !B.own_types.count(obj_type) &&
        !PyType_IsSubtype(obj_type, as_type(B.metric_base.get()))) {
        Ref wrap = getattr(self, S.object_wrapper);
        if (!wrap) return {};
        int on = truthy(wrap.get());
        if (on < 0) return {};
        if (on) {
            Ref id = Ref::steal(PyLong_FromVoidPtr(obj));
            if (!id) return {};
            Ref used;
            if (PyDict_CheckExact(B.used_attributes.get())) {
                used = Ref::borrow(PyDict_GetItemWithError(B.used_attributes.get(), id.get()));
                if (!used) {
                    if (PyErr_Occurred()) return {};
                    used = none();
                }
            } else {
                used = call_method(B.used_attributes.get(), S.get, id.get());
            }
            if (!used) return {};
            if (used.get() != Py_None) return reduce_used_attrs_impl(obj, used.get());
        }
    }

    if (std::find(B.magic_mock_types.begin(), B.magic_mock_types.end(), obj_type) !=
        B.magic_mock_types.end()) {
        Ref empty_funcs = Ref::steal(PyDict_New());
        Ref empty_state = Ref::steal(PyDict_New());
        if (!empty_funcs || !empty_state) return {};
        Ref args = make_tuple2(as_obj(obj_type), empty_funcs.get());
        return args ? make_tuple3(B.wrap_object.get(), args.get(), empty_state.get()) : Ref();
    }

    // The interpreter's and the standard library's own values: their
    // pickling code is not the user's.
    if (facts.standard) return standard_copyreg_reduction(obj);

    if (has_python_getattr(obj)) {
        if (Ref stand_in = refused_stand_in(obj, tarn::stand_ins::ATTRIBUTE_HOOKS)) return stand_in;
        if (PyErr_Occurred()) return {};
        raise_problematic(obj_type, "it has __getattr__ method");
        return {};
    }
    int problematic = is_problematic_pickle_impl(obj);
    if (problematic < 0) return {};
    if (problematic) {
        if (Ref stand_in = refused_stand_in(obj, tarn::stand_ins::PICKLING_METHODS)) return stand_in;
        if (PyErr_Occurred()) return {};
        raise_problematic(obj_type, "it has one of the pickle methods");
        return {};
    }
    // The ordinary route would read a list or dict subclass through its
    // own __iter__ or items().
    if (facts.container) return container_reduction(obj);
    return not_implemented();
}

// ------------------------------------------------ failure reducer helper

int should_use_getattr_impl(PyObject* obj, PyObject* prop, PyObject* object_dir,
                            PyObject* class_dir) {
    for (PyObject* listing : {object_dir, class_dir}) {
        int has = PySequence_Contains(listing, S.dict_dunder);
        if (has <= 0) return has < 0 ? -1 : 1;
    }
    Ref klass = getattr(obj, S.klass);
    if (!klass) return -1;
    Ref class_dict = getattr(klass.get(), S.dict_dunder);
    if (!class_dict) return -1;
    int in_class = PySequence_Contains(class_dict.get(), prop);
    if (in_class <= 0) return in_class < 0 ? -1 : 1;
    Ref inst_dict = getattr(obj, S.dict_dunder);
    if (!inst_dict) return -1;
    int in_inst = PySequence_Contains(inst_dict.get(), prop);
    if (in_inst != 0) return in_inst < 0 ? -1 : 1;
    Ref from_class = Ref::steal(PyObject_GetItem(class_dict.get(), prop));
    if (!from_class) return -1;
    if (PyObject_TypeCheck(from_class.get(), &PyProperty_Type)) return 1;
    Ref routine = call(B.isroutine.get(), from_class.get());
    return routine ? truthy(routine.get()) : -1;
}

// --------------------------------------------------- Python entry points

constexpr int FK = FASTCALL_KEYWORDS;

template <std::size_t N, class F>
PyObject* with_args(Params<N>& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, F&& body) {
    std::array<PyObject*, N> a;
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    return guarded([&] { return body(a).release(); });
}

Params<1> method_params{"is_classmethod", {"method"}, 1};
PyObject* py_is_classmethod(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return with_args(method_params, args, nargs, kw, [](auto& a) {
        Ref self = Ref::steal(PyObject_GetAttr(a[0], S.self_str));
        if (!self) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
            PyErr_Clear();
            return Ref::borrow(Py_False);
        }
        return Ref::borrow(PyType_Check(self.get()) ? Py_True : Py_False);
    });
}

Params<2> wrap_object_params{"wrap_object", {"cls", "funcs"}, 2};
PyObject* py_wrap_object(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return with_args(wrap_object_params, args, nargs, kw,
                     [](auto& a) { return call(B.object_wrapper_cls.get(), a[0], a[1]); });
}

Params<1> full_name_params{"wrap_module", {"full_name"}, 1};
PyObject* py_wrap_module(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return with_args(full_name_params, args, nargs, kw,
                     [](auto& a) { return call(B.module_wrapper_cls.get(), a[0]); });
}

Params<1> wrap_function_params{"wrap_function", {"full_name"}, 1};
PyObject* py_wrap_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return with_args(wrap_function_params, args, nargs, kw,
                     [](auto& a) { return call(B.special_wrapper_cls.get(), a[0]); });
}

Params<3> wrap_exception_params{
    "wrap_exception", {"exception_full_name", "exception_args", "exception_dunder_dict"}, 3};
PyObject* py_wrap_exception(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return with_args(wrap_exception_params, args, nargs, kw, [](auto& a) {
        if (!check_exact_or_none(a[0], &PyUnicode_Type, "exception_full_name")) return Ref();
        return call(B.exception_wrapper_cls.get(), a[0], a[1], a[2]);
    });
}

Params<2> attributes_params{"get_attributes_value", {"obj", "attributes"}, 2};
PyObject* py_get_attributes_value(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kw) {
    return with_args(attributes_params, args, nargs, kw,
                     [](auto& a) { return get_attributes_value_impl(a[0], a[1]); });
}

Params<1> obj_params{"is_obj_python_based", {"obj"}, 1};
PyObject* py_is_obj_python_based(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kw) {
    return with_args(obj_params, args, nargs, kw, [](auto& a) {
        return Ref::borrow(has_static(a[0], S.code) ? Py_True : Py_False);
    });
}

Params<1> getattr_params{"obj_has_getattr_that_is_python_based", {"obj"}, 1};
PyObject* py_obj_has_python_getattr(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
    return with_args(getattr_params, args, nargs, kw, [](auto& a) {
        return Ref::borrow(has_python_getattr(a[0]) ? Py_True : Py_False);
    });
}

// NewFuncWrap / Wraper: a name that loads back as the object it names.
Params<1> name_params{"__init__", {"name"}, 1};
PyObject* wrap_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return with_args(name_params, args, nargs, kw, [self](auto& a) {
        return PyObject_SetAttr(self, S.name_attr, a[0]) < 0 ? Ref() : none();
    });
}

PyObject* wrap_reduce(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
    if (!no_args("__reduce__", nargs, kw)) return nullptr;
    return guarded([self] {
        Ref load = loadclass();
        Ref name = load ? getattr(self, S.name_attr) : Ref();
        return name ? reduce_value1(load.get(), name.get()).release() : nullptr;
    });
}

// SafePickler(object_wrapper, *args, **kwargs)
PyObject* safe_pickler_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* object_wrapper = nargs > 0 ? args[0] : nullptr;
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        std::vector<PyObject*> rest{self};
        Ref rest_names = Ref::steal(PyList_New(0));
        if (!rest_names) return nullptr;
        for (Py_ssize_t i = 1; i < nargs; ++i) rest.push_back(args[i]);
        std::vector<PyObject*> rest_kw;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Compare(key, S.object_wrapper) == 0 && !object_wrapper) {
                object_wrapper = args[nargs + k];
                continue;
            }
            if (PyErr_Occurred()) return nullptr;
            rest_kw.push_back(args[nargs + k]);
            if (PyList_Append(rest_names.get(), key) < 0) return nullptr;
        }
        if (!object_wrapper) {
            PyErr_SetString(PyExc_TypeError,
                            "__init__() missing 1 required positional argument: 'object_wrapper'");
            return nullptr;
        }
        if (PyObject_SetAttr(self, S.object_wrapper, object_wrapper) < 0) return nullptr;
        Py_ssize_t npos = static_cast<Py_ssize_t>(rest.size());
        rest.insert(rest.end(), rest_kw.begin(), rest_kw.end());
        Ref names = Ref::steal(PyList_AsTuple(rest_names.get()));
        if (!names) return nullptr;
        Ref done = Ref::steal(PyObject_Vectorcall(B.base_pickler_init.get(), rest.data(), npos,
                                                  rest_kw.empty() ? nullptr : names.get()));
        if (!done) return nullptr;
        Ref table = Ref::steal(PyDict_New());
        if (!table || PyObject_SetAttr(self, S.dispatch_table, table.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    });
}

Params<1> reducer_params{"reducer_override", {"obj"}, 1};
PyObject* safe_pickler_reducer_override(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kw) {
    if (nargs == 1 && !kw) return guarded([&] { return reducer_override_impl(self, args[0]).release(); });
    return with_args(reducer_params, args, nargs, kw,
                     [self](auto& a) { return reducer_override_impl(self, a[0]); });
}

Params<1> type_params{"obj_type", {"obj_type"}, 1};
PyObject* safe_pickler_is_obj_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kw) {
    return with_args(type_params, args, nargs, kw, [](auto& a) {
        int member = identity_member(B.functions_types.get(), a[0]);
        if (member < 0) return Ref();
        if (!member) {
            // A class's text without its metaclass's __str__ or __repr__.
            Ref text = Ref::steal(PyType_Check(a[0]) ? type_text(as_type(a[0])).release()
                                                     : PyObject_Str(a[0]));
            if (!text) return Ref();
            for (PyObject* needle : {S.classmethod_descriptor, S.builtin_method}) {
                Py_ssize_t at = PyUnicode_Find(text.get(), needle, 0, PY_SSIZE_T_MAX, 1);
                if (at == -2) return Ref();
                if (at >= 0) member = 1;
            }
        }
        return Ref::borrow(member ? Py_True : Py_False);
    });
}

PyObject* safe_pickler_is_type_to_skip(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kw) {
    return with_args(type_params, args, nargs, kw, [](auto& a) {
        int member = identity_member(B.types_to_skip.get(), a[0]);
        return member < 0 ? Ref() : Ref::borrow(member ? Py_True : Py_False);
    });
}

PyObject* safe_pickler_is_magic_mock_type(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kw) {
    return with_args(type_params, args, nargs, kw, [](auto& a) {
        int member = identity_member(B.specific_type_for_magic_mock.get(), a[0]);
        return member < 0 ? Ref() : Ref::borrow(member ? Py_True : Py_False);
    });
}

PyObject* safe_pickler_is_subclass_for_skip(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kw) {
    return with_args(obj_params, args, nargs, kw, [](auto& a) {
        int r = is_subclass_for_skip_impl(a[0]);
        return r < 0 ? Ref() : Ref::borrow(r ? Py_True : Py_False);
    });
}

PyObject* safe_pickler_is_problematic(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kw) {
    return with_args(obj_params, args, nargs, kw, [](auto& a) {
        int r = is_problematic_pickle_impl(a[0]);
        return r < 0 ? Ref() : Ref::borrow(r ? Py_True : Py_False);
    });
}

PyObject* safe_pickler_reduce_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kw) {
    return with_args(obj_params, args, nargs, kw,
                     [](auto& a) { return reduce_function_impl(a[0]); });
}

Params<2> rebuild_params{"get_dynamic_rebuild_function", {"obj", "obj_type"}, 2};
PyObject* safe_pickler_dynamic_rebuild(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kw) {
    return with_args(rebuild_params, args, nargs, kw,
                     [](auto& a) { return dynamic_rebuild_impl(a[0], a[1], true); });
}

PyObject* safe_pickler_reduce_used_attrs(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kw) {
    return with_args(attributes_params, args, nargs, kw,
                     [](auto& a) { return reduce_used_attrs_impl(a[0], a[1]); });
}

PyObject* helpers_get_full_name(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kw) {
    return with_args(obj_params, args, nargs, kw,
                     [](auto& a) { return callable_full_name(a[0]); });
}

Params<4> use_getattr_params{
    "should_use_getattr", {"obj", "obj_property", "object_dir", "class_dir"}, 4};
PyObject* helpers_should_use_getattr(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kw) {
    return with_args(use_getattr_params, args, nargs, kw, [](auto& a) {
        int r = should_use_getattr_impl(a[0], a[1], a[2], a[3]);
        return r < 0 ? Ref() : Ref::borrow(r ? Py_True : Py_False);
    });
}

PyObject* helpers_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return with_args(obj_params, args, nargs, kw,
                     [](auto& a) { return failure_reduce_impl(a[0]); });
}

PyObject* helpers_special_cases(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kw) {
    return with_args(obj_params, args, nargs, kw, [](auto& a) {
        Ref name, module;
        if (PyType_Check(a[0])) {
            // Read as the class statement stored them: no metaclass code.
            name = static_attribute(a[0], S.name);
            module = type_module(as_type(a[0]));
            if (!name || !module) return PyErr_Occurred() ? Ref() : Ref::borrow(Py_False);
        } else {
            name = getattr(a[0], S.name);
            module = name ? getattr(a[0], S.module) : Ref();
            if (!module) return Ref();
        }
        Ref empty = Ref::steal(PyList_New(0));
        Ref names = empty ? call_method(B.types_to_continue.get(), S.get, module.get(), empty.get())
                          : Ref();
        if (!names) return Ref();
        int has = PySequence_Contains(names.get(), name.get());
        return has < 0 ? Ref() : Ref::borrow(has ? Py_True : Py_False);
    });
}

Params<2> safe_pickle_params{"safe_pickle", {"obj", "object_wrapper"}, 1};

// One pickler kept for reuse: a recorded call writes a dozen small values,
// and making a pickler and a buffer for each costs more than writing them.
// Its output goes to a list (the C pickler hands over its bytes whole, or
// in large frames); a dump that starts while it is busy (another thread, or
// a nested dump) gets a pickler of its own.
struct Reusable {
    Ref pickler;
    Ref dump;  // its bound method
    Ref chunks;  // list receiving the writes
    Ref object_wrapper;  // the flag it was last given
    bool busy = false;
};
Reusable& R = leak<Reusable>();

Ref make_pickler(PyObject* object_wrapper, PyObject* file) {
    PyObject* argv[] = {object_wrapper, file, B.failure_reducer.get(), B.special_cases.get()};
    return Ref::steal(
        PyObject_Vectorcall(B.safe_pickler.get(), argv, 2, B.safe_pickle_kwnames.get()));
}

// A file whose write is chunks.append.
Ref list_file(const Ref& chunks) {
    Ref append = getattr(chunks.get(), S.append);
    Ref ns = append ? Ref::steal(PyDict_New()) : Ref();
    if (!ns || PyDict_SetItem(ns.get(), S.write, append.get()) < 0) return {};
    Ref no_args = Ref::steal(PyTuple_New(0));
    return no_args ? Ref::steal(PyObject_Call(B.namespace_cls.get(), no_args.get(), ns.get()))
                   : Ref();
}

Ref joined(PyObject* chunks) {
    Py_ssize_t n = PyList_GET_SIZE(chunks);
    if (n == 1 && PyBytes_CheckExact(PyList_GET_ITEM(chunks, 0)))
        return Ref::borrow(PyList_GET_ITEM(chunks, 0));
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    return empty ? Ref::steal(_PyBytes_Join(empty.get(), chunks)) : Ref();
}

// A dump's memo is replaced by a new one rather than cleared: the C pickler
// never shrinks its table, and clearing costs the whole table (as large as
// the largest dump so far) at every dump, a new one only what this dump
// used. Made from an empty dict of ours, which nothing else sees.
bool empty_memo(PyObject* pickler) {
    static PyObject* const empty = PyDict_New();
    if (!empty) return bool(PyErr_NoMemory());
    return PyObject_SetAttr(pickler, S.memo, empty) == 0;
}

TarnApi* TP = nullptr;

// Runs one dump into `chunks` and returns its bytes. The memo and the
// chunks are emptied afterwards, failed or not, so a kept pickler holds on
// to nothing of the program's.
Ref dump_into(PyObject* pickler, PyObject* dump, PyObject* chunks,
              PyObject* obj) {
    Ref done = dump ? call(dump, obj) : own(TP->dump_kept(pickler, obj));
    Ref data = done ? joined(chunks) : Ref();
    HeldError failure;
    bool emptied = empty_memo(pickler) &&
                   PyList_SetSlice(chunks, 0, PY_SSIZE_T_MAX, nullptr) == 0;
    if (!data) {
        failure.restore();
        return {};
    }
    return emptied ? data : Ref();
}

Ref dump_with(PyObject* pickler, PyObject* chunks, PyObject* obj) {
    Ref dump = getattr(pickler, S.dump);
    return dump ? dump_into(pickler, dump.get(), chunks, obj) : Ref();
}

// Values written the same way every time (every call records an exception
// of type(None), most have no keyword arguments and load no globals): their
// bytes are made by the ordinary route once, then handed out.
Constants& K = leak<Constants>();

// type(None) is written as a call of builtins.type: valid while that is
// still what the name finds.
bool builtins_type_unchanged() {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* dict = PyModule_GetDict(K.builtins.get());
    unsigned long long mv = compat::dict_version(modules), bv = compat::dict_version(dict);
    if (mv && bv && mv == K.modules_version && bv == K.builtins_version) return true;
    PyObject* module = PyDict_GetItemWithError(modules, S.builtins);
    PyObject* type = module == K.builtins.get() ? PyDict_GetItemWithError(dict, S.type_name) : nullptr;
    if (PyErr_Occurred()) PyErr_Clear();
    if (type != as_obj(&PyType_Type)) return false;
    K.modules_version = mv, K.builtins_version = bv;
    return true;
}

Ref* constant_slot(PyObject* obj) {
    if (obj == Py_None) return &K.none;
    if (obj == Py_True) return &K.yes;
    if (obj == Py_False) return &K.no;
    if (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) == 0) return &K.empty_tuple;
    if (PyDict_CheckExact(obj) && PyDict_GET_SIZE(obj) == 0) return &K.empty_dict;
    if (obj == as_obj(Py_TYPE(Py_None)) && K.builtins && builtins_type_unchanged())
        return &K.none_type;
    return nullptr;
}

Ref safe_pickle_fresh(PyObject* obj, PyObject* object_wrapper);

Ref safe_pickle_impl(PyObject* obj, PyObject* object_wrapper) {
    Ref* slot = constant_slot(obj);
    if (!slot) return safe_pickle_fresh(obj, object_wrapper);
    if (*slot) return *slot;
    Ref data = safe_pickle_fresh(obj, object_wrapper);
    if (data && PyBytes_CheckExact(data.get())) *slot = data;
    return data;
}

Ref safe_pickle_fresh(PyObject* obj, PyObject* object_wrapper) {
    if (R.busy) {
        Ref chunks = Ref::steal(PyList_New(0));
        Ref file = chunks ? list_file(chunks) : Ref();
        Ref pickler = file ? make_pickler(object_wrapper, file.get()) : Ref();
        return pickler ? dump_with(pickler.get(), chunks.get(), obj) : Ref();
    }
    if (!R.pickler) {
        Ref chunks = Ref::steal(PyList_New(0));
        Ref file = chunks ? list_file(chunks) : Ref();
        Ref pickler = file ? make_pickler(object_wrapper, file.get()) : Ref();
        Ref dump = pickler ? getattr(pickler.get(), S.dump) : Ref();
        if (!dump) return {};
        R.pickler = pickler, R.chunks = chunks, R.object_wrapper = Ref::borrow(object_wrapper);
        R.dump = dump;
    } else if (R.object_wrapper.get() != object_wrapper) {
        if (PyObject_SetAttr(R.pickler.get(), S.object_wrapper, object_wrapper) < 0) return {};
        R.object_wrapper = Ref::borrow(object_wrapper);
    }
    Ref pickler = R.pickler, chunks = R.chunks;
    R.busy = true;
    Ref data = dump_into(pickler.get(), nullptr, chunks.get(), obj);
    R.busy = false;
    return data;
}

PyObject* py_safe_pickle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return with_args(safe_pickle_params, args, nargs, kw,
                     [](auto& a) { return safe_pickle_impl(a[0], a[1] ? a[1] : Py_True); });
}

Params<1> loads_params{"safe_pickle_loads", {"data"}, 1};
PyObject* py_safe_pickle_loads(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kw) {
    return with_args(loads_params, args, nargs, kw, [](auto& a) {
        Ref value = call(B.tarn_loads.get(), a[0]);
        if (value || !swallow()) return value;
        return none();
    });
}

// For the direct writer of values (data_collection/value_bytes.cpp): the
// same answers the dispatch gives, for the types it writes as functions.
PyObject* py_is_function_type(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return with_args(type_params, args, nargs, kw, [](auto& a) {
        if (!PyType_Check(a[0]) || B.plain_types.count(as_type(a[0]))) return Ref::borrow(Py_False);
        int fn = is_function_type(as_type(a[0]));
        return fn < 0 ? Ref() : Ref::borrow(fn ? Py_True : Py_False);
    });
}

PyObject* py_function_reduction(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return with_args(obj_params, args, nargs, kw,
                     [](auto& a) { return reduce_function_impl(a[0]); });
}

PyMethodDef module_functions[] = {
    {"_is_function_type", as_method(py_is_function_type), FK,
     "Whether the safe pickler writes values of this type as functions."},
    {"_function_reduction", as_method(py_function_reduction), FK,
     "The safe pickler's reduce value for a function, method or builtin."},
    {"is_classmethod", as_method(py_is_classmethod), FK, nullptr},
    {"wrap_object", as_method(py_wrap_object), FK, nullptr},
    {"wrap_module", as_method(py_wrap_module), FK, nullptr},
    {"wrap_function", as_method(py_wrap_function), FK, nullptr},
    {"wrap_exception", as_method(py_wrap_exception), FK, nullptr},
    {"get_attributes_value", as_method(py_get_attributes_value), FK, nullptr},
    {"is_obj_python_based", as_method(py_is_obj_python_based), FK, nullptr},
    {"obj_has_getattr_that_is_python_based", as_method(py_obj_has_python_getattr), FK,
     nullptr},
    {}};

PyMethodDef entry_functions[] = {
    {"safe_pickle", as_method(py_safe_pickle), FK,
     "This function performs pickle without calling pickle_methods so we can avoid changes to "
     "the user code behavior."},
    {"safe_pickle_loads", as_method(py_safe_pickle_loads), FK,
     "Load safely pickled bytes; None when they cannot be loaded."},
    {}};

PyMethodDef wrap_methods[] = {
    {"__init__", as_method(wrap_init), FK, nullptr},
    {"__reduce__", as_method(wrap_reduce), FK, nullptr},
    {}};

PyMethodDef safe_pickler_methods[] = {
    {"__init__", as_method(safe_pickler_init), FK, nullptr},
    {"reducer_override", as_method(safe_pickler_reducer_override), FK,
     "Decide how one object is written: NotImplemented, a reduce value, or a refusal."},
    {"is_obj_function", as_method(safe_pickler_is_obj_function), FK, nullptr},
    {"is_obj_type_to_skip", as_method(safe_pickler_is_type_to_skip), FK, nullptr},
    {"is_obj_type_specific_type_for_magic_mock", as_method(safe_pickler_is_magic_mock_type),
     FK, nullptr},
    {"is_problematic_pickle", as_method(safe_pickler_is_problematic), FK, nullptr},
    {"reduce_function", as_method(safe_pickler_reduce_function), FK, nullptr},
    {"get_dynamic_rebuild_function", as_method(safe_pickler_dynamic_rebuild), FK, nullptr},
    {"reduce_used_attrs", as_method(safe_pickler_reduce_used_attrs), FK, nullptr},
    {}};

PyMethodDef safe_pickler_static[] = {
    {"is_subclass_for_skip", as_method(safe_pickler_is_subclass_for_skip), FK, nullptr}, {}};

// Called through the class or passed around as plain functions.
PyMethodDef helpers_functions[] = {
    {"get_full_name", as_method(helpers_get_full_name), FK,
     "This fucntion return the full name of an object."},
    {"should_use_getattr", as_method(helpers_should_use_getattr), FK, nullptr},
    {"__reduce__", as_method(helpers_reduce), FK,
     "The failure reducer: an UnpicklableObject in place of an object that cannot be written."},
    {"special_cases", as_method(helpers_special_cases), FK, nullptr},
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "pickler",
                          "A pickler that never runs the user's own pickling code.", -1, nullptr};

}  // namespace safe_pickler
