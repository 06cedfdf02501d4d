/*
 * qelomsr - C interface to the Qelo Ka, Vel and Rix USB measurement devices.
 *
 * This is the only header an application needs. Every function returns 0 on
 * success or a non-zero error id. The error id names an error record that
 * __wrapper_error() reads back: an error class (QELOMSR_ERROR_CLASS_*) and an
 * English message text. Out-parameters are written only on success unless a
 * function says otherwise.
 *
 * All functions except QeloMsrGetApiVersion, QeloMsrClose and __wrapper_error
 * are serialised by one library-wide lock: at most one device operation runs at
 * a time in the whole process, whatever device it concerns.
 *
 * The library may be loaded and unloaded any number of times; unloading it
 * closes the devices still open and releases its libusb context.
 *
 * Usable from C89 and C++.
 */
#ifndef QELOMSR_QELOMSR_H
#define QELOMSR_QELOMSR_H

#if defined(_WIN32)
#if defined(QELOMSR_BUILDING)
#define QELOMSR_API __declspec(dllexport)
#else
#define QELOMSR_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define QELOMSR_API __attribute__((visibility("default")))
#else
#define QELOMSR_API
#endif

/* Version of this header and of the library that implements it. */
#define QELOMSR_VERSION_MAJOR 2
#define QELOMSR_VERSION_MINOR 0
#define QELOMSR_VERSION_PATCH 0
#define QELOMSR_VERSION_BUILD 0
#define QELOMSR_VERSION_STRING "2.0.0.0"

/* ---- Device type codes (QeloMsrGetIdentifier, QeloMsrBeginEnumerate) ---- */
#define QELOMSR_TYPE_ALL 0x7A500000
#define QELOMSR_TYPE_ALL_ALT 0x7A500001
#define QELOMSR_TYPE_KA1X 0x7A500010
#define QELOMSR_TYPE_RIX1X 0x7A500011
#define QELOMSR_TYPE_VEL1X 0x7A500012

/* USB product ids of the three families. */
#define QELOMSR_USB_PID_KA1X 0x3201
#define QELOMSR_USB_PID_RIX1X 0x3202
#define QELOMSR_USB_PID_VEL1X 0x3204

/* ---- Identifier space: 0x7A50kknn ---- */
#define QELOMSR_ID_DIGITAL_PORT(n) (0x7A501000 + (n))
#define QELOMSR_ID_ANALOG_INPUT(n) (0x7A501100 + (n))
#define QELOMSR_ID_DIFF_INPUT(n) (0x7A501200 + (n))
#define QELOMSR_ID_ANALOG_OUTPUT(n) (0x7A501300 + (n))
#define QELOMSR_ID_RANGE(n) (0x7A501400 + (n))
#define QELOMSR_ID_RANGE_NONE 0x7A5014FF
#define QELOMSR_ID_COUNTER 0x7A501500
#define QELOMSR_ID_TRIGGER 0x7A501600
#define QELOMSR_ID_CURRENT_SOURCE(n) (0x7A501700 + (n))
#define QELOMSR_ID_LED 0x7A501800
#define QELOMSR_ID_TRIGGER_CONFIG(n) (0x7A501900 + (n))
#define QELOMSR_ID_COUNTER_CONFIG(n) (0x7A501A00 + (n))

/* Ranges: index 0..3 are +-10 V, +-1 V, +-0.1 V, +-0.01 V (Ka, Vel); Rix has
 * only range 0 (0..3.3 V, VBUSREF 0..6.6 V). */
#define QELOMSR_RANGE_10V QELOMSR_ID_RANGE(0)
#define QELOMSR_RANGE_1V QELOMSR_ID_RANGE(1)
#define QELOMSR_RANGE_100MV QELOMSR_ID_RANGE(2)
#define QELOMSR_RANGE_10MV QELOMSR_ID_RANGE(3)

/* Trigger configurations: 0 and 1 make the trigger line an output, 2 (the
 * default), 3 and 4 an input. */
