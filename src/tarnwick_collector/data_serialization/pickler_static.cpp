// Reading the program's objects without running any of their code: class
// names as the class statement stored them, attributes through the dicts
// and the interpreter's own descriptors, and where a module really lives.
#include "pickler_state.hpp"

#include <cstring>
#include <string_view>

namespace safe_pickler {

namespace {

// The part of a C type's tp_name before (module) or after (name) its last dot.
Ref tp_name_part(PyTypeObject* t, bool module_part) {
    const char* dot = std::strrchr(t->tp_name, '.');
    if (!dot) return module_part ? Ref::borrow(S.builtins) : own(PyUnicode_FromString(t->tp_name));
    if (module_part) return own(PyUnicode_FromStringAndSize(t->tp_name, dot - t->tp_name));
    return own(PyUnicode_FromString(dot + 1));
}

bool is_heap_type(PyTypeObject* t) { return (t->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0; }

PyHeapTypeObject* as_heap(PyTypeObject* t) { return reinterpret_cast<PyHeapTypeObject*>(t); }

// Descriptors of the interpreter whose __get__ is C code that runs nothing else.
bool interpreter_descriptor(PyTypeObject* at) {
    return at == &PyMethodDescr_Type || at == &PyClassMethodDescr_Type ||
           at == &PyWrapperDescr_Type || at == &PyGetSetDescr_Type || at == &PyMemberDescr_Type;
}

// What an attribute found on a class gives once bound to `obj` (NULL: read
// from the class `owner` itself), where binding runs no Python code.
Ref bind_static(PyObject* attr, PyObject* obj, PyTypeObject* owner) {
    PyTypeObject* at = Py_TYPE(attr);
    descrgetfunc get = at->tp_descr_get;
    if (!get) return Ref::borrow(attr);
    if (at == &PyFunction_Type) return obj ? own(PyMethod_New(attr, obj)) : Ref::borrow(attr);
    if (at == &PyStaticMethod_Type) return static_value(attr, S.func);
    if (at == &PyClassMethod_Type) {
        Ref fn = static_value(attr, S.func);
        if (!fn || (!PyFunction_Check(fn.get()) && Py_TYPE(fn.get())->tp_descr_get)) return {};
        return own(PyMethod_New(fn.get(), as_obj(owner)));
    }
    if (interpreter_descriptor(at)) {
        Ref value = own(get(attr, obj, as_obj(owner)));
        if (!value) swallow();  // an unset slot reads as absent
        return value;
    }
    // A property read from its class is the property itself.
    if (!obj && PyObject_TypeCheck(attr, &PyProperty_Type)) return Ref::borrow(attr);
    return {};
}

Ref static_class_attribute(PyTypeObject* cls, PyObject* name) {
    PyTypeObject* meta = Py_TYPE(cls);
    Ref meta_attr = Ref::borrow(compat::type_lookup(meta, name));
    if (meta_attr && Py_TYPE(meta_attr.get())->tp_descr_set) {
        if (!is_builtin_descriptor(meta_attr.get())) return {};
        return bind_static(meta_attr.get(), as_obj(cls), meta);
    }
    if (Ref attr = Ref::borrow(compat::type_lookup(cls, name)))
        return bind_static(attr.get(), nullptr, cls);
    return meta_attr ? bind_static(meta_attr.get(), as_obj(cls), meta) : Ref();
}

bool add_str_keys(PyObject* names, PyObject* dict) {
    Ref keys = own(PyDict_Keys(dict));
    if (!keys) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        if (PyUnicode_CheckExact(key) && PySet_Add(names, key) < 0) return false;
    }
    return true;
}

// copyreg._slotnames' name mangling: __x in class _C is _C__x.
Ref mangled(PyTypeObject* owner, PyObject* name) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    bool private_name = n > 2 && PyUnicode_READ_CHAR(name, 0) == '_' &&
                        PyUnicode_READ_CHAR(name, 1) == '_' &&
                        !(PyUnicode_READ_CHAR(name, n - 1) == '_' &&
                          PyUnicode_READ_CHAR(name, n - 2) == '_');
    if (!private_name) return Ref::borrow(name);
    Ref cls_name = type_name(owner);
    if (!cls_name || !PyUnicode_Check(cls_name.get())) return {};
    Py_ssize_t len = PyUnicode_GET_LENGTH(cls_name.get()), start = 0;
    while (start < len && PyUnicode_READ_CHAR(cls_name.get(), start) == '_') ++start;
    if (start == len) return Ref::borrow(name);
    Ref stripped = own(PyUnicode_Substring(cls_name.get(), start, len));
    return stripped ? own(PyUnicode_FromFormat("_%U%U", stripped.get(), name)) : Ref();
}

bool add_slot_name(PyTypeObject* owner, PyObject* name, std::vector<Ref>& out) {
    if (!PyUnicode_Check(name)) return false;
    if (PyUnicode_Compare(name, S.dict_dunder) == 0 || PyUnicode_Compare(name, S.weakref_dunder) == 0)
        return true;
    Ref full = mangled(owner, name);
    if (!full) return false;
    out.push_back(std::move(full));
    return true;
}

bool in_builtin_modules(PyObject* name) {
    int r = PySequence_Contains(B.builtin_module_names.get(), name);
    if (r < 0) PyErr_Clear();
    return r > 0;
}

bool under_stdlib_dir(std::string_view path) {
    for (const std::string& dir : B.stdlib_dirs) {
        if (path.size() <= dir.size() || path.compare(0, dir.size(), dir) != 0) continue;
        std::string_view rest = path.substr(dir.size());
        if (rest.rfind("site-packages/", 0) == 0 || rest.rfind("dist-packages/", 0) == 0)
            return false;
        return true;
    }
    return false;
}

bool add_dir(PyObject* path) {
    if (!path || !PyUnicode_Check(path)) return true;
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(path, &n);
    if (!text) return false;
    std::string dir(text, static_cast<std::size_t>(n));
    if (dir.empty()) return true;
    if (dir.back() != '/') dir.push_back('/');
    for (const std::string& known : B.stdlib_dirs)
        if (known == dir) return true;
    B.stdlib_dirs.push_back(std::move(dir));
    return true;
}

}  // namespace

