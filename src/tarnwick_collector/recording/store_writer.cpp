// The writer processes' storing: frames from the sender split, described and
// inserted into the recording in batches inside transactions, with no
// Python object made per frame. A call record's name and external-call
// count come from its opcodes (record_scan.hpp); only a record the scan
// cannot tell about, and a metric not seen before, are described by the
// Python functions given (the restricted loader).
#include "tarn/util.hpp"

#include "record_scan.hpp"

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

using namespace tarn;

namespace {

constexpr std::size_t HEADER = 4 + 8 + 2;  // <IdH: size, sent, thread name length
// A transaction ends after this many rows or bytes, or when asked to
// (the input went idle), so the other writer is not kept waiting long.
constexpr std::size_t TX_ROWS = 20000;
constexpr std::size_t TX_BYTES = 32u << 20;
constexpr std::size_t METRIC_CACHE = 4096;
// Metrics whose message is stored once are inserted this many rows to a
// statement: a row is a few bytes, the statement's own work is most of it.
constexpr int METRIC_ROWS = 32;
// Call records likewise; their bytes are the input's, so a batch is
// inserted before the input they point into is let go.
constexpr int CALL_ROWS = 16;
constexpr std::size_t METRIC_BYTES = 4096;

enum class Stream { data, metrics };

// Maps looked up with a view of the frame's bytes, without a copy.
struct ViewHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view v) const noexcept {
        return std::hash<std::string_view>()(v);
    }
};
template <class V>
using ByBytes = std::unordered_map<std::string, V, ViewHash, std::equal_to<>>;

// Text as it is stored: UTF-8; anything else (a name with unpaired
// surrogates, undecodable bytes) is written with replacements.
struct Text {
    std::string bytes;
    bool null = true;
};

bool valid_strict_utf8(const char* p, std::size_t n) {
    // record_scan's check also admits encoded surrogates; SQLite text must not.
    if (!record_scan::detail::valid_utf8(reinterpret_cast<const unsigned char*>(p), n))
        return false;
    for (std::size_t i = 0; i + 1 < n; ++i)
        if (static_cast<unsigned char>(p[i]) == 0xED &&
            (static_cast<unsigned char>(p[i + 1]) & 0xE0) == 0xA0)
            return false;
    return true;
}

// A str as UTF-8 (unpaired surrogates as \udcxx escapes); false on error.
bool text_of(PyObject* s, Text& out) {
    out.null = true;
    out.bytes.clear();
    if (s == Py_None) return true;
    if (!PyUnicode_Check(s)) return true;  // not text: stored as NULL
    Py_ssize_t len;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s, &len);
    if (!utf8) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        Ref encoded = Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "backslashreplace"));
        if (!encoded) return false;
        out.bytes.assign(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
    } else {
        out.bytes.assign(utf8, len);
    }
    out.null = false;
    return true;
}

// What a metric message is stored as: its kind and detail, and the row of
// metric_messages that holds its bytes once for every metric it is (0: not
// stored yet).
struct Metric {
    Text kind, detail;
    sqlite3_int64 message = 0;
    // Rows of it stored in the open transaction, added to the message's
    // count when it commits (files that keep counts).
    long long pending = 0;
};

// A metric row waiting for its statement; the metric and the thread name
// are cache entries, which stay where they are until the batch is inserted.
struct MetricRow {
    Metric* metric;
    const Text* thread;
    double sent;
};

// A call record's row waiting for its statement.
struct CallRow {
    Text name;
    const Text* thread;
    double sent;
    long long count;
    const char* data;
    std::size_t size;
};

struct Writer {
    PyObject_HEAD
    sqlite3* db;
    sqlite3_stmt* insert;
    sqlite3_stmt* insert_rows;  // METRIC_ROWS shared metrics at once
    std::vector<MetricRow>* rows;
    sqlite3_stmt* insert_calls;  // CALL_ROWS records at once
    std::vector<CallRow>* calls;  // rows in use: the first `ncalls`
    std::size_t ncalls;
    sqlite3_stmt* insert_message;  // null: the file has no metric_messages
    sqlite3_stmt* add_count;       // null: its messages keep no count
    std::vector<Metric*>* counted;  // cache entries with rows pending
    Stream stream;
    bool in_tx;
    std::size_t tx_rows, tx_bytes;
    std::string* pending;  // bytes of an incomplete frame
    PyObject* describe;    // the Python describer (owned)
    ByBytes<Metric>* metric_cache;
    // The cache's last two hits (every call sends the same two metrics):
    // compared before the whole message is hashed. Nodes of the cache,
    // which never drops one.
    std::pair<const std::string, Metric>* recent[2];
    int recent_next;
    ByBytes<Text>* thread_names;
    long long stored;
    Metric* metric_spare;  // a metric's texts when the cache is full
};

