"""Waiting reads and writes of a Device: read_blocking, read_non_blocking
and write_blocking, with timeouts and frames kept across reads.

Every wait happens in Python, in slices of at most SLICE_S seconds between
short library calls (non-blocking reads and writes): the library holds its
call lock only for one such call, so other threads and devices go on, and
KeyboardInterrupt lands at once. The library's own blocking functions would
hold the lock, and keep Ctrl-C out, for the whole wait.
"""

import ctypes
import math
import os
import time

from . import constants as C
from . import errors

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

# Longest sleep between two polls of the device.
SLICE_S = 0.02

# Wait for a frame when the caller gives no timeout, as the library's stall
# limit: QELOMSR_BLOCKING_TIMEOUT_MS (0: no limit) or 10 s.
DEFAULT_WAIT_MS = 10000
BLOCKING_TIMEOUT_ENV = "QELOMSR_BLOCKING_TIMEOUT_MS"


def _default_wait_s(period_s=None):
    """The library's stall limit in seconds (None: no limit), never shorter
    than 100 frame periods of the running acquisition."""
    raw = os.environ.get(BLOCKING_TIMEOUT_ENV, "")
    try:
        ms = int(raw) if raw.strip() else DEFAULT_WAIT_MS
    except ValueError:
        ms = DEFAULT_WAIT_MS
    if ms == 0:
        return None
    if ms < 0:
        ms = DEFAULT_WAIT_MS
    limit = ms / 1000.0
    return max(limit, 100.0 * period_s) if period_s else limit


def _timeout(timeout, name="timeout"):
    """A caller's timeout in seconds: None stays None (the call's default),
    math.inf means no limit."""
    if timeout is None:
        return None
    try:
        value = float(timeout)
    except (TypeError, ValueError):
        raise ValueError("%s must be a number of seconds, not %r" % (name, timeout)) from None
    if not value > 0:
        raise ValueError("%s must be > 0 seconds (math.inf: no limit), not %r" % (name, timeout))
    return None if math.isinf(value) else value


def _seconds_text(seconds):
    return "%g s" % seconds


class _Wait:
    """How long since the last progress; `limit` None waits without end."""

    def __init__(self, limit):
        self.limit = limit
        self.last = time.monotonic()

    def progress(self):
        self.last = time.monotonic()

    def expired(self):
        return self.limit is not None and time.monotonic() - self.last > self.limit


class _AcquisitionState:
    """What the package knows of the acquisition it started on a device."""

    def __init__(self, rate, frame_count):
        self.period_s = 1.0 / rate if rate and rate >= 1 else None
        self.frame_count = frame_count
        self.delivered = 0


def _concat(chunks, width):
    if np is not None:
        return np.concatenate(chunks) if chunks else np.empty((0, width))
    return [row for chunk in chunks for row in chunk]


