// Stand-ins for the values the dispatch refuses (a class of the program's
// with pickling methods of its own, or with a Python __getattr__ or
// __getattribute__), when CollectorSettings.stand_ins_for_refused is on: a
// StandIn naming the class, with the instance's attributes read from its
// __dict__ and slots and, for a subclass of a builtin, its builtin value,
// all taken without running any of the program's code. Those values are
// then written by the same dispatch, so a refused value among them becomes
// a stand-in in its turn. How deep below a dump's first stand-in, how many
// per dump and how many attributes each carry values is bounded.
#include "pickler_state.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace safe_pickler {

namespace {

namespace si = tarn::stand_ins;

// Levels of the pickler's recursion (two or three per nested stand-in)
// below the shallowest stand-in of a dump past which stand-ins carry their
// name only.
constexpr int MAX_NESTING = 32;
// Stand-ins per dump that carry values; the others carry their name only.
constexpr int MAX_OPENED = 256;
// Attributes written per stand-in; the rest are counted.
constexpr std::size_t MAX_ATTRIBUTES = 64;

#define STANDIN_STRINGS(X)                                   \
    X(setting, "stand_ins_for_refused")                      \
    X(token_key, "tarnwick_collector.pickler.stand_in_dump") \
    X(depth, "depth")                                        \
    X(size, "size")                                          \
    X(pickling_methods, "pickling methods")                  \
    X(attribute_hooks, "__getattr__")
TARN_STRING_TABLE(StandinStrings, STANDIN_STRINGS);

StandinStrings& T = leak<StandinStrings>();
Ref& stand_in_cls = leak<Ref>();

// Per thread: the counts the hooks read, and what is known of the dump in
// progress. Plain values, so nothing runs when a thread ends.
thread_local std::uint64_t written[si::REASONS] = {};
thread_local int anchor = 0;  // recursion depth of the dump's shallowest stand-in
thread_local int opened = 0;  // stand-ins of the dump that carry values

const std::uint64_t* written_counts() { return written; }
const si::Api api{written_counts};

// An empty dict that every stand-in of a dump carries as its funcs. The
// dump's memo holds it until the dump ends, so when nothing but the
// thread's own slot (and `token` here) holds it, a new dump has begun. The
// slot is in the thread-state dict, which the interpreter clears when the
// thread ends.
Ref dump_token(bool& fresh) {
    Ref thread_dict = Ref::borrow(PyThreadState_GetDict());
    if (!thread_dict) {
        PyErr_SetString(PyExc_RuntimeError, "no thread state");
        return {};
    }
    Ref token = Ref::borrow(PyDict_GetItemWithError(thread_dict.get(), T.token_key));
    if (!token && PyErr_Occurred()) return {};
    if (token && PyDict_CheckExact(token.get()) && PyDict_GET_SIZE(token.get()) == 0) {
        fresh = Py_REFCNT(token.get()) <= 2;
        return token;
    }
    Ref made = own(PyDict_New());
    if (!made || PyDict_SetItem(thread_dict.get(), T.token_key, made.get()) < 0) return {};
    fresh = true;
    return made;
}

bool is_dunder(PyObject* name) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    return n > 4 && PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_' &&
           PyUnicode_READ_CHAR(name, n - 1) == '_' && PyUnicode_READ_CHAR(name, n - 2) == '_';
}

using Pairs = std::vector<std::pair<Ref, Ref>>;

