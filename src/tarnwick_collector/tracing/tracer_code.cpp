// The trace-function layer's tables per code object, and its value stack read.
#include "tracer_state.hpp"

#if TRACER_AVAILABLE

namespace tracer {

// ---------------------------------------------------------- code info

void free_info(void* p) {
    auto* info = static_cast<CodeInfo*>(p);
    // A state of it can only be one whose end was missed: its frame is gone.
    // The states die after the walk: their references may run any code.
    std::vector<StatePtr> gone;
    for (auto it = T.frames.begin(); it != T.frames.end();) {
        if (it->second->info == info) {
            gone.push_back(std::move(it.value()));
            T.last_f = nullptr;
            it = T.frames.erase(it);
        } else {
            ++it;
        }
    }
    delete info;
}

bool fill_table(CodeInfo& info, PyObject* rows) {
    auto* code = reinterpret_cast<PyCodeObject*>(info.code);
    Py_ssize_t n = PyList_Size(rows);
    if (n < 0) return false;
    Py_ssize_t size = compat::code_size(code);
    if (size < 0) return false;
    if (n >= 0xFFFF) {
        PyErr_SetString(PyExc_ValueError, "load table too large");
        return false;
    }
    info.at.assign(static_cast<std::size_t>(size / 2 + 1), 0);
    info.rows_at.assign(static_cast<std::size_t>(n), Entry{});
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* names = code->co_localsplusnames;
#else
    PyObject* names = code->co_varnames;
#endif
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(rows, i);
        if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 6) {
            PyErr_SetString(PyExc_TypeError, "bad load table row");
            return false;
        }
        long offset = PyLong_AsLong(PyTuple_GET_ITEM(row, 0));
        if (offset < 0 || static_cast<std::size_t>(offset / 2) >= info.at.size()) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "offset out of range");
            return false;
        }
        info.at[static_cast<std::size_t>(offset / 2)] = static_cast<std::uint16_t>(i + 1);
        Entry& e = info.rows_at[static_cast<std::size_t>(i)];
        e.kind = static_cast<std::uint8_t>(PyLong_AsLong(PyTuple_GET_ITEM(row, 1)));
        PyObject* name = PyTuple_GET_ITEM(row, 2);
        e.src = static_cast<std::uint8_t>(PyLong_AsLong(PyTuple_GET_ITEM(row, 3)));
        PyObject* src_arg = PyTuple_GET_ITEM(row, 4);
        long src_offset = PyLong_AsLong(PyTuple_GET_ITEM(row, 5));
        if (PyErr_Occurred()) return false;
        if (e.kind == E_CALL) {
            e.method_call = name == Py_True;
            e.layout = e.src;
            e.call_depth = static_cast<int>(PyLong_AsLong(src_arg));
            e.src = SRC_NONE;
            if (PyErr_Occurred()) return false;
            info.calls = true;
            continue;
        }
        e.name = name;
        info.loads = true;
        if (e.src == SRC_LOCAL) {
            // The slot of that name among the fast locals (cells and free
            // variables follow the plain locals on 3.10).
            e.src_slot = -1;
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(names); ++k) {
                if (PyTuple_GET_ITEM(names, k) == src_arg) {
                    e.src_slot = static_cast<int>(k);
                    break;
                }
            }
#if PY_VERSION_HEX < 0x030B0000
            if (e.src_slot < 0) {
                Py_ssize_t base = code->co_nlocals;
                for (PyObject* group : {code->co_cellvars, code->co_freevars}) {
                    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(group) && e.src_slot < 0; ++k)
                        if (PyTuple_GET_ITEM(group, k) == src_arg) e.src_slot = static_cast<int>(base + k);
                    base += PyTuple_GET_SIZE(group);
                }
            }
#endif
            if (e.src_slot < 0) e.src = SRC_NONE;
        } else if (e.src == SRC_ATTR) {
            e.src_offset = static_cast<int>(src_offset);
        } else if (e.src != SRC_NONE) {
            e.src_arg = src_arg;
        }
    }
    return true;
}

// The info of `code` for this session, made on first sight. NULL with an
// error set on failure.
CodeInfo* code_info(PyObject* code) {
    bool stale = false;
    auto* info = code_extra<CodeInfo>(code, T.extra_index, T.generation, stale);
    if (!info || !stale) return info;
    // (Re)built for this session: another session may see other project files.
    info->generation = T.generation;
    info->kind = 0;
    info->loads = info->calls = false;
    info->seen = 0;
    info->at.clear();
    info->rows_at.clear();
    info->rows.reset();
    info->suspending = reinterpret_cast<PyCodeObject*>(code)->co_flags &
                       (CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE);
    int kind = 0;
    Ref rows;
    if (!ask_builder(T.builder.get(), code, kind, rows)) return nullptr;
    if (kind == 0) return info;
    if (rows) {
        info->rows = rows;
        if (!fill_table(*info, rows.get())) return nullptr;
        if (kind == kRecord && !info->args.fill(reinterpret_cast<PyCodeObject*>(code))) return nullptr;
    }
    info->kind = kind;
    return info;
}

// ------------------------------------------------------------ reads

PyObject* stack(PyFrameObject* f, const CodeInfo& info, int from_top) {
    return frames::stack_item(f, reinterpret_cast<PyCodeObject*>(info.code), from_top);
}

}  // namespace tracer

#endif
