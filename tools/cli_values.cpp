#include "cli_values.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qcli {

const char* const kRangeSpellings =
    "a range is its upper limit in V or mV: 10V, 1V, 100mV, 10mV, 3.3V, also 0.1 or 10 mV";

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a plain decimal number at text[at]: digits with at most one point
// and at least one digit; sign and exponent only when allowed. Returns the
// position after it, or npos when there is none.
size_t scanDecimal(const std::string& text, size_t at, bool sign, bool exponent) {
  size_t i = at;
  if (sign && i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  size_t digits = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return std::string::npos;
  if (exponent && i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    if (j < text.size() && (text[j] == '-' || text[j] == '+')) ++j;
    const size_t first = j;
    while (j < text.size() && isDigit(text[j])) ++j;
    if (j == first) return std::string::npos;
    i = j;
  }
  return i;
}

// The value of text[from, to) that scanDecimal accepted; false when it does
// not fit a double.
bool decimalValue(const std::string& text, size_t from, size_t to, double& value) {
  const std::string number = text.substr(from, to - from);
  errno = 0;
  value = std::strtod(number.c_str(), nullptr);
  return errno == 0 && std::isfinite(value);
}

// The factor of a voltage unit at text[at..]: blanks, then V, v, mV or mv,
// or nothing. Returns 0 for anything else.
double voltUnit(const std::string& text, size_t at) {
  while (at < text.size() && text[at] == ' ') ++at;
  const std::string unit = text.substr(at);
  if (unit.empty() || unit == "V" || unit == "v") return 1.0;
  if (unit == "mV" || unit == "mv") return 1e-3;
  return 0.0;
}

}  // namespace

long long parseInteger(const std::string& text, const char* what) {
  auto refuse = [&]() -> long long {
    throw UsageError("'" + text + "' is not a valid " + what +
                     ": write a whole number in decimal (90), hex (0x5A) or binary (0b01011010)");
  };
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++i;
  int base = 10;
  if (text.size() > i + 1 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  } else if (text.size() > i + 1 && text[i] == '0' && (text[i + 1] == 'b' || text[i + 1] == 'B')) {
    base = 2;
    i += 2;
  } else if (text.size() > i + 1 && text[i] == '0') {
    throw UsageError("'" + text + "' is not a valid " + what +
                     ": a leading zero is ambiguous (octal or decimal?); write it in decimal "
                     "without the zero, in hex (0x..) or binary (0b..)");
  }
  if (i >= text.size()) return refuse();
  for (size_t j = i; j < text.size(); ++j) {
    const char c = text[j];
    const bool ok = base == 16 ? std::strchr("0123456789abcdefABCDEF", c) != nullptr
                               : (base == 2 ? (c == '0' || c == '1') : isDigit(c));
    if (!ok || c == '\0') return refuse();
  }
  errno = 0;
  const unsigned long long magnitude = std::strtoull(text.c_str() + i, nullptr, base);
  const unsigned long long limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
  if (errno != 0 || magnitude > limit)
    throw UsageError("'" + text + "' is too large for a " + std::string(what));
  return negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
}

double parseNumber(const std::string& text, const char* what) {
  double value = 0;
  const size_t end = scanDecimal(text, 0, true, true);
  if (end != text.size() || !decimalValue(text, 0, end, value))
    throw UsageError("'" + text + "' is not a valid " + what +
                     ": write a decimal number (2.5, -0.5, 1e-3)");
  return value;
}

double parseVolts(const std::string& text) {
  double value = 0;
  const size_t end = scanDecimal(text, 0, true, true);
  const double unit = end == std::string::npos ? 0.0 : voltUnit(text, end);
  if (unit == 0.0 || !decimalValue(text, 0, end, value))
    throw UsageError("'" + text +
                     "' is not a valid voltage: write a decimal number of volts, with V or mV "
                     "if you like (2.5, -0.5, 2.5V, 100mV)");
  return value * unit;
}

double parseRangeLimit(const std::string& text) {
  size_t at = 0;
  if (text.compare(0, 2, "+-") == 0) at = 2;
  if (text.compare(0, 2, "\xC2\xB1") == 0) at = 2;  // ±
  const size_t end = scanDecimal(text, at, false, false);
  if (end == std::string::npos) return -1.0;
  const double unit = voltUnit(text, end);
  double value = 0;
  if (unit == 0.0 || !decimalValue(text, at, end, value) || !(value > 0)) return -1.0;
  return value * unit;
}

double parseDurationSeconds(const std::string& text, const char* what) {
  struct Unit {
    const char* name;
    double seconds;
  };
  static const Unit kUnits[] = {{"", 1.0}, {"s", 1.0}, {"ms", 1e-3}, {"min", 60.0}, {"h", 3600.0}};
  const size_t end = scanDecimal(text, 0, false, false);
  double value = 0;
  if (end != std::string::npos && decimalValue(text, 0, end, value)) {
    size_t at = end;
    while (at < text.size() && text[at] == ' ') ++at;
    const std::string unit = text.substr(at);
    for (const Unit& u : kUnits)
      if (unit == u.name && value * u.seconds > 0 && std::isfinite(value * u.seconds))
        return value * u.seconds;
  }
  throw UsageError("'" + text + "' is not a valid " + what +
                   ": write a positive number with s, ms, min or h (10s, 500ms, 5min, 2h); a "
                   "bare number counts seconds");
}

std::string rangeName(float maxVolts) {
  const double v = static_cast<double>(maxVolts);
  char text[32];
  if (v >= 1.0 || v <= 0.0)
    std::snprintf(text, sizeof text, "%gV", v);
  else
    std::snprintf(text, sizeof text, "%gmV", v * 1000.0);
  return text;
}

ChannelSpec parseChannelSpec(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) {
    if (text.empty())
      throw UsageError("an empty channel name: write NAME or NAME:RANGE (AI-0:10mV)");
    return {text, ""};
  }
  if (colon == 0 || colon + 1 == text.size() || text.find(':', colon + 1) != std::string::npos)
    throw UsageError("'" + text +
                     "' is not a channel: write NAME or NAME:RANGE with one range (AI-0:10mV)");
  return {text.substr(0, colon), text.substr(colon + 1)};
}

std::vector<std::string> splitSessionLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote != 0) {
      if (c == quote)
        quote = 0;
      else if (c == '\\' && quote == '"' && i + 1 < line.size())
        word += line[++i];
      else
        word += c;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else if (c == '#' && !inWord) {
      break;
    } else {
      inWord = true;
      if (c == '"' || c == '\'')
        quote = c;
      else if (c == '\\' && i + 1 < line.size())
        word += line[++i];
      else
        word += c;
    }
  }
  if (quote != 0) throw UsageError("unterminated quote");
  if (inWord) words.push_back(word);
  return words;
}

}  // namespace qcli
