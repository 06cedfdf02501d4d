"""Output waveform on a Vel: a 1 V sine on AO-0, 500 frames per period,
played at 1000 frames per second.

The Vel plays queued output frames paced by its input frame clock: one
output frame per input frame of a running acquisition. So this example
queues what fits into the output buffer, starts an input acquisition of AI-0
at the output rate, keeps the buffer filled while it counts the input
frames, and stops once as many input frames came as output frames were
queued: then every frame has been played. AI-0 records what it sees at each
output frame (wire AO-0 to AI-0 to watch the sine come back); with --csv it
is written there.

Usage: vel_waveform.py [PERIODS] [--csv FILE]
"""

import argparse
import math
import time

import _path  # noqa: F401  (source checkout)
import qelomsr

FRAMES = 500  # per period
RATE_HZ = 1000.0
STALL_SECONDS = 5.0  # without an input frame for this long the acquisition has stopped


def play(dev, waveform, periods):
    """Plays `periods` periods of `waveform` on AO-0; returns AI-0 at every
    output frame."""
    total = periods * len(waveform)
    queued, recorded = 0, []

    def queue():
        nonlocal queued
        while queued < total:
            offset = queued % len(waveform)
            chunk = waveform[offset:offset + min(len(waveform) - offset, total - queued)]
            sent = dev.write_non_blocking(chunk)
            if sent == 0:
                return  # the buffer is full
            queued += sent

    dev.setup_output_frame(["AO-0"])
    dev.setup_input_frame(["AI-0"])
    queue()  # frames queued before the start play from the first input frame
    rate = dev.start_data_acquisition(RATE_HZ)
    try:
        last = time.monotonic()
        while len(recorded) < total:
            queue()
            values, _ = dev.read_non_blocking()
            recorded.extend(float(v[0]) for v in values[:total - len(recorded)])
            if len(values):
                last = time.monotonic()
            elif time.monotonic() - last > STALL_SECONDS:
                raise RuntimeError("the acquisition delivered no frame for %g s" % STALL_SECONDS)
            else:
                time.sleep(0.01)
    finally:
        # Every queued frame has been played: the pacing acquisition can stop.
        dev.stop_data_acquisition()
    return rate, recorded


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("periods", nargs="?", type=int, default=2, help="periods to play")
    parser.add_argument("--csv", help="write AI-0 at every output frame to this CSV file")
    args = parser.parse_args()
    if args.periods < 1:
        parser.error("PERIODS must be >= 1")
    sine = [math.sin(2 * math.pi * i / FRAMES) for i in range(FRAMES)]
    with qelomsr.Device("vel") as dev:  # the one Vel attached
        rate, recorded = play(dev, sine, args.periods)
    if args.csv:
        qelomsr.Acquisition(["AI-0"], ["V"], rate, [[v] for v in recorded]).to_csv(args.csv)
    print("played %d frames (%d periods) on AO-0 at %g Hz" % (len(recorded), args.periods, rate))


if __name__ == "__main__":
    main()
