// The exported C functions: every call runs inside one frame that takes the
// call lock, checks pointers, looks the handle up, calls one device operation
// and turns any exception into an error record whose id it returns.
#include <qelomsr/qelomsr.h>

#include <boost/shared_ptr.hpp>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "api/appversion.h"
#include "api/qelomsrdevice.h"
#include "api/qelomsrenumerator.h"
#include "api/qelomsrinternal.h"
#include "api/wrapper.h"

namespace wrapper {
object_manager<std::pair<int, std::string>, int> _error_manager(id_policy::wrapping,
                                                                QELOMSR_ERROR_RECORDS_KEPT);
}  // namespace wrapper

namespace {

using DevicePtr = boost::shared_ptr<QeloMsrDevice>;

std::mutex _api_mtx;
wrapper::object_manager<DevicePtr, int> _manager(wrapper::id_policy::positive_unique);

// Classifies the exception in flight and stores its record; returns the id.
// Out of memory, the id is taken all the same and its record reads as not
// stored.
int recordCurrentException() noexcept {
  std::pair<int, std::string> record;
  try {
    try {
      throw;
    } catch (const std::out_of_range& e) {
      record = {QELOMSR_ERROR_CLASS_OUT_OF_RANGE, e.what()};
    } catch (const std::invalid_argument& e) {
      record = {QELOMSR_ERROR_CLASS_INVALID_ARGUMENT, e.what()};
    } catch (const std::logic_error& e) {
      record = {QELOMSR_ERROR_CLASS_LOGIC, e.what()};
    } catch (const std::runtime_error& e) {
      record = {QELOMSR_ERROR_CLASS_RUNTIME, e.what()};
    } catch (const std::bad_alloc& e) {
      record = {QELOMSR_ERROR_CLASS_BAD_ALLOC, e.what()};
    } catch (const std::exception& e) {
      record = {QELOMSR_ERROR_CLASS_EXCEPTION, e.what()};
    } catch (...) {
      record = {QELOMSR_ERROR_CLASS_UNKNOWN, "System exception type caught."};
    }
  } catch (...) {
    return wrapper::_error_manager.add_unstored();
  }
  return wrapper::_error_manager.add_or_mark(std::move(record));
}

// The common frame: the call lock is held for the whole call, including the
// recording of a failure.
template <typename Body>
int frame(Body&& body) noexcept {
  std::unique_lock<std::mutex> lock(_api_mtx, std::defer_lock);
  try {
    lock.lock();
    body();
    return 0;
  } catch (...) {
    return recordCurrentException();
  }
}

void checkPointer(const void* pointer, const char* name) {
  if (pointer == nullptr) {
    throw std::invalid_argument(std::string("Invalid pointer for parameter ") + name + ".");
  }
}

DevicePtr lookup(int handle) { return _manager.get(handle); }

void checkBlockSize(int size) {
  if (size < 0) {
    throw std::invalid_argument("Invalid block size " + std::to_string(size) +
                                ": the size must not be negative.");
  }
}

}  // namespace

