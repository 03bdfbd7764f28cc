// The program's side of a channel to a writer process: send_message builds
// the frame (length, time, thread name, bytes) straight into a buffer, with
// no Python object made; the sender thread takes the buffer about twenty
// times a second and writes it to the writer's socket with the interpreter
// lock released.
//
// The buffer is guarded by its own mutex, which is never held while the
// interpreter lock is being taken, nor while any Python code runs; so no
// signal handler or finalizer can find it held by the thread it runs on.
#include "tarn/util.hpp"

#include <pythread.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

using namespace tarn;

namespace {

constexpr std::size_t HEADER = 4 + 8 + 2;
constexpr unsigned long long MAX_MESSAGE = 0xFFFFFFFFull;
constexpr std::size_t MAX_NAME = 1000;
constexpr std::size_t EAGER_BYTES = 1 << 20;
constexpr std::size_t NAME_CACHE = 10000;

#define FRAMES_STRINGS(X)           \
    X(active, "_active")            \
    X(name_slot, "_name")           \
    X(name, "name")                 \
    X(current_thread, "current_thread")
TARN_STRING_TABLE(Strings, FRAMES_STRINGS);
Strings S;

struct Bound {
    Ref threading;
};
Bound& B = leak<Bound>();

// Frames waiting for the sender. Grown without zeroing (each frame is
// written whole right after) and handed back after a write, so that a busy
// channel reuses the same memory instead of faulting in new pages.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(data_); }
    void swap(Buffer& o) noexcept {
        std::swap(data_, o.data_), std::swap(size_, o.size_), std::swap(cap_, o.cap_);
    }
    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return cap_; }
    const char* data() const { return data_; }
    void clear() { size_ = 0; }
    // Room for `n` more bytes at the end; nullptr when out of memory.
    char* extend(std::size_t n) {
        if (cap_ - size_ < n) {
            std::size_t want = cap_ ? cap_ : 4096;
            while (want - size_ < n) want *= 2;
            char* grown = static_cast<char*>(std::realloc(data_, want));
            if (!grown) return nullptr;
            data_ = grown, cap_ = want;
        }
        char* at = data_ + size_;
        size_ += n;
        return at;
    }
private:
    char* data_ = nullptr;
    std::size_t size_ = 0, cap_ = 0;
};

// A written batch's memory is kept for the next one up to this size.
constexpr std::size_t KEEP_BYTES = 16u << 20;

struct Shared {
    std::mutex lock;
    std::condition_variable more;  // the sender waits for frames
    std::condition_variable room;  // a full buffer's senders wait for room
    Buffer buf;
    Buffer spare;  // the last batch written, emptied, for the next one
    std::size_t messages = 0, bytes = 0;
    bool closing = false, congested = false, writer_waiting = false;
    // Bytes the sender has written so far: a full buffer's senders wait as
    // long as this moves, so that what is recorded never depends on load.
    std::atomic<std::uint64_t> progress{0};
};


struct Channel {
    PyObject_HEAD
    Shared* shared;
    std::unordered_map<PyObject*, std::string>* names;  // thread name str -> its bytes
    std::vector<PyObject*>* name_refs;                   // keeps those strs
    unsigned long long max_messages, max_bytes;
    double wait;
    bool closed, dead;
    long long accepted, rejected, dropped_full, dropped_closed, lost_dead;
};

Channel* as_channel(PyObject* o) { return reinterpret_cast<Channel*>(o); }

