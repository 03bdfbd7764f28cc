// The native walk of the size guard; see size_guard.hpp for what it counts.
//
// Any allocation may start the cyclic collector and run a finalizer, and a
// finalizer may change or free anything of the program's. So the walk owns
// every object it will still look at (a container is owned while its
// children are read, each child is owned before anything can run), reads
// lists and tuples by index with the size checked at every step and dicts
// with PyDict_Next (both stay in bounds when the container changes), and
// copies the children a type's traversal hands over before it measures any
// of them. Nothing is ever read through a pointer that was borrowed across
// a call that can allocate.
#include "size_guard.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <new>
#include <vector>

using tarn::Ref;
namespace compat = tarn::compat;

namespace size_guard {
namespace {

constexpr int kLimit = 3;                                // asizeof's limit
constexpr std::size_t kMaxVisits = std::size_t(1) << 23;  // references followed
constexpr std::size_t kMaxObjects = std::size_t(1) << 22; // distinct objects
constexpr double kTracebackInts = 64;  // tb_lasti and tb_lineno, made when pympler reads them

#define GUARD_STRINGS(X)                                                                 \
    X(sizeof_, "__sizeof__") X(dict, "__dict__") X(klass, "__class__")                    \
    X(slots, "__slots__") X(module, "__module__") X(name, "__name__") X(fields, "_fields") \
    X(iter, "__iter__") X(len, "__len__") X(items, "items") X(iteritems, "iteritems")     \
    X(args, "args") X(filename, "filename") X(lineno, "lineno") X(msg, "msg")             \
    X(text, "text") X(doc, "__doc__") X(getattr_, "__getattr__")                          \
    X(getattribute, "__getattribute__") X(itemsize_dunder, "__itemsize__")                \
    X(basicsize, "__basicsize__") X(flags, "__flags__") X(mro, "mro") X(dtype, "dtype")   \
    X(itemsize, "itemsize") X(data, "data") X(weakref, "__weakref__") X(base, "base")
TARN_STRING_TABLE(Strings, GUARD_STRINGS);

struct Known {
    Strings s;
    PyObject* object_sizeof = nullptr;  // object.__sizeof__ (object's dict keeps it)
    PyTypeObject* mappingproxy = nullptr;
    PyTypeObject* array = nullptr;
    PyTypeObject* weak_key_dict = nullptr;
    PyTypeObject* weak_value_dict = nullptr;
    PyObject* enum_meta_getattr = nullptr;  // the standard library's, harmless on dunders
    Ref keep;                               // owns the objects above
    Ref typedefs;                           // pympler's table of per-type entries
    bool numpy = false;                     // pympler probes objects for numpy attributes
    std::array<PyObject*, 5> exception_names{};
    std::array<PyObject*, 5> meta_names{};  // read on classes through the metaclass
    std::array<PyObject*, 3> meta_own{};    // must be type's own
};
Known& K = tarn::leak<Known>();

// ------------------------------------------------------------ small facts

// What pympler counts as nothing and never looks into: classes, functions,
// builtins, methods, code, frames, and the few exact types it ignores.
bool counted_as_nothing(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return PyType_Check(o) || PyFunction_Check(o) || PyCFunction_Check(o) || PyMethod_Check(o) ||
           PyCode_Check(o) || PyFrame_Check(o) || t == &PyClassMethod_Type ||
           t == &PyStaticMethod_Type || t == &_PyWeakref_CallableProxyType ||
           t == &PyBaseObject_Type || t == &PySuper_Type;
}

bool leaf_type(PyTypeObject* t) {
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == &PyBytes_Type || t == &PyComplex_Type || t == Py_TYPE(Py_None) ||
           t == &PyByteArray_Type;
}

bool is_exception(PyObject* o) {
    return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}

// The first __sizeof__ of the MRO that is C code: a Python override is
// never called. Borrowed (the type's MRO keeps it).
PyObject* c_sizeof(PyTypeObject* t) {
    PyObject* found = compat::type_lookup(t, K.s.sizeof_);
    if (found && Py_IS_TYPE(found, &PyMethodDescr_Type)) return found;
    PyObject* mro = t->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return K.object_sizeof;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) continue;
        PyObject* dict = compat::own_type_dict(reinterpret_cast<PyTypeObject*>(base));
        if (!dict) continue;
        PyObject* d = PyDict_GetItemWithError(dict, K.s.sizeof_);
        if (!d) {
            PyErr_Clear();
            continue;
        }
        if (Py_IS_TYPE(d, &PyMethodDescr_Type)) return d;
    }
    return K.object_sizeof;
}

