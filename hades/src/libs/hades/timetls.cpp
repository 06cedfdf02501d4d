#include "hades/src/libs/hades/timetls.h"

#include <sys/time.h>

#include <boost/format.hpp>
#include <cstring>
#include <stdexcept>

namespace hades {
namespace timetls {

namespace {

// The source file's name after its last slash or backslash.
const char* baseName(const char* file) {
  const char* base = file;
  for (const char* p = file; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

void appendTwoDigits(std::string& out, int value) {
  if (value < 10) out.push_back('0');
  out += std::to_string(value);
}

}  // namespace

datetimeinfo datetimeinfo::now() {
  // One reading for both parts: separate reads of time() and gettimeofday()
  // can straddle a second boundary and yield a stamp almost a second early.
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return datetimeinfo(tv.tv_sec, static_cast<int>(tv.tv_usec / 1000));
}

std::tm datetimeinfo::to_local() const {
  std::tm tm{};
  localtime_r(&_seconds, &tm);
  return tm;
}

std::string datetimeinfo::format(const std::string& pattern) const {
  const std::tm tm = to_local();
  std::string out;
  out.reserve(pattern.size() + 16);
  for (std::string::size_type i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    const char code = i + 1 < pattern.size() ? pattern[++i] : '\0';
    switch (code) {
      case 'y':
        out += std::to_string(tm.tm_year + 1900);
        break;
      case 'm':
        appendTwoDigits(out, tm.tm_mon + 1);
        break;
      case 'd':
        appendTwoDigits(out, tm.tm_mday);
        break;
      case 'h':
        appendTwoDigits(out, tm.tm_hour);
        break;
      case 'M':
        appendTwoDigits(out, tm.tm_min);
        break;
      case 's':
        appendTwoDigits(out, tm.tm_sec);
        break;
      case 'f':
        if (_milliseconds < 100) out.push_back('0');
        appendTwoDigits(out, _milliseconds);
        break;
      case '%':
        out.push_back('%');
        break;
      default:
        throw std::runtime_error(
            (boost::format("%s [%s:%i]") % "Invalid format specifier in datetimeinfo::format()" %
             baseName(__FILE__) % __LINE__)
                .str());
    }
  }
  return out;
}

std::string datetimeinfo::format_datetime(const std::string& dateSeparator,
                                          const std::string& timeSeparator,
                                          const std::string& dateTimeSeparator) const {
  const std::string pattern = "%y" + dateSeparator + "%m" + dateSeparator + "%d" +
                              dateTimeSeparator + "%h" + timeSeparator + "%M" + timeSeparator +
                              "%s" + timeSeparator + "%f";
  return format(pattern);
}

}  // namespace timetls
}  // namespace hades
