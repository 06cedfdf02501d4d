// Process-wide logging: a line is formatted once, stamped with the local date
// and time, and handed to every connected sink in connection order.
#pragma once

#include <boost/signals2/connection.hpp>
#include <functional>
#include <string>

namespace hades {
namespace logging {

enum log_level : int { error = 0, warning = 1, info = 2, debug = 3, dump = 4 };

// A sink receives (level, timestamp, message) of every delivered line.
using log_sink = std::function<void(log_level, const std::string&, const std::string&)>;

// Delivers one line to all sinks. For error and warning the source location
// " [name.ext:line]" of `file` and `line` is appended to the text. A sink that
// throws ends the delivery of this line; the exception propagates. Sinks run
// under the facility's lock and must not log themselves.
void __log(log_level level, const char* text, const char* file, int line);

// Connects one more console sink and sets the prefix all console sinks show.
// The sink writes to standard output (or standard error, below) and colours
// its lines only when that stream is a terminal.
void enable_console_log(const std::string& prefix);
// Where the console sinks write: standard output (the default) or standard
// error.
enum class console_stream { standard_output, standard_error };
void set_console_log_stream(console_stream stream);
// Connects the file sink, which appends to the file set by set_log_filename.
void enable_file_log();
// Connects the platform-debugger sink (it writes nothing on this platform).
void enable_debug_log();
// Connects a host sink at the back.
boost::signals2::connection enable_log_sink(log_sink sink);
// Disconnects a host sink; empty or already disconnected connections are ignored.
void disable_log_sink(const boost::signals2::connection& c);
// File used by the file sink; empty means the file sink writes nothing.
void set_log_filename(const std::string& name);

// "ERR", "WRN", "INF", "DBG", "DMP", or "UNK" for any other value.
std::string to_string(log_level level);

}  // namespace logging
}  // namespace hades
