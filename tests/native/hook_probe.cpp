// Calls a hook from C with an exception pending in the error indicator, the
// way the tracing extension calls the return hooks, and then restores that
// exception from the pointers it saw.
#include "tarn/util.hpp"

using namespace tarn;

namespace {

using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// call_with_pending(exc_type, exc_value, hook, *args)
//   -> (hook's result, True when the hook took the exception out)
// exc_value None leaves the value slot empty (a raw, unnormalized state).
PyObject* call_with_pending(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 3 || !PyCFunction_Check(args[2]) ||
        PyCFunction_GET_FLAGS(args[2]) != (METH_FASTCALL | METH_KEYWORDS)) {
        PyErr_SetString(PyExc_TypeError, "call_with_pending(exc_type, exc_value, native_hook, *args)");
        return nullptr;
    }
    PyObject* hook = args[2];
    PyObject* value = args[1] == Py_None ? nullptr : Py_NewRef(args[1]);
    PyErr_Restore(Py_NewRef(args[0]), value, nullptr);

    PyObject *type_seen, *value_seen, *tb_seen;  // what the extension remembers
    PyErr_Fetch(&type_seen, &value_seen, &tb_seen);
    PyErr_Restore(type_seen, value_seen, tb_seen);

    // Called directly: the interpreter's own call path refuses to run code
    // with an error pending, the extension's does not.
    auto fn = reinterpret_cast<FastWithKeywords>(reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(hook)));
    Ref result = Ref::steal(fn(PyCFunction_GET_SELF(hook), args + 3, nargs - 3, nullptr));
    if (!result) return nullptr;
    bool taken = !PyErr_Occurred();
    if (taken) PyErr_Restore(type_seen, value_seen, tb_seen);  // hand back what the hook took
    HeldError pending;  // leave the indicator empty for the caller
    return Py_BuildValue("(OO)", result.get(), taken ? Py_True : Py_False);
}

PyMethodDef functions[] = {
    {"call_with_pending", as_method(call_with_pending),
     METH_FASTCALL, nullptr},
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_hook_probe", nullptr, -1, functions};

}  // namespace

PyMODINIT_FUNC PyInit__hook_probe() {
    return PyModule_Create(&module_def);
}
