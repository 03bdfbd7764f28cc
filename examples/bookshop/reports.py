"""A day's report, written to disk and read back."""

import json
import os


def summarize(results):
    totals = {"orders": 0, "revenue": 0.0, "refused": 0}
    for result in results:
        if result["status"] == "ok":
            totals["orders"] += 1
            totals["revenue"] = round(totals["revenue"] + result["paid"], 2)
        else:
            totals["refused"] += 1
    return totals


def write_report(folder, results, totals):
    path = os.path.join(folder, "report.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"results": results, "totals": totals}, f, indent=1)
    return path, os.path.getsize(path)


def read_totals(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)["totals"]
