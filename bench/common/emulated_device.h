// An emulated Ka opened through the library's own family class and entered
// into the C interface's handle table, so that benchmarks call the exported
// functions exactly as an application does, without USB.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/qelomsrdevice.h"
#include "comm-api/src/api/protocol.h"
#include "comm-api/src/api/rawdevice.h"

namespace qbench {

class BusTimer;

// Sits between the library's protocol and the emulator's transport. While a
// transfer is inside the emulator, allocation counting is paused, and (when
// switched on) the thread CPU time spent there is summed, so that the
// emulator's own work can be told apart from the library's.
//
// It can also record the emulator's replies and play them back: in replay
// mode writes go nowhere and reads return the recorded replies in turn, so a
// repeated call sees exactly the bytes the emulator sent, at no cost.
class MeteredRawDevice : public commapi::RawDevice {
 public:
  // With a bus timer, every transfer is stamped as issued when the library
  // hands it over, before the emulator works on it.
  MeteredRawDevice(std::shared_ptr<commapi::RawDevice> inner, BusTimer* bus);

  int getConnectionType() const override;
  std::string getUniqueId() const override;
  void open() override;
  void close() override;
  void write(const unsigned char* data, int len) override;
  void read(unsigned char* data, int len) override;
  void setTimeout(int ms) override;
  int getTimeout() const override;
  int getIntProperty(int id) const override;

  enum class Mode { Pass, Record, Replay };
  // Record clears the recording; Replay starts at its first reply.
  void setMode(Mode mode);

  void setMeterCpu(bool on) { meterCpu_ = on; }
  // Thread CPU time spent inside the emulator's transport while metering.
  std::int64_t innerCpuNs() const { return innerCpuNs_; }

 private:
  std::shared_ptr<commapi::RawDevice> inner_;
  BusTimer* bus_;
  Mode mode_ = Mode::Pass;
  std::vector<std::vector<unsigned char>> replies_;
  size_t nextReply_ = 0;
  bool meterCpu_ = false;
  std::int64_t innerCpuNs_ = 0;
};

struct EmulatorOptions {
  // Manual clock: frames are produced only when the benchmark advances the
  // clock. Otherwise the emulator runs on the real steady clock.
  bool manualClock = true;
  // Bus timing applied to every transfer of the in-process transport.
  BusTimer* bus = nullptr;
  // Input buffer capacity of the device in bytes (0: the model's default).
  int inputBufferBytes = 0;
};

class EmulatedKa {
 public:
  explicit EmulatedKa(const EmulatorOptions& options = EmulatorOptions());
  ~EmulatedKa();
  EmulatedKa(const EmulatedKa&) = delete;
  EmulatedKa& operator=(const EmulatedKa&) = delete;

  int handle() const { return handle_; }
  QeloMsrDevice& device() { return *device_; }
  commapi::ProtocolDevice& protocol() { return *protocol_; }
  MeteredRawDevice& transport() { return *metered_; }
  // Advances the manual clock (no effect on the real clock).
  void advanceClockNs(std::int64_t ns);
  // What the emulated device knows: bytes waiting in its input buffer and
  // frames it had to drop since the acquisition started.
  std::int64_t deviceBufferedBytes() const;
  // The voltage the emulator puts on analog channel index c (single-ended
  // inputs first, then differential pairs) at its current time.
  double injectedVoltage(int channel) const;
  std::int64_t deviceFramesDropped() const;

 private:
  struct Model;
  std::unique_ptr<Model> model_;
  std::shared_ptr<MeteredRawDevice> metered_;
  std::shared_ptr<commapi::ProtocolDevice> protocol_;
  boost::shared_ptr<QeloMsrDevice> device_;
  int handle_ = 0;
};

// Throws std::runtime_error with the error record's text when rc is an error id.
void check(int rc, const char* what);
// The error record's message for an error id.
std::string errorText(int errorId);

// Thread CPU time in nanoseconds.
std::int64_t threadCpuNs();
// Process CPU time in nanoseconds.
std::int64_t processCpuNs();

}  // namespace qbench