Ref type_module(PyTypeObject* t) {
    if (!is_heap_type(t)) return tp_name_part(t, true);
    PyObject* found = t->tp_dict ? PyDict_GetItemWithError(t->tp_dict, S.module) : nullptr;
    if (!found && PyErr_Occurred()) PyErr_Clear();
    return Ref::borrow(found);
}

Ref type_qualname(PyTypeObject* t) {
    return is_heap_type(t) ? Ref::borrow(as_heap(t)->ht_qualname) : tp_name_part(t, false);
}

Ref type_name(PyTypeObject* t) {
    return is_heap_type(t) ? Ref::borrow(as_heap(t)->ht_name) : tp_name_part(t, false);
}

PyObject* instance_entry(PyObject* obj, PyObject* name) {
    PyObject** slot = compat::instance_dict_ptr(obj);
    if (!slot || !*slot || !PyDict_Check(*slot) || PyDict_GET_SIZE(*slot) == 0) return nullptr;
    PyObject* value = PyDict_GetItemWithError(*slot, name);
    if (!value && PyErr_Occurred()) PyErr_Clear();
    return value;
}

Ref static_attribute(PyObject* obj, PyObject* name) {
    if (PyType_Check(obj)) return static_class_attribute(as_type(obj), name);
    PyTypeObject* t = Py_TYPE(obj);
    Ref cls_attr = Ref::borrow(compat::type_lookup(t, name));
    if (cls_attr && Py_TYPE(cls_attr.get())->tp_descr_set) {
        if (!is_builtin_descriptor(cls_attr.get())) return {};
        return bind_static(cls_attr.get(), obj, t);
    }
    if (PyObject* value = instance_entry(obj, name)) return Ref::borrow(value);
    return cls_attr ? bind_static(cls_attr.get(), obj, t) : Ref();
}

Ref static_names(PyObject* obj) {
    Ref names = own(PySet_New(nullptr));
    if (!names) return {};
    PyTypeObject* t = PyType_Check(obj) ? as_type(obj) : Py_TYPE(obj);
    if (!PyType_Check(obj)) {
        PyObject** slot = compat::instance_dict_ptr(obj);
        Ref dict = Ref::borrow(slot ? *slot : nullptr);
        if (dict && PyDict_Check(dict.get()) && !add_str_keys(names.get(), dict.get())) return {};
    }
    Ref mro = Ref::borrow(t->tp_mro);
    if (mro && PyTuple_Check(mro.get())) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
            Ref dict = Ref::borrow(as_type(PyTuple_GET_ITEM(mro.get(), i))->tp_dict);
            if (dict && !add_str_keys(names.get(), dict.get())) return {};
        }
    }
    Ref sorted = own(PySequence_List(names.get()));
    if (!sorted || PyList_Sort(sorted.get()) < 0) return {};
    return sorted;
}

bool slot_names(PyTypeObject* t, std::vector<Ref>& out) {
    Ref mro = Ref::borrow(t->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyTypeObject* owner = as_type(PyTuple_GET_ITEM(mro.get(), i));
        PyObject* found = owner->tp_dict ? PyDict_GetItemWithError(owner->tp_dict, S.slots) : nullptr;
        if (!found) {
            if (PyErr_Occurred()) PyErr_Clear();
            continue;
        }
        Ref slots = Ref::borrow(found);
        if (PyUnicode_Check(slots.get())) {
            if (!add_slot_name(owner, slots.get(), out)) return false;
            continue;
        }
        Ref items;
        if (PyTuple_CheckExact(slots.get()) || PyList_CheckExact(slots.get()))
            items = own(PySequence_List(slots.get()));
        else if (PyDict_CheckExact(slots.get()))
            items = own(PyDict_Keys(slots.get()));
        if (!items) {
            PyErr_Clear();
            return false;
        }
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.get()); ++k)
            if (!add_slot_name(owner, PyList_GET_ITEM(items.get(), k), out)) {
                PyErr_Clear();
                return false;
            }
    }
    return true;
}

