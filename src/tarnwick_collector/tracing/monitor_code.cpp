// The sys.monitoring layer's tables per code object, the events set on
// each, and the value stack read.
#include "monitor_state.hpp"

#if MONITOR_AVAILABLE

namespace monitor {

// --------------------------------------------------------- code info

void free_info(void* p) {
    auto* info = static_cast<CodeInfo*>(p);
    M.with_local_events.erase(info);
    // A state of it can only be one whose end was missed: its frame is gone.
    for (auto it = M.frames.begin(); it != M.frames.end();) {
        if (it->second->info == info) {
            it->second->counted = false;
            it = M.frames.erase(it);
        } else {
            ++it;
        }
    }
    delete info;
}

bool set_local_events(PyObject* code, long mask) {
    Ref tool = Ref::steal(PyLong_FromLong(M.tool));
    Ref events = Ref::steal(PyLong_FromLong(mask));
    if (!tool || !events) return false;
    Ref r = call(M.set_local_events_fn.get(), tool.get(), code, events.get());
    return bool(r);
}

bool fill_table(CodeInfo& info, PyObject* rows) {
    auto* code = reinterpret_cast<PyCodeObject*>(info.code);
    Py_ssize_t n = PyList_Size(rows);
    if (n < 0) return false;
    Py_ssize_t size = PyBytes_Size(Ref::steal(PyCode_GetCode(code)).get());
    if (size < 0) return false;
    info.at.assign(static_cast<std::size_t>(size / 2 + 1), Entry{});
    PyObject* names = code->co_localsplusnames;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(rows, i);
        if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 8) {
            PyErr_SetString(PyExc_TypeError, "bad instruction table row");
            return false;
        }
        long offset = PyLong_AsLong(PyTuple_GET_ITEM(row, 0));
        if (offset < 0 || static_cast<std::size_t>(offset / 2) >= info.at.size()) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "offset out of range");
            return false;
        }
        Entry& e = info.at[static_cast<std::size_t>(offset / 2)];
        e.kind = static_cast<std::uint8_t>(PyLong_AsLong(PyTuple_GET_ITEM(row, 1)));
        PyObject* name = PyTuple_GET_ITEM(row, 2);
        e.name = name == Py_None ? nullptr : name;
        e.depth = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(row, 3)));
        e.next = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(row, 4)));
        e.next_depth = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(row, 5)));
        e.src = static_cast<std::uint8_t>(PyLong_AsLong(PyTuple_GET_ITEM(row, 6)));
        PyObject* src_arg = PyTuple_GET_ITEM(row, 7);
        if (PyErr_Occurred()) return false;
        if (e.src == SRC_LOCAL) {
            // The slot of that name among the fast locals.
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(names); ++k) {
                if (PyTuple_GET_ITEM(names, k) == src_arg) {
                    e.src_slot = static_cast<int>(k);
                    break;
                }
            }
            if (e.src_slot < 0) e.src = SRC_NONE;
        } else if (e.src == SRC_ATTR) {
            e.src_offset = static_cast<int>(PyLong_AsLong(src_arg));
            if (PyErr_Occurred()) return false;
        } else {
            e.src_arg = src_arg;
        }
        if (e.kind != E_NONE) info.has_table = true;
    }
    for (const Entry& e : info.at) {
        if (e.kind != E_NONE && e.next >= 0 && static_cast<std::size_t>(e.next / 2) < info.at.size())
            info.at[static_cast<std::size_t>(e.next / 2)].is_next = true;
    }
    return true;
}

// The info of `code` for this session, made on first sight. NULL with an
// error set on failure.
CodeInfo* code_info(PyObject* code) {
    bool stale = false;
    auto* info = code_extra<CodeInfo>(code, M.extra_index, M.generation, stale);
    if (!info || !stale) return info;
    // (Re)built for this session: another session may see other project files.
    M.with_local_events.erase(info);
    info->generation = M.generation;
    info->kind = 0;
    info->has_table = info->local_events = info->watched = info->switch_off = false;
    info->seen = 0;
    info->live = 0;
    info->at.clear();
    info->rows.reset();
    int kind = 0;
    Ref rows;
    if (!ask_builder(M.builder.get(), code, kind, rows)) return nullptr;
    if (kind == 0) return info;
    if (rows) {
        info->rows = rows;
        if (!fill_table(*info, rows.get())) return nullptr;
        if (kind == kRecord && !info->args.fill(reinterpret_cast<PyCodeObject*>(code))) return nullptr;
    }
    info->kind = kind;
    return info;
}

bool ensure_local_events(CodeInfo& info) {
    if (info.local_events) return true;
    long mask = M.local_mask;
    if (!info.has_table) mask &= ~bit(EV_INSTRUCTION);
    if (!set_local_events(info.code, mask)) return false;
    info.local_events = true;
    M.with_local_events.insert(&info);
    return true;
}

bool switch_off(CodeInfo& info) {
    info.switch_off = false;
    if (!info.local_events) return true;
    info.local_events = false;
    M.with_local_events.erase(&info);
    return set_local_events(info.code, 0);
}

// --------------------------------------------------------- stack reads

PyObject* stack_slot(IFrame* f, CodeInfo& info, int depth_from_bottom) {
    auto* code = reinterpret_cast<PyCodeObject*>(info.code);
    if (depth_from_bottom < 1 || depth_from_bottom > code->co_stacksize) return nullptr;
    return frames::localsplus(f)[code->co_nlocalsplus + depth_from_bottom - 1];
}

}  // namespace monitor

#endif