// The instance's own attributes: the str-keyed entries of its __dict__
// (dunder names are hooks, not data) and the slots its classes declare,
// read through the declaring class's own member descriptor, so that a
// property shadowing a slot further down does not run. References are
// taken before anything can run code that changes the dicts.
bool read_attributes(PyObject* obj, Pairs& out) {
    PyObject** slot = compat::instance_dict_ptr(obj);
    if (slot && *slot && PyDict_Check(*slot)) {
        Ref dict = Ref::borrow(*slot);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict.get(), &pos, &key, &value))
            if (PyUnicode_CheckExact(key) && !is_dunder(key))
                out.emplace_back(Ref::borrow(key), Ref::borrow(value));
    }
    Ref mro = Ref::borrow(Py_TYPE(obj)->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return true;
    Pairs members;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyTypeObject* owner = as_type(PyTuple_GET_ITEM(mro.get(), i));
        if (!is_python_class(owner) || !owner->tp_dict) continue;
        Py_ssize_t pos = 0;
        PyObject *key, *descr;
        while (PyDict_Next(owner->tp_dict, &pos, &key, &descr))
            if (Py_IS_TYPE(descr, &PyMemberDescr_Type) && PyUnicode_CheckExact(key) &&
                reinterpret_cast<PyDescrObject*>(descr)->d_type == owner)
                members.emplace_back(Ref::borrow(key), Ref::borrow(descr));
    }
    for (auto& [name, descr] : members) {
        PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(descr.get())->d_member;
        Ref value = own(PyMember_GetOne(reinterpret_cast<const char*>(obj), def));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();  // a slot never set
            continue;
        }
        out.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

// What a subclass of a builtin holds as the builtin: a plain copy, made by
// the builtin's own C code (an override of __str__, __int__ or __iter__ is
// not called); an exception's args as BaseException keeps them. Empty
// without an error when there is none or it cannot be taken.
Ref builtin_value(PyObject* obj) {
    Ref value;
    if (PyUnicode_Check(obj)) {
        value = own(PyUnicode_FromObject(obj));
    } else if (PyBytes_Check(obj)) {
        value = own(PyBytes_FromStringAndSize(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj)));
    } else if (PyByteArray_Check(obj)) {
        value = own(
            PyByteArray_FromStringAndSize(PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj)));
    } else if (PyLong_Check(obj)) {
        value = own(PyLong_Type.tp_as_number->nb_int(obj));
    } else if (PyFloat_Check(obj)) {
        value = own(PyFloat_FromDouble(PyFloat_AS_DOUBLE(obj)));
    } else if (PyComplex_Check(obj)) {
        value = own(PyComplex_FromCComplex(reinterpret_cast<PyComplexObject*>(obj)->cval));
    } else if (PyTuple_Check(obj)) {
        value = own(PyTuple_GetSlice(obj, 0, PY_SSIZE_T_MAX));
    } else if (PyAnySet_Check(obj)) {
        Ref it = own(PySet_Type.tp_iter(obj));
        value = it ? own(PySequence_List(it.get())) : Ref();
    } else if (PyExceptionInstance_Check(obj)) {
        PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(obj)->args;
        value = args ? Ref::borrow(args) : own(PyTuple_New(0));
    } else {
        return {};
    }
    if (!value) swallow();
    return value;
}

// A list or dict subclass's contents from its C-level storage (an override
// of __iter__ or items() is not called), as the iterators a reduce value's
// list and dict items take; None where there are none.
bool container_items(PyObject* obj, Ref& list_items, Ref& dict_items) {
    if (PyList_Check(obj)) {
        Ref copy = own(PyList_GetSlice(obj, 0, PY_SSIZE_T_MAX));
        if (!copy || !(list_items = own(PyObject_GetIter(copy.get())))) return false;
    }
    if (PyDict_Check(obj)) {
        Ref items = own(PyDict_Items(obj));
        if (!items || !(dict_items = own(PyObject_GetIter(items.get())))) return false;
    }
    return true;
}

// A class of the main script is named after its file, as its functions
// are. Empty (perhaps with an error) when that cannot be worked out.
Ref main_renamed(PyObject* name) {
    Ref main = Ref::borrow(PyDict_GetItemWithError(B.sys_modules.get(), S.main));
    if (!main || !PyModule_Check(main.get())) return {};
    Ref dict = Ref::borrow(PyModule_GetDict(main.get()));
    Ref file = Ref::borrow(dict ? PyDict_GetItemWithError(dict.get(), S.file) : nullptr);
    if (!file || !PyUnicode_Check(file.get())) return {};
    Ref project = C.setting(S.project_path);
    Ref relative = project ? call(B.relpath.get(), file.get(), project.get()) : Ref();
    Ref renamed = relative ? call(B.replace_main.get(), name, relative.get()) : Ref();
    return renamed && PyUnicode_Check(renamed.get()) ? renamed : Ref();
}

