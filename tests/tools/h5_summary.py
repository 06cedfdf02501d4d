#!/usr/bin/env python3
"""Prints what an HDF5 recording of qelomsr holds, read with h5py as a reader
of a file that may still be written (SWMR), as JSON: the shapes and types of
its datasets, the attributes of `data` (NaN as null), the gaps and clip
counts, and per column the mean and maximum of the data."""
import json
import math
import sys

import h5py
import numpy as np


def plain(value):
    if isinstance(value, bytes):
        return value.decode("utf-8")
    if isinstance(value, np.ndarray):
        return [plain(v) for v in value]
    if isinstance(value, (np.floating, float)):
        return None if math.isnan(value) else float(value)
    if isinstance(value, np.integer):
        return int(value)
    return value


with h5py.File(sys.argv[1], "r", swmr=True) as f:
    data, time = f["data"], f["time_s"]
    attrs = {name: plain(data.attrs[name]) for name in data.attrs}
    for name in ("channels", "units", "device", "serial", "firmware", "start_time", "devices"):
        value = data.attrs[name]
        items = list(value) if isinstance(value, np.ndarray) else [value]
        if not all(isinstance(v, str) for v in items):
            raise SystemExit(f"attribute {name} is not read as str: {items!r}")
    values = data[()]
    print(json.dumps({
        "data": {"shape": list(data.shape), "dtype": str(data.dtype),
                 "maxshape": list(data.maxshape), "chunks": list(data.chunks or [])},
        "compression": data.compression,
        "shuffle": bool(data.shuffle),
        "time_s": {"shape": list(time.shape), "dtype": str(time.dtype),
                   "last": float(time[-1]) if time.shape[0] else None},
        "attrs": attrs,
        "gaps": [int(g) for g in f["gaps"][()]],
        "gaps_dtype": str(f["gaps"].dtype),
        "clipped": [int(c) for c in f["clipped"][()]],
        "mean": [float(v) for v in values.mean(axis=0)] if values.shape[0] else [],
        "max": [float(v) for v in values.max(axis=0)] if values.shape[0] else [],
    }))