#define QELOMSR_TRIGGER_CONFIG_OUT_A QELOMSR_ID_TRIGGER_CONFIG(0)
#define QELOMSR_TRIGGER_CONFIG_OUT_B QELOMSR_ID_TRIGGER_CONFIG(1)
#define QELOMSR_TRIGGER_CONFIG_IN_A QELOMSR_ID_TRIGGER_CONFIG(2)
#define QELOMSR_TRIGGER_CONFIG_IN_B QELOMSR_ID_TRIGGER_CONFIG(3)
#define QELOMSR_TRIGGER_CONFIG_IN_C QELOMSR_ID_TRIGGER_CONFIG(4)

/* Frame rate that selects the frame sample trigger in
 * QeloMsrStartDataAcquisition. */
#define QELOMSR_FRAME_SAMPLE_TRIGGER (-1.0f)

/* ---- Device parameters (QeloMsrGetDeviceParameter) ---- */
#define QELOMSR_PARAM_SINGLE_ENDED_INPUTS 0
#define QELOMSR_PARAM_DIFFERENTIAL_INPUTS 1
#define QELOMSR_PARAM_ANALOG_OUTPUTS 2
#define QELOMSR_PARAM_DIGITAL_PORTS 3
#define QELOMSR_PARAM_COUNTERS 4
#define QELOMSR_PARAM_TRIGGERS 5
#define QELOMSR_PARAM_HALF_TRANSFER_BYTES 6
#define QELOMSR_PARAM_CURRENT_SOURCES 7
#define QELOMSR_PARAM_WATCHDOG 8

/* ---- Frame record layout per family ----
 * Input frame f of a multi-frame read starts at vbuffer[f * VALUE_SLOTS] and
 * buffer[f * PORT_SLOTS]. Analog input channel c (single-ended inputs first,
 * then differential ones) is value slot c; digital port k is port slot k. */
#define QELOMSR_KA_VALUE_SLOTS 21
#define QELOMSR_KA_PORT_SLOTS 5
#define QELOMSR_KA_COUNTER_SLOT 3
#define QELOMSR_KA_TRIGGER_SLOT 4
#define QELOMSR_VEL_VALUE_SLOTS 9
#define QELOMSR_VEL_PORT_SLOTS 3
#define QELOMSR_VEL_TRIGGER_SLOT 2
#define QELOMSR_RIX_VALUE_SLOTS 6
#define QELOMSR_RIX_PORT_SLOTS 3
#define QELOMSR_RIX_COUNTER_SLOT 1
#define QELOMSR_RIX_TRIGGER_SLOT 2
/* Bytes of frame data one QeloMsrReadNonBlocking call moves at most; the
 * caller's arrays must hold floor(limit / frame bytes) frames. */
#define QELOMSR_KA_READ_LIMIT_BYTES 4096
#define QELOMSR_VEL_READ_LIMIT_BYTES 4096
#define QELOMSR_RIX_READ_LIMIT_BYTES 2048

/* Size of the text buffers without a length argument (serial number,
 * identifier, version): the library zero-fills exactly this many bytes. */
#define QELOMSR_TEXT_BUFFER_SIZE 1024

/* ---- Error classes (__wrapper_error) ---- */
#define QELOMSR_ERROR_CLASS_OUT_OF_RANGE 1     /* bad range or configuration id */
#define QELOMSR_ERROR_CLASS_INVALID_ARGUMENT 2 /* bad identifier, count, pointer */
#define QELOMSR_ERROR_CLASS_LOGIC 3            /* not possible now / not supported */
#define QELOMSR_ERROR_CLASS_RUNTIME 4          /* reported by device or transport */
#define QELOMSR_ERROR_CLASS_BAD_ALLOC 5        /* out of memory */
#define QELOMSR_ERROR_CLASS_EXCEPTION 14       /* other C++ exception */
#define QELOMSR_ERROR_CLASS_UNKNOWN 15         /* anything else */
/* Class reported by __wrapper_error for an id that names no record (never
 * issued, or older than the QELOMSR_ERROR_RECORDS_KEPT most recent records). */
#define QELOMSR_ERROR_CLASS_NO_RECORD 0
/* The library keeps this many of the most recent error records. */
#define QELOMSR_ERROR_RECORDS_KEPT 65536

