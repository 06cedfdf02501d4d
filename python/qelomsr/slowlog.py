"""Slow logging: host-timed single frames at any interval (every 10 s, every
hour), for rates below the device's 1 Hz minimum. Each row is one frame (or
the mean of `average` frames) sampled at once through the library's
single-frame read, with the host time of its reads; `out` writes the rows to
a CSV or HDF5 file of format 2 as they come (the same layout as a stream's),
readable meanwhile, and complete with its trailer whatever ends the log.
"""

import collections
import math
import os
import time

from . import files, hdf5file
from ._numbers import to_float32
from .acquisition import start_time_text
from .csvfile import Writer as CsvWriter
from .runs import Columns, Record, channel_list, check_whole

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

LogRow = collections.namedtuple("LogRow", "time_s values")
LogRow.__doc__ = ("One row of a slow log: `time_s` seconds since the log began (host time of "
                  "the row's reads), `values` one value per channel (volts for analog inputs, "
                  "the mean of the row's frames; raw values of the last frame for ports, "
                  "counter and trigger).")

HDF5_SUFFIXES = (".h5", ".hdf5")


def _check_every(every):
    try:
        value = float(every)
    except (TypeError, ValueError):
        raise ValueError("every must be a number of seconds, not %r" % (every,)) from None
    if not (value > 0 and math.isfinite(value)):
        raise ValueError("every must be a finite number of seconds > 0, not %r" % (every,))
    return value


class _LogFile:
    """The file of a running log: created beside its target under a
    temporary name with its header, moved into place, then appended to row
    by row (CSV) or flushed after every row (HDF5, readable while written)."""

    def __init__(self, path, meta, overwrite, compress):
        self.path = files.check_target(path, overwrite)
        self.hdf5 = self.path.lower().endswith(HDF5_SUFFIXES)
        fd, temporary = files.open_beside(self.path)
        try:
            if self.hdf5:
                os.close(fd)
                fd = None
                self.recording = hdf5file.Recording(temporary, meta, compress)
            else:
                self.fd = fd
                self.csv = CsvWriter(fd, meta)
                self.csv.header()
            files.place(temporary, self.path, overwrite)
        except OSError as e:
            self._abandon(temporary)
            raise files.write_error(self.path, e) from None
        except BaseException:
            self._abandon(temporary)
            raise

    def _abandon(self, temporary):
        if self.hdf5 and hasattr(self, "recording"):
            self.recording.close()
        elif not self.hdf5:
            os.close(self.fd)
        try:
            os.unlink(temporary)
        except OSError:
            pass

    def append(self, time_s, row, clipped):
        try:
            if self.hdf5:
                self.recording.reserve()
                self.recording.writer.append([time_s], [row])
                self.recording.flush(clipped)
            else:
                self.csv.append([time_s], [[v] for v in row], 1)
        except OSError as e:
            raise files.write_error(self.path, e) from None

    def close(self, clipped, failed):
        """Ends the file: the trailer (CSV; after a failed write only if
        there is room) or the last flush (HDF5)."""
        if self.hdf5:
            # After a failed write everything up to the last row is flushed
            # already, and nothing more is written.
            self.recording.close(None if failed else clipped)
            return
        try:
            self.csv.finish(clipped)
        except OSError:
            if not failed:
                raise
        finally:
            os.close(self.fd)


class SlowLogMixin:
    """Device.log() and the slow form of acquire() (see the module)."""

    def log(self, channels, every, count=None, average=1, out=None, overwrite=False,
            compress=False, range_id=None):
        """Host-timed slow logging: yields a LogRow (time_s, values) every
        `every` seconds, `count` rows (None: until the consumer stops
        iterating, or Ctrl-C), each the mean of `average` frames read back
        to back. `channels` and `range_id` as for stream() (names,
        "AI-0:10mV", a single name); no acquisition may run meanwhile.

        Rows are due at start + k * every by the host's monotonic clock;
        when reading takes longer than `every`, the ticks passed are skipped
        (time_s shows it). The wait between rows is a plain sleep: Ctrl-C
        lands at once.

        `out` (a .csv file, or .h5/.hdf5 for HDF5, compressed with
        compress=True) receives every row as it comes, in the layout of the
        data files; an existing file is refused unless overwrite=True,
        before the device is touched. Whatever ends the log (the count, a
        break, an error, Ctrl-C) the file ends with its trailer; a full
        disk raises OSError naming the file, after cutting it back to its
        last complete row. `self.log_clipped` counts the clipped samples
        per channel (every frame of an averaged row counts)."""
        every = _check_every(every)
        count = check_whole(count, "count")
        average = check_whole(average, "average")
        record = Record(self, channel_list(self, channels, range_id), 1.0 / every)
        if out is not None:
            files.check_target(out, overwrite)
        return self._log(record, every, count, average, out, overwrite, compress)

    def _log(self, record, every, count, average, out, overwrite, compress):
        self._prepare_channels(record, stacklevel=4)
        columns = Columns(record.chans)
        self.log_clipped = record.clipped
        record.start_time = start_time_text()
        writer = _LogFile(out, record.acquisition([]), overwrite, compress) if out else None
        failed = False
        start = time.monotonic()
        try:
            tick, rows = 0, 0
            while count is None or rows < count:
                pause = start + tick * every - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
                taken = time.monotonic() - start
                row = self._log_row(record, columns, average)
                if writer is not None:
                    try:
                        writer.append(taken, row, record.clipped)
                    except OSError:
                        failed = True
                        raise
                rows += 1
                yield LogRow(taken, row)
                # The next tick still ahead (ticks passed while reading are skipped).
                tick = max(tick + 1, int((time.monotonic() - start) // every) + 1)
        finally:
            if writer is not None:
                writer.close(record.clipped, failed)

    def _log_row(self, record, columns, average):
        records = [self.read_frame() for _ in range(average)]
        if np is not None:
            block = columns(np.stack([v for v, _ in records]), np.stack([p for _, p in records]),
                            average)
        else:
            block = columns([v for v, _ in records], [p for _, p in records], average)
        counts = record.count_clipped(block)
        record.clipped[:] = [a + b for a, b in zip(record.clipped, counts)]
        row = []
        for j, c in enumerate(record.chans):
            column = [r[j] for r in block]
            # The mean of float32 samples, as a float32 like every sample.
            row.append(to_float32(math.fsum(column) / len(column)) if c.analog else column[-1])
        return row

    def _acquire_log(self, channels, every, count, average, range_id):
        """acquire(every=...): the rows of a slow log as an Acquisition; an
        exception that ends it carries the rows collected so far."""
        every = _check_every(every)
        average = check_whole(average, "average")
        record = Record(self, channel_list(self, channels, range_id), 1.0 / every)
        rows = []
        gen = self._log(record, every, count, average, None, False, False)

        def collected():
            data = [r.values for r in rows]
            times = [r.time_s for r in rows]
            if np is not None:
                data = np.array(data, dtype=np.float64).reshape(len(rows), record.width)
                times = np.array(times, dtype=np.float64)
            return record.acquisition([(data, times)])

        try:
            for row in gen:
                rows.append(row)
        except BaseException as e:
            e.acquisition = collected()
            raise
        finally:
            gen.close()
        return collected()
