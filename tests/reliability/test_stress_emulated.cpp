// Concurrency stress of the C interface over the device families and the
// in-process emulator: eight threads read ports, registers, serial numbers
// and analog inputs of a Ka, a Vel and a Rix at once, and call with invalid
// ids, invalid handles and null pointers. Checked against what the emulator
// saw and holds: every reply belongs to the device that was asked (distinct
// injected voltages, port levels and serial numbers), no two transfers of
// the process ever overlapped, and each device received exactly the requests
// that its successful calls need — calls refused for a bad id or pointer
// send nothing.
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "api/qelomsrinternal.h"
#include "comm-api/src/api/protocol.h"
#include "devices/qeloka1x.h"
#include "devices/qelorix1x.h"
#include "devices/qelovel1x.h"
#include "qsim/config.h"
#include "qsim/inprocess.h"
#include "qsim/model.h"
#include "rel_util.h"

namespace {

constexpr int kDevices = 3;
constexpr int kWorkers = 8;
constexpr long kMinRounds = 300;  // per worker, whatever the deadline
constexpr unsigned kVersionRegister = 0xF0000004u;
constexpr int kBadPort = QELOMSR_ID_DIGITAL_PORT(0xEE);

enum Op { kPort, kRegister, kSerial, kAnalog, kOps };

struct Emulated {
  std::shared_ptr<qsim::DeviceModel> model;
  boost::shared_ptr<QeloMsrDevice> device;
  int handle = 0;
  double volts = 0;  // injected on AI-0
  int port = 0;      // levels of DP-0 as the device reports them
  unsigned version = 0;
  std::string serial;
  std::atomic<long> requests{0};     // OUT transfers the device received
  std::array<long, kOps> perCall{};  // requests one successful call needs
};

std::atomic<int> transfersActive{0};
std::atomic<long> transferOverlaps{0};

struct Tally {
  std::array<std::array<long, kOps>, kDevices> succeeded{};
  long refused = 0;
  std::vector<std::string> mismatches;
  void mismatch(const std::string& m) {
    if (mismatches.size() < 5) mismatches.push_back(m);
  }
};

class StressEmulated : public ::testing::Test {
 protected:
  void SetUp() override {
    const qsim::Family families[kDevices] = {qsim::Family::Ka, qsim::Family::Vel,
                                             qsim::Family::Rix};
    const double volts[kDevices] = {1.25, -3.5, 2.75};
    const uint8_t levels[kDevices] = {0x5A, 0xC3, 0x09};
    for (int i = 0; i < kDevices; ++i) {
      Emulated& e = devices_[i];
      e.model = std::make_shared<qsim::DeviceModel>(qsim::defaultConfig(families[i]));
      e.model->setSignal(0, qsim::Signal::dc(volts[i]));
      e.model->setPortInput(0, levels[i]);
      e.volts = volts[i];
      e.port = e.model->portPins(0);
      const std::string uid = "USB:7-0-" + std::to_string(i + 1);
      auto raw = std::make_shared<qsim::InProcessRawDevice>(e.model, uid);
      std::atomic<long>* requests = &e.requests;
      raw->setTransferHook([requests](qsim::Direction direction, size_t) {
        // The call lock serialises all device work: two transfers, of any
        // devices, never run at the same time.
        if (transfersActive.fetch_add(1) != 0) transferOverlaps.fetch_add(1);
        if (direction == qsim::Direction::Out) requests->fetch_add(1);
        transfersActive.fetch_sub(1);
      });
      auto protocol = commapi::createProtocolDevice(raw, 64, 64, 8192, 0);
      switch (families[i]) {
        case qsim::Family::Ka:
          e.device.reset(new QeloKa1x(protocol, uid));
          break;
        case qsim::Family::Vel:
          e.device.reset(new QeloVel1x(protocol, uid));
          break;
        case qsim::Family::Rix:
          e.device.reset(new QeloRix1x(protocol, uid));
          break;
      }
      e.device->open();
      e.handle = qelomsr_internal::addOpenDevice(e.device);
      calibrate(e);
    }
  }

  void TearDown() override {
    for (Emulated& e : devices_) QeloMsrClose(e.handle);
  }

  // One call of an operation; returns whether it succeeded with the reply
  // the device should give.
  static bool call(Emulated& e, Op op, std::string* why) {
    switch (op) {
      case kPort: {
        int value = -1;
        const int rc = QeloMsrReadDigitalPort(e.handle, QELOMSR_ID_DIGITAL_PORT(0), &value);
        if (rc == 0 && value == e.port) return true;
        *why = "port " + std::to_string(value) + " expected " + std::to_string(e.port);
        return false;
      }
      case kRegister: {
        unsigned value = 0;
        const int rc = __QeloMsrReadRegister(e.handle, kVersionRegister, &value);
        if (rc == 0 && value == e.version) return true;
        *why = "version word " + std::to_string(value);
        return false;
      }
      case kSerial: {
        char serial[QELOMSR_TEXT_BUFFER_SIZE];
        const int rc = QeloMsrGetSerialNumber(e.handle, serial);
        if (rc == 0 && serial == e.serial) return true;
        *why = std::string("serial ") + serial;
        return false;
      }
      default: {
        float volts = 0;
        const int rc = QeloMsrReadAnalogInput(e.handle, QELOMSR_ID_ANALOG_INPUT(0), &volts);
        if (rc == 0 && std::fabs(volts - e.volts) < 0.01) return true;
        *why = "AI-0 " + std::to_string(volts) + " V, injected " + std::to_string(e.volts);
        return false;
      }
    }
  }