/* Blocking transfers (QeloMsrReadBlocking, QeloMsrWriteBlocking) fail with an
 * error of class 4 when the device makes no progress for a stall limit:
 * 10000 ms by default, or the value of the environment variable
 * QELOMSR_BLOCKING_TIMEOUT_MS (milliseconds; 0 means no limit), read once. The
 * limit is never shorter than 100 frame periods of the running acquisition.
 * While an acquisition waits for the trigger line (every frame under the frame
 * sample trigger or the Vel's gate, the first frame after a start on the
 * trigger), the default does not apply: such a wait lasts until the trigger
 * comes, bounded only by QELOMSR_BLOCKING_TIMEOUT_MS when the caller sets it.
 * A caller that wants to give up on a trigger sets the variable, or polls with
 * QeloMsrReadNonBlocking and stops the acquisition itself (a blocking call
 * holds the library's call lock, so QeloMsrStopDataAcquisition from another
 * thread runs only after it returns).
 * QeloMsrReadBlocking also fails at once when no acquisition runs and no
 * complete frame is buffered, and when a finite acquisition can no longer
 * deliver the frames still asked for. Frames read before a failure stay in the
 * caller's arrays. */
#define QELOMSR_BLOCKING_TIMEOUT_ENV "QELOMSR_BLOCKING_TIMEOUT_MS"
#define QELOMSR_BLOCKING_TIMEOUT_DEFAULT_MS 10000

/* 64-bit signed integer of the counter read; long long, spelled so that strict
 * C89 compilers accept it as an extension. */
#if defined(__GNUC__) && !defined(__cplusplus)
__extension__ typedef long long qelomsr_int64;
#else
typedef long long qelomsr_int64;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ===== Library, errors, enumeration ===== */

/* Writes the library version text ("2.0.0.0") into version (versionLength
 * bytes including the NUL). A buffer that is too small receives an empty
 * string. Always returns 0; takes no lock. */
QELOMSR_API int QeloMsrGetApiVersion(char* version, int versionLength);

/* Reads error record errorId: its text goes to message (messageLength bytes
 * including the NUL; too small gives an empty string, 0 or less writes
 * nothing) and its class to *errorClass. A record can be read any number of
 * times, from any thread. For an id that names no record the text is
 * "Unknown error id." and the class QELOMSR_ERROR_CLASS_NO_RECORD; a failure
 * whose record could not be stored for want of memory still has its own id,
 * which reads "The error record could not be stored." with class
 * QELOMSR_ERROR_CLASS_BAD_ALLOC. Error ids count up from 1 with every failed
 * call, from 2147483647 on to -2147483648, and never take the value 0.
 * Pointers are not tested: pass valid ones. */
QELOMSR_API void __wrapper_error(int errorId, char* message, int messageLength, int* errorClass);

/* Enumerates attached devices of a type code (QELOMSR_TYPE_*; ALL and ALL_ALT
 * select every family). *count receives the number of devices listed; an
 * unknown type lists none. Replaces the previous enumeration list. Devices that
 * cannot be opened at the moment (for example held by another program) are
 * left out. */
QELOMSR_API int QeloMsrBeginEnumerate(int* count, int type);

/* There is no network transport: empties the enumeration list and sets
 * *count = 0. target, option and type are ignored. */
QELOMSR_API int QeloMsrBeginEnumerateNetwork(const char* target, int option, int* count, int type);

/* Reports entry index of the latest enumeration: ident receives the identifier
 * (for example "USB:1-0-3") and version the firmware version ("1.4"); both
 * buffers must hold QELOMSR_TEXT_BUFFER_SIZE bytes and are zero-filled first.
 * *type receives the type code. reserved is ignored. */
QELOMSR_API int QeloMsrGetIdentifier(int index, char* ident, int reserved, int* type,
                                     char* version);

/* Opens the device with identifier ident from the latest enumeration and
 * stores a new handle in *handle (handles count from 1 and are never reused).
 * Fails with class 3 "Device already opened." when ident is open already. */
QELOMSR_API int QeloMsrOpen(const char* ident, int* handle);

