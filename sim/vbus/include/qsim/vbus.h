// Virtual USB bus: emulated devices behind the real libusb Linux back end.
//
// The bus builds a umockdev testbed (mocked sysfs and /dev/bus/usb nodes) and
// answers the usbdevfs ioctls that libusb issues on those nodes by driving a
// qsim::UsbFunction per device. A process that runs under
// LD_PRELOAD=libumockdev-preload.so.0 with the testbed's UMOCKDEV_DIR (this
// process, or a child started by qelomsr-vbus) then sees the devices as if
// they were plugged in.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qsim/usb_function.h"

namespace qsim {

// One device or hub as the bus currently knows it.
struct VbusEntry {
  std::string port;      // port path: "1-3", "1-2.4"; a root hub is "usb1"
  std::string uniqueId;  // the id libusb's topology yields: "USB:1-0-2-4"
  std::string sysPath;   // "/sys/devices/usb1/1-2/1-2.4"
  std::string devNode;   // "/dev/bus/usb/001/005" (empty while unplugged)
  bool hub = false;
  bool present = false;  // false between unplug and replug
  uint16_t vendorId = 0;
  uint16_t productId = 0;
};

// Counters of the traffic a device saw since it was added (all plugs).
struct VbusStats {
  uint64_t bulkOut = 0;    // completed OUT URBs
  uint64_t bulkIn = 0;     // completed IN URBs with data
  uint64_t pendingIn = 0;  // IN URBs that had to wait
  uint64_t discarded = 0;  // URBs cancelled by the host (timeouts)
  uint64_t control = 0;    // control URBs
};

class VirtualBus {
 public:
  // Creates the testbed and exports UMOCKDEV_DIR into this process's
  // environment. Must run before this process's first libusb_init, under the
  // umockdev preload (see reexecUnderPreload), and only one bus may exist per
  // process; otherwise it throws std::logic_error.
  VirtualBus();
  ~VirtualBus();
  VirtualBus(const VirtualBus&) = delete;
  VirtualBus& operator=(const VirtualBus&) = delete;

  // Plugs a device in at a port path "B-P[.P...]" (bus 1..9, ports 1..15,
  // at most 7 tiers). Missing root and intermediate hubs are created. Throws
  // std::invalid_argument for a malformed path, a null function or a port
  // that is already taken, std::runtime_error when umockdev refuses.
  void addDevice(const std::string& port, std::shared_ptr<UsbFunction> function);
  // Plugs a hub in at a port path (same rules; an existing hub is no error).
  void addHub(const std::string& port);
  // Unplugs a device or hub (and everything behind a hub): "remove" uevent,
  // pending and later transfers fail with ENODEV. The port stays reserved
  // for replug. Unplugging an unplugged port is no error. A process's
  // uevents wait in a datagram queue of a few entries (net.unix.max_dgram_qlen)
  // and umockdev aborts when it is full: make many changes in a row only
  // after the host has seen the previous ones (vbustest::waitForPort).
  void unplug(const std::string& port);
  // Plugs an unplugged device (or hub with its devices) in again under a new
  // device number, so that a new enumeration finds it.
  void replug(const std::string& port);
  // Unplugs and forgets a device or hub (the port becomes free).
  void remove(const std::string& port);
  // Retries the IN transfers a device keeps waiting (for a model that gained
  // data without a new OUT transfer, e.g. after a fault was switched off).
  void kick(const std::string& port);
  // The same for every device (after the models' clock moved, for example).
  void kickAll();
  // Releases what earlier plugs of unplugged or replugged devices still hold
  // (ioctl handler, socket, FIFO) once no client uses them; every plug-in does
  // it too. Clients let go asynchronously, a while after they closed the
  // node. Returns the number of such plugs still in use.
  size_t releaseRetired();

  std::vector<VbusEntry> list() const;
  std::shared_ptr<UsbFunction> function(const std::string& port) const;
  VbusStats stats(const std::string& port) const;
  // Root directory of the testbed (UMOCKDEV_DIR).
  std::string rootDir() const;

  // "USB:1-0-2-4" for "1-2.4"; throws std::invalid_argument for a bad path.
  static std::string uniqueIdOf(const std::string& port);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Name of umockdev's preload library, for LD_PRELOAD.
extern const char* const kUmockdevPreload;

// True when this process runs with the umockdev preload in LD_PRELOAD.
bool underUmockdevPreload();

// Puts umockdev's preload into this process's LD_PRELOAD (for children it
// starts): after the sanitizer runtime of a sanitizer build, which must come
// first, and before what was there. It also relaxes AddressSanitizer's
// link-order check (ASAN_OPTIONS) and, in a ThreadSanitizer build, adds the
// suppressions for the uninstrumented umockdev, GLib and libusb (TSAN_OPTIONS).
void exportPreloadEnvironment();

// Re-executes this program (/proc/self/exe with argv) under the preload
// unless it already runs under it; returns only when it does, or throws
// std::runtime_error when the re-execution failed.
void reexecUnderPreload(char** argv);

}  // namespace qsim
