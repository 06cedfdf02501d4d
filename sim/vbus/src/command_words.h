// The words of control commands: durations, whole and real numbers, lists of
// ports, and numbers written back so that they read in again exactly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qsim {

// "10ms" -> 10000000. Units ns, us, ms, s; a bare number is nanoseconds.
// Throws std::invalid_argument for anything else, a negative or a
// non-finite value.
int64_t parseDurationNs(const std::string& text);

// A whole number in [lo, hi]; std::invalid_argument naming `what` otherwise.
long long integerArg(const std::string& text, const char* what, long long lo, long long hi);

// A finite real number; std::invalid_argument naming `what` otherwise.
double realArg(const std::string& text, const char* what);

// The shortest decimal text that reads back as exactly `value` ("0.6", "1e-09").
std::string exactNumber(double value);

// "1-2.1,1-2.4" (and further words) -> {"1-2.1", "1-2.4"}; empty items are
// refused.
std::vector<std::string> portList(const std::vector<std::string>& words);

}  // namespace qsim
