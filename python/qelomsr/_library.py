"""Loads libqelomsr.so.2 and declares the C functions for ctypes.

Before loading, COMMAPI_LOG_STDERR is set (unless the user set it), so that
the library's console log lines go to standard error.

Search order: the path in the environment variable QELOMSR_LIBRARY, the
library installed beside this package (the installation records where the
library directory lies relative to the package, so an installed tree can be
moved or staged), the build tree of the source checkout this package lives in
(build/), then the system's library search path.
"""

import ctypes
import ctypes.util
import os
import threading

from . import errors

SONAME = "libqelomsr.so.2"

_c_int_p = ctypes.POINTER(ctypes.c_int)
_c_uint_p = ctypes.POINTER(ctypes.c_uint)
_c_float_p = ctypes.POINTER(ctypes.c_float)
_c_int64_p = ctypes.POINTER(ctypes.c_longlong)
_i, _u, _f, _s = ctypes.c_int, ctypes.c_uint, ctypes.c_float, ctypes.c_char_p

# name: argument types (every function returns int unless listed in _VOID).
_PROTOTYPES = {
    "QeloMsrGetApiVersion": (_s, _i),
    "__wrapper_error": (_i, _s, _i, _c_int_p),
    "QeloMsrBeginEnumerate": (_c_int_p, _i),
    "QeloMsrBeginEnumerateNetwork": (_s, _i, _c_int_p, _i),
    "QeloMsrGetIdentifier": (_i, _s, _i, _c_int_p, _s),
    "QeloMsrOpen": (_s, _c_int_p),
    "QeloMsrClose": (_i,),
    "QeloMsrResetDevice": (_i,),
    "QeloMsrResetPeripherals": (_i, _i),
    "QeloMsrGetDeviceParameter": (_i, _i, _c_int_p),
    "QeloMsrGetSerialNumber": (_i, _s),
    "QeloMsrGetPeripheralName": (_i, _i, _s, _i),
    "QeloMsrGetTemperature": (_i, _c_float_p),
    "QeloMsrSetLed": (_i, _i, _i),
    "QeloMsrGetReferenceCurrent": (_i, _i, _c_float_p),
    "QeloMsrSetWatchdogTimeout": (_i, _u),
    "QeloMsrGetWatchdogTimeout": (_i, _c_uint_p),
    "QeloMsrEnumerateRanges": (_i, _i, _i, _c_int_p),
    "QeloMsrGetRangeMinMax": (_i, _i, _i, _c_float_p, _c_float_p),
    "QeloMsrGetDefaultAnalogInputInterChannelDelay": (_i, _i, _i, _c_int_p),
    "QeloMsrGetMinAnalogInputInterChannelDelay": (_i, _i, _c_int_p),
    "QeloMsrSetAnalogInputParameters": (_i, _i, _i, _i, _c_int_p),
    "QeloMsrGetAnalogInputParameters": (_i, _i, _c_int_p, _c_int_p),
    "QeloMsrReadAnalogInput": (_i, _i, _c_float_p),
    "QeloMsrWriteAnalogOutput": (_i, _i, _f),
    "QeloMsrGetDigitalPortIoCount": (_i, _i, _c_int_p),
    "QeloMsrGetDigitalPortIoName": (_i, _i, _i, _s, _i),
    "QeloMsrSetDigitalPortOutputEnableMask": (_i, _i, _i),
    "QeloMsrReadDigitalPort": (_i, _i, _c_int_p),
    "QeloMsrWriteDigitalPort": (_i, _i, _i),
    "QeloMsrSetTriggerConfig": (_i, _i, _i),
    "QeloMsrGetTriggerConfig": (_i, _i, _c_int_p),
    "QeloMsrSetTriggerEnable": (_i, _i, _i),
    "QeloMsrGetTriggerEnable": (_i, _i, _c_int_p),
    "QeloMsrResetCounter": (_i, _i),
    "QeloMsrSetCounterConfig": (_i, _i, _i),
    "QeloMsrGetCounterConfig": (_i, _i, _c_int_p),
    "QeloMsrSetCounterEnable": (_i, _i, _i),
    "QeloMsrGetCounterEnable": (_i, _i, _c_int_p),
    "QeloMsrReadCounter": (_i, _i, _c_int64_p),
    "QeloMsrCalculateMaxBufferedInputFrames": (_i, _c_int_p),
    "QeloMsrSetupInputFrame": (_i, _c_int_p, _i),
    "QeloMsrStartDataAcquisition": (_i, _i, _f, _i, _c_float_p),
    "QeloMsrStopDataAcquisition": (_i,),
    "QeloMsrReadBlocking": (_i, _c_float_p, _c_int_p, _i),
    "QeloMsrReadNonBlocking": (_i, _c_float_p, _c_int_p, _c_int_p),
    "QeloMsrReadFrame": (_i, _c_float_p, _c_int_p),
    "QeloMsrSetupOutputFrame": (_i, _c_int_p, _i),
    "QeloMsrWriteFrame": (_i, _c_float_p, _c_int_p),
    "QeloMsrWriteBlocking": (_i, _c_float_p, _c_int_p, _i),
    "QeloMsrWriteNonBlocking": (_i, _c_float_p, _c_int_p, _i, _c_int_p),
    "__QeloMsrReadBlock": (_i, _u, ctypes.c_void_p, _i),
    "__QeloMsrWriteBlock": (_i, _u, ctypes.c_void_p, _i),
    "__QeloMsrReadRegister": (_i, _u, _c_uint_p),
    "__QeloMsrWriteRegister": (_i, _u, _u),
}
_VOID = {"__wrapper_error"}


