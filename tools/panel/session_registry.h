// The devices the panel has open, each with the token of the one page that
// drives it. A second page that asks for an open device is told it is busy.
// A session ends when its page closes it, switches to another device, or has
// been gone (no event stream, no request) for longer than the grace period,
// which lets a page reload without losing its device.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "device_session.h"

namespace qpanel {

class SessionRegistry {
 public:
  SessionRegistry(SessionOptions options, std::chrono::milliseconds ownerGrace);
  ~SessionRegistry();  // closes every session
  SessionRegistry(const SessionRegistry&) = delete;
  SessionRegistry& operator=(const SessionRegistry&) = delete;

  // The attached devices and the ones this panel has open, each with its
  // state for the asking page: "free", "yours", "busy" or "lost".
  nlohmann::json listDevices(const std::string& token);

  struct Opened {
    std::shared_ptr<DeviceSession> session;
    bool resumed;  // the page already owned it: the device was not opened (reset) again
  };
  // Opens a device for the page with token (empty: a new page). A page that
  // switches devices keeps its device until the new one is open; a switch
  // that would discard a recording not yet saved needs discardUnsaved.
  // Throws PanelError: busy, no such device, the device failed, or unsaved
  // (409, code "unsaved"); the page's device stays open then.
  Opened open(const std::string& device, const std::string& token, bool discardUnsaved);
  // The session of a page; throws PanelError when the token owns none.
  std::shared_ptr<DeviceSession> byToken(const std::string& token);
  // True when the token is a page's (nothing else changes).
  bool hasToken(const std::string& token);
  void close(const std::string& token, bool discardUnsaved);
  void closeAll();

 private:
  void janitor();
  std::string newToken();

  const SessionOptions options_;
  const std::chrono::milliseconds ownerGrace_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  // identifier (as the enumeration gives it) -> session
  std::map<std::string, std::shared_ptr<DeviceSession>> sessions_;
  std::mutex openMutex_;  // one open at a time: busy checks and opening stay atomic
  std::thread janitor_;
};

}  // namespace qpanel
