"""Which devices are there, and which one a name means.

The library's enumeration lists the devices it could open just now; a
device that another program holds, or one that does not answer, is missing
from it, so positions in that list shift. This module adds what the USB bus
shows (module usb): every Qelo device with its serial number string, and
why one is missing. A device is named by its identifier ("USB:1-0-3", any
case), by its family with an optional position among the devices of that
family on the bus, in port order ("ka", "rix:1"; busy devices keep their
place), or by its serial number ("KA1X-004711" or "QeloKa@KA1X-004711"). A
bare index into a list is refused: it could name another device than the
one meant.
"""

import collections
import ctypes
import threading

from . import constants as C
from . import errors, usb
from ._library import call, lib

AVAILABLE = "available"
IN_USE = "in use by another program"
OPEN_HERE = "open in this program"
NOT_ANSWERING = "not answering"

SPELLINGS = ("an identifier ('USB:1-0-3'), a family with an optional position ('ka', "
             "'vel', 'rix:1'), a serial number ('KA1X-004711' or 'QeloKa@KA1X-004711') or a "
             "DeviceInfo of list_devices()")

_open_here = collections.Counter()  # identifiers of the devices this process has open
_open_lock = threading.Lock()


class DeviceInfo(collections.namedtuple(
        "DeviceInfo", "index identifier type family firmware serial state",
        defaults=(None, AVAILABLE))):
    """One device of list_devices(): `index` in the library's enumeration
    (None when the library could not list it), `identifier`, `type` (the
    type code, an int, shown by name and in hex), `family` name, `firmware`
    ("" when not known), `serial` (the USB serial number string) and
    `state`: "available", "open in this program", "in use by another
    program" or "not answering"."""

    __slots__ = ()

    def __repr__(self):
        name = C.TYPE_NAMES.get(self.type)
        kind = "0x%08X" % self.type if isinstance(self.type, int) else repr(self.type)
        if name:
            kind += " (%s)" % name
        return ("DeviceInfo(index=%r, identifier=%r, type=%s, family=%r, firmware=%r, serial=%r, "
                "state=%r)" % (self.index, self.identifier, kind, self.family, self.firmware,
                               self.serial, self.state))


def api_version():
    """The library version text, for example "2.0.0.0"."""
    buf = ctypes.create_string_buffer(64)
    lib().QeloMsrGetApiVersion(buf, len(buf))
    return buf.value.decode()


def _entry(index):
    ident = ctypes.create_string_buffer(C.TEXT_BUFFER_SIZE)
    version = ctypes.create_string_buffer(C.TEXT_BUFFER_SIZE)
    type_code = ctypes.c_int(0)
    call("QeloMsrGetIdentifier", index, ident, 0, ctypes.byref(type_code), version)
    family = C.FAMILIES.get(type_code.value)
    return DeviceInfo(index, ident.value.decode(), type_code.value,
                      family.name if family else None, version.value.decode())


def _enumerate(device_type=C.TYPE_ALL):
    count = ctypes.c_int(0)
    call("QeloMsrBeginEnumerate", ctypes.byref(count), device_type)
    return [_entry(i) for i in range(count.value)]


def enumerate_network():
    """There is no network transport: empties the enumeration list, returns 0."""
    count = ctypes.c_int(0)
    call("QeloMsrBeginEnumerateNetwork", None, 0, ctypes.byref(count), C.TYPE_ALL)
    return count.value


def opened(identifier):
    with _open_lock:
        _open_here[identifier.upper()] += 1


def closed(identifier):
    with _open_lock:
        key = identifier.upper()
        _open_here[key] -= 1
        if _open_here[key] <= 0:
            del _open_here[key]


def is_open_here(identifier):
    with _open_lock:
        return identifier.upper() in _open_here


