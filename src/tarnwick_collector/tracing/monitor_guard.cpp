// The stand-in for sys.monitoring.use_tool_id (see monitor_guard.hpp).
#include "monitor_guard.hpp"

#include "tarn/util.hpp"

namespace tarn::monitor_guard {
namespace {

struct Guard {
    Ref original;  // the function the stand-in forwards to
    Ref standin;
    int tool = -1;  // the id we hold; -1: forward everything
    YieldFn on_yield = nullptr;
};
Guard& G = leak<Guard>();

PyObject* use_tool_id(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ml_doc is the original's (its text signature included) once installed.
PyMethodDef standin_def = {"use_tool_id", reinterpret_cast<PyCFunction>(
                               reinterpret_cast<void (*)()>(use_tool_id)),
                           METH_FASTCALL | METH_KEYWORDS, nullptr};

PyObject* use_tool_id(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Ref original = G.original;  // held: the call may put another in place
        if (!original) {
            PyErr_SetString(PyExc_RuntimeError, "sys.monitoring.use_tool_id is not available");
            return nullptr;
        }
        // Only a call that the original would grant but for our holding the
        // id: two positional arguments, a str name; anything else is the
        // original's to accept or refuse.
        bool candidate = G.tool >= 0 && nargs == 2 &&
                         (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) && PyUnicode_Check(args[1]);
        if (!candidate) return PyObject_Vectorcall(original.get(), args, nargs, kwnames);
        // The id as the original reads it: __index__ runs once, here, and the
        // original is given its result.
        Ref id = PyLong_Check(args[0]) ? Ref::borrow(args[0]) : Ref::steal(PyNumber_Index(args[0]));
        if (!id) return nullptr;
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(id.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) return nullptr;
        if (!overflow && value == G.tool && G.on_yield) {
            int tool = G.tool;
            G.tool = -1;
            G.on_yield(tool);
            // Ours to count (on_yield does), never the program's.
            if (PyErr_Occurred()) PyErr_Clear();
        }
        PyObject* argv[] = {id.get(), args[1]};
        return PyObject_Vectorcall(original.get(), argv, 2, nullptr);
    });
}

}  // namespace

bool install(PyObject* monitoring, int tool, YieldFn on_yield) {
    Ref current = Ref::steal(PyObject_GetAttrString(monitoring, "use_tool_id"));
    if (!current) return false;
    if (!G.standin || current.get() != G.standin.get()) {
        PyObject* self = nullptr;
        PyObject* module = nullptr;
        if (PyCFunction_Check(current.get())) {
            auto* fn = reinterpret_cast<PyCFunctionObject*>(current.get());
            if (!standin_def.ml_doc) standin_def.ml_doc = fn->m_ml->ml_doc;
            self = fn->m_self;
            module = fn->m_module;
        }
        // Same __self__, __module__, name and signature as the original.
        Ref standin = Ref::steal(PyCFunction_NewEx(&standin_def, self, module));
        if (!standin) return false;
        if (PyObject_SetAttrString(monitoring, "use_tool_id", standin.get()) < 0) return false;
        G.original = std::move(current);
        G.standin = std::move(standin);
    }
    G.tool = tool;
    G.on_yield = on_yield;
    return true;
}

bool remove(PyObject* monitoring) {
    G.tool = -1;
    if (!G.original || !G.standin) return true;
    Ref current = Ref::steal(PyObject_GetAttrString(monitoring, "use_tool_id"));
    if (!current) return false;
    if (current.get() != G.standin.get()) return true;  // the program's own is left there
    return PyObject_SetAttrString(monitoring, "use_tool_id", G.original.get()) == 0;
}

}  // namespace tarn::monitor_guard
