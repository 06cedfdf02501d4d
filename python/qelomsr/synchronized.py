"""Several devices on one clock: acquire_synchronized() and
stream_synchronized().

The first device of the mapping is the master: it drives its trigger line
(frame mode: out-b, toggled at every frame it takes; start mode: out-a, high
while it runs) and the others follow (frame mode: one frame at each edge,
in-c under the frame sample trigger; start mode: a start on the edge, then
their own clocks). The master's line must be wired to the others' (see
docs/usage.md, "Several devices on one clock").

Row k holds frame k of every device; a row is made only once every device
delivered its frame. An overrun of any device is one gap for all, at the row
of its first lost frame: the other devices' frames after it have no partner
and are dropped, never shifted.
"""

import ctypes
import time
import warnings

from . import constants as C
from . import errors
from .acquisition import Acquisition, start_time_text
from .blocking import SLICE_S, _seconds_text
from .runs import Columns, Run, concat
from .streaming import _hand_back

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

MODES = ("frame", "start")

# The acquisition bit of the peripheral reset mask: stopped, buffers and
# status cleared, the trigger output it drives low.
_RESET_ACQUISITION = 1 << 4


class _Member:
    """One device of a synchronised acquisition: its Run (channels, ranges,
    scales, clip counts) and the rows it delivered that wait for partners."""

    def __init__(self, device, channels, run_args):
        self.device = device
        self.run = Run(device, channels, *run_args)
        self.columns = Columns(self.run.chans)
        self.pending = []  # blocks of rows not yet in a complete row
        self.pending_rows = 0
        self.delivered = 0  # frames of the current stretch
        self.overflow_at = None
        self.overflow = None
        self.last_data = None
        self.enabled_here = False
        self.running = False

    def take(self, rows):
        joined = concat(self.pending, self.run.width)
        taken, rest = joined[:rows], joined[rows:]
        self.pending = [rest] if len(rest) else []
        self.pending_rows -= rows
        return taken


