"""A small stock-keeping module used by the demo."""

import json


class Stock:
    def __init__(self, name, count=0):
        self.name = name
        self.count = count
        self.history = []

    def add(self, amount, note=None):
        self.count += amount
        self.history.append((amount, note))
        return self.count


def restock(stocks, minimum=5):
    return [s.add(minimum - s.count) for s in stocks if s.count < minimum]


async def report(stocks):
    return json.dumps({s.name: s.count for s in stocks})
