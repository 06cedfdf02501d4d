"""HDF5 data files: the writer of format 2 and the reader of formats 1 and 2
(docs/usage.md, "Data files"; needs h5py, Debian python3-h5py).

Datasets `data` (frames x channels; float32 when every column is an analog
input, else float64), `time_s`, `gaps` (row indexes before which frames were
lost) and `clipped` (per column the samples at the converter's ends), with
the metadata as attributes of `data`. Files are created with the library
version bounds v110/latest, so that a reader can open them with swmr=True,
also while a recording is being written.

The HDF5 library of Debian 12 crashes the interpreter (SIGSEGV) when it
closes a file whose writes failed (a full disk, a file size limit). So
nothing here lets HDF5 meet a failing write: a whole file is built in
memory and written by Python (save), and a recording written as it runs
reserves the room for each step beforehand (Recording.reserve), failing
cleanly before HDF5 writes.
"""

import io
import math
import os
import struct

from . import _numbers
from .files import ANALOG_UNIT, FORMAT_VERSION, unit_of, write_all

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

CHUNK_BYTES = 64 * 1024
GAP_CHUNK_ROWS = 64
LIBVER = ("v110", "latest")
# Room reserved ahead of a running recording's writes: chunks and metadata
# of one step fit many times over.
RESERVE_BYTES = 1 << 20
# File consistency flags of a version 2 or 3 superblock (byte 11).
_WRITE_ACCESS = 0x01
_SWMR_WRITE_ACCESS = 0x04


def h5py_module():
    try:
        import h5py
    except ImportError as e:
        raise ImportError("HDF5 files need numpy and h5py (Debian: apt-get install "
                          "python3-h5py)") from e
    if np is None:  # pragma: no cover - h5py needs numpy
        raise ImportError("HDF5 files need numpy")
    return h5py


