"""Values to text."""

import datetime
import decimal
import enum
from collections import OrderedDict

ESCAPES = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


class EncodeError(ValueError):
    pass


class EncodeContext:
    """Options and state of one encoding."""

    def __init__(self, sort_keys=False, default=None, max_depth=64):
        self.sort_keys = sort_keys
        self.default = default
        self.max_depth = max_depth
        self.depth = 0
        self.written = 0


class Registry:
    """Converters for the types the encoder does not know, by class."""

    def __init__(self):
        self.converters = OrderedDict()

    def register(self, cls, converter):
        self.converters[cls] = converter

    def convert(self, obj):
        for cls, converter in self.converters.items():
            if isinstance(obj, cls):
                return converter(obj)
        raise EncodeError(f"cannot encode {type(obj).__name__}")


def encode(obj, ctx=None):
    if ctx is None:
        ctx = EncodeContext()
    text = encode_value(obj, ctx)
    ctx.written += len(text)
    return text


def encode_value(obj, ctx):
    if obj is None:
        return "null"
    if obj is True:
        return "true"
    if obj is False:
        return "false"
    if isinstance(obj, str):
        return encode_string(obj)
    if isinstance(obj, enum.Enum):
        return encode_value(obj.value, ctx)
    if isinstance(obj, (int, float)):
        return encode_number(obj)
    if isinstance(obj, decimal.Decimal):
        return encode_decimal(obj)
    if isinstance(obj, (datetime.date, datetime.datetime)):
        return encode_string(obj.isoformat())
    if isinstance(obj, dict):
        return encode_mapping(obj, ctx)
    if isinstance(obj, (list, tuple)):
        return encode_sequence(obj, ctx)
    if ctx.default is not None:
        return encode_value(ctx.default(obj), ctx)
    raise EncodeError(f"cannot encode {type(obj).__name__}")


def encode_string(text):
    out = []
    for ch in text:
        out.append(ESCAPES.get(ch, ch))
    return '"' + "".join(out) + '"'


def encode_number(number):
    if isinstance(number, float) and number != number:
        raise EncodeError("NaN")
    return repr(number)


def encode_decimal(number):
    return format_decimal(number, 2)


def format_decimal(number, places):
    return str(number.quantize(decimal.Decimal(10) ** -places))


def enter(ctx):
    ctx.depth += 1
    if ctx.depth > ctx.max_depth:
        raise EncodeError("too deep")


def leave(ctx):
    ctx.depth -= 1


def encode_mapping(mapping, ctx):
    enter(ctx)
    keys = list(mapping)
    if ctx.sort_keys:
        keys = sort_keys(keys)
    items = []
    for key in keys:
        items.append(encode_member(key, mapping[key], ctx))
    leave(ctx)
    return "{" + ",".join(items) + "}"


def sort_keys(keys):
    return sorted(keys, key=str)


def encode_member(key, value, ctx):
    return encode_key(key) + ":" + encode_value(value, ctx)


def encode_key(key):
    if not isinstance(key, str):
        key = str(key)
    return encode_string(key)


def encode_sequence(items, ctx):
    enter(ctx)
    parts = [encode_value(item, ctx) for item in items]
    leave(ctx)
    return "[" + ",".join(parts) + "]"
