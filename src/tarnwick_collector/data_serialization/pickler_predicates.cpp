// What the dispatch asks about an object before it decides how to write it.
// Every probe is static: the answers come from the class dicts, the
// interpreter's own descriptors and identity comparisons, never from a
// method, property or __hash__ of the program's classes.
#include "pickler_state.hpp"

namespace safe_pickler {

namespace {

// Pickling methods; one defined by the program's class is a customisation.
// The first two are compared with the skip base's own.
PyObject* const* pickling_names() {
    static PyObject* names[] = {S.reduce_ex,  S.reduce,       S.get_newargs_ex,
                                S.getnewargs, S.get_initargs, S.getstate};
    return names;
}
constexpr int PICKLING_NAMES = 6;

int named_like_function(PyTypeObject* t) {
    Ref text = type_text(t);
    if (!text) return -1;
    for (PyObject* needle : {S.classmethod_descriptor, S.builtin_method}) {
        Py_ssize_t at = PyUnicode_Find(text.get(), needle, 0, PY_SSIZE_T_MAX, 1);
        if (at == -2) return -1;
        if (at >= 0) return 1;
    }
    return 0;
}

// A type of the interpreter or its standard library, named truthfully: its
// module is one the standard library really holds, and it is implemented
// in C or found again under that module and qualified name.
int compute_interpreter_type(PyTypeObject* t) {
    Ref module = type_module(t);
    if (!module || !PyUnicode_Check(module.get())) return 0;
    int standard = module_is_standard(module.get(), !is_python_class(t));
    if (standard <= 0) return standard;
    return is_python_class(t) ? found_again(t) : 1;
}

// The class whose own dict gives instances of `t` the attribute `name`.
PyTypeObject* provider(PyTypeObject* t, PyObject* name) {
    PyObject* mro = t->tp_mro;
    if (!mro) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyTypeObject* base = as_type(PyTuple_GET_ITEM(mro, i));
        if (base->tp_dict && PyDict_GetItemWithError(base->tp_dict, name)) return base;
        if (PyErr_Occurred()) PyErr_Clear();
    }
    return nullptr;
}

bool own_entry(PyTypeObject* t, PyObject* name) {
    if (!t->tp_dict) return false;
    PyObject* found = PyDict_GetItemWithError(t->tp_dict, name);
    if (!found && PyErr_Occurred()) PyErr_Clear();
    return found != nullptr;
}

// Reading `cls` itself (its name and module, as writing it by reference
// does, or its __dict__ and __slots__, as copyreg does for its instances)
// would run code of its metaclass: a property or a __getattribute__,
// __getattr__ or __setattr__ of a program's metaclass. The standard
// library's and installed libraries' metaclasses (enum's, pydantic's) are
// what writing their classes always involved.
int meta_hooks_of(PyTypeObject* cls) {
    PyTypeObject* meta = Py_TYPE(cls);
    if (meta == &PyType_Type || !is_python_class(meta)) return 0;
    int standard = is_interpreter_type(meta);
    if (standard != 0) return standard < 0 ? -1 : 0;
    Ref meta_module = type_module(meta);
    if (meta_module && PyUnicode_Check(meta_module.get())) {
        int library = module_is_library(meta_module.get());
        if (library != 0) return library < 0 ? -1 : 0;
    }
    if (compat::type_lookup(meta, S.getattribute) != B.type_getattribute) return 1;
    bool slotnames_known = own_entry(cls, S.slotnames);
    if (!slotnames_known && compat::type_lookup(meta, S.setattr_str) != B.type_setattr) return 1;
    for (PyObject* name : {S.module, S.qualname, S.name, S.dict_dunder, S.mro, S.bases, S.slots,
                           S.klass}) {
        PyObject* found = compat::type_lookup(meta, name);
        if (found && found != compat::type_lookup(&PyType_Type, name) &&
            Py_TYPE(found)->tp_descr_get)
            return 1;
    }
    if (!slotnames_known && compat::type_lookup(meta, S.getattr_str) &&
        !compat::type_lookup(cls, S.slots))
        return 1;
    return 0;
}

// A slot that a subclass shadows with a property or a Python descriptor:
// reading the slot state would run it.
bool slots_shadowed(PyTypeObject* t) {
    std::vector<Ref> names;
    if (!slot_names(t, names)) return true;
    for (const Ref& name : names) {
        PyObject* found = compat::type_lookup(t, name.get());
        if (!found || !Py_TYPE(found)->tp_descr_get) continue;
        if (PyObject_TypeCheck(found, &PyProperty_Type) || is_python_class(Py_TYPE(found)))
            return true;
    }
    return false;
}

// Objects whose attribute lookups go to another object.
bool forwards_lookups(PyTypeObject* t) {
    return t == &_PyWeakref_ProxyType || t == &_PyWeakref_CallableProxyType ||
           PyType_IsSubtype(t, &PySuper_Type);
}

bool is_own_record(PyTypeObject* t) {
    if (B.own_types.count(t)) return true;
    return PyType_IsSubtype(t, as_type(B.metric_base.get()));
}

// An inherited method is fine when it comes from C, from the skip base or
// what it inherits from, or from the standard library.
int acceptable_owner(PyTypeObject* owner, PyTypeObject* base) {
    if (!owner || !is_python_class(owner) || PyType_IsSubtype(base, owner)) return 1;
    // Not through the cache: the owner may be the class being worked out.
    return compute_interpreter_type(owner);
}

// The class part of is_subclass_for_skip: below some skip base, no class
// of the program's defines a pickling method, nor (for instances written
// through their reduction) a __getattr__ or __getattribute__.
int skip_part(PyTypeObject* t) {
    for (PyTypeObject* base : B.skip_bases) {
        if (!PyType_IsSubtype(t, base)) continue;
        // __reduce__ and __reduce_ex__ exactly the base's (a class of C that
        // replaces them, like OSError, is not the base's route either).
        bool ok = compat::type_lookup(t, S.reduce) == compat::type_lookup(base, S.reduce) &&
                  compat::type_lookup(t, S.reduce_ex) == compat::type_lookup(base, S.reduce_ex);
        auto check = [&](PyObject* name) {
            int a = acceptable_owner(provider(t, name), base);
            if (a <= 0) ok = false;
            return a >= 0;
        };
        PyObject* const* names = pickling_names();
        for (int i = 2; ok && i < PICKLING_NAMES; ++i)
            if (!check(names[i])) return -1;
        // A class is written by reference, an exception through the
        // __reduce__ BaseException has (always found, so a __getattr__
        // never runs); the other bases go through lookups that can miss.
        if (ok && base != &PyType_Type && !check(S.getattribute)) return -1;
        if (ok && base != &PyType_Type && base != as_type(PyExc_Exception) &&
            !check(S.getattr_str))
            return -1;
        if (ok) return 1;
    }
    return 0;
}

bool custom_c_lookup(PyTypeObject* t) {
    return !is_python_class(t) && t->tp_getattro != PyObject_GenericGetAttr;
}

}  // namespace

