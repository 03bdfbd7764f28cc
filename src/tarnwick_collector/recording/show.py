"""Turning stored call records into something to read: a table or JSON.

Records are loaded with the restricted loader; the byte fields inside a
record (arguments, globals, return value, exception) are pickles of their
own and are loaded the same way. Stand-ins that the pickler writes (function
by name, module by name, object reduced to its used attributes, unpicklable
object) are shown by what they stand for.
"""

import base64
import datetime
import math
import shutil
import textwrap

from tarnwick_collector.recording import safe_load

_NESTED = ("pre_run_args", "pre_run_kwargs", "post_run_args", "post_run_kwargs", "globals",
           "return_value", "execption", "function_signature")
_WRAPPERS = "tarnwick_common.utils.object_wrapper."
_PICKLER = "tarnwick_collector.data_serialization.pickler."
_LOADCLASS = safe_load.BY_NAME_LOADERS
_RECORDS = "tarnwick_collector.data_collection.invocations."


class Undecodable:
    """Bytes in a record that did not load."""

    def __init__(self, data, reason):
        self.data = data
        self.reason = reason


class _NoValue:
    def __repr__(self):
        return "<none>"


NOTHING = _NoValue()


def nested(value):
    # These fields are always pickles of their own, whatever protocol.
    if isinstance(value, bytes):
        try:
            return safe_load.loads(value)
        except safe_load.NotAPickle as exc:
            return Undecodable(value, str(exc))
    return value


def is_no_exception(value):
    if value is None:
        return True
    name = safe_load.name_of(value)
    if name == "builtins.NoneType":
        return True
    if name == "builtins.type" and safe_load.is_obj(value) and value.ref_args == (None,):
        return True
    return False


class ExternalView:
    def __init__(self, obj):
        fields = obj.fields() if safe_load.is_obj(obj) else {}
        meta = fields.get("function_metadata")
        meta_fields = meta.fields() if safe_load.is_obj(meta) else {}
        self.function = meta_fields.get("full_name") or safe_load.name_of(obj) or "?"
        self.returned = nested(fields.get("return_value"))
        exc = nested(fields.get("execption"))
        self.exception = None if is_no_exception(exc) else exc
        if "return_value" not in fields:
            self.returned = NOTHING


class CallView:
    """One call record, decoded."""

    def __init__(self, row_id, function, thread, sent, data):
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
        self.globals = {}
        try:
            record = safe_load.loads(data)
        except safe_load.NotAPickle as exc:
            self.error = f"record does not load: {exc}"
            return
        if not safe_load.is_obj(record) or not str(safe_load.name_of(record)).startswith(_RECORDS):
            self.error = f"not a call record: {fmt(record)}"
            return
        fields = record.fields()
        meta = fields.get("function_metadata")
        if self.function is None and safe_load.is_obj(meta):
            self.function = meta.fields().get("full_name")
        self.args_before = nested(fields.get("pre_run_args"))
        self.kwargs_before = nested(fields.get("pre_run_kwargs"))
        self.args_after = nested(fields.get("post_run_args"))
        self.kwargs_after = nested(fields.get("post_run_kwargs"))
        if "return_value" in fields:
            self.returned = nested(fields.get("return_value"))
        exc = nested(fields.get("execption"))
        self.exception = None if is_no_exception(exc) else exc
        globs = nested(fields.get("globals"))
        self.globals = globs if isinstance(globs, dict) else ({} if globs is None else {"?": globs})
        calls = fields.get("external_calls")
        self.external = [ExternalView(c) for c in calls] if isinstance(calls, list) else []


# --------------------------------------------------------------- text

class _Budget:
    __slots__ = ("left",)

    def __init__(self, left):
        self.left = left


def short_name(name):
    if name.startswith("builtins."):
        return name[len("builtins."):]
    return name


def fmt(value, depth=6, budget=None, max_str=120):
    """A one-line, bounded rendering of a decoded value."""
    if budget is None:
        budget = _Budget(400)
    budget.left -= 1
    if budget.left < 0 or depth < 0:
        return "…"
    if value is None or isinstance(value, (bool, int)):
        return repr(value)
    if isinstance(value, float):
        return repr(value) if math.isfinite(value) else f"float('{value}')"
    if isinstance(value, str):
        text = repr(value)
        return text if len(text) <= max_str else text[:max_str - 2] + "…" + text[-1]
    if isinstance(value, (bytes, bytearray)):
        text = repr(bytes(value))
        return text if len(text) <= max_str else text[:max_str - 2] + "…" + text[-1]
    if isinstance(value, Undecodable):
        return f"<{len(value.data)} bytes that do not load>"
    if value is NOTHING:
        return "-"
    sub = lambda v: fmt(v, depth - 1, budget, max_str)  # noqa: E731
    if isinstance(value, tuple):
        inner = ", ".join(sub(v) for v in value)
        return f"({inner},)" if len(value) == 1 else f"({inner})"
    if isinstance(value, list):
        return "[" + ", ".join(sub(v) for v in value) + "]"
    if isinstance(value, (set, frozenset)):
        if not value:
            return "set()" if isinstance(value, set) else "frozenset()"
        inner = "{" + ", ".join(sub(v) for v in value) + "}"
        return inner if isinstance(value, set) else f"frozenset({inner})"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{sub(k)}: {sub(v)}" for k, v in value.items()) + "}"
    if safe_load.is_ref(value):
        return short_name(value.ref_name)
    if safe_load.is_obj(value):
        return _fmt_obj(value, sub)
    return f"<{type(value).__name__}>"


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


