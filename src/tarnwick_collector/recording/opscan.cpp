// A walk over the opcodes of a pickle, without loading it: the largest memo
// index it stores under. The C unpickler grows its memo array to twice the
// index a PUT names before storing, so nine crafted bytes can make it fill
// gigabytes; the restricted loader refuses such indices before loading.
#include "tarn/util.hpp"

#include "record_scan.hpp"

#include <cstdint>
#include <cstring>

using namespace tarn;

namespace {

constexpr std::int64_t SATURATED = INT64_MAX;

// How an opcode's argument is laid out.
enum Arg : std::uint8_t {
    NONE_,   // no argument
    FIXED,   // `size` bytes
    LINE,    // up to and including a newline
    LINES2,  // two such lines
    COUNTED, // a little-endian length of `size` bytes, then that many bytes
    UNKNOWN,
};

struct Layout {
    Arg arg = UNKNOWN;
    std::uint8_t size = 0;
};

struct Table {
    Layout op[256];
    constexpr Table() {
        auto set = [this](char c, Arg a, std::uint8_t n = 0) {
            op[static_cast<unsigned char>(c)] = Layout{a, n};
        };
        for (char c : {'(', '.', '0', '1', '2', 'N', 'Q', 'R', 'a', 'b', 'd', '}', 'e', 'l', ']',
                       'o', 's', 't', ')', 'u'})
            set(c, NONE_);
        for (unsigned char c : {0x81, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8f, 0x90, 0x91, 0x92, 0x93,
                                0x94, 0x97, 0x98})
            set(static_cast<char>(c), NONE_);
        for (char c : {'F', 'I', 'L', 'P', 'S', 'V', 'g', 'p'}) set(c, LINE);
        set('c', LINES2);
        set('i', LINES2);
        set('J', FIXED, 4);
        set('K', FIXED, 1);
        set('M', FIXED, 2);
        set('G', FIXED, 8);
        set('h', FIXED, 1);
        set('j', FIXED, 4);
        set('q', FIXED, 1);
        set('r', FIXED, 4);
        set(static_cast<char>(0x80), FIXED, 1);  // PROTO
        set(static_cast<char>(0x82), FIXED, 1);  // EXT1
        set(static_cast<char>(0x83), FIXED, 2);  // EXT2
        set(static_cast<char>(0x84), FIXED, 4);  // EXT4
        set(static_cast<char>(0x95), FIXED, 8);  // FRAME: its contents are opcodes too
        set('T', COUNTED, 4);
        set('U', COUNTED, 1);
        set('X', COUNTED, 4);
        set('B', COUNTED, 4);
        set('C', COUNTED, 1);
        set(static_cast<char>(0x8a), COUNTED, 1);  // LONG1
        set(static_cast<char>(0x8b), COUNTED, 4);  // LONG4
        set(static_cast<char>(0x8c), COUNTED, 1);  // SHORT_BINUNICODE
        set(static_cast<char>(0x8d), COUNTED, 8);  // BINUNICODE8
        set(static_cast<char>(0x8e), COUNTED, 8);  // BINBYTES8
        set(static_cast<char>(0x96), COUNTED, 8);  // BYTEARRAY8
    }
};

constexpr Table TABLE;

std::uint64_t little_endian(const unsigned char* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = n; i-- > 0;) v = (v << 8) | p[i];
    return v;
}

// The index of a text PUT line ("p123\n"), as int() would read it;
// SATURATED when it does not fit, -1 when it is no number at all.
std::int64_t text_index(const unsigned char* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '\r')) ++i;
    if (i < n && p[i] == '+') ++i;
    std::int64_t v = 0;
    bool digits = false;
    for (; i < n; ++i) {
        unsigned char c = p[i];
        if (c == '_') continue;
        if (c < '0' || c > '9') break;
        digits = true;
        if (v > (SATURATED - (c - '0')) / 10) return SATURATED;
        v = v * 10 + (c - '0');
    }
    return digits ? v : -1;
}

// memo_bound(data) -> int: the largest index a PUT, BINPUT or LONG_BINPUT
// of the pickle names before its STOP (or the end of what parses), -1 when
// none does.
PyObject* memo_bound(PyObject*, PyObject* arg) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
    const auto* p = static_cast<const unsigned char*>(view.buf);
    const std::size_t n = static_cast<std::size_t>(view.len);
    std::int64_t top = -1;
    std::size_t i = 0;
    auto rest = [&](std::size_t at) { return at <= n ? n - at : 0; };
    while (i < n) {
        unsigned char op = p[i++];
        const Layout& lay = TABLE.op[op];
        if (op == '.' || lay.arg == UNKNOWN) break;
        if (lay.arg == NONE_) continue;
        if (lay.arg == FIXED) {
            if (rest(i) < lay.size) break;
            if (op == 'q' || op == 'r') {
                auto idx = static_cast<std::int64_t>(little_endian(p + i, lay.size));
                if (idx > top) top = idx;
            }
            i += lay.size;
            continue;
        }
        if (lay.arg == COUNTED) {
            if (rest(i) < lay.size) break;
            std::uint64_t len = little_endian(p + i, lay.size);
            i += lay.size;
            if (len > rest(i)) break;
            i += static_cast<std::size_t>(len);
            continue;
        }
        int lines = lay.arg == LINES2 ? 2 : 1;
        for (int k = 0; k < lines && i < n; ++k) {
            const void* nl = std::memchr(p + i, '\n', n - i);
            std::size_t end = nl ? static_cast<std::size_t>(static_cast<const unsigned char*>(nl) - p)
                                 : n;
            if (op == 'p') {
                std::int64_t idx = text_index(p + i, end - i);
                if (idx > top) top = idx;
            }
            i = nl ? end + 1 : n;
        }
    }
    PyBuffer_Release(&view);
    return PyLong_FromLongLong(top);
}

// describe_call(data) -> (name, external_calls) | None: what the restricted
// loader finds in a call record (name None when the record carries none,
// external_calls None when they are not a list), or None when the scan
// cannot tell and the record must be loaded.
PyObject* describe_call(PyObject*, PyObject* arg) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject* result = guarded([&]() -> PyObject* {
        record_scan::Description d =
            record_scan::describe(static_cast<const unsigned char*>(view.buf),
                                  static_cast<std::size_t>(view.len));
        if (!d.decided) Py_RETURN_NONE;
        Ref name = d.has_name ? Ref::steal(PyUnicode_DecodeUTF8(
                                    d.name.data(), static_cast<Py_ssize_t>(d.name.size()),
                                    "surrogatepass"))
                              : Ref::borrow(Py_None);
        if (!name) return nullptr;
        Ref count = d.external_calls >= 0 ? Ref::steal(PyLong_FromLongLong(d.external_calls))
                                          : Ref::borrow(Py_None);
        if (!count) return nullptr;
        return PyTuple_Pack(2, name.get(), count.get());
    });
    PyBuffer_Release(&view);
    return result;
}

PyMethodDef functions[] = {
    {"describe_call", describe_call, METH_O,
     "describe_call(data) -> (name, external_calls) or None: a call record's function name "
     "and number of external calls as the restricted loader reads them, without loading "
     "it; None when only loading can tell."},
    {"memo_bound", memo_bound, METH_O,
     "memo_bound(data) -> int: the largest memo index the pickle's PUT opcodes name, or -1."},
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "opscan",
                          "Opcode-level checks of a pickle before it is loaded.", -1, functions};

}  // namespace

PyMODINIT_FUNC PyInit_opscan() {
    return PyModule_Create(&module_def);
}
