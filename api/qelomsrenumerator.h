// Process-wide list of the attached devices of the latest enumeration, and
// the factory that builds a device family object for one of them.
#pragma once

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "api/qelomsrdevice.h"
#include "comm-api/src/api/usb.h"

class Enumerator {
 public:
  struct EnumInfo {
    commapi::LibUsbEnumeratedDevice usbDevice;
    int type = 0;
    int firmwareVersion = 0;  // bits 8..15 major, bits 0..7 minor
  };

  static Enumerator* getInstance();

  // Rebuilds the list for a type code or selection value; returns its size.
  int enumerate(int type);
  // There is no network transport: empties the list and returns 0.
  int enumerate(char* target, int option, int type);
  // Reports entry `index`: identifier and "major.minor" firmware text into
  // 1024-byte zero-filled buffers, and the type code.
  void getIdentifier(int index, char* ident, int* type, char* version);
  // Builds (does not open) the family object for an identifier of the list.
  boost::shared_ptr<QeloMsrDevice> createInstance(const std::string& identifier);

  int getTypeOfPid(int productId);
  std::vector<int> buildPidList(int type);

 private:
  Enumerator() = default;
  std::vector<EnumInfo> list;
};