void forget_messages(Writer* w) {
    // A failed statement that undid only itself leaves the transaction as
    // it was. One that rolled the whole transaction back took with it the
    // rows of metric_messages it made, the rows the pending counts are of,
    // and the transaction: the rows still waiting would name messages that
    // are gone.
    if (w->db && !sqlite3_get_autocommit(w->db)) return;
    if (w->metric_cache)
        for (auto& entry : *w->metric_cache) entry.second.message = entry.second.pending = 0;
    if (w->counted) w->counted->clear();
    if (w->rows) w->rows->clear();
    w->in_tx = false;
    w->tx_rows = w->tx_bytes = 0;
}

bool sqlite_failed(Writer* w, const char* what) {
    forget_messages(w);
    PyErr_Format(PyExc_RuntimeError, "recording store: %s: %s", what,
                 w->db ? sqlite3_errmsg(w->db) : "no database");
    return false;
}

bool exec(Writer* w, const char* sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(w->db, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        forget_messages(w);
        PyErr_Format(PyExc_RuntimeError, "recording store: %s: %s", sql,
                     err ? err : sqlite3_errstr(rc));
        sqlite3_free(err);
        return false;
    }
    return true;
}

bool bind_at(Writer* w, sqlite3_stmt* st, int col, const Text& t) {
    int rc = t.null ? sqlite3_bind_null(st, col)
                    : sqlite3_bind_text(st, col, t.bytes.data(), static_cast<int>(t.bytes.size()),
                                        SQLITE_STATIC);
    return rc == SQLITE_OK || sqlite_failed(w, "bind");
}

bool step(Writer* w, sqlite3_stmt* st) {
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE || sqlite_failed(w, "insert");
}

// Inserts the waiting metric rows: whole batches at once, the rest one by one.
bool flush_rows(Writer* w) {
    std::vector<MetricRow>& rows = *w->rows;
    std::size_t at = 0;
    auto put = [&](sqlite3_stmt* st, int base, const MetricRow& r) {
        int rc = SQLITE_OK;
        if (!bind_at(w, st, base + 1, r.metric->kind) ||
            !bind_at(w, st, base + 2, r.metric->detail) || !bind_at(w, st, base + 3, *r.thread))
            return false;
        rc = sqlite3_bind_double(st, base + 4, r.sent);
        if (rc == SQLITE_OK) rc = sqlite3_bind_null(st, base + 5);
        if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, base + 6, r.metric->message);
        return rc == SQLITE_OK || sqlite_failed(w, "bind");
    };
    // Counted once inserted: a statement that fails stores none of its rows.
    auto count = [&](std::size_t from, std::size_t to) {
        if (!w->add_count) return;
        for (std::size_t i = from; i < to; ++i)
            if (rows[i].metric->pending++ == 0) w->counted->push_back(rows[i].metric);
    };
    bool ok = true;
    for (; ok && w->insert_rows && rows.size() - at >= METRIC_ROWS; at += METRIC_ROWS) {
        for (int i = 0; ok && i < METRIC_ROWS; ++i) ok = put(w->insert_rows, 6 * i, rows[at + i]);
        ok = ok && step(w, w->insert_rows);
        if (ok) count(at, at + METRIC_ROWS);
    }
    for (; ok && at < rows.size(); ++at) {
        ok = put(w->insert, 0, rows[at]) && step(w, w->insert);
        if (ok) count(at, at + 1);
    }
    rows.clear();
    return ok;
}

