// Which device a command means: the library's enumeration joined with what
// the USB buses show, and the rules by which a text names one device.
#include <algorithm>
#include <cctype>

#include "cli_device.h"

namespace qcli {

namespace {

struct FamilyIds {
  int type;
  int productId;
  const char* serialPrefix;  // of the device's own serial number
};
constexpr FamilyIds kFamilies[] = {{QELOMSR_TYPE_KA1X, 0x3201, "QeloKa@"},
                                   {QELOMSR_TYPE_RIX1X, 0x3202, "QeloPilex@"},
                                   {QELOMSR_TYPE_VEL1X, 0x3204, "QeloVel@"}};

const FamilyIds* familyOfProduct(int productId) {
  for (const FamilyIds& f : kFamilies)
    if (f.productId == productId) return &f;
  return nullptr;
}

const FamilyIds& familyOfType(int type) {
  for (const FamilyIds& f : kFamilies)
    if (f.type == type) return f;
  familyInfo(type);  // throws for a type the tool does not know
  return kFamilies[0];
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool isNumber(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

DeviceEntry entryAt(int index) {
  std::vector<char> ident(QELOMSR_TEXT_BUFFER_SIZE);
  std::vector<char> version(QELOMSR_TEXT_BUFFER_SIZE);
  DeviceEntry entry;
  entry.index = index;
  check(QeloMsrGetIdentifier(index, ident.data(), 0, &entry.type, version.data()));
  ident.back() = '\0';
  version.back() = '\0';
  entry.identifier = ident.data();
  entry.firmware = version.data();
  return entry;
}

// Why the library did not list a device it can see on the bus.
UsbFailure whyUnlisted(const UsbDevice& usb) {
  if (usb.accessDenied) return UsbFailure::NoAccess;
  switch (probeClaim(usb.identifier)) {
    case ClaimProbe::Busy:
      return UsbFailure::InUse;
    case ClaimProbe::NoAccess:
      return UsbFailure::NoAccess;
    case ClaimProbe::Gone:
      return UsbFailure::Unplugged;
    case ClaimProbe::Free:
    case ClaimProbe::Failed:
      break;
  }
  return UsbFailure::NotAnswering;
}

// "USB:1-0-3 (Ka, KA1X-004711), USB:1-0-4 (Ka, KA1X-004714, in use by another program)".
std::string deviceList(const std::vector<AttachedDevice>& devices) {
  if (devices.empty()) return "no devices are attached";
  std::string text = "attached: ";
  for (const auto& d : devices) {
    if (&d != &devices.front()) text += ", ";
    text += d.entry.identifier + " (" + familyInfo(d.entry.type).name;
    if (!d.entry.usbSerial.empty()) text += ", " + d.entry.usbSerial;
    if (!d.available()) text += std::string(", ") + stateText(d.state);
    text += ")";
  }
  return text;
}

[[noreturn]] void noSuchDevice(const std::vector<AttachedDevice>& devices, const std::string& why) {
  throw std::runtime_error(why + "; " + deviceList(devices));
}

const char* const kHowToName =
    "name a device by its identifier (USB:1-0-3), family (ka, ka:1) or serial number "
    "(KA1X-004711); 'qelomsr list' shows them";

// The devices whose serial number is text: the USB serial, or the device's
// own (family prefix, '@', the USB serial).
std::vector<const AttachedDevice*> bySerial(const std::vector<AttachedDevice>& devices,
                                            const std::string& text, bool anyCase) {
  auto same = [&](const std::string& a, const std::string& b) {
    return anyCase ? lower(a) == lower(b) : a == b;
  };
  std::vector<const AttachedDevice*> found;
  for (const auto& d : devices) {
    const std::string& serial = d.entry.usbSerial;
    if (serial.empty()) continue;
    if (same(text, serial) || same(text, familyOfType(d.entry.type).serialPrefix + serial))
      found.push_back(&d);
  }
  return found;
}

}  // namespace

std::vector<DeviceEntry> enumerateDevices() {
  int count = 0;
  check(QeloMsrBeginEnumerate(&count, QELOMSR_TYPE_ALL));
  std::vector<DeviceEntry> entries;
  entries.reserve(static_cast<size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i) entries.push_back(entryAt(i));
  return entries;
}

const char* stateText(UsbFailure state) {
  switch (state) {
    case UsbFailure::None:
      return "";
    case UsbFailure::InUse:
      return "in use by another program";
    case UsbFailure::NotAnswering:
      return "does not answer";
    case UsbFailure::NoAccess:
      return "no permission (udev rules)";
    case UsbFailure::Unplugged:
      return "unplugged";
    case UsbFailure::Stalled:
    case UsbFailure::Failed:
      break;
  }
  return "USB failure";
}

std::vector<AttachedDevice> attachedDevices(const std::vector<DeviceEntry>& entries) {
  std::vector<AttachedDevice> devices;
  for (const DeviceEntry& e : entries) devices.push_back({e, UsbFailure::None});
  const UsbScan scan = scanUsb();
  for (const UsbDevice& usb : scan.devices) {
    const FamilyIds* family = familyOfProduct(usb.productId);
    if (family == nullptr) continue;
    auto listed = std::find_if(devices.begin(), devices.end(), [&](const AttachedDevice& d) {
      return d.entry.identifier == usb.identifier;
    });
    if (listed != devices.end()) {
      listed->entry.usbSerial = usb.serial;
      continue;
    }
    AttachedDevice seen;
    seen.entry.index = -1;
    seen.entry.identifier = usb.identifier;
    seen.entry.type = family->type;
    seen.entry.usbSerial = usb.serial;
    seen.state = whyUnlisted(usb);
    // Unplugged between the two looks: not there any more.
    if (seen.state != UsbFailure::Unplugged) devices.push_back(seen);
  }
  std::stable_sort(devices.begin(), devices.end(),
                   [](const AttachedDevice& a, const AttachedDevice& b) {
                     return identifierLess(a.entry.identifier, b.entry.identifier);
                   });
  return devices;
}

DeviceEntry selectDevice(const std::vector<DeviceEntry>& entries, const std::string& text) {
  const std::vector<AttachedDevice> devices = attachedDevices(entries);
  const AttachedDevice* chosen = nullptr;
  const std::string wanted = lower(text);
  for (const auto& d : devices)
    if (lower(d.entry.identifier) == wanted) chosen = &d;
  if (chosen == nullptr) {
    std::vector<const AttachedDevice*> found = bySerial(devices, text, false);
    if (found.empty()) found = bySerial(devices, text, true);
    if (found.size() > 1)
      throw std::runtime_error("the serial number '" + text + "' names " +
                               std::to_string(found.size()) +
                               " devices; name one by its identifier; " + deviceList(devices));
    if (!found.empty()) chosen = found.front();
  }
  if (chosen == nullptr) {
    // A family name with an optional position among its devices: ka, rix:1.
    const size_t colon = wanted.find(':');
    const std::string family = wanted.substr(0, colon);
    const std::string position = colon == std::string::npos ? "" : wanted.substr(colon + 1);
    for (const FamilyIds& f : kFamilies) {
      const FamilyInfo& info = familyInfo(f.type);
      if (family != lower(info.name)) continue;
      if (colon != std::string::npos && !isNumber(position))
        noSuchDevice(devices, "no device '" + text + "': a family's position is a number (" +
                                  family + ":0, " + family + ":1)");
      std::vector<const AttachedDevice*> members;
      for (const auto& d : devices)
        if (d.entry.type == f.type) members.push_back(&d);
      if (colon == std::string::npos) {
        if (members.empty()) noSuchDevice(devices, std::string("no ") + info.name + " device");
        if (members.size() > 1) {
          std::string choices;
          for (size_t i = 0; i < members.size(); ++i)
            choices += (i ? ", " : "") + family + ":" + std::to_string(i) + " = " +
                       members[i]->entry.identifier;
          throw std::runtime_error("'" + text +
                                   "' is ambiguous: " + std::to_string(members.size()) + " " +
                                   info.name + " devices are attached (" + choices + ")");
        }
        chosen = members.front();
      } else {
        const size_t n =
            position.size() > 6 ? members.size() : static_cast<size_t>(std::stoul(position));
        if (n >= members.size())
          noSuchDevice(devices, "no device '" + text + "': " + std::to_string(members.size()) +
                                    " " + info.name + " device" +
                                    (members.size() == 1 ? " is" : "s are") + " attached");
        chosen = members[n];
      }
    }
  }
  if (chosen == nullptr && isNumber(text))
    throw UsageError("'" + text +
                     "' looks like a list index, which the tool does not take: an index counts "
                     "only the devices that can be opened at that moment and names another "
                     "device when one is busy; " +
                     kHowToName);
  if (chosen == nullptr) noSuchDevice(devices, "no device '" + text + "' (" + kHowToName + ")");
  if (!chosen->available())
    throw std::runtime_error(
        failureText(chosen->state, chosen->entry.identifier) + " (" +
        familyInfo(chosen->entry.type).name +
        (chosen->entry.usbSerial.empty() ? "" : ", " + chosen->entry.usbSerial) + ")");
  return chosen->entry;
}

Device Device::open(const std::string& text) {
  return open(selectDevice(enumerateDevices(), text));
}

Device Device::open(const DeviceEntry& entry) {
  int handle = 0;
  const int rc = QeloMsrOpen(entry.identifier.c_str(), &handle);
  if (rc == 0) return Device(handle, entry);
  ApiError error = errorFor(rc).about(entry.identifier);
  if (error.usbFailure() != UsbFailure::None) throw error;
  // The device left the library's list since it was enumerated ("Invalid
  // identifier."): say why, when the bus tells.
  for (const AttachedDevice& d : attachedDevices(enumerateDevices()))
    if (d.entry.identifier == entry.identifier && !d.available())
      throw error.about(entry.identifier, d.state);
  throw error;
}

}  // namespace qcli
