"""Turning stored call records into something to read: text blocks or JSON.

Records are loaded with the restricted loader; the byte fields inside a
record (arguments, globals, return value, exception) are pickles of their
own and are loaded the same way. Stand-ins that the pickler writes (function
by name, module by name, object reduced to its used attributes, unpicklable
object) are shown by what they stand for; a stand-in for a value the pickler
refused to write by its own code says so, with its class and the attributes
it carries.

Whatever a file holds, what is written for one value is bounded: strings,
bytes and integers are shortened with a marker of what was cut, containers
show their first items and say how many more there were, nesting stops at a
depth, and each value has a budget of values to show. An object met again
within one value is written once and then referred to (text: ``&1`` before
its first appearance, ``*1`` after; JSON: ``{"$": "ref", "to": POINTER}``).
"""

import base64
import datetime
import math
import sys
import textwrap

from tarnwick_collector.recording import safe_load
from tarnwick_collector.recording.store import Oversized

_WRAPPERS = "tarnwick_common.utils.object_wrapper."
_PICKLER = "tarnwick_collector.data_serialization.pickler."
_LOADCLASS = safe_load.BY_NAME_LOADERS
_RECORDS = "tarnwick_collector.data_collection.invocations."
_STAND_IN = _WRAPPERS + "StandIn"
# Deeper nesting would need a deeper Python stack than the renderer allows.
MAX_DEPTH = 200
# Strings and bytes shorter than this are written out at every use.
_SHARE_MIN = 32


class Limits:
    """Bounds of the rendering: characters of a string (bytes of a bytes
    value, digits of an integer), items of a container (and external calls
    of a record), nesting depth, values per rendered field, and the size of
    a record that is decoded at all."""

    __slots__ = ("string", "items", "depth", "values", "record")

    def __init__(self, string=120, items=100, depth=6, values=400, record=256 << 20):
        self.string = max(1, int(string))
        self.items = max(1, int(items))
        self.depth = max(1, min(int(depth), MAX_DEPTH))
        self.values = max(1, int(values))
        self.record = max(0, int(record))

    def replace(self, **changes):
        values = {k: getattr(self, k) for k in self.__slots__}
        values.update({k: v for k, v in changes.items() if v is not None})
        return Limits(**values)


TEXT = Limits()
JSON = Limits(string=2000, items=1000, depth=12, values=5000)
# The "text" of an object nested inside a JSON value.
_NESTED_TEXT = Limits(string=40, items=8, depth=2, values=24)


class Undecodable:
    """Bytes in a record that did not load."""

    def __init__(self, data, reason):
        self.data = data
        self.reason = reason


class _NoValue:
    def __repr__(self):
        return "<none>"


NOTHING = _NoValue()


def _reason(exc):
    return _cut(str(exc), 300)


def nested(value, memo=None):
    # These fields are always pickles of their own, whatever protocol.
    # Equal bytes (the arguments after a call that did not change them, a
    # pickle referenced many times) are loaded once.
    if not isinstance(value, bytes):
        return value
    if memo is not None:
        out = memo.get(value)
        if out is not None:
            return out
    try:
        out = safe_load.loads(value)
    except safe_load.NotAPickle as exc:
        out = Undecodable(value, _reason(exc))
    if memo is not None:
        memo[value] = out
    return out


def is_no_exception(value):
    if value is None:
        return True
    name = safe_load.name_of(value)
    if name == "builtins.NoneType":
        return True
    if name == "builtins.type" and safe_load.is_obj(value) and value.ref_args == (None,):
        return True
    return False


def _fields(obj):
    return obj.fields() if safe_load.is_obj(obj) else {}


class ExternalView:
    """One external call of a record; ``same_as`` is the 1-based position of
    an earlier external call that is this very record again."""

    def __init__(self, obj, memo=None, same_as=None, first=None):
        self.same_as = same_as
        if first is not None:
            self.function, self.returned, self.exception = (
                first.function, first.returned, first.exception)
            return
        fields = _fields(obj)
        meta_fields = _fields(fields.get("function_metadata"))
        name = meta_fields.get("full_name") or safe_load.name_of(obj)
        self.function = name if isinstance(name, str) else "?"
        self.returned = nested(fields.get("return_value"), memo)
        exc = nested(fields.get("execption"), memo)
        self.exception = None if is_no_exception(exc) else exc
        if "return_value" not in fields:
            self.returned = NOTHING