// sys.getsizeof(o) as the C-level __sizeof__ gives it. May run code (the
// result is an int object); `o` must be owned by the caller.
double getsizeof(PyObject* o) {
    PyObject* d = c_sizeof(Py_TYPE(o));
    std::size_t size;
    if (d == K.object_sizeof) {
        size = compat::object_sizeof(o);
    } else {
        Ref descr = Ref::borrow(d);
        Ref r = Ref::steal(PyObject_Vectorcall(descr.get(), &o, 1, nullptr));
        Py_ssize_t n = r ? PyLong_AsSsize_t(r.get()) : -1;
        if (n < 0) {
            PyErr_Clear();
            size = compat::object_sizeof(o);
        } else {
            size = static_cast<std::size_t>(n);
        }
    }
    return static_cast<double>(size + compat::preheader_size(o));
}

double aligned(double size) {
    auto n = static_cast<std::uint64_t>(size);
    return static_cast<double>((n + 7) & ~std::uint64_t(7));
}

// The dict a frame's locals would fill, for `n` names, at most.
double dict_bound(std::size_t n) { return 256.0 + 144.0 * static_cast<double>(n); }

// dict[name] for a str name, comparing keys without running any code.
PyObject* dict_get_str(PyObject* dict, PyObject* name) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v))
        if (k == name || (PyUnicode_CheckExact(k) && PyUnicode_Compare(k, name) == 0)) return v;
    return nullptr;
}

// ------------------------------------------------------------ visited set
// Addresses only, never dereferenced, with the smallest depth an object was
// met at in the low bits.
class Seen {
public:
    // -1 when new (now recorded at `depth`), else the depth recorded before
    // (lowered to `depth` when that is smaller).
    int visit(PyObject* p, int depth) {
        auto key = reinterpret_cast<std::uintptr_t>(p);
        if (key & 3) return -1;
        if (slots_.empty()) slots_.assign(64, 0);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            std::uintptr_t e = slots_[i];
            if (e == 0) {
                slots_[i] = key | static_cast<std::uintptr_t>(depth);
                if (++used_ * 2 > slots_.size()) grow();
                return -1;
            }
            if ((e & ~std::uintptr_t(3)) == key) {
                int was = static_cast<int>(e & 3);
                if (depth < was) slots_[i] = key | static_cast<std::uintptr_t>(depth);
                return was;
            }
        }
    }
    std::size_t size() const { return used_; }
    void reset() {
        if (slots_.size() > 4096)
            std::vector<std::uintptr_t>().swap(slots_);
        else
            std::fill(slots_.begin(), slots_.end(), 0);
        used_ = 0;
    }

private:
    static std::size_t hash(std::uintptr_t key) {
        std::uint64_t x = (key >> 4) * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(x ^ (x >> 32));
    }
    void grow() {
        std::vector<std::uintptr_t> old(slots_.size() * 2, 0);
        old.swap(slots_);
        std::size_t mask = slots_.size() - 1;
        for (std::uintptr_t e : old) {
            if (!e) continue;
            std::size_t i = hash(e & ~std::uintptr_t(3)) & mask;
            while (slots_[i]) i = (i + 1) & mask;
            slots_[i] = e;
        }
    }
    std::vector<std::uintptr_t> slots_;
    std::size_t used_ = 0;
};

// ------------------------------------------------------------ the walk

enum class Iter : std::uint8_t { List, Tuple, Dict, Copied };

struct Frame {
    Ref obj;
    int depth;
    Iter iter;
    Py_ssize_t pos;
    Ref pending;  // a dict value whose key was handed out first
    std::size_t begin, end;
};

// What a walk reuses from one call to the next on a thread.
struct Scratch {
    Seen seen;
    std::vector<Frame> stack;
    std::vector<Ref> copied;
};

struct Collect {
    std::vector<Ref>* out;
    bool skip_nothing;        // leave out what counts as nothing
    PyObject* frame;          // leave out this frame's context
    bool failed = false;
};

