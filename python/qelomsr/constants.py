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
    """Frame record layout and per-call read limit of one device family."""

    def __init__(self, name, type_code, value_slots, port_slots, counter_slot, trigger_slot,
                 read_limit_bytes):
        self.name = name
        self.type_code = type_code
        self.value_slots = value_slots
        self.port_slots = port_slots
        self.counter_slot = counter_slot
        self.trigger_slot = trigger_slot
        self.read_limit_bytes = read_limit_bytes

    def __repr__(self):
        return "Family(%r)" % self.name


FAMILIES = {
    TYPE_KA1X: Family("Ka", TYPE_KA1X, 21, 5, 3, 4, 4096),
    TYPE_VEL1X: Family("Vel", TYPE_VEL1X, 9, 3, None, 2, 4096),
    TYPE_RIX1X: Family("Rix", TYPE_RIX1X, 6, 3, 1, 2, 2048),
}
