"""CSV data files: the writer of format 2 and the reader of formats 1 and 2
(docs/usage.md, "Data files").

A file opens with comment lines (`# ` and a keyword: the format, the device,
start time, rate, ranges, uncalibrated columns), then the column line
`time_s,<channel>...`, one row per frame, a line
`# overrun after <N> frames: frames lost; acquisition restarted` before the
first row after each gap, and a trailer (`# clipped <channel> <count>` per
analog column, `# end: <N> frames`). Numbers are the shortest text that
reads back as the same value (analog values as float32, times as double),
without exponent. Rows are written whole, so a file always ends on a
complete line; a reader drops an incomplete last line (a recording cut off
by a kill or power loss) with a warning.
"""

import os
import re
import warnings

from . import _numbers
from .files import ANALOG_UNIT, FORMAT_VERSION, unit_of, write_all

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

MAGIC = "# qelomsr recording, format %d" % FORMAT_VERSION
GAP_MARKER = "# overrun after %d frames: frames lost; acquisition restarted"
GAP_PREFIX = "# overrun after "
UNCALIBRATED_TEXT = "nominal conversion (erased calibration record)"
# Rows formatted and written per write call by save().
CHUNK_ROWS = 65536

_DEVICE_LINE = re.compile(r"device (?P<device>[^,]*)(?:, family (?P<family>[^,]*))?"
                          r"(?:, serial (?P<serial>.*?))?(?:, firmware (?P<firmware>[^,]*))?$")


# ---- numbers ------------------------------------------------------------------------


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


def rows_text(time, columns, units):
    """The lines of rows (each ending in a newline) from a time column and
    one column per channel."""
    texts = [[_numbers.float64_text(t) for t in time]]
    for column, unit in zip(columns, units):
        texts.append(_float32_texts(column) if unit == ANALOG_UNIT else _integer_texts(column))
    return "".join(",".join(r) + "\n" for r in zip(*texts))


# ---- writing ------------------------------------------------------------------------


def _device_line(device, family, serial, firmware):
    parts = ["device %s" % device]
    for key, value in (("family", family), ("serial", serial), ("firmware", firmware)):
        if value:
            parts.append("%s %s" % (key, value))
    return "# " + ", ".join(parts)


def header_text(meta):
    """The comment lines and the column line of a recording described by
    `meta` (an Acquisition: channels, units, rate, device, family, serial,
    firmware, start_time, ranges, calibrated, devices)."""
    lines = [MAGIC]
    columns = list(meta.channels)
    devices = list(meta.devices) if meta.devices else [meta.device] * len(columns)
    distinct = [d for i, d in enumerate(devices) if d and d not in devices[:i]]
    for d in distinct:
        if d == meta.device:
            lines.append(_device_line(d, meta.family, meta.serial, meta.firmware))
        else:
            lines.append(_device_line(d, None, None, None))
    if meta.start_time:
        lines.append("# start_time %s" % meta.start_time)
    if meta.rate is not None:
        lines.append("# rate_hz %s" % _numbers.float64_text(meta.rate))
    for j, name in enumerate(columns):
        limits = meta.ranges[j] if meta.ranges else None
        if meta.units[j] == ANALOG_UNIT and limits is not None:
            lines.append("# range %s %s .. %s V" % (name, _numbers.float32_text(limits[0]),
                                                     _numbers.float32_text(limits[1])))
    for j, name in enumerate(columns):
        if meta.calibrated is not None and meta.units[j] == ANALOG_UNIT and not meta.calibrated[j]:
            lines.append("# uncalibrated %s: %s" % (name, UNCALIBRATED_TEXT))
    if len(distinct) > 1:
        for name, d in zip(columns, devices):
            lines.append("# column %s device %s" % (name, d))
    lines.append(",".join(["time_s"] + columns))
    return "\n".join(lines) + "\n"


def trailer_text(meta, clipped, rows):
    """`# clipped` per analog column (-1: not known) and `# end`."""
    lines = ["# clipped %s %d" % (name, -1 if clipped is None else int(clipped[j]))
             for j, name in enumerate(meta.channels) if meta.units[j] == ANALOG_UNIT]
    lines.append("# end: %d frames" % rows)
    return "\n".join(lines) + "\n"