class _Synchronized:
    def __init__(self, devices, rate, frames, seconds, range_id, mode, on_overrun, timeout):
        if mode not in MODES:
            raise ValueError("mode must be 'frame' or 'start', not %r" % (mode,))
        items = list(devices.items())
        if len(items) < 2:
            raise ValueError("give the master and at least one other device")
        idents = [d.identifier for d, _ in items]
        for i, ident in enumerate(idents):
            if ident in idents[:i]:
                raise ValueError("%s is given twice" % ident)
        if not frames and not seconds:
            raise ValueError("give frames or seconds")
        run_args = (rate, frames, seconds, range_id, on_overrun, timeout, None, None)
        self.members = [_Member(d, chans, run_args) for d, chans in items]
        self.master = self.members[0]
        self.mode = mode
        self.on_overrun = on_overrun
        self.timeout = self.master.run.timeout  # None: 10 s for the edges
        self.gaps = []
        self.overruns = 0
        self.rows = 0
        self.segment_rows = 0
        self.segment_start = 0.0
        self.rate = None
        self.start_time = None
        self.target = None
        self.started = None

    # ---- setting up ----------------------------------------------------------
    def prepare(self):
        for m in self.members:
            m.device._prepare_channels(m.run)
            # The rate every device takes (the slowest decides), probed while
            # every trigger line is still an input.
            m.device.start_data_acquisition(m.run.rate)
            m.device.stop_data_acquisition()
        for m in self.members:
            if m is self.master:
                config = C.TRIGGER_CONFIG_OUT_B if self.mode == "frame" else C.TRIGGER_CONFIG_OUT_A
            else:
                config = C.TRIGGER_CONFIG_IN_C
            m.device.set_trigger_config(config)
            if m.device._family().name == "Rix" and not m.device.get_trigger_enable():
                m.device.set_trigger_enable(True)
                m.enabled_here = True

    def start(self):
        """The others first, listening; then the master. Its stopped
        acquisition is reset first, which puts its line low: a line left high
        (an odd number of frames in the rate probe or before a restart) would
        fall at its start, an edge every other device takes as a frame."""
        self.master.device.reset_peripherals(_RESET_ACQUISITION)
        now = time.monotonic()
        for m in reversed(self.members):
            m.pending, m.pending_rows, m.delivered = [], 0, 0
            m.overflow_at, m.overflow, m.last_data = None, None, now
            m.running = True
            if m is self.master:
                self.rate = m.device.start_data_acquisition(m.run.rate)
                if not self.rate >= 1:
                    self.rate = float(m.run.rate)
            elif self.mode == "frame":
                m.device.start_data_acquisition(C.FRAME_SAMPLE_TRIGGER)
            else:
                m.device.start_data_acquisition(m.run.rate, external=True)
        self.segment_rows = 0

    def stop(self, failing=False):
        for m in self.members:
            try:
                if m.running:
                    m.running = False
                    m.device.stop_data_acquisition()
                if m.enabled_here:
                    m.enabled_here = False
                    m.device.set_trigger_enable(False)
            except errors.QeloMsrError:
                if not failing:
                    raise

    # ---- running -------------------------------------------------------------
    def read(self, m, buffers, now):
        values, ports, pointers = buffers
        n = ctypes.c_int(0)
        try:
            m.device._call("QeloMsrReadNonBlocking", m.device.handle, *pointers, ctypes.byref(n))
        except errors.BufferOverflowError as e:
            # Every frame the device kept came before: its gap lies here.
            m.overflow_at, m.overflow = m.delivered, e
            return 0
        got = n.value
        if got:
            m.pending.append(m.device._columns_of(m.columns, values, ports, got))
            m.pending_rows += got
            m.delivered += got
            m.last_data = now
        return got

    def complete_rows(self, limit):
        """The next `limit` complete rows (every device's frame) and their times."""
        rows = min(limit, self.target - self.rows) if self.target else limit
        blocks = [m.take(rows) for m in self.members]
        if np is not None:
            data = np.hstack(blocks) if rows else np.empty((0, self.width))
            times = self.segment_start + (self.segment_rows + np.arange(rows)) / float(self.rate)
        else:
            data = [sum((b[i] for b in blocks), []) for i in range(rows)]
            times = [self.segment_start + (self.segment_rows + i) / float(self.rate)
                     for i in range(rows)]
        for m, b in zip(self.members, blocks):
            m.device._note_clipped(m.run, b)
        self.rows += rows
        self.segment_rows += rows
        return data, times

    @property
    def width(self):
        return sum(m.run.width for m in self.members)

    def check_idle(self, now):
        limit = self.master.run.wait_limit(False) if self.timeout is None else self.timeout
        master = self.master
        if master.overflow is None and limit is not None and now - master.last_data > limit:
            raise errors.TimeoutError(
                "The master %s delivered no frame for %s (%d rows so far)." %
                (master.device.identifier, _seconds_text(limit), self.rows), C.ERROR_CLASS_RUNTIME)
        edge_limit = 10.0 if self.timeout is None else self.timeout
        for m in self.members[1:]:
            if m.overflow is not None:
                continue
            if m.delivered >= master.delivered:
                m.last_data = now
            elif edge_limit is not None and now - m.last_data > edge_limit:
                raise errors.TimeoutError(
                    "no trigger edges from the master: %s took no frame for %s while the "
                    "master %s took %d; wire its trigger line to the master's" %
                    (m.device.identifier, _seconds_text(edge_limit), master.device.identifier,
                     master.delivered - m.delivered), C.ERROR_CLASS_RUNTIME)

    def overflowed(self):
        """The first overflow once every device delivered its frames before
        it: (rows before it, member), else None."""
        over = [m for m in self.members if m.overflow is not None]
        if not over:
            return None
        first = min(over, key=lambda m: m.overflow_at)
        if any(m.overflow is None and m.delivered < first.overflow_at for m in self.members):
            return None
        return first.overflow_at - self.segment_rows, first

    def blocks(self):
        """Generator of (data, times) of complete rows until the end."""
        buffers = {}
        for m in self.members:
            fam = m.device._family()
            words = sum(c.words for c in m.run.chans)
            values, ports = m.device._frame_arrays(fam.read_limit_bytes // (2 * words))
            buffers[id(m)] = (values, ports, m.device._pointers(values, ports))
        self.prepare()
        failing = False
        try:
            self.start()
            self.started = time.monotonic()
            self.start_time = start_time_text()
            for m in self.members:
                m.run.start_time, m.run.device_rate = self.start_time, self.rate
            run = self.master.run
            self.target = run.frames or max(1, int(round(run.seconds * self.rate)))
            while self.rows < self.target:
                now = time.monotonic()
                got = 0
                for m in self.members:
                    if m.overflow is None:
                        got += self.read(m, buffers[id(m)], now)
                settled = self.overflowed()
                if settled is not None:
                    before, first = settled
                    if before > 0:
                        yield self.complete_rows(before)
                    if self.rows >= self.target:
                        break
                    self.overruns += 1
                    self.gaps.append(self.rows)
                    if self.on_overrun == "raise":
                        raise first.overflow
                    warnings.warn("overrun of %s after %d rows: frames lost on it; every device "
                                  "restarted, the gap holds for all" %
                                  (first.device.identifier, self.rows), RuntimeWarning,
                                  stacklevel=3)
                    last = self.segment_start + (self.segment_rows - 1) / float(self.rate)
                    elapsed = time.monotonic() - self.started
                    self.stop()
                    self.prepare_restart()
                    self.start()
                    self.segment_start = max(elapsed, last + 1.0 / float(self.rate))
                    continue
                rows = min(m.pending_rows for m in self.members)
                if rows:
                    yield self.complete_rows(rows)
                self.check_idle(now)
                if not got:
                    time.sleep(SLICE_S / 4)
        except BaseException:
            failing = True
            raise
        finally:
            self.stop(failing)

    def prepare_restart(self):
        for m in self.members:
            if m.device._family().name == "Rix" and not m.device.get_trigger_enable():
                m.device.set_trigger_enable(True)
                m.enabled_here = True

    def acquisition(self, blocks):
        data = concat([b for b, _ in blocks], self.width)
        if np is not None:
            times = np.concatenate([t for _, t in blocks]) if blocks else np.empty(0)
        else:
            times = [t for _, ts in blocks for t in ts]
        names, units, devices, ranges, calibrated, clipped = [], [], [], [], [], []
        column = 0
        for m in self.members:
            part = m.run.acquisition([(_slice(b, column, m.run.width), t) for b, t in blocks])
            column += m.run.width
            names += ["%s:%s" % (m.device.identifier, c) for c in part.channels]
            units += part.units
            devices += part.devices
            ranges += part.ranges
            calibrated += part.calibrated
            clipped += part.clipped
        master = self.master.device
        return Acquisition(names, units, self.rate, data, overruns=self.overruns, time=times,
                           gaps=[g for g in self.gaps if g <= len(data)],
                           device=master.identifier, serial=self.master.run.serial,
                           firmware=master.info.firmware, ranges=ranges,
                           start_time=self.start_time, family=master._family().name,
                           calibrated=calibrated, clipped=clipped, devices=devices)


def _slice(block, first, width):
    if np is not None:
        return block[:, first:first + width]
    return [row[first:first + width] for row in block]


def stream_synchronized(devices, rate, frames=None, seconds=None, range_id=None, mode="frame",
                        on_overrun="raise", timeout=None):
    """Blocks of rows (one column per channel, the devices' columns side by
    side in the order of the mapping) of a synchronised acquisition; see
    acquire_synchronized for the arguments. An exception that ends it
    carries nothing (every block before it was handed out)."""
    sync = _Synchronized(devices, rate, frames, seconds, range_id, mode, on_overrun, timeout)
    for data, _ in sync.blocks():
        yield data


def acquire_synchronized(devices, rate, frames=None, seconds=None, range_id=None, mode="frame",
                         on_overrun="raise", timeout=None):
    """Acquires from several open devices on one clock into one Acquisition.

    `devices` maps each Device to its channels (as acquire() takes them);
    the first is the master, whose trigger line must be wired to the
    others'. `mode`: "frame" (every device's frame k at the master's frame
    k) or "start" (a common start, then each device's own clock).

    The Acquisition has one time axis (the master's frames) and one column
    per channel, named "<identifier>:<channel>", with `devices` naming each
    column's device; gaps, clip counts, calibration and files as for a
    single device. `timeout` bounds the wait for the master's frames and for
    the others' edges (default: as acquire(), and 10 s for the edges: then
    TimeoutError "no trigger edges from the master"). An exception that
    ends it early carries every complete row before it as
    `exc.acquisition`."""
    sync = _Synchronized(devices, rate, frames, seconds, range_id, mode, on_overrun, timeout)
    blocks = []
    gen = sync.blocks()
    try:
        for block in gen:
            blocks.append(block)
    except BaseException as e:
        _hand_back(e, sync.acquisition(blocks))
        raise
    finally:
        gen.close()
    return sync.acquisition(blocks)
