"""Stand-ins for the values the pickler refuses to write by their own code.

With ``CollectorSettings.stand_ins_for_refused`` on, a value whose class has
pickling methods of its own, or a Python ``__getattr__``/``__getattribute__``,
is written as a StandIn instead of dropping the call. Every class below marks
in `ran` what its methods did: a stand-in must leave it empty.
"""

import gc
import json
import operator
import subprocess
import sys
import weakref

import pytest

from tarnwick_collector.configs.collector_settings import CollectorSettings, MessageSink
from tarnwick_collector.data_collection import harvest
from tarnwick_collector.data_collection.metrics import StandInReasons, StandIns
from tarnwick_collector.data_collection.pathway import Pathway
from tarnwick_collector.data_serialization.pickler import safe_pickle, safe_pickle_loads
from tarnwick_collector.data_serialization.wirecodec import IpcPickleSerializer
from tarnwick_collector.exceptions import ProblematicPickleException
from tarnwick_collector.recording import safe_load, show
from tarnwick_common.utils.object_wrapper import StandIn, UnpicklableObject

PY = sys.executable

ran = []


@pytest.fixture(autouse=True)
def stand_ins_on(monkeypatch):
    monkeypatch.setattr(CollectorSettings, "stand_ins_for_refused", True)
    ran.clear()
    yield
    assert ran == [], f"the program's code ran: {ran}"


def mark(what):
    ran.append(what)


class Marked:
    """Every method a careless reader could call, marked."""

    def __repr__(self):
        mark("repr")
        return "?"

    def __eq__(self, other):
        mark("eq")
        return False

    def __hash__(self):
        mark("hash")
        return 0

    @property
    def total(self):
        mark("property")
        return 0


class WithReduce(Marked):
    def __init__(self, **attrs):
        self.__dict__.update(attrs)

    def __reduce__(self):
        mark("reduce")
        return (int, ())

    def __getstate__(self):
        mark("getstate")
        return {}


class WithGetattr(WithReduce):
    def __getattr__(self, name):
        mark(("getattr", name))
        raise AttributeError(name)


class WithGetattribute(Marked):
    __slots__ = ("name", "peer", "__secret", "unset")

    def __init__(self, name):
        set_slot = object.__setattr__
        set_slot(self, "name", name)
        set_slot(self, "_WithGetattribute__secret", 7)

    def __getattribute__(self, name):
        mark(("getattribute", name))
        return object.__getattribute__(self, name)


def roundtrip(obj):
    return safe_pickle_loads(safe_pickle(obj))


def shown(obj, **limits):
    return show.fmt(safe_load.loads(safe_pickle(obj)), show.Limits(**limits))


def test_refused_values_are_read_statically_without_running_code():
    peer = WithGetattribute("ann")
    basket = WithGetattr(items=[1, 2], owner=peer, __reduce_ex__=None)
    object.__setattr__(peer, "peer", basket)
    basket.me = basket
    back = roundtrip({"k": (basket,)})["k"][0]
    assert type(back) is StandIn and isinstance(back, UnpicklableObject)
    assert back.full_name == f"{__name__}.WithGetattr" and back.reason == "__getattr__"
    # The instance dict without its dunder entries; properties are not data.
    assert set(back.attributes) == {"items", "owner", "me"} and back.attributes["me"] is back
    owner = back.attributes["owner"]
    assert type(owner) is StandIn and owner.reason == "__getattr__"
    # Slots by their mangled names; an unset slot is left out.
    assert owner.attributes == {"name": "ann", "peer": back, "_WithGetattribute__secret": 7}
    assert shown(basket) == (
        f"&1 <stand-in {__name__}.WithGetattr items=[1, 2] owner=<stand-in "
        f"{__name__}.WithGetattribute _WithGetattribute__secret=7 name='ann' peer=*1> me=*1>")
    assert roundtrip(WithReduce(x=1)).reason == "pickling methods"


def test_off_the_refusal_stays(monkeypatch):
    monkeypatch.setattr(CollectorSettings, "stand_ins_for_refused", False)
    with pytest.raises(ProblematicPickleException):
        safe_pickle([WithReduce()])


def test_the_stand_in_keeps_nothing_alive():
    obj = WithReduce(payload=[1])
    probe = weakref.ref(obj)
    for _ in range(2):
        safe_pickle([obj, obj])
    del obj
    gc.collect()
    assert probe() is None