void put_le(char* out, std::uint64_t v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// The calling thread's name, as threading names it: read from the Thread
// object's own dict, or asked of threading.current_thread() for a thread
// it does not know yet.
Ref thread_name() {
    Ref active = getattr(B.threading.get(), S.active);
    if (!active) return {};
    if (PyDict_Check(active.get())) {
        Ref ident = Ref::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
        if (!ident) return {};
        PyObject* thread = PyDict_GetItemWithError(active.get(), ident.get());
        if (!thread && PyErr_Occurred()) return {};
        if (thread) {
            PyObject** dict = compat::instance_dict_ptr(thread);
            PyObject* name = dict && *dict ? PyDict_GetItemWithError(*dict, S.name_slot) : nullptr;
            if (!name && PyErr_Occurred()) return {};
            if (name && PyUnicode_CheckExact(name)) return Ref::borrow(name);
        }
    }
    Ref current = call_method(B.threading.get(), S.current_thread);
    return current ? getattr(current.get(), S.name) : Ref();
}

// The name's bytes as the writer reads them: UTF-8 with replacements, at
// most MAX_NAME bytes. False with an error set.
bool name_bytes(Channel* c, PyObject* name, std::string& out) {
    auto it = c->names->find(name);
    if (it != c->names->end()) {
        out = it->second;
        return true;
    }
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "thread name is not a str");
        return false;
    }
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(name, "utf-8", "replace"));
    if (!encoded) return false;
    std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()));
    out.assign(PyBytes_AS_STRING(encoded.get()), n < MAX_NAME ? n : MAX_NAME);
    if (c->names->size() < NAME_CACHE) {
        c->name_refs->push_back(Py_NewRef(name));
        c->names->emplace(name, out);
    }
    return true;
}

bool fits(const Channel* c, const Shared& s, std::size_t size) {
    return s.messages < c->max_messages && s.bytes + size <= c->max_bytes;
}

// send_message(data): a frame for the writer, or a count of why not.
PyObject* Channel_send(PyObject* self, PyObject* arg) {
    Channel* c = as_channel(self);
    Shared& s = *c->shared;
    Ref data = Ref::borrow(arg);
    if (!PyBytes_CheckExact(arg)) {
        if (!PyByteArray_Check(arg) && !PyMemoryView_Check(arg)) {
            ++c->rejected;
            Py_RETURN_NONE;
        }
        if (!(data = Ref::steal(PyBytes_FromObject(arg)))) return nullptr;
    }
    auto size = static_cast<unsigned long long>(PyBytes_GET_SIZE(data.get()));
    if (size > MAX_MESSAGE) {
        ++c->rejected;
        Py_RETURN_NONE;
    }
    if (c->dead) {
        ++c->lost_dead;
        Py_RETURN_NONE;
    }
    if (c->closed) {
        ++c->dropped_closed;
        Py_RETURN_NONE;
    }
    Ref name = thread_name();
    if (!name) return nullptr;
    std::string thread;
    if (!name_bytes(c, name.get(), thread)) return nullptr;
    double sent = now();
    std::size_t frame = HEADER + thread.size() + size;

    std::unique_lock<std::mutex> held(s.lock);
    if (!fits(c, s, size)) {
        if (s.congested || c->wait <= 0) {
            s.congested = true;
            ++c->dropped_full;
            Py_RETURN_NONE;
        }
        // Wait for the sender, with the interpreter lock released, for as
        // long as it gets on with writing.
        bool room = false;
        held.unlock();
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock<std::mutex> w(s.lock);
            // `wait`: how long the sender may write nothing at all (a writer
            // process that stopped reading) before messages are dropped.
            std::uint64_t seen = s.progress.load();
            double stalled = 0, round = c->wait < 0.05 ? c->wait : 0.05;
            while (!room) {
                room = s.room.wait_for(w, std::chrono::duration<double>(round), [&] {
                    return s.closing || c->dead || fits(c, s, size);
                });
                if (room || s.closing || c->dead) break;
                std::uint64_t now_at = s.progress.load();
                if (now_at != seen) {
                    seen = now_at;
                    stalled = 0;
                } else if ((stalled += round) >= c->wait) {
                    break;
                }
            }
        }
        Py_END_ALLOW_THREADS
        held.lock();
        if (c->dead || c->closed || s.closing) {
            ++(c->dead ? c->lost_dead : c->dropped_closed);
            Py_RETURN_NONE;
        }
        if (!room || !fits(c, s, size)) {
            s.congested = true;
            ++c->dropped_full;
            Py_RETURN_NONE;
        }
    }
    char* out = s.buf.extend(frame);
    if (!out) {
        ++c->dropped_full;
        Py_RETURN_NONE;
    }
    put_le(out, size, 4);
    std::uint64_t bits;
    std::memcpy(&bits, &sent, sizeof bits);
    put_le(out + 4, bits, 8);
    put_le(out + 12, thread.size(), 2);
    std::memcpy(out + HEADER, thread.data(), thread.size());
    std::memcpy(out + HEADER + thread.size(), PyBytes_AS_STRING(data.get()), size);
    ++s.messages;
    s.bytes += frame;
    ++c->accepted;
    if (s.writer_waiting && s.bytes >= EAGER_BYTES) s.more.notify_all();
    Py_RETURN_NONE;
}