def _fmt_obj(obj, sub):
    name = type(obj).ref_name
    args, kwargs, fields = obj.ref_args, obj.ref_kwargs, obj.fields()
    target = _by_name(obj)
    if target is not None:
        return f"<function {target}>"
    size = _TIME_TYPES.get(name)
    if size and args and isinstance(args[0], bytes) and len(args[0]) == size:
        text = _fmt_time(name, args[0])
        return text if len(args) == 1 else text[:-1] + f", tz={sub(args[1])})"
    if name.startswith(_PICKLER):
        kind = name[len(_PICKLER):]
        if kind == "wrap_module" and args:
            return f"<module {args[0]}>"
        if kind == "wrap_function" and args:
            return f"<function {args[0]}>"
        if kind == "wrap_exception" and args:
            exc_args = args[1] if len(args) > 1 else ()
            inner = (", ".join(sub(a) for a in exc_args) if isinstance(exc_args, tuple)
                     else sub(exc_args))
            return f"{short_name(str(args[0]))}({inner})"
        if kind == "wrap_object" and args:
            cls = args[0]
            label = short_name(cls.ref_name) if safe_load.is_ref(cls) else sub(cls)
            attrs = _plain_fields(fields)
            return f"{label}(" + ", ".join(f"{k}={sub(v)}" for k, v in attrs.items()) + ")"
    if name.startswith(_WRAPPERS):
        kind = name[len(_WRAPPERS):]
        full = fields.get("full_name", args[0] if args else None)
        if kind == "ModuleWrapper":
            return f"<module {full}>"
        if kind in ("FunctionWrapper", "SpecialWrapper"):
            return f"<function {full}>"
        if kind == "ExceptionWrapper":
            exc_args = fields.get("args", args[1] if len(args) > 1 else ())
            inner = ", ".join(sub(a) for a in exc_args) if isinstance(exc_args, tuple) else sub(exc_args)
            return f"{short_name(str(full))}({inner})"
        if kind == "ObjectWrapper":
            cls = fields.get("wrapped_class", args[0] if args else None)
            attrs = {k: v for k, v in fields.items() if k not in ("wrapped_class", "funcs")}
            label = short_name(cls.ref_name) if safe_load.is_ref(cls) else sub(cls)
            return f"{label}(" + ", ".join(f"{k}={sub(v)}" for k, v in attrs.items()) + ")"
        if kind == "UnpicklableObject":
            text = fields.get("type_text", args[0] if args else "?")
            attrs = {k: v for k, v in _plain_fields(fields).items()
                     if k not in ("type_text", "funcs", "__name__")}
            extra = "".join(f" {k}={sub(v)}" for k, v in attrs.items())
            return f"<unpicklable {text}{extra}>"
    if name == "builtins.type" and args == (None,):
        return "NoneType"
    if name == "builtins.getattr" and len(args) == 2 and isinstance(args[1], str):
        return f"{sub(args[0])}.{args[1]}"
    parts = [sub(a) for a in args]
    parts += [f"{k}={sub(v)}" for k, v in kwargs.items()]
    state = obj.ref_state
    if isinstance(state, dict) or (isinstance(state, tuple) and fields):
        parts += [f"{k}={sub(v)}" for k, v in fields.items()]
    elif state is not None:
        parts.append(f"state={sub(state)}")
    if obj.ref_items:
        parts.append("items=" + sub(list(obj.ref_items)))
    if obj.ref_dict_items:
        parts.append("{" + ", ".join(f"{sub(k)}: {sub(v)}" for k, v in obj.ref_dict_items) + "}")
    return f"{short_name(name)}(" + ", ".join(parts) + ")"


def fmt_args(args, kwargs):
    parts = []
    budget = _Budget(400)
    if isinstance(args, tuple):
        parts += [fmt(a, budget=budget) for a in args]
    elif args is not None:
        parts.append("*" + fmt(args, budget=budget))
    if isinstance(kwargs, dict):
        parts += [f"{k}={fmt(v, budget=budget)}" for k, v in kwargs.items()]
    elif kwargs is not None:
        parts.append("**" + fmt(kwargs, budget=budget))
    return "(" + ", ".join(parts) + ")"