extern "C" {

// ---- frame, version, errors, enumeration -------------------------------------

int QeloMsrGetApiVersion(char* version, int versionLength) {
  if (version != nullptr) wrapper::to_buffer(appversion::getVersion(), version, versionLength);
  return 0;
}

void __wrapper_error(int errorId, char* message, int messageLength, int* errorClass) {
  try {
    std::pair<int, std::string> record;
    if (!wrapper::_error_manager.try_get(errorId, record)) {
      record =
          wrapper::_error_manager.unstored(errorId)
              ? std::make_pair(QELOMSR_ERROR_CLASS_BAD_ALLOC,
                               std::string("The error record could not be stored."))
              : std::make_pair(QELOMSR_ERROR_CLASS_NO_RECORD, std::string("Unknown error id."));
    }
    if (message != nullptr) wrapper::to_buffer(record.second, message, messageLength);
    if (errorClass != nullptr) *errorClass = record.first;
  } catch (...) {
    if (message != nullptr && messageLength > 0) message[0] = '\0';
    if (errorClass != nullptr) *errorClass = QELOMSR_ERROR_CLASS_BAD_ALLOC;
  }
}

int QeloMsrBeginEnumerate(int* count, int type) {
  return frame([&] {
    checkPointer(count, "<count>");
    *count = Enumerator::getInstance()->enumerate(type);
  });
}

int QeloMsrBeginEnumerateNetwork(const char* target, int option, int* count, int type) {
  return frame([&] {
    checkPointer(count, "<count>");
    *count = Enumerator::getInstance()->enumerate(const_cast<char*>(target), option, type);
  });
}

int QeloMsrGetIdentifier(int index, char* ident, int /*reserved*/, int* type, char* version) {
  return frame([&] {
    checkPointer(ident, "<ident>");
    checkPointer(type, "<type>");
    checkPointer(version, "<version>");
    Enumerator::getInstance()->getIdentifier(index, ident, type, version);
  });
}

int QeloMsrOpen(const char* ident, int* handle) {
  return frame([&] {
    checkPointer(ident, "<ident>");
    checkPointer(handle, "<handle>");
    const std::string identifier(ident);
    if (_manager.any_of([&](const DevicePtr& d) { return d->getIdentifier() == identifier; })) {
      throw std::logic_error("Device already opened.");
    }
    DevicePtr device = Enumerator::getInstance()->createInstance(identifier);
    device->open();
    *handle = _manager.add(device);
  });
}

int QeloMsrClose(int handle) {
  try {
    if (!_manager.has(handle)) return 0;
    {
      DevicePtr device = _manager.get(handle);
      device->close();
    }
    _manager.remove(handle);
  } catch (...) {
    // A failing close leaves the handle open; a later close tries again.
  }
  return 0;
}

// ---- device, identity and small peripherals -----------------------------------

int QeloMsrResetDevice(int handle) {
  return frame([&] { lookup(handle)->resetDevice(); });
}

int QeloMsrResetPeripherals(int handle, int mask) {
  return frame([&] { lookup(handle)->resetPeripherals(mask); });
}

int QeloMsrGetDeviceParameter(int handle, int parameter, int* value) {
  return frame([&] {
    checkPointer(value, "<value>");
    *value = lookup(handle)->getDeviceParameter(parameter);
  });
}

int QeloMsrGetSerialNumber(int handle, char* buffer) {
  return frame([&] {
    checkPointer(buffer, "<buffer>");
    lookup(handle)->getSerialNumber(buffer);
  });
}

int QeloMsrGetPeripheralName(int handle, int peripheralId, char* name, int nameLength) {
  return frame([&] {
    checkPointer(name, "<name>");
    wrapper::to_buffer(lookup(handle)->getPeripheralName(peripheralId), name, nameLength);
  });
}

int QeloMsrGetTemperature(int handle, float* temperature) {
  return frame([&] {
    checkPointer(temperature, "<temperature>");
    lookup(handle)->getTemperature(temperature);
  });
}

int QeloMsrSetLed(int handle, int ledId, int on) {
  return frame([&] { lookup(handle)->setLed(ledId, on != 0); });
}

int QeloMsrGetReferenceCurrent(int handle, int currentId, float* current) {
  return frame([&] {
    checkPointer(current, "<current>");
    *current = lookup(handle)->getReferenceCurrent(currentId);
  });
}

int QeloMsrSetWatchdogTimeout(int handle, unsigned int timeout250ms) {
  return frame([&] { lookup(handle)->setWatchdogTimeout(timeout250ms); });
}

int QeloMsrGetWatchdogTimeout(int handle, unsigned int* timeout250ms) {
  return frame([&] {
    checkPointer(timeout250ms, "<timeout250ms>");
    *timeout250ms = lookup(handle)->getWatchdogTimeout();
  });
}

// ---- analog inputs and ranges ---------------------------------------------------

int QeloMsrEnumerateRanges(int handle, int peripheralId, int index, int* rangeId) {
  return frame([&] {
    checkPointer(rangeId, "<rangeId>");
    *rangeId = lookup(handle)->enumerateRanges(peripheralId, index);
  });
}

int QeloMsrGetRangeMinMax(int handle, int peripheralId, int rangeId, float* minValue,
                          float* maxValue) {
  return frame([&] {
    checkPointer(minValue, "<minValue>");
    checkPointer(maxValue, "<maxValue>");
    const std::pair<float, float> limits = lookup(handle)->getRangeMinMax(peripheralId, rangeId);
    *minValue = limits.first;
    *maxValue = limits.second;
  });
}

int QeloMsrGetDefaultAnalogInputInterChannelDelay(int handle, int inputId, int rangeId,
                                                  int* defaultInterChannelDelay) {
  return frame([&] {
    checkPointer(defaultInterChannelDelay, "<defaultInterChannelDelay>");
    *defaultInterChannelDelay =
        lookup(handle)->getDefaultAnalogInputInterChannelDelay(inputId, rangeId);
  });
}

int QeloMsrGetMinAnalogInputInterChannelDelay(int handle, int inputId, int* minInterChannelDelay) {
  return frame([&] {
    checkPointer(minInterChannelDelay, "<minInterChannelDelay>");
    *minInterChannelDelay = lookup(handle)->getMinAnalogInputInterChannelDelay(inputId);
  });
}

int QeloMsrSetAnalogInputParameters(int handle, int inputId, int rangeId, int interChannelDelay,
                                    int* correctedInterChannelDelay) {
  return frame([&] {
    checkPointer(correctedInterChannelDelay, "<correctedInterChannelDelay>");
    *correctedInterChannelDelay =
        lookup(handle)->setAnalogInputParameters(inputId, rangeId, interChannelDelay);
  });
}

int QeloMsrGetAnalogInputParameters(int handle, int inputId, int* rangeId, int* interChannelDelay) {
  return frame([&] {
    checkPointer(rangeId, "<rangeId>");
    checkPointer(interChannelDelay, "<interChannelDelay>");
    *rangeId = lookup(handle)->getAnalogInputRange(inputId);
    *interChannelDelay = lookup(handle)->getAnalogInputInterChannelDelay(inputId);
  });
}

int QeloMsrReadAnalogInput(int handle, int inputId, float* value) {
  return frame([&] {
    checkPointer(value, "<value>");
    *value = lookup(handle)->readAnalogInput(inputId);
  });
}

// ---- analog outputs ----------------------------------------------------------------

int QeloMsrWriteAnalogOutput(int handle, int outputId, float value) {
  return frame([&] { lookup(handle)->writeAnalogOutput(outputId, value); });
}

// ---- digital ports -----------------------------------------------------------------

int QeloMsrGetDigitalPortIoCount(int handle, int portId, int* ioCount) {
  return frame([&] {
    checkPointer(ioCount, "<ioCount>");
    *ioCount = lookup(handle)->getDigitalPortIoCount(portId);
  });
}

int QeloMsrGetDigitalPortIoName(int handle, int portId, int io, char* name, int nameLength) {
  return frame([&] {
    checkPointer(name, "<name>");
    wrapper::to_buffer(lookup(handle)->getDigitalPortIoName(portId, io), name, nameLength);
  });
}

int QeloMsrSetDigitalPortOutputEnableMask(int handle, int portId, int mask) {
  return frame([&] { lookup(handle)->setDigitalPortOutputEnableMask(portId, mask); });
}

int QeloMsrReadDigitalPort(int handle, int portId, int* value) {
  return frame([&] {
    checkPointer(value, "<value>");
    *value = lookup(handle)->readDigitalPort(portId);
  });
}

int QeloMsrWriteDigitalPort(int handle, int portId, int value) {
  return frame([&] { lookup(handle)->writeDigitalPort(portId, value); });
}

// ---- triggers ------------------------------------------------------------------------

int QeloMsrSetTriggerConfig(int handle, int triggerId, int triggerConfigId) {
  return frame([&] { lookup(handle)->setTriggerConfig(triggerId, triggerConfigId); });
}

int QeloMsrGetTriggerConfig(int handle, int triggerId, int* triggerConfigId) {
  return frame([&] {
    checkPointer(triggerConfigId, "<triggerConfigId>");
    *triggerConfigId = lookup(handle)->getTriggerConfig(triggerId);
  });
}

int QeloMsrSetTriggerEnable(int handle, int triggerId, int enable) {
  return frame([&] { lookup(handle)->setTriggerEnable(triggerId, enable != 0); });
}

int QeloMsrGetTriggerEnable(int handle, int triggerId, int* enable) {
  return frame([&] {
    checkPointer(enable, "<enable>");
    *enable = lookup(handle)->getTriggerEnable(triggerId) ? 1 : 0;
  });
}

// ---- counters ------------------------------------------------------------------------

int QeloMsrResetCounter(int handle, int counterId) {
  return frame([&] { lookup(handle)->resetCounter(counterId); });
}

int QeloMsrSetCounterConfig(int handle, int counterId, int counterConfigId) {
  return frame([&] { lookup(handle)->setCounterConfig(counterId, counterConfigId); });
}

int QeloMsrGetCounterConfig(int handle, int counterId, int* counterConfigId) {
  return frame([&] {
    checkPointer(counterConfigId, "<counterConfigId>");
    *counterConfigId = lookup(handle)->getCounterConfig(counterId);
  });
}

int QeloMsrSetCounterEnable(int handle, int counterId, int enable) {
  return frame([&] { lookup(handle)->setCounterEnable(counterId, enable != 0); });
}

int QeloMsrGetCounterEnable(int handle, int counterId, int* enable) {
  return frame([&] {
    checkPointer(enable, "<enable>");
    *enable = lookup(handle)->getCounterEnable(counterId) ? 1 : 0;
  });
}

int QeloMsrReadCounter(int handle, int counterId, qelomsr_int64* counter) {
  return frame([&] {
    checkPointer(counter, "<counter>");
    *counter = lookup(handle)->readCounter(counterId);
  });
}

// ---- input frames and acquisition ------------------------------------------------------

int QeloMsrCalculateMaxBufferedInputFrames(int handle, int* frameCount) {
  return frame([&] {
    checkPointer(frameCount, "<frameCount>");
    *frameCount = lookup(handle)->calculateMaxBufferedInputFrames();
  });
}

int QeloMsrSetupInputFrame(int handle, int* ios, int iosCount) {
  return frame([&] {
    checkPointer(ios, "<ios>");
    lookup(handle)->setupInputFrame(ios, iosCount);
  });
}

int QeloMsrStartDataAcquisition(int handle, int external, float frameRate, int frameCount,
                                float* correctedFrameRate) {
  return frame([&] {
    checkPointer(correctedFrameRate, "<correctedFrameRate>");
    *correctedFrameRate =
        lookup(handle)->startDataAcquisition(external != 0 ? 1 : 0, frameRate, frameCount);
  });
}

int QeloMsrStopDataAcquisition(int handle) {
  return frame([&] { lookup(handle)->stopDataAcquisition(); });
}

int QeloMsrReadBlocking(int handle, float* vbuffer, int* buffer, int frameCount) {
  return frame([&] {
    checkPointer(vbuffer, "<vbuffer>");
    checkPointer(buffer, "<buffer>");
    lookup(handle)->readBlocking(vbuffer, buffer, frameCount);
  });
}

int QeloMsrReadNonBlocking(int handle, float* vbuffer, int* buffer, int* transferred) {
  return frame([&] {
    checkPointer(vbuffer, "<vbuffer>");
    checkPointer(buffer, "<buffer>");
    checkPointer(transferred, "<transferred>");
    *transferred = lookup(handle)->readNonBlocking(vbuffer, buffer, -1);
  });
}

int QeloMsrReadFrame(int handle, float* vbuffer, int* buffer) {
  return frame([&] {
    checkPointer(vbuffer, "<vbuffer>");
    checkPointer(buffer, "<buffer>");
    lookup(handle)->readFrame(vbuffer, buffer);
  });
}

// ---- output frames and generation -------------------------------------------------------

int QeloMsrSetupOutputFrame(int handle, int* ios, int iosCount) {
  return frame([&] {
    checkPointer(ios, "<ios>");
    lookup(handle)->setupOutputFrame(ios, iosCount);
  });
}

int QeloMsrWriteFrame(int handle, float* vbuffer, int* buffer) {
  return frame([&] {
    checkPointer(vbuffer, "<vbuffer>");
    checkPointer(buffer, "<buffer>");
    lookup(handle)->writeFrame(vbuffer, buffer);
  });
}

int QeloMsrWriteBlocking(int handle, float* vbuffer, int* buffer, int frameCount) {
  return frame([&] {
    checkPointer(vbuffer, "<vbuffer>");
    checkPointer(buffer, "<buffer>");
    lookup(handle)->writeBlocking(vbuffer, buffer, frameCount);
  });
}

int QeloMsrWriteNonBlocking(int handle, float* vbuffer, int* buffer, int frameCount,
                            int* transferred) {
  return frame([&] {
    checkPointer(vbuffer, "<vbuffer>");
    checkPointer(buffer, "<buffer>");
    checkPointer(transferred, "<transferred>");
    *transferred = lookup(handle)->writeNonBlocking(vbuffer, buffer, frameCount);
  });
}

// ---- raw register and memory access -------------------------------------------------------

int __QeloMsrReadBlock(int handle, unsigned int address, void* buffer, int size) {
  return frame([&] {
    checkPointer(buffer, "<buffer>");
    checkBlockSize(size);
    lookup(handle)->readBlock(address, buffer, size);
  });
}

int __QeloMsrWriteBlock(int handle, unsigned int address, void* buffer, int size) {
  return frame([&] {
    checkPointer(buffer, "<buffer>");
    checkBlockSize(size);
    lookup(handle)->writeBlock(address, buffer, size);
  });
}

int __QeloMsrReadRegister(int handle, unsigned int address, unsigned int* value) {
  return frame([&] {
    checkPointer(value, "<value>");
    lookup(handle)->readRegister(address, value);
  });
}

int __QeloMsrWriteRegister(int handle, unsigned int address, unsigned int value) {
  return frame([&] { lookup(handle)->writeRegister(address, value); });
}

}  // extern "C"

namespace qelomsr_internal {
void setNextErrorId(int id) { wrapper::_error_manager.set_next_id(id); }

int addOpenDevice(const boost::shared_ptr<QeloMsrDevice>& device) {
  std::lock_guard<std::mutex> lock(_api_mtx);
  return _manager.add(device);
}
}  // namespace qelomsr_internal