// Writes all of it, retrying short writes; false when the writer is gone.
bool write_all(int fd, const char* p, std::size_t n, std::atomic<std::uint64_t>& progress) {
    // In pieces, so that `progress` moves while a slow reader drains a large batch.
    constexpr std::size_t PIECE = 64 << 10;
    while (n) {
        ssize_t w = ::send(fd, p, n < PIECE ? n : PIECE, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w, n -= static_cast<std::size_t>(w);
        progress += static_cast<std::uint64_t>(w);
    }
    return true;
}

// pump(fd, period) -> (frames, written, stop): for the sender thread. Waits
// up to `period` seconds for frames (less when a large backlog builds up or
// the channel closes), takes them all and writes them to `fd`. `written`
// is false when the write failed (the channel is then dead) or the channel
// was dead already; `stop` once the channel is closing and empty.
PyObject* Channel_pump(PyObject* self, PyObject* args) {
    Channel* c = as_channel(self);
    Shared& s = *c->shared;
    int fd;
    double period;
    if (!PyArg_ParseTuple(args, "id:pump", &fd, &period)) return nullptr;
    Buffer batch;
    std::size_t count = 0;
    bool stop = false, written = true;
    bool dead = c->dead;
    Py_BEGIN_ALLOW_THREADS
    {
        std::unique_lock<std::mutex> held(s.lock);
        if (s.buf.empty() || (!s.closing && s.bytes < EAGER_BYTES)) {
            s.writer_waiting = true;
            s.more.wait_for(held, std::chrono::duration<double>(period),
                            [&] { return s.closing || s.bytes >= EAGER_BYTES; });
            s.writer_waiting = false;
        }
        batch.swap(s.buf);
        s.buf.swap(s.spare);
        count = s.messages;
        stop = s.closing;
        s.messages = s.bytes = 0;
        s.congested = false;
        s.room.notify_all();
    }
    if (count && !dead) written = write_all(fd, batch.data(), batch.size(), s.progress);
    if (count && dead) written = false;
    batch.clear();
    if (batch.capacity() <= KEEP_BYTES) {
        std::lock_guard<std::mutex> held(s.lock);
        if (!s.spare.capacity()) s.spare.swap(batch);
    }
    Py_END_ALLOW_THREADS
    if (!written) c->dead = true;
    return Py_BuildValue("(nOO)", static_cast<Py_ssize_t>(count), written ? Py_True : Py_False,
                         stop ? Py_True : Py_False);
}

// close(): no more frames are taken; the sender writes what is left and ends.
PyObject* Channel_close(PyObject* self, PyObject*) {
    Channel* c = as_channel(self);
    c->closed = true;
    {
        std::lock_guard<std::mutex> held(c->shared->lock);
        c->shared->closing = true;
    }
    c->shared->more.notify_all();
    c->shared->room.notify_all();
    Py_RETURN_NONE;
}

// forked(): in a child made by fork. The buffer (the parent's frames) is
// dropped and the channel dead; its lock may have been held in the parent
// by a thread the child does not have, so it is made anew.
PyObject* Channel_forked(PyObject* self, PyObject*) {
    Channel* c = as_channel(self);
    Shared* old = c->shared;
    c->shared = new (std::nothrow) Shared();
    if (!c->shared) {
        c->shared = old;
        return PyErr_NoMemory();
    }
    // Not destroyed: its mutex may be held by no thread of this process.
    c->shared->closing = true;
    c->closed = c->dead = true;
    Py_RETURN_NONE;
}

PyObject* Channel_pending(PyObject* self, void*) {
    Shared& s = *as_channel(self)->shared;
    std::lock_guard<std::mutex> held(s.lock);
    return PyLong_FromSize_t(s.messages);
}

template <long long Channel::*field>
PyObject* counter(PyObject* self, void*) {
    return PyLong_FromLongLong(as_channel(self)->*field);
}

template <bool Channel::*flag>
PyObject* get_flag(PyObject* self, void*) {
    return PyBool_FromLong(as_channel(self)->*flag);
}

template <bool Channel::*flag>
int set_flag(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete a flag");
        return -1;
    }
    int t = PyObject_IsTrue(value);
    if (t < 0) return -1;
    as_channel(self)->*flag = t != 0;
    return 0;
}

