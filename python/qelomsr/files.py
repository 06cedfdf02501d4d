"""Data files shared with the command-line tool and the browser panel: CSV
and HDF5, laid out as docs/usage.md ("Data files") describes.

CSV: a header `time_s,<channel>...`, one row per frame, a line
`# overrun after <N> frames: frames lost; acquisition restarted` before the
first row after each gap; analog values as the shortest text of their
float32, ports, counter and trigger as integers, time as the shortest text of
its double. HDF5: datasets `data` (frames x channels) and `time_s`, float64,
chunked and extendable, with the metadata as attributes of `data`.
"""

import math

from . import _numbers

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

GAP_MARKER = "# overrun after %d frames: frames lost; acquisition restarted"
GAP_PREFIX = "# overrun after "
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
CHUNK_ROWS = 4096

ANALOG_UNIT = "V"
RAW_UNIT = "raw"


def unit_of(name):
    """The unit of a channel by its name: "raw" for ports, counter and
    trigger (DP-n, CNT, TRG), "V" for analog inputs."""
    upper = str(name).upper()
    return RAW_UNIT if upper.startswith("DP-") or upper in ("CNT", "TRG") else ANALOG_UNIT


# ---- CSV -----------------------------------------------------------------------------


def _integer_texts(column):
    return [str(int(v)) for v in column]


def _float32_texts(column):
    if np is None:
        return [_numbers.float32_text(v) for v in column]
    # Analog values come from 16-bit converter codes: few distinct values,
    # each formatted once.
    values, inverse = np.unique(np.asarray(column, np.float32), return_inverse=True)
    texts = np.array([_numbers.float32_text(v) for v in values], dtype=object)
    return texts[inverse].tolist()


def write_csv(acq, path):
    rows = len(acq.data)
    columns = [[_numbers.float64_text(t) for t in acq.time]]
    for j, unit in enumerate(acq.units):
        column = acq[j]
        columns.append(_float32_texts(column) if unit == ANALOG_UNIT else _integer_texts(column))
    lines = [",".join(r) for r in zip(*columns)] if rows else []
    for g in sorted(set(acq.gaps), reverse=True):
        if not 0 <= g <= rows:
            raise ValueError("gap at row %d outside the %d rows" % (g, rows))
        lines.insert(g, GAP_MARKER % g)
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(",".join(["time_s"] + list(acq.channels)) + "\n")
        if lines:
            f.write("\n".join(lines) + "\n")


