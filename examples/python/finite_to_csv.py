"""Finite acquisition to CSV: AI-0..AI-3 of the Ka at 1000 Hz for 2 s, AI-0
on its 1 V range, the others on 10 V. An existing file is replaced only with
--overwrite.

Usage: finite_to_csv.py [FILE.csv] [--overwrite]
"""

import sys

import _path  # noqa: F401  (source checkout)
import qelomsr

args = [a for a in sys.argv[1:] if a != "--overwrite"]
path = args[0] if args else "acquisition.csv"
with qelomsr.Device("ka") as dev:  # the one Ka attached
    acq = dev.acquire("AI-0:1V,AI-1,AI-2,AI-3", rate=1000, seconds=2, range_id="10V")
try:
    acq.to_csv(path, overwrite="--overwrite" in sys.argv)
except FileExistsError as e:
    sys.exit("%s (or give --overwrite)" % e.strerror)
clipped = {c: n for c, n in zip(acq.channels, acq.clipped) if n}
print("%d frames at %g Hz written to %s%s" % (
    len(acq), acq.rate, path, "; clipped samples: %s" % clipped if clipped else ""))