def list_devices(device_type=C.TYPE_ALL):
    """Every Qelo device on the bus, in port order, with its serial number
    and state. Devices the library could not open are listed too (state "in
    use by another program" or "not answering"; index None, firmware "").
    Without libusb (or without the bus) it is the library's enumeration."""
    listed = {d.identifier.upper(): d for d in _enumerate(device_type)}
    try:
        # Only the devices the library could not open are probed for a claim.
        on_bus = usb.scan(lambda ident: ident.upper() not in listed and not is_open_here(ident))
    except OSError:
        return sorted(listed.values(), key=lambda d: usb.port_order(d.identifier))
    result = []
    wanted = {f.name for t, f in C.FAMILIES.items()
              if device_type in (C.TYPE_ALL, C.TYPE_ALL_ALT, t)}
    for u in on_bus:
        if u.family.name not in wanted:
            continue
        known = listed.pop(u.identifier.upper(), None)
        if known is not None:
            result.append(known._replace(serial=u.serial))
            continue
        if is_open_here(u.identifier):
            state = OPEN_HERE
        elif u.busy:
            state = IN_USE
        else:
            state = NOT_ANSWERING
        result.append(DeviceInfo(None, u.identifier, u.family.type_code, u.family.name, "",
                                 u.serial, state))
    result.extend(listed.values())  # listed by the library, not seen on the bus
    return sorted(result, key=lambda d: usb.port_order(d.identifier))


def _describe(devices):
    if not devices:
        return "no Qelo devices are attached"
    parts = []
    for d in devices:
        text = "%s (%s" % (d.identifier, d.family)
        if d.serial:
            text += ", serial %s" % d.serial
        if d.state != AVAILABLE:
            text += ", %s" % d.state
        parts.append(text + ")")
    return "attached: " + ", ".join(parts)


def _not_found(devices, why):
    return errors.DeviceError("%s; %s." % (why, _describe(devices)), C.ERROR_CLASS_RUNTIME)


def select(device):
    """The DeviceInfo a selection names (see the module); raises
    DeviceError when it names no attached device or several, and
    ValueError/TypeError for a spelling that is not one of SPELLINGS."""
    if isinstance(device, DeviceInfo):
        return device
    if device is not None and not isinstance(device, str):
        if isinstance(device, int):
            raise ValueError("a device is not chosen by a bare index (%r): positions change when "
                             "another program opens a device; give %s" % (device, SPELLINGS))
        raise TypeError("a device is chosen by %s, not %r" % (SPELLINGS, device))
    devices = list_devices()
    if device is None:
        if len(devices) == 1:
            return devices[0]
        if not devices:
            raise errors.DeviceError("No device attached.", C.ERROR_CLASS_RUNTIME)
        raise _not_found(devices, "several devices are attached: name one (%s)" % SPELLINGS)
    text = device.strip()
    if text.isdigit():
        raise ValueError("a device is not chosen by a bare index (%r): positions change when "
                         "another program opens a device; give %s" % (device, SPELLINGS))
    wanted = text.lower()
    for d in devices:
        if d.identifier.lower() == wanted:
            return d
    by_family = _by_family(devices, text)
    if by_family is not None:
        return by_family
    for d in devices:
        family = C.FAMILIES.get(d.type)
        if d.serial and (d.serial.lower() == wanted or (
                family and (family.serial_prefix + d.serial).lower() == wanted)):
            return d
    if wanted.startswith("usb:"):
        # Left to the library to refuse, in its words (a device gone by now).
        return DeviceInfo(None, text, 0, None, "", None, AVAILABLE)
    raise _not_found(devices, "no device %r (a device is named by %s)" % (device, SPELLINGS))


def _by_family(devices, text):
    name, _, position = text.lower().partition(":")
    family = next((f for f in C.FAMILIES.values() if f.name.lower() == name), None)
    if family is None:
        return None
    members = [d for d in devices if d.type == family.type_code]
    if position:
        if not position.isdigit():
            raise ValueError("%r: a family position is a whole number (%s:0, %s:1, ...)" %
                             (text, name, name))
        n = int(position)
        if n < len(members):
            return members[n]
        raise _not_found(devices, "no device %r: %d %s device%s attached" %
                         (text, len(members), family.name, " is" if len(members) == 1 else "s are"))
    if len(members) == 1:
        return members[0]
    if not members:
        raise _not_found(devices, "no %s device" % family.name)
    raise _not_found(devices, "%r is ambiguous: %d %s devices are attached (%s)" % (
        text, len(members), family.name,
        ", ".join("%s:%d = %s" % (name, i, d.identifier) for i, d in enumerate(members))))
