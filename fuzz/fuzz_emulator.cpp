// Fuzz target: the emulator's own input handling.
//
// Even first byte: request decoding. A device model of family (byte / 2) % 3
// on a manual clock receives a stream of bulk OUT messages (each a 2-byte
// little-endian length and its bytes), with fuzzer-chosen clock steps and IN
// transfers of fuzzer-chosen sizes in between. The model must never touch
// memory out of bounds, never return more bytes than an IN transfer has room
// for, and report only its documented result codes.
//
// Odd first byte: the JSON configuration. The rest of the input is parsed as
// JSON and turned into a device configuration; a configuration that is
// accepted must survive the round trip to JSON and back unchanged and must
// build a device model.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "qsim/clock.h"
#include "qsim/config.h"
#include "qsim/model.h"

namespace {

constexpr size_t kMaxMessage = 64 + 8192 + 64;
constexpr int kMaxInPerMessage = 8;

void checkIn(int rc, size_t room) {
  if (rc == qsim::kInPending || rc == qsim::kInGone || rc == qsim::kInStall) return;
  if (rc < 0) qfuzz::fail("bulkIn returned an unknown code");
  if (static_cast<size_t>(rc) > room) qfuzz::fail("bulkIn wrote more bytes than it had room for");
}

void requests(FuzzedDataProvider& in, qsim::Family family) {
  auto clock = std::make_shared<qsim::ManualClock>();
  qsim::DeviceModel model(qsim::defaultConfig(family), clock);
  std::vector<uint8_t> reply(kMaxMessage);
  while (in.remaining_bytes() > 0) {
    const std::vector<uint8_t> sizeBytes = in.ConsumeBytes<uint8_t>(2);
    if (sizeBytes.size() < 2) break;
    const size_t len = (sizeBytes[0] | (sizeBytes[1] << 8)) % (kMaxMessage + 1);
    // An exactly sized copy, so that reading past the message is caught.
    const std::vector<uint8_t> message = in.ConsumeBytes<uint8_t>(len);
    std::unique_ptr<uint8_t[]> exact(new uint8_t[message.size() + 1]);
    std::copy(message.begin(), message.end(), exact.get());
    const int rc = model.bulkOut(exact.get(), message.size());
    if (rc != qsim::kOutOk && rc != qsim::kOutGone && rc != qsim::kOutStall) {
      qfuzz::fail("bulkOut returned an unknown code");
    }
    // Control bytes from the back: clock step, faults, IN transfer sizes.
    const uint8_t control = in.ConsumeIntegral<uint8_t>();
    if (control & 0x01) clock->advanceNs(in.ConsumeIntegralInRange<int64_t>(0, 50000000));
    if (control & 0x02) {
      qsim::Faults faults;
      const uint8_t bits = in.ConsumeIntegral<uint8_t>();
      faults.stall = bits & 0x01;
      faults.shortIn = bits & 0x02;
      faults.garbage = bits & 0x04;
      faults.forceOverflow = bits & 0x08;
      faults.erasedCalibration = bits & 0x10;
      faults.serialUnconfigured = bits & 0x20;
      faults.firmwareMajor2 = bits & 0x40;
      if (bits & 0x80) faults.inputStatusOverride = in.ConsumeIntegral<uint32_t>();
      faults.lateReply = control & 0x08;
      faults.keepInputBuffer = control & 0x10;
      faults.staleReply = (control & 0x18) == 0x18;
      model.setFaults(faults);
    }
    if (control & 0x04) model.pulseTrigger();
    const int ins = 1 + (control >> 5) % kMaxInPerMessage;
    for (int i = 0; i < ins; ++i) {
      const size_t room = in.ConsumeIntegralInRange<size_t>(0, kMaxMessage);
      std::unique_ptr<uint8_t[]> exactReply(new uint8_t[room + 1]);
      const int got = model.bulkIn(exactReply.get(), room);
      checkIn(got, room);
      if (got <= 0) break;
    }
  }
  (void)model.malformedRequests();
  (void)model.lastProtocolError();
}

void configuration(const uint8_t* data, size_t size) {
  const nlohmann::json json = nlohmann::json::parse(data, data + size, nullptr, false);
  if (json.is_discarded()) return;
  qsim::DeviceConfig config;
  try {
    config = qsim::configFromJson(json);
  } catch (const std::invalid_argument&) {
    return;  // refused with the documented exception
  }
  const nlohmann::json again = qsim::configToJson(config);
  qsim::DeviceConfig reread;
  try {
    reread = qsim::configFromJson(again);
  } catch (const std::exception&) {
    qfuzz::fail("a configuration written by configToJson is refused by configFromJson");
  }
  if (qsim::configToJson(reread) != again)
    qfuzz::fail("configuration changed in a JSON round trip");
  try {
    qsim::DeviceModel model(config);
  } catch (const std::invalid_argument&) {
    // validateConfig may refuse what the JSON reader let through
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  try {
    if ((data[0] & 1) != 0) {
      configuration(data + 1, size - 1);
    } else {
      FuzzedDataProvider in(data + 1, size - 1);
      static const qsim::Family kFamilies[] = {qsim::Family::Ka, qsim::Family::Vel,
                                               qsim::Family::Rix};
      requests(in, kFamilies[(data[0] / 2) % 3]);
    }
  } catch (const std::exception&) {
    qfuzz::fail("the emulator threw while decoding its input");
  }
  return 0;
}