int identity_member(PyObject* set, PyObject* key) {
    Ref it = own(PyObject_GetIter(set));
    if (!it) return -1;
    while (Ref item = own(PyIter_Next(it.get())))
        if (item.get() == key) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

bool is_python_callable(PyObject* attr) {
    if (PyFunction_Check(attr)) return true;
    if (Py_IS_TYPE(attr, &PyStaticMethod_Type) || Py_IS_TYPE(attr, &PyClassMethod_Type)) {
        Ref inner = static_value(attr, S.func);
        return inner && is_python_callable(inner.get());
    }
    return static_lookup(attr, S.code) != nullptr;
}

// A Python-level __getattr__ (or __getattribute__) would run on any probe.
bool has_python_getattr(PyObject* obj) {
    PyObject* getattr_fn = static_lookup(obj, S.getattr_str);
    if (getattr_fn && is_python_callable(getattr_fn)) return true;
    PyObject* getattribute = compat::type_lookup(Py_TYPE(obj), S.getattribute);
    return getattribute && is_python_callable(getattribute);
}

// A class that answers __class__ itself (a property, a proxy).
bool lies_about_class(PyObject* obj) {
    return compat::type_lookup(Py_TYPE(obj), S.klass) != B.object_class;
}

// __getstate__ as on interpreters where only classes that define it have
// one: object's own does not count.
PyObject* static_getstate(PyObject* obj) {
    PyObject* found = static_lookup(obj, S.getstate);
    return found == B.object_getstate ? nullptr : found;
}

bool verdicts_for(PyTypeObject* t, TypeVerdicts& out) {
    if (cached_verdicts(t, out)) return true;
    // Worked out in a local: what runs here may use and refill the cache.
    TypeVerdicts v;
    bool python = is_python_class(t);
    int named = python ? 0 : named_like_function(t);
    if (named < 0) return false;
    int standard = compute_interpreter_type(t);
    if (standard < 0) return false;
    int meta = meta_hooks_of(t);
    if (meta < 0) return false;
    bool proxy = forwards_lookups(t);
    bool unsafe = proxy;
    if (!standard && !is_own_record(t)) {
        unsafe = unsafe || meta || compat::type_lookup(t, S.klass) != B.object_class ||
                 (python ? slots_shadowed(t) : custom_c_lookup(t));
    }
    int skip = skip_part(t);
    if (skip < 0) return false;
    v.named_like_function = static_cast<signed char>(named);
    v.standard = static_cast<signed char>(standard);
    v.proxy = proxy;
    v.meta_hooks = static_cast<signed char>(meta);
    v.unsafe = unsafe;
    v.skip = static_cast<signed char>(skip);
    v.container = python && !standard &&
                  (PyType_IsSubtype(t, &PyList_Type) || PyType_IsSubtype(t, &PyDict_Type));
    remember_verdicts(t, v);
    out = v;
    return true;
}

int is_function_type(PyTypeObject* t) {
    for (PyTypeObject* f : B.function_types)
        if (t == f) return 1;
    if (is_python_class(t)) return 0;  // a class statement's name proves nothing
    TypeVerdicts v;
    return verdicts_for(t, v) ? v.named_like_function : -1;
}

int is_interpreter_type(PyTypeObject* t) {
    TypeVerdicts v;
    return verdicts_for(t, v) ? v.standard : -1;
}

int is_subclass_for_skip_impl(PyObject* obj) {
    TypeVerdicts v;
    if (!verdicts_for(Py_TYPE(obj), v)) return -1;
    if (!v.skip) return 0;
    if (PyType_Check(obj)) return 1;  // a class's own methods are for its instances
    PyObject* const* names = pickling_names();
    for (int i = 0; i < PICKLING_NAMES; ++i)
        if (instance_entry(obj, names[i])) return 0;
    return 1;
}

int is_problematic_pickle_impl(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    Ref qual = type_qualname(t);
    if (qual && PyUnicode_Check(qual.get()) &&
        PyUnicode_Compare(qual.get(), S.reduce_allowed_qual_name) == 0) {
        Ref mod = static_value(obj, S.module);
        if (mod && PyUnicode_Check(mod.get()) &&
            PyUnicode_Compare(mod.get(), S.reduce_allowed_module) == 0)
            return 0;
    }
    if (PyErr_Occurred()) return -1;
    if (compat::type_lookup(t, S.reduce) != B.object_reduce) return 1;
    if (compat::type_lookup(t, S.reduce_ex) != B.object_reduce_ex) return 1;
    // An instance's own __reduce_ex__ is what the ordinary route would call.
    if (!PyType_Check(obj) && (instance_entry(obj, S.reduce_ex) || instance_entry(obj, S.reduce)))
        return 1;
    return has_static(obj, S.get_newargs_ex) || has_static(obj, S.getnewargs) ||
           has_static(obj, S.get_initargs) || static_getstate(obj) != nullptr;
}

}  // namespace safe_pickler
