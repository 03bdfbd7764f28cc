"""The SQLite file of one recording.

Tables: ``meta`` (key/value text about the run), ``calls`` (one row per
call record: the function's full name, the thread, the time it was sent and
the record's bytes) and ``metrics`` (kind, detail, time, bytes). Two writer
processes share the file, so it is in WAL mode with a generous busy timeout.
"""

import json
import os
import sqlite3

FORMAT = "tarnwick-recording"
VERSION = "1"
BUSY_MS = 30000

SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE IF NOT EXISTS calls (
    id INTEGER PRIMARY KEY,
    function TEXT,
    thread TEXT,
    sent REAL,
    external_calls INTEGER,
    data BLOB NOT NULL
);
CREATE TABLE IF NOT EXISTS metrics (
    id INTEGER PRIMARY KEY,
    kind TEXT,
    detail TEXT,
    thread TEXT,
    sent REAL,
    data BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS calls_function ON calls (function);
"""


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
        conn.execute("PRAGMA journal_mode = WAL")
        conn.executescript(SCHEMA)
        values = {"format": FORMAT, "version": VERSION}
        values.update(meta or {})
        set_meta(conn, values)
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


class Recording:
    """Read access to a recording; every problem is a RecordingError."""

    def __init__(self, path):
        self.path = path
        if not os.path.exists(path):
            raise RecordingError(f"{path}: no such file")
        if os.path.isdir(path):
            raise RecordingError(f"{path}: is a directory, not a recording")
        try:
            with open(path, "rb") as f:
                head = f.read(len(_SQLITE_MAGIC))
        except OSError as exc:
            raise RecordingError(f"{path}: cannot read: {exc.strerror}") from None
        if head != _SQLITE_MAGIC:
            raise RecordingError(f"{path}: not a recording (not an SQLite database)")
        try:
            self.conn = sqlite3.connect(f"file:{_uri_path(path)}?mode=ro", uri=True)
            self.conn.execute(f"PRAGMA busy_timeout = {BUSY_MS}")
            tables = {r[0] for r in self.conn.execute(
                "SELECT name FROM sqlite_master WHERE type = 'table'")}
        except sqlite3.DatabaseError as exc:
            raise RecordingError(f"{path}: damaged recording ({exc})") from None
        if not {"meta", "calls", "metrics"} <= tables:
            raise RecordingError(f"{path}: not a recording (no recording tables)")
        try:
            self.meta = dict(self.conn.execute("SELECT key, value FROM meta"))
        except sqlite3.DatabaseError as exc:
            raise RecordingError(f"{path}: damaged recording ({exc})") from None
        if self.meta.get("format") != FORMAT:
            raise RecordingError(f"{path}: not a recording (unknown format)")
        self.check()

    def check(self):
        try:
            result = [r[0] for r in self.conn.execute("PRAGMA quick_check")]
        except sqlite3.DatabaseError as exc:
            raise RecordingError(f"{self.path}: damaged recording ({exc})") from None
        if result != ["ok"]:
            raise RecordingError(f"{self.path}: damaged recording ({result[0]})")

    def _query(self, sql, args=()):
        try:
            return self.conn.execute(sql, args).fetchall()
        except sqlite3.DatabaseError as exc:
            raise RecordingError(f"{self.path}: damaged recording ({exc})") from None

    def calls(self, function=None):
        rows = self._query("SELECT id, function, thread, sent, data FROM calls ORDER BY id")
        for row in rows:
            if function is None or matches(row[1], function):
                yield row

    def metrics(self):
        return self._query("SELECT id, kind, detail, thread, sent, data FROM metrics ORDER BY id")

    def counts(self):
        try:
            return counts(self.conn)
        except sqlite3.DatabaseError as exc:
            raise RecordingError(f"{self.path}: damaged recording ({exc})") from None

    def meta_json(self, key, default=None):
        raw = self.meta.get(key)
        if raw is None:
            return default
        try:
            return json.loads(raw)
        except ValueError:
            return raw

    def close(self):
        self.conn.close()


def counts(conn):
    """(call records, their external calls, metric counts by kind)."""
    calls, external = conn.execute(
        "SELECT COUNT(*), COALESCE(SUM(external_calls), 0) FROM calls").fetchone()
    kinds = dict(conn.execute("SELECT kind, COUNT(*) FROM metrics GROUP BY kind"))
    return calls, external, kinds


def matches(full_name, wanted):
    """``wanted`` names ``full_name`` exactly or as its trailing dotted part."""
    if full_name is None:
        return False
    return full_name == wanted or full_name.endswith("." + wanted)


def _uri_path(path):
    from urllib.parse import quote

    return quote(os.path.abspath(path))
