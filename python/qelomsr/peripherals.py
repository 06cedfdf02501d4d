"""What a Device knows of its peripherals: names and identifiers, the
channels of a frame, ranges by their spellings, and what the calibration
records say (uncalibrated inputs and outputs, the converter's ends)."""

import collections
import ctypes
import operator
import warnings

from . import constants as C
from . import errors, spellings
from ._numbers import to_float32
from ._library import lib
from .calibration import Calibration

_INPUT_KINDS = (C.KIND_ANALOG_INPUT, C.KIND_DIFF_INPUT, C.KIND_DIGITAL_PORT, C.KIND_COUNTER,
                C.KIND_TRIGGER)
ANALOG_INPUT_KINDS = (C.KIND_ANALOG_INPUT, C.KIND_DIFF_INPUT)
_PERIPHERAL_KINDS = (C.KIND_ANALOG_INPUT, C.KIND_DIFF_INPUT, C.KIND_ANALOG_OUTPUT,
                     C.KIND_DIGITAL_PORT, C.KIND_COUNTER, C.KIND_TRIGGER, C.KIND_CURRENT_SOURCE,
                     C.KIND_LED)
_MAX_ITEMS_PER_KIND = 64
UNCALIBRATED_TEXT = "nominal conversion (erased calibration record)"

Channel = collections.namedtuple("Channel", "id name analog slot words range_id",
                                 defaults=(None,))
Channel.__doc__ = ("An input of a frame: analog ones land in value slot `slot` (volts; the slot "
                   "is the channel index of the calibration table), the others in port slot "
                   "`slot`; `words` 16-bit words per device frame; `range_id` the range asked "
                   "for with the channel (\"AI-0:10mV\"), else None.")


class Uncalibrated(collections.namedtuple("Uncalibrated", "name ranges all_ranges")):
    """An analog input or output whose calibration record is erased: the
    nominal conversion applies. `ranges` names the ranges concerned (empty
    for outputs and single-range inputs); `all_ranges` says whether every
    range of the input is."""

    __slots__ = ()

    def __str__(self):
        if self.all_ranges or not self.ranges:
            return self.name
        return "%s (range%s %s)" % (self.name, "s" if len(self.ranges) > 1 else "",
                                    ", ".join(self.ranges))


def kind_of(peripheral_id):
    return peripheral_id & ~0xFF