bool flush_calls(Writer* w) {
    std::vector<CallRow>& rows = *w->calls;
    std::size_t n = w->ncalls, at = 0;
    w->ncalls = 0;
    auto put = [&](sqlite3_stmt* st, int base, const CallRow& r) {
        if (!bind_at(w, st, base + 1, r.name) || !bind_at(w, st, base + 2, *r.thread)) return false;
        int rc = sqlite3_bind_double(st, base + 3, r.sent);
        if (rc == SQLITE_OK)
            rc = r.count >= 0 ? sqlite3_bind_int64(st, base + 4, r.count)
                              : sqlite3_bind_null(st, base + 4);
        if (rc == SQLITE_OK) rc = sqlite3_bind_blob64(st, base + 5, r.data, r.size, SQLITE_STATIC);
        if (rc == SQLITE_OK)
            rc = sqlite3_bind_int64(st, base + 6, static_cast<sqlite3_int64>(r.size));
        return rc == SQLITE_OK || sqlite_failed(w, "bind");
    };
    bool ok = true;
    for (; ok && w->insert_calls && n - at >= CALL_ROWS; at += CALL_ROWS) {
        for (int i = 0; ok && i < CALL_ROWS; ++i) ok = put(w->insert_calls, 6 * i, rows[at + i]);
        ok = ok && step(w, w->insert_calls);
    }
    for (; ok && at < n; ++at) ok = put(w->insert, 0, rows[at]) && step(w, w->insert);
    return ok;
}

bool flush(Writer* w) { return flush_rows(w) && flush_calls(w); }

// Each message's count grows by its rows of this transaction, in it: the
// counts always say how many rows the file holds.
bool add_counts(Writer* w) {
    for (Metric* m : *w->counted) {
        if (!m->pending) continue;
        sqlite3_stmt* st = w->add_count;
        int rc = sqlite3_bind_int64(st, 1, m->pending);
        if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, 2, m->message);
        if (rc == SQLITE_OK) rc = sqlite3_step(st);
        sqlite3_reset(st);
        if (rc != SQLITE_DONE) return sqlite_failed(w, "count");
        m->pending = 0;
    }
    w->counted->clear();
    return true;
}

bool commit(Writer* w) {
    if (!w->in_tx) return true;
    if (!flush(w) || !add_counts(w)) return false;
    if (!exec(w, "COMMIT")) return false;
    w->in_tx = false;
    w->tx_rows = w->tx_bytes = 0;
    return true;
}

// `t` must stay as it is until the row is inserted.
bool bind_text(Writer* w, int col, const Text& t) {
    int rc = t.null ? sqlite3_bind_null(w->insert, col)
                    : sqlite3_bind_text(w->insert, col, t.bytes.data(),
                                        static_cast<int>(t.bytes.size()), SQLITE_STATIC);
    return rc == SQLITE_OK || sqlite_failed(w, "bind");
}

// The thread name as the sender encoded it, read as "utf-8", "replace".
bool thread_text(Writer* w, const char* p, std::size_t n, Text*& out) {
    auto it = w->thread_names->find(std::string_view(p, n));
    if (it != w->thread_names->end()) {
        out = &it->second;
        return true;
    }
    std::string key(p, n);
    Text t;
    if (valid_strict_utf8(p, n)) {
        t.bytes = key;
        t.null = false;
    } else {
        Ref s = Ref::steal(PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), "replace"));
        if (!s || !text_of(s.get(), t)) return false;
    }
    if (w->thread_names->size() >= 10000) {
        if (!flush(w)) return false;  // waiting rows point into it
        w->thread_names->clear();
    }
    out = &w->thread_names->emplace(std::move(key), std::move(t)).first->second;
    return true;
}

// (name, count) from the Python describer, for a record the scan cannot tell.
bool described_call(Writer* w, const char* data, std::size_t n, Text& name, long long& count) {
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(n)));
    Ref pair = bytes ? call(w->describe, bytes.get()) : Ref();
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "describe_call must return a pair");
        return false;
    }
    if (!text_of(PyTuple_GET_ITEM(pair.get(), 0), name)) return false;
    PyObject* c = PyTuple_GET_ITEM(pair.get(), 1);
    count = -1;
    if (PyLong_Check(c)) {
        count = PyLong_AsLongLong(c);
        if (count == -1 && PyErr_Occurred()) return false;
    }
    return true;
}