def read_csv(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    lines = text.splitlines()
    if not lines or lines[0].split(",")[0] != "time_s":
        raise ValueError("%s: not a qelomsr CSV file (the header must start with time_s)" % path)
    channels = lines[0].split(",")[1:]
    width = len(channels) + 1
    rows, gaps = [], []
    for number, line in enumerate(lines[1:], start=2):
        if not line.strip():
            continue
        if line.startswith("#"):
            if line.startswith(GAP_PREFIX):
                gaps.append(len(rows))
            continue
        fields = line.split(",")
        if len(fields) != width:
            raise ValueError("%s:%d: %d fields where the header names %d" %
                             (path, number, len(fields), width))
        rows.append(fields)
    units = [unit_of(c) for c in channels]
    if np is not None:
        table = np.array(rows, dtype=np.float64).reshape(len(rows), width)
        time = table[:, 0].copy()
        data = table[:, 1:].copy()
        for j, unit in enumerate(units):
            if unit == ANALOG_UNIT:  # the file holds float32 values
                data[:, j] = data[:, j].astype(np.float32)
    else:
        time = [float(r[0]) for r in rows]
        data = [[_numbers.to_float32(float(v)) if u == ANALOG_UNIT else float(v)
                 for v, u in zip(r[1:], units)] for r in rows]
    return dict(channels=channels, units=units, rate=_rate_from_time(time, gaps), data=data,
                overruns=len(gaps), time=time, gaps=gaps)


def _rate_from_time(time, gaps):
    """A CSV file does not name its rate: the median frame period of the rows
    within runs (None with fewer than two rows, -1 when times repeat as under
    the frame sample trigger)."""
    bounds = [0] + sorted(gaps) + [len(time)]
    steps = []
    for a, b in zip(bounds, bounds[1:]):
        steps.extend(time[i + 1] - time[i] for i in range(a, b - 1))
    if not steps:
        return None
    steps.sort()
    median = steps[len(steps) // 2]
    return 1.0 / median if median > 0 else -1.0


# ---- HDF5 ----------------------------------------------------------------------------


def _h5py():
    try:
        import h5py
    except ImportError as e:
        raise ImportError("HDF5 files need h5py (Debian: apt-get install python3-h5py)") from e
    return h5py


def write_hdf5(acq, path):
    h5py = _h5py()
    channels = list(acq.channels)
    n, c = len(acq.data), len(channels)
    data = np.asarray(acq.data, dtype=np.float64).reshape(n, c)
    time = np.asarray(acq.time, dtype=np.float64).reshape(n)
    ranges = np.full((c, 2), np.nan)
    if acq.ranges is not None:
        for j, r in enumerate(acq.ranges):
            if r is not None and acq.units[j] == ANALOG_UNIT:
                ranges[j] = r
    text = h5py.string_dtype("utf-8")
    with h5py.File(path, "w") as f:
        d = f.create_dataset("data", data=data, chunks=(CHUNK_ROWS, max(c, 1)),
                             maxshape=(None, c))
        f.create_dataset("time_s", data=time, chunks=(CHUNK_ROWS,), maxshape=(None,))
        d.attrs.create("channels", np.array(channels, dtype=object), dtype=text)
        d.attrs.create("units", np.array(list(acq.units), dtype=object), dtype=text)
        d.attrs.create("rate_hz", np.float64(acq.rate if acq.rate is not None else math.nan))
        for key in ("device", "serial", "firmware", "start_time"):
            d.attrs.create(key, getattr(acq, key) or "", dtype=text)
        d.attrs.create("ranges", ranges)
        d.attrs.create("gaps", np.array(sorted(acq.gaps), dtype=np.int64))


def _text(value):
    return value.decode("utf-8") if isinstance(value, bytes) else str(value)


def read_hdf5(path):
    h5py = _h5py()
    with h5py.File(path, "r") as f:
        if "data" not in f:
            raise ValueError("%s: no dataset 'data'" % path)
        d = f["data"]
        data = np.asarray(d[()], dtype=np.float64)
        if data.ndim != 2:
            raise ValueError("%s: dataset 'data' is not frames x channels" % path)
        a = d.attrs
        channels = [_text(x) for x in a.get("channels", [])]
        if len(channels) != data.shape[1]:
            raise ValueError("%s: %d channel names for %d columns" %
                             (path, len(channels), data.shape[1]))
        units = [_text(x) for x in a["units"]] if "units" in a else [unit_of(c)
                                                                      for c in channels]
        time = np.asarray(f["time_s"][()], dtype=np.float64) if "time_s" in f else None
        rate = float(a["rate_hz"]) if "rate_hz" in a else None
        if rate is not None and math.isnan(rate):
            rate = None
        ranges = None
        if "ranges" in a:
            ranges = [None if np.isnan(r).any() else (float(r[0]), float(r[1]))
                      for r in np.asarray(a["ranges"], dtype=np.float64).reshape(-1, 2)]
        gaps = [int(g) for g in np.asarray(a.get("gaps", []), dtype=np.int64).reshape(-1)]
        meta = {k: (_text(a[k]) or None) if k in a else None
                for k in ("device", "serial", "firmware", "start_time")}
    if time is None and (rate is None or rate <= 0):
        raise ValueError("%s: neither time_s nor a frame rate" % path)
    return dict(channels=channels, units=units, rate=rate, data=data, overruns=len(gaps),
                time=time, gaps=gaps, ranges=ranges, **meta)


def read(path):
    """The fields of an Acquisition (keyword arguments) read from a CSV or
    HDF5 data file."""
    with open(path, "rb") as f:
        head = f.read(len(HDF5_SIGNATURE))
    if head == HDF5_SIGNATURE:
        if np is None:
            raise ImportError("HDF5 files need numpy and h5py")
        return read_hdf5(path)
    return read_csv(path)
