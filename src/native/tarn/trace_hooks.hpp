// What both tracing backends share: the six recording hooks, called
// guarded and counted, and the reads that need no running code.
#pragma once

#include "tarn/util.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace tarn::trace {

enum Hook { H_USER, H_USER_RETURN, H_EXT, H_EXT_RETURN, H_GLOBAL, H_ATTR, H_COUNT };
inline constexpr const char* kHookNames[H_COUNT] = {
    "record_user_function_call", "record_user_function_return_value",
    "record_external_call",      "record_external_return_value",
    "load_global_hook",          "load_attr_hook"};

// Kinds of code, as the Python side names them.
inline constexpr int kRecord = 1;  // a plain function: one record per call
inline constexpr int kInline = 2;  // generators, comprehensions: part of their driver
inline constexpr int kSkip = 3;    // module and class bodies

// Where the object of an attribute load comes from, for static reads.
enum : std::uint8_t { SRC_NONE = 0, SRC_LOCAL = 1, SRC_GLOBAL = 2, SRC_CONST = 3, SRC_ATTR = 4 };

struct Counters {
    std::uint64_t user_calls = 0, records = 0, not_recorded = 0, unresolved = 0, capped = 0,
                  external_calls = 0, external_records = 0, globals = 0, attrs = 0,
                  attrs_unknown = 0, c_results_unknown = 0, internal_errors = 0;
    std::uint64_t hook_errors[H_COUNT] = {};
};

// Frames and code objects are aligned blocks: their low bits say nothing,
// and a map that masks the hash would put them all in a few buckets.
struct AddressHash {
    std::size_t operator()(const void* p) const noexcept {
        auto x = reinterpret_cast<std::uintptr_t>(p);
        return static_cast<std::size_t>((x >> 4) ^ (x >> 16));
    }
};

inline PyObject* none_type() { return reinterpret_cast<PyObject*>(Py_TYPE(Py_None)); }

// The hooks of one session and what they did. Every call returns false
// only when an exception must reach the program (KeyboardInterrupt,
// SystemExit and the like); any other is counted and cleared.
struct Hooks {
    bool null_hooks = false;  // switched off: the layer works, nothing is built
    Ref fn[H_COUNT];
    Ref token;                // what switched-off entry hooks return
    Counters n;

    // hooks: an object with the six functions, or None for switched off.
    bool bind(PyObject* hooks, PyObject* off_token) {
        null_hooks = hooks == Py_None;
        token = Ref::borrow(off_token);
        for (int h = 0; h < H_COUNT; ++h) {
            fn[h].reset();
            if (!null_hooks) {
                fn[h] = Ref::steal(PyObject_GetAttrString(hooks, kHookNames[h]));
                if (!fn[h]) return false;
            }
        }
        return true;
    }

    bool absorb(std::uint64_t& counter) {
        if (!PyErr_Occurred()) return true;
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        ++counter;
        return true;
    }
    bool absorb_hook(Hook h) { return absorb(n.hook_errors[h]); }
    bool absorb_internal() { return absorb(n.internal_errors); }

    // NULL result with the error left for absorb_hook.
    Ref call(Hook h, PyObject* const* args, std::size_t nargs, PyObject* kwnames = nullptr) {
        if (null_hooks) return (h == H_USER || h == H_EXT) ? token : Ref::borrow(Py_None);
        return Ref::steal(PyObject_Vectorcall(fn[h].get(), args, nargs, kwnames));
    }

    bool exit_external(Ref& ext, PyObject* value, PyObject* exc) {
        if (!ext) return true;
        Ref record = std::move(ext);
        PyObject* args[] = {value ? value : Py_None, record.get(), exc ? exc : none_type()};
        return call(H_EXT_RETURN, args, 3) ? true : absorb_hook(H_EXT_RETURN);
    }

    bool enter_external(PyObject* callable, bool checked, Ref& out) {
        ++n.external_calls;
        Ref flag = Ref::steal(PyLong_FromLong(checked ? 1 : 0));  // a cached small int
        if (!flag) return absorb_internal();
        PyObject* args[] = {callable, flag.get()};
        Ref r = call(H_EXT, args, 2);
        if (!r) return absorb_hook(H_EXT);
        if (r.get() != Py_None) {
            ++n.external_records;
            out = std::move(r);
        }
        return true;
    }

    bool global_loaded(PyObject* value, PyObject* name) {
        ++n.globals;
        PyObject* args[] = {value, name};
        return call(H_GLOBAL, args, 2) ? true : absorb_hook(H_GLOBAL);
    }

    bool attr_loaded(PyObject* obj, PyObject* name, PyObject* result) {
        ++n.attrs;
        PyObject* args[] = {obj, name, result ? result : Py_None};
        return call(H_ATTR, args, 3) ? true : absorb_hook(H_ATTR);
    }