class Writer:
    """Appends a recording to an open file descriptor, whole lines at a
    time. A write that fails (a full disk) is cut back to the end of the
    last complete line before the error is raised, and `finish` then adds
    the trailer if there is room."""

    def __init__(self, fd, meta):
        self.fd, self.meta = fd, meta
        self.rows = 0
        self.end = os.lseek(fd, 0, os.SEEK_CUR)  # just after the last complete line

    def _write(self, text):
        data = text.encode("utf-8")
        try:
            write_all(self.fd, data)
        except OSError:
            self._cut_back()
            raise
        self.end += len(data)

    def _cut_back(self):
        try:
            os.ftruncate(self.fd, self.end)
            os.lseek(self.fd, self.end, os.SEEK_SET)
        except OSError:
            pass

    def header(self):
        self._write(header_text(self.meta))

    def append(self, time, columns, n):
        """Appends n rows (a time column and one column per channel)."""
        if n:
            self._write(rows_text(time, columns, self.meta.units))
            self.rows += n

    def gap(self):
        self._write(GAP_MARKER % self.rows + "\n")

    def finish(self, clipped):
        self._write(trailer_text(self.meta, clipped, self.rows))


def save(acq, fd):
    """Writes a whole Acquisition to fd (the body of files.save)."""
    w = Writer(fd, acq)
    w.header()
    n = len(acq.data)
    time = acq.time if n else []
    gaps = sorted(set(acq.gaps))
    for g in gaps:
        if not 0 <= g <= n:
            raise ValueError("gap at row %d outside the %d rows" % (g, n))
    bounds = sorted(set([0, n] + gaps))
    for a, b in zip(bounds, bounds[1:] + [None]):
        if a in gaps:
            w.gap()
        if b is None:
            break
        for start in range(a, b, CHUNK_ROWS):
            stop = min(b, start + CHUNK_ROWS)
            part = acq.data[start:stop]
            columns = ([part[:, j] for j in range(len(acq.channels))] if np is not None and
                       isinstance(part, np.ndarray) else
                       [[row[j] for row in part] for j in range(len(acq.channels))])
            w.append(time[start:stop], columns, stop - start)
    w.finish(acq.clipped)


# ---- reading ------------------------------------------------------------------------


def _lines(path):
    with open(path, "rb") as f:
        text = f.read().decode("utf-8")
    lines = text.split("\n")
    last = lines.pop()  # "" when the file ends with a newline
    if last:
        warnings.warn("%s: the last line has no newline (the recording was cut off); it is "
                      "dropped: %r" % (path, last[:80]), RuntimeWarning, stacklevel=4)
    return lines


def _header(lines, path):
    """(fields of the comment lines, index of the column line)."""
    fields = {"version": 1, "ranges": {}, "uncalibrated": set(), "column_devices": {},
              "devices": []}
    if not lines:
        raise ValueError("%s: empty, not a qelomsr CSV file" % path)
    if lines[0].rstrip("\r") != MAGIC:
        if lines[0].split(",")[0] != "time_s":
            raise ValueError("%s: not a qelomsr CSV file (it must start with %r or a time_s "
                             "column line)" % (path, MAGIC))
        return fields, 0
    fields["version"] = FORMAT_VERSION
    for i, line in enumerate(lines[1:], start=1):
        if not line.startswith("#"):
            if line.split(",")[0] != "time_s":
                raise ValueError("%s:%d: the column line must start with time_s" % (path, i + 1))
            return fields, i
        words = line[2:].split(" ")
        key, rest = words[0], " ".join(words[1:])
        if key == "device":
            m = _DEVICE_LINE.match(line[2:])
            if m:
                fields["devices"].append(m.groupdict())
        elif key == "start_time":
            fields["start_time"] = rest
        elif key == "rate_hz":
            fields["rate"] = float(rest)
        elif key == "range" and len(words) == 6 and words[3] == "..":
            fields["ranges"][words[1]] = (float(words[2]), float(words[4]))
        elif key == "uncalibrated":
            fields["uncalibrated"].add(rest.split(":")[0])
        elif key == "column" and len(words) == 4 and words[2] == "device":
            fields["column_devices"][words[1]] = words[3]
    raise ValueError("%s: no column line (time_s,...) after the comment lines" % path)


