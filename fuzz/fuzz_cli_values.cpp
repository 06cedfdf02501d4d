// The command-line tool's grammar of values and session lines against
// arbitrary text: every parser returns a sound value or refuses with a
// UsageError, and a session line split into words, quoted again and split
// once more gives the same words.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli_values.h"

namespace {

void expect(bool condition) {
  if (!condition) std::abort();
}

template <typename F>
void refusedOr(F&& parse) {
  try {
    parse();
  } catch (const qcli::UsageError&) {
  }
}

// A word as a session line writes it so that it reads back as it is.
std::string quoted(const std::string& word) {
  std::string text = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  return text + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  refusedOr([&] { qcli::parseInteger(text, "value"); });
  refusedOr([&] { expect(std::isfinite(qcli::parseNumber(text, "number"))); });
  refusedOr([&] { expect(std::isfinite(qcli::parseVolts(text))); });
  refusedOr([&] {
    const double seconds = qcli::parseDurationSeconds(text, "duration");
    expect(std::isfinite(seconds) && seconds > 0);
  });
  const double limit = qcli::parseRangeLimit(text);
  expect(std::isfinite(limit) && limit != 0);
  refusedOr([&] {
    const qcli::ChannelSpec channel = qcli::parseChannelSpec(text);
    expect(!channel.name.empty() && channel.name.find(':') == std::string::npos);
    expect(channel.range.find(':') == std::string::npos);
  });
  refusedOr([&] {
    const std::vector<std::string> words = qcli::splitSessionLine(text);
    std::string again;
    for (const auto& w : words) again += quoted(w) + " ";
    expect(qcli::splitSessionLine(again) == words);
  });
  return 0;
}
