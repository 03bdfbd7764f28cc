// The bytes of the metrics every recorded call sends (CollectionTry,
// CollectionSuccess), made once: for the same class, settings values and
// serializer they are the same bytes every time. They are made anew when
// one of those changes: a settings value (compared by value), the class or
// one of its bases (type version), the serializer, or what the metrics
// module holds under the class's name. A serializer other than the
// collector's own is always called.
#pragma once

#include "tarn/collector.hpp"

namespace metric_bytes {

using namespace tarn;

class ConstantMetric {
public:
    // The class to send; `module` is the module it is found in by name.
    bool bind(const Collector& C, PyObject* cls, PyObject* module) {
        serialize_name_ = C.s.serialize;
        cls_ = Ref::borrow(cls);
        module_ = Ref::borrow(module);
        return cls && module && PyType_Check(cls) && PyModule_Check(module);
    }

    // C.send_metric(cls) with the bytes remembered where they can be.
    bool send(Collector& C) {
        Ref values[4];
        PyObject* names[4] = {C.s.tenant_id, C.s.project_id, C.s.python_version, C.s.lib_version};
        for (int i = 0; i < 4; ++i)
            if (!(values[i] = C.setting(names[i]))) return false;
        Ref ser = C.setting(C.s.serializer);
        if (!ser) return false;
        Ref data;
        if (C.own_serializer(ser.get()) && valid(values, ser.get())) {
            data = bytes_;
        } else {
            Ref metric = call(cls_.get(), values[0].get(), values[1].get(), values[2].get(),
                              values[3].get());
            if (!metric) return false;
            data = call_method(ser.get(), C.s.serialize, metric.get());
            if (!data) return false;
            if (PyBytes_CheckExact(data.get()) && C.own_serializer(ser.get()))
                remember(values, ser, data);
        }
        Ref sink = C.setting(C.s.metrics_subprocess);
        if (!sink) return false;
        return bool(call_method(sink.get(), C.s.send_message, data.get()));
    }

private:
    PyObject* serialize_name() const { return serialize_name_; }

    unsigned long long module_version() const {
        return compat::dict_version(PyModule_GetDict(module_.get()));
    }

    // What the metrics module holds under the class's name is the class.
    bool found_by_name() const {
        PyObject* name = reinterpret_cast<PyHeapTypeObject*>(cls_.get())->ht_name;
        PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module_.get()), name);
        if (!found && PyErr_Occurred()) PyErr_Clear();
        return found == cls_.get();
    }

    static bool same_value(PyObject* a, PyObject* b) {
        if (a == b) return true;
        if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) return false;
        return PyUnicode_Compare(a, b) == 0;
    }

    bool valid(const Ref (&values)[4], PyObject* ser) {
        if (!bytes_ || ser != serializer_.get()) return false;
        unsigned int version = compat::type_version(reinterpret_cast<PyTypeObject*>(cls_.get()));
        if (!version || version != type_version_) return false;
        for (int i = 0; i < 4; ++i)
            if (!same_value(values[i].get(), values_[i].get())) return false;
        unsigned long long mv = module_version();
        if (!mv || mv != module_version_) {
            if (!found_by_name()) return false;
            module_version_ = mv;
        }
        return true;
    }

    void remember(const Ref (&values)[4], const Ref& ser, const Ref& data) {
        for (const Ref& v : values)
            if (!PyUnicode_CheckExact(v.get())) return;  // only plain text is compared by value
        if (!found_by_name()) return;
        auto* t = reinterpret_cast<PyTypeObject*>(cls_.get());
        // A lookup gives a class a valid version tag where it has none yet.
        (void)compat::type_lookup(t, serialize_name());
        unsigned int version = compat::type_version(t);
        if (!version) return;
        for (int i = 0; i < 4; ++i) values_[i] = values[i];
        serializer_ = ser;
        type_version_ = version;
        module_version_ = module_version();
        bytes_ = data;
    }

    PyObject* serialize_name_ = nullptr;  // interned, owned by the collector's table
    Ref cls_, module_;
    Ref values_[4];
    Ref serializer_;  // the collector's own serializer object
    unsigned int type_version_ = 0;
    unsigned long long module_version_ = 0;
    Ref bytes_;
};

}  // namespace metric_bytes
