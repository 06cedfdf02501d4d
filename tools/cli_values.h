// The spellings the tool accepts for numbers, voltages, ranges, durations,
// channels and session lines, one grammar each, used by every command, the sessions and the
// panel. Each parser takes exactly what docs/usage.md ("Values") lists and
// refuses anything else with a UsageError that names the accepted forms:
// no hex floats, no inf or nan, no megavolts for a careless "MV".
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace qcli {

// A bad command line argument that only shows up once the device is known
// (an unknown peripheral name, a range the input does not have, ...).
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A whole number: decimal (90, -1), hex (0x5A) or binary (0b01011010). A
// decimal with a leading zero (010) is refused: octal or decimal is
// anybody's guess. what names the value in the refusal ("mask").
long long parseInteger(const std::string& text, const char* what);

// A finite decimal number with an optional exponent (2.5, -0.5, 1e-3).
double parseNumber(const std::string& text, const char* what);

// A voltage: a decimal number with an optional unit V or mV (2.5, -0.5,
// 2.5V, 100mV, "100 mV"); the m of mV is lower case (M would be mega).
double parseVolts(const std::string& text);

// The upper limit of a range in volts, as ranges are named: 10V, 1V, 100mV,
// 10mV, 3.3V, also 10, 0.1, 0.01V or "10 mV", optionally after "±" or "+-".
// Units as for parseVolts; no sign, no exponent. Returns a negative value for
// text that is not a range limit (the caller names the ranges the input has).
double parseRangeLimit(const std::string& text);
// What parseRangeLimit accepts, for refusals.
extern const char* const kRangeSpellings;

// A duration in seconds: a number with a unit s, ms, min or h (10s, 500ms,
// 1.5min, 2h); a bare number counts seconds. Positive and finite.
double parseDurationSeconds(const std::string& text, const char* what);

// The name of a range by its upper limit, in the grammar parseRangeLimit
// reads: 10V, 100mV, 3.3V.
std::string rangeName(float maxVolts);

// A peripheral with an optional range: "AI-0:10mV" or "AI-1". Refuses an
// empty name or range and a second colon ("AI-0:1V:2V").
struct ChannelSpec {
  std::string name;
  std::string range;  // empty: none given
};
ChannelSpec parseChannelSpec(const std::string& text);

// Splits a line of a session into words: blanks separate, single and double
// quotes group, a backslash takes the next character as it is (inside double
// quotes too), and # at the start of a word begins a comment. Throws
// UsageError for an unterminated quote.
std::vector<std::string> splitSessionLine(const std::string& line);

}  // namespace qcli