/* Closes a device and forgets its handle. Always returns 0 and never creates
 * an error record; an unknown handle is ignored. Must not overlap another call
 * on the same handle. */
QELOMSR_API int QeloMsrClose(int handle);

/* ===== Device, identity and small peripherals ===== */

/* Resets the cached configuration and all peripherals of the device. */
QELOMSR_API int QeloMsrResetDevice(int handle);
/* Writes mask to the device's peripheral reset register. */
QELOMSR_API int QeloMsrResetPeripherals(int handle, int mask);
/* *value = device parameter QELOMSR_PARAM_* (-1 for an unknown index). */
QELOMSR_API int QeloMsrGetDeviceParameter(int handle, int parameter, int* value);
/* Writes the serial number text ("QeloKa@...") into buffer, which must hold
 * QELOMSR_TEXT_BUFFER_SIZE bytes; the library zero-fills all of them. */
QELOMSR_API int QeloMsrGetSerialNumber(int handle, char* buffer);
/* Copies the display name of a peripheral ("AI-3", "DP-1", "AI-0/AI-1",
 * "TRG", ...) into name (nameLength bytes including the NUL; too small gives
 * an empty string and success). */
QELOMSR_API int QeloMsrGetPeripheralName(int handle, int peripheralId, char* name, int nameLength);
/* *temperature = device temperature in degrees Celsius (0 without sensor). */
QELOMSR_API int QeloMsrGetTemperature(int handle, float* temperature);
/* Switches the LED QELOMSR_ID_LED; on != 0 means on. */
QELOMSR_API int QeloMsrSetLed(int handle, int ledId, int on);
/* *current = calibrated value of reference current source currentId. */
QELOMSR_API int QeloMsrGetReferenceCurrent(int handle, int currentId, float* current);
/* Sets the watchdog timeout in units of 250 ms (Ka with firmware above 1.3). */
QELOMSR_API int QeloMsrSetWatchdogTimeout(int handle, unsigned int timeout250ms);
/* *timeout250ms = the watchdog timeout in units of 250 ms. */
QELOMSR_API int QeloMsrGetWatchdogTimeout(int handle, unsigned int* timeout250ms);

/* ===== Analog inputs and ranges ===== */

/* *rangeId = the index-th range of an analog input or output, or
 * QELOMSR_ID_RANGE_NONE past the last one. */
QELOMSR_API int QeloMsrEnumerateRanges(int handle, int peripheralId, int index, int* rangeId);
/* *minValue, *maxValue = limits of a range in volts. */
QELOMSR_API int QeloMsrGetRangeMinMax(int handle, int peripheralId, int rangeId, float* minValue,
                                      float* maxValue);
/* *defaultInterChannelDelay = the device's default delay for a range. */
QELOMSR_API int QeloMsrGetDefaultAnalogInputInterChannelDelay(int handle, int inputId, int rangeId,
                                                              int* defaultInterChannelDelay);
/* *minInterChannelDelay = the smallest inter-channel delay accepted. */
QELOMSR_API int QeloMsrGetMinAnalogInputInterChannelDelay(int handle, int inputId,
                                                          int* minInterChannelDelay);
/* Sets range and inter-channel delay of an input (-1: the range's default);
 * *correctedInterChannelDelay = the delay actually set: a delay above 0xFFFF,
 * the longest the device holds, is set as 0xFFFF. */
QELOMSR_API int QeloMsrSetAnalogInputParameters(int handle, int inputId, int rangeId,
                                                int interChannelDelay,
                                                int* correctedInterChannelDelay);
/* *rangeId, *interChannelDelay = current parameters of an input. If reading
 * the delay fails, *rangeId has already been written. */
QELOMSR_API int QeloMsrGetAnalogInputParameters(int handle, int inputId, int* rangeId,
                                                int* interChannelDelay);
/* *value = one calibrated sample of an input, in volts. Not possible while an
 * acquisition runs. */
QELOMSR_API int QeloMsrReadAnalogInput(int handle, int inputId, float* value);

/* ===== Analog outputs ===== */

