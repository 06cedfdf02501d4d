// Concurrency stress of the C interface over counting fake devices: eight
// threads call exported functions on three open devices, on handles that were
// never issued and on handles they open and close themselves, while one more
// thread reads error records. Checked afterwards: no two device operations
// ever overlapped (the call lock serialises them), every device saw exactly
// the operations that the callers saw succeed or fail inside it, every reply
// matched its device, and the error ids form one gap-free run without
// duplicates.
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "api/qelomsrinternal.h"
#include "counting_device.h"
#include "rel_util.h"

namespace {

using reltest::CountingDevice;
using reltest::errorRecord;

constexpr int kDevices = 3;
constexpr int kWorkers = 8;
constexpr long kMinRounds = 300;  // per worker, whatever the deadline
constexpr int kNeverIssued[] = {0, -1, INT_MIN, INT_MAX - 7};

// What one worker observed.
struct Tally {
  std::array<long, kDevices> succeeded{};
  std::array<long, kDevices> failedInside{};
  long failures = 0;
  long churned = 0;
  std::vector<int> errorIds;
  std::vector<std::string> mismatches;  // first few only

  void mismatch(const std::string& what) {
    if (mismatches.size() < 5) mismatches.push_back(what);
  }
};

class StressFake : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < kDevices; ++i) {
      devices_[i] = boost::shared_ptr<CountingDevice>(new CountingDevice(i + 1));
      handles_[i] = qelomsr_internal::addOpenDevice(devices_[i]);
    }
  }
  void TearDown() override {
    for (int h : handles_) QeloMsrClose(h);
  }

  // Checks a failed call's record against the expected class and text.
  static void expectRecord(Tally& tally, int rc, int errorClass, const std::string& text) {
    if (rc == 0) {
      tally.mismatch("call succeeded, expected \"" + text + "\"");
      return;
    }
    tally.failures++;
    tally.errorIds.push_back(rc);
    const reltest::ErrorRecord record = errorRecord(rc);
    if (record.errorClass != errorClass || record.text != text) {
      tally.mismatch("record " + std::to_string(rc) + ": class " +
                     std::to_string(record.errorClass) + " \"" + record.text + "\", expected " +
                     std::to_string(errorClass) + " \"" + text + "\"");
    }
  }

  void work(int worker, std::chrono::steady_clock::time_point deadline, Tally& tally) {
    std::mt19937 rng(static_cast<unsigned>(worker) * 7919u + 1u);
    const unsigned ownRegister = 0x1000u + static_cast<unsigned>(worker);
    unsigned lastWritten[kDevices] = {};
    bool written[kDevices] = {};
    // At least kMinRounds, so that a slow or busy host still reaches every
    // device and every kind of call; beyond that, until the deadline.
    for (long round = 0; round < kMinRounds || std::chrono::steady_clock::now() < deadline;
         ++round) {
      const int d = static_cast<int>(rng() % kDevices);
      const int h = handles_[d];
      const int tag = d + 1;
      // The last worker also opens and closes devices of its own.
      const int scenario = static_cast<int>(rng() % (worker == kWorkers - 1 ? 10 : 9));
      switch (scenario) {
        case 0: {
          const int p = static_cast<int>(rng() % 7) - 1;
          int value = -1;
          const int rc = QeloMsrGetDeviceParameter(h, p, &value);
          if (p < 0) {
            expectRecord(tally, rc, QELOMSR_ERROR_CLASS_OUT_OF_RANGE,
                         "Fake parameter out of range.");
            tally.failedInside[d]++;
          } else if (rc != 0 || value != p * 100 + tag) {
            tally.mismatch("parameter " + std::to_string(p) + " of device " + std::to_string(tag) +
                           " gave rc " + std::to_string(rc) + " value " + std::to_string(value));
          } else {
            tally.succeeded[d]++;
          }
          break;
        }
        case 1: {
          const int id = static_cast<int>(rng() % 5) - 1;
          char name[64];
          const int rc = QeloMsrGetPeripheralName(h, id, name, static_cast<int>(sizeof name));
          if (id < 0) {
            expectRecord(tally, rc, QELOMSR_ERROR_CLASS_INVALID_ARGUMENT, "Fake peripheral id.");
            tally.failedInside[d]++;
          } else if (rc != 0 ||
                     std::string(name) != "P-" + std::to_string(tag) + "-" + std::to_string(id)) {
            tally.mismatch("name of device " + std::to_string(tag) + ": " + name);
          } else {
            tally.succeeded[d]++;
          }
          break;
        }
        case 2: {
          // Each worker owns one register per device: what it reads back is
          // what it wrote last, whatever the other workers do meanwhile.
          unsigned value = 0;
          if (written[d] &&
              (__QeloMsrReadRegister(h, ownRegister, &value) != 0 || value != lastWritten[d])) {
            tally.mismatch("register read back " + std::to_string(value));
          } else if (written[d]) {
            tally.succeeded[d]++;
          }
          lastWritten[d] = static_cast<unsigned>(rng());
          if (__QeloMsrWriteRegister(h, ownRegister, lastWritten[d]) != 0) {
            tally.mismatch("register write failed");
          } else {
            tally.succeeded[d]++;
            written[d] = true;
          }
          break;
        }
        case 3: {
          float values[QELOMSR_KA_VALUE_SLOTS] = {};
          int ports[QELOMSR_KA_PORT_SLOTS] = {};
          int transferred = -1;
          const int rc = QeloMsrReadNonBlocking(h, values, ports, &transferred);
          if (rc != 0 || transferred != 1 || values[0] != static_cast<float>(tag)) {
            tally.mismatch("frame read from device " + std::to_string(tag));
          } else {
            tally.succeeded[d]++;
          }
          break;
        }
        case 4: {
          float t = 0;
          expectRecord(tally, QeloMsrGetTemperature(h, &t), QELOMSR_ERROR_CLASS_RUNTIME,
                       "Fake transport failure.");
          tally.failedInside[d]++;
          break;
        }
        case 5: {
          const bool refuse = rng() % 2 == 0;
          const int rc = QeloMsrSetLed(h, refuse ? -1 : QELOMSR_ID_LED, 1);
          if (refuse) {
            expectRecord(tally, rc, QELOMSR_ERROR_CLASS_LOGIC, "Fake LED refused.");
            tally.failedInside[d]++;
          } else if (rc != 0) {
            tally.mismatch("LED failed");
          } else {
            tally.succeeded[d]++;
          }
          break;
        }
        case 6:
          // The pointer is checked before the handle and before the device.
          expectRecord(tally, QeloMsrGetDeviceParameter(h, 0, nullptr),
                       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT,
                       "Invalid pointer for parameter <value>.");
          break;
        case 7: {
          const int bad = kNeverIssued[rng() % 4];
          expectRecord(tally, QeloMsrResetDevice(bad), QELOMSR_ERROR_CLASS_RUNTIME,
                       "Invalid handle.");
          if (QeloMsrClose(bad) != 0) tally.mismatch("close of a never issued handle");
          break;
        }
        case 8: {
          const int bad = kNeverIssued[rng() % 4];
          expectRecord(tally, QeloMsrGetDeviceParameter(bad, 0, nullptr),
                       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT,
                       "Invalid pointer for parameter <value>.");
          int value = 0;
          expectRecord(tally, QeloMsrGetDeviceParameter(bad, 0, &value),
                       QELOMSR_ERROR_CLASS_RUNTIME, "Invalid handle.");
          break;
        }
        case 9: {
          auto own = boost::shared_ptr<CountingDevice>(new CountingDevice(1000));
          const int handle = qelomsr_internal::addOpenDevice(own);
          if (handle <= std::max(handles_[0], std::max(handles_[1], handles_[2])) ||
              handle <= lastChurned_) {
            tally.mismatch("handle " + std::to_string(handle) + " reused or out of order");
          }
          lastChurned_ = handle;
          if (QeloMsrResetDevice(handle) != 0) tally.mismatch("reset of an own device failed");
          QeloMsrClose(handle);
          QeloMsrClose(handle);
          expectRecord(tally, QeloMsrResetDevice(handle), QELOMSR_ERROR_CLASS_RUNTIME,
                       "Invalid handle.");
          if (own->closes() != 1 || own->succeeded() != 1) tally.mismatch("own device miscounted");
          tally.churned++;
          break;
        }
      }
    }
  }

  boost::shared_ptr<CountingDevice> devices_[kDevices];
  int handles_[kDevices] = {};
  int lastChurned_ = 0;  // only the churning worker touches it
};