int collect(PyObject* child, void* arg) {
    auto* c = static_cast<Collect*>(arg);
    if (!child) return 0;
    if (c->skip_nothing && counted_as_nothing(child)) return 0;
    if (c->frame && compat::frame_context(c->frame, child)) return 0;
    try {
        c->out->push_back(Ref::borrow(child));
    } catch (...) {
        c->failed = true;
        return 1;
    }
    return 0;
}

int first_child(PyObject* child, void* arg) {
    *static_cast<PyObject**>(arg) = child;
    return 1;
}

class Walk {
public:
    Walk(Scratch& s, bool purity, double ceiling)
        : seen_(s.seen), stack_(s.stack), copied_(s.copied), purity_(purity), ceiling_(ceiling) {}

    void run(PyObject* root) {
        try {
            visit(Ref::borrow(root), 0);
            while (!stack_.empty() && !stopped_) {
                Frame& f = stack_.back();
                int depth = f.depth + 1;
                Ref child = next(f);
                if (!child) {
                    pop();
                    continue;
                }
                visit(std::move(child), depth);
            }
            add_arrays();
        } catch (...) {
            complete = false;
        }
        if (total > ceiling_) over = true;
        // Releasing what the walk held can run code; nothing is read after.
        stack_.clear();
        copied_.clear();
        array_types_.clear();
        if (PyErr_Occurred()) PyErr_Clear();
    }

    double total = 0;
    bool complete = true;
    bool over = false;
    bool impure = false;

private:
    void stop_incomplete() {
        complete = false;
        stopped_ = true;
    }

    void set_impure() {
        impure = true;
        stopped_ = true;
    }

    void visit(Ref obj, int depth) {
        if (stopped_) return;
        if (visits_left_ == 0 || seen_.size() >= kMaxObjects) return stop_incomplete();
        --visits_left_;
        PyObject* o = obj.get();
        if (counted_as_nothing(o)) {
            if (purity_ && PyType_Check(o) && !class_ok(reinterpret_cast<PyTypeObject*>(o)))
                set_impure();
            return;
        }
        int was = seen_.visit(o, depth);
        if (was >= 0 && was <= depth) return;
        if (was < 0) {
            if (purity_) {
                if (!pure(o)) return set_impure();
            } else {
                count(o);
                if (stopped_) return;
            }
        }
        if (depth < kLimit && !(depth > 0 && PyModule_Check(o))) open(std::move(obj), depth);
    }

    void count(PyObject* o) {
        PyTypeObject* t = Py_TYPE(o);
        Ref type_held = Ref::borrow(reinterpret_cast<PyObject*>(t));  // code may reassign __class__
        // pympler reads __dict__, which makes a missing one real; so does
        // this, so that the traversal below hands it over.
        if (!leaf_type(t) && !PyModule_Check(o) && !PyExceptionInstance_Check(o) &&
            compat::supports_instance_dict(t))
            compat::ensure_instance_dict(o);
        if (K.array && PyObject_TypeCheck(o, K.array)) return count_array(o);
        total += aligned(getsizeof(o));
        if (total > ceiling_) {
            over = true;
            stopped_ = true;
        }
    }

