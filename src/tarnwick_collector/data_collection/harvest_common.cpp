// The hooks' shared pieces: per-thread state, error texts, stand-in
// counting and the size guard's verdict.
#include "harvest_state.hpp"

namespace harvest {

// ------------------------------------------------------- per-thread state

Ref thread_key() { return Ref::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident())); }

// The calling thread's current tracker (may be None), or empty with an
// error set.
Ref current_tracker() {
    Ref key = thread_key();
    if (!key) return {};
    PyObject* found = PyDict_GetItemWithError(B.current_calls.get(), key.get());
    if (found) return Ref::borrow(found);
    return PyErr_Occurred() ? Ref() : none();
}

bool set_current(PyObject* tracker) {
    Ref key = thread_key();
    return key && PyDict_SetItem(B.current_calls.get(), key.get(), tracker) == 0;
}

// ------------------------------------------------------------ helpers

bool contains(PyObject* container, PyObject* item, int* out) {
    *out = PyAnySet_Check(container) ? PySet_Contains(container, item)
                                     : PySequence_Contains(container, item);
    return *out >= 0;
}

Ref full_name_of(PyObject* record) {
    Ref meta = getattr(record, S.function_metadata);
    return meta ? getattr(meta.get(), S.full_name) : Ref();
}

// An exception's text as BaseException.__str__ gives it for a single str
// argument, read from BaseException's own args: no property, __str__ or
// other method of the exception's class runs (it may be the program's).
// "" for any other arguments.
Ref exception_text(PyObject* exc) {
    if (!PyExceptionInstance_Check(exc)) return Ref::borrow(S.empty);
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exc)->args;
    if (!args || !PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) != 1 ||
        !PyUnicode_CheckExact(PyTuple_GET_ITEM(args, 0)))
        return Ref::borrow(S.empty);
    return Ref::borrow(PyTuple_GET_ITEM(args, 0));
}

// The type name quoted in an exception's text at `index` (text cut at
// single quotes); "" when the text has fewer quoted parts.
Ref quoted_type_name(PyObject* exc, Py_ssize_t index) {
    Ref text = exception_text(exc);
    Ref parts = Ref::steal(PyUnicode_Split(text.get(), S.quote, -1));
    if (!parts) return {};
    if (PyList_GET_SIZE(parts.get()) <= index) return Ref::borrow(S.empty);
    return Ref::borrow(PyList_GET_ITEM(parts.get(), index));
}

// Reports a caught pickling failure: ProblematicPickleException -> REDUCE,
// TypeError -> TYPE_ERROR. The exception is taken out of the indicator.
// 1 handled, 0 not one of the two (indicator untouched), -1 failure.
int report_pickling_failure() {
    bool problematic = PyErr_ExceptionMatches(B.problematic_exc.get());
    if (!problematic && !PyErr_ExceptionMatches(PyExc_TypeError)) return 0;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    Ref name = quoted_type_name(v ? v.get() : Py_None, problematic ? 2 : 1);
    if (!name) return -1;
    return C.send_metric(B.unpicklable.get(), name.get(),
                         problematic ? B.reduce.get() : B.type_error.get())
               ? 1
               : -1;
}

// ------------------------------------------------- stand-in counting
// The pickler counts per thread the values it writes as stand-ins. A call
// is credited with those written for its own values and for its external
// calls' results, and the count goes out in StandIns metrics once its
// record is stored. Until its return a call's credit waits on its tracker,
// set only when there is one.


// The pickler's counts are reached once it is loaded (it counts from zero
// on every thread): before that, none can have been written.
const stand_ins::Api* stand_in_api() {
    if (B.stand_in_api) return B.stand_in_api;
    Ref pickler = Ref::steal(PyImport_GetModule(S.pickler_module));
    if (!pickler) {
        PyErr_Clear();
        return nullptr;
    }
    Ref capsule = Ref::steal(PyObject_GetAttr(pickler.get(), S.stand_in_api));
    void* api = capsule ? PyCapsule_GetPointer(capsule.get(), stand_ins::CAPSULE) : nullptr;
    if (!api) PyErr_Clear();  // a module still being initialized
    B.stand_in_api = static_cast<const stand_ins::Api*>(api);
    return B.stand_in_api;
}

Tally stand_ins_now() {
    Tally t;
    const stand_ins::Api* api = stand_in_api();
    if (!api) return t;
    const std::uint64_t* counts = api->written();
    for (int i = 0; i < stand_ins::REASONS; ++i) t.n[i] = counts[i];
    return t;
}

