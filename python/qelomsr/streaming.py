"""stream() and acquire() of a Device: continuous acquisition in blocks,
with triggers, uniform blocks, restarts on overrun with marked gaps, clip
counts, and the frames collected so far handed back with the exception that
ends an acquisition.

The waits happen in Python between short non-blocking library calls, as for
the blocking reads (module blocking). The record of one acquisition, and
the time of its rows, is module runs.
"""

import ctypes
import sys
import time
import warnings
import weakref

from . import constants as C
from . import errors
from .acquisition import start_time_text
from .blocking import SLICE_S, BlockingMixin, _Wait
from .runs import Columns, Run, check_whole, concat

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

# Shortest wait for frames after a restart on overrun (unless the caller's
# timeout is longer): restarts at rates the host barely keeps up with may
# overrun again several times before they deliver.
RESTART_WAIT_S = 10.0


def _hand_back(error, acquisition):
    """Attaches the frames collected before `error` ended an acquisition."""
    try:
        error.acquisition = acquisition
    except AttributeError:  # pragma: no cover - built-in exceptions take attributes
        pass


class StreamingMixin(BlockingMixin):
    """stream() and acquire() (see the module), over the waiting reads."""

    # ---- state the streams share --------------------------------------------
    def _init_streaming(self):
        self._init_blocking()
        self._streams = weakref.WeakKeyDictionary()  # stream generator -> its Run
        self.stream_rate = None
        self.stream_overruns = 0
        self.stream_gaps = []
        self.stream_clipped = []

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
            self._call("QeloMsrStopDataAcquisition", self.handle)
            self._acquisition = None
        return ended

    # ---- streaming ----------------------------------------------------------
    def stream(self, channels, rate=None, frames=None, seconds=None, range_id=None,
               on_overrun="raise", timeout=None, block=None, trigger=None, trigger_config=None,
               stall_timeout=None):
        """Acquires continuously and yields blocks of frames.

        `channels`: a list of channels, one channel name, or names separated
        by commas; each may carry its range ("AI-0:10mV"). `range_id` (an
        identifier or a spelling such as "1V") sets the range of the analog
        inputs that carry none.

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

        An overrun of the device buffer delivers every frame the device
        kept, then raises BufferOverflowError; with on_overrun="restart" the
        acquisition restarts instead, with a RuntimeWarning, and
        `self.stream_gaps` lists the row indexes before which frames were
        lost (one per overrun). An exception that ends the stream carries
        the frames read but not yet handed out (a block in the making) as
        `exc.acquisition`. `self.stream_rate` is the rate the device runs at
        (-1 under the frame sample trigger); `self.stream_clipped` counts
        the clipped samples per channel (a RuntimeWarning names a channel
        the first time it clips).
        """
        if block is not None and (isinstance(block, bool) or not isinstance(block, int) or
                                  block < 1):
            raise ValueError("block must be a whole number of frames >= 1")
        if timeout is None:
            timeout = stall_timeout
        run = Run(self, channels, rate, frames, seconds, range_id, on_overrun, timeout, trigger,
                  trigger_config)
        gen = self._blocks(run, self._run(run), block)
        self._streams[gen] = run
        return gen

    @staticmethod
    def _blocks(run, inner, block):
        """Blocks of `block` frames (or as read) out of the (data, times)
        pairs of _run; an exception carries what was not handed out."""
        held, handed = [], 0  # (data, times) not yet handed out; rows handed out
        try:
            for data, times in inner:
                held.append((data, times))
                rows = sum(len(d) for d, _ in held)
                if block is None:
                    held = []
                    handed += rows
                    yield data
                    continue
                if rows < block:
                    continue
                joined = concat([d for d, _ in held], run.width)
                joined_times = (np.concatenate([t for _, t in held]) if np is not None else
                                [x for _, t in held for x in t])
                whole = rows // block * block
                held = [(joined[whole:], joined_times[whole:])] if rows > whole else []
                for i in range(0, whole, block):
                    handed += block
                    yield joined[i:i + block]
            if held:
                data = concat([d for d, _ in held], run.width)
                held = []
                yield data
        except BaseException as e:
            _hand_back(e, run.acquisition(held + run.unconsumed, first_row=handed))
            raise
        finally:
            inner.close()

    def _setup_run(self, run):
        self._prepare_channels(run)
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

    def _note_clipped(self, run, data):
        counts = run.count_clipped(data)
        for j, k in enumerate(counts):
            if k and not run.clipped[j]:
                c = run.chans[j]
                warnings.warn("%s of %s reads at the end of its converter's scale in the %s "
                              "range: clipped samples, the input may lie beyond; the "
                              "acquisition counts them" % (c.name, self.identifier,
                                                           run.range_names[j]),
                              RuntimeWarning, stacklevel=4)
            run.clipped[j] += k

    def _run(self, run):
        """Generator of (block, times of its rows) for one acquisition."""
        self.stream_rate = None  # set once the acquisition runs
        enabled_here = self._setup_run(run)
        fam = self._family()
        words = sum(c.words for c in run.chans)
        per_call = fam.read_limit_bytes // (2 * words)
        capacity = self.calculate_max_buffered_input_frames()
        values, ports = self._frame_arrays(per_call)
        pointers = self._pointers(values, ports)
        columns = Columns(run.chans)
        self.stream_overruns, self.stream_gaps, self.stream_clipped = 0, run.gaps, run.clipped
        n = ctypes.c_int(0)
        start, delivered, segment_rows, segment_start = None, 0, 0, 0.0
        try:
            # Marked before the start: an interrupt right after the library
            # started the acquisition must still stop it (a stop without an
            # acquisition touches nothing).
            run.active = True
            device_rate = self._start_run(run)
            start = time.monotonic()
            run.start_time = start_time_text()
            run.device_rate = device_rate if run.timed and device_rate >= 1 else (
                float(run.rate) if run.timed else C.FRAME_SAMPLE_TRIGGER)
            self.stream_rate = run.device_rate
            target = run.frames
            if target is None and run.seconds is not None:
                target = max(1, int(round(run.seconds * run.device_rate)))
            if run.timed:
                pause = min(max(0.5 * min(per_call, 0.1 * capacity) / run.device_rate, 0.0005),
                            SLICE_S)
            else:
                pause = SLICE_S / 2
            wait = _Wait(run.wait_limit(True))
            waiting_for_first = True
            while target is None or delivered < target:
                n.value = 0
                try:
                    self._call("QeloMsrReadNonBlocking", self.handle, *pointers, ctypes.byref(n))
                except errors.BufferOverflowError:
                    # Every frame the device kept came before this error: the
                    # gap lies exactly here.
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
                    segment_start = run.gap_start(time.monotonic() - start)
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
                    data = self._columns_of(columns, values, ports, take)
                    if run.timed:
                        times = run.row_times(segment_start, segment_rows, take)
                    else:
                        times = run.row_times(time.monotonic() - start, 0, take)
                    segment_rows += got
                    delivered += take
                    run.last_time = float(times[-1])
                    self._note_clipped(run, data)
                    if waiting_for_first:
                        waiting_for_first = False
                        wait = _Wait(run.wait_limit(False))
                    wait.progress()
                    n.value = 0  # handed on now
                    yield data, times
                    if run.ended:
                        raise errors.LogicError(
                            "The stream was stopped while it was suspended: another operation "
                            "on %s needed its acquisition stopped." % self.identifier,
                            C.ERROR_CLASS_LOGIC)
                elif wait.expired():
                    raise errors.TimeoutError(run.timeout_message(wait.limit, delivered))
                if got < per_call:
                    time.sleep(pause)
        except BaseException:
            self._keep_unconsumed(run, columns, values, ports, n.value, segment_start,
                                  segment_rows, start)
            raise
        finally:
            self._finish_run(run, enabled_here)

    def _columns_of(self, columns, values, ports, take):
        if np is not None:
            return columns(values, ports, take)
        fam = self._family()
        v, p = fam.value_slots, fam.port_slots
        return columns([values[i * v:(i + 1) * v] for i in range(take)],
                       [ports[i * p:(i + 1) * p] for i in range(take)], take)

    def _keep_unconsumed(self, run, columns, values, ports, got, segment_start, segment_rows,
                         start):
        """Frames a read fetched when an interrupt landed before they were
        handed on: kept for the exception's acquisition."""
        if not got or start is None:
            return
        data = self._columns_of(columns, values, ports, got)
        if run.timed:
            times = run.row_times(segment_start, segment_rows, got)
        else:
            times = run.row_times(time.monotonic() - start, 0, got)
        run.unconsumed = [(data, times)]

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
                on_overrun="raise", timeout=None, trigger=None, trigger_config=None,
                every=None, average=1):
        """A finite acquisition collected into an Acquisition (see stream()
        for the arguments): data, time (with the gaps of a restarted
        acquisition), the device's rate, clip counts, which channels are
        calibrated, and the metadata the data files carry.

        With `every` (seconds) instead of `rate` it is a slow log (see
        log()): `frames` host-timed rows, or as many as `seconds` holds,
        each the mean of `average` frames.

        An exception that ends it early (BufferOverflowError, TimeoutError,
        KeyboardInterrupt, a device error) carries every frame collected
        before it, with its gaps, as `exc.acquisition`."""
        if frames is None and seconds is None:
            raise ValueError("give frames or seconds")
        if every is not None:
            if (rate, trigger, trigger_config, on_overrun, timeout) != (None, None, None,
                                                                        "raise", None):
                raise ValueError("every= reads single frames on the host's clock: it takes no "
                                 "rate, trigger, on_overrun or timeout")
            count = check_whole(frames, "frames")
            if count is None:
                if not seconds > 0:
                    raise ValueError("seconds must be > 0")
                count = max(1, int(seconds // float(every)))
            return self._acquire_log(channels, every, count, average, range_id)
        run = Run(self, channels, rate, frames, seconds, range_id, on_overrun, timeout, trigger,
                  trigger_config)
        gen = self._run(run)
        self._streams[gen] = run
        blocks = []
        try:
            for data, times in gen:
                blocks.append((data, times))
        except BaseException as e:
            _hand_back(e, run.acquisition(blocks + run.unconsumed))
            raise
        finally:
            gen.close()
        return run.acquisition(blocks)