// module.qualname as the class statement stored them.
Ref class_full_name(PyTypeObject* t) {
    Ref module = type_module(t);
    Ref qual = type_qualname(t);
    if (!qual) return {};
    if (!module || !PyUnicode_Check(module.get()) || !PyUnicode_Check(qual.get())) return qual;
    Ref parts = make_tuple2(module.get(), qual.get());
    Ref name = parts ? own(PyUnicode_Join(S.dot, parts.get())) : Ref();
    if (!name || PyUnicode_Compare(module.get(), S.main) != 0) return name;
    if (Ref renamed = main_renamed(name.get())) return renamed;
    if (PyErr_Occurred() && !swallow()) return {};
    return name;
}

Ref stand_in_value(PyObject* obj, int reason) {
    Ref keep = Ref::borrow(obj);
    PyTypeObject* t = Py_TYPE(obj);
    Ref keep_type = Ref::borrow(as_obj(t));
    bool fresh = false;
    Ref token = dump_token(fresh);
    if (!token) return {};
    int depth = compat::recursion_depth();
    if (fresh) {
        anchor = depth;
        opened = 0;
    } else {
        anchor = std::min(anchor, depth);
    }
    PyObject* cut = depth - anchor > MAX_NESTING ? T.depth : opened >= MAX_OPENED ? T.size : nullptr;
    if (!cut) ++opened;

    Pairs attributes;
    if (!read_attributes(obj, attributes)) return {};
    Ref full_name = class_full_name(t);
    Ref text = full_name ? type_text(t) : Ref();
    if (!text) return {};
    std::size_t kept = cut ? 0 : std::min(attributes.size(), MAX_ATTRIBUTES);
    Ref left_out = own(PyLong_FromSize_t(attributes.size() - kept));
    if (!left_out) return {};
    Ref value = none(), state = none(), list_items = none(), dict_items = none();
    if (!cut) {
        if (Ref builtin = builtin_value(obj)) value = std::move(builtin);
        else if (PyErr_Occurred()) return {};
        if (!container_items(obj, list_items, dict_items)) return {};
        if (kept) {
            state = own(PyDict_New());
            if (!state) return {};
            for (std::size_t i = 0; i < kept; ++i)
                if (PyDict_SetItem(state.get(), attributes[i].first.get(),
                                   attributes[i].second.get()) < 0)
                    return {};
        }
    }
    PyObject* why = reason == si::ATTRIBUTE_HOOKS ? T.attribute_hooks : T.pickling_methods;
    Ref args = own(PyTuple_Pack(7, text.get(), token.get(), full_name.get(), why, value.get(),
                                left_out.get(), cut ? cut : Py_None));
    if (!args) return {};
    ++written[reason == si::ATTRIBUTE_HOOKS ? si::ATTRIBUTE_HOOKS : si::PICKLING_METHODS];
    if (cut) return make_tuple2(stand_in_cls.get(), args.get());
    return own(PyTuple_Pack(5, stand_in_cls.get(), args.get(), state.get(), list_items.get(),
                            dict_items.get()));
}

}  // namespace

Ref refused_stand_in(PyObject* obj, int reason) {
    Ref on;
    if (compat::lookup_attr(C.settings(), T.setting, on) <= 0) return {};
    int yes = truthy(on.get());
    if (yes <= 0) return {};
    return stand_in_value(obj, reason);
}

bool add_stand_ins(PyObject* m) {
    if (!T.create()) return false;
    stand_in_cls = imp("tarnwick_common.utils.object_wrapper", "StandIn");
    if (!add_to_module(m, "StandIn", stand_in_cls)) return false;
    Ref capsule = own(PyCapsule_New(const_cast<si::Api*>(&api), si::CAPSULE, nullptr));
    return add_to_module(m, "_stand_in_api", capsule);
}

}  // namespace safe_pickler