def chunk_rows(channels, itemsize, rate):
    """Rows per chunk: about 64 KiB, or one second of data when that is less."""
    rows = max(1, CHUNK_BYTES // max(1, channels * itemsize))
    if rate is not None and rate > 0:
        rows = min(rows, max(1, int(math.ceil(rate))))
    return rows


def _decimal_limit(x):
    """The double nearest the shortest decimal of a float32 limit."""
    return float(_numbers.float32_text(x))


class Writer:
    """The datasets and attributes of a recording in an open h5py File, and
    appending to them. `meta` is an Acquisition (channels, units, rate,
    device, serial, firmware, start_time, ranges, calibrated, devices)."""

    def __init__(self, h5, meta, compress=False):
        h5py = h5py_module()
        c = len(meta.channels)
        analog_only = all(u == ANALOG_UNIT for u in meta.units)
        dtype = np.dtype(np.float32 if analog_only else np.float64)
        rows = chunk_rows(c, dtype.itemsize, meta.rate)
        packed = dict(compression="gzip", compression_opts=4, shuffle=True) if compress else {}
        self.h5 = h5
        self.rows = 0
        self.gap_count = 0
        self.data = h5.create_dataset("data", shape=(0, c), maxshape=(None, c), chunks=(rows, c),
                                      dtype=dtype, **packed)
        self.time = h5.create_dataset("time_s", shape=(0,), maxshape=(None,), chunks=(rows,),
                                      dtype=np.float64, **packed)
        self.gaps = h5.create_dataset("gaps", shape=(0,), maxshape=(None,),
                                      chunks=(GAP_CHUNK_ROWS,), dtype=np.int64)
        self.clipped = h5.create_dataset("clipped", data=np.full(c, -1, np.int64))
        text = h5py.string_dtype("utf-8")
        a = self.data.attrs
        a.create("format", np.int64(FORMAT_VERSION))
        a.create("channels", np.array(list(meta.channels), dtype=object), dtype=text)
        a.create("units", np.array(list(meta.units), dtype=object), dtype=text)
        a.create("rate_hz", np.float64(meta.rate if meta.rate is not None else math.nan))
        for key in ("device", "serial", "firmware", "start_time"):
            a.create(key, getattr(meta, key) or "", dtype=text)
        ranges = np.full((c, 2), np.nan)
        for j, r in enumerate(meta.ranges or []):
            if r is not None and meta.units[j] == ANALOG_UNIT:
                ranges[j] = (_decimal_limit(r[0]), _decimal_limit(r[1]))
        a.create("ranges", ranges)
        calibrated = [1 if meta.calibrated is None or meta.units[j] != ANALOG_UNIT
                      else int(bool(meta.calibrated[j])) for j in range(c)]
        a.create("calibrated", np.array(calibrated, np.uint8))
        devices = list(meta.devices) if meta.devices else [meta.device or ""] * c
        a.create("devices", np.array(devices, dtype=object), dtype=text)

    def append(self, time, data):
        """Appends rows that are in memory (a time column and a frames x
        channels block)."""
        n = len(time)
        if not n:
            return
        total = self.rows + n
        self.data.resize((total, self.data.shape[1]))
        self.data[self.rows:total] = np.asarray(data, dtype=np.float64).reshape(n, -1)
        self.time.resize((total,))
        self.time[self.rows:total] = np.asarray(time, dtype=np.float64)
        self.rows = total

    def gap(self):
        """Marks frames lost before the next row."""
        self.gaps.resize((self.gap_count + 1,))
        self.gaps[self.gap_count] = self.rows
        self.gap_count += 1

    def set_clipped(self, clipped):
        if clipped is not None:
            self.clipped[...] = np.asarray(clipped, dtype=np.int64)


def image(acq, compress=False):
    """A whole Acquisition as the bytes of an HDF5 file, built in memory
    (a buffer of its own: the file image is complete once HDF5 closed it)."""
    h5py = h5py_module()
    buffer = io.BytesIO()
    h5 = h5py.File(buffer, "w", libver=LIBVER)
    try:
        w = Writer(h5, acq, compress)
        n = len(acq.data)
        gaps = sorted(set(acq.gaps))
        for g in gaps:
            if not 0 <= g <= n:
                raise ValueError("gap at row %d outside the %d rows" % (g, n))
        bounds = sorted(set([0, n] + gaps))
        time = np.asarray(acq.time, dtype=np.float64) if n else np.empty(0)
        data = np.asarray(acq.data, dtype=np.float64).reshape(n, len(acq.channels))
        for a, b in zip(bounds, bounds[1:] + [None]):
            if a in gaps:
                w.gap()
            if b is not None:
                w.append(time[a:b], data[a:b])
        w.set_clipped(acq.clipped)
    finally:
        h5.close()
    return buffer.getbuffer()


def save(acq, fd, compress=False):
    """Writes a whole Acquisition to fd (the body of files.save)."""
    write_all(fd, image(acq, compress))


class Recording:
    """An HDF5 file written while a recording runs, readable meanwhile
    (SWMR). Call reserve() before each append: it makes room for the step's
    writes beyond the end of the data, so that a full disk fails there, in
    Python, and never inside HDF5. The room left over is cut off when the
    file is closed."""

    def __init__(self, path, meta, compress=False):
        h5py = h5py_module()
        self.h5 = h5py.File(path, "w", libver=LIBVER)
        try:
            self.writer = Writer(self.h5, meta, compress)
            self.h5.flush()
            self.fd = self.h5.id.get_vfd_handle()
            self.h5.swmr_mode = True
        except BaseException:
            self.h5.close()
            raise

    def reserve(self):
        """Makes room for RESERVE_BYTES past the end of the data."""
        os.posix_fallocate(self.fd, self.h5.id.get_filesize(), RESERVE_BYTES)

    def flush(self, clipped):
        """Makes the rows appended so far, and the clip counts, visible to
        readers."""
        self.writer.set_clipped(clipped)
        self.h5.flush()

    def close(self, clipped=None):
        """Closes the file (after a last flush of the clip counts, unless
        None: after a failed write nothing more is written) and cuts off
        the room reserved beyond its data."""
        keep = os.dup(self.fd)
        try:
            try:
                if clipped is not None:
                    self.flush(clipped)
            finally:
                self.h5.close()
            _cut_to_end_of_data(keep)
        finally:
            os.close(keep)


def _cut_to_end_of_data(fd):
    """Truncates a closed HDF5 file to the end address its superblock
    (version 2 or 3) records."""
    head = os.pread(fd, 48, 0)
    if len(head) < 36 or head[:8] != b"\x89HDF\r\n\x1a\n" or head[8] < 2 or head[9] != 8:
        return
    base, _, end = struct.unpack_from("<3Q", head, 12)
    if 0 < base + end < os.fstat(fd).st_size:
        os.ftruncate(fd, base + end)


def _check_not_held(path):
    """Refuses a file whose superblock says a writer has it open without
    letting readers in (a writer killed before it started SWMR): HDF5 would
    retry opening it for a long while and then fail."""
    with open(path, "rb") as f:
        head = f.read(12)
    if len(head) == 12 and head[8] >= 2 and head[11] & _WRITE_ACCESS and \
            not head[11] & _SWMR_WRITE_ACCESS:
        raise ValueError("%s is marked as open for writing by a program that does not let "
                         "readers in (or was killed before it did); once no program writes it, "
                         "`h5clear -s %s` clears the mark" % (path, path))


def read(path):
    """The fields of an Acquisition from an HDF5 file of format 1 or 2. A
    file being written is read as far as it was flushed."""
    h5py = h5py_module()
    _check_not_held(path)
    try:
        f = h5py.File(path, "r", swmr=True)
    except (OSError, ValueError):
        f = h5py.File(path, "r")  # format 1: written without the SWMR bounds
    with f:
        if "data" not in f:
            raise ValueError("%s: no dataset 'data'" % path)
        d = f["data"]
        a = d.attrs
        data = np.asarray(d[()], dtype=np.float64)
        if data.ndim != 2:
            raise ValueError("%s: dataset 'data' is not frames x channels" % path)
        channels = [_text(x) for x in a.get("channels", [])]
        if len(channels) != data.shape[1]:
            raise ValueError("%s: %d channel names for %d columns" %
                             (path, len(channels), data.shape[1]))
        units = [_text(x) for x in a["units"]] if "units" in a else [unit_of(c) for c in channels]
        time = np.asarray(f["time_s"][()], dtype=np.float64) if "time_s" in f else None
        if time is not None:  # a file being written extends one after the other
            n = min(len(time), len(data))
            time, data = time[:n], data[:n]
        rate = float(a["rate_hz"]) if "rate_hz" in a else None
        if rate is not None and math.isnan(rate):
            rate = None
        ranges = None
        if "ranges" in a:
            ranges = [None if np.isnan(r).any() else (float(r[0]), float(r[1]))
                      for r in np.asarray(a["ranges"], dtype=np.float64).reshape(-1, 2)]
        gaps_source = f["gaps"][()] if "gaps" in f else a.get("gaps", [])
        gaps = [int(g) for g in np.asarray(gaps_source, dtype=np.int64).reshape(-1)]
        fields = dict(channels=channels, units=units, rate=rate, data=data, overruns=len(gaps),
                      time=time, gaps=gaps, ranges=ranges)
        for k in ("device", "serial", "firmware", "start_time"):
            fields[k] = (_text(a[k]) or None) if k in a else None
        if "calibrated" in a:
            fields["calibrated"] = [bool(x) for x in np.asarray(a["calibrated"]).reshape(-1)]
        if "clipped" in f:
            fields["clipped"] = [int(x) for x in f["clipped"][()]]
        if "devices" in a:
            fields["devices"] = [_text(x) for x in a["devices"]]
    if time is None and (rate is None or rate <= 0):
        raise ValueError("%s: neither time_s nor a frame rate" % path)
    return fields


def _text(value):
    return value.decode("utf-8") if isinstance(value, bytes) else str(value)