    // pympler sizes an array as its payload plus a per-type header that the
    // first array of that type it ever met fixed; counted at the end.
    void count_array(PyObject* o) {
        double full = getsizeof(o);
        double payload = 0;
        PyBufferProcs* own = Py_TYPE(o)->tp_as_buffer;
        if (own && K.array->tp_as_buffer && own->bf_getbuffer == K.array->tp_as_buffer->bf_getbuffer) {
            Py_buffer view;
            if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) == 0) {
                payload = static_cast<double>(view.len);
                PyBuffer_Release(&view);
            } else {
                PyErr_Clear();
            }
        }
        array_payload_ += payload;
        array_header_ = std::max(array_header_, full - payload);
        ++array_count_;
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
        for (const Ref& seen : array_types_)
            if (seen.get() == type) return;
        array_types_.push_back(Ref::borrow(type));
    }

    void add_arrays() {
        if (!array_count_) return;
        double header = std::max(56.0, array_header_);
        if (K.typedefs) {
            for (const Ref& type : array_types_) {
                if (Py_TYPE(type.get())->tp_hash != PyType_Type.tp_hash) continue;
                Ref entry = Ref::borrow(PyDict_GetItemWithError(K.typedefs.get(), type.get()));
                if (!entry) {
                    PyErr_Clear();
                    continue;
                }
                Ref base = Ref::steal(PyObject_GetAttr(entry.get(), K.s.base));
                double b = base ? PyFloat_AsDouble(base.get()) : -1;
                if (b < 0) PyErr_Clear();
                header = std::max(header, b);
            }
        }
        total += array_payload_ + static_cast<double>(array_count_) * (header + 7);
    }

    void open(Ref obj, int depth) {
        PyObject* o = obj.get();
        PyTypeObject* t = Py_TYPE(o);
        if (t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type) {
            if (Py_SIZE(o) == 0 && t != &PyDict_Type) return;
            if (t == &PyDict_Type && PyDict_GET_SIZE(o) == 0) return;
            Iter it = t == &PyList_Type ? Iter::List : t == &PyTuple_Type ? Iter::Tuple : Iter::Dict;
            stack_.push_back(Frame{std::move(obj), depth, it, 0, {}, 0, 0});
            return;
        }
        if (leaf_type(t)) return;
        std::size_t begin = copied_.size();
        copy_children(o, depth);
        if (copied_.size() == begin) return;
        stack_.push_back(Frame{std::move(obj), depth, Iter::Copied,
                               static_cast<Py_ssize_t>(begin), {}, begin, copied_.size()});
    }

    Ref next(Frame& f) {
        PyObject* o = f.obj.get();
        switch (f.iter) {
            case Iter::List:
                while (f.pos < PyList_GET_SIZE(o)) {
                    PyObject* item = PyList_GET_ITEM(o, f.pos++);
                    if (item) return Ref::borrow(item);
                }
                return {};
            case Iter::Tuple:
                while (f.pos < PyTuple_GET_SIZE(o)) {
                    PyObject* item = PyTuple_GET_ITEM(o, f.pos++);
                    if (item) return Ref::borrow(item);
                }
                return {};
            case Iter::Dict: {
                if (f.pending) return std::move(f.pending);
                PyObject *k, *v;
                if (!PyDict_Next(o, &f.pos, &k, &v)) return {};
                f.pending = Ref::borrow(v);
                return Ref::borrow(k);
            }
            case Iter::Copied:
                while (static_cast<std::size_t>(f.pos) < f.end) {
                    Ref r = std::move(copied_[f.pos++]);
                    if (r) return r;
                }
                return {};
        }
        return {};
    }

    void pop() {
        Frame f = std::move(stack_.back());
        stack_.pop_back();
        if (f.iter == Iter::Copied) copied_.resize(f.begin);
    }

    void push(PyObject* child) {
        if (child) copied_.push_back(Ref::borrow(child));
    }

    void push_items(PyObject* dict, bool referents) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(dict, &pos, &k, &v)) {
            push(k);
            push(v);
            if (referents) {
                for (PyObject* x : {k, v})
                    if (PyWeakref_CheckRef(x))
                        if (Ref r = compat::weakref_referent(x)) copied_.push_back(std::move(r));
            }
        }
    }

    void traverse(PyObject* o, bool skip_nothing, PyObject* frame = nullptr) {
        traverseproc tp = Py_TYPE(o)->tp_traverse;
        if (!tp) return;
        Collect c{&copied_, skip_nothing, frame};
        tp(o, collect, &c);
        if (c.failed) throw std::bad_alloc();
    }

    // The referents pympler may follow from `o`, as owned references.
    // Nothing here runs code of the program's.
    void copy_children(PyObject* o, int depth) {
        PyTypeObject* t = Py_TYPE(o);
        Ref type_held = Ref::borrow(reinterpret_cast<PyObject*>(t));
        bool generator = PyGen_CheckExact(o);
        std::size_t begin = copied_.size();
        traverse(o, !purity_ && !generator);
        if (Ref dict = compat::dict_beside_inline_values(o)) copied_.push_back(std::move(dict));
        // Attributes pympler reads by name give None for empty slots, which
        // no traversal hands over: counted once.
        if (!purity_ && !none_counted_) {
            none_counted_ = true;
            total += aligned(getsizeof(Py_None));
        }

        if (PyDict_Check(o)) {
            push_items(o, false);  // a dict's traversal may leave out str keys
        } else if (t == K.mappingproxy) {
            // pympler walks the items of the mapping behind the proxy.
            for (std::size_t i = begin, n = copied_.size(); i < n; ++i)
                if (PyDict_Check(copied_[i].get())) {
                    Ref mapping = copied_[i];
                    push_items(mapping.get(), false);
                }
        } else if (PyModule_Check(o)) {
            if (depth == 0)
                if (PyObject* d = PyModule_GetDict(o)) {
                    Ref dict = Ref::borrow(d);
                    push_items(dict.get(), false);
                }
        } else if (PyWeakref_CheckRef(o)) {
            if (Ref r = compat::weakref_referent(o)) copied_.push_back(std::move(r));
        } else if (generator) {
            copy_generator(o);
        } else if (t == &PyEnum_Type || t == &PyReversed_Type) {
            push(compat::type_lookup(t, K.s.doc));
        } else if (t == &PyTraceBack_Type) {
            if (!purity_) total += kTracebackInts;
        } else if (t == K.weak_key_dict || t == K.weak_value_dict) {
            // items() hands over the referents of the weak references.
            Ref dict = compat::existing_instance_dict(o);
            if (dict && PyDict_Check(dict.get()))
                if (PyObject* data = dict_get_str(dict.get(), K.s.data))
                    if (PyDict_Check(data)) {
                        Ref held = Ref::borrow(data);
                        push_items(held.get(), true);
                    }
        } else if (is_exception(o)) {
            copy_exception_attributes(o);
        }
        // A __weakref__ slot hands over the first weak reference.
        if (t->tp_flags & Py_TPFLAGS_HEAPTYPE) {
            PyObject* d = compat::type_lookup(t, K.s.weakref);
            if (d && Py_IS_TYPE(d, &PyGetSetDescr_Type)) {
                PyGetSetDef* gs = reinterpret_cast<PyGetSetDescrObject*>(d)->d_getset;
                if (gs && gs->get) {
                    Ref w = Ref::steal(gs->get(o, gs->closure));
                    if (!w) PyErr_Clear();
                    else if (w.get() != Py_None) copied_.push_back(std::move(w));
                }
            }
        }
    }

    // pympler reads a generator's frame locals: a dict of its names and the
    // values of its locals and cells.
    void copy_generator(PyObject* gen) {
        if (PyObject* frame = compat::generator_frame(gen)) {
            Ref held = Ref::borrow(frame);
            traverse(held.get(), false, held.get());
        }
        std::size_t names = 0;
        compat::generator_local_names(gen, [&](Ref tuple) {
            if (!tuple || !PyTuple_Check(tuple.get())) return;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple.get()); ++i)
                push(PyTuple_GET_ITEM(tuple.get(), i));
            names += static_cast<std::size_t>(PyTuple_GET_SIZE(tuple.get()));
        });
        if (!purity_) total += dict_bound(names);
    }

    // pympler reads args, filename, lineno, msg and text of an exception by
    // name. Read here without running anything: the instance dict first
    // (where no data descriptor shadows it) and plain class attributes. The
    // C-level data descriptors of the built-in exceptions are in the
    // traversal already; Python descriptors are not run.
    void copy_exception_attributes(PyObject* o) {
        PyTypeObject* t = Py_TYPE(o);
        Ref dict = compat::existing_instance_dict(o);
        if (dict && !PyDict_Check(dict.get())) dict.reset();
        for (PyObject* name : K.exception_names) {
            PyObject* cls_attr = compat::type_lookup(t, name);
            if (cls_attr && Py_TYPE(cls_attr)->tp_descr_set) continue;
            if (dict)
                if (PyObject* v = dict_get_str(dict.get(), name)) {
                    push(v);
                    continue;
                }
            if (cls_attr && !Py_TYPE(cls_attr)->tp_descr_get) push(cls_attr);
        }
    }

    // ------------------------------------------------ pympler would run no code

    // Reading `name` on an instance of `t` through the generic lookup runs
    // only C code: absent, a plain value, or a C descriptor.
    static bool read_ok(PyTypeObject* t, PyObject* name) {
        PyObject* r = compat::type_lookup(t, name);
        if (!r || !Py_TYPE(r)->tp_descr_get) return true;
        PyTypeObject* rt = Py_TYPE(r);
        return rt == &PyMemberDescr_Type || rt == &PyGetSetDescr_Type ||
               rt == &PyMethodDescr_Type || rt == &PyWrapperDescr_Type ||
               rt == &PyClassMethodDescr_Type || rt == &PyFunction_Type ||
               rt == &PyStaticMethod_Type;
    }

    static bool c_slot(PyObject* r) {
        return !r || Py_IS_TYPE(r, &PyWrapperDescr_Type) || Py_IS_TYPE(r, &PyMethodDescr_Type);
    }

    // A metaclass whose instances pympler hashes, compares and reads
    // __name__, __module__, __basicsize__... of, and whose mro() it calls.
    static bool meta_ok(PyTypeObject* m) {
        if (m == &PyType_Type) return true;
        if (m->tp_hash != PyType_Type.tp_hash || m->tp_richcompare != PyType_Type.tp_richcompare ||
            Py_TYPE(m)->tp_hash != PyType_Type.tp_hash)
            return false;
        for (PyObject* name : K.meta_own)
            if (compat::type_lookup(m, name) != compat::type_lookup(&PyType_Type, name))
                return false;
        // Each name resolves to type's own descriptor, or to a plain value
        // (a class statement puts __module__ and __doc__ in every class).
        for (PyObject* name : K.meta_names) {
            PyObject* found = compat::type_lookup(m, name);
            if (found != compat::type_lookup(&PyType_Type, name) &&
                (!found || Py_TYPE(found)->tp_descr_get))
                return false;
        }
        PyObject* ga = compat::type_lookup(m, K.s.getattr_);
        return !ga || ga == K.enum_meta_getattr;
    }

    // A class as pympler reads it: through its metaclass, and its
    // __module__ looked up in a set.
    static bool class_ok(PyTypeObject* c) {
        if (!meta_ok(Py_TYPE(c))) return false;
        if (!(c->tp_flags & Py_TPFLAGS_HEAPTYPE)) return true;
        PyObject* dict = compat::own_type_dict(c);
        PyObject* mod = dict ? dict_get_str(dict, K.s.module) : nullptr;
        return !mod || PyUnicode_CheckExact(mod);
    }

    // The names pympler takes from the __slots__ of every class of the MRO,
    // read on the instance.
    static bool slots_ok(PyTypeObject* t) {
        // Held: the lists made below can run code that replaces the MRO.
        Ref mro = Ref::borrow(t->tp_mro);
        if (!mro || !PyTuple_Check(mro.get())) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
            PyObject* c = PyTuple_GET_ITEM(mro.get(), i);
            if (!PyType_Check(c)) return false;
            auto* ct = reinterpret_cast<PyTypeObject*>(c);
            if (!class_ok(ct)) return false;
            PyObject* s = compat::type_lookup(ct, K.s.slots);
            if (!s) continue;
            if (Py_TYPE(s)->tp_descr_get) return false;
            Ref held = Ref::borrow(s);
            Ref names;
            if (PyUnicode_CheckExact(s)) {
                names = Ref::steal(PySequence_List(s));  // pympler takes a str's characters
            } else if (PyTuple_CheckExact(s) || PyList_CheckExact(s)) {
                names = Ref::steal(PySequence_List(s));
            } else if (PyDict_CheckExact(s)) {
                names = Ref::steal(PyDict_Keys(s));
            } else {
                return false;
            }
            if (!names) {
                PyErr_Clear();
                return false;
            }
            Ref cls_name = Ref::steal(PyObject_GetAttr(c, K.s.name));
            if (!cls_name || !PyUnicode_Check(cls_name.get())) {
                PyErr_Clear();
                return false;
            }
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(names.get()); ++k) {
                PyObject* a = PyList_GET_ITEM(names.get(), k);
                if (!PyUnicode_CheckExact(a)) return false;
                Ref attr = Ref::borrow(a);
                if (PyUnicode_GET_LENGTH(a) > 2 && PyUnicode_READ_CHAR(a, 0) == '_' &&
                    PyUnicode_READ_CHAR(a, 1) == '_') {
                    attr = Ref::steal(PyUnicode_FromFormat("_%U%U", cls_name.get(), a));
                    if (!attr) {
                        PyErr_Clear();
                        return false;
                    }
                }
                if (!read_ok(t, attr.get())) return false;
            }
        }
        return true;
    }

    bool pure(PyObject* o) {
        PyTypeObject* t = Py_TYPE(o);
        Ref type_held = Ref::borrow(reinterpret_cast<PyObject*>(t));
        if (!class_ok(t)) return false;
        // Exact types pympler has its own entry for, read without lookups
        // on the object.
        if (t == &_PyWeakref_ProxyType) return true;
        if (t == K.weak_key_dict || t == K.weak_value_dict) return true;
        if (PyModule_CheckExact(o)) {
            PyObject* d = PyModule_GetDict(o);
            if (!d) return false;
            Ref dict = Ref::borrow(d);
            return dict_get_str(dict.get(), K.s.name) || !dict_get_str(dict.get(), K.s.getattr_);
        }
        if (t == K.mappingproxy) {
            PyObject* mapping = nullptr;
            if (t->tp_traverse) t->tp_traverse(o, first_child, &mapping);
            return mapping && PyDict_CheckExact(mapping);
        }
        if (PySlice_Check(o)) {
            auto* s = reinterpret_cast<PySliceObject*>(o);
            for (PyObject* part : {s->start, s->stop, s->step})
                if (part != Py_None && !PyLong_CheckExact(part) && !PyFloat_CheckExact(part))
                    return false;
        }
        // Everything else goes through pympler's type probing and its
        // attribute reads.
        if (t->tp_getattro != PyObject_GenericGetAttr) return false;
        for (PyObject* name : {K.s.klass, K.s.dict, K.s.slots, K.s.module})
            if (!read_ok(t, name)) return false;
        if (PyObject* mod = compat::type_lookup(t, K.s.module))
            if (!PyUnicode_CheckExact(mod)) return false;
        PyObject* so = compat::type_lookup(t, K.s.sizeof_);
        if (!so || !Py_IS_TYPE(so, &PyMethodDescr_Type)) return false;
        if (Ref dict = compat::existing_instance_dict(o)) {
            if (!PyDict_CheckExact(dict.get())) return false;
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(dict.get(), &pos, &k, &v)) {
                if (!PyUnicode_CheckExact(k)) return false;
                if (PyUnicode_Compare(k, K.s.module) == 0 && !PyUnicode_CheckExact(v)) return false;
                if (PyUnicode_Compare(k, K.s.slots) == 0) return false;
                if (K.numpy && PyUnicode_Compare(k, K.s.dtype) == 0) return false;
            }
        }
        bool array = K.array && PyObject_TypeCheck(o, K.array);
        if ((PyDict_Check(o) || t->tp_itemsize > 0 || array) &&
            !c_slot(compat::type_lookup(t, K.s.len)))
            return false;
        if (PyDict_Check(o)) {
            PyObject* items = compat::type_lookup(t, K.s.items);
            if (!items || !Py_IS_TYPE(items, &PyMethodDescr_Type)) return false;
            if (compat::type_lookup(t, K.s.iteritems)) return false;
        }
        if (PyTuple_Check(o) &&
            (!read_ok(t, K.s.fields) || !c_slot(compat::type_lookup(t, K.s.iter))))
            return false;
        if (array && !read_ok(t, K.s.itemsize)) return false;
        if (is_exception(o))
            for (PyObject* name : K.exception_names)
                if (!read_ok(t, name)) return false;
        if (compat::type_lookup(t, K.s.slots) && !slots_ok(t)) return false;
        if (K.numpy && compat::type_lookup(t, K.s.dtype)) return false;
        return true;
    }

    Seen& seen_;
    std::vector<Frame>& stack_;
    std::vector<Ref>& copied_;
    bool purity_;
    double ceiling_;
    bool stopped_ = false;
    bool none_counted_ = false;
    std::size_t visits_left_ = kMaxVisits;
    double array_payload_ = 0, array_header_ = 0;
    std::size_t array_count_ = 0;
    std::vector<Ref> array_types_;
};

