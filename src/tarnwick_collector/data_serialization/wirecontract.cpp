// The serializer contract: an abstract class whose two methods every
// serializer of messages to the subprocesses implements.
#include "tarn/util.hpp"


using namespace tarn;

namespace {

constexpr const char* MODULE = "tarnwick_collector.data_serialization.wirecontract";

// A method marked abstract: behaves like the method it wraps (bound through
// the instance, itself through the class) and carries __isabstractmethod__,
// which is what abc looks for.
struct AbstractMethod {
    PyObject_HEAD
    PyObject* method;
    vectorcallfunc vectorcall;
};

PyObject* abstract_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(reinterpret_cast<AbstractMethod*>(self)->method, args, nargsf,
                               kwnames);
}

PyObject* abstract_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int abstract_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<AbstractMethod*>(self)->method);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int abstract_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<AbstractMethod*>(self)->method);
    return 0;
}

void abstract_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    abstract_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* abstract_is_abstract(PyObject*, void*) { Py_RETURN_TRUE; }

PyObject* abstract_doc(PyObject* self, void*) {
    return PyObject_GetAttrString(reinterpret_cast<AbstractMethod*>(self)->method, "__doc__");
}

PyObject* abstract_name(PyObject* self, void*) {
    return PyObject_GetAttrString(reinterpret_cast<AbstractMethod*>(self)->method, "__name__");
}

PyGetSetDef abstract_getset[] = {
    {"__isabstractmethod__", abstract_is_abstract, nullptr, nullptr, nullptr},
    {"__doc__", abstract_doc, nullptr, nullptr, nullptr},
    {"__name__", abstract_name, nullptr, nullptr, nullptr},
    {}};

PyMemberDef abstract_members[] = {
    compat::vectorcall_offset_member(offsetof(AbstractMethod, vectorcall)), {}};

PyType_Slot abstract_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(abstract_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(abstract_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(abstract_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(abstract_dealloc)},
    {Py_tp_getset, abstract_getset},
    {Py_tp_members, abstract_members},
    {0, nullptr}};

PyType_Spec abstract_spec = {
    "tarnwick_collector.data_serialization.wirecontract.abstractmethod",
    sizeof(AbstractMethod), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL, abstract_slots};

PyTypeObject* abstract_type = nullptr;

Ref make_abstract(PyObject* method) {
    auto* self = PyObject_GC_New(AbstractMethod, abstract_type);
    if (!self) return {};
    self->method = Py_NewRef(method);
    self->vectorcall = abstract_call;
    PyObject_GC_Track(self);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

Params<1> serialize_params{"serialize", {"obj"}, 1};
PyObject* contract_serialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!serialize_params.parse(args, nargs, kw, a)) return nullptr;
    Py_RETURN_NONE;
}

Params<1> deserialize_params{"deserialize", {"data"}, 1};
PyObject* contract_deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!deserialize_params.parse(args, nargs, kw, a) ||
        !check_exact_or_none(a[0], &PyBytes_Type, "data"))
        return nullptr;
    Py_RETURN_NONE;
}


PyMethodDef contract_methods[] = {
    {"serialize", as_method(contract_serialize), METH_FASTCALL | METH_KEYWORDS,
     "This function serializes an object."},
    {"deserialize", as_method(contract_deserialize), METH_FASTCALL | METH_KEYWORDS,
     "This function deserializes given data."},
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "wirecontract",
                          "The contract of the serializers used for the subprocesses.", -1,
                          nullptr};

PyObject* init_module() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref abc_base, abstractmethod, update;
    if (!bind_to(abc_base, import_attr("abc", "ABC")) ||
        !bind_to(abstractmethod, import_attr("abc", "abstractmethod")) ||
        !bind_to(update, import_attr("abc", "update_abstractmethods")))
        return nullptr;
    if (!add_to_module(module.get(), "ABC", abc_base) ||
        !add_to_module(module.get(), "abstractmethod", abstractmethod) ||
        !add_to_module(module.get(), "Any", import_attr("typing", "Any")))
        return nullptr;

    abstract_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&abstract_spec));
    if (!abstract_type) return nullptr;

    Ref bases = Ref::steal(PyTuple_Pack(1, abc_base.get()));
    if (!bases) return nullptr;
    Ref cls = make_class(MODULE, "WireContract", bases.get(), nullptr);
    if (!cls) return nullptr;
    for (PyMethodDef* d = contract_methods; d->ml_name; ++d) {
        Ref descr = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.get()), d));
        Ref marked = descr ? make_abstract(descr.get()) : Ref();
        if (!marked || PyObject_SetAttrString(cls.get(), d->ml_name, marked.get()) < 0)
            return nullptr;
    }
    if (!call(update.get(), cls.get())) return nullptr;
    if (!add_to_module(module.get(), "WireContract", cls)) return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_wirecontract() {
    return guarded(init_module);
}
