// Request/response rate of the in-process transport: register reads (64-byte
// request, 64-byte reply), register writes (128-byte request) and 4096-byte
// input-buffer reads of a running acquisition, each for about a second.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "comm-api/src/api/protocol.h"
#include "qsim/inprocess.h"
#include "qsim/model.h"

namespace {

void header(unsigned char* h, bool write, uint32_t address, uint32_t count) {
  std::memset(h, 0, 64);
  const uint32_t control = count | 0x40000000u | (write ? 0x80000000u : 0u);
  for (int i = 0; i < 4; ++i) {
    h[i] = static_cast<unsigned char>(control >> (8 * i));
    h[4 + i] = static_cast<unsigned char>(address >> (8 * i));
  }
}

template <typename F>
void measure(const char* what, F&& op) {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  long n = 0;
  double elapsed = 0;
  do {
    for (int i = 0; i < 1000; ++i) op();
    n += 1000;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < 1.0);
  std::printf("%-40s %12.0f per second (%.2f us each)\n", what, n / elapsed, 1e6 * elapsed / n);
}

}  // namespace

int main() {
  auto model = std::make_shared<qsim::DeviceModel>(qsim::defaultConfig(qsim::Family::Ka));
  qsim::InProcessRawDevice dev(model, "SIM:0");
  dev.open();
  std::vector<unsigned char> req(64 + 4096), rsp(4096);

  measure("register read (0xF0000004)", [&] {
    header(req.data(), false, 0xF0000004, 4);
    dev.write(req.data(), 64);
    dev.read(rsp.data(), 64);
  });
  auto raw = std::make_shared<qsim::InProcessRawDevice>(model, "SIM:1");
  raw->open();
  auto protocol = commapi::createProtocolDevice(raw, 64, 64, 8192, 0);
  measure("ProtocolDevice::readRegister (library)", [&] { protocol->readRegister(0x09); });
  measure("register write (0xC8)", [&] {
    header(req.data(), true, 0xC8, 4);
    req[64] = 1;
    dev.write(req.data(), 128);
  });

  // Frame throughput: a manual clock moves 2048 frame periods per pass, then the
  // status and 4096 bytes (2048 one-channel frames) are read, as a library would.
  auto clock = std::make_shared<qsim::ManualClock>();
  auto acqModel = std::make_shared<qsim::DeviceModel>(qsim::defaultConfig(qsim::Family::Ka), clock);
  qsim::InProcessRawDevice acq(acqModel, "SIM:2");
  acq.open();
  header(req.data(), true, 0x18, 1);
  req[64] = 0;
  acq.write(req.data(), 128);
  const uint32_t setup[3][2] = {{0x50, 10000}, {0x54, 0}, {0x58, 1}};
  for (const auto& s : setup) {
    header(req.data(), true, s[0], 4);
    std::memcpy(req.data() + 64, &s[1], 4);
    acq.write(req.data(), 128);
  }
  long short_reads = 0;
  measure("2048 frames produced and read (4 KiB)", [&] {
    clock->advanceNs(2048 * 10000);
    header(req.data(), false, 0x08, 4);
    acq.write(req.data(), 64);
    acq.read(rsp.data(), 64);
    uint32_t status = 0;
    std::memcpy(&status, rsp.data(), 4);
    if (status != 4096) ++short_reads;
    header(req.data(), false, 0x00, 4096);
    acq.write(req.data(), 64);
    acq.read(rsp.data(), 4096);
  });
  std::printf("passes with an unexpected status: %ld, frames dropped: %llu\n", short_reads,
              static_cast<unsigned long long>(acqModel->framesDropped()));
  return 0;
}
