"""The SQLite file of one recording.

Tables: ``meta`` (key/value text about the run), ``calls`` (one row per
call record: the function's full name, the thread, the time it was sent, the
number of its external calls, the record's bytes and their length) and
``metrics`` (kind, detail, time, and the message's bytes: in
``metric_messages``, stored once for all the metrics that are the same
message, with its kind, detail and how many rows are of it, or in the row
itself). Files written before ``size``, the indexes, ``metric_messages`` or
its counts existed are still read. Two writer
processes share the file, so it is in WAL mode with a generous busy timeout.
"""

import json
import os
import sqlite3

FORMAT = "tarnwick-recording"
# 2: metric messages stored once in metric_messages.
# 3: ... with their kind, detail and count of rows.
VERSION = "3"
BUSY_MS = 30000

SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE IF NOT EXISTS calls (
    id INTEGER PRIMARY KEY,
    function TEXT,
    thread TEXT,
    sent REAL,
    external_calls INTEGER,
    size INTEGER,
    data BLOB NOT NULL
);
CREATE TABLE IF NOT EXISTS metrics (
    id INTEGER PRIMARY KEY,
    kind TEXT,
    detail TEXT,
    thread TEXT,
    sent REAL,
    data BLOB,
    message INTEGER
);
CREATE TABLE IF NOT EXISTS metric_messages (
    id INTEGER PRIMARY KEY,
    data BLOB NOT NULL,
    kind TEXT,
    detail TEXT,
    count INTEGER NOT NULL DEFAULT 0
);
"""

# Made by each writer once its stream has ended: built from the finished
# table they cost a fraction of keeping them up to date row by row (the
# columns they cover come before a record's bytes, which are not read). A
# file whose writer did not finish lacks them; the readers do without.
INDEXES = {
    # What stats reads, without touching the records themselves; the
    # filters by function use it too.
    "data": "CREATE INDEX IF NOT EXISTS calls_stats ON calls "
            "(function, thread, external_calls, size)",
    # Counts by kind and detail come from metric_messages, but for the
    # rows that keep their own bytes (rare: messages too large or too
    # varied to be kept once): only those are indexed. Older files have
    # metrics_kind, an index of every row by kind.
    "metrics": "CREATE INDEX IF NOT EXISTS metrics_inline ON metrics (kind, detail) "
               "WHERE message IS NULL",
}


class RecordingError(Exception):
    """A file that cannot be read as a recording; the message is one line."""


def connect(path, timeout_ms=BUSY_MS):
    conn = sqlite3.connect(path, timeout=timeout_ms / 1000, isolation_level=None)
    conn.execute(f"PRAGMA busy_timeout = {int(timeout_ms)}")
    return conn


def create(path, meta=None):
    """A new, empty recording at ``path`` (an old file there is replaced)."""
    for suffix in ("", "-wal", "-shm", "-journal"):
        try:
            os.unlink(path + suffix)
        except FileNotFoundError:
            pass
    conn = connect(path)
    try:
        # Larger pages: the writers append hundreds of megabytes, and every
        # page goes through the log and back.
        conn.execute("PRAGMA page_size = 16384")
        conn.execute("PRAGMA journal_mode = WAL")
        conn.executescript(SCHEMA)
        values = {"format": FORMAT, "version": VERSION}
        values.update(meta or {})
        set_meta(conn, values)
    finally:
        conn.close()


def add_indexes(path, streams=("data", "metrics")):
    conn = connect(path)
    try:
        for stream in streams:
            sql = INDEXES[stream]
            if stream == "metrics" and "message" not in {
                    r[1] for r in conn.execute("PRAGMA table_info(metrics)")}:
                # A file of every message in its row: all rows by kind.
                sql = "CREATE INDEX IF NOT EXISTS metrics_kind ON metrics (kind)"
            conn.execute(sql)
    finally:
        conn.close()


def set_meta(conn, values):
    rows = [(k, v if isinstance(v, str) else json.dumps(v)) for k, v in values.items()]
    conn.execute("BEGIN IMMEDIATE")
    conn.executemany("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)", rows)
    conn.execute("COMMIT")


def update_meta(path, values):
    conn = connect(path)
    try:
        set_meta(conn, values)
    finally:
        conn.close()


_SQLITE_MAGIC = b"SQLite format 3\x00"
_SIDE_FILES = ("-wal", "-shm")
# Above this size the whole-file check would delay the first line; damage in
# a larger file shows up as an error when the reader reaches it.
_CHECK_BELOW = 32 << 20
_META_VALUE_MAX = 1 << 20
_META_ROWS_MAX = 1000


def _text(raw):
    # Text columns of a crafted file need not be UTF-8; keep every row readable.
    return raw.decode("utf-8", "surrogateescape")


class Oversized:
    """A record's bytes left in the file: larger than the reader's bound."""

    __slots__ = ("size",)

    def __init__(self, size):
        self.size = size


class Recording:
    """Read access to a recording; every problem is a RecordingError.

    The file is opened read-only and is never changed. Without a write-ahead
    log beside it, it is opened as immutable, so that no ``-wal``/``-shm``
    files appear; side files that the reader's connection made anyway are
    removed again at ``close``."""

    def __init__(self, path, check=None):
        self.path = path
        self.conn = None
        if not os.path.exists(path):
            raise RecordingError(f"{path}: no such file")
        if os.path.isdir(path):
            raise RecordingError(f"{path}: is a directory, not a recording")
        try:
            with open(path, "rb") as f:
                head = f.read(len(_SQLITE_MAGIC))
            size = os.path.getsize(path)
        except OSError as exc:
            raise RecordingError(f"{path}: cannot read: {exc.strerror}") from None
        if head != _SQLITE_MAGIC:
            raise RecordingError(f"{path}: not a recording (not an SQLite database)")
        self._present = {s for s in _SIDE_FILES + ("-journal",) if os.path.exists(path + s)}
        # A log or journal beside the file holds data, or a writer still runs.
        params = "mode=ro" if self._present else "mode=ro&immutable=1"
        try:
            self.conn = sqlite3.connect(f"file:{_uri_path(path)}?{params}", uri=True)
            self.conn.text_factory = _text
            self.conn.execute(f"PRAGMA busy_timeout = {BUSY_MS}")
            tables = {r[0] for r in self.conn.execute(
                "SELECT name FROM sqlite_master WHERE type = 'table'")}
        except sqlite3.DatabaseError as exc:
            self.close()
            raise RecordingError(f"{path}: damaged recording ({exc})") from None
        if not {"meta", "calls", "metrics"} <= tables:
            self.close()
            raise RecordingError(f"{path}: not a recording (no recording tables)")
        try:
            self.meta = self._read_meta()
        except sqlite3.DatabaseError as exc:
            self.close()
            raise RecordingError(f"{path}: damaged recording ({exc})") from None
        if self.meta.get("format") != FORMAT:
            self.close()
            raise RecordingError(f"{path}: not a recording (unknown format)")
        if check if check is not None else size <= _CHECK_BELOW:
            try:
                self.check()
            except RecordingError:
                self.close()
                raise
        self.columns = {r[1] for r in self._query("PRAGMA table_info(calls)")}
        self.indexes = self._indexes()
        self.indexed = self._by_function = None
        # Older files have an index of the function alone; any index that
        # starts with it serves.
        by_function = sorted((len(cols), name) for name, cols in self.indexes.items()
                             if cols[:1] == ["function"])
        if by_function:
            self.indexed = by_function[0][1]
            self._by_function = f"INDEXED BY {_quote_id(self.indexed)}"
        self._metric_messages = ("metric_messages" in tables and "message" in {
            r[1] for r in self._query("PRAGMA table_info(metrics)")})

    def _read_meta(self):
        rows = self.conn.execute(
            "SELECT key, substr(value, 1, ?), length(value) > ? FROM meta LIMIT ?",
            (_META_VALUE_MAX, _META_VALUE_MAX, _META_ROWS_MAX))
        meta = {}
        for key, value, cut in rows:
            if isinstance(key, str):
                meta[key] = None if cut else value
        return meta

    def _indexes(self):
        """Index name -> its columns, for the calls table."""
        found = {}
        for row in self._query("PRAGMA index_list(calls)")[:50]:
            if isinstance(row[1], str):
                cols = sorted(self._query(f"PRAGMA index_info({_quote(row[1])})"))
                found[row[1]] = [c[2] for c in cols]
        return found

    def has_index(self, name, columns):
        return self.indexes.get(name) == list(columns)

    @property
    def complete(self):
        """Whether the recorder finished: the summary is written at its end."""
        return "summary" in self.meta

    def check(self):
        try:
            result = [r[0] for r in self.conn.execute("PRAGMA quick_check")]
        except sqlite3.DatabaseError as exc:
            raise RecordingError(f"{self.path}: damaged recording ({exc})") from None
        if result != ["ok"]:
            raise RecordingError(f"{self.path}: damaged recording ({result[0]})")

    def damaged(self, exc):
        return RecordingError(f"{self.path}: damaged recording ({exc})")

    def _query(self, sql, args=()):
        try:
            return self.conn.execute(sql, args).fetchall()
        except sqlite3.DatabaseError as exc:
            raise self.damaged(exc) from None

    def _rows(self, sql, args=()):
        """Rows one by one from a cursor; damage met on the way is a RecordingError."""
        try:
            cursor = self.conn.execute(sql, args)
            while True:
                row = cursor.fetchone()
                if row is None:
                    return
                yield row
        except sqlite3.DatabaseError as exc:
            raise self.damaged(exc) from None

    def calls(self, function=None, thread=None, limit=None, max_record=None):
        """(id, function, thread, sent, data) of the calls in the order they
        were stored, streamed. ``function`` is a full name or its trailing
        dotted part, ``thread`` a thread name; ``data`` is an ``Oversized``
        in place of bytes above ``max_record``."""
        if limit is not None and limit <= 0:
            return
        cap = (1 << 62) if max_record is None else max_record
        data = "CASE WHEN length(data) <= ? THEN data END, length(data)"
        cols = f"id, function, thread, sent, {data}"
        if function is None:
            where, args = ("WHERE thread = ?", (thread,)) if thread is not None else ("", ())
            rows = self._rows(f"SELECT {cols} FROM calls {where} ORDER BY id", (cap,) + args)
        elif self.indexed:
            rows = self._by_ids(self._ids_of(function), cols, cap, thread)
        else:
            dotted = "." + function
            where = "(function = ? OR substr(function, ?) = ?)"
            args = (cap, function, -len(dotted), dotted)
            if thread is not None:
                where += " AND thread = ?"
                args += (thread,)
            rows = self._rows(f"SELECT {cols} FROM calls WHERE {where} ORDER BY id", args)
        shown = 0
        for row_id, name, thread_name, sent, blob, size in rows:
            if blob is None and size is not None and size > cap:
                blob = Oversized(size)
            yield row_id, name, thread_name, sent, blob
            shown += 1
            if limit is not None and shown >= limit:
                return

    def function_names(self, wanted):
        """The stored names that ``wanted`` names, found through the index
        by stepping from one distinct name to the next."""
        found = []
        use = self._by_function
        step = f"SELECT function FROM calls {use} WHERE function > ? ORDER BY function LIMIT 1"
        at = self._query(f"SELECT function FROM calls {use} WHERE function >= '' "
                         "ORDER BY function LIMIT 1")
        while at:
            name = at[0][0]
            if isinstance(name, str) and matches(name, wanted):
                found.append(name)
            at = self._query(step, (name,))
        return found

    def _ids_of(self, wanted):
        # One name's ids in order (sorted by SQLite unless the index is of
        # the name alone); several names are merged.
        import heapq

        names = self.function_names(wanted)
        sql = f"SELECT id FROM calls {self._by_function} WHERE function = ? ORDER BY id"
        streams = [self._rows(sql, (name,)) for name in names]
        for (row_id,) in heapq.merge(*streams):
            yield row_id

    def _by_ids(self, ids, cols, cap, thread):
        sql = f"SELECT {cols} FROM calls WHERE id = ?"
        if thread is not None:
            sql += " AND thread = ?"
        for row_id in ids:
            args = (cap, row_id) if thread is None else (cap, row_id, thread)
            row = self._query(sql, args)
            if row:
                yield row[0]

    def metrics(self):
        """(id, kind, detail, thread, sent, data) of the metrics in the order stored."""
        if not self._metric_messages:
            return self._rows("SELECT id, kind, detail, thread, sent, data FROM metrics ORDER BY id")
        return self._rows(
            "SELECT m.id, m.kind, m.detail, m.thread, m.sent, COALESCE(m.data, mm.data) "
            "FROM metrics m LEFT JOIN metric_messages mm ON mm.id = m.message ORDER BY m.id")

    def counts(self):
        try:
            return counts(self.conn)
        except sqlite3.DatabaseError as exc:
            raise self.damaged(exc) from None

    def kind_counts(self):
        try:
            return kind_counts(self.conn)
        except sqlite3.DatabaseError as exc:
            raise self.damaged(exc) from None

    def detail_counts(self, kinds, detail_max=None):
        try:
            return detail_counts(self.conn, kinds, detail_max)
        except sqlite3.DatabaseError as exc:
            raise self.damaged(exc) from None

    def meta_json(self, key, default=None):
        raw = self.meta.get(key)
        if raw is None:
            return default
        if not isinstance(raw, str):
            return raw
        try:
            return json.loads(raw)
        except (ValueError, RecursionError):
            return raw

    def close(self):
        if self.conn is not None:
            self.conn.close()
            self.conn = None
            for suffix in _SIDE_FILES:
                if suffix not in self._present:
                    try:
                        os.unlink(self.path + suffix)
                    except OSError:
                        pass


def counts(conn):
    """(call records, their external calls, metric counts by kind)."""
    calls, external = conn.execute(
        "SELECT COUNT(*), COALESCE(SUM(external_calls), 0) FROM calls").fetchone()
    return calls, external, kind_counts(conn)


def _message_counts(conn):
    # Whether metric_messages keeps each message's kind, detail and count.
    cols = {r[1] for r in conn.execute("PRAGMA table_info(metric_messages)")}
    return {"kind", "detail", "count"} <= cols


def kind_counts(conn):
    """Metric kind -> number of metrics of it."""
    if not _message_counts(conn):
        return dict(conn.execute("SELECT kind, COUNT(*) FROM metrics GROUP BY kind"))
    kinds = {}
    for kind, n in _counted(conn, "kind", "", ()):
        kinds[kind] = kinds.get(kind, 0) + n
    return kinds


def detail_counts(conn, kinds, detail_max=None):
    """(kind, detail, number of metrics) for the metrics of ``kinds``; with
    ``detail_max`` the details are cut to that many characters."""
    detail = "detail" if detail_max is None else f"substr(detail, 1, {int(detail_max)})"
    marks = ", ".join("?" * len(kinds))
    where = f"kind IN ({marks})"
    if not _message_counts(conn):
        return list(conn.execute(f"SELECT kind, {detail}, COUNT(*) FROM metrics WHERE {where} "
                                 f"GROUP BY kind, {detail}", tuple(kinds)))
    merged = {}
    for kind, text, n in _counted(conn, f"kind, {detail}", f"AND {where}", tuple(kinds)):
        merged[(kind, text)] = merged.get((kind, text), 0) + n
    return [(kind, text, n) for (kind, text), n in merged.items()]


def _counted(conn, cols, where, args):
    # The shared messages' counts, then the rows that keep their own bytes.
    group = f"GROUP BY {cols}"
    yield from conn.execute(f"SELECT {cols}, SUM(count) FROM metric_messages "
                            f"WHERE count > 0 {where} {group}", args)
    yield from conn.execute(f"SELECT {cols}, COUNT(*) FROM metrics "
                            f"WHERE message IS NULL {where} {group}", args)


def matches(full_name, wanted):
    """``wanted`` names ``full_name`` exactly or as its trailing dotted part."""
    if full_name is None:
        return False
    return full_name == wanted or full_name.endswith("." + wanted)


def _uri_path(path):
    from urllib.parse import quote

    return quote(os.path.abspath(path))


def _quote(name):
    return "'" + str(name).replace("'", "''") + "'"


def _quote_id(name):
    return '"' + str(name).replace('"', '""') + '"'