    // fn(*args, **kwargs) into the entry hook; the record, if any, in `out`.
    bool enter_user(PyObject* callable, PyObject* args, PyObject* kwargs, Ref& out) {
        ++n.user_calls;
        Py_ssize_t npos = PyTuple_GET_SIZE(args);
        Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        PyObject* small[8];
        std::vector<PyObject*> big;
        PyObject** argv = small;
        if (1 + npos + nkw > 8) {
            big.resize(static_cast<std::size_t>(1 + npos + nkw));
            argv = big.data();
        }
        argv[0] = callable;
        for (Py_ssize_t k = 0; k < npos; ++k) argv[1 + k] = PyTuple_GET_ITEM(args, k);
        Ref kwnames;
        if (nkw) {
            kwnames = Ref::steal(PyTuple_New(nkw));
            if (!kwnames) return absorb_internal();
            Py_ssize_t pos = 0, k = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value) && k < nkw) {
                PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
                argv[1 + npos + k] = value;
                ++k;
            }
        }
        Ref record = call(H_USER, argv, static_cast<std::size_t>(1 + npos), kwnames.get());
        if (!record) return absorb_hook(H_USER);
        if (record.get() == Py_None) {
            ++n.not_recorded;
        } else {
            ++n.records;
            out = std::move(record);
        }
        return true;
    }

    bool exit_user(Ref& rec, PyObject* value, PyObject* exc) {
        if (!rec) return true;
        Ref record = std::move(rec);
        PyObject* args[] = {value ? value : Py_None, record.get(), exc ? exc : none_type()};
        return call(H_USER_RETURN, args, 3) ? true : absorb_hook(H_USER_RETURN);
    }

    // The counters as the Python side reads them.
    PyObject* stats(Py_ssize_t running_frames) const {
        const Counters& c = n;
        Ref errors = Ref::steal(PyDict_New());
        if (!errors) return nullptr;
        for (int h = 0; h < H_COUNT; ++h) {
            if (!c.hook_errors[h]) continue;
            Ref v = Ref::steal(PyLong_FromUnsignedLongLong(c.hook_errors[h]));
            if (!v || PyDict_SetItemString(errors.get(), kHookNames[h], v.get()) < 0) return nullptr;
        }
        return Py_BuildValue(
            "{sKsKsKsKsKsKsKsKsKsKsKsKsOsn}", "user_calls", c.user_calls, "records", c.records,
            "not_recorded", c.not_recorded, "unresolved", c.unresolved, "capped", c.capped,
            "external_calls", c.external_calls, "external_records", c.external_records,
            "globals", c.globals, "attrs", c.attrs, "attrs_unknown", c.attrs_unknown,
            "c_results_unknown", c.c_results_unknown, "internal_errors", c.internal_errors,
            "hook_errors", errors.get(), "running_frames", running_frames);
    }
};

inline bool is_c_callable(PyObject* obj) {
    return PyCFunction_Check(obj) || Py_IS_TYPE(obj, &PyMethodDescr_Type);
}

