"""Exceptions raised for the error records of the library.

Every failing call raises a subclass of QeloMsrError that carries the record's
error class and message. The subclasses also derive from the built-in
exception that fits the class, so `except ValueError` catches a bad argument.
"""

import builtins

from . import constants as _c


class QeloMsrError(Exception):
    """A library call failed: `message` and `error_class` of its error record."""

    def __init__(self, message, error_class=_c.ERROR_CLASS_UNKNOWN, error_id=0):
        super().__init__(message)
        self.message = message
        self.error_class = error_class
        self.error_id = error_id

    def __str__(self):
        return "%s (error class %d)" % (self.message, self.error_class)


class OutOfRangeError(QeloMsrError, IndexError, ValueError):
    """Error class 1: a range, port or configuration id outside the valid set."""


class InvalidArgumentError(QeloMsrError, ValueError):
    """Error class 2: a bad identifier, count, rate or pointer."""


class LogicError(QeloMsrError, RuntimeError):
    """Error class 3: not possible in the current state, or not supported."""


class DeviceError(QeloMsrError, OSError):
    """Error class 4: reported by the device or the USB transport."""


class BufferOverflowError(DeviceError):
    """The device's input buffer overflowed during an acquisition: frames were lost."""


class TimeoutError(DeviceError, builtins.TimeoutError):  # noqa: A001 - the package's own
    """A wait of the package ran out: no frame came (or no output frame was
    accepted) within the `timeout` of the call. Frames read before stay for
    the next read."""

    def __init__(self, message, error_class=_c.ERROR_CLASS_RUNTIME, error_id=0):
        super().__init__(message, error_class, error_id)


class OutOfMemoryError(QeloMsrError, MemoryError):
    """Error class 5: the library ran out of memory."""


class InternalError(QeloMsrError):
    """Error classes 14 and 15, or an id without a record."""


_BY_CLASS = {
    _c.ERROR_CLASS_OUT_OF_RANGE: OutOfRangeError,
    _c.ERROR_CLASS_INVALID_ARGUMENT: InvalidArgumentError,
    _c.ERROR_CLASS_LOGIC: LogicError,
    _c.ERROR_CLASS_RUNTIME: DeviceError,
    _c.ERROR_CLASS_BAD_ALLOC: OutOfMemoryError,
}

BUFFER_OVERFLOW_MESSAGE = "Buffer overflow."


def error_for(message, error_class, error_id=0):
    """The exception object for an error record."""
    if error_class == _c.ERROR_CLASS_RUNTIME and message == BUFFER_OVERFLOW_MESSAGE:
        return BufferOverflowError(message, error_class, error_id)
    return _BY_CLASS.get(error_class, InternalError)(message, error_class, error_id)
