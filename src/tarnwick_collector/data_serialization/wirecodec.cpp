// The serializer of everything sent to the subprocesses: the safe pickler
// one way, the interpreter's own loader the other.
#include "tarn/util.hpp"

using namespace tarn;

namespace {

constexpr const char* MODULE = "tarnwick_collector.data_serialization.wirecodec";

struct Bound {
    Ref safe_pickle;
    Ref loads;
};
Bound& B = leak<Bound>();

Params<2> serialize_params{"serialize", {"obj", "object_wrapper"}, 1};
PyObject* serialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 2> a;
    if (!serialize_params.parse(args, nargs, kw, a)) return nullptr;
    Ref data = call(B.safe_pickle.get(), a[0], a[1] ? a[1] : Py_True);
    if (!data) return nullptr;
    if (data.get() != Py_None && !PyBytes_CheckExact(data.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "bytes",
                     Py_TYPE(data.get())->tp_name);
        return nullptr;
    }
    return data.release();
}

Params<1> deserialize_params{"deserialize", {"data"}, 1};
PyObject* deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!deserialize_params.parse(args, nargs, kw, a)) return nullptr;
    return call(B.loads.get(), a[0]).release();
}


PyMethodDef codec_methods[] = {
    {"serialize", as_method(serialize), METH_FASTCALL | METH_KEYWORDS,
     "Serialize an object with the safe pickler."},
    {"deserialize", as_method(deserialize), METH_FASTCALL | METH_KEYWORDS,
     "Load bytes written by serialize."},
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "wirecodec",
                          "The pickle serializer of messages to the subprocesses.", -1, nullptr};

PyObject* init_module() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref cpickle, contract, update;
    if (!bind_to(B.safe_pickle,
                 import_attr("tarnwick_collector.data_serialization.pickler", "safe_pickle")) ||
        !bind_to(cpickle, Ref::steal(PyImport_ImportModule("_pickle"))) ||
        !bind_to(B.loads, Ref::steal(PyObject_GetAttrString(cpickle.get(), "loads"))) ||
        !bind_to(contract,
                 import_attr("tarnwick_collector.data_serialization.wirecontract", "WireContract")) ||
        !bind_to(update, import_attr("abc", "update_abstractmethods")))
        return nullptr;
    if (!add_to_module(module.get(), "Any", import_attr("typing", "Any")) ||
        !add_to_module(module.get(), "_pickle", cpickle) ||
        !add_to_module(module.get(), "safe_pickle", B.safe_pickle) ||
        !add_to_module(module.get(), "WireContract", contract))
        return nullptr;
    Ref bases = Ref::steal(PyTuple_Pack(1, contract.get()));
    if (!bases) return nullptr;
    Ref cls = make_class(MODULE, "IpcPickleSerializer", bases.get(),
                         "This class is used to serialize and deserialize data using pickle.");
    if (!cls || !add_methods(cls.get(), codec_methods) || !call(update.get(), cls.get()) ||
        !add_to_module(module.get(), "IpcPickleSerializer", cls))
        return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_wirecodec() {
    return guarded(init_module);
}
