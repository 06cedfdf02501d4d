// A host program of the two-program stale-reply test: one instance asks the
// device for a register and is killed before the reply comes, the next one
// enumerates and opens the same device and reports what it reads.
//
//   stale_reply_host hang IDENT ADDRESS GO
//                                         open IDENT, print "open", wait until
//                                         the file GO exists, then read
//                                         register ADDRESS (hex) and print it
//   stale_reply_host probe IDENT          enumerate until IDENT is listed and
//                                         print its firmware text, then open
//                                         it and print the version word, the
//                                         input capacity and the DP-0 levels
//
// Exit status 0 on success, 1 on a failed call (its error text on stderr).
#include <qelomsr/qelomsr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

[[noreturn]] void fail(const char* what, int rc) {
  char message[QELOMSR_TEXT_BUFFER_SIZE] = {};
  int errorClass = 0;
  __wrapper_error(rc, message, static_cast<int>(sizeof message), &errorClass);
  std::fprintf(stderr, "%s: %s\n", what, message);
  std::exit(1);
}

void check(const char* what, int rc) {
  if (rc != 0) fail(what, rc);
}

// Enumerates until `ident` is listed (a device another program just let go
// of may refuse a claim for a moment); returns its firmware text.
std::string waitListed(const char* ident) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int count = 0;
    check("enumerate", QeloMsrBeginEnumerate(&count, QELOMSR_TYPE_ALL));
    for (int i = 0; i < count; ++i) {
      char listed[QELOMSR_TEXT_BUFFER_SIZE];
      char version[QELOMSR_TEXT_BUFFER_SIZE];
      int type = 0;
      check("identifier", QeloMsrGetIdentifier(i, listed, 0, &type, version));
      if (std::strcmp(listed, ident) == 0) return version;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::fprintf(stderr, "%s is not listed\n", ident);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: stale_reply_host hang IDENT ADDRESS GO | probe IDENT\n");
    return 2;
  }
  const std::string mode = argv[1];
  const char* ident = argv[2];
  const std::string firmware = waitListed(ident);
  int handle = 0;
  if (mode == "hang" && argc > 4) {
    check("open", QeloMsrOpen(ident, &handle));
    std::printf("open\n");
    std::fflush(stdout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (access(argv[4], F_OK) != 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    unsigned value = 0;
    check("register read",
          __QeloMsrReadRegister(handle, std::strtoul(argv[3], nullptr, 16), &value));
    std::printf("value %u\n", value);
    return 0;
  }
  if (mode != "probe") return 2;
  std::printf("firmware %s\n", firmware.c_str());
  check("open", QeloMsrOpen(ident, &handle));
  unsigned version = 0;
  unsigned capacity = 0;
  int levels = 0;
  check("version read", __QeloMsrReadRegister(handle, 0xF0000004u, &version));
  check("capacity read", __QeloMsrReadRegister(handle, 0x09u, &capacity));
  check("port read", QeloMsrReadDigitalPort(handle, QELOMSR_ID_DIGITAL_PORT(0), &levels));
  std::printf("version %08x\ncapacity %u\nport %d\n", version, capacity, levels);
  QeloMsrClose(handle);
  return 0;
}
