"""Continuous acquisition with overrun handling: AI-0 and AI-1 of the Ka at
2000 Hz for a few seconds. An overrun (the device buffer overflowed, frames
were lost) hands out every frame the device kept, then raises
BufferOverflowError; this example reports it and starts again, up to three
times. (stream(..., on_overrun="restart") does the same by itself and marks
the gap.)

Usage: continuous.py [SECONDS]
"""

import sys
import time

import _path  # noqa: F401  (source checkout)
import qelomsr

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0
with qelomsr.Device("ka") as dev:  # the one Ka attached
    frames, total, overruns, start = 0, 0.0, 0, time.monotonic()
    while time.monotonic() - start < seconds and overruns < 3:
        try:
            for block in dev.stream(["AI-0", "AI-1"], rate=2000):
                frames += len(block)
                total += float(sum(row[0] for row in block))
                if time.monotonic() - start >= seconds:
                    break
        except qelomsr.BufferOverflowError as e:
            overruns += 1
            print("overrun after %d frames (%s): frames lost, restarting" % (frames, e.message),
                  file=sys.stderr)
    elapsed = time.monotonic() - start
    print("%d frames in %.2f s (%.1f Hz), mean AI-0 %.4f V, %d overrun(s)" % (
        frames, elapsed, frames / elapsed, total / max(frames, 1), overruns))
