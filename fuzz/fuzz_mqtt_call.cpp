// Fuzz target: what a served device's call topic receives from the network.
// The input is a topic (up to the first NUL byte) and a request body (the
// rest), taken apart as the server does: the topic by parseDeviceTopic, the
// body by parseCallRequest. Faults: any crash or sanitizer report, any
// exception other than the CallError of a refused request, a refused request
// without a text, and an accepted request that breaks the request's own
// bounds.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "call_request.h"
#include "contract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string topic = input.substr(0, nul);
  const std::string body = nul == std::string::npos ? "" : input.substr(nul + 1);

  if (const auto t = qmqtt::parseDeviceTopic(topic)) {
    if (t->node.empty() || t->device.empty() || t->leaf.empty() ||
        t->node.find('/') != std::string::npos || t->device.find('/') != std::string::npos) {
      std::fprintf(stderr, "fuzz fault: topic '%s' parsed into empty or slashed levels\n",
                   topic.c_str());
      std::abort();
    }
  }
  try {
    const qserve::CallRequest call = qserve::parseCallRequest(body);
    const bool fine =
        body.size() <= qmqtt::kMaxCallBytes && call.channels.size() <= qmqtt::kMaxBlockChannels &&
        std::isfinite(call.volts) &&
        (!call.outputEnable || (*call.outputEnable >= 0 && *call.outputEnable <= 0xFF)) &&
        (!call.levels || (*call.levels >= 0 && *call.levels <= 0xFF)) && call.frames >= 0 &&
        (call.trigger == qserve::StreamTrigger::Sample
             ? call.rateHz == -1
             : call.op != qserve::Operation::Start || call.rateHz >= 1.0);
    if (!fine) {
      std::fprintf(stderr, "fuzz fault: accepted out of bounds: %s\n", body.c_str());
      std::abort();
    }
  } catch (const qserve::CallError& e) {
    if (std::string(e.what()).empty()) {
      std::fprintf(stderr, "fuzz fault: a refusal without a text\n");
      std::abort();
    }
  }
  return 0;
}
