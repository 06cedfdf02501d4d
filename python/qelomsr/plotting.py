"""Plots an acquisition with channel names and units (matplotlib, Agg).

matplotlib is optional for the package; only this module needs it. It draws
on an Agg canvas of its own and leaves pyplot's backend alone.
"""


def plot(acquisition, path=None, title=None, channels=None, rate=None, units=None):
    """Draws the channels of an acquisition over time and returns the Figure.

    `acquisition` is an Acquisition, or a 2-D array (rows = frames) given with
    `channels` (names), `rate` (Hz) and optionally `units`. Analog channels
    (unit "V") share the upper axes; ports, counter and trigger values get a
    lower axes of their own. With `path` the figure is also saved (PNG, ...).
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    if hasattr(acquisition, "data"):
        data = acquisition.data
        channels = channels or acquisition.channels
        rate = rate or acquisition.rate
        units = units or acquisition.units
    else:
        data = acquisition
        if channels is None or rate is None:
            raise ValueError("channels and rate are needed to plot a plain array")
        units = units or ["V"] * len(channels)
    rows = [list(r) for r in data]
    times = [i / float(rate) for i in range(len(rows))]
    analog = [j for j, u in enumerate(units) if u == "V"]
    other = [j for j, u in enumerate(units) if u != "V"]

    panels = [p for p in (analog, other) if p]
    fig = Figure(figsize=(10, 3.2 * max(len(panels), 1) + 0.6))
    FigureCanvasAgg(fig)
    axes = fig.subplots(max(len(panels), 1), 1, sharex=True, squeeze=False)[:, 0]
    for ax, columns in zip(axes, panels):
        for j in columns:
            label = "%s (%s)" % (channels[j], units[j]) if units[j] else channels[j]
            ax.plot(times, [r[j] for r in rows], label=label, linewidth=1)
        ax.set_ylabel("voltage (V)" if columns is analog else "value")
        ax.grid(True, alpha=0.3)
        ax.legend(loc="upper right", fontsize="small")
    axes[-1].set_xlabel("time (s)")
    fig.suptitle(title or "qelomsr acquisition: %d frames at %g Hz" % (len(rows), rate))
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=100)
    return fig
