#include "session_registry.h"

#include <algorithm>
#include <cctype>
#include <random>
#include <vector>

#include "panel_error.h"

namespace qpanel {

using nlohmann::json;

namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<qcli::DeviceEntry> enumerate() {
  std::lock_guard<std::mutex> lock(enumerationMutex());
  return qcli::enumerateDevices();
}

}  // namespace

SessionRegistry::SessionRegistry(SessionOptions options, std::chrono::milliseconds ownerGrace)
    : options_(options), ownerGrace_(ownerGrace) {
  janitor_ = std::thread([this] { janitor(); });
}

SessionRegistry::~SessionRegistry() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  janitor_.join();
  closeAll();
}

std::string SessionRegistry::newToken() {
  std::random_device random;
  std::string token;
  static const char hex[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) token += hex[random() & 15];
  return token;
}

json SessionRegistry::listDevices(const std::string& token) {
  std::map<std::string, json> devices;
  try {
    for (const auto& e : enumerate()) {
      devices[e.identifier] = {{"device", e.identifier},
                               {"family", qcli::familyInfo(e.type).name},
                               {"firmware", e.firmware},
                               {"state", "free"}};
    }
  } catch (const qcli::ApiError& e) {
    throw PanelError(kDeviceFailed, std::string("Listing the devices failed: ") + e.what());
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, session] : sessions_) {
    json entry = session->summary();
    const bool lost = entry.value("connection", "") == "lost";
    entry["state"] = !token.empty() && token == session->token() ? "yours" : lost ? "lost" : "busy";
    devices[id] = entry;
  }
  json list = json::array();
  for (auto& [id, entry] : devices) list.push_back(entry);
  return list;
}

SessionRegistry::Opened SessionRegistry::open(const std::string& device, const std::string& token,
                                              bool discardUnsaved) {
  std::lock_guard<std::mutex> opening(openMutex_);
  // The device as the tool's other commands select it; nothing is closed
  // before the new device is known, free and open.
  std::string identifier;
  try {
    std::vector<qcli::DeviceEntry> entries = enumerate();
    {
      // Devices open here are not listed (the list opens each device); they
      // are selected all the same, and found busy or resumed below.
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& [id, session] : sessions_) {
        const auto entry = session->entry();
        bool listed = false;
        for (const auto& e : entries) listed = listed || lower(e.identifier) == lower(id);
        if (entry && !listed) entries.push_back(*entry);
      }
    }
    identifier = qcli::selectDevice(entries, device).identifier;
  } catch (const qcli::ApiError& e) {
    throw PanelError(kDeviceFailed, std::string("Listing the devices failed: ") + e.what());
  } catch (const std::runtime_error& e) {
    throw PanelError(kNotFound, e.what());
  }
  std::shared_ptr<DeviceSession> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, session] : sessions_) {
      if (!token.empty() && session->token() == token) previous = session;
      if (lower(id) != lower(identifier)) continue;
      if (!token.empty() && session->token() == token) {
        session->touch();
        return {session, true};
      }
      throw PanelError(kConflict, id + " is in use by another panel page.");
    }
  }
  if (previous) previous->requireSavedOrDiscarded(discardUnsaved, "opening " + identifier);

  auto session = std::make_shared<DeviceSession>(identifier, newToken(), options_);
  session->open();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_[identifier] = session;
    // A page drives one device at a time: the previous one closes now.
    if (previous) {
      auto it = sessions_.find(previous->identifier());
      if (it != sessions_.end() && it->second == previous) sessions_.erase(it);
    }
  }
  if (previous) previous->close();  // outside the lock: closing waits for its worker
  return {session, false};
}

std::shared_ptr<DeviceSession> SessionRegistry::byToken(const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, session] : sessions_) {
    if (!token.empty() && session->token() == token) {
      session->touch();
      return session;
    }
  }
  throw PanelError(kNotFound,
                   "This page has no open device (it was closed or given to another page).");
}

bool SessionRegistry::hasToken(const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, session] : sessions_)
    if (!token.empty() && session->token() == token) return true;
  return false;
}

void SessionRegistry::close(const std::string& token, bool discardUnsaved) {
  const std::shared_ptr<DeviceSession> closing = byToken(token);
  closing->requireSavedOrDiscarded(discardUnsaved, "closing the device");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(closing->identifier());
    if (it == sessions_.end() || it->second != closing)
      throw PanelError(kNotFound, "This page has no open device.");
    sessions_.erase(it);
  }
  closing->close();
}

void SessionRegistry::closeAll() {
  std::map<std::string, std::shared_ptr<DeviceSession>> closing;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing.swap(sessions_);
  }
  for (auto& [id, session] : closing) session->close();
}

void SessionRegistry::janitor() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, std::chrono::milliseconds(500));
    std::vector<std::shared_ptr<DeviceSession>> gone;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (it->second->ownerGone(ownerGrace_)) {
        gone.push_back(it->second);
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
    lock.unlock();
    for (auto& session : gone) session->close();
    gone.clear();
    lock.lock();
  }
}

}  // namespace qpanel
