"""Numeric constants of the qelomsr C interface (include/qelomsr/qelomsr.h)."""

# Device type codes.
TYPE_ALL = 0x7A500000
TYPE_ALL_ALT = 0x7A500001
TYPE_KA1X = 0x7A500010
TYPE_RIX1X = 0x7A500011
TYPE_VEL1X = 0x7A500012

# Family class names of the type codes (DeviceInfo shows them).
TYPE_NAMES = {
    TYPE_ALL: "all families",
    TYPE_ALL_ALT: "all families",
    TYPE_KA1X: "QeloKa1x",
    TYPE_RIX1X: "QeloRix1x",
    TYPE_VEL1X: "QeloVel1x",
}

USB_PID_KA1X = 0x3201
USB_PID_RIX1X = 0x3202
USB_PID_VEL1X = 0x3204


# Identifier space 0x7A50kknn.
def DIGITAL_PORT(n):
    return 0x7A501000 + n


def ANALOG_INPUT(n):
    return 0x7A501100 + n


def DIFF_INPUT(n):
    return 0x7A501200 + n


def ANALOG_OUTPUT(n):
    return 0x7A501300 + n


def RANGE(n):
    return 0x7A501400 + n


def CURRENT_SOURCE(n):
    return 0x7A501700 + n


def TRIGGER_CONFIG(n):
    return 0x7A501900 + n


def COUNTER_CONFIG(n):
    return 0x7A501A00 + n


KIND_DIGITAL_PORT = 0x7A501000
KIND_ANALOG_INPUT = 0x7A501100
KIND_DIFF_INPUT = 0x7A501200
KIND_ANALOG_OUTPUT = 0x7A501300
KIND_RANGE = 0x7A501400
KIND_COUNTER = 0x7A501500
KIND_TRIGGER = 0x7A501600
KIND_CURRENT_SOURCE = 0x7A501700
KIND_LED = 0x7A501800

RANGE_NONE = 0x7A5014FF
COUNTER = 0x7A501500
TRIGGER = 0x7A501600
LED = 0x7A501800

RANGE_10V = RANGE(0)
RANGE_1V = RANGE(1)
RANGE_100MV = RANGE(2)
RANGE_10MV = RANGE(3)

TRIGGER_CONFIG_OUT_A = TRIGGER_CONFIG(0)
TRIGGER_CONFIG_OUT_B = TRIGGER_CONFIG(1)
TRIGGER_CONFIG_IN_A = TRIGGER_CONFIG(2)
TRIGGER_CONFIG_IN_B = TRIGGER_CONFIG(3)
TRIGGER_CONFIG_IN_C = TRIGGER_CONFIG(4)

FRAME_SAMPLE_TRIGGER = -1.0

# Device parameters (Device.get_device_parameter).
PARAM_SINGLE_ENDED_INPUTS = 0
PARAM_DIFFERENTIAL_INPUTS = 1
PARAM_ANALOG_OUTPUTS = 2
PARAM_DIGITAL_PORTS = 3
PARAM_COUNTERS = 4
PARAM_TRIGGERS = 5
PARAM_HALF_TRANSFER_BYTES = 6
PARAM_CURRENT_SOURCES = 7
PARAM_WATCHDOG = 8

PARAMETER_NAMES = (
    "single_ended_inputs",
    "differential_inputs",
    "analog_outputs",
    "digital_ports",
    "counters",
    "triggers",
    "half_transfer_bytes",
    "current_sources",
    "watchdog",
)

TEXT_BUFFER_SIZE = 1024

ERROR_CLASS_NO_RECORD = 0
ERROR_CLASS_OUT_OF_RANGE = 1
ERROR_CLASS_INVALID_ARGUMENT = 2
ERROR_CLASS_LOGIC = 3
ERROR_CLASS_RUNTIME = 4
ERROR_CLASS_BAD_ALLOC = 5
ERROR_CLASS_EXCEPTION = 14
ERROR_CLASS_UNKNOWN = 15


class Family:
    """What differs between the device families: frame record layout,
    per-call read limit, where the calibration records lie, the converter's
    code span, and the prefix of the serial number. Given by keyword."""

    def __init__(self, *, name, type_code, usb_product_id, serial_prefix, value_slots, port_slots,
                 counter_slot, trigger_slot, read_limit_bytes, calibration_address,
                 calibration_bytes, simple_calibration, output_record_offset,
                 input_record_offset, ranges_per_record_row, adc_top_code):
        self.name = name
        self.type_code = type_code
        self.usb_product_id = usb_product_id
        self.serial_prefix = serial_prefix
        self.value_slots = value_slots
        self.port_slots = port_slots
        self.counter_slot = counter_slot
        self.trigger_slot = trigger_slot
        self.read_limit_bytes = read_limit_bytes
        # None: the device names the address in CALIBRATION_ADDRESS_REGISTER.
        self.calibration_address = calibration_address
        self.calibration_bytes = calibration_bytes
        # Simple records (offset, gain) instead of dual-point and output records.
        self.simple_calibration = simple_calibration
        self.output_record_offset = output_record_offset
        self.input_record_offset = input_record_offset
        self.ranges_per_record_row = ranges_per_record_row
        self.adc_top_code = adc_top_code

    def __repr__(self):
        return "Family(%r)" % self.name


CALIBRATION_ADDRESS_REGISTER = 0xF0000030

FAMILIES = {
    TYPE_KA1X: Family(name="Ka", type_code=TYPE_KA1X, usb_product_id=USB_PID_KA1X,
                      serial_prefix="QeloKa@", value_slots=21, port_slots=5, counter_slot=3,
                      trigger_slot=4, read_limit_bytes=4096, calibration_address=None,
                      calibration_bytes=696, simple_calibration=False, output_record_offset=0,
                      input_record_offset=16, ranges_per_record_row=4, adc_top_code=0xFFFF),
    TYPE_VEL1X: Family(name="Vel", type_code=TYPE_VEL1X, usb_product_id=USB_PID_VEL1X,
                       serial_prefix="QeloVel@", value_slots=9, port_slots=3, counter_slot=None,
                       trigger_slot=2, read_limit_bytes=4096, calibration_address=None,
                       calibration_bytes=696, simple_calibration=False, output_record_offset=0,
                       input_record_offset=8, ranges_per_record_row=4, adc_top_code=0xFFFF),
    TYPE_RIX1X: Family(name="Rix", type_code=TYPE_RIX1X, usb_product_id=USB_PID_RIX1X,
                       serial_prefix="QeloPilex@", value_slots=6, port_slots=3, counter_slot=1,
                       trigger_slot=2, read_limit_bytes=2048, calibration_address=0x08004400,
                       calibration_bytes=48, simple_calibration=True, output_record_offset=None,
                       input_record_offset=0, ranges_per_record_row=1, adc_top_code=4095),
}