  // Learns, single-threaded, what each operation replies and how many
  // requests it sends; both must be the same on a second call.
  static void calibrate(Emulated& e) {
    char serial[QELOMSR_TEXT_BUFFER_SIZE];
    ASSERT_EQ(QeloMsrGetSerialNumber(e.handle, serial), 0);
    e.serial = serial;
    ASSERT_EQ(__QeloMsrReadRegister(e.handle, kVersionRegister, &e.version), 0);
    for (int op = 0; op < kOps; ++op) {
      long counts[2] = {};
      for (long& count : counts) {
        const long before = e.requests.load();
        std::string why;
        ASSERT_TRUE(call(e, static_cast<Op>(op), &why)) << why;
        count = e.requests.load() - before;
      }
      ASSERT_EQ(counts[0], counts[1]) << "operation " << op << " is not repeatable";
      ASSERT_GT(counts[0], 0) << "operation " << op << " sends no request";
      e.perCall[static_cast<size_t>(op)] = counts[0];
    }
  }

  void work(int worker, std::chrono::steady_clock::time_point deadline, Tally& tally) {
    std::mt19937 rng(static_cast<unsigned>(worker) * 104729u + 7u);
    // At least kMinRounds, so that a slow or busy host still reaches every
    // device and every kind of call; beyond that, until the deadline.
    for (long round = 0; round < kMinRounds || std::chrono::steady_clock::now() < deadline;
         ++round) {
      const int d = static_cast<int>(rng() % kDevices);
      Emulated& e = devices_[d];
      const unsigned pick = rng() % 10;
      if (pick < 7) {
        const Op op = static_cast<Op>(pick % kOps);
        std::string why;
        if (call(e, op, &why)) {
          tally.succeeded[static_cast<size_t>(d)][op]++;
        } else {
          tally.mismatch("device " + std::to_string(d) + ": " + why);
        }
        continue;
      }
      // Refused calls: checked before the device is touched.
      int value = 0;
      int rc = 0;
      std::string expected;
      if (pick == 7) {
        rc = QeloMsrReadDigitalPort(e.handle, kBadPort, &value);
        expected = "class 2";
      } else if (pick == 8) {
        rc = QeloMsrReadDigitalPort(e.handle, QELOMSR_ID_DIGITAL_PORT(0), nullptr);
        expected = "Invalid pointer for parameter <value>.";
      } else {
        rc = QeloMsrReadDigitalPort(-worker - 1, QELOMSR_ID_DIGITAL_PORT(0), &value);
        expected = "Invalid handle.";
      }
      const reltest::ErrorRecord r = reltest::errorRecord(rc);
      const bool ok = rc != 0 && (pick == 7 ? r.errorClass == QELOMSR_ERROR_CLASS_INVALID_ARGUMENT
                                            : r.text == expected);
      if (ok) {
        tally.refused++;
      } else {
        tally.mismatch("refusal: rc " + std::to_string(rc) + " class " +
                       std::to_string(r.errorClass) + " \"" + r.text + "\", expected " + expected);
      }
    }
  }

  Emulated devices_[kDevices];
};

TEST_F(StressEmulated, RepliesStayWithTheirDeviceAndRequestsMatchTheSuccessfulCalls) {
  const long base[kDevices] = {devices_[0].requests, devices_[1].requests, devices_[2].requests};
  transferOverlaps = 0;
  const auto duration = std::chrono::milliseconds(reltest::envLong("QELOMSR_STRESS_MS", 2000));
  const auto deadline = std::chrono::steady_clock::now() + duration;
  std::vector<Tally> tallies(kWorkers);
  std::vector<std::function<void()>> bodies;
  for (int w = 0; w < kWorkers; ++w) {
    bodies.push_back([this, w, deadline, &tallies] { work(w, deadline, tallies[w]); });
  }
  reltest::runBounded(std::move(bodies), std::chrono::seconds(60));

  EXPECT_EQ(transferOverlaps.load(), 0) << "transfers ran at the same time";
  long refused = 0;
  for (int w = 0; w < kWorkers; ++w) {
    for (const std::string& m : tallies[w].mismatches) ADD_FAILURE() << "worker " << w << ": " << m;
    refused += tallies[w].refused;
  }
  EXPECT_GT(refused, 0);
  for (int d = 0; d < kDevices; ++d) {
    long expected = 0;
    long calls = 0;
    for (const Tally& t : tallies) {
      for (int op = 0; op < kOps; ++op) {
        expected += t.succeeded[static_cast<size_t>(d)][op] * devices_[d].perCall[op];
        calls += t.succeeded[static_cast<size_t>(d)][op];
      }
    }
    EXPECT_GT(calls, 0) << "device " << d;
    EXPECT_EQ(devices_[d].requests.load() - base[d], expected)
        << "device " << d << ": requests received differ from what " << calls
        << " successful calls send";
  }
}

}  // namespace
