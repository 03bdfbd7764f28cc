"""Orders, their lines and their prices."""

import datetime
import random


class Line:
    def __init__(self, book, quantity):
        self.book = book
        self.quantity = quantity

    def total(self):
        return round(self.book.price * self.quantity, 2)


class Order:
    def __init__(self, number, placed):
        self.number = number
        self.placed = placed
        self.lines = []

    def add(self, book, quantity=1):
        self.lines.append(Line(book, quantity))
        return len(self.lines)

    def subtotal(self):
        return round(sum(line.total() for line in self.lines), 2)


def discount(order, today):
    """Ten percent off on weekends, five for orders over 50."""
    rate = 0.10 if today.weekday() >= 5 else 0.0
    if order.subtotal() > 50:
        rate += 0.05
    return round(order.subtotal() * rate, 2)


def random_orders(catalog, count, seed):
    """Orders drawn with a seeded generator, yielded one by one."""
    rng = random.Random(seed)
    isbns = sorted(catalog.books)
    start = datetime.datetime(2024, 3, 1, 9, 0)
    for number in range(1, count + 1):
        order = Order(number, start + datetime.timedelta(hours=7 * number))
        for _ in range(rng.randint(1, 3)):
            order.add(catalog.find(rng.choice(isbns)), rng.randint(1, 2))
        yield order
