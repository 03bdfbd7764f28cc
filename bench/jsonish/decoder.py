"""Text to values."""

WHITESPACE = " \t\r\n"
LITERALS = {"null": None, "true": True, "false": False}
UNESCAPES = {'"': '"', "\\": "\\", "n": "\n", "r": "\r", "t": "\t", "/": "/"}


class DecodeError(ValueError):
    pass


class DecodeContext:
    """The text being read and the position in it."""

    def __init__(self, text, object_hook=None):
        self.text = text
        self.pos = 0
        self.object_hook = object_hook


def decode(text, object_hook=None):
    ctx = DecodeContext(text, object_hook)
    value = parse_value(ctx)
    skip_whitespace(ctx)
    if ctx.pos != len(ctx.text):
        raise DecodeError(f"extra data at {ctx.pos}")
    return value


def peek(ctx):
    skip_whitespace(ctx)
    if ctx.pos >= len(ctx.text):
        raise DecodeError("unexpected end")
    return ctx.text[ctx.pos]


def skip_whitespace(ctx):
    text, pos = ctx.text, ctx.pos
    while pos < len(text) and text[pos] in WHITESPACE:
        pos += 1
    ctx.pos = pos


def expect(ctx, ch):
    if peek(ctx) != ch:
        raise DecodeError(f"expected {ch!r} at {ctx.pos}")
    ctx.pos += 1


def parse_value(ctx):
    ch = peek(ctx)
    if ch == "{":
        return parse_object(ctx)
    if ch == "[":
        return parse_array(ctx)
    if ch == '"':
        return parse_string(ctx)
    if ch in "-0123456789":
        return parse_number(ctx)
    return parse_literal(ctx)


def parse_object(ctx):
    expect(ctx, "{")
    result = {}
    if peek(ctx) == "}":
        ctx.pos += 1
        return finish_object(result, ctx)
    while True:
        key = parse_string(ctx)
        expect(ctx, ":")
        result[key] = parse_value(ctx)
        if peek(ctx) == ",":
            ctx.pos += 1
            continue
        expect(ctx, "}")
        return finish_object(result, ctx)


def finish_object(result, ctx):
    if ctx.object_hook is not None:
        return ctx.object_hook(result)
    return result


def parse_array(ctx):
    expect(ctx, "[")
    items = []
    if peek(ctx) == "]":
        ctx.pos += 1
        return items
    while True:
        items.append(parse_value(ctx))
        if peek(ctx) == ",":
            ctx.pos += 1
            continue
        expect(ctx, "]")
        return items


def parse_string(ctx):
    expect(ctx, '"')
    text, pos = ctx.text, ctx.pos
    out = []
    while True:
        ch = text[pos]
        if ch == '"':
            break
        if ch == "\\":
            out.append(unescape(text[pos + 1]))
            pos += 2
            continue
        out.append(ch)
        pos += 1
    ctx.pos = pos + 1
    return "".join(out)


def unescape(ch):
    if ch not in UNESCAPES:
        raise DecodeError(f"bad escape {ch!r}")
    return UNESCAPES[ch]


def parse_number(ctx):
    text, start = ctx.text, ctx.pos
    pos = start
    while pos < len(text) and text[pos] in "+-0123456789.eE":
        pos += 1
    ctx.pos = pos
    return to_number(text[start:pos])


def to_number(token):
    if "." in token or "e" in token or "E" in token:
        return float(token)
    return int(token)


def parse_literal(ctx):
    for word, value in LITERALS.items():
        if ctx.text.startswith(word, ctx.pos):
            ctx.pos += len(word)
            return value
    raise DecodeError(f"unexpected character at {ctx.pos}")