bool store_call(Writer* w, const char* data, std::size_t n, const Text& thread, double sent) {
    record_scan::Description d =
        record_scan::describe(reinterpret_cast<const unsigned char*>(data), n);
    if (w->ncalls == w->calls->size()) w->calls->emplace_back();
    CallRow& row = (*w->calls)[w->ncalls];
    Text& name = row.name;
    name.null = true;
    name.bytes.clear();
    long long count = -1;
    if (d.decided) {
        count = d.external_calls;
        if (d.has_name) {
            if (valid_strict_utf8(d.name.data(), d.name.size())) {
                name.bytes.assign(d.name.data(), d.name.size());
                name.null = false;
            } else {
                Ref s = Ref::steal(PyUnicode_DecodeUTF8(
                    d.name.data(), static_cast<Py_ssize_t>(d.name.size()), "surrogatepass"));
                if (!s || !text_of(s.get(), name)) return false;
            }
        }
    } else if (!described_call(w, data, n, name, count)) {
        return false;
    }
    row.thread = &thread;
    row.sent = sent;
    row.count = count;
    row.data = data;
    row.size = n;
    if (++w->ncalls >= 4 * CALL_ROWS) return flush_calls(w);
    return true;
}

// The row of metric_messages holding `data`, stored at its first use.
bool message_row(Writer* w, Metric& m, const char* data, std::size_t n) {
    if (m.message) return true;
    sqlite3_stmt* st = w->insert_message;
    int rc = sqlite3_bind_blob64(st, 1, data, n, SQLITE_STATIC);
    if (rc == SQLITE_OK && w->add_count && (!bind_at(w, st, 2, m.kind) || !bind_at(w, st, 3, m.detail))) {
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        return false;
    }
    if (rc == SQLITE_OK) rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (rc != SQLITE_DONE) return sqlite_failed(w, "insert message");
    m.message = sqlite3_last_insert_rowid(w->db);
    return true;
}

// `single`: the row is bound to the one-row statement (else it waits for
// its batch).
bool store_metric(Writer* w, const char* data, std::size_t n, const Text& thread, double sent,
                  bool& single) {
    single = false;
    // Most metrics are byte-for-byte repeats (every call sends the same two).
    Metric* found = nullptr;
    bool cached = true;
    for (auto* r : w->recent)
        if (r && r->first.size() == n && std::memcmp(r->first.data(), data, n) == 0)
            found = &r->second;
    if (!found) {
        auto it = w->metric_cache->find(std::string_view(data, n));
        if (it == w->metric_cache->end()) {
            Metric described;
            Ref bytes = Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(n)));
            Ref pair = bytes ? call(w->describe, bytes.get()) : Ref();
            if (!pair) return false;
            if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
                PyErr_SetString(PyExc_TypeError, "describe_metric must return a pair");
                return false;
            }
            if (!text_of(PyTuple_GET_ITEM(pair.get(), 0), described.kind) ||
                !text_of(PyTuple_GET_ITEM(pair.get(), 1), described.detail))
                return false;
            if (w->metric_cache->size() >= METRIC_CACHE || n > METRIC_BYTES) {
                found = &(*w->metric_spare = std::move(described));
                cached = false;
            } else {
                it = w->metric_cache->emplace(std::string(data, n), std::move(described)).first;
            }
        }
        if (!found) {
            found = &it->second;
            w->recent[w->recent_next] = &*it;
            w->recent_next ^= 1;
        }
    }
    // A repeated message is stored once; a row keeps the bytes of one that
    // is not kept (too large, or too many kinds).
    bool shared = cached && w->insert_message;
    if (shared) {
        if (!message_row(w, *found, data, n)) return false;
        w->rows->push_back({found, &thread, sent});
        if (w->rows->size() >= 4 * METRIC_ROWS) return flush_rows(w);
        return true;
    }
    // Rows stay in the order they came.
    if (!flush_rows(w)) return false;
    single = true;
    sqlite3_stmt* st = w->insert;
    if (!bind_text(w, 1, found->kind) || !bind_text(w, 2, found->detail) ||
        !bind_text(w, 3, thread))
        return false;
    int rc = sqlite3_bind_double(st, 4, sent);
    if (rc == SQLITE_OK)
        rc = shared ? sqlite3_bind_null(st, 5) : sqlite3_bind_blob64(st, 5, data, n, SQLITE_STATIC);
    if (rc == SQLITE_OK && w->insert_message)
        rc = shared ? sqlite3_bind_int64(st, 6, found->message) : sqlite3_bind_null(st, 6);
    return rc == SQLITE_OK || sqlite_failed(w, "bind");
}

