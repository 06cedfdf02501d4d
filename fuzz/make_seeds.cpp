// Writes the seed corpora of the fuzz targets from real sessions with the
// emulator, so that fuzzing starts from inputs that open a device and stream
// frames instead of having to discover the calibration layout first.
//
//   fuzz_make_seeds <corpus-dir>
// writes <corpus-dir>/fuzz_device_replies/, fuzz_capi/ and fuzz_emulator/.
//
// fuzz_device_replies seeds: each family is opened over the emulator through a
// recording transport and driven through a few operations; the replies it got
// form the front of the seed, the encoded operations its back, exactly as the
// target's FuzzedDataProvider reads them.
#include <qelomsr/qelomsr.h>
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "comm-api/src/api/protocol.h"
#include "devices/qeloka1x.h"
#include "devices/qelorix1x.h"
#include "devices/qelovel1x.h"
#include "fuzz_common.h"
#include "qsim/config.h"
#include "qsim/inprocess.h"
#include "qsim/model.h"

namespace {

// The inverse of FuzzedDataProvider's integer reads: bytes in the order the
// provider consumes them from the end of the input.
class BackEncoder {
 public:
  void byte(int v) { bytes_.push_back(static_cast<uint8_t>(v)); }
  void inRange(long value, long min, long max) {
    const unsigned long range = static_cast<unsigned long>(max - min);
    const unsigned long offset = static_cast<unsigned long>(value - min);
    int n = 0;
    while (n < 8 && (range >> (8 * n)) > 0) ++n;
    for (int i = n - 1; i >= 0; --i) byte(static_cast<int>((offset >> (8 * i)) & 0xFF));
  }
  void boolean(bool v) { byte(v ? 1 : 0); }
  void anyInt(int v) { inRange(v, INT_MIN, INT_MAX); }
  void id(int id) {
    const int kind = (id - qfuzz::kIdBases[0]) >> 8;
    byte(kind);
    byte(id & 0xFF);
  }
  void volts(int millivolts) {
    byte(3);
    inRange(millivolts, -12000, 12000);
  }
  void rate(int hz) {
    byte(4);
    inRange(hz, 0, 200000);
  }
  void zeroCount() { byte(0); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Forwards to the emulator and keeps each reply as the fuzz device reads it:
// one "normal transfer" byte, then the requested bytes.
class RecordingRawDevice : public commapi::RawDevice {
 public:
  explicit RecordingRawDevice(std::shared_ptr<commapi::RawDevice> inner)
      : inner_(std::move(inner)) {}
  int getConnectionType() const override { return inner_->getConnectionType(); }
  std::string getUniqueId() const override { return inner_->getUniqueId(); }
  void open() override { inner_->open(); }
  void close() override { inner_->close(); }
  void setTimeout(int ms) override { inner_->setTimeout(ms); }
  int getTimeout() const override { return inner_->getTimeout(); }
  int getIntProperty(int id) const override { return inner_->getIntProperty(id); }
  void write(const unsigned char* data, int len) override {
    requests.emplace_back(data, data + len);
    count_ = static_cast<int>((data[0] | (data[1] << 8) | (data[2] << 16) | (data[3] << 24)) &
                              0x3FFFFFFF);
    inner_->write(data, len);
  }
  void read(unsigned char* data, int len) override {
    inner_->read(data, len);
    replies.push_back(0);
    replies.insert(replies.end(), data, data + count_);
  }

  std::vector<uint8_t> replies;
  std::vector<std::vector<uint8_t>> requests;

 private:
  std::shared_ptr<commapi::RawDevice> inner_;
  int count_ = 0;
};

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

struct Session {
  qsim::Family family;
  const char* name;
  std::vector<int> inputs;   // input frame
  std::vector<int> outputs;  // output frame
};

// One device_replies seed: open, then the operations below, mirrored into the
// back encoder in the order the target reads its arguments.
std::vector<uint8_t> deviceRepliesSeed(const Session& session, int variant,
                                       std::vector<std::vector<uint8_t>>& requests) {
  auto model = std::make_shared<qsim::DeviceModel>(qsim::defaultConfig(session.family));
  auto recorder = std::make_shared<RecordingRawDevice>(
      std::make_shared<qsim::InProcessRawDevice>(model, "USB:9-0-1"));
  auto protocol = commapi::createProtocolDevice(recorder, 64, 64, 8192, 0);
  std::unique_ptr<QeloFamily> dev;
  int valueSlots = 0;
  int portSlots = 0;
  BackEncoder back;
  switch (session.family) {
    case qsim::Family::Ka:
      dev.reset(new QeloKa1x(protocol, "USB:9-0-1"));
      back.inRange(0, 0, 2);
      valueSlots = 21;
      portSlots = 5;
      break;
    case qsim::Family::Vel:
      dev.reset(new QeloVel1x(protocol, "USB:9-0-1"));
      back.inRange(1, 0, 2);
      valueSlots = 9;
      portSlots = 3;
      break;
    default:
      dev.reset(new QeloRix1x(protocol, "USB:9-0-1"));
      back.inRange(2, 0, 2);
      valueSlots = 6;
      portSlots = 3;
      break;
  }
  dev->open();
  auto op = [&](int code) { back.inRange(code, 0, qfuzz::op::kLast); };

  std::vector<float> values(static_cast<size_t>(valueSlots) * 2048);
  std::vector<int> ports(static_cast<size_t>(portSlots) * 2048);
  std::vector<int> ios = session.inputs;
  op(qfuzz::op::kSetupInputFrame);
  back.inRange(static_cast<long>(ios.size()), -1, 24);
  for (int id : ios) back.id(id);
  dev->setupInputFrame(ios.data(), static_cast<int>(ios.size()));

  if (variant == 0) {
    op(qfuzz::op::kSerialNumber);
    std::vector<char> serial(1024);
    dev->getSerialNumber(serial.data());
    op(qfuzz::op::kReadFrame);
    dev->readFrame(values.data(), ports.data());
    op(qfuzz::op::kReadAnalogInput);
    back.id(ios[0]);
    dev->readAnalogInput(ios[0]);
    std::vector<int> outs = session.outputs;
    op(qfuzz::op::kSetupOutputFrame);
    back.inRange(static_cast<long>(outs.size()), -1, 8);
    for (int id : outs) back.id(id);
    dev->setupOutputFrame(outs.data(), static_cast<int>(outs.size()));
    op(qfuzz::op::kWriteFrame);
    const FamilyTable& table = dev->getTable();
    std::vector<float> outValues(
        static_cast<size_t>(table.analogOutputs > 0 ? table.analogOutputs : 1));
    std::vector<int> outPorts(static_cast<size_t>(table.digitalPorts > 0 ? table.digitalPorts : 1));
    for (float& v : outValues) {
      back.volts(1500);
      v = 1.5f;
    }
    for (int& p : outPorts) {
      back.anyInt(0x5A);
      p = 0x5A;
    }
    dev->writeFrame(outValues.data(), outPorts.data());
  } else {
    op(qfuzz::op::kStartAcquisition);
    back.inRange(0, -1, 3);
    back.rate(20000);
    back.zeroCount();
    dev->startDataAcquisition(0, 20000.0f, 0);
    for (int i = 0; i < 3; ++i) {
      // Let the emulator's real clock produce a few frames.
      for (volatile int spin = 0; spin < 2000000; ++spin) {
      }
      op(qfuzz::op::kReadNonBlocking);
      back.boolean(true);
      dev->readNonBlocking(values.data(), ports.data(), -1);
    }
    op(qfuzz::op::kReadBlocking);
    back.inRange(4, -1, 64);
    dev->readBlocking(values.data(), ports.data(), 4);
    op(qfuzz::op::kStopAcquisition);
    dev->stopDataAcquisition();
  }
  dev->close();
  requests.insert(requests.end(), recorder->requests.begin(), recorder->requests.end());

  std::vector<uint8_t> seed = recorder->replies;
  seed.insert(seed.end(), back.bytes().rbegin(), back.bytes().rend());
  return seed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus-dir>\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  for (const char* target : {"", "/fuzz_device_replies", "/fuzz_capi", "/fuzz_emulator"}) {
    mkdir((root + target).c_str(), 0755);
  }
  const std::vector<Session> sessions = {
      {qsim::Family::Ka,
       "ka",
       {QELOMSR_ID_ANALOG_INPUT(3), QELOMSR_ID_TRIGGER, QELOMSR_ID_DIGITAL_PORT(1),
        QELOMSR_ID_COUNTER, QELOMSR_ID_DIFF_INPUT(0)},
       {QELOMSR_ID_DIGITAL_PORT(2), QELOMSR_ID_ANALOG_OUTPUT(0)}},
      {qsim::Family::Vel,
       "vel",
       {QELOMSR_ID_ANALOG_INPUT(0), QELOMSR_ID_DIFF_INPUT(2), QELOMSR_ID_DIGITAL_PORT(0),
        QELOMSR_ID_TRIGGER},
       {QELOMSR_ID_ANALOG_OUTPUT(0), QELOMSR_ID_DIGITAL_PORT(1)}},
      {qsim::Family::Rix,
       "rix",
       {QELOMSR_ID_ANALOG_INPUT(4), QELOMSR_ID_ANALOG_INPUT(0), QELOMSR_ID_COUNTER,
        QELOMSR_ID_DIGITAL_PORT(0)},
       {QELOMSR_ID_DIGITAL_PORT(0)}},
  };
  for (size_t family = 0; family < sessions.size(); ++family) {
    const Session& s = sessions[family];
    std::vector<std::vector<uint8_t>> requests;
    for (int variant = 0; variant < 2; ++variant) {
      writeFile(root + "/fuzz_device_replies/" + s.name + "-" + std::to_string(variant) + ".bin",
                deviceRepliesSeed(s, variant, requests));
    }
    // The emulator's JSON configuration of the family (odd first byte).
    const std::string json = qsim::configToJson(qsim::defaultConfig(s.family)).dump();
    std::vector<uint8_t> config(1, 1);
    config.insert(config.end(), json.begin(), json.end());
    writeFile(root + "/fuzz_emulator/config-" + s.name + ".bin", config);
    // The session's first requests for the emulator (even first byte: the
    // family, then each message as a 2-byte length and its bytes).
    std::vector<uint8_t> stream = {static_cast<uint8_t>(2 * family)};
    for (size_t i = 0; i < requests.size() && i < 60; ++i) {
      const std::vector<uint8_t>& r = requests[i];
      stream.push_back(static_cast<uint8_t>(r.size() & 0xFF));
      stream.push_back(static_cast<uint8_t>(r.size() >> 8));
      stream.insert(stream.end(), r.begin(), r.end());
    }
    writeFile(root + "/fuzz_emulator/requests-" + s.name + ".bin", stream);
  }
  std::printf("seeds written to %s\n", root.c_str());
  return 0;
}