int found_again(PyTypeObject* t) {
    Ref module = type_module(t);
    Ref qual = type_qualname(t);
    if (!module || !qual || !PyUnicode_Check(module.get()) || !PyUnicode_Check(qual.get())) return 0;
    Ref found = Ref::borrow(PyDict_GetItemWithError(B.sys_modules.get(), module.get()));
    if (!found) return PyErr_Occurred() ? -1 : 0;
    Ref names = own(PyUnicode_Split(qual.get(), S.dot, -1));
    if (!names) return -1;
    for (Py_ssize_t i = 0; found && i < PyList_GET_SIZE(names.get()); ++i)
        found = Ref::borrow(static_lookup(found.get(), PyList_GET_ITEM(names.get(), i)));
    if (PyErr_Occurred()) PyErr_Clear();
    return found.get() == as_obj(t);
}

int module_is_standard(PyObject* module_name, bool compiled) {
    if (PyUnicode_Compare(module_name, S.builtins) == 0) return 1;
    if (PyErr_Occurred()) return -1;
    Ref module = Ref::borrow(PyDict_GetItemWithError(B.sys_modules.get(), module_name));
    if (!module) {
        if (PyErr_Occurred()) return -1;
        if (!compiled) return 0;
        // A C type named after a module that is not imported under that name.
        Ref parts = own(PyUnicode_Split(module_name, S.dot, 1));
        if (!parts) return -1;
        return PySequence_Contains(B.stdlib_names.get(), PyList_GET_ITEM(parts.get(), 0));
    }
    if (!PyModule_Check(module.get())) return 0;
    Ref dict = Ref::borrow(PyModule_GetDict(module.get()));
    Ref file = Ref::borrow(dict ? PyDict_GetItemWithError(dict.get(), S.file) : nullptr);
    if (!file) {
        if (PyErr_Occurred()) return -1;
        if (in_builtin_modules(module_name)) return 1;
        Ref frozen = call(B.is_frozen.get(), module_name);
        if (!frozen) {
            PyErr_Clear();
            return 0;
        }
        return frozen.get() == Py_True;
    }
    if (!PyUnicode_Check(file.get())) return 0;
    Py_ssize_t n = 0;
    const char* path = PyUnicode_AsUTF8AndSize(file.get(), &n);
    if (!path) {
        PyErr_Clear();
        return 0;
    }
    return under_stdlib_dir(std::string_view(path, static_cast<std::size_t>(n)));
}

int module_is_library(PyObject* module_name) {
    Ref module = Ref::borrow(PyDict_GetItemWithError(B.sys_modules.get(), module_name));
    if (!module) return PyErr_Occurred() ? -1 : 0;
    if (!PyModule_Check(module.get())) return 0;
    Ref dict = Ref::borrow(PyModule_GetDict(module.get()));
    Ref file = Ref::borrow(dict ? PyDict_GetItemWithError(dict.get(), S.file) : nullptr);
    if (!file) return PyErr_Occurred() ? -1 : 0;
    if (!PyUnicode_Check(file.get())) return 0;
    Py_ssize_t n = 0;
    const char* path = PyUnicode_AsUTF8AndSize(file.get(), &n);
    if (!path) {
        PyErr_Clear();
        return 0;
    }
    std::string_view text(path, static_cast<std::size_t>(n));
    return text.find("/site-packages/") != std::string_view::npos ||
           text.find("/dist-packages/") != std::string_view::npos;
}

bool bind_stdlib_dirs() {
    Ref get_path = import_attr("sysconfig", "get_path");
    Ref dirname = import_attr("os.path", "dirname");
    Ref realpath = import_attr("os.path", "realpath");
    Ref os_file = import_attr("os", "__file__");
    if (!get_path || !dirname || !realpath || !os_file) return false;
    std::vector<Ref> found;
    for (const char* key : {"stdlib", "platstdlib"}) {
        Ref path = call(get_path.get(), Ref::steal(PyUnicode_FromString(key)).get());
        if (!path) return false;
        found.push_back(std::move(path));
    }
    Ref os_dir = call(dirname.get(), os_file.get());
    if (!os_dir) return false;
    found.push_back(std::move(os_dir));
    for (std::size_t i = 0, n = found.size(); i < n; ++i) {
        if (!PyUnicode_Check(found[i].get())) continue;
        Ref real = call(realpath.get(), found[i].get());
        if (!real) return false;
        found.push_back(std::move(real));
    }
    for (const Ref& path : found)
        if (!add_dir(path.get())) return false;
    return true;
}

}  // namespace safe_pickler
