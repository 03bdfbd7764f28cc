// The safe pickler's module: its collaborators bound at import, its
// classes and functions, and the constants every dump compares against.
#include "pickler_state.hpp"

#include <cstring>

namespace safe_pickler {

// ------------------------------------------------------------- module init

bool add(PyObject* m, const char* name, const Ref& obj) { return add_to_module(m, name, obj); }

Ref str(const char* text) { return Ref::steal(PyUnicode_InternFromString(text)); }


Ref set_of(std::initializer_list<PyObject*> items) {
    if (PyErr_Occurred()) return {};
    Ref set = Ref::steal(PySet_New(nullptr));
    if (!set) return {};
    for (PyObject* item : items)
        if (!item || PySet_Add(set.get(), item) < 0) return {};
    return set;
}


bool add_functions(PyObject* m, PyMethodDef* defs) {
    Ref modname = Ref::steal(PyModule_GetNameObject(m));
    if (!modname) return false;
    for (PyMethodDef* d = defs; d->ml_name; ++d) {
        Ref fn = Ref::steal(PyCFunction_NewEx(d, nullptr, modname.get()));
        if (!add(m, d->ml_name, fn)) return false;
    }
    return true;
}

bool bind_imports(PyObject* m) {
    for (const char* name : {"datetime", "uuid", "pathlib", "random", "os", "copyreg", "types",
                             "inspect"})
        if (!add(m, name, imp_module(name))) return false;
    if (!imp_module("tarnwick_collector.data_serialization.tarn_pickle")) return false;
    if (!add(m, "tarnwick_collector", imp_module("tarnwick_collector")))
        return false;
    Ref collections = imp_module("collections");
    Ref ordered = attr_of(collections, "OrderedDict");
    Ref defaultdict = attr_of(collections, "defaultdict");
    if (!add(m, "OrderedDict", ordered) || !add(m, "defaultdict", defaultdict)) return false;
    if (!add(m, "get_function_module",
             imp("tarnwick_common.name_extractor", "get_function_module")))
        return false;
    Ref wrappers = imp_module("tarnwick_common.utils.object_wrapper");
    B.object_wrapper_cls = attr_of(wrappers, "ObjectWrapper");
    B.module_wrapper_cls = attr_of(wrappers, "ModuleWrapper");
    B.unpicklable_cls = attr_of(wrappers, "UnpicklableObject");
    B.function_wrapper_cls = attr_of(wrappers, "FunctionWrapper");
    B.special_wrapper_cls = attr_of(wrappers, "SpecialWrapper");
    B.exception_wrapper_cls = attr_of(wrappers, "ExceptionWrapper");
    if (!add(m, "ObjectWrapper", B.object_wrapper_cls) ||
        !add(m, "ModuleWrapper", B.module_wrapper_cls) ||
        !add(m, "UnpicklableObject", B.unpicklable_cls) ||
        !add(m, "FunctionWrapper", B.function_wrapper_cls) ||
        !add(m, "SpecialWrapper", B.special_wrapper_cls) ||
        !add(m, "ExceptionWrapper", B.exception_wrapper_cls))
        return false;
    Ref introspector = imp("tarnwick_collector.data_collection.introspect", "Introspector");
    if (!add(m, "Introspector", introspector)) return false;
    B.extract_metadata = attr_of(introspector, "extract_function_metadata");
    B.get_function_full_name = imp("tarnwick_common.name_extractor", "get_function_full_name");
    B.replace_main =
        imp("tarnwick_collector.data_serialization.utils", "replace__main__with_real_name");
    if (!B.extract_metadata || !B.get_function_full_name || !B.replace_main) return false;
    if (!add(m, "MAIN_STR", imp("tarnwick_collector.data_serialization.utils", "MAIN_STR")) ||
        !add(m, "replace__main__with_real_name", B.replace_main))
        return false;
    B.problematic_exc = imp("tarnwick_collector.exceptions", "ProblematicPickleException");
    if (!add(m, "ProblematicPickleException", B.problematic_exc) ||
        !add(m, "CollectorSettings", Ref::borrow(C.settings())) ||
        !add(m, "Enum", imp("enum", "Enum")) ||
        !add(m, "Logger", imp("logging", "Logger")) ||
        !add(m, "cPickle", imp_module("_pickle")))
        return false;
    // yaml is optional.
    Ref has_yaml = Ref::borrow(Py_True);
    if (!add(m, "has_yaml", has_yaml)) return false;
    Ref yaml_c = imp_module("yaml._yaml");
    Ref yaml = yaml_c ? imp_module("yaml") : Ref();
    if (yaml) {
        if (!add(m, "yaml", yaml)) return false;
    } else {
        if (!swallow()) return false;
        if (PyObject_SetAttrString(m, "has_yaml", Py_False) < 0) return false;
    }
    B.bytes_io = imp("io", "BytesIO");
    if (!add(m, "BytesIO", B.bytes_io)) return false;
    for (const char* name : {"Any", "Dict", "List", "Tuple"})
        if (!add(m, name, imp("typing", name))) return false;
    if (!add(m, "BaseModel", imp("pydantic", "BaseModel"))) return false;
    B.used_attributes =
        imp("tarnwick_collector.data_collection.used_attributes_collector", "used_attributes");
    if (!add(m, "used_attributes", B.used_attributes)) return false;

    B.base_pickler = imp("tarnwick_collector.data_serialization.tarn_pickle", "Pickler");
    B.base_pickler_init = attr_of(B.base_pickler, "__init__");
    B.tarn_loads = imp("tarnwick_collector.data_serialization.tarn_pickle", "loads");
    TP = static_cast<TarnApi*>(
        PyCapsule_Import("tarnwick_collector.data_serialization.tarn_pickle._C_API", 0));
    if (!TP) return false;
    B.relpath = imp("os.path", "relpath");
    B.namespace_cls = imp("types", "SimpleNamespace");
    B.isroutine = imp("inspect", "isroutine");
    B.reconstructor = imp("copyreg", "_reconstructor");
    B.copyreg_newobj = imp("copyreg", "__newobj__");
    Ref environ = imp("os", "environ");
    if (environ) B.environ_type = Ref::steal(PyObject_Type(environ.get()));
    B.copyreg_dispatch = imp("copyreg", "dispatch_table");
    B.stdlib_names = imp("sys", "stdlib_module_names");
    B.sys_modules = imp("sys", "modules");
    B.builtin_module_names = imp("sys", "builtin_module_names");
    B.is_frozen = imp("_imp", "is_frozen");
    if (!PyErr_Occurred() && !bind_stdlib_dirs()) return false;
    B.metric_base = imp("tarnwick_collector.data_collection.metrics", "Metric");
    if (!PyErr_Occurred() && !loadclass()) return false;
    K.builtins = imp_module("builtins");
    B.dont_cache_kw = Ref::steal(PyTuple_Pack(2, S.dont_cache, S.collect_signature));
    B.safe_pickle_kwnames = Ref::steal(PyTuple_Pack(2, S.failure_reducer, S.special_cases));
    return B.base_pickler && B.base_pickler_init && B.tarn_loads && B.relpath && B.namespace_cls &&
           B.isroutine &&
           B.reconstructor && B.copyreg_newobj && B.environ_type && B.copyreg_dispatch &&
           B.stdlib_names && B.sys_modules && B.builtin_module_names && B.is_frozen &&
           B.metric_base && B.dont_cache_kw && B.safe_pickle_kwnames && B.loadclass && K.builtins;
}

bool bind_constants(PyObject* m) {
    Ref types = imp_module("types");
    Ref function_type = attr_of(types, "FunctionType");
    Ref method_descriptor = attr_of(types, "MethodDescriptorType");
    Ref method_type = attr_of(types, "MethodType");
    Ref builtin_function = attr_of(types, "BuiltinFunctionType");
    Ref builtin_method = attr_of(types, "BuiltinMethodType");
    B.functions_types = set_of({function_type.get(), method_descriptor.get(), method_type.get(),
                                builtin_function.get(), builtin_method.get()});
    B.method_types = set_of({method_descriptor.get(), method_type.get(), builtin_method.get()});
    if (!B.functions_types || !B.method_types) return false;
    for (const Ref* t : {&function_type, &method_descriptor, &method_type, &builtin_function,
                         &builtin_method})
        B.function_types.push_back(as_type(t->get()));  // the set keeps them alive
    for (const Ref* t : {&method_descriptor, &method_type, &builtin_method})
        B.method_type_list.push_back(as_type(t->get()));
    Ref continue_table = Ref::steal(PyDict_New());
    Ref session = Ref::steal(Py_BuildValue("[s]", "Session"));
    if (!continue_table || !session ||
        PyDict_SetItemString(continue_table.get(), "sqlalchemy.orm.session", session.get()) < 0)
        return false;
    B.types_to_continue = continue_table;
    return add(m, "DOT", Ref::borrow(S.dot)) && add(m, "DICT_DUNDER", Ref::borrow(S.dict_dunder)) &&
           add(m, "REDUCE_ALLOWED_QUAL_NAME", Ref::borrow(S.reduce_allowed_qual_name)) &&
           add(m, "REDUCE_ALLOWED_MODULE", Ref::borrow(S.reduce_allowed_module)) &&
           add(m, "TYPES_TO_CONTINUE_PICKLE_ON_ERROR", continue_table) &&
           add(m, "GET_INITARGS", Ref::borrow(S.get_initargs)) &&
           add(m, "GET_NEWARGS_EX", Ref::borrow(S.get_newargs_ex)) &&
           add(m, "GETNEWARGS", Ref::borrow(S.getnewargs)) &&
           add(m, "GETSTATE_STR", Ref::borrow(S.getstate)) &&
           add(m, "REDUCE_STR", Ref::borrow(S.reduce)) && add(m, "INIT_STR", Ref::borrow(S.init)) &&
           add(m, "FUNC_STR", Ref::borrow(S.func)) && add(m, "SELF_STR", Ref::borrow(S.self_str)) &&
           add(m, "GETATTR_STR", Ref::borrow(S.getattr_str)) &&
           add(m, "CODE_STR", Ref::borrow(S.code)) &&
           add(m, "CLASS_METHOD_DESCRIPTOR", Ref::borrow(S.classmethod_descriptor)) &&
           add(m, "BUILTIN_METHOD", Ref::borrow(S.builtin_method)) &&
           add(m, "FUNCTIONS_TYPES", B.functions_types) && add(m, "METHOD_TYPES", B.method_types) &&
           add(m, "_reconstructor", B.reconstructor) &&
           add(m, "EXTRACT_METADATA", B.extract_metadata) &&
           add(m, "FUNCTION_META_DATA_INDEX", Ref::steal(PyLong_FromLong(0)));
}

bool add_wrap_classes(PyObject* m) {
    for (const char* name : {"NewFuncWrap", "Wraper"}) {
        Ref cls = make_class(MODULE, name, nullptr, nullptr);
        if (!cls || !add_methods(cls.get(), wrap_methods) || !add(m, name, cls)) return false;
        (std::strcmp(name, "Wraper") == 0 ? B.wraper : B.new_func_wrap) = cls;
    }
    return true;
}

bool add_safe_pickler(PyObject* m) {
    Ref bases = Ref::steal(PyTuple_Pack(1, B.base_pickler.get()));
    if (!bases) return false;
    Ref cls = make_class(MODULE, "SafePickler", bases.get(),
                         "This class is a pickle.Pickler that overrides the default pickle reducer.");
    if (!cls || !add_methods(cls.get(), safe_pickler_methods) ||
        !add_static_methods(cls.get(), safe_pickler_static, m))
        return false;

    Ref datetime = imp_module("datetime");
    Ref collections = imp_module("collections");
    Ref types = imp_module("types");
    Ref random = imp_module("random");
    Ref pathlib = imp_module("pathlib");
    Ref inspect = imp_module("inspect");
    Ref uuid = imp_module("uuid");
    Ref own_function_type = Ref::steal(PyObject_Type(B.wrap_object.get()));
    std::vector<Ref> skip = {
        Ref::borrow(as_obj(&PyType_Type)), attr_of(datetime, "datetime"),
        Ref::borrow(as_obj(&PyBool_Type)), Ref::borrow(as_obj(&PyLong_Type)),
        Ref::borrow(as_obj(&PyFloat_Type)), Ref::borrow(as_obj(&PyBytes_Type)),
        Ref::borrow(as_obj(&PyUnicode_Type)), Ref::borrow(as_obj(&PyDict_Type)),
        Ref::borrow(as_obj(&PySet_Type)), Ref::borrow(as_obj(&PyFrozenSet_Type)),
        Ref::borrow(as_obj(&PyList_Type)), Ref::borrow(as_obj(&PyTuple_Type)),
        Ref::borrow(as_obj(&PyByteArray_Type)), own_function_type,
        attr_of(collections, "OrderedDict"), attr_of(collections, "defaultdict"),
        attr_of(types, "FunctionType"), attr_of(types, "MethodType"), attr_of(datetime, "time"),
        attr_of(datetime, "date"), attr_of(datetime, "timedelta"), attr_of(datetime, "tzinfo"),
        attr_of(datetime, "timezone"), attr_of(random, "Random"), attr_of(random, "SystemRandom"),
        attr_of(pathlib, "Path"), attr_of(pathlib, "PurePath"), attr_of(pathlib, "PurePosixPath"),
        attr_of(pathlib, "PosixPath"), attr_of(inspect, "FullArgSpec"), attr_of(uuid, "UUID")};
    B.types_to_skip = Ref::steal(PySet_New(nullptr));
    if (!B.types_to_skip) return false;
    for (const Ref& t : skip) {
        if (!t || PySet_Add(B.types_to_skip.get(), t.get()) < 0) return false;
        int fn = identity_member(B.functions_types.get(), t.get());
        if (fn < 0) return false;
        if (!fn) B.plain_types[as_type(t.get())] = true;
    }
    B.subclasses_to_skip =
        set_of({as_obj(&PyType_Type), as_obj(&PyUnicode_Type), imp("enum", "Enum").get(),
                imp("pydantic", "BaseModel").get(), PyExc_Exception});
    if (!B.subclasses_to_skip) return false;
    {
        Ref it = Ref::steal(PyObject_GetIter(B.subclasses_to_skip.get()));
        if (!it) return false;
        while (Ref base = Ref::steal(PyIter_Next(it.get())))
            B.skip_bases.push_back(as_type(base.get()));  // the set keeps them alive
        if (PyErr_Occurred()) return false;
    }
    B.full_names_to_run_functions = set_of({str("sqlalchemy.orm.decl_api.DeclarativeMeta.Base").get()});
    B.full_names_to_rebuild_functions_dict = Ref::steal(PyDict_New());
    if (!B.subclasses_to_skip || !B.full_names_to_run_functions ||
        !B.full_names_to_rebuild_functions_dict ||
        PyDict_SetItemString(B.full_names_to_rebuild_functions_dict.get(),
                             "sqlalchemy.orm.decl_api.DeclarativeMeta.Base",
                             str("sqlalchemy.ext.declarative.declarative_base").get()) < 0)
        return false;
    B.specific_type_for_magic_mock = set_of({imp("logging", "Logger").get()});
    if (!B.specific_type_for_magic_mock) return false;
    Ref has_yaml = Ref::steal(PyObject_GetAttrString(m, "has_yaml"));
    if (!has_yaml) return false;
    if (has_yaml.get() == Py_True) {
        Ref mark = imp("yaml._yaml", "Mark");
        if (!mark || PySet_Add(B.specific_type_for_magic_mock.get(), mark.get()) < 0) return false;
    }
    {
        Ref it = own(PyObject_GetIter(B.specific_type_for_magic_mock.get()));
        if (!it) return false;
        while (Ref t = own(PyIter_Next(it.get())))
            B.magic_mock_types.push_back(as_type(t.get()));  // the set keeps them alive
        if (PyErr_Occurred()) return false;
    }
    for (auto [name, value] : {std::pair{"types_to_skip", &B.types_to_skip},
                               {"subclasses_to_skip", &B.subclasses_to_skip},
                               {"full_names_to_run_functions", &B.full_names_to_run_functions},
                               {"full_names_to_rebuild_functions_dict",
                                &B.full_names_to_rebuild_functions_dict},
                               {"specific_type_for_magic_mock", &B.specific_type_for_magic_mock}})
        if (PyObject_SetAttrString(cls.get(), name, value->get()) < 0) return false;
    B.safe_pickler = cls;
    return add(m, "SafePickler", cls);
}

bool add_helpers(PyObject* m) {
    Ref cls = make_class(
        MODULE, "UnpicklableHelpers", nullptr,
        "This class contains functions to help with pickling objects that are generaly "
        "unpicklable. Its main functionality is the failure reducer that is being called when "
        "pickle fails to pickle an object.");
    if (!cls) return false;
    Ref modname = Ref::steal(PyModule_GetNameObject(m));
    if (!modname) return false;
    for (PyMethodDef* d = helpers_functions; d->ml_name; ++d) {
        Ref fn = Ref::steal(PyCFunction_NewEx(d, nullptr, modname.get()));
        if (!fn || PyObject_SetAttrString(cls.get(), d->ml_name, fn.get()) < 0) return false;
        if (std::strcmp(d->ml_name, "__reduce__") == 0) B.failure_reducer = fn;
        if (std::strcmp(d->ml_name, "special_cases") == 0) B.special_cases = fn;
    }
    return add(m, "UnpicklableHelpers", cls);
}

// The class-statement deallocator, to tell Python classes from C types.
bool find_python_class_dealloc() {
    Ref probe = make_class(MODULE, "_Probe", nullptr, nullptr);
    if (!probe) return false;
    B.python_class_dealloc = as_type(probe.get())->tp_dealloc;
    return true;
}

PyObject* init_module() {
    if (!S.create() || !C.bind()) return nullptr;
    Ref m = Ref::steal(PyModule_Create(&module_def));
    if (!m || !find_python_class_dealloc() || !bind_imports(m.get()) || !bind_constants(m.get()) ||
        !add_functions(m.get(), module_functions))
        return nullptr;
    B.wrap_object = Ref::steal(PyObject_GetAttrString(m.get(), "wrap_object"));
    B.wrap_module = Ref::steal(PyObject_GetAttrString(m.get(), "wrap_module"));
    B.wrap_function = Ref::steal(PyObject_GetAttrString(m.get(), "wrap_function"));
    B.wrap_exception = Ref::steal(PyObject_GetAttrString(m.get(), "wrap_exception"));
    if (!B.wrap_object || !B.wrap_module || !B.wrap_function || !B.wrap_exception) return nullptr;
    if (!add_wrap_classes(m.get()) || !add_safe_pickler(m.get()) || !add_helpers(m.get()) ||
        !add_functions(m.get(), entry_functions) || !add_stand_ins(m.get()))
        return nullptr;
    B.object_reduce = compat::type_lookup(&PyBaseObject_Type, S.reduce);
    B.object_reduce_ex = compat::type_lookup(&PyBaseObject_Type, S.reduce_ex);
    B.object_getstate = compat::type_lookup(&PyBaseObject_Type, S.getstate);
    B.object_class = compat::type_lookup(&PyBaseObject_Type, S.klass);
    B.type_getattribute = compat::type_lookup(&PyType_Type, S.getattribute);
    B.type_setattr = compat::type_lookup(&PyType_Type, S.setattr_str);
    Ref invocations = imp_module("tarnwick_collector.data_collection.invocations");
    if (!invocations) return nullptr;
    for (const char* name : {"FunctionMetadata", "ExternalFunctionMetadata", "UserFunctionMetadata",
                             "FunctionCall", "ExternalFunctionCall", "UserFunctionCall"}) {
        Ref cls = attr_of(invocations, name);
        if (!cls) return nullptr;
        B.own_types[as_type(cls.get())] = true;
        B.own_type_refs.push_back(std::move(cls));
    }
    return m.release();
}

}  // namespace safe_pickler

PyMODINIT_FUNC PyInit_pickler() {
    return tarn::guarded(safe_pickler::init_module);
}
