#include "hades/src/libs/hades/logging.h"

#include <boost/format.hpp>
#include <boost/signals2/signal.hpp>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <stdexcept>

#include "hades/src/libs/hades/console.h"
#include "hades/src/libs/hades/filetls.h"
#include "hades/src/libs/hades/timetls.h"

namespace hades {
namespace logging {

namespace {

using sink_signal =
    boost::signals2::signal<void(log_level, const std::string&, const std::string&)>;

struct State {
  sink_signal _sinks;
  std::mutex _m;                  // guards everything here and the delivery of a line
  std::string _logFilename;       // empty: the file sink writes nothing
  std::string _consoleLogPrefix;  // empty: no prefix
  console_stream _consoleStream = console_stream::standard_output;
};

// The state lives from the library's load to its unload: its owner is
// constructed before and destroyed after every other static object of the
// library (whose destructors may still log, as a device closed by the unload
// does), so unloading the library releases it. A line logged after that, from
// a static destructor of the host, is dropped.
struct StateOwner {
  State* state = new State;
  StateOwner() = default;
  StateOwner(const StateOwner&) = delete;
  StateOwner& operator=(const StateOwner&) = delete;
  ~StateOwner() {
    delete state;
    state = nullptr;
  }
};
#if defined(__GNUC__)
StateOwner _owner __attribute__((init_priority(101)));
#else
StateOwner _owner;
#endif

State* state() { return _owner.state; }

const char* tag(log_level level) {
  switch (level) {
    case error:
      return "ERR";
    case warning:
      return "WRN";
    case info:
      return "INF";
    case debug:
      return "DBG";
    case dump:
      return "DMP";
  }
  return "UNK";
}

const con_color* levelColor(log_level level) {
  switch (level) {
    case error:
      return &con_colors::ccf_lightred;
    case warning:
      return &con_colors::ccf_yellow;
    case info:
      return &con_colors::ccf_lightgreen;
    case debug:
      return &con_colors::ccf_lightmagenta;
    case dump:
      return &con_colors::ccf_lightblue;
  }
  return nullptr;
}

// The sinks below run under _m, which guards the prefix, the console stream
// and the file name.
void consoleSink(log_level level, const std::string& timestamp, const std::string& text) {
  const bool toError = state()->_consoleStream == console_stream::standard_error;
  std::ostream& out = toError ? std::cerr : std::cout;
  // Escape sequences are colours on a terminal and noise in a file or pipe.
  const bool colour = is_terminal(toError);
  const auto paint = [&](const con_color& c) {
    if (colour) write_color(out, c);
  };
  paint(con_colors::ccf_white);
  out << timestamp;
  if (const con_color* c = levelColor(level)) paint(*c);
  out << " [" << tag(level) << "] ";
  paint(con_colors::ccf_white);
  const std::string& prefix = state()->_consoleLogPrefix;
  if (!prefix.empty()) out << '<' << prefix << "> ";
  out << text;
  paint(con_colors::ccf_default);
  out << std::endl;
}

void fileSink(log_level level, const std::string& timestamp, const std::string& text) {
  const std::string& name = state()->_logFilename;
  if (name.empty()) return;
  std::FILE* f = std::fopen(name.c_str(), "a");
  if (f == nullptr) return;
  std::fprintf(f, "%s [%s] %s\n", timestamp.c_str(), tag(level), text.c_str());
  std::fclose(f);
}

void debugSink(log_level, const std::string&, const std::string&) {}

boost::signals2::connection connect(const log_sink& sink) {
  if (!sink) throw std::invalid_argument("Invalid log sink.");
  State* s = state();
  if (s == nullptr) return {};
  std::lock_guard<std::mutex> lock(s->_m);
  return s->_sinks.connect(sink);
}

}  // namespace

void __log(log_level level, const char* text, const char* file, int line) {
  std::string message = text != nullptr ? text : "";
  if (level < info) {
    const filetls::path_elements where = filetls::path_split(file != nullptr ? file : "");
    message =
        (boost::format("%s [%s.%s:%i]") % message % where.name % where.extension % line).str();
  }
  State* s = state();
  if (s == nullptr) return;
  std::lock_guard<std::mutex> lock(s->_m);
  const std::string timestamp = timetls::datetimeinfo::now().format_datetime(".", ":", " ");
  s->_sinks(level, timestamp, message);
}

void enable_console_log(const std::string& prefix) {
  State* s = state();
  if (s == nullptr) return;
  std::lock_guard<std::mutex> lock(s->_m);
  s->_consoleLogPrefix = prefix;
  s->_sinks.connect(&consoleSink);
}

void set_console_log_stream(console_stream stream) {
  State* s = state();
  if (s == nullptr) return;
  std::lock_guard<std::mutex> lock(s->_m);
  s->_consoleStream = stream;
}

void enable_file_log() { connect(&fileSink); }

void enable_debug_log() { connect(&debugSink); }

boost::signals2::connection enable_log_sink(log_sink sink) { return connect(sink); }

void disable_log_sink(const boost::signals2::connection& c) { c.disconnect(); }

void set_log_filename(const std::string& name) {
  State* s = state();
  if (s == nullptr) return;
  std::lock_guard<std::mutex> lock(s->_m);
  s->_logFilename = name;
}

std::string to_string(log_level level) { return tag(level); }

}  // namespace logging
}  // namespace hades
