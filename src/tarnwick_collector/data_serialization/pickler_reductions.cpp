// Reduce values the safe pickler builds itself, from what it reads
// statically: stand-ins, exceptions, classes written by name, list and dict
// subclasses from their C-level contents, recorded attribute use, and the
// failure reducer's UnpicklableObject.
#include "pickler_state.hpp"

#include <frameobject.h>

namespace safe_pickler {

namespace {

bool is_method_type(PyTypeObject* t) {
    for (PyTypeObject* m : B.method_type_list)
        if (t == m) return true;
    return false;
}

// The __self__ a method-like value is bound to, read from its struct.
PyObject* bound_self(PyObject* value) {
    if (PyMethod_Check(value)) return PyMethod_GET_SELF(value);
    if (PyCFunction_Check(value)) return PyCFunction_GET_SELF(value);
    return nullptr;
}

// The instance dict, or None when empty, paired with the slot values as
// the interpreter's own reduction states them.
Ref instance_state(PyObject* obj) {
    PyObject** slot = compat::instance_dict_ptr(obj);
    Ref dict = Ref::borrow(slot ? *slot : nullptr);
    Ref state = dict && PyDict_Check(dict.get()) && PyDict_GET_SIZE(dict.get()) ? dict : none();
    std::vector<Ref> names;
    if (!slot_names(Py_TYPE(obj), names) || names.empty()) return state;
    Ref slots = own(PyDict_New());
    if (!slots) return {};
    for (const Ref& name : names) {
        Ref value = static_attribute(obj, name.get());
        if (!value) {
            if (PyErr_Occurred()) return {};
            continue;
        }
        if (PyDict_SetItem(slots.get(), name.get(), value.get()) < 0) return {};
    }
    if (!PyDict_GET_SIZE(slots.get())) return state;
    return make_tuple2(state.get(), slots.get());
}

bool is_interpreter_internal(PyTypeObject* t) {
    return t == &PyGen_Type || t == &PyCoro_Type || t == &PyAsyncGen_Type ||
           t == &PyFrame_Type || t == &PyTraceBack_Type || t == &PyCode_Type ||
           t == &PyCell_Type;
}

// Generators, frames and the like reach the caller's frames, module globals
// and builtins; only their names are kept.
Ref bounded_internal_value(PyObject* obj) {
    Ref state = Ref::steal(PyDict_New());
    Ref funcs = Ref::steal(PyDict_New());
    if (!state || !funcs) return {};
    for (PyObject* key : {S.name, S.qualname}) {
        Ref value = static_value(obj, key);
        if (value && PyUnicode_CheckExact(value.get()) &&
            PyDict_SetItem(state.get(), key, value.get()) < 0)
            return {};
    }
    return unpicklable_value(Py_TYPE(obj), funcs.get(), state.get());
}

// FunctionWrapper for a bound method, named by its function or else by what
// its class holds under the method's name. Empty without an error when
// neither name can be derived.
Ref function_wrapper_for(PyObject* method) {
    Ref func = Ref::borrow(PyMethod_GET_FUNCTION(method));
    Ref name = callable_full_name(func.get());
    if (name) return call(B.function_wrapper_cls.get(), name.get());
    if (!swallow()) return {};
    Ref self = Ref::borrow(PyMethod_GET_SELF(method));
    Ref method_name = static_value(func.get(), S.name);
    if (!method_name || !PyUnicode_Check(method_name.get())) return {};
    Ref unbound = static_attribute(as_obj(Py_TYPE(self.get())), method_name.get());
    if (!unbound) return {};
    if (PyMethod_Check(unbound.get())) unbound = Ref::borrow(PyMethod_GET_FUNCTION(unbound.get()));
    name = callable_full_name(unbound.get());
    if (name) return call(B.function_wrapper_cls.get(), name.get());
    swallow();
    return {};
}

bool is_dunder_skipped(PyObject* name) {
    if (PyUnicode_Tailmatch(name, S.dunder, 0, 2, -1) != 1) return false;
    return PyUnicode_Compare(name, S.enter) != 0 && PyUnicode_Compare(name, S.exit) != 0;
}

bool looks_like_routine(PyObject* attr) {
    PyTypeObject* at = Py_TYPE(attr);
    return PyCFunction_Check(attr) || PyMethod_Check(attr) ||
           (at->tp_descr_get && !at->tp_descr_set);
}

}  // namespace

Ref unpicklable_value(PyTypeObject* t, PyObject* funcs, PyObject* state) {
    Ref text = type_text(t);
    if (!text) return {};
    Ref args = make_tuple2(text.get(), funcs);
    return args ? make_tuple3(B.unpicklable_cls.get(), args.get(), state) : Ref();
}

Ref bare_unpicklable(PyTypeObject* t) {
    Ref funcs = Ref::steal(PyDict_New());
    Ref state = Ref::steal(PyDict_New());
    return funcs && state ? unpicklable_value(t, funcs.get(), state.get()) : Ref();
}

// A standard reducer registered for a standard type (types.UnionType) is
// the interpreter's own code; a user's registration is never consulted.
Ref standard_copyreg_reduction(PyObject* obj) {
    Ref reducer = Ref::borrow(
        PyDict_GetItemWithError(B.copyreg_dispatch.get(), as_obj(Py_TYPE(obj))));
    if (!reducer) return PyErr_Occurred() ? Ref() : not_implemented();
    Ref mod = static_value(reducer.get(), S.module);
    if (!mod || !PyUnicode_Check(mod.get())) return not_implemented();
    int standard = module_is_standard(mod.get(), !PyFunction_Check(reducer.get()));
    if (standard < 0) return {};
    if (!standard) return not_implemented();
    return call(reducer.get(), obj);
}

// (wrap_exception, (full name, args, __dict__)), with args and __dict__ as
// BaseException keeps them: a property of the program's class is not read.
Ref exception_reduction(PyObject* obj) {
    Ref name = callable_full_name(obj);
    if (!name) return {};
    auto* exc = reinterpret_cast<PyBaseExceptionObject*>(obj);
    Ref args = exc->args ? Ref::borrow(exc->args) : own(PyTuple_New(0));
    Ref dict = exc->dict ? Ref::borrow(exc->dict) : own(PyDict_New());
    if (!args || !dict) return {};
    Ref packed = make_tuple3(name.get(), args.get(), dict.get());
    return packed ? make_tuple2(B.wrap_exception.get(), packed.get()) : Ref();
}

// A class whose metaclass would run code when the class is written by
// reference: named from its own records and loaded again by that name.
Ref class_by_name(PyObject* cls) {
    int found = found_again(as_type(cls));
    if (found < 0) return {};
    if (!found) return bare_unpicklable(Py_TYPE(cls));
    Ref module = type_module(as_type(cls));
    Ref qual = type_qualname(as_type(cls));
    Ref parts = module && qual ? make_tuple2(module.get(), qual.get()) : Ref();
    Ref full = parts ? own(PyUnicode_Join(S.dot, parts.get())) : Ref();
    Ref load = full ? loadclass() : Ref();
    return load ? reduce_value1(load.get(), full.get()) : Ref();
}

// What object.__reduce_ex__ gives for a list or dict subclass, with the
// items taken from the C-level contents: an override of __iter__, items()
// or keys() is never called.
Ref container_reduction(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    int found = found_again(t);
    if (found < 0) return {};
    if (!found) return failure_reduce_impl(obj);
    Ref state = instance_state(obj);
    if (!state) return {};
    Ref list_items = none(), dict_items = none();
    if (PyList_Check(obj)) {
        Ref copy = own(PyList_GetSlice(obj, 0, PY_SSIZE_T_MAX));
        if (!copy || !(list_items = own(PyObject_GetIter(copy.get())))) return {};
    }
    if (PyDict_Check(obj)) {
        Ref items = own(PyDict_Items(obj));
        if (!items || !(dict_items = own(PyObject_GetIter(items.get())))) return {};
    }
    Ref cls_args = own(PyTuple_Pack(1, as_obj(t)));
    if (!cls_args) return {};
    return own(PyTuple_Pack(5, B.copyreg_newobj.get(), cls_args.get(), state.get(),
                            list_items.get(), dict_items.get()));
}

// ------------------------------------------------ recorded attribute use

Ref get_attributes_value_impl(PyObject* obj, PyObject* attributes) {
    Ref data = Ref::steal(PyDict_New());
    Ref funcs = Ref::steal(PyDict_New());
    // A copy: the load hooks may add to the set while values are read.
    Ref names = own(PySequence_List(attributes));
    if (!data || !funcs || !names) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        Ref attribute = Ref::borrow(PyList_GET_ITEM(names.get(), i));
        if (!PyUnicode_Check(attribute.get())) continue;
        Ref value = static_attribute(obj, attribute.get());
        if (!value) {
            if (PyErr_Occurred()) return {};
            continue;
        }
        if (is_method_type(Py_TYPE(value.get()))) {
            PyObject* self = bound_self(value.get());
            if (!self || !PyType_Check(self)) {
                if (PyDict_SetItem(funcs.get(), attribute.get(), value.get()) < 0) return {};
                continue;
            }
        }
        if (Py_TYPE(value.get()) == as_type(B.environ_type.get())) {
            Ref copy = Ref::steal(PyDict_New());
            if (!copy || PyDict_Merge(copy.get(), value.get(), 1) < 0) return {};
            value = std::move(copy);
        }
        if (PyDict_SetItem(data.get(), attribute.get(), value.get()) < 0) return {};
    }
    return make_tuple2(data.get(), funcs.get());
}