def read(path):
    """The fields of an Acquisition from a CSV file of format 1 or 2."""
    lines = _lines(path)
    fields, at = _header(lines, path)
    channels = lines[at].rstrip("\r").split(",")[1:]
    width = len(channels) + 1
    rows, gaps, clipped, end = [], [], {}, None
    for number, line in enumerate(lines[at + 1:], start=at + 2):
        line = line.rstrip("\r")
        if not line.strip():
            continue
        if line.startswith("#"):
            if line.startswith(GAP_PREFIX):
                gaps.append(len(rows))
            elif line.startswith("# clipped "):
                words = line.split(" ")
                if len(words) == 4:
                    clipped[words[2]] = int(words[3])
            elif line.startswith("# end: "):
                end = int(line.split(" ")[2])
            continue
        values = line.split(",")
        if len(values) != width:
            raise ValueError("%s:%d: %d fields where the column line names %d" %
                             (path, number, len(values), width))
        rows.append(values)
    if fields["version"] >= 2:
        if end is None:
            warnings.warn("%s: no end line: the recording was cut off after %d frames" %
                          (path, len(rows)), RuntimeWarning, stacklevel=3)
        elif end != len(rows):
            warnings.warn("%s: the end line counts %d frames, the file holds %d" %
                          (path, end, len(rows)), RuntimeWarning, stacklevel=3)
    units = [unit_of(c) for c in channels]
    time, data = _table(rows, width, units)
    return _fields(fields, channels, units, time, data, gaps, clipped)


def _table(rows, width, units):
    if np is not None:
        table = np.array(rows, dtype=np.float64).reshape(len(rows), width)
        time = table[:, 0].copy()
        data = table[:, 1:].copy()
        for j, unit in enumerate(units):
            if unit == ANALOG_UNIT:  # the file holds float32 values
                data[:, j] = data[:, j].astype(np.float32)
        return time, data
    time = [float(r[0]) for r in rows]
    data = [[_numbers.to_float32(float(v)) if u == ANALOG_UNIT else float(v)
             for v, u in zip(r[1:], units)] for r in rows]
    return time, data


def _fields(fields, channels, units, time, data, gaps, clipped):
    v2 = fields["version"] >= 2
    first = fields["devices"][0] if fields["devices"] else {}
    device = first.get("device")
    rate = fields.get("rate")
    if rate is None:
        rate = _rate_from_time(time, gaps)
    out = dict(channels=channels, units=units, rate=rate, data=data, overruns=len(gaps),
               time=time, gaps=gaps, device=device, serial=first.get("serial"),
               firmware=first.get("firmware"), family=first.get("family"),
               start_time=fields.get("start_time"))
    if v2:
        out["ranges"] = [fields["ranges"].get(c) if u == ANALOG_UNIT else None
                         for c, u in zip(channels, units)]
        out["calibrated"] = [c not in fields["uncalibrated"] for c in channels]
        out["clipped"] = ([clipped.get(c, 0) if u == ANALOG_UNIT else 0
                           for c, u in zip(channels, units)] if clipped else None)
        out["devices"] = [fields["column_devices"].get(c, device) for c in channels]
    return out


def _rate_from_time(time, gaps):
    """A file that does not name its rate: the median frame period of the
    rows within runs (None with fewer than two rows, -1 when times repeat as
    under the frame sample trigger)."""
    bounds = [0] + sorted(gaps) + [len(time)]
    steps = []
    for a, b in zip(bounds, bounds[1:]):
        steps.extend(time[i + 1] - time[i] for i in range(a, b - 1))
    if not steps:
        return None
    steps.sort()
    median = steps[len(steps) // 2]
    return 1.0 / median if median > 0 else -1.0
