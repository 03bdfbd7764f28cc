"""A small bookshop day: load the catalog, take orders, restock, report.

    python examples/bookshop/main.py [ORDERS] [SEED]
"""

import sys
import tempfile

from catalog import Catalog, write_sample
from inventory import Inventory, OutOfStock, restock_in_background
from orders import discount, random_orders
from reports import read_totals, summarize, write_report


def process(order, inventory):
    try:
        for line in order.lines:
            inventory.reserve(line.book.isbn, line.quantity)
    except OutOfStock as exc:
        return {"order": order.number, "status": "refused", "reason": str(exc)}
    paid = round(order.subtotal() - discount(order, order.placed.date()), 2)
    return {"order": order.number, "status": "ok", "paid": paid,
            "placed": order.placed.isoformat()}


def main(argv):
    count = int(argv[0]) if argv else 12
    seed = int(argv[1]) if len(argv) > 1 else 7
    with tempfile.TemporaryDirectory() as folder:
        catalog = Catalog.load(write_sample(folder))
        inventory = Inventory({isbn: 6 for isbn in catalog.books})
        print("harbour books:", [b.title for b in catalog.search("harbour")])
        results = []
        for order in random_orders(catalog, count, seed):
            results.append(process(order, inventory))
            if len(results) == count // 2:
                thread, done = restock_in_background(inventory, inventory.low(), 3)
                thread.join()
                print("restocked:", done)
        totals = summarize(results)
        path, size = write_report(folder, results, totals)
        assert read_totals(path) == totals
        print(f"{totals['orders']} orders, {totals['refused']} refused, "
              f"revenue {totals['revenue']:.2f} (report of {size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
