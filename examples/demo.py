"""Demo against attached (or emulated) devices: lists them, opens the Ka,
reads a few inputs, streams four channels for a few seconds with a progress
line, and writes demo.csv and demo.png.

Usage: demo.py [--out-dir DIR] [--seconds S] [--rate HZ]
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import qelomsr  # noqa: E402

CHANNELS = ["AI-0", "AI-1", "AI-2", "AI-3"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out-dir", default=".", help="folder for demo.csv and demo.png")
    parser.add_argument("--seconds", type=float, default=3.0, help="streaming time")
    parser.add_argument("--rate", type=float, default=1000.0, help="frame rate in Hz")
    args = parser.parse_args()

    print("qelomsr library %s" % qelomsr.api_version())
    devices = qelomsr.list_devices()
    print("%d device(s):" % len(devices))
    for d in devices:
        print("  %-14s %-3s firmware %-4s serial %s (%s)" % (d.identifier, d.family, d.firmware,
                                                             d.serial, d.state))
    ka = [d for d in devices if d.family == "Ka" and d.state == "available"]
    if not ka:
        print("no Ka device attached", file=sys.stderr)
        return 1

    with qelomsr.Device(ka[0]) as dev:
        print("opened %s, serial %s" % (dev.identifier, dev.serial_number))
        for name in CHANNELS:
            dev.set_analog_input_parameters(name, qelomsr.RANGE_10V)
            print("  %-5s %+8.4f V" % (name, dev.read_analog_input(name)))

        print("streaming %s at %g Hz for %g s" % (",".join(CHANNELS), args.rate, args.seconds))
        target = int(round(args.rate * args.seconds))
        # On a terminal the progress line is rewritten in place; in a log
        # it is one line per second.
        live = sys.stderr.isatty()
        every, end = (0.25, "\r") if live else (1.0, "")
        blocks, frames, start, shown = [], 0, time.monotonic(), 0.0
        for block in dev.stream(CHANNELS, rate=args.rate, seconds=args.seconds):
            blocks.append(block)
            frames += len(block)
            elapsed = time.monotonic() - start
            if elapsed - shown >= every or frames == target:
                shown = elapsed
                sys.stderr.write("%s  %6d/%d frames  %7.1f Hz%s" % (
                    end, frames, target, frames / max(elapsed, 1e-9), "" if live else "\n"))
                sys.stderr.flush()
        if live:
            sys.stderr.write("\n")
        rate = dev.stream_rate

    try:
        import numpy as np

        data = np.concatenate(blocks)
    except ImportError:
        data = [row for b in blocks for row in b]
    acq = qelomsr.Acquisition(CHANNELS, ["V"] * len(CHANNELS), rate, data)
    os.makedirs(args.out_dir, exist_ok=True)
    csv_path = os.path.join(args.out_dir, "demo.csv")
    png_path = os.path.join(args.out_dir, "demo.png")
    acq.to_csv(csv_path, overwrite=True)  # the demo's own file of an earlier run
    print("wrote %s (%d frames)" % (csv_path, len(data)))
    try:
        qelomsr.plot(acq, png_path, title="qelomsr demo: %s on %s" % (", ".join(CHANNELS),
                                                                       ka[0].identifier))
        print("wrote %s" % png_path)
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