def when(sent):
    """The local time of a row's ``sent`` column, or None when it is no time."""
    if sent is None or type(sent) not in (int, float):
        return None
    try:
        return datetime.datetime.fromtimestamp(sent)
    except (OverflowError, OSError, ValueError):
        return None


def _odd_columns(function, thread, sent):
    odd = []
    for label, value in (("function", function), ("thread", thread)):
        if value is not None and not isinstance(value, str):
            odd.append(f"{label} is {column_text(value)}")
    if sent is not None and when(sent) is None:
        odd.append(f"sent={column_text(sent)} is not a time")
    return ", ".join(odd)


def column_text(value):
    """A short description of a column value of any type."""
    if isinstance(value, (bytes, bytearray)):
        return f"a BLOB of {len(value)} bytes"
    if isinstance(value, str):
        return _str_text(value, 60)
    if isinstance(value, int) and not isinstance(value, bool):
        return int_text(value, 30)
    if isinstance(value, float):
        return _float_text(value)
    return f"<{type(value).__name__}>"


class CallView:
    """One call record, decoded."""

    def __init__(self, row_id, function, thread, sent, data, limits=None):
        limits = limits or TEXT
        self.id = row_id
        self.function = function
        self.thread = thread
        self.sent = sent
        self.error = None
        self.args_before = self.args_after = ()
        self.kwargs_before = self.kwargs_after = {}
        self.returned = NOTHING
        self.exception = None
        self.external = []
        self.external_more = 0
        self.globals = {}
        odd = _odd_columns(function, thread, sent)
        if odd:
            self.error = f"odd columns: {odd}"
            return
        if isinstance(data, Oversized):
            self.error = (f"record of {data.size} bytes not read: above the bound of "
                          f"{limits.record} bytes (--max-record)")
            return
        try:
            record = safe_load.loads(data)
        except safe_load.NotAPickle as exc:
            self.error = f"record does not load: {_reason(exc)}"
            return
        if not safe_load.is_obj(record) or not str(safe_load.name_of(record)).startswith(_RECORDS):
            self.error = f"not a call record: {fmt(record)}"
            return
        memo = {}
        fields = record.fields()
        meta = _fields(fields.get("function_metadata"))
        if self.function is None and isinstance(meta.get("full_name"), str):
            self.function = meta["full_name"]
        self.args_before = nested(fields.get("pre_run_args"), memo)
        self.kwargs_before = nested(fields.get("pre_run_kwargs"), memo)
        self.args_after = nested(fields.get("post_run_args"), memo)
        self.kwargs_after = nested(fields.get("post_run_kwargs"), memo)
        if "return_value" in fields:
            self.returned = nested(fields.get("return_value"), memo)
        exc = nested(fields.get("execption"), memo)
        self.exception = None if is_no_exception(exc) else exc
        globs = nested(fields.get("globals"), memo)
        self.globals = globs if isinstance(globs, dict) else ({} if globs is None else {"?": globs})
        calls = fields.get("external_calls")
        if isinstance(calls, list):
            first = {}
            for i, call in enumerate(calls):
                if i >= limits.items:
                    self.external_more = len(calls) - i
                    break
                seen = first.get(id(call))
                if seen is None:
                    first[id(call)] = (i + 1, call)
                    self.external.append(ExternalView(call, memo))
                else:
                    pos = seen[0]
                    self.external.append(ExternalView(call, same_as=pos,
                                                      first=self.external[pos - 1]))


# ------------------------------------------------------- bounded pieces

_LOG10_2 = math.log10(2)
_EXACT_BITS = 1 << 20
_TAIL = 8


def _str_limit():
    get = getattr(sys, "get_int_max_str_digits", None)
    limit = get() if get else 0
    return limit or (1 << 62)


_INT_STR_LIMIT = _str_limit()