double read_double(const unsigned char* p) {
    std::uint64_t bits = record_scan::detail::le(p, 8);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// One frame at `p` (complete): described, bound and inserted.
bool store_frame(Writer* w, const unsigned char* p, std::size_t size, std::size_t name_len,
                 double sent) {
    const char* name = reinterpret_cast<const char*>(p + HEADER);
    const char* data = name + name_len;
    Text* thread;
    if (!thread_text(w, name, name_len, thread)) return false;
    if (!w->in_tx) {
        if (!exec(w, "BEGIN IMMEDIATE")) return false;
        w->in_tx = true;
    }
    bool single = false;
    bool bound = w->stream == Stream::data ? store_call(w, data, size, *thread, sent)
                                           : store_metric(w, data, size, *thread, sent, single);
    if (!bound) {
        sqlite3_reset(w->insert);
        sqlite3_clear_bindings(w->insert);
        return false;
    }
    // Every parameter is bound anew for each row: no clearing between rows.
    // A metric row that waits for its batch is not stepped here.
    if (single) {
        int rc = sqlite3_step(w->insert);
        sqlite3_reset(w->insert);
        if (rc != SQLITE_DONE) return sqlite_failed(w, "insert");
    }
    ++w->stored;
    ++w->tx_rows;
    w->tx_bytes += size;
    if (w->tx_rows >= TX_ROWS || w->tx_bytes >= TX_BYTES) return commit(w);
    return true;
}

// Stores every complete frame of p[0, n); returns how many bytes it used.
bool store_frames(Writer* w, const unsigned char* p, std::size_t n, std::size_t& used) {
    used = 0;
    while (n - used >= HEADER) {
        const unsigned char* f = p + used;
        std::size_t size = static_cast<std::size_t>(record_scan::detail::le(f, 4));
        std::size_t name_len = static_cast<std::size_t>(record_scan::detail::le(f + 12, 2));
        std::size_t total = HEADER + name_len + size;
        if (n - used < total) break;
        if (!store_frame(w, f, size, name_len, read_double(f + 4))) {
            w->ncalls = 0;
            return false;
        }
        used += total;
    }
    // The waiting records point into p.
    return flush_calls(w);
}

// ------------------------------------------------------------ the type

PyObject* Writer_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* w = reinterpret_cast<Writer*>(type->tp_alloc(type, 0));
    if (!w) return nullptr;
    w->pending = new (std::nothrow) std::string();
    w->metric_cache = new (std::nothrow) ByBytes<Metric>();
    w->thread_names = new (std::nothrow) ByBytes<Text>();
    w->calls = new (std::nothrow) std::vector<CallRow>();
    w->metric_spare = new (std::nothrow) Metric();
    w->rows = new (std::nothrow) std::vector<MetricRow>();
    w->counted = new (std::nothrow) std::vector<Metric*>();
    if (!w->pending || !w->metric_cache || !w->thread_names || !w->calls || !w->metric_spare ||
        !w->rows || !w->counted) {
        Py_DECREF(w);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(w);
}

void close_db(Writer* w) {
    if (w->insert) sqlite3_finalize(w->insert);
    if (w->insert_message) sqlite3_finalize(w->insert_message);
    if (w->insert_rows) sqlite3_finalize(w->insert_rows);
    if (w->insert_calls) sqlite3_finalize(w->insert_calls);
    if (w->add_count) sqlite3_finalize(w->add_count);
    w->insert = w->insert_message = w->insert_rows = w->insert_calls = w->add_count = nullptr;
    if (w->db) sqlite3_close_v2(w->db);
    w->db = nullptr;
}

void Writer_dealloc(PyObject* self) {
    auto* w = reinterpret_cast<Writer*>(self);
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    close_db(w);
    delete w->pending;
    delete w->metric_cache;
    delete w->thread_names;
    delete w->calls;
    delete w->metric_spare;
    delete w->rows;
    delete w->counted;
    Py_CLEAR(w->describe);
    Py_TYPE(self)->tp_free(self);
}

int Writer_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* w = reinterpret_cast<Writer*>(self);
    PyObject *path, *kind, *describe;
    int busy_ms;
    static const char* names[] = {"path", "kind", "busy_ms", "describe", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UUiO:Writer", const_cast<char**>(names),
                                     &path, &kind, &busy_ms, &describe))
        return -1;
    if (w->db) {
        PyErr_SetString(PyExc_RuntimeError, "Writer is already open");
        return -1;
    }
    const char* stream = PyUnicode_AsUTF8(kind);
    if (!stream) return -1;
    const char* sql;
    if (std::strcmp(stream, "data") == 0) {
        w->stream = Stream::data;
        sql = "INSERT INTO calls (function, thread, sent, external_calls, data, size) "
              "VALUES (?, ?, ?, ?, ?, ?)";
    } else if (std::strcmp(stream, "metrics") == 0) {
        w->stream = Stream::metrics;
        sql = "INSERT INTO metrics (kind, detail, thread, sent, data) VALUES (?, ?, ?, ?, ?)";
    } else {
        PyErr_Format(PyExc_ValueError, "unknown stream %R", kind);
        return -1;
    }
    if (!PyCallable_Check(describe)) {
        PyErr_SetString(PyExc_TypeError, "describe must be callable");
        return -1;
    }
    Ref fspath = Ref::steal(PyUnicode_EncodeFSDefault(path));
    if (!fspath) return -1;
    // One connection used by one thread: SQLite's own locking is not needed.
    int rc = sqlite3_open_v2(PyBytes_AS_STRING(fspath.get()), &w->db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        sqlite_failed(w, "open");
        close_db(w);
        return -1;
    }
    sqlite3_busy_timeout(w->db, busy_ms);
    // A transaction's pages stay in memory until it commits (the default
    // cache holds a fraction of one, and every page it spills is written to
    // the log again when touched again). Commits go to the log without a
    // sync: what a commit wrote survives this process and the program
    // ending in any way, only a failure of the machine itself can lose it.
    // The log is copied back into the file every 64 MB rather than 16:
    // fewer copies that each wait for the disk.
    if (!exec(w, "PRAGMA cache_size = -65536") || !exec(w, "PRAGMA synchronous = NORMAL") ||
        !exec(w, "PRAGMA wal_autocheckpoint = 4096")) {
        close_db(w);
        return -1;
    }
    if (w->stream == Stream::metrics) {
        // Files made before metric_messages existed keep every message in its row.
        const char* shared =
            "INSERT INTO metrics (kind, detail, thread, sent, data, message) "
            "VALUES (?, ?, ?, ?, ?, ?)";
        std::string many = "INSERT INTO metrics (kind, detail, thread, sent, data, message) VALUES ";
        for (int i = 0; i < METRIC_ROWS; ++i) many += i ? ", (?, ?, ?, ?, ?, ?)" : "(?, ?, ?, ?, ?, ?)";
        // Files made before messages kept their counts add none.
        bool counts = sqlite3_prepare_v2(w->db,
                                         "INSERT INTO metric_messages (data, kind, detail, count) "
                                         "VALUES (?, ?, ?, 0)",
                                         -1, &w->insert_message, nullptr) == SQLITE_OK &&
                      sqlite3_prepare_v2(w->db,
                                         "UPDATE metric_messages SET count = count + ? WHERE id = ?",
                                         -1, &w->add_count, nullptr) == SQLITE_OK;
        if (!counts) {
            sqlite3_finalize(w->insert_message);
            sqlite3_finalize(w->add_count);
            w->insert_message = w->add_count = nullptr;
        }
        if ((counts ||
             sqlite3_prepare_v2(w->db, "INSERT INTO metric_messages (data) VALUES (?)", -1,
                                &w->insert_message, nullptr) == SQLITE_OK) &&
            sqlite3_prepare_v2(w->db, shared, -1, &w->insert, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(w->db, many.c_str(), -1, &w->insert_rows, nullptr) == SQLITE_OK)
            sql = nullptr;
        if (sql) {
            sqlite3_finalize(w->insert_message);
            sqlite3_finalize(w->insert);
            sqlite3_finalize(w->insert_rows);
            sqlite3_finalize(w->add_count);
            w->insert_message = w->insert = w->insert_rows = w->add_count = nullptr;
        }
    }
    if (w->stream == Stream::data) {
        std::string many =
            "INSERT INTO calls (function, thread, sent, external_calls, data, size) VALUES ";
        for (int i = 0; i < CALL_ROWS; ++i) many += i ? ", (?, ?, ?, ?, ?, ?)" : "(?, ?, ?, ?, ?, ?)";
        if (sqlite3_prepare_v2(w->db, many.c_str(), -1, &w->insert_calls, nullptr) != SQLITE_OK) {
            sqlite_failed(w, "prepare");
            close_db(w);
            return -1;
        }
    }
    if (sql && sqlite3_prepare_v2(w->db, sql, -1, &w->insert, nullptr) != SQLITE_OK) {
        sqlite_failed(w, "prepare");
        close_db(w);
        return -1;
    }
    Py_INCREF(describe);
    Py_XSETREF(w->describe, describe);
    return 0;
}

