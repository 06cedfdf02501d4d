// A call to a served device as the server reads it from the JSON body of an
// MQTT request: the operation and its fields, checked for shape and type
// (unknown fields, wrong types, numbers out of bounds, nesting deeper than a
// request has) before anything else happens. Whether the names exist on the
// device is for the device's worker to say.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qserve {

// A call that cannot be served: the text says why; the class is the
// library's error class that fits (2 for a malformed request).
class CallError : public std::runtime_error {
 public:
  CallError(int errorClass, const std::string& message)
      : std::runtime_error(message), errorClass_(errorClass) {}
  int errorClass() const { return errorClass_; }

 private:
  int errorClass_;
};

enum class Operation { Read, Write, Port, Range, Counter, Start, Stop };

enum class StreamTrigger { None, Start, Sample };

struct CallRequest {
  Operation op = Operation::Read;
  std::string opName;
  std::vector<std::string> channels;  // read, start
  std::string target;                 // write: output, port: port, range: input, counter
  double volts = 0;                   // write
  std::optional<long long> outputEnable, levels;  // port
  std::string range;                              // range
  std::optional<bool> enable;                     // counter
  bool reset = false;                             // counter
  double rateHz = 0;                              // start (not with trigger sample)
  StreamTrigger trigger = StreamTrigger::None;    // start
  std::string triggerConfig = "in-a";             // start
  long long frames = 0;                           // start: 0 = until stopped

  // True when the call changes the device whatever the device answers (a read
  // changes it only when it names a range other than the one in force).
  bool changesDevice() const;
};

// Throws CallError (class 2) for anything that is not a well-formed request.
CallRequest parseCallRequest(const std::string& body);

}  // namespace qserve
