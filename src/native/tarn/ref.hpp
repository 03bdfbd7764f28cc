// Reference handles: the only place where the extension modules touch
// reference counts by hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarn {

// Owning reference. `Ref::steal` adopts a new reference (possibly NULL, so
// that a failed C API call can be tested with `if (!r)`), `Ref::borrow`
// takes an extra one.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(const Ref& o) noexcept {
        Ref tmp(o);
        swap(tmp);
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        Ref tmp(std::move(o));
        swap(tmp);
        return *this;
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference over to the caller (a C API that steals, or a
    // function's return value).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new strong reference for the caller, keeping ours.
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A reference someone else keeps alive; documents intent in signatures.
class Borrowed {
public:
    Borrowed(PyObject* p) noexcept : p_(p) {}
    Borrowed(const Ref& r) noexcept : p_(r.get()) {}
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    Ref own() const noexcept { return Ref::borrow(p_); }

private:
    PyObject* p_;
};

// Owning reference to the result of a C API call that returns a new
// reference; reads better at call sites than Ref::steal.
inline Ref own(PyObject* p) noexcept { return Ref::steal(p); }

}  // namespace tarn
