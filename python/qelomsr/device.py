"""Devices: opening one by name and every operation of the C interface."""

import ctypes
import math
import operator
import warnings

from . import constants as C
from . import discovery, errors, spellings, usb
from ._library import call, lib
from ._numbers import Float32
from .acquisition import Acquisition  # noqa: F401 - also qelomsr.device.Acquisition
from .blocking import _AcquisitionState
from .discovery import DeviceInfo, api_version, enumerate_network, list_devices  # noqa: F401
from .peripherals import ANALOG_INPUT_KINDS, Channel, PeripheralsMixin  # noqa: F401 - Channel
from .slowlog import SlowLogMixin
from .streaming import StreamingMixin

try:  # numpy is optional: without it frames come back as lists
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

ACQUISITION_ACTIVE = "Not possible when data acquisition is active."
INVALID_IDENTIFIER = "Invalid identifier."


def _port_byte(value, what):
    """A port mask or level: a whole number 0..0xFF (the device keeps 8 bits,
    and a wider value would reach it cut)."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError("port %s must be a whole number, not %r" % (what, value)) from None
    if not 0 <= number <= 0xFF:
        raise ValueError("port %s must be 0..0xFF, not %r" % (what, value))
    return number


def _open_failure_reason(identifier):
    """Why the library could not open a device it calls "Invalid
    identifier.": in use by another program, not answering, not attached
    (None when the bus cannot be asked)."""
    try:
        found = [d for d in usb.scan(lambda i: i.upper() == identifier.upper())
                 if d.identifier.upper() == identifier.upper()]
    except OSError:
        return None
    if not found:
        return "is not attached"
    if discovery.is_open_here(identifier):
        return "is open in this program already"
    return "is in use by another program" if found[0].busy else "does not answer"


class Device(PeripheralsMixin, StreamingMixin, SlowLogMixin):
    """An open device. Use as a context manager, or call close().

    `device` names the device: its identifier ("USB:1-0-3", any case), its
    family with an optional position among the devices of that family on
    the bus in port order ("ka", "rix:1"), its serial number
    ("KA1X-004711" or "QeloKa@KA1X-004711"), a DeviceInfo of
    list_devices(), or None for the one device attached (refused when
    several are). A bare index is refused: it could name another device than
    the one meant. Peripheral arguments take identifiers (ints) or the
    device's names ("AI-3", "DP-1"); ranges take identifiers or spellings
    ("10mV", "1V"); channel lists take names with ranges ("AI-0:10mV").

    Threads: the library runs one call at a time in the whole process (its
    call lock); several devices used from several threads is fine, their
    calls interleave, and the waiting calls of this package (read_blocking,
    write_blocking, stream, acquire) wait in Python between short calls, so
    they never hold the lock while they wait. One Device object is meant
    for one thread at a time.
    """

    def __init__(self, device=None):
        self._handle = None
        info = discovery.select(device)
        handle = ctypes.c_int(0)
        try:
            call("QeloMsrOpen", info.identifier.encode(), ctypes.byref(handle))
        except errors.QeloMsrError as e:
            reason = None
            if e.message == INVALID_IDENTIFIER:
                reason = _open_failure_reason(info.identifier)
            raise errors.in_context(e, info.identifier, reason)
        discovery.opened(info.identifier)
        self._handle = handle.value
        self.info = info
        self.family = C.FAMILIES.get(info.type)
        self._frames = None
        self._init_peripherals()
        self._init_streaming()

    # ---- lifetime ----------------------------------------------------------
    @property
    def handle(self):
        if self._handle is None:
            raise errors.LogicError("The device is closed.", C.ERROR_CLASS_LOGIC)
        return self._handle

    @property
    def identifier(self):
        return self.info.identifier

    def close(self):
        """Closes the device (after stopping a stream left suspended); further
        calls raise LogicError. Idempotent."""
        if getattr(self, "_handle", None) is not None:
            try:
                self._end_suspended_streams()
            except errors.QeloMsrError:
                pass
            lib().QeloMsrClose(self._handle)
            self._handle = None
            discovery.closed(self.identifier)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self):
        state = "closed" if self._handle is None else "handle %d" % self._handle
        return "<qelomsr.Device %s (%s), %s>" % (self.identifier, self.info.family, state)

    # ---- calls ---------------------------------------------------------------
    def _call(self, name, *args):
        """Calls the library; an operation refused because the acquisition of
        a stream left suspended still runs (a loop left by an exception whose
        traceback is kept, a generator still referenced) ends that stream and
        is tried once more. A failure of the USB transport says first what
        happened to the device ("USB:1-0-3 was unplugged: <library text>")."""
        try:
            try:
                call(name, *args)
            except errors.LogicError as e:
                if e.message != ACQUISITION_ACTIVE or not self._end_suspended_streams():
                    raise
                call(name, *args)
        except errors.QeloMsrError as e:
            raise errors.in_context(e, self.identifier)

    # ---- helpers for out-parameters ----------------------------------------
    def _int_out(self, name, *args):
        value = ctypes.c_int(0)
        self._call(name, self.handle, *args, ctypes.byref(value))
        return value.value

    def _float_out(self, name, *args):
        value = ctypes.c_float(0)
        self._call(name, self.handle, *args, ctypes.byref(value))
        return Float32(value.value)

    def _text_out(self, name, *args):
        buf = ctypes.create_string_buffer(256)
        self._call(name, self.handle, *args, buf, len(buf))
        return buf.value.decode()

    # ---- device, identity and small peripherals ----------------------------
    def reset_device(self):
        self._end_suspended_streams()
        self._call("QeloMsrResetDevice", self.handle)
        self._acquisition = None
        self._forget_frames()

    def reset_peripherals(self, mask):
        self._call("QeloMsrResetPeripherals", self.handle, mask)

    def get_device_parameter(self, index):
        return self._int_out("QeloMsrGetDeviceParameter", index)

    def parameters(self):
        """{name: value} of the nine device parameters."""
        return {n: self.get_device_parameter(i) for i, n in enumerate(C.PARAMETER_NAMES)}

    @property
    def serial_number(self):
        buf = ctypes.create_string_buffer(C.TEXT_BUFFER_SIZE)
        self._call("QeloMsrGetSerialNumber", self.handle, buf)
        return buf.value.decode("utf-8", "replace")

    def get_peripheral_name(self, peripheral):
        return self._text_out("QeloMsrGetPeripheralName", self.resolve(peripheral))

    def get_temperature(self):
        return self._float_out("QeloMsrGetTemperature")

    def set_led(self, on, led=C.LED):
        self._call("QeloMsrSetLed", self.handle, self.resolve(led), 1 if on else 0)

    def get_reference_current(self, source):
        return self._float_out("QeloMsrGetReferenceCurrent", self.resolve(source))

    def set_watchdog_timeout(self, timeout_250ms):
        self._call("QeloMsrSetWatchdogTimeout", self.handle, timeout_250ms)

    def get_watchdog_timeout(self):
        value = ctypes.c_uint(0)
        self._call("QeloMsrGetWatchdogTimeout", self.handle, ctypes.byref(value))
        return value.value

    # ---- analog inputs and ranges ------------------------------------------
    def enumerate_ranges(self, peripheral, index):
        return self._int_out("QeloMsrEnumerateRanges", self.resolve(peripheral), index)

    def ranges(self, peripheral):
        """The range identifiers of an analog input or output, in order."""
        pid, found = self.resolve(peripheral), []
        for index in range(32):
            rid = self.enumerate_ranges(pid, index)
            if rid == C.RANGE_NONE:
                break
            found.append(rid)
        return found

    def get_range_min_max(self, peripheral, range_id):
        lo, hi = ctypes.c_float(0), ctypes.c_float(0)
        pid = self.resolve(peripheral)
        self._call("QeloMsrGetRangeMinMax", self.handle, pid, self.range_id(pid, range_id),
                   ctypes.byref(lo), ctypes.byref(hi))
        return Float32(lo.value), Float32(hi.value)

    def get_default_inter_channel_delay(self, analog_input, range_id):
        pid = self.resolve(analog_input)
        return self._int_out("QeloMsrGetDefaultAnalogInputInterChannelDelay", pid,
                             self.range_id(pid, range_id))

    def get_min_inter_channel_delay(self, analog_input):
        return self._int_out("QeloMsrGetMinAnalogInputInterChannelDelay",
                             self.resolve(analog_input))

    def set_analog_input_parameters(self, analog_input, range_id, inter_channel_delay=-1):
        """Sets range (an identifier or a spelling such as "10mV") and delay
        (-1: the range's default); returns the delay set."""
        pid = self.resolve(analog_input)
        return self._int_out("QeloMsrSetAnalogInputParameters", pid, self.range_id(pid, range_id),
                             inter_channel_delay)

    def get_analog_input_parameters(self, analog_input):
        """(range id, inter-channel delay) of an input."""
        rid, delay = ctypes.c_int(0), ctypes.c_int(0)
        self._call("QeloMsrGetAnalogInputParameters", self.handle, self.resolve(analog_input),
                   ctypes.byref(rid), ctypes.byref(delay))
        return rid.value, delay.value

    def read_analog_input(self, analog_input):
        """One calibrated sample in volts. `analog_input` may carry a range
        ("AI-0:10mV"), which is set first and stays set.

        A sample at the converter's lowest or highest code is clipped (the
        input may lie beyond): RuntimeWarning. So is the first read of an
        input whose calibration record is erased (the nominal conversion
        applies; see `uncalibrated`)."""
        name, spelled = spellings.channel_spec(analog_input)
        pid = self.resolve(name, ANALOG_INPUT_KINDS)
        if spelled is not None:
            self.set_analog_input_parameters(pid, spelled)
        volts = self._float_out("QeloMsrReadAnalogInput", pid)
        range_id = self.get_analog_input_parameters(pid)[0]
        scale = self.input_scale(pid, range_id)
        multi = len(self.ranges(pid)) > 1
        self._warn_uncalibrated(self.name_of(pid), scale,
                                self.range_name(pid, range_id) if multi else None)
        if scale.clipped(volts):
            warnings.warn("%s reads %r V, the end of its converter's scale in the %s range: "
                          "clipped, the input may lie beyond" %
                          (self.name_of(pid), volts, self.range_name(pid, range_id)),
                          RuntimeWarning, stacklevel=2)
        return volts

    # ---- analog outputs and digital ports ----------------------------------
    def write_analog_output(self, analog_output, volts):
        """Sets an analog output and returns the voltage it produces: the
        12-bit converter code the value becomes, converted back through the
        output's calibration record (0.003 V sets about 0.0049 V on a
        nominal output; the step is about 4.9 mV).

        The output clamps at the limits of its range: a value beyond them sets
        the limit, with a RuntimeWarning. NaN and infinities are refused
        (ValueError): the device would take them as some code of its scale.
        An output whose record is erased warns once (nominal conversion).
        """
        volts = float(volts)
        if not math.isfinite(volts):
            raise ValueError("volts must be a finite number, not %r" % volts)
        pid = self.resolve(analog_output, (C.KIND_ANALOG_OUTPUT,))
        ranges = self.ranges(pid)
        lo, hi = self.get_range_min_max(pid, ranges[0]) if ranges else (volts, volts)
        value = min(max(volts, lo), hi)
        scale = self.calibration.output(pid & 0xFF)
        self._call("QeloMsrWriteAnalogOutput", self.handle, pid, value)
        self._warn_uncalibrated(self.name_of(pid), scale, None)
        produced = scale.produced_volts(value)
        if value != volts:
            warnings.warn("%r V is outside the range of %s (%g V to %g V): the output is "
                          "clamped and produces %r V" % (volts, self.name_of(pid), lo, hi,
                                                         produced),
                          RuntimeWarning, stacklevel=2)
        return produced

    def get_digital_port_io_count(self, port):
        return self._int_out("QeloMsrGetDigitalPortIoCount", self.resolve(port))

    def get_digital_port_io_name(self, port, io):
        return self._text_out("QeloMsrGetDigitalPortIoName", self.resolve(port), io)

    def set_digital_port_output_enable_mask(self, port, mask):
        """Output-enable bits of a port (bit set: the line is an output), 0..0xFF."""
        self._call("QeloMsrSetDigitalPortOutputEnableMask", self.handle, self.resolve(port),
                   _port_byte(mask, "mask"))

    def read_digital_port(self, port):
        return self._int_out("QeloMsrReadDigitalPort", self.resolve(port))

    def write_digital_port(self, port, value):
        """Levels of a port's output lines, 0..0xFF."""
        self._call("QeloMsrWriteDigitalPort", self.handle, self.resolve(port),
                   _port_byte(value, "value"))

    # ---- triggers and counters ---------------------------------------------
    def set_trigger_config(self, config, trigger=C.TRIGGER):
        self._call("QeloMsrSetTriggerConfig", self.handle, self.resolve(trigger), config)

    def get_trigger_config(self, trigger=C.TRIGGER):
        return self._int_out("QeloMsrGetTriggerConfig", self.resolve(trigger))

    def set_trigger_enable(self, enable, trigger=C.TRIGGER):
        self._call("QeloMsrSetTriggerEnable", self.handle, self.resolve(trigger),
                   1 if enable else 0)

    def get_trigger_enable(self, trigger=C.TRIGGER):
        return bool(self._int_out("QeloMsrGetTriggerEnable", self.resolve(trigger)))

    def reset_counter(self, counter=C.COUNTER):
        self._call("QeloMsrResetCounter", self.handle, self.resolve(counter))

    def set_counter_config(self, config, counter=C.COUNTER):
        self._call("QeloMsrSetCounterConfig", self.handle, self.resolve(counter), config)

    def get_counter_config(self, counter=C.COUNTER):
        return self._int_out("QeloMsrGetCounterConfig", self.resolve(counter))

    def set_counter_enable(self, enable, counter=C.COUNTER):
        self._call("QeloMsrSetCounterEnable", self.handle, self.resolve(counter),
                   1 if enable else 0)

    def get_counter_enable(self, counter=C.COUNTER):
        return bool(self._int_out("QeloMsrGetCounterEnable", self.resolve(counter)))

    def read_counter(self, counter=C.COUNTER):
        value = ctypes.c_longlong(0)
        self._call("QeloMsrReadCounter", self.handle, self.resolve(counter),
                   ctypes.byref(value))
        return value.value

    # ---- input frames and acquisition --------------------------------------
    def _family(self):
        if self.family is None:
            raise errors.LogicError("Unknown device family.", C.ERROR_CLASS_LOGIC)
        return self.family

    def _frame_arrays(self, frames):
        """Zeroed value and port arrays for `frames` frame records."""
        fam = self._family()
        if np is not None:
            return (np.zeros((frames, fam.value_slots), np.float32),
                    np.zeros((frames, fam.port_slots), np.int32))
        return ((ctypes.c_float * (frames * fam.value_slots))(),
                (ctypes.c_int * (frames * fam.port_slots))())

    @staticmethod
    def _pointers(values, ports):
        if np is not None and isinstance(values, np.ndarray):
            return (values.ctypes.data_as(ctypes.POINTER(ctypes.c_float)),
                    ports.ctypes.data_as(ctypes.POINTER(ctypes.c_int)))
        return (ctypes.cast(values, ctypes.POINTER(ctypes.c_float)),
                ctypes.cast(ports, ctypes.POINTER(ctypes.c_int)))

    def _records(self, values, ports, frames):
        """The first `frames` records: arrays (numpy) or lists of rows."""
        if np is not None:
            return values[:frames].copy(), ports[:frames].copy()
        fam = self._family()
        v, p = fam.value_slots, fam.port_slots
        return ([list(values[i * v:(i + 1) * v]) for i in range(frames)],
                [list(ports[i * p:(i + 1) * p]) for i in range(frames)])

    def _per_call_frames(self):
        # The library fills at most read_limit_bytes per call; the smallest
        # frame is one 16-bit word.
        return self._family().read_limit_bytes // 2

    def calculate_max_buffered_input_frames(self):
        return self._int_out("QeloMsrCalculateMaxBufferedInputFrames")

    def setup_input_frame(self, inputs):
        ids = [self.resolve(i) for i in inputs]
        arr = (ctypes.c_int * max(len(ids), 1))(*ids)
        self._call("QeloMsrSetupInputFrame", self.handle, arr, len(ids))
        self._forget_frames()

    def start_data_acquisition(self, frame_rate, frame_count=0, external=False):
        """Starts acquisition at frame_rate Hz, or on the frame sample trigger
        with FRAME_SAMPLE_TRIGGER (-1); external=True starts on the trigger
        line. Returns the frame rate the device runs at (or -1). Frames of an
        earlier acquisition not read yet are dropped."""
        rate = self._float_out("QeloMsrStartDataAcquisition", 1 if external else 0,
                               float(frame_rate), frame_count)
        self._forget_frames()
        self._acquisition = _AcquisitionState(rate, frame_count)
        return rate

    def stop_data_acquisition(self):
        self._call("QeloMsrStopDataAcquisition", self.handle)
        self._acquisition = None

    def read_frame(self):
        """One frame sampled now, as (values, ports) of one record each."""
        values, ports = self._frame_arrays(1)
        self._call("QeloMsrReadFrame", self.handle, *self._pointers(values, ports))
        v, p = self._records(values, ports, 1)
        return v[0], p[0]

    # ---- output frames -----------------------------------------------------
    def setup_output_frame(self, outputs):
        ids = [self.resolve(o) for o in outputs]
        arr = (ctypes.c_int * max(len(ids), 1))(*ids)
        self._call("QeloMsrSetupOutputFrame", self.handle, arr, len(ids))

    def write_frame(self, values, ports=()):
        """Sets the outputs of the output frame: values by analog output index,
        ports by digital port index."""
        fam = self._family()
        v = (ctypes.c_float * fam.value_slots)(*list(values)[:fam.value_slots])
        p = (ctypes.c_int * fam.port_slots)(*list(ports)[:fam.port_slots])
        self._call("QeloMsrWriteFrame", self.handle, v, p)

    @staticmethod
    def _output_stream(values, ports):
        values = [float(x) for x in values]
        n = len(values)
        if not all(map(math.isfinite, values)):
            # The device would play them as some code of its scale.
            raise ValueError("output values must be finite numbers")
        if ports is None:
            ports = [(0, 0)] * n
        ports = list(ports)
        if len(ports) != n:
            raise errors.InvalidArgumentError("values and ports differ in length.",
                                              C.ERROR_CLASS_INVALID_ARGUMENT)
        flat = [int(x) for pair in ports for x in pair]
        return n, (ctypes.c_float * max(n, 1))(*values), (ctypes.c_int * max(2 * n, 1))(*flat)

    def write_non_blocking(self, values, ports=None):
        """Vel: queues as many frames as fit now; returns how many. The Vel
        plays queued frames one per input frame of a running acquisition
        (see write_blocking)."""
        n, v, p = self._output_stream(values, ports)
        return self._int_out("QeloMsrWriteNonBlocking", v, p, n)

    # ---- raw access --------------------------------------------------------
    def read_block(self, address, size):
        if size < 0:
            raise errors.InvalidArgumentError("The size must not be negative.",
                                              C.ERROR_CLASS_INVALID_ARGUMENT)
        buf = ctypes.create_string_buffer(max(size, 1))
        self._call("__QeloMsrReadBlock", self.handle, address, buf, size)
        return buf.raw[:size]

    def write_block(self, address, data):
        data = bytes(data)
        buf = ctypes.create_string_buffer(data, max(len(data), 1))
        self._call("__QeloMsrWriteBlock", self.handle, address, buf, len(data))

    def read_register(self, address):
        value = ctypes.c_uint(0)
        self._call("__QeloMsrReadRegister", self.handle, address, ctypes.byref(value))
        return value.value

    def write_register(self, address, value):
        self._call("__QeloMsrWriteRegister", self.handle, address, value)


def open_device(device=None):
    """Opens a device (see Device)."""
    return Device(device)