// One scratch area per thread; a walk started while another runs on the
// same thread (code run by a finalizer during the walk) gets its own.
thread_local Scratch t_scratch;
thread_local bool t_busy = false;

struct Lease {
    Lease() : pooled(!t_busy) { t_busy = true; }
    ~Lease() {
        if (!pooled) return;
        t_scratch.seen.reset();
        t_busy = false;
    }
    bool pooled;
};

template <class F>
void with_scratch(F&& f) {
    Lease lease;
    if (lease.pooled) return f(t_scratch);
    auto own = std::make_unique<Scratch>();
    f(*own);
}

}  // namespace

Stats& stats() {
    static Stats s;
    return s;
}

Measure measure(PyObject* obj, double ceiling) {
    Measure m;
    try {
        with_scratch([&](Scratch& s) {
            Walk w(s, false, ceiling);
            w.run(obj);
            m.total = w.total;
            m.complete = w.complete;
            m.over = w.over;
        });
    } catch (...) {
        m.complete = false;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return m;
}

bool pympler_safe(PyObject* obj) {
    bool safe = false;
    try {
        with_scratch([&](Scratch& s) {
            Walk w(s, true, std::numeric_limits<double>::infinity());
            w.run(obj);
            safe = w.complete && !w.impure;
        });
    } catch (...) {
        safe = false;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return safe;
}

bool init() {
    if (!K.s.create()) return false;
    K.exception_names = {K.s.args, K.s.filename, K.s.lineno, K.s.msg, K.s.text};
    K.meta_names = {K.s.name, K.s.module, K.s.itemsize_dunder, K.s.basicsize, K.s.flags};
    K.meta_own = {K.s.getattribute, K.s.mro, K.s.klass};
    K.object_sizeof = compat::type_lookup(&PyBaseObject_Type, K.s.sizeof_);
    if (!K.object_sizeof) {
        PyErr_SetString(PyExc_RuntimeError, "object.__sizeof__ not found");
        return false;
    }
    Ref keep = Ref::steal(PyList_New(0));
    if (!keep) return false;
    auto hold = [&](Ref r) -> PyObject* {
        if (!r || PyList_Append(keep.get(), r.get()) < 0) return nullptr;
        return r.get();
    };
    Ref empty = Ref::steal(PyDict_New());
    Ref proxy = empty ? Ref::steal(PyDictProxy_New(empty.get())) : Ref();
    if (!proxy) return false;
    K.mappingproxy = Py_TYPE(proxy.get());
    auto* array = hold(tarn::import_attr("array", "array"));
    auto* wkd = array ? hold(tarn::import_attr("weakref", "WeakKeyDictionary")) : nullptr;
    auto* wvd = wkd ? hold(tarn::import_attr("weakref", "WeakValueDictionary")) : nullptr;
    Ref enum_meta = wvd ? tarn::import_attr("enum", "EnumMeta") : Ref();
    Ref pympler = enum_meta ? Ref::steal(PyImport_ImportModule("pympler.asizeof")) : Ref();
    if (!pympler) return false;
    if (!PyType_Check(array) || !PyType_Check(wkd) || !PyType_Check(wvd) ||
        !PyType_Check(enum_meta.get())) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected standard library types");
        return false;
    }
    K.array = reinterpret_cast<PyTypeObject*>(array);
    K.weak_key_dict = reinterpret_cast<PyTypeObject*>(wkd);
    K.weak_value_dict = reinterpret_cast<PyTypeObject*>(wvd);
    PyObject* meta_dict = compat::own_type_dict(reinterpret_cast<PyTypeObject*>(enum_meta.get()));
    K.enum_meta_getattr = meta_dict ? dict_get_str(meta_dict, K.s.getattr_) : nullptr;
    if (K.enum_meta_getattr && !hold(Ref::borrow(K.enum_meta_getattr))) return false;
    Ref typedefs = Ref::steal(PyObject_GetAttrString(pympler.get(), "_typedefs"));
    if (typedefs && PyDict_Check(typedefs.get())) K.typedefs = typedefs;
    PyErr_Clear();
    Ref numpy = Ref::steal(PyObject_GetAttrString(pympler.get(), "_numpy"));
    K.numpy = numpy && numpy.get() != Py_None;
    PyErr_Clear();
    K.keep = std::move(keep);
    return true;
}

}  // namespace size_guard
