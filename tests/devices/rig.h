// A family object opened on an in-process emulated device with a manual clock.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm-api/src/api/protocol.h"
#include "devices/qeloka1x.h"
#include "devices/qelorix1x.h"
#include "devices/qelovel1x.h"
#include "qsim/clock.h"
#include "qsim/config.h"
#include "qsim/inprocess.h"
#include "qsim/model.h"

// Short names of the identifier space for the tests.
namespace ids {
constexpr int AI(int n) { return 0x7A501100 + n; }
constexpr int DIFF(int n) { return 0x7A501200 + n; }
constexpr int AO(int n) { return 0x7A501300 + n; }
constexpr int DP(int n) { return 0x7A501000 + n; }
constexpr int RANGE(int n) { return 0x7A501400 + n; }
constexpr int kRangeNone = 0x7A5014FF;
constexpr int CNT = 0x7A501500;
constexpr int TRG = 0x7A501600;
constexpr int CUR(int n) { return 0x7A501700 + n; }
constexpr int LED = 0x7A501800;
constexpr int TCFG(int n) { return 0x7A501900 + n; }
constexpr int CCFG(int n) { return 0x7A501A00 + n; }
}  // namespace ids

namespace rig {

struct Rig {
  std::shared_ptr<qsim::ManualClock> clock;
  std::shared_ptr<qsim::DeviceModel> model;
  std::shared_ptr<qsim::InProcessRawDevice> raw;
  std::unique_ptr<QeloFamily> dev;

  void advanceMs(double ms) { clock->advanceNs(static_cast<int64_t>(ms * 1e6)); }
};

inline std::unique_ptr<QeloFamily> makeFamily(qsim::Family family,
                                              std::shared_ptr<commapi::ProtocolDevice> pd,
                                              const std::string& id) {
  switch (family) {
    case qsim::Family::Ka:
      return std::unique_ptr<QeloFamily>(new QeloKa1x(std::move(pd), id));
    case qsim::Family::Vel:
      return std::unique_ptr<QeloFamily>(new QeloVel1x(std::move(pd), id));
    default:
      return std::unique_ptr<QeloFamily>(new QeloRix1x(std::move(pd), id));
  }
}

// Builds the emulator from the family's default config (adjusted by tweak)
// and opens the family object on it.
inline Rig make(qsim::Family family,
                const std::function<void(qsim::DeviceConfig&)>& tweak = nullptr, bool open = true) {
  Rig r;
  r.clock = std::make_shared<qsim::ManualClock>(1000000000);
  qsim::DeviceConfig config = qsim::defaultConfig(family);
  if (tweak) tweak(config);
  r.model = std::make_shared<qsim::DeviceModel>(config, r.clock);
  r.raw = std::make_shared<qsim::InProcessRawDevice>(r.model, "USB:1-0-3");
  auto pd = commapi::createProtocolDevice(r.raw, 64, 64, 8192, 0);
  r.dev = makeFamily(family, pd, "USB:1-0-3");
  if (open) r.dev->open();
  return r;
}

inline const char* name(qsim::Family f) { return qsim::familyName(f); }

// Values the library never writes, to tell untouched slots from written ones.
constexpr float kSentinel = -777.0f;
constexpr int kIntSentinel = -777;

// Caller arrays for `frames` frame records of the device's family, filled
// with the sentinels.
struct Records {
  Records(const QeloFamily& dev, int frames)
      : v(static_cast<size_t>(frames * dev.getTable().valueSlots), kSentinel),
        p(static_cast<size_t>(frames * dev.getTable().portSlots), kIntSentinel) {}
  std::vector<float> v;
  std::vector<int> p;
};

}  // namespace rig

// Expects the statement to throw exactly the exception class E with text msg.
#define EXPECT_THROW_MSG(stmt, E, msg)                                             \
  do {                                                                             \
    try {                                                                          \
      stmt;                                                                        \
      ADD_FAILURE() << "no exception from " #stmt;                                 \
    } catch (const E& e) {                                                         \
      EXPECT_EQ(typeid(e), typeid(E)) << #stmt;                                    \
      EXPECT_STREQ(e.what(), msg) << #stmt;                                        \
    } catch (const std::exception& e) {                                            \
      ADD_FAILURE() << #stmt << " threw " << typeid(e).name() << ": " << e.what(); \
    }                                                                              \
  } while (0)
