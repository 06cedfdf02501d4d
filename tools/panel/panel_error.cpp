#include "panel_error.h"

#include <qelomsr/qelomsr.h>

#include <initializer_list>

namespace qpanel {

int statusForErrorClass(int errorClass) {
  switch (errorClass) {
    case QELOMSR_ERROR_CLASS_OUT_OF_RANGE:
    case QELOMSR_ERROR_CLASS_INVALID_ARGUMENT:
      return kBadRequest;
    case QELOMSR_ERROR_CLASS_LOGIC:
      return kConflict;
    default:
      return kDeviceFailed;
  }
}

namespace {

bool mentionsAny(const std::string& text, std::initializer_list<const char*> words) {
  for (const char* w : words)
    if (text.find(w) != std::string::npos) return true;
  return false;
}

}  // namespace

std::string connectionFailureText(const std::string& identifier, const std::string& libraryText) {
  std::string what;
  if (mentionsAny(libraryText, {"LIBUSB_ERROR_NO_DEVICE", "LIBUSB_ERROR_NOT_FOUND"}))
    what = identifier + " was unplugged.";
  else if (mentionsAny(libraryText, {"LIBUSB_ERROR_TIMEOUT"}))
    what = identifier + " stopped answering.";
  else
    what = "The connection to " + identifier + " failed.";
  return what + " (" + libraryText + ")";
}

std::string openFailureText(const std::string& identifier, const std::string& libraryText) {
  std::string what;
  if (mentionsAny(libraryText, {"LIBUSB_ERROR_BUSY", "Can't claim"}))
    what = identifier + " is in use by another program.";
  else if (mentionsAny(libraryText, {"LIBUSB_ERROR_NO_DEVICE", "LIBUSB_ERROR_NOT_FOUND"}))
    what = identifier + " was unplugged.";
  else
    what = identifier + " cannot be opened.";
  return what + " (" + libraryText + ")";
}

}  // namespace qpanel
