#include "bench/common/emulated_device.h"

#include <qelomsr/qelomsr.h>
#include <time.h>

#include <cstring>
#include <stdexcept>
#include <utility>

#include "api/qelomsrinternal.h"
#include "bench/common/alloc_counter.h"
#include "bench/common/bus_model.h"
#include "devices/qeloka1x.h"
#include "qsim/clock.h"
#include "qsim/config.h"
#include "qsim/inprocess.h"
#include "qsim/model.h"

namespace qbench {

namespace {
std::int64_t clockNs(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Measures the thread CPU time of a transfer when metering is on.
class CpuSpan {
 public:
  CpuSpan(bool on, std::int64_t& sum) : on_(on), sum_(sum), start_(on ? threadCpuNs() : 0) {}
  ~CpuSpan() {
    if (on_) sum_ += threadCpuNs() - start_;
  }
  CpuSpan(const CpuSpan&) = delete;
  CpuSpan& operator=(const CpuSpan&) = delete;

 private:
  bool on_;
  std::int64_t& sum_;
  std::int64_t start_;
};
}  // namespace

std::int64_t threadCpuNs() { return clockNs(CLOCK_THREAD_CPUTIME_ID); }
std::int64_t processCpuNs() { return clockNs(CLOCK_PROCESS_CPUTIME_ID); }

// ---- MeteredRawDevice --------------------------------------------------------

MeteredRawDevice::MeteredRawDevice(std::shared_ptr<commapi::RawDevice> inner, BusTimer* bus)
    : inner_(std::move(inner)), bus_(bus) {}

int MeteredRawDevice::getConnectionType() const { return inner_->getConnectionType(); }
std::string MeteredRawDevice::getUniqueId() const { return inner_->getUniqueId(); }
void MeteredRawDevice::open() { inner_->open(); }
void MeteredRawDevice::close() { inner_->close(); }
void MeteredRawDevice::setTimeout(int ms) { inner_->setTimeout(ms); }
int MeteredRawDevice::getTimeout() const { return inner_->getTimeout(); }
int MeteredRawDevice::getIntProperty(int id) const { return inner_->getIntProperty(id); }

void MeteredRawDevice::setMode(Mode mode) {
  if (mode == Mode::Record) replies_.clear();
  if (mode == Mode::Replay && replies_.empty()) {
    throw std::logic_error("nothing recorded to replay");
  }
  nextReply_ = 0;
  mode_ = mode;
}

void MeteredRawDevice::write(const unsigned char* data, int len) {
  if (mode_ == Mode::Replay) return;
  if (bus_ != nullptr) bus_->issue();
  alloc::Pause pause;
  CpuSpan span(meterCpu_, innerCpuNs_);
  inner_->write(data, len);
}

void MeteredRawDevice::read(unsigned char* data, int len) {
  if (mode_ == Mode::Replay) {
    const std::vector<unsigned char>& reply = replies_[nextReply_];
    if (static_cast<size_t>(len) != reply.size()) {
      throw std::logic_error("replayed read out of step with the recording");
    }
    std::memcpy(data, reply.data(), reply.size());
    nextReply_ = (nextReply_ + 1) % replies_.size();
    return;
  }
  if (bus_ != nullptr) bus_->issue();
  alloc::Pause pause;
  CpuSpan span(meterCpu_, innerCpuNs_);
  inner_->read(data, len);
  if (mode_ == Mode::Record) replies_.emplace_back(data, data + len);
}

// ---- EmulatedKa --------------------------------------------------------------

struct EmulatedKa::Model {
  std::shared_ptr<qsim::ManualClock> manual;
  std::shared_ptr<qsim::DeviceModel> device;
};

EmulatedKa::EmulatedKa(const EmulatorOptions& options) : model_(new Model) {
  qsim::DeviceConfig config = qsim::defaultConfig(qsim::Family::Ka);
  // DC inputs: the emulator's per-sample work stays small, so that the
  // library's share of a read is not lost in the emulator's.
  for (size_t i = 0; i < config.signals.size(); ++i) {
    config.signals[i] = qsim::Signal::dc(-9.0 + static_cast<double>(i));
  }
  // Fast streams on a fast bus need periods below the default 10 us.
  config.minFramePeriodNs = 100;
  if (options.inputBufferBytes > 0) {
    config.inputCapacity = static_cast<uint32_t>(options.inputBufferBytes);
  }
  std::shared_ptr<qsim::Clock> clock;
  if (options.manualClock) {
    model_->manual = std::make_shared<qsim::ManualClock>(0);
    clock = model_->manual;
  }
  model_->device = std::make_shared<qsim::DeviceModel>(config, clock);
  auto inprocess = std::make_shared<qsim::InProcessRawDevice>(model_->device, "SIM:bench");
  if (options.bus != nullptr) {
    BusTimer* bus = options.bus;
    inprocess->setTransferHook(
        [bus](qsim::Direction d, size_t bytes) { bus->transfer(d == qsim::Direction::In, bytes); });
  }
  metered_ = std::make_shared<MeteredRawDevice>(inprocess, options.bus);
  protocol_ = commapi::createProtocolDevice(metered_, 64, 64, 8192, 0);
  device_ = boost::shared_ptr<QeloMsrDevice>(new QeloKa1x(protocol_, "SIM:bench"));
  device_->open();
  handle_ = qelomsr_internal::addOpenDevice(device_);
}

EmulatedKa::~EmulatedKa() {
  if (handle_ != 0) {
    QeloMsrStopDataAcquisition(handle_);
    QeloMsrClose(handle_);
  }
}

void EmulatedKa::advanceClockNs(std::int64_t ns) {
  if (model_->manual) model_->manual->advanceNs(ns);
}

std::int64_t EmulatedKa::deviceBufferedBytes() const {
  return model_->device->inputBufferedBytes();
}

double EmulatedKa::injectedVoltage(int channel) const {
  return model_->device->inputVoltage(channel, model_->device->nowNs());
}

std::int64_t EmulatedKa::deviceFramesDropped() const {
  return static_cast<std::int64_t>(model_->device->framesDropped());
}

// ---- errors ------------------------------------------------------------------

std::string errorText(int errorId) {
  char message[QELOMSR_TEXT_BUFFER_SIZE] = {};
  int errorClass = 0;
  __wrapper_error(errorId, message, sizeof message, &errorClass);
  return std::string(message) + " (error class " + std::to_string(errorClass) + ")";
}

void check(int rc, const char* what) {
  if (rc != 0) throw std::runtime_error(std::string(what) + ": " + errorText(rc));
}

}  // namespace qbench
