// Date and time value with millisecond part and its pattern formatter.
#pragma once

#include <ctime>
#include <string>

namespace hades {
namespace timetls {

class datetimeinfo {
 public:
  datetimeinfo() = default;
  datetimeinfo(time_t seconds, int milliseconds) : _seconds(seconds), _milliseconds(milliseconds) {}

  // The current wall-clock time, seconds and milliseconds from one clock reading.
  static datetimeinfo now();

  time_t seconds() const { return _seconds; }
  int milliseconds() const { return _milliseconds; }

  // Broken-down local time of the value.
  std::tm to_local() const;

  // Copies `pattern`, replacing %y year, %m month, %d day, %h hour, %M minute,
  // %s second, %f milliseconds and %% by a percent sign. Any other character
  // after '%' (or a '%' at the end) throws std::runtime_error.
  std::string format(const std::string& pattern) const;

  // "%y<date>%m<date>%d<dateTime>%h<time>%M<time>%s<time>%f" formatted.
  std::string format_datetime(const std::string& dateSeparator, const std::string& timeSeparator,
                              const std::string& dateTimeSeparator) const;

 private:
  time_t _seconds = 0;
  int _milliseconds = 0;
};

}  // namespace timetls
}  // namespace hades
