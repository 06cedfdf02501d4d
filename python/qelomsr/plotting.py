"""Plots an acquisition with channel names and units (matplotlib, Agg).

matplotlib is optional for the package; only this module needs it. It draws
on an Agg canvas of its own and leaves pyplot's backend alone.
"""

import numpy as np

from .acquisition import ANALOG_UNIT, Acquisition, unit_of

# Above this many rows a line is drawn as its envelope: the minimum and the
# maximum of each of ENVELOPE_BUCKETS runs of rows, which is what a screen
# of a few thousand pixels can show of it anyway, and draws in milliseconds.
ENVELOPE_BUCKETS = 2000


def _envelope(x, y):
    """x and y reduced to the minimum and maximum of each bucket of rows, in
    the order they occur (so that edges keep their direction)."""
    n = len(y)
    if n <= 4 * ENVELOPE_BUCKETS:
        return x, y
    size = -(-n // ENVELOPE_BUCKETS)
    whole = n // size * size
    blocks = y[:whole].reshape(-1, size)
    lo, hi = blocks.argmin(axis=1), blocks.argmax(axis=1)
    starts = np.arange(0, whole, size)
    first = np.minimum(lo, hi) + starts
    second = np.maximum(lo, hi) + starts
    index = np.column_stack([first, second]).reshape(-1)
    if whole < n:
        tail = y[whole:]
        index = np.concatenate([index, np.sort([whole + tail.argmin(), whole + tail.argmax()])])
    return x[index], y[index]


def _plain(data, channels, rate, units, time):
    data = np.asarray(data, dtype=np.float64)
    if data.ndim == 1:
        data = data[:, np.newaxis]
    if data.ndim != 2:
        raise ValueError("a plain array to plot needs one row per frame and one column per "
                         "channel, not shape %s" % (data.shape,))
    if channels is None:
        raise ValueError("channels (one name per column) are needed to plot a plain array")
    channels = list(channels)
    if len(channels) != data.shape[1]:
        raise ValueError("%d channel names for %d columns" % (len(channels), data.shape[1]))
    units = list(units) if units is not None else [unit_of(c) for c in channels]
    if time is None and rate is not None:
        if not rate > 0:
            raise ValueError("rate must be > 0 Hz to give a time axis")
        time = np.arange(len(data)) / float(rate)
    return data, channels, rate, units, time, []


def plot(acquisition, path=None, title=None, channels=None, rate=None, units=None, time=None):
    """Draws the channels of an acquisition over time and returns the Figure.

    `acquisition` is an Acquisition (its time axis shows its gaps as dashed
    lines), or a 2-D array such as a block of stream() (rows = frames,
    columns = channels) given with `channels` (names, required: ValueError
    without) and optionally `rate` (Hz) or `time` (seconds per row) for the
    time axis (else the axis counts frames) and `units` (default from the
    names: "V" for analog inputs, "raw" for DP-n, CNT, TRG). Analog channels
    share the upper axes; ports, counter and trigger values get a lower axes
    of their own. Long lines are drawn as their envelope (minimum and
    maximum of each of 2000 runs of rows). With `path` the figure is also
    saved (PNG, ...).
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    if isinstance(acquisition, Acquisition):
        data = np.asarray(acquisition.data, dtype=np.float64).reshape(len(acquisition),
                                                                       len(acquisition.channels))
        channels = list(channels or acquisition.channels)
        units = list(units or acquisition.units)
        rate = acquisition.rate if rate is None else rate
        if time is None:
            try:
                time = np.asarray(acquisition.time, dtype=np.float64)
            except ValueError:
                time = None
        gaps = acquisition.gaps
    else:
        data, channels, rate, units, time, gaps = _plain(acquisition, channels, rate, units, time)
    x = np.asarray(time, dtype=np.float64) if time is not None else np.arange(len(data))
    if len(x) != len(data):
        raise ValueError("%d times for %d rows" % (len(x), len(data)))
    analog = [j for j, u in enumerate(units) if u == ANALOG_UNIT]
    other = [j for j, u in enumerate(units) if u != ANALOG_UNIT]

    panels = [p for p in (analog, other) if p]
    fig = Figure(figsize=(10, 3.2 * max(len(panels), 1) + 0.6))
    FigureCanvasAgg(fig)
    axes = fig.subplots(max(len(panels), 1), 1, sharex=True, squeeze=False)[:, 0]
    for ax, columns in zip(axes, panels):
        for j in columns:
            shown = units[j] if units[j] and units[j] != "raw" else None
            label = "%s (%s)" % (channels[j], shown) if shown else channels[j]
            ax.plot(*_envelope(x, data[:, j]), label=label, linewidth=1)
        for g in gaps:
            if 0 < g < len(x):
                ax.axvline(x[g], color="grey", linestyle="--", linewidth=0.8)
        ax.set_ylabel("voltage (V)" if columns is analog else "value")
        ax.grid(True, alpha=0.3)
        ax.legend(loc="upper right", fontsize="small")
    axes[-1].set_xlabel("time (s)" if time is not None else "frame")
    if title is None:
        title = "qelomsr acquisition: %d frames" % len(data)
        if rate is not None and rate > 0:
            title += " at %g Hz" % rate
        if gaps:
            title += ", %d gap(s)" % len(gaps)
    fig.suptitle(title)
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=100)
    return fig
