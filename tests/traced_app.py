"""Code the tracing tests run as "the project" (only this file is project code)."""

import json
import math
import threading
import weakref

RATE = 3
touched = []


class Account:
    fee = 1

    def __init__(self, owner, balance=0):
        self.owner = owner
        self.balance = balance
        self.history = []

    def deposit(self, amount, *, note=None):
        self.history.append((amount, note))
        self.balance += amount
        return self.balance

    @classmethod
    def opened(cls, owner):
        return cls(owner, 10)

    @staticmethod
    def check(amount):
        return amount > 0

    @property
    def label(self):
        return self.owner.upper()


def spread(first, *rest, scale=1, **extra):
    return [first * scale, *rest], extra


def times_rate(x):
    return x * RATE


def failing(x):
    raise ValueError(f"bad {x}")


def through_finally(x):
    try:
        return failing(x)
    finally:
        touched.append("finally")


def caught():
    try:
        failing(1)
    except ValueError as exc:
        return str(exc)


def c_calls(items):
    n = len(items)
    items.append(n)
    root = math.sqrt(16)
    try:
        {}.pop("missing")
    except KeyError:
        pass
    return root


def library_calls(data):
    text = json.dumps(data)
    try:
        json.loads("{")
    except ValueError:
        pass
    return text


def with_callback(values):
    return sorted(values, key=key_of)


def key_of(v):
    return -v


def numbers(n):
    for i in range(n):
        yield times_rate(i)


def drive_generator():
    return list(numbers(3))


def make_adder(k):
    def add(v):
        return v + k
    return add


def use_closure():
    add = make_adder(5)
    return add(1)


def in_thread():
    out = []
    t = threading.Thread(target=lambda: out.append(times_rate(2)))
    t.start()
    t.join()
    return out


def read_watched(obj):
    return obj.plain, obj.computed


def many_globals():
    return (RATE, RATE, times_rate, Account)


def open_and_use():
    acct = Account.opened("ann")
    acct.deposit(5, note="pay")
    return acct, acct.label, Account.check(3)


def lets_go(make, use):
    obj = make()
    use(obj)
    ref = weakref.ref(obj)
    del obj
    return ref() is None


def identity(v):
    return v


class Holder:
    def __init__(self, v):
        self.v = v


def c_call_forms(items, text):
    a = str.upper(text)              # a method descriptor, its object first
    b = str.upper(*(text,))          # the same through a tuple
    c = sorted(items, reverse=True)  # with keywords
    d = items.count(1)               # a method of the object
    return a, b, c, d
