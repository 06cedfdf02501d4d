"""stream() and acquire() of a Device: continuous acquisition in blocks,
with triggers, uniform blocks, restarts on overrun and marked gaps.

The waits happen in Python between short non-blocking library calls, as for
the blocking reads (module blocking).
"""

import ctypes
import sys
import time
import warnings
import weakref

from . import constants as C
from . import errors
from ._library import call
from .acquisition import ANALOG_UNIT, RAW_UNIT, Acquisition, start_time_text
from .blocking import (SLICE_S, BlockingMixin, _concat, _default_wait_s, _seconds_text, _timeout,
                       _Wait)

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

# Shortest wait for frames after a restart on overrun (unless the caller's
# timeout is longer): restarts at rates the host barely keeps up with may
# overrun again several times before they deliver.
RESTART_WAIT_S = 10.0

TRIGGERS = (None, "start", "sample")
TRIGGER_CONFIGS = {
    "in-a": C.TRIGGER_CONFIG_IN_A,
    "in-b": C.TRIGGER_CONFIG_IN_B,
    "in-c": C.TRIGGER_CONFIG_IN_C,
}


class _Columns:
    """Frame records (the family's slot layout) to one column per channel,
    vectorised: one fancy-indexed copy per kind of slot and block."""

    def __init__(self, chans):
        self.width = len(chans)
        self.analog = [(j, c.slot) for j, c in enumerate(chans) if c.analog]
        self.ports = [(j, c.slot) for j, c in enumerate(chans) if not c.analog]
        if np is not None:
            self.a_cols = np.array([j for j, _ in self.analog], np.intp)
            self.a_slots = np.array([s for _, s in self.analog], np.intp)
            self.p_cols = np.array([j for j, _ in self.ports], np.intp)
            self.p_slots = np.array([s for _, s in self.ports], np.intp)

    def __call__(self, values, ports, n):
        if np is not None:
            out = np.empty((n, self.width), np.float64)
            if self.analog:
                out[:, self.a_cols] = values[:n, self.a_slots]
            if self.ports:
                out[:, self.p_cols] = ports[:n, self.p_slots]
            return out
        rows = []
        for f in range(n):
            row = [0.0] * self.width
            v, p = values[f], ports[f]
            for j, s in self.analog:
                row[j] = v[s]
            for j, s in self.ports:
                row[j] = p[s]
            rows.append(row)
        return rows



