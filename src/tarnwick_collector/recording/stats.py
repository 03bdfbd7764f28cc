"""What a recording holds, in figures: per function, the calls recorded, the
calls dropped by reason, the external calls and the bytes of the records;
and the summary of the run.

Everything comes from SQL aggregates over the columns the writers fill (the
function name, the number of external calls, the record's length) and from
the metrics table; no record is decoded, so the time is that of reading the
rows' headers and the memory does not grow with the file.
"""

import heapq
import json
import math

from tarnwick_collector.recording.session import stopped_text
from tarnwick_collector.recording.show import label, when
from tarnwick_collector.recording.status import human_size

_FAILURES = ("LimitFailure", "Unpicklable", "CollectorFailure")
STAND_INS = "StandIns"
_DETAIL_MAX = 4000
_TOP_THREADS = 10
_STATS_INDEX = ("function", "thread", "external_calls", "size")


def _number(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def _count(value):
    value = _number(value)
    return int(value) if value is not None and value >= 0 else None


def _limit_reason(reason):
    if not isinstance(reason, str):
        return "limit"
    if reason.startswith("external function calls limit"):
        return "external calls limit"
    if reason.startswith("size of ") and " at " in reason:
        return "too big at " + reason.rsplit(" at ", 1)[1]
    return label(reason, 80)


def _detail(detail):
    try:
        fields = json.loads(detail) if isinstance(detail, str) else {}
    except (ValueError, RecursionError):
        fields = {}
    return fields if isinstance(fields, dict) else {}


def stand_in_counts(rows):
    """The values written as stand-ins, by reason and by function, from the
    (detail, number of rows) pairs of the StandIns metrics."""
    by_reason, by_function = {}, {}
    for detail, n in rows:
        fields = _detail(detail)
        count, n = _count(fields.get("count")), _count(n)
        if not count or not n:
            continue
        reason = fields.get("reason")
        reason = label(reason, 80) if isinstance(reason, str) else "?"
        by_reason[reason] = by_reason.get(reason, 0) + count * n
        name = fields.get("function_full_name")
        key = name if isinstance(name, str) else None
        by_function[key] = by_function.get(key, 0) + count * n
    return by_reason, by_function


def gather(rec):
    """The figures of an open store.Recording, as plain data."""
    ext = ("TOTAL(CASE WHEN typeof(external_calls) = 'integer' THEN external_calls END)"
           if "external_calls" in rec.columns else "NULL")
    if "size" in rec.columns and rec.has_index("calls_stats", _STATS_INDEX):
        # The covering index: the records' pages are not read at all.
        source = "calls INDEXED BY calls_stats"
        size = "TOTAL(CASE WHEN typeof(size) = 'integer' THEN size END)"
    else:
        source, size = "calls", "TOTAL(length(data))"
    functions = {}
    totals = {"calls": 0, "bytes": 0, "external_calls_in_records": 0}
    for name, calls, external, nbytes in rec._rows(
            f"SELECT function, COUNT(*), {ext}, {size} FROM {source} GROUP BY function"):
        key = name if isinstance(name, str) or name is None else label(name)
        entry = functions.setdefault(key, _entry())
        entry["calls"] += calls
        entry["bytes"] += int(nbytes)
        if external is not None:
            entry["external_calls"] += int(external)
            totals["external_calls_in_records"] += int(external)
        totals["calls"] += calls
        totals["bytes"] += int(nbytes)
    # Rows are stored as they arrive: the first and last rows give the span.
    first = last = None
    for order in ("", " DESC"):
        for (moment,) in rec._rows(f"SELECT sent FROM calls ORDER BY id{order} LIMIT 1"):
            if when(moment) is not None:
                first = moment if first is None else min(first, moment)
                last = moment if last is None else max(last, moment)

    threads, top = 0, []
    for name, calls in rec._rows(f"SELECT thread, COUNT(*) FROM {source} GROUP BY thread"):
        threads += 1
        item = (calls, label(name) if name is not None else "?")
        if len(top) < _TOP_THREADS:
            heapq.heappush(top, item)
        else:
            heapq.heappushpop(top, item)

    kinds = {}
    for k, n in rec.kind_counts().items():
        key = label(k) if k is not None else "?"
        kinds[key] = kinds.get(key, 0) + n
    dropped, unpicklable, unpicklable_reasons, failures = {}, {}, {}, {}
    stand_in_rows = []
    for kind, detail, n in rec.detail_counts(_FAILURES + (STAND_INS,), _DETAIL_MAX):
        if kind == STAND_INS:
            stand_in_rows.append((detail, n))
            continue
        fields = _detail(detail)
        if kind == "LimitFailure":
            reason = _limit_reason(fields.get("reason"))
            name = fields.get("function_full_name")
            key = name if isinstance(name, str) else None
            entry = functions.setdefault(key, _entry())
            entry["dropped"][reason] = entry["dropped"].get(reason, 0) + n
            dropped["limit"] = dropped.get("limit", 0) + n
        elif kind == "Unpicklable":
            what = fields.get("type_name")
            what = label(what, 120) if isinstance(what, str) and what else "?"
            unpicklable[what] = unpicklable.get(what, 0) + n
            reason = fields.get("reason")
            reason = label(reason, 80) if isinstance(reason, str) else "?"
            unpicklable_reasons[reason] = unpicklable_reasons.get(reason, 0) + n
            dropped["unpicklable"] = dropped.get("unpicklable", 0) + n
        else:
            reason = fields.get("reason")
            reason = label(reason, 80) if isinstance(reason, str) else "?"
            failures[reason] = failures.get(reason, 0) + n
            dropped["failure"] = dropped.get("failure", 0) + n

    stand_ins, stand_ins_by_function = stand_in_counts(stand_in_rows)
    if stand_ins:
        # Per function only in recordings that have any.
        for name in stand_ins_by_function:
            functions.setdefault(name, _entry())
        for name, entry in functions.items():
            entry["stand_ins"] = stand_ins_by_function.get(name, 0)

    summary = rec.meta_json("summary")
    if not isinstance(summary, dict):
        summary = None
    made = None
    if summary is not None:
        for reason, key in (("unresolved", "unresolved"), ("hook error", "hook error"),
                            ("layer error", "layer error")):
            n = _count((summary.get("dropped") or {}).get(key)) \
                if isinstance(summary.get("dropped"), dict) else None
            if n:
                dropped[reason] = n
        tracer = summary.get("tracer")
        if isinstance(tracer, dict):
            made = _count(tracer.get("external_records"))
    rows = sorted(functions.items(), key=lambda kv: (-kv[1]["calls"], str(kv[0])))
    return {
        "type": "stats",
        "file": rec.path,
        "script": rec.meta.get("script"),
        "python": rec.meta.get("python"),
        "complete": rec.complete,
        "calls": totals["calls"],
        "bytes": totals["bytes"],
        "first_sent": first,
        "last_sent": last,
        "external_calls": {"in_records": totals["external_calls_in_records"], "made": made},
        "dropped": dropped,
        "unpicklable_types": unpicklable,
        "unpicklable_reasons": unpicklable_reasons,
        "stand_ins": stand_ins,
        "failure_reasons": failures,
        "lost_calls": _count(summary.get("lost_calls")) if summary else None,
        "lost_metrics": _count(summary.get("lost_metrics")) if summary else None,
        "seconds": _number(summary.get("seconds")) if summary else None,
        "capped": _count(summary.get("capped")) if summary else None,
        "max_calls": _count(summary.get("max_calls")) if summary else None,
        "stopped": stopped_text(summary.get("stopped")) if summary else None,
        "metrics": kinds,
        "threads": {"count": threads, "top": [[n, c] for c, n in sorted(top, reverse=True)]},
        "functions": [dict(function=name, **entry) for name, entry in rows],
    }


def _entry():
    return {"calls": 0, "dropped": {}, "external_calls": 0, "bytes": 0}


def _reasons(counts):
    return ", ".join(f"{n} {r}" for r, n in sorted(counts.items(), key=lambda kv: -kv[1]))


def text(stats):
    """The figures as lines of text."""
    out = []
    head = f"recording of {label(stats['script'] or '?')}"
    if isinstance(stats["python"], str):
        head += f" (python {label(stats['python'], 20)})"
    start = when(stats["first_sent"])
    if start is not None:
        head += f", {start:%Y-%m-%d %H:%M:%S}"
    if stats["seconds"] is not None:
        head += f", {stats['seconds']:.2f}s"
    out.append(head)
    if not stats["complete"]:
        out.append("incomplete recording: no summary stored (the recorder was stopped before "
                   "its end, or is still running)")
    if stats.get("stopped"):
        out.append(stats["stopped"])
    funcs = stats["functions"]
    threads = stats["threads"]
    out.append(f"calls recorded: {stats['calls']} ({human_size(stats['bytes'])} of records), "
               f"{sum(1 for f in funcs if f['calls'])} functions, {threads['count']} "
               f"thread{'s' if threads['count'] != 1 else ''}")
    ext = stats["external_calls"]
    line = "external calls: "
    if ext["made"] is not None:
        line += f"{ext['made']} recorded, "
    out.append(line + f"{ext['in_records']} in records (a caller's record also holds "
               "those of the calls it made)")
    if stats.get("capped"):
        out.append(f"over the cap: {stats['capped']} calls counted, not recorded "
                   f"(at most {stats['max_calls']} recorded per function)")
    dropped = stats["dropped"]
    line = f"dropped: {sum(dropped.values())}"
    if dropped:
        line += f" ({_reasons(dropped)})"
    out.append(line)
    if stats["unpicklable_types"]:
        out.append(f"    unpicklable, by type: {_reasons(stats['unpicklable_types'])}")
    if stats["unpicklable_reasons"]:
        out.append(f"    unpicklable, by reason: {_reasons(stats['unpicklable_reasons'])}")
    if stats["failure_reasons"]:
        out.append(f"    failures, by reason: {_reasons(stats['failure_reasons'])}")
    stand_ins = stats["stand_ins"]
    if stand_ins:
        out.append(f"stand-ins: {sum(stand_ins.values())} values written in place of refused "
                   f"ones ({_reasons(stand_ins)})")
    lost = [f"{stats[k]} {w}" for k, w in (("lost_calls", "records"), ("lost_metrics", "metrics"))
            if stats[k]]
    if lost:
        out.append("lost: " + ", ".join(lost))
    if threads["count"] > 1:
        more = threads["count"] - len(threads["top"])
        out.append("threads: " + ", ".join(f"{n} {c}" for n, c in threads["top"])
                   + (f", … {more} more" if more > 0 else ""))
    if funcs:
        names = [label(f["function"]) if f["function"] is not None else "(no name)"
                 for f in funcs]
        width = min(max(len("function"), *(len(n) for n in names)), 60)
        # The stand-ins column only where there are any.
        column = any(f.get("stand_ins") for f in funcs)
        out.append("")
        out.append(f"{'function':<{width}}  {'calls':>8}  {'external':>8}  {'bytes':>9}  "
                   + (f"{'stand-ins':>9}  " if column else "") + "dropped")
        for name, f in zip(names, funcs):
            out.append(f"{name:<{width}}  {f['calls']:>8}  {f['external_calls']:>8}  "
                       f"{human_size(f['bytes']):>9}  "
                       + (f"{f['stand_ins']:>9}  " if column else "")
                       + f"{_reasons(f['dropped']) or '-'}")
    return "\n".join(out)
