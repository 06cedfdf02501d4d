"""Python access to Qelo Ka, Vel and Rix measurement devices.

A thin ctypes layer over the qelomsr C library (libqelomsr.so.2)::

    import qelomsr
    for info in qelomsr.list_devices():
        print(info.identifier, info.family, info.serial, info.state)
    with qelomsr.Device("ka") as dev:      # or "USB:1-0-3", "ka:1", a serial number
        dev.set_analog_input_parameters("AI-0", "10V")
        print(dev.read_analog_input("AI-0"))
        for block in dev.stream("AI-0,AI-1:1V", rate=1000, seconds=2, block=500):
            print(block.shape)
        acq = dev.acquire(["AI-0", "AI-1"], rate=1000, frames=2000)
    acq.to_hdf5("run.h5")
    print(qelomsr.load("run.h5")["AI-0"][:5], acq.clipped)

Failures raise QeloMsrError subclasses carrying the library's error class
and message; a wait that runs out raises qelomsr.TimeoutError; an exception
that ends an acquisition carries what it collected (exc.acquisition). The
library runs one call at a time; waits of this package happen between short
calls, so several devices can be used from several threads (one thread per
Device).
"""

from .acquisition import Acquisition, load  # noqa: F401
from .constants import *  # noqa: F401,F403
from .constants import FAMILIES, Family  # noqa: F401
from .device import (Channel, Device, DeviceInfo, api_version, enumerate_network,  # noqa: F401
                     list_devices, open_device)
from .peripherals import Uncalibrated  # noqa: F401
from .slowlog import LogRow  # noqa: F401
from .synchronized import acquire_synchronized, stream_synchronized  # noqa: F401
from .errors import (BufferOverflowError, DeviceError, InternalError,  # noqa: F401
                     InvalidArgumentError, LogicError, OutOfMemoryError, OutOfRangeError,
                     QeloMsrError, TimeoutError)


def plot(*args, **kwargs):
    """See qelomsr.plotting.plot (needs matplotlib)."""
    from .plotting import plot as _plot

    return _plot(*args, **kwargs)


__version__ = "2.0.0"
