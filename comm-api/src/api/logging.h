// Switchable diagnostics of the communication layer: log and trace lines
// through hades::logging, and a hex dump of the traffic into a file.
//
// Everything is off by default. The environment variables COMMAPI_LOGGING,
// COMMAPI_TRACE, COMMAPI_DUMPFILE, COMMAPI_RAW and COMMAPI_LOG_STDERR (log
// lines on standard error instead of standard output) are read once, at the
// first call of any function below. Callers test a switch before building a
// message, so a disabled diagnostic costs one flag test.
#pragma once

#include <string>

namespace commapi {

bool isLogging();  // log lines are produced
bool isTrace();    // trace lines are produced (implies logging)
bool isDump();     // protocol blocks are dumped
bool isDumpRaw();  // raw USB messages are dumped

// Switches logging on (there is no way to switch it off) and connects one more
// console sink, so a second call shows every line twice.
void enableLogging(bool withTrace);
// Dumps into `file` (appending), raw USB messages when `raw`, else protocol
// blocks. An empty `file` switches dumping off.
void enableDumping(const std::string& file, bool raw);

void _lg(const std::string& text);  // one log line (level info)
void _tr(const std::string& text);  // one trace line (level debug)
// One protocol-dump line: "< 0x00000020:01020304" (read) or "> ..." (write).
void _dp(bool in, unsigned address, const unsigned char* data, int len);
// One raw-dump line: "> 040000c0 200000f0 ..." with a blank after every 4th byte.
void _dr(bool in, const unsigned char* data, int len);

// Test support only (not exported from the shared library): switches every
// diagnostic off and makes the next call read the environment again. Sinks
// already connected stay connected.
void _resetDiagnosticsForTest();

}  // namespace commapi