def int_parts(n, max_digits):
    """(text, digits, approximate): ``n`` in decimal when it has at most
    ``max_digits`` digits, else its first and last digits around a "…".
    Never converts a long integer to text whole: the interpreter refuses
    that above a few thousand digits, and it is slow long before."""
    bits = n.bit_length()
    limit = min(max_digits, _INT_STR_LIMIT)
    if bits * _LOG10_2 + 1 <= limit:
        return str(n), None, False
    sign = "-" if n < 0 else ""
    n = -n if n < 0 else n
    digits = int((bits - 1) * _LOG10_2) + 1
    approximate = bits > _EXACT_BITS
    if not approximate:
        while n >= 10 ** digits:
            digits += 1
        while digits > 1 and n < 10 ** (digits - 1):
            digits -= 1
        if digits <= limit:
            return sign + str(n), None, False
    keep = max(1, min(_TAIL, limit // 2))
    tail = str(n % 10 ** keep).zfill(keep)
    head = "" if approximate else str(n // 10 ** (digits - keep))
    return f"{sign}{head}…{tail}", digits, approximate


def int_text(n, max_digits):
    text, digits, approximate = int_parts(n, max_digits)
    if digits is None:
        return text
    return f"{text} ({'~' if approximate else ''}{digits} digits)"


def _float_text(value):
    return repr(value) if math.isfinite(value) else f"float('{value}')"


def _cut(text, limit):
    return text if len(text) <= limit else text[:limit] + f"…(+{len(text) - limit} chars)"


def _str_text(value, limit):
    if len(value) <= limit:
        return repr(value)
    return repr(value[:limit]) + f"…(+{len(value) - limit} chars)"


def _bytes_text(value, limit):
    if len(value) <= limit:
        return repr(bytes(value))
    return repr(bytes(value[:limit])) + f"…(+{len(value) - limit} bytes)"


def label(name, limit=300):
    """A name from the file as one printable line."""
    if not isinstance(name, str):
        return column_text(name) if name is not None else "?"
    if not name.isprintable():
        name = repr(name)[1:-1]
    return _cut(name, limit)


def _key_text(key, w, depth):
    # Keyword and global names are written bare when they look like names.
    if isinstance(key, str) and key.isidentifier() and len(key) <= w.lim.string:
        return key
    return _t(key, w, depth)


def short_name(name):
    if name.startswith("builtins."):
        return name[len("builtins."):]
    return name


# --------------------------------------------------------------- text

class _Walk:
    """One rendering: its budget and the objects met so far. A first pass
    finds the objects met twice; a second pass, only when there are any,
    writes their anchors."""

    __slots__ = ("lim", "left", "seen", "keep", "again", "shared", "numbers")

    def __init__(self, limits, shared=None):
        self.lim = limits
        self.left = limits.values
        self.seen = set()
        self.keep = []  # ids stay unique while the walk runs
        self.again = set()
        self.shared = shared
        self.numbers = {}


def _rendered(draw, limits):
    walk = _Walk(limits)
    text = draw(walk)
    if walk.again:
        text = draw(_Walk(limits, shared=walk.again))
    return text


def fmt(value, limits=None, depth=None):
    """A one-line, bounded rendering of a decoded value."""
    limits = limits or TEXT
    return _rendered(lambda w: _t(value, w, depth if depth is not None else limits.depth), limits)


def _is_shareable(value, t):
    if t in (list, tuple, dict, set, frozenset):
        return True
    if t in (str, bytes, bytearray):
        return len(value) >= _SHARE_MIN
    if t is int:
        return value.bit_length() > 256
    return isinstance(t, safe_load.Ref)


def _t(v, w, depth):
    w.left -= 1
    if w.left < 0:
        return "…"
    t = type(v)
    if v is None or t is bool:
        return repr(v)
    if t is float:
        return _float_text(v)
    if t is safe_load.Ref:
        return short_name(label(v.ref_name, w.lim.string))
    if v is NOTHING:
        return "-"
    if t is Undecodable:
        return f"<{len(v.data)} bytes that do not load>"
    if not _is_shareable(v, t):
        if t is int:
            return int_text(v, w.lim.string)
        if t is str:
            return _str_text(v, w.lim.string)
        if t in (bytes, bytearray):
            return _bytes_text(v, w.lim.string)
        return f"<{t.__name__}>"
    key = id(v)
    if key in w.seen:
        w.again.add(key)
        return f"*{w.numbers.get(key, '')}"
    w.seen.add(key)
    w.keep.append(v)
    anchor = ""
    if w.shared is not None and key in w.shared:
        w.numbers[key] = len(w.numbers) + 1
        anchor = f"&{w.numbers[key]} "
    return anchor + _body(v, t, w, depth)


def _capped(w, items, total, draw, sep=", "):
    out = []
    for i, item in enumerate(items):
        if i >= w.lim.items or w.left <= 0:
            out.append(f"… {total - i} more")
            break
        out.append(draw(item))
    return sep.join(out)


def _body(v, t, w, depth):
    if t is int:
        return int_text(v, w.lim.string)
    if t is str:
        return _str_text(v, w.lim.string)
    if t in (bytes, bytearray):
        return _bytes_text(v, w.lim.string)
    if depth <= 0:
        if safe_load.is_obj(v) and type(v).ref_name == _STAND_IN:
            return f"<stand-in {label(_StandIn(v).name, w.lim.string)} …>"
        if safe_load.is_obj(v):
            return f"{short_name(type(v).ref_name)}(…)"
        return {list: "[…]", tuple: "(…)", dict: "{…}", set: "{…}", frozenset: "frozenset(…)"}[t] \
            + (f" ({len(v)} items)" if len(v) else "")
    sub = lambda x: _t(x, w, depth - 1)  # noqa: E731
    if t is tuple:
        inner = _capped(w, v, len(v), sub)
        return f"({inner},)" if len(v) == 1 else f"({inner})"
    if t is list:
        return "[" + _capped(w, v, len(v), sub) + "]"
    if t in (set, frozenset):
        if not v:
            return "set()" if t is set else "frozenset()"
        inner = "{" + _capped(w, v, len(v), sub) + "}"
        return inner if t is set else f"frozenset({inner})"
    if t is dict:
        return "{" + _capped(w, v.items(), len(v), lambda kv: f"{sub(kv[0])}: {sub(kv[1])}") + "}"
    return _fmt_obj(v, w, sub)


def _by_name(value):
    """The full name a by-name loader call stands for, else None."""
    if safe_load.is_obj(value) and type(value).ref_name in _LOADCLASS:
        args = value.ref_args
        if len(args) == 1 and isinstance(args[0], str):
            return args[0]
    return None


def _plain_fields(fields):
    # Method names an unpicklable or wrapped object carries are not its data.
    return {k: v for k, v in fields.items() if _by_name(v) is None}


_TIME_TYPES = {"datetime.datetime": 10, "datetime.date": 4, "datetime.time": 6}


def _fmt_time(name, data):
    b = data
    if name == "datetime.date":
        return f"date({b[0] * 256 + b[1]:04d}-{b[2]:02d}-{b[3]:02d})"
    if name == "datetime.datetime":
        us = (b[7] << 16) | (b[8] << 8) | b[9]
        return (f"datetime({b[0] * 256 + b[1]:04d}-{b[2] & 0x7F:02d}-{b[3]:02d} "
                f"{b[4]:02d}:{b[5]:02d}:{b[6]:02d}" + (f".{us:06d}" if us else "") + ")")
    us = (b[3] << 16) | (b[4] << 8) | b[5]
    return f"time({b[0] & 0x7F:02d}:{b[1]:02d}:{b[2]:02d}" + (f".{us:06d}" if us else "") + ")"


def _name_text(value, w):
    return label(value, w.lim.string) if isinstance(value, str) else _t(value, w, 0)


class _StandIn:
    """What a StandIn's arguments say: (type text, funcs, full name, reason,
    builtin value, attributes left out, why none were written)."""

    __slots__ = ("name", "reason", "value", "left_out", "cut")

    def __init__(self, obj):
        args = obj.ref_args
        arg = lambda i: args[i] if len(args) > i else None  # noqa: E731
        name, text = arg(2), arg(0)
        self.name = name if isinstance(name, str) else text if isinstance(text, str) else "?"
        self.reason = arg(3) if isinstance(arg(3), str) else None
        self.value = arg(4)
        left_out = arg(5)
        self.left_out = left_out if type(left_out) is int and left_out > 0 else 0
        self.cut = arg(6) if isinstance(arg(6), str) else None


def _fmt_stand_in(obj, w, sub):
    parts = _StandIn(obj)
    out = [f"<stand-in {label(parts.name, w.lim.string)}"]
    if parts.value is not None:
        out.append(sub(parts.value))
    if obj.ref_items:
        out.append("[" + _capped(w, obj.ref_items, len(obj.ref_items), sub) + "]")
    if obj.ref_dict_items:
        pairs = obj.ref_dict_items
        out.append("{" + _capped(w, pairs, len(pairs),
                                 lambda kv: f"{sub(kv[0])}: {sub(kv[1])}") + "}")
    attrs = obj.fields()
    if attrs:
        out.append(_capped(w, attrs.items(), len(attrs),
                           lambda kv: f"{_key_text(kv[0], w, 0)}={sub(kv[1])}", " "))
    if parts.cut:
        n = parts.left_out
        what = f", {n} attribute{'s' if n != 1 else ''}" if n else ""
        out.append(f"(not opened: {label(parts.cut, 20)}{what})")
    elif parts.left_out:
        out.append(f"… {parts.left_out} more")
    return " ".join(out) + ">"


def _fmt_obj(obj, w, sub):
    name = type(obj).ref_name
    if name == _STAND_IN:
        return _fmt_stand_in(obj, w, sub)
    args, kwargs, fields = obj.ref_args, obj.ref_kwargs, obj.fields()
    def cap(pairs, n, sep=", "):
        return _capped(w, pairs, n, lambda kv: f"{_key_text(kv[0], w, 0)}={sub(kv[1])}", sep)

    target = _by_name(obj)
    if target is not None:
        return f"<function {label(target, w.lim.string)}>"
    size = _TIME_TYPES.get(name)
    if size and args and isinstance(args[0], bytes) and len(args[0]) == size:
        text = _fmt_time(name, args[0])
        return text if len(args) == 1 else text[:-1] + f", tz={sub(args[1])})"
    if name.startswith(_PICKLER):
        kind = name[len(_PICKLER):]
        if kind == "wrap_module" and args:
            return f"<module {_name_text(args[0], w)}>"
        if kind == "wrap_function" and args:
            return f"<function {_name_text(args[0], w)}>"
        if kind == "wrap_exception" and args:
            exc_args = args[1] if len(args) > 1 else ()
            inner = (_capped(w, exc_args, len(exc_args), sub) if isinstance(exc_args, tuple)
                     else sub(exc_args))
            return f"{short_name(_name_text(args[0], w))}({inner})"
        if kind == "wrap_object" and args:
            cls = args[0]
            title = short_name(cls.ref_name) if safe_load.is_ref(cls) else sub(cls)
            attrs = _plain_fields(fields)
            return f"{title}(" + cap(attrs.items(), len(attrs)) + ")"
    if name.startswith(_WRAPPERS):
        kind = name[len(_WRAPPERS):]
        full = fields.get("full_name", args[0] if args else None)
        if kind == "ModuleWrapper":
            return f"<module {_name_text(full, w)}>"
        if kind in ("FunctionWrapper", "SpecialWrapper"):
            return f"<function {_name_text(full, w)}>"
        if kind == "ExceptionWrapper":
            exc_args = fields.get("args", args[1] if len(args) > 1 else ())
            inner = (_capped(w, exc_args, len(exc_args), sub) if isinstance(exc_args, tuple)
                     else sub(exc_args))
            return f"{short_name(_name_text(full, w))}({inner})"
        if kind == "ObjectWrapper":
            cls = fields.get("wrapped_class", args[0] if args else None)
            attrs = {k: v for k, v in fields.items() if k not in ("wrapped_class", "funcs")}
            title = short_name(cls.ref_name) if safe_load.is_ref(cls) else sub(cls)
            return f"{title}(" + cap(attrs.items(), len(attrs)) + ")"
        if kind == "UnpicklableObject":
            text = fields.get("type_text", args[0] if args else "?")
            attrs = {k: v for k, v in _plain_fields(fields).items()
                     if k not in ("type_text", "funcs", "__name__")}
            extra = cap(attrs.items(), len(attrs), " ")
            return f"<unpicklable {_name_text(text, w)}{' ' + extra if extra else ''}>"
    if name == "builtins.type" and args == (None,):
        return "NoneType"
    if name == "builtins.getattr" and len(args) == 2 and isinstance(args[1], str):
        return f"{sub(args[0])}.{label(args[1], w.lim.string)}"
    parts = []
    if args:
        parts.append(_capped(w, args, len(args), sub))
    if kwargs:
        parts.append(cap(kwargs.items(), len(kwargs)))
    state = obj.ref_state
    if isinstance(state, dict) or (isinstance(state, tuple) and fields):
        if fields:
            parts.append(cap(fields.items(), len(fields)))
    elif state is not None:
        parts.append(f"state={sub(state)}")
    if obj.ref_items:
        items = obj.ref_items
        parts.append("items=[" + _capped(w, items, len(items), sub) + "]")
    if obj.ref_dict_items:
        pairs = obj.ref_dict_items
        parts.append("{" + _capped(w, pairs, len(pairs),
                                   lambda kv: f"{sub(kv[0])}: {sub(kv[1])}") + "}")
    return f"{short_name(label(name, w.lim.string))}(" + ", ".join(parts) + ")"


def fmt_args(args, kwargs, limits=None):
    limits = limits or TEXT

    def draw(w):
        parts = []
        if isinstance(args, tuple):
            parts.append(_capped(w, args, len(args), lambda a: _t(a, w, w.lim.depth)))
        elif args is not None:
            parts.append("*" + _t(args, w, w.lim.depth))
        if isinstance(kwargs, dict):
            parts.append(_capped(w, kwargs.items(), len(kwargs),
                                 lambda kv: f"{_key_text(kv[0], w, 1)}={_t(kv[1], w, w.lim.depth)}"))
        elif kwargs is not None:
            parts.append("**" + _t(kwargs, w, w.lim.depth))
        return "(" + ", ".join(p for p in parts if p) + ")"

    return _rendered(draw, limits)


def fmt_globals(globs, limits=None):
    limits = limits or TEXT
    return _rendered(lambda w: _capped(
        w, globs.items(), len(globs),
        lambda kv: f"{_key_text(kv[0], w, 1)}={_t(kv[1], w, 2)}"), limits)


def _outcome(view, limits=None):
    if view.exception is not None:
        return "raised " + fmt(view.exception, limits)
    return fmt(view.returned, limits)


_LABEL_W = 13


def call_text(v, width=100, limits=None):
    """One call as a block of labelled lines, ending with an empty line."""
    limits = limits or TEXT
    moment = when(v.sent)
    stamp = moment.strftime("%H:%M:%S.%f")[:-3] if moment else ""
    head = f"#{v.id}  {label(v.function)}"
    thread = label(v.thread) if v.thread is not None else ""
    meta = "  ".join(p for p in (thread, stamp) if p)
    out = [head + (" " * max(2, width - len(head) - len(meta)) + meta if meta else "")]
    if v.error:
        out.append(_row("error", v.error, width))
        out.append("")
        return "\n".join(out)
    before = fmt_args(v.args_before, v.kwargs_before, limits)
    after = before if _unchanged(v) else fmt_args(v.args_after, v.kwargs_after, limits)
    out.append(_row("args", before, width))
    if after != before:
        out.append(_row("args after", after, width))
    out.append(_row("raised" if v.exception is not None else "returned",
                    fmt(v.exception if v.exception is not None else v.returned, limits), width))
    for i, ext in enumerate(v.external, 1):
        if ext.same_as is not None:
            text = f"{label(ext.function)}: the record of external call {ext.same_as} again"
        else:
            text = f"{label(ext.function)} -> {_outcome(ext, limits)}"
        out.append(_row("external", text, width))
    if v.external_more:
        out.append(_row("external", f"… {v.external_more} more (--max-items)", width))
    if v.globals:
        out.append(_row("globals", fmt_globals(v.globals, limits), width))
    out.append("")
    return "\n".join(out)


def _unchanged(v):
    return v.args_after is v.args_before and v.kwargs_after is v.kwargs_before


def table(views, width=100, limits=None):
    """The calls as text: one block of labelled lines per call."""
    return "\n".join(call_text(v, width, limits) for v in views)


def _row(name, text, width):
    body = max(20, width - _LABEL_W - 4)
    if len(text) <= body and "\n" not in text:
        return f"    {name:<{_LABEL_W}}{text}"
    lines = textwrap.wrap(text, body, break_long_words=True, break_on_hyphens=False) or [""]
    first = f"    {name:<{_LABEL_W}}{lines[0]}"
    rest = [" " * (4 + _LABEL_W) + ln for ln in lines[1:]]
    return "\n".join([first] + rest)


# --------------------------------------------------------------- JSON

class _JWalk:
    __slots__ = ("lim", "left", "seen", "keep")

    def __init__(self, limits):
        self.lim = limits
        self.left = limits.values
        self.seen = {}  # id -> path of the first appearance
        self.keep = []


def _pointer(path):
    tokens = []
    while path is not None:
        path, token = path
        tokens.append(str(token).replace("~", "~0").replace("/", "~1"))
    return "".join("/" + t for t in reversed(tokens))


def to_json(value, limits=None):
    """A JSON-ready form: placeholders become objects with a "$" key."""
    limits = limits or JSON
    return _j(value, _JWalk(limits), limits.depth, None)


def _plain_keys(d):
    return all(type(k) is str and not k.startswith("$") for k in d)


def _jlist(w, items, total, depth, path, base=None):
    # ``base``: the path of the list itself when it sits under a key.
    here = path if base is None else (path, base)
    out = []
    for i, item in enumerate(items):
        if i >= w.lim.items or w.left <= 0:
            out.append({"$": "more", "count": total - i})
            break
        out.append(_j(item, w, depth - 1, (here, i)))
    return out


def _j(v, w, depth, path):
    w.left -= 1
    if w.left < 0:
        return {"$": "truncated", "reason": "size"}
    t = type(v)
    if v is None or t is bool:
        return v
    if t is float:
        return v if math.isfinite(v) else {"$": "float", "value": repr(v)}
    if t is safe_load.Ref:
        return {"$": "global", "name": v.ref_name}
    if v is NOTHING:
        return {"$": "none"}
    if t is Undecodable:
        return {"$": "undecodable", "reason": v.reason, "size": len(v.data)}
    shareable = _is_shareable(v, t)
    if shareable:
        key = id(v)
        first = w.seen.get(key, False)
        if first is not False:
            return {"$": "ref", "to": _pointer(first)}
        w.seen[key] = path
        w.keep.append(v)
    lim = w.lim.string
    if t is int:
        text, digits, approx = int_parts(v, lim)
        if digits is None:
            return v
        out = {"$": "int", "digits": digits, "text": text}
        if approx:
            out["approximate"] = True
        return out
    if t is str:
        return v if len(v) <= lim else {"$": "str", "head": v[:lim], "length": len(v)}
    if t in (bytes, bytearray):
        out = {"$": "bytes", "base64": base64.b64encode(bytes(v[:lim])).decode("ascii")}
        if len(v) > lim:
            out["length"] = len(v)
        return out
    if not shareable:
        return {"$": "unknown", "type": t.__name__}
    if depth <= 0:
        kind = type(v).ref_name if safe_load.is_obj(v) else t.__name__
        return {"$": "truncated", "reason": "depth", "type": kind}
    if t is list:
        return _jlist(w, v, len(v), depth, path)
    if t in (tuple, set, frozenset):
        return {"$": t.__name__, "items": _jlist(w, v, len(v), depth, path, "items")}
    if t is dict:
        if _plain_keys(v):
            out = {}
            for i, (k, x) in enumerate(v.items()):
                if i >= w.lim.items or w.left <= 0:
                    out["$more"] = len(v) - i
                    break
                out[k] = _j(x, w, depth - 1, (path, k))
            return out
        return {"$": "dict", "items": _jpairs(w, v.items(), len(v), depth, (path, "items"))}
    return _jobj(v, w, depth, path)


def _jpairs(w, pairs, total, depth, here):
    out = []
    for i, (k, x) in enumerate(pairs):
        if i >= w.lim.items or w.left <= 0:
            out.append({"$": "more", "count": total - i})
            break
        out.append([_j(k, w, depth - 1, ((here, i), 0)), _j(x, w, depth - 1, ((here, i), 1))])
    return out


def _jstand_in(v, w, depth, path, text):
    parts = _StandIn(v)
    out = {"$": "stand-in", "class": _jname(parts.name), "reason": _jname(parts.reason, 80), "text": text}
    if parts.value is not None:
        out["value"] = _j(parts.value, w, depth - 1, (path, "value"))
    if v.ref_items:
        out["items"] = _jlist(w, v.ref_items, len(v.ref_items), depth, path, "items")
    if v.ref_dict_items:
        pairs = v.ref_dict_items
        out["dict_items"] = _jpairs(w, pairs, len(pairs), depth, (path, "dict_items"))
    out["attributes"] = _j(v.fields(), w, depth, (path, "attributes"))
    if parts.left_out:
        out["left_out"] = parts.left_out
    if parts.cut:
        out["cut"] = _jname(parts.cut, 20)
    return out


def _jobj(v, w, depth, path):
    text_limits = TEXT if path is None else _NESTED_TEXT
    if type(v).ref_name == _STAND_IN:
        return _jstand_in(v, w, depth, path, fmt(v, text_limits))
    out = {"$": "object", "name": type(v).ref_name, "text": fmt(v, text_limits)}
    if v.ref_args:
        out["args"] = _jlist(w, v.ref_args, len(v.ref_args), depth, path, "args")
    if v.ref_kwargs:
        out["kwargs"] = _j(v.ref_kwargs, w, depth, (path, "kwargs"))
    if v.ref_state is not None:
        out["state"] = _j(v.ref_state, w, depth - 1, (path, "state"))
    if v.ref_items:
        out["items"] = _jlist(w, v.ref_items, len(v.ref_items), depth, path, "items")
    if v.ref_dict_items:
        pairs = v.ref_dict_items
        out["dict_items"] = _jpairs(w, pairs, len(pairs), depth, (path, "dict_items"))
    return out


def _jname(value, limit=1000):
    if value is None or isinstance(value, str):
        return value if value is None or len(value) <= limit else value[:limit] + "…"
    return column_text(value)


def call_json(view, limits=None, text_limits=None):
    """One call as a JSON-ready dict (one line of ``show --json``)."""
    limits = limits or JSON
    moment = when(view.sent)
    out = {"type": "call", "id": view.id, "function": _jname(view.function),
           "thread": _jname(view.thread), "sent": view.sent if moment is not None else None}
    if view.error:
        out["error"] = view.error
        return out
    j = lambda v: to_json(v, limits)  # noqa: E731
    externals = []
    for e in view.external:
        item = {"function": _jname(e.function)}
        if e.same_as is not None:
            item["same_as"] = e.same_as
        else:
            item["returned"] = j(e.returned) if e.exception is None else None
            item["exception"] = j(e.exception)
        externals.append(item)
    same = _unchanged(view)
    args, kwargs = j(view.args_before), j(view.kwargs_before)
    before = fmt_args(view.args_before, view.kwargs_before, text_limits)
    out.update({
        "args": args, "kwargs": kwargs,
        "args_after": args if same else j(view.args_after),
        "kwargs_after": kwargs if same else j(view.kwargs_after),
        "returned": j(view.returned) if view.exception is None else None,
        "exception": j(view.exception),
        "external_calls": externals,
        "globals": j(view.globals),
        "text": {"args": before,
                 "args_after": before if same else fmt_args(view.args_after, view.kwargs_after,
                                                             text_limits),
                 "outcome": _outcome(view, text_limits)},
    })
    if view.external_more:
        out["external_calls_more"] = view.external_more
    return out
