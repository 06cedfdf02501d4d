"""The Qelo devices on the USB bus as libusb sees them, without opening them
through the library (which resets a device when it opens it): identifier,
family, the USB serial number string, and whether another program holds the
device.

The identifier is built as the library builds it: "USB:" and the bus number,
then the port numbers from the root hub (port 0) down to the device, walking
libusb_get_parent. A device is in use by another program when claiming its
interface 0 fails with LIBUSB_ERROR_BUSY; the claim is released at once.
"""

import ctypes
import ctypes.util
import threading

from . import constants as C

LIBUSB_ERROR_BUSY = -6
_STRING_BYTES = 256


class _DeviceDescriptor(ctypes.Structure):
    _fields_ = [("bLength", ctypes.c_uint8), ("bDescriptorType", ctypes.c_uint8),
                ("bcdUSB", ctypes.c_uint16), ("bDeviceClass", ctypes.c_uint8),
                ("bDeviceSubClass", ctypes.c_uint8), ("bDeviceProtocol", ctypes.c_uint8),
                ("bMaxPacketSize0", ctypes.c_uint8), ("idVendor", ctypes.c_uint16),
                ("idProduct", ctypes.c_uint16), ("bcdDevice", ctypes.c_uint16),
                ("iManufacturer", ctypes.c_uint8), ("iProduct", ctypes.c_uint8),
                ("iSerialNumber", ctypes.c_uint8), ("bNumConfigurations", ctypes.c_uint8)]


_p = ctypes.c_void_p
_PROTOTYPES = {
    "libusb_init": (ctypes.c_int, [ctypes.POINTER(_p)]),
    "libusb_get_device_list": (ctypes.c_ssize_t, [_p, ctypes.POINTER(ctypes.POINTER(_p))]),
    "libusb_free_device_list": (None, [ctypes.POINTER(_p), ctypes.c_int]),
    "libusb_get_device_descriptor": (ctypes.c_int, [_p, ctypes.POINTER(_DeviceDescriptor)]),
    "libusb_get_bus_number": (ctypes.c_uint8, [_p]),
    "libusb_get_port_number": (ctypes.c_uint8, [_p]),
    "libusb_get_parent": (_p, [_p]),
    "libusb_open": (ctypes.c_int, [_p, ctypes.POINTER(_p)]),
    "libusb_close": (None, [_p]),
    "libusb_claim_interface": (ctypes.c_int, [_p, ctypes.c_int]),
    "libusb_release_interface": (ctypes.c_int, [_p, ctypes.c_int]),
    "libusb_get_string_descriptor_ascii": (ctypes.c_int,
                                           [_p, ctypes.c_uint8, ctypes.c_char_p, ctypes.c_int]),
    "libusb_error_name": (ctypes.c_char_p, [ctypes.c_int]),
}

_FAMILY_BY_PRODUCT = {f.usb_product_id: f for f in C.FAMILIES.values()}

_lock = threading.Lock()
_state = {}  # "lib", "context": loaded once, kept for the process (libusb runs a thread)


class UsbDevice:
    """One Qelo device on the bus: `identifier`, `family` (a constants.Family),
    `serial` (the USB serial number string, None when it could not be read),
    and `busy` (None until probed: True when another handle holds interface 0)."""

    def __init__(self, identifier, family, serial, busy=None):
        self.identifier, self.family, self.serial, self.busy = identifier, family, serial, busy

    def __repr__(self):
        return "UsbDevice(%r, %s, serial=%r, busy=%r)" % (self.identifier, self.family.name,
                                                         self.serial, self.busy)


def _libusb():
    """(library, context), or raises OSError when libusb is not there."""
    with _lock:
        if "lib" not in _state:
            name = ctypes.util.find_library("usb-1.0") or "libusb-1.0.so.0"
            lib = ctypes.CDLL(name)
            for fn, (restype, argtypes) in _PROTOTYPES.items():
                getattr(lib, fn).restype = restype
                getattr(lib, fn).argtypes = argtypes
            context = _p()
            rc = lib.libusb_init(ctypes.byref(context))
            if rc != 0:
                raise OSError("libusb_init failed: %s" % lib.libusb_error_name(rc).decode())
            _state["lib"], _state["context"] = lib, context
        return _state["lib"], _state["context"]


def _identifier(lib, dev):
    ports = []
    d = dev
    while d and len(ports) < 16:
        ports.append(lib.libusb_get_port_number(d))
        d = lib.libusb_get_parent(d)
    return "USB:%d-%s" % (lib.libusb_get_bus_number(dev), "-".join(str(p) for p in reversed(ports)))


def _serial_and_busy(lib, dev, descriptor, probe_busy):
    handle = _p()
    if lib.libusb_open(dev, ctypes.byref(handle)) != 0:
        return None, None
    try:
        serial = None
        if descriptor.iSerialNumber:
            buf = ctypes.create_string_buffer(_STRING_BYTES)
            n = lib.libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, buf,
                                                       len(buf))
            if n >= 0:
                serial = buf.raw[:n].decode("ascii", "replace")
        busy = None
        if probe_busy:
            rc = lib.libusb_claim_interface(handle, 0)
            busy = rc == LIBUSB_ERROR_BUSY
            if rc == 0:
                lib.libusb_release_interface(handle, 0)
        return serial, busy
    finally:
        lib.libusb_close(handle)


def scan(probe_busy=lambda identifier: False):
    """The Qelo devices on the bus (by USB product id), in port order.
    Devices for whose identifier probe_busy(identifier) is true are tested
    for a claim by another program. Raises OSError when libusb cannot be
    loaded."""
    lib, context = _libusb()
    listing = ctypes.POINTER(_p)()
    n = lib.libusb_get_device_list(context, ctypes.byref(listing))
    if n < 0:
        raise OSError("listing the USB devices failed: %s" % lib.libusb_error_name(n).decode())
    found = []
    try:
        for i in range(n):
            dev = listing[i]
            descriptor = _DeviceDescriptor()
            if lib.libusb_get_device_descriptor(dev, ctypes.byref(descriptor)) != 0:
                continue
            family = _FAMILY_BY_PRODUCT.get(descriptor.idProduct)
            if family is None:
                continue
            identifier = _identifier(lib, dev)
            serial, busy = _serial_and_busy(lib, dev, descriptor, probe_busy(identifier))
            found.append(UsbDevice(identifier, family, serial, busy))
    finally:
        lib.libusb_free_device_list(listing, 1)
    return sorted(found, key=lambda d: port_order(d.identifier))


def port_order(identifier):
    """A sort key of an identifier: bus and ports as numbers (USB:1-0-2-4
    before USB:1-0-10)."""
    try:
        return tuple(int(x) for x in identifier.split(":", 1)[1].split("-"))
    except (IndexError, ValueError):
        return (float("inf"), identifier)