class _Run:
    """One acquisition of stream()/acquire(): its settings, then what came of
    it (rate, gaps, start time), shared with the caller."""

    def __init__(self, device, channels, rate, frames, seconds, range_id, on_overrun, timeout,
                 trigger, trigger_config):
        if on_overrun not in ("raise", "restart"):
            raise ValueError("on_overrun must be 'raise' or 'restart'")
        if trigger not in TRIGGERS:
            raise ValueError("trigger must be None, 'start' or 'sample', not %r" % (trigger,))
        if trigger == "sample":
            if rate is not None and rate != C.FRAME_SAMPLE_TRIGGER:
                raise ValueError("trigger='sample' takes one frame per trigger event: "
                                 "give no rate")
            if seconds is not None and frames is None:
                raise ValueError("trigger='sample' has no frame rate to turn seconds into "
                                 "frames: give frames")
        else:
            if rate is None:
                raise ValueError("give the frame rate in Hz (or trigger='sample')")
            if rate < 0:
                raise errors.InvalidArgumentError(
                    "The frame rate must be >= 1 Hz, not %g; for one frame per trigger event "
                    "use trigger=\"sample\"." % rate, C.ERROR_CLASS_INVALID_ARGUMENT)
        if trigger is None and trigger_config is not None:
            raise ValueError("trigger_config applies only with trigger='start' or 'sample'")
        if trigger == "start" and on_overrun == "restart":
            raise ValueError("on_overrun='restart' cannot be combined with trigger='start': the "
                             "restarted acquisition would wait for another trigger")
        if frames is not None:
            if isinstance(frames, bool) or int(frames) != frames or frames < 1:
                raise ValueError("frames must be a whole number >= 1, not %r" % (frames,))
            frames = int(frames)
        if seconds is not None and not seconds > 0:
            raise ValueError("seconds must be > 0")
        self.trigger_config = self._trigger_config(trigger_config)
        self.timeout = _timeout(timeout)
        self.no_limit = timeout is not None and self.timeout is None
        self.device = device
        self.chans = device.channels(channels)
        if not self.chans:
            raise errors.InvalidArgumentError("At least one input must be specified.",
                                              C.ERROR_CLASS_INVALID_ARGUMENT)
        self.rate, self.frames, self.seconds = rate, frames, seconds
        self.range_id, self.on_overrun, self.trigger = range_id, on_overrun, trigger
        # Filled while it runs.
        self.device_rate = None
        self.start_time = None
        self.gaps = []
        self.overruns = 0
        self.ranges = None
        self.active = False  # its acquisition runs
        self.ended = False  # stopped from outside while suspended

    @staticmethod
    def _trigger_config(config):
        if config is None or isinstance(config, int):
            if config is not None and config not in TRIGGER_CONFIGS.values():
                raise ValueError("trigger_config must be an input configuration: 'in-a', "
                                 "'in-b', 'in-c' or TRIGGER_CONFIG_IN_A..C")
            return config
        key = str(config).lower()
        if key not in TRIGGER_CONFIGS:
            raise ValueError("trigger_config must be 'in-a', 'in-b' or 'in-c', not %r" % config)
        return TRIGGER_CONFIGS[key]

    def wait_limit(self, first):
        """Longest wait for the next frame: the caller's timeout, else 10 s
        (the library's stall limit) while a trigger is awaited, else
        max(2 s, 20 frame periods)."""
        if self.timeout is not None or self.no_limit:
            return self.timeout
        if self.trigger == "sample" or (self.trigger == "start" and first):
            return _default_wait_s()
        return max(2.0, 20.0 / self.device_rate)

    def timeout_message(self, limit, delivered):
        if self.trigger == "start" and delivered == 0:
            return ("No trigger within %s: the acquisition waits for an edge on the trigger "
                    "line." % _seconds_text(limit))
        if self.trigger == "sample":
            return ("No frame within %s: under the frame sample trigger every frame waits for "
                    "an event on the trigger line (%d frames so far)." %
                    (_seconds_text(limit), delivered))
        restarts = " and %d restart(s) on overrun" % self.overruns if self.overruns else ""
        return "The device delivered no frame for %s (%d frames so far%s)." % (
            _seconds_text(limit), delivered, restarts)


