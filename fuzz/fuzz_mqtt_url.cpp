// Fuzz target: broker URLs and node names as the command line gives them.
// Faults: any crash or sanitizer report, any exception but
// std::invalid_argument, an accepted URL without a host or with a port out of
// 1..65535, and a message that repeats a password given in the URL.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "contract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const qmqtt::BrokerUrl url = qmqtt::parseBrokerUrl(text);
    if (url.host.empty() || url.port < 1 || url.port > 65535) {
      std::fprintf(stderr, "fuzz fault: accepted '%s' without a usable host or port\n",
                   text.c_str());
      std::abort();
    }
  } catch (const std::invalid_argument& e) {
    const size_t at = text.rfind('@');
    const size_t scheme = text.find("://");
    if (at != std::string::npos && scheme != std::string::npos && at > scheme + 3) {
      const std::string user = text.substr(scheme + 3, at - scheme - 3);
      const size_t colon = user.find(':');
      const std::string password = colon == std::string::npos ? "" : user.substr(colon + 1);
      // The refusal of any URL with a password reads the same.
      std::string generic;
      try {
        qmqtt::parseBrokerUrl("mqtt://u:p@h");
      } catch (const std::invalid_argument& g) {
        generic = g.what();
      }
      if (password.size() >= 4 && std::string(e.what()).find(password) != std::string::npos &&
          generic.find(password) == std::string::npos) {
        std::fprintf(stderr, "fuzz fault: the message repeats the password\n");
        std::abort();
      }
    }
  }
  try {
    qmqtt::checkNodeName(text);
    for (unsigned char c : text)
      if (c == '/' || c == '+' || c == '#' || c <= 0x20) {
        std::fprintf(stderr, "fuzz fault: node name '%s' accepted\n", text.c_str());
        std::abort();
      }
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