def _outcome(view):
    if view.exception is not None:
        return "raised " + fmt(view.exception)
    return fmt(view.returned)


def table(views, width=None):
    """The calls as a table: one block of labelled rows per call."""
    width = width or max(60, min(shutil.get_terminal_size((100, 20)).columns, 160))
    label_w = 13
    out = []
    for v in views:
        when = datetime.datetime.fromtimestamp(v.sent).strftime("%H:%M:%S.%f")[:-3] if v.sent else ""
        head = f"#{v.id}  {v.function or '?'}"
        meta = "  ".join(p for p in (v.thread, when) if p)
        out.append(head + (" " * max(2, width - len(head) - len(meta)) + meta if meta else ""))
        if v.error:
            out.append(_row("error", v.error, label_w, width))
            out.append("")
            continue
        before = fmt_args(v.args_before, v.kwargs_before)
        after = fmt_args(v.args_after, v.kwargs_after)
        out.append(_row("args", before, label_w, width))
        if after != before:
            out.append(_row("args after", after, label_w, width))
        out.append(_row("raised" if v.exception is not None else "returned",
                        fmt(v.exception) if v.exception is not None else fmt(v.returned),
                        label_w, width))
        for ext in v.external:
            out.append(_row("external", f"{ext.function} -> {_outcome(ext)}", label_w, width))
        if v.globals:
            text = ", ".join(f"{k}={fmt(g, depth=2)}" for k, g in v.globals.items())
            out.append(_row("globals", text, label_w, width))
        out.append("")
    return "\n".join(out)


def _row(label, text, label_w, width):
    body = max(20, width - label_w - 4)
    lines = textwrap.wrap(text, body, break_long_words=True, break_on_hyphens=False) or [""]
    first = f"    {label:<{label_w}}{lines[0]}"
    rest = [" " * (4 + label_w) + ln for ln in lines[1:]]
    return "\n".join([first] + rest)


# --------------------------------------------------------------- JSON

def to_json(value, depth=12):
    """A JSON-ready form: placeholders become objects with a "$" key."""
    if depth < 0:
        return {"$": "truncated"}
    sub = lambda v: to_json(v, depth - 1)  # noqa: E731
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else {"$": "float", "value": repr(value)}
    if isinstance(value, (bytes, bytearray)):
        return {"$": "bytes", "base64": base64.b64encode(bytes(value)).decode("ascii")}
    if isinstance(value, Undecodable):
        return {"$": "undecodable", "reason": value.reason, "size": len(value.data)}
    if value is NOTHING:
        return {"$": "none"}
    if isinstance(value, list):
        return [sub(v) for v in value]
    if isinstance(value, tuple):
        return {"$": "tuple", "items": [sub(v) for v in value]}
    if isinstance(value, (set, frozenset)):
        return {"$": type(value).__name__, "items": [sub(v) for v in value]}
    if isinstance(value, dict):
        if all(isinstance(k, str) for k in value):
            return {k: sub(v) for k, v in value.items()}
        return {"$": "dict", "items": [[sub(k), sub(v)] for k, v in value.items()]}
    if safe_load.is_ref(value):
        return {"$": "global", "name": value.ref_name}
    if safe_load.is_obj(value):
        out = {"$": "object", "name": type(value).ref_name, "text": fmt(value)}
        if value.ref_args:
            out["args"] = [sub(a) for a in value.ref_args]
        if value.ref_kwargs:
            out["kwargs"] = {str(k): sub(v) for k, v in value.ref_kwargs.items()}
        if value.ref_state is not None:
            out["state"] = sub(value.ref_state)
        if value.ref_items:
            out["items"] = [sub(i) for i in value.ref_items]
        if value.ref_dict_items:
            out["dict_items"] = [[sub(k), sub(v)] for k, v in value.ref_dict_items]
        return out
    return {"$": "unknown", "type": type(value).__name__}


def call_json(view):
    out = {"id": view.id, "function": view.function, "thread": view.thread, "sent": view.sent}
    if view.error:
        out["error"] = view.error
        return out
    out.update({
        "args": to_json(view.args_before), "kwargs": to_json(view.kwargs_before),
        "args_after": to_json(view.args_after), "kwargs_after": to_json(view.kwargs_after),
        "returned": to_json(view.returned) if view.exception is None else None,
        "exception": to_json(view.exception),
        "external_calls": [{"function": e.function,
                            "returned": to_json(e.returned) if e.exception is None else None,
                            "exception": to_json(e.exception)} for e in view.external],
        "globals": {str(k): to_json(v) for k, v in view.globals.items()}
        if all(isinstance(k, str) for k in view.globals) else to_json(view.globals),
        "text": {"args": fmt_args(view.args_before, view.kwargs_before),
                 "args_after": fmt_args(view.args_after, view.kwargs_after),
                 "outcome": _outcome(view)},
    })
    return out