class StreamingMixin(BlockingMixin):
    """stream() and acquire() (see the module), over the waiting reads."""

    # ---- state the streams share --------------------------------------------
    def _init_streaming(self):
        self._init_blocking()
        self._streams = weakref.WeakKeyDictionary()  # stream generator -> its _Run
        self.stream_rate = None
        self.stream_overruns = 0
        self.stream_gaps = []

    def _end_suspended_streams(self):
        """Stops the acquisition of a stream of this device that is suspended
        with its acquisition running (a loop left by an exception whose
        traceback is kept, a generator still referenced elsewhere). Resuming
        that stream raises LogicError. Returns whether one was ended."""
        ended = False
        for gen, run in list(self._streams.items()):
            if run.active and not run.ended and gen.gi_frame is not None and not gen.gi_running:
                run.ended = True
                ended = True
        if ended:
            call("QeloMsrStopDataAcquisition", self.handle)
            self._acquisition = None
        return ended

    # ---- streaming ----------------------------------------------------------
    def stream(self, channels, rate=None, frames=None, seconds=None, range_id=None,
               on_overrun="raise", timeout=None, block=None, trigger=None, trigger_config=None,
               stall_timeout=None):
        """Acquires continuously and yields blocks of frames.

        Each block has one row per frame and one column per channel, in the
        order given: volts for analog inputs, raw values for ports, counter and
        trigger (numpy float64 arrays; lists of rows without numpy). Without
        `block`, a block is what one read returned: up to the family's
        per-read limit (4096 bytes of frames, Rix 2048) and at least one
        frame. With `block=N` every block has exactly N frames, the last one
        possibly fewer.

        Ends after `frames` frames or `seconds` seconds of frames at the
        device's rate, or runs until the consumer stops iterating when both
        are None. Leaving the loop early, closing the generator or letting it
        be collected stops the acquisition, as does starting another
        acquisition on the device while this stream is suspended.

        `trigger`: None starts at once; "start" starts on an edge of the
        trigger line (no frame before it, frames at `rate` after it);
        "sample" takes one frame per event on the trigger line (no `rate`;
        `frames` instead of `seconds`). `trigger_config` selects the input
        configuration for it ("in-a", "in-b", "in-c" or
        TRIGGER_CONFIG_IN_A..C; default: the device's current one). On a Rix
        the trigger is enabled for the stream.

        `timeout` is the longest wait in seconds for the next frame, also the
        first one (math.inf: no limit); then TimeoutError (a DeviceError and
        a built-in TimeoutError). Default: max(2 s, 20 frame periods); 10 s
        (or QELOMSR_BLOCKING_TIMEOUT_MS) while waiting for a trigger.
        `stall_timeout` is the former name of `timeout`.

        An overrun of the device buffer raises BufferOverflowError; with
        on_overrun="restart" the acquisition restarts instead, with a
        RuntimeWarning; `self.stream_gaps` then lists the row indexes before
        which frames were lost (see Acquisition.time for the time across a
        gap). `self.stream_rate` is the rate the device runs at (-1 under the
        frame sample trigger).
        """
        if block is not None and (isinstance(block, bool) or not isinstance(block, int) or
                                  block < 1):
            raise ValueError("block must be a whole number of frames >= 1")
        if timeout is None:
            timeout = stall_timeout
        run = _Run(self, channels, rate, frames, seconds, range_id, on_overrun, timeout, trigger,
                   trigger_config)
        gen = self._blocks(self._run(run), block, len(run.chans))
        self._streams[gen] = run
        return gen

    @staticmethod
    def _blocks(inner, block, width):
        try:
            if block is None:
                for data, _ in inner:
                    yield data
                return
            parts, held = [], 0
            for data, _ in inner:
                parts.append(data)
                held += len(data)
                if held < block:
                    continue
                joined = _concat(parts, width)
                whole = held // block * block
                for i in range(0, whole, block):
                    yield joined[i:i + block]
                parts = [joined[whole:]] if held > whole else []
                held -= whole
            if held:
                yield _concat(parts, width)
        finally:
            inner.close()

    def _setup_run(self, run):
        chans = run.chans
        if run.range_id is not None:
            for c in chans:
                if c.analog:
                    self.set_analog_input_parameters(c.id, run.range_id)
        self.setup_input_frame([c.id for c in chans])
        run.ranges = []
        for c in chans:
            if c.analog:
                range_id, _ = self.get_analog_input_parameters(c.id)
                run.ranges.append(tuple(float(x) for x in self.get_range_min_max(c.id, range_id)))
            else:
                run.ranges.append(None)
        enabled_here = False
        if run.trigger is not None:
            if run.trigger_config is not None:
                self.set_trigger_config(run.trigger_config)
            if self._family().name == "Rix" and not self.get_trigger_enable():
                self.set_trigger_enable(True)
                enabled_here = True
        return enabled_here

    def _start_run(self, run):
        if run.trigger == "sample":
            return self.start_data_acquisition(C.FRAME_SAMPLE_TRIGGER)
        return self.start_data_acquisition(run.rate, external=run.trigger == "start")

    def _run(self, run):
        """Generator of (block, time of its first row) for one acquisition."""
        self.stream_rate = None  # set once the acquisition runs
        enabled_here = self._setup_run(run)
        fam = self._family()
        words = sum(c.words for c in run.chans)
        per_call = fam.read_limit_bytes // (2 * words)
        capacity = self.calculate_max_buffered_input_frames()
        values, ports = self._frame_arrays(per_call)
        pointers = self._pointers(values, ports)
        if np is None:
            v_slots, p_slots = fam.value_slots, fam.port_slots
        columns = _Columns(run.chans)
        self.stream_overruns, self.stream_gaps = 0, run.gaps
        try:
            # Marked before the start: an interrupt right after the library
            # started the acquisition must still stop it (a stop without an
            # acquisition touches nothing).
            run.active = True
            device_rate = self._start_run(run)
            start = time.monotonic()
            run.start_time = start_time_text()
            timed = run.trigger != "sample"
            run.device_rate = device_rate if timed and device_rate >= 1 else (
                float(run.rate) if timed else C.FRAME_SAMPLE_TRIGGER)
            self.stream_rate = run.device_rate
            target = run.frames
            if target is None and run.seconds is not None:
                target = max(1, int(round(run.seconds * run.device_rate)))
            if timed:
                pause = min(max(0.5 * min(per_call, 0.1 * capacity) / run.device_rate, 0.0005),
                            SLICE_S)
            else:
                pause = SLICE_S / 2
            wait = _Wait(run.wait_limit(True))
            waiting_for_first = True
            delivered, segment_rows, segment_start = 0, 0, 0.0
            n = ctypes.c_int(0)
            while target is None or delivered < target:
                try:
                    call("QeloMsrReadNonBlocking", self.handle, *pointers, ctypes.byref(n))
                except errors.BufferOverflowError:
                    run.overruns += 1
                    self.stream_overruns = run.overruns
                    if run.on_overrun == "raise":
                        raise
                    warnings.warn("overrun after %d frames: frames lost, acquisition restarted" %
                                  delivered, RuntimeWarning, stacklevel=3)
                    self.stop_data_acquisition()
                    self._start_run(run)
                    if not run.gaps or run.gaps[-1] != delivered:
                        run.gaps.append(delivered)
                    # The device ran on without delivering until the restart.
                    segment_start = time.monotonic() - start
                    segment_rows = 0
                    # A restart delivers only when the host wins the race
                    # against a nearly full buffer: by default it gets 10 s.
                    if (run.timeout is None and wait.limit is not None and
                            wait.limit < RESTART_WAIT_S):
                        wait.limit = RESTART_WAIT_S
                        waiting_for_first = True
                    continue
                got = n.value
                if got:
                    take = got if target is None else min(got, target - delivered)
                    if np is not None:
                        data = columns(values, ports, take)
                    else:
                        data = columns(
                            [values[i * v_slots:(i + 1) * v_slots] for i in range(take)],
                            [ports[i * p_slots:(i + 1) * p_slots] for i in range(take)], take)
                    if timed:
                        first = segment_start + segment_rows / run.device_rate
                    else:
                        first = time.monotonic() - start
                    segment_rows += got
                    delivered += take
                    if waiting_for_first:
                        waiting_for_first = False
                        wait = _Wait(run.wait_limit(False))
                    wait.progress()
                    yield data, first
                    if run.ended:
                        raise errors.LogicError(
                            "The stream was stopped while it was suspended: another operation "
                            "on %s needed its acquisition stopped." % self.identifier,
                            C.ERROR_CLASS_LOGIC)
                elif wait.expired():
                    raise errors.TimeoutError(run.timeout_message(wait.limit, delivered))
                if got < per_call:
                    time.sleep(pause)
        finally:
            self._finish_run(run, enabled_here)

    def _finish_run(self, run, enabled_here):
        was_active, run.active = run.active, False
        if run.ended:
            return  # stopped already; the device may run another acquisition by now
        # A failure to stop must not hide the error that ended the stream.
        failing = sys.exc_info()[0] is not None
        try:
            if was_active:
                self.stop_data_acquisition()
            if enabled_here:
                self.set_trigger_enable(False)
        except errors.QeloMsrError:
            if not failing:
                raise

    def acquire(self, channels, rate=None, frames=None, seconds=None, range_id=None,
                on_overrun="raise", timeout=None, trigger=None, trigger_config=None):
        """A finite acquisition collected into an Acquisition (see stream()
        for the arguments): data, time (with the gaps of a restarted
        acquisition), the device's rate, and the metadata the data files
        carry."""
        if frames is None and seconds is None:
            raise ValueError("give frames or seconds")
        run = _Run(self, channels, rate, frames, seconds, range_id, on_overrun, timeout, trigger,
                   trigger_config)
        gen = self._run(run)
        self._streams[gen] = run
        blocks, times = [], []
        try:
            for data, first in gen:
                blocks.append(data)
                times.append((first, len(data)))
        finally:
            gen.close()
        width = len(run.chans)
        data = _concat(blocks, width)
        timed = run.trigger != "sample"
        if np is not None:
            parts = [first + np.arange(k) / run.device_rate if timed else np.full(k, first)
                     for first, k in times]
            time_s = np.concatenate(parts) if parts else np.empty(0)
        else:
            time_s = [first + (i / run.device_rate if timed else 0.0)
                      for first, k in times for i in range(k)]
        return Acquisition([c.name for c in run.chans],
                           [ANALOG_UNIT if c.analog else RAW_UNIT for c in run.chans],
                           run.device_rate, data, overruns=run.overruns, time=time_s,
                           gaps=run.gaps, device=self.identifier, serial=self.serial_number,
                           firmware=self.info.firmware, ranges=run.ranges,
                           start_time=run.start_time)
