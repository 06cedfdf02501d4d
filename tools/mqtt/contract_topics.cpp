// Topic names and broker URLs of the MQTT wire contract.
#include <cctype>

#include "contract.h"

namespace qmqtt {

namespace {

bool isLevelChar(unsigned char c) {
  return c > 0x20 && c != 0x7F && c != '/' && c != '+' && c != '#';
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Whether the user part of a URL (before the last '@' after the scheme)
// holds a password: user:password@host.
bool holdsPassword(const std::string& text) {
  const size_t scheme = text.find("://");
  const size_t from = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t at = text.rfind('@');
  if (at == std::string::npos || at < from) return false;
  const size_t colon = text.find(':', from);
  return colon != std::string::npos && colon < at;
}

}  // namespace

std::string statusTopic(const std::string& node) {
  return std::string(kTopicRoot) + "/" + node + "/" + kStatus;
}

std::string deviceTopic(const std::string& node, const std::string& device, const char* leaf) {
  return std::string(kTopicRoot) + "/" + node + "/devices/" + device + "/" + leaf;
}

std::string valueTopic(const std::string& node, const std::string& device,
                       const std::string& channel) {
  return deviceTopic(node, device, kValues) + "/" + channelTopicName(channel);
}

std::string channelTopicName(const std::string& channel) {
  std::string name = channel;
  for (char& c : name)
    if (c == '/') c = '-';
  return name;
}

std::optional<DeviceTopic> parseDeviceTopic(const std::string& topic) {
  // qelomsr / node / devices / id / leaf [/ rest]
  std::vector<std::string> levels;
  size_t begin = 0;
  for (;;) {
    const size_t end = topic.find('/', begin);
    levels.push_back(topic.substr(begin, end == std::string::npos ? end : end - begin));
    if (end == std::string::npos || levels.size() == 5) {
      if (end != std::string::npos) levels.push_back(topic.substr(end + 1));
      break;
    }
    begin = end + 1;
  }
  if (levels.size() < 5 || levels[0] != kTopicRoot || levels[2] != "devices") return std::nullopt;
  for (size_t i = 1; i < 5; ++i)
    if (levels[i].empty()) return std::nullopt;
  DeviceTopic t{levels[1], levels[3], levels[4], levels.size() > 5 ? levels[5] : ""};
  return t;
}

void checkNodeName(const std::string& node) {
  if (node.empty() || node.size() > 64)
    throw std::invalid_argument("a node name has 1 to 64 characters");
  for (unsigned char c : node)
    if (!isLevelChar(c))
      throw std::invalid_argument("the node name '" + node +
                                  "' may not contain '/', '+', '#', spaces or control characters");
}

BrokerUrl parseBrokerUrl(const std::string& text) {
  const std::string example = " (write mqtt://HOST:PORT or mqtts://HOST:PORT)";
  // First of all, so that no message below shows the password.
  if (holdsPassword(text))
    throw std::invalid_argument(
        "the broker URL holds a password; give it in a file (--password-file) or in "
        "QELOMSR_MQTT_PASSWORD instead, never on the command line");
  BrokerUrl url;
  const size_t scheme = text.find("://");
  if (scheme == std::string::npos)
    throw std::invalid_argument("'" + text + "' is not a broker URL" + example);
  const std::string name = lower(text.substr(0, scheme));
  if (name == "mqtts") {
    url.tls = true;
    url.port = 8883;
  } else if (name != "mqtt") {
    throw std::invalid_argument("unknown broker URL scheme '" + text.substr(0, scheme) + "'" +
                                example);
  }
  std::string rest = text.substr(scheme + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find_first_of("/?#") != std::string::npos)
    throw std::invalid_argument("a broker URL has no path, query or fragment: '" + text + "'");
  const size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    const std::string user = rest.substr(0, at);
    if (user.empty()) throw std::invalid_argument("the user name before '@' is empty");
    for (unsigned char c : user)
      if (c <= 0x20 || c == 0x7F)
        throw std::invalid_argument(
            "the user name in the broker URL has a space or control "
            "character");
    url.username = user;
    rest = rest.substr(at + 1);
  }
  std::string port;
  bool portGiven = false;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos)
      throw std::invalid_argument("'" + text + "': an IPv6 address needs its closing ']'");
    url.host = rest.substr(1, close - 1);
    const std::string after = rest.substr(close + 1);
    if (!after.empty() && after.front() != ':')
      throw std::invalid_argument("'" + text + "': unexpected text after the address");
    portGiven = !after.empty();
    if (portGiven) port = after.substr(1);
    for (unsigned char c : url.host)
      if (!std::isxdigit(c) && c != ':' && c != '.')
        throw std::invalid_argument("'" + url.host + "' is not an IPv6 address");
    if (url.host.find(':') == std::string::npos)
      throw std::invalid_argument("'" + url.host + "' is not an IPv6 address");
  } else {
    const size_t colon = rest.find(':');
    url.host = rest.substr(0, colon);
    portGiven = colon != std::string::npos;
    if (portGiven) port = rest.substr(colon + 1);
    for (unsigned char c : url.host)
      if (!std::isalnum(c) && c != '-' && c != '.' && c != '_')
        throw std::invalid_argument("'" + url.host + "' is not a host name or address");
  }
  if (url.host.empty() || url.host.size() > 253)
    throw std::invalid_argument("the broker URL '" + text + "' names no host" + example);
  if (portGiven) {
    long value = 0;
    bool digits = !port.empty() && port.size() <= 5;
    for (unsigned char c : port) {
      digits = digits && std::isdigit(c);
      if (digits) value = value * 10 + (c - '0');
    }
    if (!digits || value < 1 || value > 65535)
      throw std::invalid_argument("'" + port + "' is not a port number (1 to 65535)");
    url.port = static_cast<int>(value);
  }
  return url;
}

}  // namespace qmqtt