// ------------------------------------------------------ failure reducer

// The object's attributes as dir() and getattr() would give them, read
// statically: instance values, bound methods by name, class-level values;
// a property's getter is not run.
Ref failure_reduce_impl(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    Ref keep_type = Ref::borrow(as_obj(t));
    Ref state = Ref::steal(PyDict_New());
    Ref funcs = Ref::steal(PyDict_New());
    if (!state || !funcs) return {};
    TypeVerdicts v;
    if (!verdicts_for(t, v)) return {};
    if (v.proxy || has_python_getattr(obj) || lies_about_class(obj))
        return unpicklable_value(t, funcs.get(), state.get());
    if (is_interpreter_internal(t)) return bounded_internal_value(obj);

    Ref names = static_names(obj);
    if (!names) return {};
    bool dict_route = compat::type_lookup(t, S.dict_dunder) != nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        Ref prop = Ref::borrow(PyList_GET_ITEM(names.get(), i));
        if (is_dunder_skipped(prop.get())) continue;
        Ref value;
        Ref own_attr =
            Ref::borrow(t->tp_dict ? PyDict_GetItemWithError(t->tp_dict, prop.get()) : nullptr);
        if (!own_attr && PyErr_Occurred()) return {};
        if (dict_route && own_attr && !instance_entry(obj, prop.get())) {
            // Defined on the class itself: routines are kept, plain class
            // constants and properties are not.
            if (looks_like_routine(own_attr.get())) value = static_attribute(obj, prop.get());
        } else {
            value = static_attribute(obj, prop.get());
        }
        if (!value) {
            if (PyErr_Occurred() && !swallow()) return {};
            continue;
        }
        if (!Py_IS_TYPE(value.get(), &PyMethod_Type)) {
            if (PyDict_SetItem(state.get(), prop.get(), value.get()) < 0) return {};
            continue;
        }
        Ref wrapper = function_wrapper_for(value.get());
        if (!wrapper) {
            if (PyErr_Occurred() && !swallow()) return {};
            continue;
        }
        if (PyDict_SetItem(funcs.get(), prop.get(), wrapper.get()) < 0) return {};
    }
    return unpicklable_value(t, funcs.get(), state.get());
}

}  // namespace safe_pickler
