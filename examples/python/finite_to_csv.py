"""Finite acquisition to CSV: AI-0..AI-3 of the first Ka at 1000 Hz for 2 s.

Usage: finite_to_csv.py [FILE.csv]
"""

import sys

import _path  # noqa: F401  (source checkout)
import qelomsr

path = sys.argv[1] if len(sys.argv) > 1 else "acquisition.csv"
ka = [d for d in qelomsr.list_devices() if d.family == "Ka"]
if not ka:
    sys.exit("no Ka device attached")
with qelomsr.Device(ka[0]) as dev:
    acq = dev.acquire(["AI-0", "AI-1", "AI-2", "AI-3"], rate=1000, seconds=2,
                      range_id=qelomsr.RANGE_10V)
acq.to_csv(path)
print("%d frames at %g Hz written to %s" % (len(acq.data), acq.rate, path))
