// Logs one line and, with trace on, one trace line through the communication
// layer's diagnostics, as the library does: the environment decides whether
// and where they appear.
#include "comm-api/src/api/logging.h"

int main() {
  if (commapi::isLogging()) commapi::_lg("USB: probe line");
  if (commapi::isTrace()) commapi::_tr("USB: probe trace");
  return 0;
}
