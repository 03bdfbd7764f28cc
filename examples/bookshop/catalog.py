"""Books and the catalog file they are loaded from."""

import json
import os


class Book:
    def __init__(self, isbn, title, price, tags=()):
        self.isbn = isbn
        self.title = title
        self.price = price
        self.tags = list(tags)

    def matches(self, word):
        word = word.lower()
        return word in self.title.lower() or word in self.tags

    def __repr__(self):
        return f"Book({self.isbn!r}, {self.title!r})"


class Catalog:
    def __init__(self, books):
        self.books = {b.isbn: b for b in books}

    @classmethod
    def load(cls, path):
        with open(path, encoding="utf-8") as f:
            rows = json.load(f)
        return cls(Book(r["isbn"], r["title"], r["price"], r.get("tags", ())) for r in rows)

    def find(self, isbn):
        return self.books[isbn]

    def search(self, word):
        return sorted((b for b in self.books.values() if b.matches(word)), key=lambda b: b.title)


def write_sample(folder):
    rows = [
        {"isbn": "978-0", "title": "The Quiet Harbour", "price": 12.5, "tags": ["sea", "novel"]},
        {"isbn": "978-1", "title": "Bread and Salt", "price": 22.0, "tags": ["cooking"]},
        {"isbn": "978-2", "title": "Small Engines", "price": 35.75, "tags": ["repair"]},
        {"isbn": "978-3", "title": "Harbour Lights", "price": 9.99, "tags": ["sea", "poetry"]},
    ]
    path = os.path.join(folder, "catalog.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(rows, f)
    return path
