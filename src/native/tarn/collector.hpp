// The collector settings as the modules use them: the settings class is
// bound once at import, its attributes are read at every use, so a change
// of configuration takes effect at once.
#pragma once

#include "tarn/util.hpp"

namespace tarn {

#define TARN_SETTINGS_STRINGS(X)          \
    X(tenant_id, "tenant_id")             \
    X(project_id, "project_id")           \
    X(python_version, "python_version")   \
    X(lib_version, "lib_version")         \
    X(serializer, "serializer")           \
    X(serialize, "serialize")             \
    X(send_message, "send_message")       \
    X(metrics_subprocess, "metrics_subprocess") \
    X(data_subprocess, "data_subprocess") \
    X(object_wrapper, "object_wrapper")
TARN_STRING_TABLE(SettingsStrings, TARN_SETTINGS_STRINGS);

class Collector {
public:
    bool bind() {
        if (!s.create()) return false;
        settings_ = import_attr("tarnwick_collector.configs.collector_settings", "CollectorSettings");
        if (!settings_) return false;
        no_wrapper_kw_ = Ref::steal(PyTuple_Pack(1, s.object_wrapper));
        return bool(no_wrapper_kw_);
    }

    PyObject* settings() const { return settings_.get(); }
    Ref setting(PyObject* name) const { return getattr(settings_.get(), name); }

    // CollectorSettings.serializer.serialize(obj)
    Ref serialize(PyObject* obj) const {
        Ref ser = setting(s.serializer);
        if (!ser) return {};
        return call_method(ser.get(), s.serialize, obj);
    }

    // CollectorSettings.serializer.serialize(obj, object_wrapper=False)
    Ref serialize_unwrapped(PyObject* obj) const {
        Ref ser = setting(s.serializer);
        return ser ? serialize_unwrapped_by(ser.get(), obj) : Ref();
    }
    Ref serialize_unwrapped_by(PyObject* ser, PyObject* obj) const {
        PyObject* argv[] = {ser, obj, Py_False};
        return Ref::steal(PyObject_VectorcallMethod(s.serialize, argv, 2, no_wrapper_kw_.get()));
    }

    // Builds `metric_cls(tenant_id, project_id, python_version, lib_version,
    // *extra)`, serializes it and sends it to the metrics subprocess.
    template <class... A>
    bool send_metric(PyObject* metric_cls, A... extra) const {
        Ref tenant = setting(s.tenant_id);
        if (!tenant) return false;
        Ref project = setting(s.project_id);
        if (!project) return false;
        Ref pyver = setting(s.python_version);
        if (!pyver) return false;
        Ref libver = setting(s.lib_version);
        if (!libver) return false;
        Ref metric = call(metric_cls, tenant.get(), project.get(), pyver.get(), libver.get(), extra...);
        if (!metric) return false;
        Ref data = serialize(metric.get());
        if (!data) return false;
        Ref sink = setting(s.metrics_subprocess);
        if (!sink) return false;
        return bool(call_method(sink.get(), s.send_message, data.get()));
    }

    // Whether `ser` is the collector's own serializer with its own
    // serialize, whose bytes depend on the object alone (so that bytes made
    // once can stand for another call). Not imported here: a serializer of
    // that class exists only once its module has been.
    bool own_serializer(PyObject* ser) {
        if (!codec_cls_) {
            PyObject* mod = PyDict_GetItemString(PyImport_GetModuleDict(),
                                                 "tarnwick_collector.data_serialization.wirecodec");
            if (!mod || !PyModule_Check(mod)) return false;
            PyObject* cls = PyDict_GetItemString(PyModule_GetDict(mod), "IpcPickleSerializer");
            if (!cls || !PyType_Check(cls)) return false;
            PyObject* method = compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls), s.serialize);
            if (!method) return false;
            codec_cls_ = Ref::borrow(cls);
            codec_serialize_ = Ref::borrow(method);
        }
        auto* t = reinterpret_cast<PyTypeObject*>(codec_cls_.get());
        if (Py_TYPE(ser) != t || compat::type_lookup(t, s.serialize) != codec_serialize_.get())
            return false;
        PyObject** dict = compat::instance_dict_ptr(ser);
        if (!dict || !*dict) return true;
        PyObject* shadow = PyDict_GetItemWithError(*dict, s.serialize);
        if (!shadow && PyErr_Occurred()) PyErr_Clear();
        return !shadow;
    }

    SettingsStrings s;

private:
    Ref settings_;
    Ref no_wrapper_kw_;
    Ref codec_cls_, codec_serialize_;
};

}  // namespace tarn