bool open_or_fail(Writer* w) {
    if (w->db) return true;
    PyErr_SetString(PyExc_ValueError, "Writer is closed");
    return false;
}

// feed(chunk): stores the complete frames; an incomplete one waits for more.
PyObject* Writer_feed(PyObject* self, PyObject* arg) {
    auto* w = reinterpret_cast<Writer*>(self);
    if (!open_or_fail(w)) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject* result = guarded([&]() -> PyObject* {
        const auto* p = static_cast<const unsigned char*>(view.buf);
        auto n = static_cast<std::size_t>(view.len);
        std::size_t used;
        if (!w->pending->empty()) {
            // Complete the waiting frame first, then go on from the chunk.
            w->pending->append(reinterpret_cast<const char*>(p), n);
            const auto* q = reinterpret_cast<const unsigned char*>(w->pending->data());
            if (!store_frames(w, q, w->pending->size(), used)) return nullptr;
            w->pending->erase(0, used);
        } else {
            if (!store_frames(w, p, n, used)) return nullptr;
            w->pending->assign(reinterpret_cast<const char*>(p + used), n - used);
        }
        Py_RETURN_NONE;
    });
    PyBuffer_Release(&view);
    return result;
}

PyObject* Writer_commit(PyObject* self, PyObject*) {
    auto* w = reinterpret_cast<Writer*>(self);
    if (!open_or_fail(w) || !commit(w)) return nullptr;
    Py_RETURN_NONE;
}

