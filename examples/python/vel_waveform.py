"""Output waveform on a Vel: a 1 V sine on AO-0, 500 frames per period,
queued with write_blocking (which waits for room in the output buffer).

Usage: vel_waveform.py [PERIODS]
"""

import math
import sys

import _path  # noqa: F401  (source checkout)
import qelomsr

periods = int(sys.argv[1]) if len(sys.argv) > 1 else 2
vel = [d for d in qelomsr.list_devices() if d.family == "Vel"]
if not vel:
    sys.exit("no Vel device attached")
sine = [math.sin(2 * math.pi * i / 500) for i in range(500)]
with qelomsr.Device(vel[0]) as dev:
    dev.setup_output_frame(["AO-0"])
    for _ in range(periods):
        dev.write_blocking(sine)
print("queued %d frames on AO-0" % (periods * len(sine)))