PyObject* Channel_new(PyTypeObject* type, PyObject*, PyObject*) {
    Channel* c = as_channel(type->tp_alloc(type, 0));
    if (!c) return nullptr;
    c->shared = new (std::nothrow) Shared();
    c->names = new (std::nothrow) std::unordered_map<PyObject*, std::string>();
    c->name_refs = new (std::nothrow) std::vector<PyObject*>();
    if (!c->shared || !c->names || !c->name_refs) {
        Py_DECREF(c);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(c);
}

int Channel_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Channel* c = as_channel(self);
    unsigned long long max_messages, max_bytes;
    double wait;
    static const char* names[] = {"max_messages", "max_bytes", "wait", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "KKd:FrameBuffer", const_cast<char**>(names),
                                     &max_messages, &max_bytes, &wait))
        return -1;
    c->max_messages = max_messages;
    c->max_bytes = max_bytes;
    c->wait = wait;
    return 0;
}

void Channel_dealloc(PyObject* self) {
    Channel* c = as_channel(self);
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    delete c->shared;
    delete c->names;
    if (c->name_refs)
        for (PyObject* o : *c->name_refs) Py_DECREF(o);
    delete c->name_refs;
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef channel_methods[] = {
    {"send_message", Channel_send, METH_O,
     "send_message(data): append data (bytes) as a frame for the writer."},
    {"pump", Channel_pump, METH_VARARGS,
     "pump(fd, period) -> (frames, written, stop): the sender thread's step."},
    {"close", Channel_close, METH_NOARGS, "Take no more frames; the sender ends once empty."},
    {"forked", Channel_forked, METH_NOARGS, "In a forked child: drop the parent's frames."},
    {}};

PyGetSetDef channel_getset[] = {
    {"accepted", counter<&Channel::accepted>, nullptr, nullptr, nullptr},
    {"rejected", counter<&Channel::rejected>, nullptr, nullptr, nullptr},
    {"dropped_full", counter<&Channel::dropped_full>, nullptr, nullptr, nullptr},
    {"dropped_closed", counter<&Channel::dropped_closed>, nullptr, nullptr, nullptr},
    {"lost_dead", counter<&Channel::lost_dead>, nullptr, nullptr, nullptr},
    {"pending", Channel_pending, nullptr, "Frames waiting for the sender.", nullptr},
    {"closed", get_flag<&Channel::closed>, set_flag<&Channel::closed>, nullptr, nullptr},
    {"dead", get_flag<&Channel::dead>, set_flag<&Channel::dead>, nullptr, nullptr},
    {}};

PyType_Slot channel_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Channel_new)},
    {Py_tp_init, reinterpret_cast<void*>(Channel_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Channel_dealloc)},
    {Py_tp_methods, channel_methods},
    {Py_tp_getset, channel_getset},
    {Py_tp_doc, const_cast<char*>(
                    "FrameBuffer(max_messages, max_bytes, wait): the bounded buffer of frames "
                    "between the program's threads and a channel's sender thread.")},
    {0, nullptr}};

PyType_Spec channel_spec = {"tarnwick_collector.recording.frames.FrameBuffer", sizeof(Channel),
                            0, Py_TPFLAGS_DEFAULT, channel_slots};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "frames",
                          "Frames for the writer processes, built natively.", -1, nullptr};

PyObject* init_module() {
    if (!S.create()) return nullptr;
    B.threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!B.threading) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref type = Ref::steal(PyType_FromSpec(&channel_spec));
    if (!add_to_module(module.get(), "FrameBuffer", type) ||
        PyModule_AddIntConstant(module.get(), "HEADER_SIZE", HEADER) < 0)
        return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_frames() {
    return guarded(init_module);
}
