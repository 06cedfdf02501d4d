"""Slow logging: VREF and VBUSREF of the Rix every few seconds, each row the
mean of 10 frames, printed and written to a file as it comes (CSV, or HDF5
for a name ending in .h5). Ctrl-C ends it; the file is complete either way.

Usage: slow_log.py [FILE] [--every SECONDS] [--count N]
"""

import argparse

import _path  # noqa: F401  (source checkout)
import qelomsr

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("file", nargs="?", default="slow_log.csv")
parser.add_argument("--every", type=float, default=2.0, help="seconds between rows")
parser.add_argument("--count", type=int, help="rows to log (default: until Ctrl-C)")
args = parser.parse_args()

with qelomsr.Device("rix") as dev:  # the one Rix attached
    try:
        for row in dev.log("VREF,VBUSREF", every=args.every, count=args.count, average=10,
                           out=args.file):
            print("%8.1f s  VREF %.4f V  VBUSREF %.4f V" % (row.time_s, *row.values))
    except KeyboardInterrupt:
        print()
print("written to %s" % args.file)