/* Sets an analog output to value volts (clamped to the DAC's span). */
QELOMSR_API int QeloMsrWriteAnalogOutput(int handle, int outputId, float value);

/* ===== Digital ports ===== */

/* *ioCount = number of lines of a digital port. */
QELOMSR_API int QeloMsrGetDigitalPortIoCount(int handle, int portId, int* ioCount);
/* Copies the name of line io of a port ("IO-12") into name. */
QELOMSR_API int QeloMsrGetDigitalPortIoName(int handle, int portId, int io, char* name,
                                            int nameLength);
/* Selects which lines of a port drive outputs (bit set = output). */
QELOMSR_API int QeloMsrSetDigitalPortOutputEnableMask(int handle, int portId, int mask);
/* *value = current levels of a port's lines. */
QELOMSR_API int QeloMsrReadDigitalPort(int handle, int portId, int* value);
/* Sets the output levels of a port's lines. */
QELOMSR_API int QeloMsrWriteDigitalPort(int handle, int portId, int value);

/* ===== Triggers ===== */

/* Configures the trigger line with QELOMSR_TRIGGER_CONFIG_*; any other id
 * fails with class 1 "Invalid trigger config id." and changes nothing. */
QELOMSR_API int QeloMsrSetTriggerConfig(int handle, int triggerId, int triggerConfigId);
QELOMSR_API int QeloMsrGetTriggerConfig(int handle, int triggerId, int* triggerConfigId);
QELOMSR_API int QeloMsrSetTriggerEnable(int handle, int triggerId, int enable);
/* *enable = 1 when the trigger is enabled, else 0. */
QELOMSR_API int QeloMsrGetTriggerEnable(int handle, int triggerId, int* enable);

/* ===== Counters ===== */

QELOMSR_API int QeloMsrResetCounter(int handle, int counterId);
/* Rix only: configures the counter with QELOMSR_ID_COUNTER_CONFIG(0..2); any
 * other id fails with class 1 "Invalid counter config id." and changes
 * nothing. The other families fail with class 3 "Not supported.". */
QELOMSR_API int QeloMsrSetCounterConfig(int handle, int counterId, int counterConfigId);
QELOMSR_API int QeloMsrGetCounterConfig(int handle, int counterId, int* counterConfigId);
QELOMSR_API int QeloMsrSetCounterEnable(int handle, int counterId, int enable);
/* *enable = 1 when the counter is enabled, else 0. */
QELOMSR_API int QeloMsrGetCounterEnable(int handle, int counterId, int* enable);
/* *counter = the 32-bit counter value (0..4294967295), all eight bytes
 * written. */
QELOMSR_API int QeloMsrReadCounter(int handle, int counterId, qelomsr_int64* counter);

/* ===== Input frames and acquisition ===== */

/* *frameCount = how many frames of the current input frame fit into the
 * device's input buffer. */
QELOMSR_API int QeloMsrCalculateMaxBufferedInputFrames(int handle, int* frameCount);
/* Defines the input frame from iosCount identifiers (analog inputs, digital
 * ports, counter, trigger), each at most once. Frames still buffered from a
 * stopped acquisition stay readable when the input frame stays the same;
 * a different input frame discards them. */
QELOMSR_API int QeloMsrSetupInputFrame(int handle, int* ios, int iosCount);
/* Starts acquisition at frameRate Hz (>= 1), or on the frame sample trigger
 * with QELOMSR_FRAME_SAMPLE_TRIGGER (one frame per trigger event; events
 * closer together than the device can take frames make a read fail with "A
 * frame sample trigger has been detected to early, reduce trigger
 * frequency." once the frames taken before it are read); external != 0
 * starts on the trigger line (no frame before the trigger event, then frames
 * at frameRate). The trigger line must be configured as an input
 * (QeloMsrSetTriggerConfig) and, on the Rix, enabled (QeloMsrSetTriggerEnable).
 * Frames still buffered from an earlier acquisition are discarded: the first
 * frame read afterwards is the first one sampled for this acquisition.
 * frameCount > 0 ends the acquisition on the device after that many frames
 * (it must fit into the input buffer); 0 runs until stopped.
 * *correctedFrameRate = the rate the device runs at, or -1. */
