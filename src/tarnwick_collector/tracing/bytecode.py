"""What the loads of a code object are, by the offset its opcode events carry.

An 'opcode' trace event comes before its instruction runs, and for an
instruction with EXTENDED_ARG prefixes it comes once, at the first prefix.
The tables below are keyed by that offset. Names come from ``dis``, which
knows each version's oparg encoding (3.11 shifts LOAD_GLOBAL's name index
and hides the inline caches).

The object an attribute is loaded from sits on the value stack, which Python
code cannot see; a table entry names where the previous instruction took it
from, when that is a plain load we can repeat with dictionary lookups.
"""

import dis
import sys

GLOBAL = 1
ATTR = 2
METHOD = 3
CALL = 4      # src_arg: how deep below the top the callable slot is

# Sources of the object of an attribute load.
SRC_LOCAL = 1     # f_locals[name] (fast locals, cells and free variables)
SRC_GLOBAL = 2    # f_globals / f_builtins
SRC_CONST = 3     # a constant
SRC_ATTR = 4      # the result of the attribute load just before

_LOCAL_LOADS = {"LOAD_FAST", "LOAD_DEREF", "LOAD_CLASSDEREF", "LOAD_FAST_CHECK"}
# Instructions that leave the stack top where it was for the next load.
_DUPS = {"DUP_TOP"}
_COPY_TOP = "COPY"

# The slot that holds what is called (or NULL before a method's self).
_CALLABLE_DEPTH = {
    "CALL_FUNCTION": lambda arg: arg,
    "CALL_FUNCTION_KW": lambda arg: arg + 1,
    "CALL_FUNCTION_EX": lambda arg: 1 + (arg & 1),
    "CALL_METHOD": lambda arg: arg + 1,   # NULL or the method; self below it
    "CALL": lambda arg: arg + 1,          # 3.11: the same layout as CALL_METHOD
}
METHOD_CALLS = {"CALL_METHOD", "CALL"}
# Where a call's arguments are, for the tracer's reads: positional only, the
# method-call layout, with a tuple of keyword names on top, or in a tuple.
CALL_LAYOUTS = {"CALL_FUNCTION": 0, "CALL_METHOD": 1, "CALL": 1, "CALL_FUNCTION_KW": 2,
                "CALL_FUNCTION_EX": 3}



class Load:
    """One load instruction: its kind, name, and where its object comes from."""

    __slots__ = ("kind", "name", "src", "src_arg", "src_offset")

    def __init__(self, kind, name, src=0, src_arg=None, src_offset=-1):
        self.kind = kind
        self.name = name
        self.src = src
        self.src_arg = src_arg
        self.src_offset = src_offset

    def __repr__(self):
        return f"Load({self.kind}, {self.name!r}, src={self.src}, {self.src_arg!r})"


def _source(prev, prev_event_offset):
    """Where ``prev`` (an Instruction) takes the value it pushes, or None."""
    name = prev.opname
    if name in _LOCAL_LOADS:
        return SRC_LOCAL, prev.argval, prev_event_offset
    if name == "LOAD_GLOBAL":
        return SRC_GLOBAL, prev.argval, prev_event_offset
    if name == "LOAD_CONST":
        return SRC_CONST, prev.argval, prev_event_offset
    if name == "LOAD_ATTR":
        return SRC_ATTR, prev.argval, prev_event_offset
    return None


def load_table(code, calls=False):
    """Map event offsets of ``code`` to ``Load`` entries; empty when nothing
    loads. With ``calls``, call instructions get an entry too."""
    table = {}
    prefix = None          # event offset of a pending EXTENDED_ARG run
    prev = None            # previous real instruction and its event offset
    prev_event = -1
    before_prev = None     # the one before it, for a duplicated stack top
    before_prev_event = -1
    for ins in dis.get_instructions(code):
        op = ins.opname
        if op == "EXTENDED_ARG":
            if prefix is None:
                prefix = ins.offset
            continue
        event = prefix if prefix is not None else ins.offset
        prefix = None
        if op == "CACHE":
            continue
        if op == "LOAD_GLOBAL":
            table[event] = Load(GLOBAL, ins.argval)
        elif calls and op in _CALLABLE_DEPTH:
            table[event] = Load(CALL, op in METHOD_CALLS, CALL_LAYOUTS[op],
                                _CALLABLE_DEPTH[op](ins.arg or 0))
        elif op in ("LOAD_ATTR", "LOAD_METHOD"):
            src = None
            if prev is not None and not ins.is_jump_target:
                src = _source(prev, prev_event)
                dup = prev.opname in _DUPS or (prev.opname == _COPY_TOP and prev.arg == 1)
                if dup and before_prev is not None and not prev.is_jump_target:
                    src = _source(before_prev, before_prev_event)
            kind = METHOD if op == "LOAD_METHOD" else ATTR
            name = ins.argval
            if kind == ATTR and sys.version_info >= (3, 12) and ins.arg is not None and ins.arg & 1:
                kind = METHOD
            if src is None:
                table[event] = Load(kind, name)
            else:
                table[event] = Load(kind, name, *src)
        before_prev, before_prev_event = prev, prev_event
        prev, prev_event = ins, event
    return table