class Text(str):
    def __reduce__(self):
        mark("reduce")

    def __str__(self):
        mark("str")
        return ""


class Number(int):
    def __reduce_ex__(self, protocol):
        mark("reduce_ex")

    def __int__(self):
        mark("int")
        return 0

    def __index__(self):
        mark("index")
        return 0


class Items(list):
    def __reduce_ex__(self, protocol):
        mark("reduce_ex")

    def __iter__(self):
        mark("iter")
        return iter(())


class Table(dict):
    def __getattr__(self, name):
        mark(("getattr", name))
        return self[name]

    def __iter__(self):
        mark("iter")
        return iter(())

    def items(self):
        mark("items")
        return []


class Tags(frozenset):
    def __reduce__(self):
        mark("reduce")

    def __iter__(self):
        mark("iter")
        return iter(())


def test_subclasses_of_builtins_carry_their_builtin_value():
    table = Table(a=1)
    table.note = "n"
    back = roundtrip([Text("hi"), Number(12), Items([1, 2]), table, Tags({3})])
    assert [b.value for b in back] == ["hi", 12, None, None, [3]]
    assert back[2].items == [1, 2] and back[3].dict_items == [("a", 1)]
    assert back[3].attributes == {"note": "n"}
    assert shown(table) == f"<stand-in {__name__}.Table {{'a': 1}} note='n'>"


class Node(WithReduce):
    pass


def test_depth_count_and_attributes_are_bounded():
    chain = None
    for _ in range(3000):  # far deeper than the interpreter could write
        chain = Node(next=chain)
    node, depth = roundtrip(chain), 0
    while node.cut is None:
        node, depth = node.attributes["next"], depth + 1
    assert 8 <= depth <= 40 and node.cut == "depth" and node.left_out == 1

    wide = roundtrip([Node(i=i) for i in range(300)])
    opened = [n for n in wide if n.cut is None]
    assert len(opened) == 256 and opened == wide[:256] and wide[-1].cut == "size"

    many = roundtrip(Node(**{f"a{i:03}": i for i in range(100)}))
    assert len(many.attributes) == 64 and many.left_out == 36
    assert shown(Node(**{f"a{i}": i for i in range(70)}), values=1000).endswith("… 6 more>")


