"""One acquisition of stream(), acquire() or log(): its settings, checked
before the device is touched, and what came of it (the rate the device ran
at, start time, gaps, clip counts, the time of every row), from which
partial or complete Acquisitions are made.

Time of a row: within a run of frames, first + k / rate in double (k counts
the rows since that run began). After a gap the device went on without
delivering until the restart; the library does not know how many frames it
dropped, so the new run begins at the host time of the restart, and never
earlier than one frame period after the last row (time never runs
backwards). Under the frame sample trigger every row has the host time at
which its read returned.
"""

from . import constants as C
from . import errors
from .acquisition import ANALOG_UNIT, RAW_UNIT, Acquisition
from .blocking import _default_wait_s, _seconds_text, _timeout

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

TRIGGERS = (None, "start", "sample")
TRIGGER_CONFIGS = {
    "in-a": C.TRIGGER_CONFIG_IN_A,
    "in-b": C.TRIGGER_CONFIG_IN_B,
    "in-c": C.TRIGGER_CONFIG_IN_C,
}


def concat(chunks, width):
    if np is not None:
        return np.concatenate(chunks) if chunks else np.empty((0, width))
    return [row for chunk in chunks for row in chunk]


class Columns:
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
        """`values`, `ports`: records as numpy arrays, or (without numpy)
        lists of n records each."""
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


def channel_list(device, channels, range_id=None):
    """The Channel records of a channel list; `range_id` goes to every
    analog input that names no range of its own."""
    chans = device.channels(channels)
    if range_id is not None:
        chans = [c._replace(range_id=device.range_id(c.id, range_id))
                 if c.analog and c.range_id is None else c for c in chans]
    return chans


def check_whole(value, name):
    """None, or a whole number >= 1."""
    if value is None:
        return None
    if isinstance(value, bool) or int(value) != value or value < 1:
        raise ValueError("%s must be a whole number >= 1, not %r" % (name, value))
    return int(value)


class Record:
    """What came of one acquisition or log: the rate, start time, gaps, clip
    counts and calibration of its channels (filled while it runs), and the
    Acquisitions made of its rows."""

    def __init__(self, device, chans, rate=None):
        if not chans:
            raise errors.InvalidArgumentError("At least one input must be specified.",
                                              C.ERROR_CLASS_INVALID_ARGUMENT)
        self.device = device
        self.chans = chans
        self.width = len(chans)
        self.device_rate = rate
        self.start_time = None
        self.gaps = []
        self.overruns = 0
        self.ranges = None
        self.range_names = None
        self.serial = None
        self.scales = None  # InputScale per column, None for ports, counter, trigger
        self.clipped = [0] * self.width
        self.last_time = None  # time of the last row delivered
        self.unconsumed = []  # (block, times) read but not handed on when it ended

    def count_clipped(self, data):
        """Clipped samples per column of a block."""
        counts = [0] * self.width
        for j, scale in enumerate(self.scales or ()):
            if scale is not None:
                column = data[:, j] if np is not None else [row[j] for row in data]
                counts[j] = scale.count_clipped(column)
        return counts

    def acquisition(self, blocks, first_row=0):
        """An Acquisition of delivered blocks ((data, times) pairs) whose
        first row is row `first_row` of the run; its gaps and clip counts
        are those of these rows."""
        data = concat([b for b, _ in blocks], self.width)
        if np is not None:
            times = np.concatenate([t for _, t in blocks]) if blocks else np.empty(0)
        else:
            times = [t for _, ts in blocks for t in ts]
        rows = len(data)
        gaps = [g - first_row for g in self.gaps if first_row <= g <= first_row + rows]
        clipped = [0] * self.width
        for b, _ in blocks:
            clipped = [a + c for a, c in zip(clipped, self.count_clipped(b))]
        # Complete also when an interrupt came while the channels were set up.
        scales = list(self.scales or []) + [None] * (self.width - len(self.scales or []))
        ranges = list(self.ranges or []) + [None] * (self.width - len(self.ranges or []))
        d = self.device
        return Acquisition(
            [c.name for c in self.chans], [ANALOG_UNIT if c.analog else RAW_UNIT
                                           for c in self.chans],
            self.device_rate, data, overruns=self.overruns, time=times, gaps=gaps,
            device=d.identifier, serial=self.serial, firmware=d.info.firmware,
            ranges=ranges, start_time=self.start_time, family=d._family().name,
            calibrated=[s.calibrated if s is not None else True for s in scales],
            clipped=clipped, devices=[d.identifier] * self.width)


class Run(Record):
    """One acquisition of stream() or acquire(): its settings, then what
    came of it (see the module)."""

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
        frames = check_whole(frames, "frames")
        if seconds is not None and not seconds > 0:
            raise ValueError("seconds must be > 0")
        self.trigger_config = self._trigger_config(trigger_config)
        self.timeout = _timeout(timeout)
        self.no_limit = timeout is not None and self.timeout is None
        super().__init__(device, channel_list(device, channels, range_id))
        self.rate, self.frames, self.seconds = rate, frames, seconds
        self.on_overrun, self.trigger = on_overrun, trigger
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

    @property
    def timed(self):
        return self.trigger != "sample"

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

    # ---- what came of it ---------------------------------------------------
    def row_times(self, t0, i0, k):
        """Times of k rows: t0 + (i0 + i) / rate, or the host time t0 of
        their read under the frame sample trigger."""
        if self.timed:
            if np is not None:
                return t0 + (i0 + np.arange(k)) / float(self.device_rate)
            return [t0 + (i0 + i) / float(self.device_rate) for i in range(k)]
        return np.full(k, t0) if np is not None else [t0] * k

    def gap_start(self, host_elapsed):
        """Where the run after a gap begins: the host time of the restart,
        never earlier than one period after the last row."""
        if self.last_time is None:
            return host_elapsed
        return max(host_elapsed, self.last_time + 1.0 / float(self.device_rate))