TEST_F(StressFake, CallsAreSerialisedCountedAndRecorded) {
  const auto duration = std::chrono::milliseconds(reltest::envLong("QELOMSR_STRESS_MS", 2000));
  const auto deadline = std::chrono::steady_clock::now() + duration;
  reltest::overlaps() = 0;

  std::vector<Tally> tallies(kWorkers);
  long readerChecks = 0;
  std::string readerMismatch;

  std::vector<std::function<void()>> bodies;
  for (int w = 0; w < kWorkers; ++w) {
    bodies.push_back([this, w, deadline, &tallies] { work(w, deadline, tallies[w]); });
  }
  // The reader walks the records near the newest ones while the workers add
  // more; every record it finds has a class the workers produce and a text.
  bodies.push_back([&] {
    const reltest::ErrorRecord none = errorRecord(0);
    if (none.errorClass != QELOMSR_ERROR_CLASS_NO_RECORD || none.text != "Unknown error id.") {
      readerMismatch = "id 0: class " + std::to_string(none.errorClass) + " " + none.text;
    }
    for (int id = 1; readerChecks < kMinRounds || std::chrono::steady_clock::now() < deadline;
         ++id, ++readerChecks) {
      const reltest::ErrorRecord r = errorRecord(id);
      if (r.errorClass == QELOMSR_ERROR_CLASS_NO_RECORD) {
        id = std::max(0, id - 64);  // not written yet (or evicted): step back and retry
        continue;
      }
      if (r.errorClass < 1 || r.errorClass > 4 || r.text.empty()) {
        readerMismatch = "record " + std::to_string(id) + ": class " +
                         std::to_string(r.errorClass) + " \"" + r.text + "\"";
        break;
      }
    }
  });
  reltest::runBounded(std::move(bodies), std::chrono::seconds(60));

  EXPECT_EQ(reltest::overlaps().load(), 0) << "two device operations ran at the same time";
  EXPECT_EQ(readerMismatch, "");
  EXPECT_GT(readerChecks, 0);

  std::vector<int> ids;
  long failures = 0;
  long churned = 0;
  for (int w = 0; w < kWorkers; ++w) {
    for (const std::string& m : tallies[w].mismatches) ADD_FAILURE() << "worker " << w << ": " << m;
    ids.insert(ids.end(), tallies[w].errorIds.begin(), tallies[w].errorIds.end());
    failures += tallies[w].failures;
    churned += tallies[w].churned;
  }
  for (int d = 0; d < kDevices; ++d) {
    long succeeded = 0;
    long failedInside = 0;
    for (const Tally& t : tallies) {
      succeeded += t.succeeded[d];
      failedInside += t.failedInside[d];
    }
    EXPECT_EQ(devices_[d]->succeeded(), succeeded) << "device " << d + 1;
    EXPECT_EQ(devices_[d]->failed(), failedInside) << "device " << d + 1;
    EXPECT_GT(succeeded, 0) << "device " << d + 1 << " was never reached";
  }
  EXPECT_GT(churned, 0);

  // Every failure got its own id, and no id was skipped: the ids of this
  // process's failures are one consecutive run.
  ASSERT_EQ(static_cast<long>(ids.size()), failures);
  ASSERT_FALSE(ids.empty());
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "an error id was reused";
  EXPECT_EQ(static_cast<long>(ids.back()) - ids.front() + 1, static_cast<long>(ids.size()))
      << "error ids are not consecutive";
  std::printf("stress: %ld failures recorded, %ld devices churned, %ld record reads\n", failures,
              churned, readerChecks);
}

}  // namespace
