"""Lets the examples run from a source checkout: puts the checkout's python/
folder in front of the module path when the package is not installed."""

import os
import sys

_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python")
if os.path.isdir(os.path.join(_SOURCE, "qelomsr")):
    sys.path.insert(0, os.path.normpath(_SOURCE))