def test_the_depth_bound_is_counted_from_the_dump_not_the_program():
    def nest(n):
        chain = None
        for _ in range(n):
            chain = Node(next=chain)
        return chain

    def opened_levels():
        node, depth = roundtrip(nest(60)), 0
        while node.cut is None:
            node, depth = node.attributes["next"], depth + 1
        return depth

    shallow = opened_levels()

    def deep(n):
        return deep(n - 1) if n else opened_levels()

    assert deep(sys.getrecursionlimit() // 2) == shallow


class Liar(WithReduce):
    @property
    def __class__(self):
        mark("class")
        return int


def test_a_class_that_lies_about_itself_is_named_by_its_own():
    back = roundtrip(WithReduce(liar=Liar(x=1)))
    liar = back.attributes["liar"]
    assert type(liar) is UnpicklableObject and f"{__name__}.Liar" in liar.type_text


# ------------------------------------------------------------- the hooks

SER = IpcPickleSerializer()


def passes(x):
    return operator.getitem([x], 0)  # an external call that returns its argument


def test_calls_with_refused_values_are_recorded_and_counted(sinks):
    data, metrics = sinks
    value = WithReduce(x=1)
    for arg in (1, value, 2):
        rec = harvest.record_user_function_call(passes, arg)
        ext = harvest.record_external_call(operator.getitem)
        result = operator.getitem([arg], 0)
        harvest.record_external_return_value(result, ext, type(None))
        harvest.record_user_function_return_value(result, rec, type(None))
    assert len(data.messages) == 3
    assert f"{__name__}.passes" not in harvest.BLACKLISTED_FUNCTIONS
    counts = [m for m in map(SER.deserialize, metrics.messages) if type(m) is StandIns]
    # Args before and after, the external call's result and the return value.
    assert [(m.function_full_name, m.reason, m.count) for m in counts] == [
        (f"{__name__}.passes", StandInReasons.PICKLING_METHODS, 4)]
    record = SER.deserialize(data.messages[1])
    assert type(SER.deserialize(record.return_value)) is StandIn


def test_a_dropped_call_counts_none(sinks, monkeypatch):
    data, metrics = sinks
    rec = harvest.record_user_function_call(passes, WithReduce())
    Pathway.thread_id_to_current_call.clear()  # as after a full caller: the call is dropped
    harvest.record_user_function_return_value(None, rec, type(None))
    assert data.messages == []
    assert not [m for m in map(SER.deserialize, metrics.messages) if type(m) is StandIns]


# ----------------------------------------------------- record, show, stats

def run(*args, cwd=None):
    return subprocess.run([PY, *args], capture_output=True, text=True, timeout=300, cwd=cwd)


def record(tmp_path, script, *options):
    out = str(tmp_path / "rec.db")
    proc = run("-m", "tarnwick_collector", "record", "--out", out, *options, script, cwd=tmp_path)
    return proc, out


EXAMPLE = """
class Custom:
    def __reduce__(self):
        return (Custom, ())
def f(x):
    return x
f(1); f(Custom()); f(2); f(3)
"""


@pytest.mark.parametrize("strict", [False, True])
def test_record_keeps_the_calls_unless_strict(tmp_path, strict):
    script = tmp_path / "main.py"
    script.write_text(EXAMPLE)
    proc, out = record(tmp_path, str(script), *(["--strict"] if strict else []))
    assert proc.returncode == 0, proc.stderr
    stats = json.loads(run("-m", "tarnwick_collector", "stats", "--json", out).stdout)
    (f,) = [x for x in stats["functions"] if x["function"].endswith(".f")]
    if strict:
        assert f["calls"] == 1 and "dropped 3 (3 unpicklable)" in proc.stderr
        assert stats["unpicklable_reasons"] == {"general": 3} and stats["stand_ins"] == {}
    else:
        assert f["calls"] == 4 and f["stand_ins"] == 3
        assert "dropped 0, 3 stand-ins (3 pickling methods)" in proc.stderr
        assert stats["stand_ins"] == {"pickling methods": 3} and stats["dropped"] == {}


SHOP = """
ran = []

class Owner:
    __slots__ = ("name", "basket")

    def __getattribute__(self, name):
        ran.append(("getattribute", name))
        return object.__getattribute__(self, name)

class Basket:
    def __init__(self, items, owner):
        self.items = items
        self.owner = owner

    def __reduce_ex__(self, protocol):
        ran.append("reduce_ex")
        return (Basket, ())

    def __repr__(self):
        ran.append("repr")
        return "Basket"

    def __eq__(self, other):
        ran.append("eq")
        return False

    def __hash__(self):
        ran.append("hash")
        return 0

    @property
    def total(self):
        ran.append("property")
        return 0

class Liar(Basket):
    @property
    def __class__(self):
        ran.append("class")
        return int

def checkout(basket):
    return len(ran)

owner = Owner()
object.__setattr__(owner, "name", "ann")
basket = Basket([1, 2], owner)
object.__setattr__(owner, "basket", basket)
basket.liar = Liar.__new__(Liar)
checkout(basket)
print("ran", ran)
"""


def test_show_marks_stand_ins(tmp_path):
    (tmp_path / "shop.py").write_text(SHOP)
    proc, out = record(tmp_path, str(tmp_path / "shop.py"))
    assert proc.returncode == 0 and proc.stdout == "ran []\n", proc.stderr
    lines = run("-m", "tarnwick_collector", "show", "--json", out).stdout.splitlines()
    calls = [json.loads(line) for line in lines[1:]]
    (call,) = [c for c in calls if c["function"].endswith("checkout")]
    assert call["text"]["args"] == (
        "(&1 <stand-in shop.Basket items=[1, 2] owner=<stand-in shop.Owner basket=*1 "
        "name='ann'> liar=<unpicklable <class '__main__.Liar'>>>)")
    text = run("-m", "tarnwick_collector", "show", out, "--function", "checkout").stdout
    assert "(&1 <stand-in shop.Basket items=[1, 2]" in text
    arg = call["args"]["items"][0]
    assert arg["$"] == "stand-in" and arg["class"] == "shop.Basket"
    assert arg["reason"] == "pickling methods" and "<stand-in shop.Basket" in arg["text"]
    owner = arg["attributes"]["owner"]
    assert owner["$"] == "stand-in" and owner["reason"] == "__getattr__"
    assert owner["attributes"] == {"basket": {"$": "ref", "to": "/items/0"}, "name": "ann"}
