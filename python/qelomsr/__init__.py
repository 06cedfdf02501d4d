"""Python access to Qelo Ka, Vel and Rix measurement devices.

A thin ctypes layer over the qelomsr C library (libqelomsr.so.2)::

    import qelomsr
    for info in qelomsr.list_devices():
        print(info.identifier, info.family, info.firmware)
    with qelomsr.Device("USB:1-0-3") as dev:
        dev.set_analog_input_parameters("AI-0", qelomsr.RANGE_10V)
        print(dev.read_analog_input("AI-0"))
        for block in dev.stream(["AI-0", "AI-1"], rate=1000, seconds=2):
            print(block.shape)

Failures raise QeloMsrError subclasses carrying the library's error class
and message.
"""

from .constants import *  # noqa: F401,F403
from .constants import FAMILIES, Family  # noqa: F401
from .device import (Acquisition, Channel, Device, DeviceInfo, api_version,  # noqa: F401
                     enumerate_network, list_devices, open_device)
from .errors import (BufferOverflowError, DeviceError, InternalError,  # noqa: F401
                     InvalidArgumentError, LogicError, OutOfMemoryError, OutOfRangeError,
                     QeloMsrError)


def plot(*args, **kwargs):
    """See qelomsr.plotting.plot (needs matplotlib)."""
    from .plotting import plot as _plot

    return _plot(*args, **kwargs)


__version__ = "2.0.0"
