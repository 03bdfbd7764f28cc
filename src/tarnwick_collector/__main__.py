"""Builds call records and metadata for a sample module and prints them."""

import sys

from tarnwick_collector.demo import main

if len(sys.argv) != 2:
    sys.exit("usage: python -m tarnwick_collector MODULE_FILE")
main(sys.argv[1])