# ------------------------------------------------- value stack depths
# On interpreters that do not store the stack depth before an instruction
# event, it is worked out from the code: the compiler keeps it the same on
# every path into an instruction.

_HASJUMP = frozenset(getattr(dis, "hasjump", ())) | frozenset(dis.hasjrel) | frozenset(dis.hasjabs)
_UNCONDITIONAL = {"JUMP_FORWARD", "JUMP_BACKWARD", "JUMP_BACKWARD_NO_INTERRUPT", "JUMP_ABSOLUTE",
                  "JUMP", "JUMP_NO_INTERRUPT"}
_TERMINAL = {"RETURN_VALUE", "RETURN_CONST", "RAISE_VARARGS", "RERAISE"}


def _effect(ins, jump):
    if ins.opname == "RETURN_GENERATOR":
        return 1  # the value sent at the first resume, popped right after
    arg = ins.arg if ins.opcode >= dis.HAVE_ARGUMENT else None
    return dis.stack_effect(ins.opcode, arg, jump=jump)


def stack_depths(code, instructions=None):
    """The value stack depth before each instruction, by offset. Raises
    ValueError when two paths disagree (the code is not what we think)."""
    ins = instructions if instructions is not None else list(dis.get_instructions(code))
    index = {i.offset: k for k, i in enumerate(ins)}
    depths = {}
    work = [(0, 0)]
    for entry in dis._parse_exception_table(code):
        # The handler starts with the saved depth, the offset when asked, the exception.
        work.append((index[entry.target], entry.depth + (1 if entry.lasti else 0) + 1))
    while work:
        k, depth = work.pop()
        while k < len(ins):
            i = ins[k]
            known = depths.get(i.offset)
            if known is not None:
                if known != depth:
                    raise ValueError(f"stack depth {known} or {depth} at {i.offset}")
                break
            if depth < 0 or depth > code.co_stacksize:
                raise ValueError(f"stack depth {depth} at {i.offset}")
            depths[i.offset] = depth
            if i.opcode in _HASJUMP:
                work.append((index[i.argval], depth + _effect(i, True)))
                if i.opname in _UNCONDITIONAL:
                    break
                depth += _effect(i, False)
            else:
                if i.opname in _TERMINAL:
                    break
                depth += _effect(i, False)
            k += 1
    return depths


# Entries of the instruction tables of the monitoring backend.
M_GLOBAL = 1
M_ATTR = 2
M_METHOD = 3
M_CALL = 4
M_NEXT = 5     # the instruction after a call or a load: its result is on the stack

_MONITOR_CALLS = {"CALL", "CALL_KW", "CALL_FUNCTION_EX"}


def monitor_table(code):
    """Rows ``(offset, kind, name, depth, next_offset, next_depth, src, src_arg)``
    for the loads and calls of ``code``: depth is the stack depth before the
    instruction, next_* the offset of the first event after it and the depth
    there. Empty when the depths cannot be worked out."""
    ins = [i for i in dis.get_instructions(code) if i.opname != "CACHE"]
    try:
        depths = stack_depths(code, ins)
    except (ValueError, KeyError):
        return []
    rows = []
    nexts = set()
    for k, i in enumerate(ins):
        op = i.opname
        if op == "LOAD_GLOBAL":
            rows.append((i.offset, M_GLOBAL, i.argval, 0, -1, 0, 0, None))
            continue
        if op not in _MONITOR_CALLS and op != "LOAD_ATTR":
            continue
        if k + 1 >= len(ins) or i.offset not in depths:
            continue
        after = ins[k + 1]
        depth = depths[i.offset]
        next_depth = depth + _effect(i, False)
        if op == "LOAD_ATTR":
            kind = M_METHOD if i.arg is not None and i.arg & 1 else M_ATTR
            src, src_arg = 0, None
            if k and not i.is_jump_target:
                prev = ins[k - 1]
                if prev.opname == _COPY_TOP and prev.arg == 1 and k > 1 and not prev.is_jump_target:
                    prev = ins[k - 2]  # the object was loaded, then duplicated
                found = _source(prev, prev.offset)
                if found is not None:
                    src, src_arg = found[0], found[1]
                    if src == SRC_ATTR:
                        src_arg = prev.offset
            rows.append((i.offset, kind, i.argval, depth, after.offset, next_depth, src, src_arg))
        else:
            rows.append((i.offset, M_CALL, None, depth, after.offset, next_depth, 0, None))
        nexts.add(after.offset)
    taken = {row[0] for row in rows}
    rows.extend((off, M_NEXT, None, depths.get(off, 0), -1, 0, 0, None)
                for off in sorted(nexts - taken))
    return rows
