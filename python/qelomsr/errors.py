"""Exceptions raised for the error records of the library.

Every failing call raises a subclass of QeloMsrError that carries the record's
error class and message. The subclasses also derive from the built-in
exception that fits the class, so `except ValueError` catches a bad argument.
"""

import builtins

from . import constants as _c


class QeloMsrError(Exception):
    """A library call failed: `message` and `error_class` of its error record.

    When the package knows what happened to the device, `message` says it
    first ("USB:1-0-3 was unplugged: <library text>") and
    `library_message` keeps the record's own text; otherwise both are the
    record's text."""

    def __init__(self, message, error_class=_c.ERROR_CLASS_UNKNOWN, error_id=0):
        super().__init__(message)
        self.message = message
        self.library_message = message
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

# What a failure of the USB transport means for the device, by the libusb
# error name at the end of the library's text.
_TRANSPORT_REASONS = (
    ("LIBUSB_ERROR_NO_DEVICE", "was unplugged"),
    ("LIBUSB_ERROR_TIMEOUT", "did not answer in time"),
    ("LIBUSB_ERROR_PIPE", "stalled a transfer"),
    ("LIBUSB_ERROR_OVERFLOW", "sent a longer reply than asked for"),
    ("LIBUSB_ERROR_IO", "failed a USB transfer"),
    ("LIBUSB_ERROR_BUSY", "is in use by another program"),
    ("LIBUSB_ERROR_ACCESS", "cannot be opened: no permission (see the udev rules)"),
)


def error_for(message, error_class, error_id=0):
    """The exception object for an error record."""
    if error_class == _c.ERROR_CLASS_RUNTIME and message == BUFFER_OVERFLOW_MESSAGE:
        return BufferOverflowError(message, error_class, error_id)
    return _BY_CLASS.get(error_class, InternalError)(message, error_class, error_id)


def in_context(error, identifier, reason=None):
    """The error with what happened to the device first: `reason` ("is in
    use by another program"), or the meaning of a libusb error name in the
    library's text ("was unplugged"). Returns the same exception object,
    unchanged when nothing is known."""
    if reason is None:
        reason = next((why for name, why in _TRANSPORT_REASONS if name in error.library_message),
                      None)
    if reason is None or error.message != error.library_message:
        return error
    error.message = "%s %s: %s" % (identifier, reason, error.library_message)
    error.args = (error.message,)
    return error