class BlockingMixin:
    """Reads and writes that wait (see the module)."""

    # ---- state the waiting calls share ------------------------------------
    def _init_blocking(self):
        self._pending = None  # frames read but not yet returned: (values, ports)
        self._acquisition = None  # _AcquisitionState of the running acquisition

    def _forget_frames(self):
        self._pending = None

    def _unread(self, values, ports):
        """Puts records back in front of the pending ones."""
        if not len(values):
            return
        if self._pending is not None:
            pv, pp = self._pending
            if np is not None:
                values, ports = np.concatenate([values, pv]), np.concatenate([ports, pp])
            else:
                values, ports = list(values) + list(pv), list(ports) + list(pp)
        self._pending = (values, ports)

    # ---- reads --------------------------------------------------------------
    def read_non_blocking(self):
        """The frames buffered now, as (values, ports) records (possibly none);
        frames a blocking read left over come first."""
        if self._pending is not None:
            pending, self._pending = self._pending, None
            return pending
        if self._frames is None:
            self._frames = self._frame_arrays(self._per_call_frames())
        values, ports = self._frames
        n = ctypes.c_int(0)
        self._call("QeloMsrReadNonBlocking", self.handle, *self._pointers(values, ports),
                   ctypes.byref(n))
        if self._acquisition is not None:
            self._acquisition.delivered += n.value
        return self._records(values, ports, n.value)

    def _blocking_wait(self, count, timeout):
        """The wait of a blocking read or write of `count` frames: the
        caller's timeout, else the library's stall limit."""
        if count < 1:
            raise errors.InvalidArgumentError("Frame counter must be > 0.",
                                              C.ERROR_CLASS_INVALID_ARGUMENT)
        limit = _timeout(timeout)
        if timeout is None:
            acq = self._acquisition
            limit = _default_wait_s(acq.period_s if acq else None)
        return _Wait(limit)

    def _poll_pause(self):
        acq = self._acquisition
        if acq is None or acq.period_s is None:
            return SLICE_S / 2
        return min(max(0.5 * self._per_call_frames() * acq.period_s, 0.0005), SLICE_S)

    def read_blocking(self, frame_count, timeout=None):
        """Exactly frame_count frames as (values, ports) records.

        Waits in short slices (Ctrl-C lands at once). `timeout` is the
        longest wait in seconds for the next frame, also for the first one
        (math.inf: no limit); by default the library's stall limit (10 s or
        QELOMSR_BLOCKING_TIMEOUT_MS, at least 100 frame periods). When it runs
        out, TimeoutError; frames read until then are not lost: the next read
        returns them first. Fails at once when no acquisition was started and
        nothing is left to read, and when a finite acquisition can no longer
        deliver the frames asked for.
        """
        wait = self._blocking_wait(frame_count, timeout)
        limit = wait.limit
        got, values, ports = 0, [], []
        try:
            while got < frame_count:
                acq = self._acquisition
                if (self._pending is None and acq is not None and acq.frame_count > 0 and
                        acq.frame_count - acq.delivered < frame_count - got):
                    raise errors.DeviceError(
                        "The data acquisition ends before the requested frames arrive: %d "
                        "frames remain, %d asked for." %
                        (acq.frame_count - acq.delivered, frame_count - got),
                        C.ERROR_CLASS_RUNTIME)
                v, p = self.read_non_blocking()
                k = len(v)
                if k:
                    take = min(k, frame_count - got)
                    values.append(v[:take])
                    ports.append(p[:take])
                    if k > take:
                        self._unread(v[take:], p[take:])
                    got += take
                    wait.progress()
                    continue
                if self._acquisition is None:
                    raise errors.DeviceError("No data acquisition running.",
                                             C.ERROR_CLASS_RUNTIME)
                if wait.expired():
                    raise errors.TimeoutError(
                        "No frame within %s (%d of %d frames read; they stay for the next "
                        "read)." % (_seconds_text(limit), got, frame_count))
                time.sleep(self._poll_pause())
        except BaseException:
            if got:
                self._unread(_concat(values, 0), _concat(ports, 0))
            raise
        return _concat(values, 0), _concat(ports, 0)

    # ---- writes -------------------------------------------------------------
    def write_blocking(self, values, ports=None, timeout=None):
        """Vel: queues every frame (one analog value and a (DP-0, DP-1) pair
        per frame), waiting in short slices for room in the output buffer.

        The Vel plays queued output frames one per input frame of a running
        acquisition (start_data_acquisition paces the output; frames queued
        before the start play from its first frame); without one the buffer
        does not drain. `timeout` is the longest wait in seconds for the
        device to accept the next frame (math.inf: no limit; default: the
        library's stall limit), then TimeoutError. Returns the number of
        frames queued.
        """
        n, v, p = self._output_stream(values, ports)
        wait = self._blocking_wait(n, timeout)
        limit = wait.limit
        done, k = 0, ctypes.c_int(0)
        v_at, p_at = ctypes.addressof(v), ctypes.addressof(p)
        float_p, int_p = ctypes.POINTER(ctypes.c_float), ctypes.POINTER(ctypes.c_int)
        while done < n:
            # Frame i takes value i and the port pair 2i, 2i+1.
            self._call("QeloMsrWriteNonBlocking", self.handle,
                       ctypes.cast(v_at + done * ctypes.sizeof(ctypes.c_float), float_p),
                       ctypes.cast(p_at + 2 * done * ctypes.sizeof(ctypes.c_int), int_p),
                       n - done, ctypes.byref(k))
            done += k.value
            if k.value:
                wait.progress()
                continue
            if wait.expired():
                raise errors.TimeoutError(
                    "The device accepted no frame for %s (%d of %d queued): the Vel plays "
                    "output frames one per input frame of a running acquisition; start one to "
                    "pace the output." % (_seconds_text(limit), done, n))
            time.sleep(self._poll_pause())
        return n
