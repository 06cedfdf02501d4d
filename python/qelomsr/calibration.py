"""What a device's calibration records say beyond the volts the library
returns: whether an input or output is calibrated at all, which values mean
that the converter sat at the end of its scale (a clipped sample), and the
voltage an analog output really produces for a requested value.

The records are read once per opened device, through the raw block access,
from where the library reads them when it opens the device. The conversions
take the library's steps in its precision (float32 where it computes in
float, double where in double), so a clipped sample compares equal to the end
values computed here.

    cal = Calibration.read(family, device.read_block, device.read_register)
    cal.input(channel_index, range_index).clipped(volts)
    cal.output(output_index).produced_volts(3.0)
"""

import collections
import math
import struct

from . import constants as C
from ._numbers import to_float32

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

RECORD_BYTES = 8
# Full scale of the bipolar input ranges by range index.
FULL_SCALE_VOLTS = (10.0, 1.0, 0.1, 0.01)
DAC_TOP_CODE = 4095
# Volts added before scaling an output value: half a code at the nominal scale.
ROUNDING_OFFSET_VOLTS = 10.0 / 4095.0
FLOAT32_MAX = 3.4028234663852886e38
_ERASED16 = (0xFFFF, 0xFFFF, 0xFFFF)


def _divide(a, b):
    """a / b as IEEE arithmetic gives it (the library divides in C)."""
    if b:
        return a / b
    if a == 0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


class InputScale(collections.namedtuple("InputScale", "calibrated lowest_volts highest_volts")):
    """One analog input in one range: `calibrated` False when its record is
    erased (the nominal conversion applies); the values of the converter's
    lowest and highest codes, lower first. A sample at or beyond them was
    clipped: the input may lie anywhere past that end."""

    __slots__ = ()

    def clipped(self, volts):
        return volts <= self.lowest_volts or volts >= self.highest_volts

    def count_clipped(self, column):
        """How many values of a column are clipped."""
        if np is not None:
            column = np.asarray(column)
            return int(np.count_nonzero((column <= self.lowest_volts) |
                                        (column >= self.highest_volts)))
        return sum(1 for v in column if self.clipped(v))


def _ends(at_code_zero, at_top_code, calibrated):
    return InputScale(calibrated, min(at_code_zero, at_top_code), max(at_code_zero, at_top_code))


def dual_point_scale(record, full_scale_volts, top_code=0xFFFF):
    """A dual-point record (positive, zero, negative code; 16-bit fields) of
    a bipolar range of the given full scale."""
    positive, zero, negative = struct.unpack_from("<3H", record)
    erased = (positive, zero, negative) == _ERASED16
    if erased:
        positive, zero, negative = 0xFFFF, 0x8000, 0
    positive_scale = _divide(full_scale_volts, float(positive - zero))
    negative_scale = _divide(-full_scale_volts, float(zero - negative))

    def convert(raw):
        if raw < zero:
            return to_float32(float(zero - raw) * negative_scale)
        return to_float32(float(raw - zero) * positive_scale)

    return _ends(convert(0), convert(top_code), not erased)


def simple_scale(record, top_code=4095):
    """A simple record (offset, gain with 28 fraction bits; 32-bit fields) of
    a unipolar converter, in the library's single-precision steps."""
    offset, gain = struct.unpack_from("<2I", record)
    erased = offset == 0xFFFFFFFF and gain == 0xFFFFFFFF
    if erased:
        offset, gain = 0, 1 << 28
    if offset >= 1 << 31:
        offset -= 1 << 32
    scale = to_float32(to_float32(float(gain)) / float(1 << 28))
    scale = to_float32(scale / to_float32(4095.0))
    scale = to_float32(scale * to_float32(3.3))

    def convert(raw):
        return to_float32(to_float32(float(raw - offset)) * scale)

    return _ends(convert(0), convert(top_code), not erased)


class OutputScale:
    """One analog output: its record (DAC codes at +10 V, 0 V and -10 V),
    the 12-bit code the library writes for a value and the voltage a code
    produces through the same record."""

    def __init__(self, positive, zero, negative):
        self.calibrated = (positive, zero, negative) != _ERASED16
        if not self.calibrated:
            positive, zero, negative = DAC_TOP_CODE, 2047, 0
        self.positive_code, self.zero_code, self.negative_code = positive, zero, negative
        self.positive_scale = (positive - zero) / 10.0  # codes per volt at and above 0 V
        self.negative_scale = (zero - negative) / 10.0  # codes per volt below 0 V

    @classmethod
    def from_record(cls, record):
        return cls(*struct.unpack_from("<3H", record))

    def code(self, volts):
        """The DAC code the library writes for `volts` (taken as float32)."""
        value = to_float32(volts) if math.isfinite(volts) else volts
        if math.isnan(value):
            return 0
        if math.isinf(value):
            value = math.copysign(FLOAT32_MAX, value)
        x = value + ROUNDING_OFFSET_VOLTS
        # The sign test is on the value, so -0.0 takes the positive scale.
        s = self.positive_scale if value >= 0 else self.negative_scale
        r = s * x + self.zero_code
        if math.isnan(r) or r < 0.0:
            return 0
        if r > DAC_TOP_CODE:
            return DAC_TOP_CODE
        return int(r)

    def volts(self, code):
        """The voltage a DAC code produces through the record."""
        z = self.zero_code
        if code >= z:
            return _divide((code - z) * 10.0, float(self.positive_code - z))
        return -_divide((z - code) * 10.0, float(z - self.negative_code))

    def produced_volts(self, requested):
        """The voltage the output produces when asked for `requested`."""
        return self.volts(self.code(requested))


class Calibration:
    """The scales of one device: inputs by (channel index, range index),
    outputs by output index."""

    def __init__(self, inputs, outputs):
        self._inputs = inputs
        self._outputs = outputs

    @classmethod
    def read(cls, family, read_block, read_register):
        """Reads the records of a device of `family` through its raw block
        and register access (functions (address, size) -> bytes and
        (address) -> int)."""
        address = family.calibration_address
        if address is None:
            address = read_register(C.CALIBRATION_ADDRESS_REGISTER)
        return cls.parse(family, read_block(address, family.calibration_bytes))

    @classmethod
    def parse(cls, family, block):
        """The scales from the bytes of a calibration block."""
        if len(block) < family.calibration_bytes:
            raise ValueError("a %s calibration block has %d bytes, not %d" %
                             (family.name, family.calibration_bytes, len(block)))
        per_row = family.ranges_per_record_row
        inputs = {}
        for channel in range(family.value_slots):
            for r in range(per_row):
                at = family.input_record_offset + RECORD_BYTES * (per_row * channel + r)
                record = block[at:at + RECORD_BYTES]
                if family.simple_calibration:
                    inputs[channel, r] = simple_scale(record, family.adc_top_code)
                else:
                    inputs[channel, r] = dual_point_scale(record, FULL_SCALE_VOLTS[r],
                                                          family.adc_top_code)
        outputs = {}
        if family.output_record_offset is not None:
            first_input = family.input_record_offset
            for index in range((first_input - family.output_record_offset) // RECORD_BYTES):
                at = family.output_record_offset + RECORD_BYTES * index
                outputs[index] = OutputScale.from_record(block[at:at + RECORD_BYTES])
        return cls(inputs, outputs)

    def input(self, channel, range_index=0):
        """The InputScale of a channel index in a range index."""
        return self._inputs[channel, range_index]

    def output(self, index):
        """The OutputScale of an analog output index."""
        return self._outputs[index]