def _candidates():
    explicit = os.environ.get("QELOMSR_LIBRARY")
    if explicit:
        # An explicit choice is final: a wrong path must not silently fall back.
        return [explicit]
    found = []
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        from . import _installed  # written by the installation

        found.append(os.path.normpath(os.path.join(here, _installed.LIBDIR_FROM_PACKAGE, SONAME)))
    except (ImportError, AttributeError):
        pass
    checkout = os.path.dirname(os.path.dirname(here))
    if os.path.exists(os.path.join(checkout, "CMakeLists.txt")):
        found.append(os.path.join(checkout, "build", SONAME))
    found.append(SONAME)
    name = ctypes.util.find_library("qelomsr")
    if name:
        found.append(name)
    return found


# The library's console log lines (COMMAPI_LOGGING, COMMAPI_TRACE) go to
# standard error in Python programs, so that a program's own output (CSV on
# stdout, say) stays clean; a value the user set is kept.
LOG_STDERR_ENV = "COMMAPI_LOG_STDERR"


def _load():
    os.environ.setdefault(LOG_STDERR_ENV, "1")
    failures = []
    for path in _candidates():
        if os.path.sep in path and not os.path.exists(path):
            failures.append("%s: no such file" % path)
            continue
        try:
            lib = ctypes.CDLL(path)
        except OSError as e:
            failures.append(str(e))
            continue
        for name, argtypes in _PROTOTYPES.items():
            fn = getattr(lib, name)
            fn.argtypes = argtypes
            fn.restype = None if name in _VOID else ctypes.c_int
        return lib
    raise ImportError("cannot load the qelomsr library (set QELOMSR_LIBRARY to its path): " +
                      "; ".join(failures))


_lib = None
_lib_lock = threading.Lock()


def lib():
    """The loaded library (loaded on first use)."""
    global _lib
    if _lib is None:
        with _lib_lock:
            if _lib is None:
                _lib = _load()
    return _lib


def error_record(error_id):
    """(message, error class) of an error record."""
    message = ctypes.create_string_buffer(1024)
    error_class = ctypes.c_int(0)
    lib().__wrapper_error(error_id, message, len(message), ctypes.byref(error_class))
    return message.value.decode("utf-8", "replace"), error_class.value


def check(rc):
    """Raises the exception for a non-zero return code of the library."""
    if rc != 0:
        message, error_class = error_record(rc)
        raise errors.error_for(message, error_class, rc)


def call(name, *args):
    """Calls a library function and raises for its error record."""
    check(getattr(lib(), name)(*args))
