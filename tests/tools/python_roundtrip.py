#!/usr/bin/env python3
"""Reads data files of the command-line tool with the Python package and
writes the CSV one again: prints what qelomsr.load found, as JSON.
Usage: python_roundtrip.py CSV_IN CSV_OUT H5_IN"""
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
import qelomsr  # noqa: E402

csv_in, csv_out, h5_in = sys.argv[1:4]
acq = qelomsr.load(csv_in)
acq.to_csv(csv_out, overwrite=True)
h5 = qelomsr.load(h5_in)
print(json.dumps({
    "csv": {"channels": list(acq.channels), "rows": len(acq), "gaps": list(acq.gaps)},
    "h5": {"channels": list(h5.channels), "units": list(h5.units), "rows": len(h5),
           "rate": h5.rate, "device": h5.device, "gaps": [int(g) for g in h5.gaps]},
}))