// close(): commits and closes; a frame left incomplete is dropped.
PyObject* Writer_close(PyObject* self, PyObject*) {
    auto* w = reinterpret_cast<Writer*>(self);
    if (!w->db) Py_RETURN_NONE;
    if (!commit(w)) return nullptr;
    close_db(w);
    Py_RETURN_NONE;
}

PyObject* Writer_stored(PyObject* self, void*) {
    return PyLong_FromLongLong(reinterpret_cast<Writer*>(self)->stored);
}

PyMethodDef writer_methods[] = {
    {"feed", Writer_feed, METH_O, "feed(chunk): store the complete frames of the stream so far."},
    {"commit", Writer_commit, METH_NOARGS, "End the transaction in progress."},
    {"close", Writer_close, METH_NOARGS, "Commit and close; an incomplete last frame is dropped."},
    {}};

PyGetSetDef writer_getset[] = {
    {"stored", Writer_stored, nullptr, "Rows inserted so far.", nullptr}, {}};

PyType_Slot writer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Writer_new)},
    {Py_tp_init, reinterpret_cast<void*>(Writer_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Writer_dealloc)},
    {Py_tp_methods, writer_methods},
    {Py_tp_getset, writer_getset},
    {Py_tp_doc, const_cast<char*>(
                    "Writer(path, kind, busy_ms, describe): stores the frames of one stream "
                    "(\"data\" or \"metrics\") into the recording at path. describe(data) -> "
                    "(name, external_calls) or (kind, detail) is called only for a record the "
                    "opcode scan cannot tell about and for a metric not seen before.")},
    {0, nullptr}};

PyType_Spec writer_spec = {"tarnwick_collector.recording.store_writer.Writer", sizeof(Writer), 0,
                           Py_TPFLAGS_DEFAULT, writer_slots};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "store_writer",
                          "Storing a writer process's stream of frames.", -1, nullptr};

PyObject* init_module() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref type = Ref::steal(PyType_FromSpec(&writer_spec));
    if (!add_to_module(module.get(), "Writer", type)) return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_store_writer() {
    return guarded(init_module);
}
