"""python -m tarnwick_collector record|show|demo ... (see cli.py)."""

import sys

from tarnwick_collector.cli import main

sys.exit(main())