class PeripheralsMixin:
    """Names, channels, ranges and calibration of a Device (see the module)."""

    def _init_peripherals(self):
        self._names = None
        self._calibration = None
        self._uncalibrated = None
        self._warned_uncalibrated = set()

    # ---- names -------------------------------------------------------------
    def peripherals(self):
        """{name: identifier} of every peripheral the device names."""
        if self._names is None:
            names = {}
            buf = ctypes.create_string_buffer(128)
            for kind in _PERIPHERAL_KINDS:
                for n in range(_MAX_ITEMS_PER_KIND):
                    if lib().QeloMsrGetPeripheralName(self.handle, kind + n, buf,
                                                            len(buf)) != 0:
                        break
                    if buf.value:
                        names[buf.value.decode()] = kind + n
            self._names = names
        return dict(self._names)

    def resolve(self, peripheral, kinds=None):
        """The identifier of a peripheral given by name (any case) or
        identifier (an int, or its text "0x7A501103")."""
        if not isinstance(peripheral, bool):
            try:
                return operator.index(peripheral)
            except TypeError:
                pass
        names = self.peripherals()
        pid = names.get(peripheral)
        if pid is None and isinstance(peripheral, str):
            folded = {k.lower(): v for k, v in names.items()}
            pid = folded.get(peripheral.strip().lower())
            if pid is None and peripheral.strip().lower().startswith("0x"):
                try:
                    pid = int(peripheral.strip(), 16)
                except ValueError:
                    pid = None
        if pid is None or (kinds and kind_of(pid) not in kinds):
            choices = sorted(n for n, i in names.items() if not kinds or kind_of(i) in kinds)
            raise errors.InvalidArgumentError(
                "%r is not a suitable peripheral of %s (choose from %s)." %
                (peripheral, self.identifier, ", ".join(choices)), C.ERROR_CLASS_INVALID_ARGUMENT)
        return pid

    def name_of(self, peripheral_id):
        for name, pid in self.peripherals().items():
            if pid == peripheral_id:
                return name
        return self.get_peripheral_name(peripheral_id)

    # ---- ranges ------------------------------------------------------------
    def range_id(self, peripheral, range_spelling):
        """The identifier of a range of an analog input or output, given as
        an identifier or by its upper limit ("10mV", "1V", "3.3V", "0.1")."""
        if isinstance(range_spelling, bool):
            raise TypeError("a range is %s, not %r" % (spellings.RANGE_SPELLINGS,
                                                       range_spelling))
        try:
            return operator.index(range_spelling)
        except TypeError:
            pass
        if not isinstance(range_spelling, str):
            raise TypeError("a range is %s, not %r" % (spellings.RANGE_SPELLINGS,
                                                       range_spelling))
        wanted = to_float32(float(spellings.range_volts(range_spelling)))
        pid = self.resolve(peripheral)
        names = []
        for rid in self.ranges(pid):
            hi = self.get_range_min_max(pid, rid)[1]
            if hi == wanted:
                return rid
            names.append(spellings.range_name(hi))
        raise errors.InvalidArgumentError(
            "%s has no range %r (it has %s)." % (self.name_of(pid), range_spelling,
                                                 ", ".join(names) or "none"),
            C.ERROR_CLASS_INVALID_ARGUMENT)

    def range_name(self, peripheral, range_id):
        """The usual name of a range: 10V, 1V, 100mV, 10mV, 3.3V."""
        return spellings.range_name(self.get_range_min_max(peripheral, range_id)[1])

    def _analog_slot(self, pid):
        """The channel index of an analog input (its value slot)."""
        if kind_of(pid) == C.KIND_DIFF_INPUT:
            return self.get_device_parameter(C.PARAM_SINGLE_ENDED_INPUTS) + (pid & 0xFF)
        return pid & 0xFF

    # ---- channels ------------------------------------------------------------
    def channels(self, inputs):
        """Channel records of a channel list (see module spellings: names,
        identifiers, "AI-0:10mV", "AI-0,AI-1")."""
        fam = self._family()
        result = []
        for item in spellings.split_channels(inputs):
            name, spelled = spellings.channel_spec(item)
            pid = self.resolve(name, _INPUT_KINDS)
            kind = kind_of(pid)
            if spelled is not None and kind not in ANALOG_INPUT_KINDS:
                raise errors.InvalidArgumentError(
                    "%s has no ranges: only analog inputs take one (%r)." % (self.name_of(pid),
                                                                           item),
                    C.ERROR_CLASS_INVALID_ARGUMENT)
            range_id = self.range_id(pid, spelled) if spelled is not None else None
            if kind in ANALOG_INPUT_KINDS:
                result.append(Channel(pid, self.name_of(pid), True, self._analog_slot(pid), 1,
                                      range_id))
            elif kind == C.KIND_DIGITAL_PORT:
                result.append(Channel(pid, self.name_of(pid), False, pid & 0xFF, 1))
            elif kind == C.KIND_COUNTER:
                if fam.counter_slot is None:
                    raise errors.InvalidArgumentError("Invalid in-port id.",
                                                      C.ERROR_CLASS_INVALID_ARGUMENT)
                result.append(Channel(pid, self.name_of(pid), False, fam.counter_slot, 2))
            else:
                result.append(Channel(pid, self.name_of(pid), False, fam.trigger_slot, 1))
        return result

    # ---- calibration -------------------------------------------------------
    @property
    def calibration(self):
        """The device's calibration records (read once; module calibration):
        `input(channel index, range index)` and `output(index)`."""
        if self._calibration is None:
            self._calibration = Calibration.read(self._family(), self.read_block,
                                                 self.read_register)
        return self._calibration

    def input_scale(self, analog_input, range_id=None):
        """The InputScale (calibrated, converter ends) of an analog input in
        a range (default: its current range)."""
        pid = self.resolve(analog_input, ANALOG_INPUT_KINDS)
        if range_id is None:
            range_id = self.get_analog_input_parameters(pid)[0]
        return self.calibration.input(self._analog_slot(pid), range_id - C.RANGE(0))

    @property
    def uncalibrated(self):
        """The analog inputs and outputs whose calibration record is erased
        (the nominal conversion applies to them), as Uncalibrated records
        that print as "AI-3 (ranges 1V, 10mV)", "AO-0" or "VBUSREF"; empty
        when everything is calibrated."""
        if self._uncalibrated is None:
            found = []
            names = self.peripherals()
            for name, pid in sorted(names.items(), key=lambda item: item[1]):
                kind = kind_of(pid)
                if kind in ANALOG_INPUT_KINDS:
                    rids = self.ranges(pid)
                    erased = [rid for rid in rids if not self.input_scale(pid, rid).calibrated]
                    if erased:
                        found.append(Uncalibrated(
                            name, tuple(self.range_name(pid, r) for r in erased)
                            if len(rids) > 1 else (), len(erased) == len(rids)))
                elif kind == C.KIND_ANALOG_OUTPUT:
                    if not self.calibration.output(pid & 0xFF).calibrated:
                        found.append(Uncalibrated(name, (), True))
            self._uncalibrated = found
        return list(self._uncalibrated)

    def _warn_uncalibrated(self, name, scale, range_name, stacklevel=3):
        """Warns once per device, input and range that the nominal
        conversion applies."""
        key = (name, range_name)
        if scale.calibrated or key in self._warned_uncalibrated:
            return
        self._warned_uncalibrated.add(key)
        where = " in the %s range" % range_name if range_name else ""
        warnings.warn("%s of %s is uncalibrated%s: %s" % (name, self.identifier, where,
                                                          UNCALIBRATED_TEXT),
                      RuntimeWarning, stacklevel=stacklevel + 1)

    def _prepare_channels(self, record, stacklevel=5):
        """Sets the ranges the channels of a Record ask for, makes them the
        input frame, and notes what the files need: serial number, range
        limits (the decimal limits of the float32 values), range names and
        the scales of the analog inputs (warning once for an uncalibrated
        one)."""
        for c in record.chans:
            if c.range_id is not None:
                self.set_analog_input_parameters(c.id, c.range_id)
        self.setup_input_frame([c.id for c in record.chans])
        record.serial = self.serial_number
        record.ranges, record.range_names, record.scales = [], [], []
        for c in record.chans:
            if not c.analog:
                record.ranges.append(None)
                record.range_names.append(None)
                record.scales.append(None)
                continue
            range_id, _ = self.get_analog_input_parameters(c.id)
            record.ranges.append(tuple(float(repr(x))
                                       for x in self.get_range_min_max(c.id, range_id)))
            record.range_names.append(self.range_name(c.id, range_id))
            scale = self.input_scale(c.id, range_id)
            record.scales.append(scale)
            multi = len(self.ranges(c.id)) > 1
            self._warn_uncalibrated(c.name, scale, record.range_names[-1] if multi else None,
                                    stacklevel=stacklevel)
