// Parsing and writing the words of control commands.
#include "command_words.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace qsim {

int64_t parseDurationNs(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const double value = std::strtod(begin, &end);
  if (end == begin) throw std::invalid_argument("bad duration '" + text + "'");
  const std::string unit(end);
  double scale = 0;
  if (unit.empty() || unit == "ns") {
    scale = 1;
  } else if (unit == "us") {
    scale = 1e3;
  } else if (unit == "ms") {
    scale = 1e6;
  } else if (unit == "s") {
    scale = 1e9;
  } else {
    throw std::invalid_argument("bad duration '" + text + "' (units: ns, us, ms, s)");
  }
  const double ns = value * scale;
  // Up to about 292 years: what an int64_t of nanoseconds holds.
  if (!std::isfinite(ns) || ns < 0 || ns > 9.2e18) {
    throw std::invalid_argument("bad duration '" + text + "'");
  }
  return std::llround(ns);
}

long long integerArg(const std::string& text, const char* what, long long lo, long long hi) {
  size_t used = 0;
  long long v = 0;
  try {
    v = std::stoll(text, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || v < lo || v > hi) {
    throw std::invalid_argument(std::string(what) + " must be a whole number from " +
                                std::to_string(lo) + " to " + std::to_string(hi) + ", not '" +
                                text + "'");
  }
  return v;
}

double realArg(const std::string& text, const char* what) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const double v = std::strtod(begin, &end);
  if (text.empty() || end != begin + text.size() || !std::isfinite(v)) {
    throw std::invalid_argument(std::string(what) + " must be a finite number, not '" + text + "'");
  }
  return v;
}

std::string exactNumber(double value) {
  // Plain digits for everyday magnitudes ("10", not "1e+01").
  const double size = std::fabs(value);
  const bool plain = size == 0 || (size >= 1e-4 && size < 1e15);
  char buf[40];
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, value);
    if (plain && std::strchr(buf, 'e') != nullptr) continue;
    if (std::strtod(buf, nullptr) == value) break;
  }
  return buf;
}

std::vector<std::string> portList(const std::vector<std::string>& words) {
  std::vector<std::string> out;
  for (const std::string& w : words) {
    size_t from = 0;
    for (;;) {
      const size_t comma = w.find(',', from);
      const std::string item = w.substr(from, comma == std::string::npos ? comma : comma - from);
      if (item.empty()) throw std::invalid_argument("an empty port in the list '" + w + "'");
      out.push_back(item);
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
  }
  return out;
}

}  // namespace qsim
