"""Acquisition: the frames of a finite acquisition with their time, gaps and
the metadata the data files carry; load() reads one back from a data file."""

import datetime

from . import _numbers, files
from .files import ANALOG_UNIT, RAW_UNIT, unit_of  # noqa: F401 - the units of a column

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None


def start_time_text(when=None):
    """ISO 8601 with UTC offset and milliseconds: 2026-12-09T11:45:53.123+00:00."""
    when = when or datetime.datetime.now(datetime.timezone.utc)
    return when.astimezone(datetime.timezone.utc).isoformat(timespec="milliseconds")


class Acquisition:
    """Frames of a finite acquisition.

    `data` has one row per frame and one column per channel (volts for
    analog inputs, raw values for ports, counter and trigger); a column by
    name is `acq["AI-0"]`. `time` holds the seconds of every row since the
    first frame; `gaps` the row indexes before which frames were lost to an
    overrun (the acquisition was restarted there; `time` jumps across the
    gap, see `time`). `rate` is the frame rate the device ran at (-1 when
    frames were taken on the frame sample trigger).

    Metadata (None when unknown, e.g. for a CSV file): `device` (identifier),
    `serial`, `firmware`, `ranges` ([min, max] volts per channel, NaN for
    ports, counter and trigger), `start_time` (ISO 8601 host time of the
    start). Files: `to_csv`, `to_hdf5`, and `qelomsr.load` to read either
    back (also files of the command-line tool).
    """

    def __init__(self, channels, units, rate, data, overruns=0, time=None, gaps=(), device=None,
                 serial=None, firmware=None, ranges=None, start_time=None):
        self.channels = list(channels)
        self.units = [u if u else RAW_UNIT for u in units]
        if len(self.units) != len(self.channels):
            raise ValueError("one unit per channel is needed")
        self.rate = rate
        self.data = data
        self.overruns = overruns
        self.gaps = [int(g) for g in gaps]
        self._time = time
        self.device = device
        self.serial = serial
        self.firmware = firmware
        self.ranges = ranges
        self.start_time = start_time

    def __len__(self):
        return len(self.data)

    def __getitem__(self, channel):
        """The column of a channel by name (or by column index)."""
        j = channel if isinstance(channel, int) else self._column(channel)
        if np is not None and isinstance(self.data, np.ndarray):
            return self.data[:, j]
        return [row[j] for row in self.data]

    def _column(self, name):
        try:
            return self.channels.index(name)
        except ValueError:
            folded = [c.lower() for c in self.channels]
            if str(name).lower() in folded:
                return folded.index(str(name).lower())
            raise KeyError("no channel %r (channels: %s)" % (name, ", ".join(self.channels)))

    def __repr__(self):
        return "<qelomsr.Acquisition %d frames of %s at %s Hz, %d gap(s)>" % (
            len(self), ",".join(self.channels), _numbers.float32_text(self.rate)
            if self.rate is not None else "?", len(self.gaps))

    @property
    def time(self):
        """Seconds of every row since the first frame.

        Within a run of frames the time follows the device's frame rate
        (row i of a run is i / rate after its first row). Across a gap the
        device went on without delivering, then was restarted: the first row
        after the gap is placed at the host time that elapsed between the
        start of the acquisition and the restart (measured right after each
        start call returned), so that time jumps by the time the device ran
        without delivering. That jump is known to within the duration of the
        start calls (a few milliseconds over USB) plus one frame period.
        Under the frame sample trigger (rate -1) every row has the host time
        at which its read returned (frames of one read share it).
        """
        if self._time is not None:
            return self._time
        n = len(self.data)
        if not self.rate or self.rate <= 0:
            raise ValueError("the time of this acquisition is unknown (no frame rate)")
        if np is not None:
            return np.arange(n) / float(self.rate)
        return [i / float(self.rate) for i in range(n)]

    def to_csv(self, path):
        """Writes `time_s` and the channels as CSV, one `# overrun ...` line
        before the first row after each gap; every number in the shortest
        text that reads back as the same value (docs/usage.md, "Data files")."""
        files.write_csv(self, path)

    def to_hdf5(self, path):
        """Writes datasets `data` and `time_s` with the metadata attributes
        (needs h5py, Debian python3-h5py; docs/usage.md, "Data files")."""
        files.write_hdf5(self, path)


def load(path):
    """Reads a CSV or HDF5 data file (of this package, the command-line tool
    or the panel) back into an Acquisition."""
    return Acquisition(**files.read(path))
