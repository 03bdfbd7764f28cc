"""Stock levels, reservations and restocking."""

import threading


class OutOfStock(Exception):
    def __init__(self, isbn, wanted, left):
        super().__init__(f"{isbn}: wanted {wanted}, {left} left")
        self.isbn = isbn
        self.wanted = wanted
        self.left = left


class Inventory:
    def __init__(self, levels):
        self.levels = dict(levels)
        self.lock = threading.Lock()

    def reserve(self, isbn, quantity):
        with self.lock:
            left = self.levels.get(isbn, 0)
            if quantity > left:
                raise OutOfStock(isbn, quantity, left)
            self.levels[isbn] = left - quantity
            return self.levels[isbn]

    def restock(self, isbn, quantity):
        with self.lock:
            self.levels[isbn] = self.levels.get(isbn, 0) + quantity

    def low(self, threshold=2):
        return [isbn for isbn, n in sorted(self.levels.items()) if n <= threshold]


def restock_in_background(inventory, isbns, quantity):
    """Restock on a worker thread, as a supplier feed would."""
    done = []

    def worker():
        for isbn in isbns:
            inventory.restock(isbn, quantity)
            done.append(isbn)

    thread = threading.Thread(target=worker, name="supplier")
    thread.start()
    return thread, done
