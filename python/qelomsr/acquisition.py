"""Acquisition: the frames of a finite acquisition with their time, gaps and
the metadata the data files carry; load() reads one back from a data file."""

import datetime

from . import _numbers, csvfile, files, hdf5file
from .files import ANALOG_UNIT, RAW_UNIT, unit_of  # noqa: F401 - the units of a column

HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"

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

    What the values mean, per column (None when not known, e.g. for a file
    of format 1): `clipped` the number of samples at the converter's lowest
    or highest code (the input may lie anywhere beyond; 0 for ports,
    counter and trigger), `calibrated` False for an analog input whose
    calibration record is erased (the nominal conversion applies).

    Metadata (None when unknown): `device` (identifier), `family`, `serial`,
    `firmware`, `ranges` ((min, max) volts per channel, None for ports,
    counter and trigger), `start_time` (ISO 8601 host time of the start),
    `devices` (the device identifier of every column). Files: `to_csv`,
    `to_hdf5`, and `qelomsr.load` to read either back (also files of the
    command-line tool and the panel).
    """

    def __init__(self, channels, units, rate, data, overruns=0, time=None, gaps=(), device=None,
                 serial=None, firmware=None, ranges=None, start_time=None, family=None,
                 calibrated=None, clipped=None, devices=None):
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
        self.family = family
        self.calibrated = None if calibrated is None else [bool(c) for c in calibrated]
        self.clipped = None if clipped is None else [int(c) for c in clipped]
        self.devices = None if devices is None else list(devices)

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

    def to_csv(self, path, overwrite=False):
        """Writes the acquisition as a CSV file of format 2: header comments
        with the metadata, `time_s` and the channels, one
        `# overrun after N frames: ...` line before the first row after each
        gap, and the trailer with the clip counts; every number the shortest
        text that reads back as the same value (docs/usage.md, "Data
        files").

        The file is written beside `path` under a temporary name and renamed
        into place when complete: an interrupted save leaves what was there.
        An existing file is replaced only with overwrite=True
        (FileExistsError otherwise). A full disk raises an OSError naming
        the file and the reason, and leaves no partial file."""
        files.save(path, lambda fd: csvfile.save(self, fd), overwrite)

    def to_hdf5(self, path, overwrite=False, compress=False):
        """Writes the acquisition as an HDF5 file of format 2: datasets
        `data`, `time_s`, `gaps` and `clipped` with the metadata as
        attributes of `data`; compress=True packs `data` and `time_s` with
        shuffle and gzip (needs h5py, Debian python3-h5py; docs/usage.md,
        "Data files"). Saved as to_csv saves: complete or not at all."""
        files.save(path, lambda fd: hdf5file.save(self, fd, compress), overwrite)


def load(path):
    """Reads a CSV or HDF5 data file (of this package, the command-line tool
    or the panel; format 1 or 2) back into an Acquisition. An incomplete
    last line of a CSV file (a recording cut off) is dropped with a
    RuntimeWarning; an HDF5 file still being written is read as far as it
    was flushed."""
    with open(path, "rb") as f:
        head = f.read(len(HDF5_SIGNATURE))
    if head == HDF5_SIGNATURE:
        return Acquisition(**hdf5file.read(path))
    return Acquisition(**csvfile.read(path))