Tally since(const Tally& before) {
    Tally now = stand_ins_now();
    for (int i = 0; i < stand_ins::REASONS; ++i) now.n[i] -= before.n[i];
    return now;
}

bool is_zero(const Tally& t) {
    for (std::uint64_t n : t.n)
        if (n) return false;
    return true;
}

// Adds what `tracker` was credited before to `t`; -1 on error.
int held_credit(PyObject* tracker, Tally& t) {
    Ref held;
    if (compat::lookup_attr(tracker, S.stand_ins_credit, held) < 0) return -1;
    if (!held || !PyTuple_CheckExact(held.get()) || PyTuple_GET_SIZE(held.get()) != stand_ins::REASONS)
        return 0;
    for (int i = 0; i < stand_ins::REASONS; ++i) {
        unsigned long long n = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(held.get(), i));
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        t.n[i] += n;
    }
    return 1;
}

// Credits `tracker` (a tracker or None) with the stand-ins written since `before`.
bool credit_stand_ins(PyObject* tracker, const Tally& before) {
    Tally t = since(before);
    if (is_zero(t) || tracker == Py_None) return true;
    if (held_credit(tracker, t) < 0) return false;
    Ref held = Ref::steal(PyTuple_New(stand_ins::REASONS));
    if (!held) return false;
    for (int i = 0; i < stand_ins::REASONS; ++i) {
        PyObject* n = PyLong_FromUnsignedLongLong(t.n[i]);
        if (!n) return false;
        PyTuple_SET_ITEM(held.get(), i, n);
    }
    return PyObject_SetAttr(tracker, S.stand_ins_credit, held.get()) == 0;
}

// After a stored record: one StandIns metric per reason with values written
// as stand-ins, those since `before` and those credited to the tracker.
bool report_stand_ins(PyObject* tracker, PyObject* full_name, const Tally& before) {
    Tally t = since(before);
    // A thread that never wrote one has credited none.
    if (!is_zero(stand_ins_now()) && held_credit(tracker, t) < 0) return false;
    for (int i = 0; i < stand_ins::REASONS; ++i) {
        if (!t.n[i]) continue;
        Ref count = Ref::steal(PyLong_FromUnsignedLongLong(t.n[i]));
        if (!count || !C.send_metric(B.stand_ins_metric.get(), full_name,
                                     B.stand_in_reasons[i].get(), count.get()))
            return false;
    }
    return true;
}

// -------------------------------------------------------- size guard

// asizeof.asizeof(obj, limit=3) > MAX_STRING_SIZE. The native measure
// settles every value it finds below the limit. Above it (or past its
// budget) pympler decides, but only for values it can measure without
// running the program's code; for the others the native measure is the
// answer (pympler's would differ only by what that code returned).
int is_size_too_big_impl(PyObject* obj) {
    if (obj == Py_None) return 0;
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        Py_ssize_t n = PyUnicode_Check(obj) ? PyUnicode_GET_LENGTH(obj) : PyBytes_GET_SIZE(obj);
        return static_cast<double>(n) > B.max_size;
    }
    size_guard::Stats& stats = size_guard::stats();
    ++stats.measured;
    Ref held = Ref::borrow(obj);
    size_guard::Measure m = size_guard::measure(obj, B.max_size);
    if (m.complete && !m.over) {
        ++stats.native;
        return 0;
    }
    if (!m.complete || !size_guard::pympler_safe(obj)) {
        // A walk too large to finish is judged by what it counted.
        ++stats.c_level;
        return m.over ? 1 : 0;
    }
    ++stats.pympler;
    PyObject* argv[] = {obj, B.limit_value.get()};
    Ref size = Ref::steal(PyObject_Vectorcall(B.asizeof.get(), argv, 1, B.limit_kw.get()));
    if (!size) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref limit = Ref::steal(PyFloat_FromDouble(B.max_size));
    if (!limit) return -1;
    return PyObject_RichCompareBool(size.get(), limit.get(), Py_GT);
}

bool size_too_big_metric(PyObject* function_full_name, PyObject* name, PyObject* place) {
    Ref message = call_method(B.max_size_exceeded.get(), S.format, name, place);
    return message && C.send_metric(B.limit_failure.get(), function_full_name, message.get());
}

}  // namespace harvest