QELOMSR_API int QeloMsrStartDataAcquisition(int handle, int external, float frameRate,
                                            int frameCount, float* correctedFrameRate);
/* Stops a running acquisition; does nothing when none runs. */
QELOMSR_API int QeloMsrStopDataAcquisition(int handle);
/* Reads exactly frameCount frames, waiting as needed (see the stall limit
 * above). */
QELOMSR_API int QeloMsrReadBlocking(int handle, float* vbuffer, int* buffer, int frameCount);
/* Reads the frames buffered now; *transferred = number of frames read (0 when
 * none is complete). Frames are split by the input frame and ranges in force
 * when their acquisition started. The arrays must hold the per-call maximum of
 * READ_LIMIT_BYTES / frame bytes frames.
 * An overflow of the device buffer (an overrun: the full buffer dropped new
 * frames) loses none of the frames the device kept: the call that first sees
 * it notes how many whole frames the device holds, those frames keep coming,
 * in order, over as many calls as they take, and the first call that finds
 * none of them left fails with class 4 "Buffer overflow." (and so does every
 * later call until the next start). The frames delivered since the start
 * before that error are therefore the frames before the first lost one: their
 * count is the frame index of the gap. Frames the device stores once reads
 * free room come after the gap; they are not delivered (a restart discards
 * them). An early frame sample trigger is reported the same way, with "A
 * frame sample trigger has been detected to early, reduce trigger
 * frequency." after the frames the device took; the event it could not take
 * came before the last of them. */
QELOMSR_API int QeloMsrReadNonBlocking(int handle, float* vbuffer, int* buffer, int* transferred);
/* Samples one frame now (no acquisition may run). */
QELOMSR_API int QeloMsrReadFrame(int handle, float* vbuffer, int* buffer);

/* ===== Output frames and generation ===== */

/* Defines the output frame from iosCount identifiers (analog outputs,
 * digital ports). */
QELOMSR_API int QeloMsrSetupOutputFrame(int handle, int* ios, int iosCount);
/* Sets all outputs of the output frame at once. */
QELOMSR_API int QeloMsrWriteFrame(int handle, float* vbuffer, int* buffer);
/* Output streaming (Vel): queued frames are played paced by the input frame
 * clock, one output frame per input frame of a running acquisition
 * (QeloMsrStartDataAcquisition; its frame rate is the output rate). Frames
 * queued before the start play from its first input frame; without a running
 * acquisition nothing is played and the output buffer does not drain, so a
 * waveform longer than the buffer needs the acquisition running while it is
 * queued. A tick that finds the buffer empty after frames were queued is an
 * underrun ("Buffer underrun" on the next write) until the next start.
 *
 * Vel only: queues exactly frameCount (>= 0; 0 returns at once) frames,
 * waiting as needed. Frame i takes vbuffer[i] and buffer[2*i], buffer[2*i+1]. */
QELOMSR_API int QeloMsrWriteBlocking(int handle, float* vbuffer, int* buffer, int frameCount);
/* Vel only: queues as many of frameCount frames as fit now;
 * *transferred = frames queued. Pacing as for QeloMsrWriteBlocking. */
QELOMSR_API int QeloMsrWriteNonBlocking(int handle, float* vbuffer, int* buffer, int frameCount,
                                        int* transferred);

/* ===== Raw register and memory access ===== */

/* Reads size (>= 0) bytes of device memory at address. */
QELOMSR_API int __QeloMsrReadBlock(int handle, unsigned int address, void* buffer, int size);
/* Writes size (>= 0) bytes of device memory at address. */
QELOMSR_API int __QeloMsrWriteBlock(int handle, unsigned int address, void* buffer, int size);
/* *value = the 32-bit register at address. */
QELOMSR_API int __QeloMsrReadRegister(int handle, unsigned int address, unsigned int* value);
/* Writes the 32-bit register at address. */
QELOMSR_API int __QeloMsrWriteRegister(int handle, unsigned int address, unsigned int value);

#ifdef __cplusplus
}
#endif

#endif /* QELOMSR_QELOMSR_H */
