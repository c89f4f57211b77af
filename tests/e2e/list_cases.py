"""Prints the end-to-end test ids, ';'-separated, for CTest to run each one on its own."""
import sys
import unittest
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here))


def ids(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from ids(item)
        else:
            yield item.id()


print(";".join(ids(unittest.defaultTestLoader.discover(str(here), pattern="test_*.py"))), end="")
