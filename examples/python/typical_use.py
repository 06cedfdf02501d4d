"""The typical use: enumerate, identify, open, set input parameters, read one
calibrated value, close; for every attached device."""

import _path  # noqa: F401  (source checkout)
import qelomsr

devices = qelomsr.list_devices()
print("%d device(s) found" % len(devices))
for info in devices:
    if info.state != "available":  # in use by another program, or not answering
        print("%s  %-3s  serial %s: %s" % (info.identifier, info.family, info.serial, info.state))
        continue
    with qelomsr.Device(info) as dev:
        # Range 0 exists on every family (+-10 V on Ka and Vel, 0..3.3 V on Rix).
        dev.set_analog_input_parameters("AI-0", qelomsr.RANGE(0))
        print("%s  %-3s  firmware %s  serial %s  AI-0 = %.4f V" % (
            info.identifier, info.family, info.firmware, dev.serial_number,
            dev.read_analog_input("AI-0")))