// What `self.<method>` gives for the (method, self) pair a method load
// leaves; NULL (no error) when only running code could tell.
inline Ref bind_method(PyObject* meth, PyObject* self) {
    if (PyFunction_Check(meth)) return Ref::steal(PyMethod_New(meth, self));
    PyTypeObject* t = Py_TYPE(meth);
    if (t == &PyMethodDescr_Type || t == &PyWrapperDescr_Type || t == &PyClassMethodDescr_Type) {
        Ref r = Ref::steal(t->tp_descr_get(meth, self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
        if (!r) PyErr_Clear();
        return r;
    }
    if (!t->tp_descr_get) return Ref::borrow(meth);
    return {};
}

// A C method descriptor called with its object first, bound as the
// interpreter binds it; empty when it is not that (or its object is not
// of the descriptor's type).
inline Ref bind_c_descriptor(PyObject* callable, PyObject* self) {
    if (!Py_IS_TYPE(callable, &PyMethodDescr_Type) || !self) return {};
    auto* descr = reinterpret_cast<PyMethodDescrObject*>(callable);
    if (!PyObject_TypeCheck(self, descr->d_common.d_type)) return {};
    return Ref::steal(Py_TYPE(callable)->tp_descr_get(
        callable, self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
}

// The code a call of `callable` starts in Python, when it does: a
// function, a method, or a class whose __init__ is a Python function.
inline PyObject* python_code_of(PyObject* callable, PyObject* init_name) {
    if (PyFunction_Check(callable)) return PyFunction_GET_CODE(callable);
    if (PyMethod_Check(callable)) {
        PyObject* fn = PyMethod_GET_FUNCTION(callable);
        return PyFunction_Check(fn) ? PyFunction_GET_CODE(fn) : nullptr;
    }
    if (PyType_Check(callable)) {
        PyObject* init = compat::type_lookup(reinterpret_cast<PyTypeObject*>(callable), init_name);
        if (init && PyFunction_Check(init)) return PyFunction_GET_CODE(init);
    }
    return nullptr;
}

// What a call instruction called, when it started a frame of `code`: the
// called object, with `bound` set when the frame's first argument is bound
// in it. `self` is the object a method-form call put below the function
// (NULL when none). Empty when the call started something else.
inline Ref called_object(PyObject* target, PyObject* self, PyObject* code, PyObject* init_name,
                         bool& bound) {
    bound = false;
    if (!target) return {};
    if (PyFunction_Check(target)) {
        if (PyFunction_GET_CODE(target) != code) return {};
        if (self) {
            // A function found on the class of its first argument was
            // called as that object's method.
            PyObject* name = reinterpret_cast<PyFunctionObject*>(target)->func_name;
            if (compat::type_lookup(Py_TYPE(self), name) == target) {
                bound = true;
                return Ref::steal(PyMethod_New(target, self));
            }
        }
        return Ref::borrow(target);
    }
    if (PyMethod_Check(target)) {
        PyObject* fn = PyMethod_GET_FUNCTION(target);
        if (PyFunction_Check(fn) && PyFunction_GET_CODE(fn) == code) {
            bound = true;
            return Ref::borrow(target);
        }
        return {};
    }
    if (PyType_Check(target)) {
        PyObject* init = compat::type_lookup(reinterpret_cast<PyTypeObject*>(target), init_name);
        if (init && PyFunction_Check(init) && PyFunction_GET_CODE(init) == code) {
            bound = true;  // a class: its __init__ gets the new object
            return Ref::borrow(target);
        }
    }
    return {};
}

// Globals already reported by one frame, compared by identity only: a
// name is reported again only when it names another object.
struct SeenGlobals {
    std::vector<std::pair<PyObject*, PyObject*>> seen;

    // True when (name, value) is new for this frame, and remembers it.
    bool fresh(PyObject* name, PyObject* value) {
        for (auto& [n, v] : seen) {
            if (n == name) {
                if (v == value) return false;
                v = value;
                return true;
            }
        }
        seen.emplace_back(name, value);
        return true;
    }
    void clear() { seen.clear(); }
};

// globals[name], else builtins[name]; NULL without error when neither has it.
inline PyObject* global_value(PyObject* globals, PyObject* builtins, PyObject* name) {
    PyObject* v = nullptr;
    if (globals && PyDict_Check(globals)) {
        v = PyDict_GetItemWithError(globals, name);
        if (v || PyErr_Occurred()) return v;
    }
    if (builtins && PyDict_Check(builtins)) v = PyDict_GetItemWithError(builtins, name);
    return v;
}


// Where a code object keeps its arguments among the fast locals, worked
// out once; read() gives a starting frame's (args, kwargs).
struct Arguments {
    int argcount = 0, kwonly = 0;
    bool varargs = false, varkw = false;
    Ref varnames;
    std::vector<int> moved;          // 3.10: the cell slot an argument was moved to, or -1
    std::vector<std::uint8_t> cell;  // 3.11+: the argument's slot holds a cell

    bool fill(PyCodeObject* code) {
        argcount = code->co_argcount;
        kwonly = code->co_kwonlyargcount;
        varargs = code->co_flags & CO_VARARGS;
        varkw = code->co_flags & CO_VARKEYWORDS;
        varnames = compat::code_varnames(code);
        if (!varnames) return false;
        int total = argcount + kwonly + varargs + varkw;
        moved.assign(static_cast<std::size_t>(total), -1);
        cell.assign(static_cast<std::size_t>(total), 0);
        for (int i = 0; i < total; ++i) {
            moved[static_cast<std::size_t>(i)] = compat::argument_cell(code, i);
            cell[static_cast<std::size_t>(i)] = compat::argument_is_cell(code, i);
        }
        return true;
    }

    PyObject* value(PyObject** slots, int i) const {
        auto k = static_cast<std::size_t>(i);
        PyObject* v = slots[i];
        if (!v && moved[k] >= 0) {
            v = slots[moved[k]];
            if (v && PyCell_Check(v)) v = PyCell_GET(v);
        } else if (v && cell[k] && PyCell_Check(v)) {
            v = PyCell_GET(v);
        }
        return v ? v : Py_None;
    }

    // The call's arguments from the fast locals at its start; the first
    // one left out when it is bound in the called object.
    bool read(PyObject** slots, bool drop_first, Ref& args, Ref& kwargs) const {
        int first = drop_first && argcount > 0 ? 1 : 0;
        Py_ssize_t extra = 0;
        PyObject* star = nullptr;
        int i = argcount + kwonly;
        if (varargs) {
            star = value(slots, i++);
            if (PyTuple_Check(star)) extra = PyTuple_GET_SIZE(star);
        }
        args = Ref::steal(PyTuple_New(argcount - first + extra));
        if (!args) return false;
        for (int k = first; k < argcount; ++k)
            PyTuple_SET_ITEM(args.get(), k - first, Py_NewRef(value(slots, k)));
        for (Py_ssize_t k = 0; k < extra; ++k)
            PyTuple_SET_ITEM(args.get(), argcount - first + k, Py_NewRef(PyTuple_GET_ITEM(star, k)));
        if (!kwonly && !varkw) return true;
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return false;
        for (int k = argcount; k < argcount + kwonly; ++k) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(varnames.get(), k), value(slots, k)) < 0)
                return false;
        }
        if (varkw) {
            PyObject* kw = value(slots, i);
            if (PyDict_Check(kw)) {
                Py_ssize_t pos = 0;
                PyObject *key, *v;
                while (PyDict_Next(kw, &pos, &key, &v)) {
                    if (PyUnicode_Check(key) && PyDict_SetItem(kwargs.get(), key, v) < 0) return false;
                }
            }
        }
        return true;
    }
};

// A backend's data kept in `code`'s extra slot (an Info with `code` and
// `generation`), made on first sight. `stale` when it is new or from an
// earlier session and must be filled again. NULL with an error set.
template <class Info>
Info* code_extra(PyObject* code, Py_ssize_t index, std::uint64_t generation, bool& stale) {
    void* extra = nullptr;
    if (compat::code_get_extra(code, index, &extra) < 0) return nullptr;
    auto* info = static_cast<Info*>(extra);
    stale = !info || info->generation != generation;
    if (info) return info;
    info = new Info();
    info->code = code;
    if (compat::code_set_extra(code, index, info) < 0) {
        delete info;
        return nullptr;
    }
    return info;
}

// What the Python side says of a code object: `kind` 0 when it is not
// project code, else its kind, with its table rows (a list, held in `rows`)
// unless it is skipped. False with an error set.
inline bool ask_builder(PyObject* builder, PyObject* code, int& kind, Ref& rows) {
    kind = 0;
    Ref built = call(builder, code);
    if (!built) return false;
    if (built.get() == Py_None) return true;
    if (!PyTuple_Check(built.get()) || PyTuple_GET_SIZE(built.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "code info builder: (kind, rows) expected");
        return false;
    }
    long k = PyLong_AsLong(PyTuple_GET_ITEM(built.get(), 0));
    if (k == -1 && PyErr_Occurred()) return false;
    PyObject* table = PyTuple_GET_ITEM(built.get(), 1);
    if (k != kSkip && !PyList_Check(table)) {
        PyErr_SetString(PyExc_TypeError, "code info builder: rows must be a list");
        return false;
    }
    kind = static_cast<int>(k);
    if (k != kSkip) rows = Ref::borrow(table);
    return true;
}

// The loads both backends read the same way, given a frame's globals,
// builtins and fast locals, a frame state with `seen`, `last_attr` and
// `last_attr_offset`, and a table entry with `name`, `src`, `src_slot`,
// `src_arg` and `src_offset`.
template <class State, class Entry>
bool load_global(Hooks& h, PyObject* globals, PyObject* builtins, State& st, const Entry& e) {
    PyObject* value = global_value(globals, builtins, e.name);
    if (!value) return PyErr_Occurred() ? h.absorb_internal() : true;  // a NameError is coming
    if (!st.seen.fresh(e.name, value)) return true;
    Ref hold = Ref::borrow(value);  // the hook may change the globals
    return h.global_loaded(hold.get(), e.name);
}

// The object of an attribute load, by repeating the load before it;
// empty when that cannot be done without running code.
template <class State, class Entry>
Ref static_source(PyObject* globals, PyObject* builtins, PyObject** fast, State& st, const Entry& e) {
    switch (e.src) {
        case SRC_LOCAL: {
            PyObject* v = fast[e.src_slot];
            if (v && PyCell_Check(v)) v = PyCell_GET(v);
            return Ref::borrow(v);
        }
        case SRC_GLOBAL:
            return Ref::borrow(global_value(globals, builtins, e.src_arg));
        case SRC_CONST:
            return Ref::borrow(e.src_arg);
        case SRC_ATTR:
            if (st.last_attr && st.last_attr_offset == e.src_offset) return st.last_attr;
            return {};
        default:
            return {};
    }
}

}  // namespace tarn::trace
