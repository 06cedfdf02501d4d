#include "api/qelomsrenumerator.h"

#include <qelomsr/qelomsr.h>

#include <algorithm>
#include <boost/format.hpp>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>

#include "comm-api/src/api/protocol.h"
#include "devices/qeloka1x.h"
#include "devices/qelorix1x.h"
#include "devices/qelovel1x.h"

namespace {

constexpr unsigned kVersionRegister = 0xF0000004;
constexpr int kTextBufferSize = QELOMSR_TEXT_BUFFER_SIZE;

std::shared_ptr<commapi::ProtocolDevice> createDevice(commapi::LibUsbEnumeratedDevice device) {
  auto raw = commapi::createUsbDeviceByEnumerator(device, 2, 1);
  return commapi::createProtocolDevice(raw, 64, 64, 8192, 0);
}

// Writes `text` into a caller buffer of kTextBufferSize bytes: zero-filled
// first, the text cut so that a terminating zero always remains.
void fillTextBuffer(char* buffer, const std::string& text) {
  std::memset(buffer, 0, kTextBufferSize);
  std::memcpy(buffer, text.data(), std::min<size_t>(text.size(), kTextBufferSize - 1));
}

}  // namespace

Enumerator* Enumerator::getInstance() {
  static Enumerator instance;
  return &instance;
}

std::vector<int> Enumerator::buildPidList(int type) {
  switch (type) {
    case QELOMSR_TYPE_ALL:
    case QELOMSR_TYPE_ALL_ALT:
      return {QELOMSR_USB_PID_KA1X, QELOMSR_USB_PID_RIX1X, QELOMSR_USB_PID_VEL1X};
    case QELOMSR_TYPE_KA1X:
      return {QELOMSR_USB_PID_KA1X};
    case QELOMSR_TYPE_RIX1X:
      return {QELOMSR_USB_PID_RIX1X};
    case QELOMSR_TYPE_VEL1X:
      return {QELOMSR_USB_PID_VEL1X};
    default:
      return {};
  }
}

int Enumerator::getTypeOfPid(int productId) {
  switch (productId) {
    case QELOMSR_USB_PID_KA1X:
      return QELOMSR_TYPE_KA1X;
    case QELOMSR_USB_PID_RIX1X:
      return QELOMSR_TYPE_RIX1X;
    case QELOMSR_USB_PID_VEL1X:
      return QELOMSR_TYPE_VEL1X;
    default:
      throw std::logic_error("Internal error: Invalid PID.");
  }
}

int Enumerator::enumerate(int type) {
  list.clear();
  const std::vector<int> pids = buildPidList(type);
  // Also for a type that selects nothing: the USB enumeration runs and
  // reports its failures.
  const std::vector<commapi::LibUsbEnumeratedDevice> devices = commapi::enumerateUsbDevices();
  for (const auto& usb : devices) {
    bool wanted = false;
    for (int pid : pids) wanted = wanted || usb.productId == pid;
    if (!wanted) continue;
    try {
      auto protocolDevice = createDevice(usb);
      protocolDevice->rawDevice->open();
      const unsigned version = protocolDevice->readRegister(kVersionRegister);
      EnumInfo info;
      info.usbDevice = usb;
      info.type = getTypeOfPid(usb.productId);
      info.firmwareVersion = static_cast<int>((version >> 8) & 0xFFFF);
      list.push_back(info);
      // The probe connection ends when the protocol device is released.
    } catch (const std::exception&) {
      // A device that cannot be probed now is left out of the list.
    }
  }
  return static_cast<int>(list.size());
}

int Enumerator::enumerate(char* /*target*/, int /*option*/, int /*type*/) {
  list.clear();
  return 0;
}

void Enumerator::getIdentifier(int index, char* ident, int* type, char* version) {
  if (index < 0 || index >= static_cast<int>(list.size())) {
    throw std::runtime_error("Invalid enumeration index");
  }
  const EnumInfo& info = list[static_cast<size_t>(index)];
  fillTextBuffer(ident, info.usbDevice.uniqueId);
  *type = info.type;
  fillTextBuffer(
      version,
      (boost::format("%i.%i") % (info.firmwareVersion >> 8) % (info.firmwareVersion & 0xFF)).str());
}

boost::shared_ptr<QeloMsrDevice> Enumerator::createInstance(const std::string& identifier) {
  const EnumInfo* found = nullptr;
  for (const auto& info : list) {
    if (info.usbDevice.uniqueId == identifier) {
      found = &info;
      break;
    }
  }
  if (found == nullptr) throw std::runtime_error("Invalid identifier.");
  const int type = found->type;
  if (type != QELOMSR_TYPE_RIX1X && type != QELOMSR_TYPE_VEL1X && type != QELOMSR_TYPE_KA1X) {
    throw std::logic_error("Internal error: Device not known.");
  }
  if ((found->firmwareVersion >> 8) != 1) {
    throw std::runtime_error("The firmware of this device is not supported.");
  }
  auto protocolDevice = createDevice(found->usbDevice);
  switch (type) {
    case QELOMSR_TYPE_RIX1X:
      return boost::shared_ptr<QeloMsrDevice>(new QeloRix1x(protocolDevice, identifier));
    case QELOMSR_TYPE_VEL1X:
      return boost::shared_ptr<QeloMsrDevice>(new QeloVel1x(protocolDevice, identifier));
    default:
      return boost::shared_ptr<QeloMsrDevice>(new QeloKa1x(protocolDevice, identifier));
  }
}
