#include "comm-api/src/api/usb.h"

#include <libusb.h>

#if defined(__unix__) || defined(__APPLE__)
#include <dlfcn.h>
#endif

#include <boost/format.hpp>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "comm-api/src/api/bulkloop.h"
#include "comm-api/src/api/logging.h"

namespace commapi {

namespace {

static_assert(kTransferTimeout == LIBUSB_ERROR_TIMEOUT, "drain loop timeout code");
static_assert(kTransferOverflow == LIBUSB_ERROR_OVERFLOW, "drain loop overflow code");

// The process's libusb context. It is shared by the library's own reference
// below, every enumeration entry and every raw device, and shut down
// (libusb_exit) when the last of them lets go: unloading the library destroys
// the open devices and the enumeration list in whatever order, and libusb's
// event thread ends only after the last device handle has been closed.
std::shared_ptr<libusb_context> _ctx;  // null until the first enumeration
std::mutex _init_m;                    // guards the initialisation of _ctx

constexpr const char* kReadFailed = "Failed to read data from device (using bulk transfer).";
constexpr const char* kWriteFailed = "Failed to write data to device (using bulk transfer).";
constexpr int kDefaultTimeoutMs = 1000;
// Time one IN transfer of a drain waits for data that may still be pending.
constexpr unsigned kDrainTimeoutMs = 5;
// Room for the largest reply the protocol asks for, and more.
constexpr int kDrainBufferSize = 16384;
// Time a drain may take while replies keep coming. A device's queue of
// replies is finite, however deep, and empties far sooner (1024 queued
// register replies take well under a second); only a device that never
// stops sending reaches this.
constexpr std::chrono::milliseconds kDrainLimit{10000};

// Passes a libusb result of 0 or more; a negative result is logged (when
// logging is on) and thrown as "<what>: <libusb error name>".
void checkError(int result, const std::string& what) {
  if (result >= 0) return;
  const char* name = libusb_error_name(result);
  if (isLogging()) _lg((boost::format("USB: Error: %s (%s)") % name % what).str());
  throw std::runtime_error(what + ": " + name);
}

// "USB:<bus>-<port of the topmost device>-...-<port of the device>"; the
// root hub reports port 0, so a device on root port 3 of bus 1 is USB:1-0-3.
std::string uniqueIdOf(libusb_device* dev) {
  unsigned char ports[16];
  int depth = 0;
  for (libusb_device* d = dev; d != nullptr && depth < 16; d = libusb_get_parent(d))
    ports[depth++] = libusb_get_port_number(d);
  std::string id = (boost::format("USB:%i-") % static_cast<int>(libusb_get_bus_number(dev))).str();
  for (int i = depth - 1; i >= 0; --i) {
    id += std::to_string(static_cast<int>(ports[i]));
    if (i > 0) id += '-';
  }
  return id;
}

// Keeps libusb mapped when the library that loaded it is unloaded. libusb
// runs a thread of its own while any context exists in the process (ours or
// another component's); unmapping its code under that thread would crash
// the host at the next hotplug event.
void pinLibusb() {
#if defined(__unix__) || defined(__APPLE__)
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&libusb_init), &info) != 0 && info.dli_fname != nullptr) {
    // A reference never released: the object stays loaded for the process.
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  }
#endif
}

// The process's context, initialised on first use.
std::shared_ptr<libusb_context> sharedContext() {
  std::lock_guard<std::mutex> lock(_init_m);
  if (!_ctx) {
    pinLibusb();
    libusb_context* ctx = nullptr;
    checkError(libusb_init(&ctx), "Libusb initialization failed");
    _ctx = std::shared_ptr<libusb_context>(ctx, [](libusb_context* c) { libusb_exit(c); });
  }
  return _ctx;
}

// One reference to a listed device that also keeps the context alive; the
// device reference is released before the context.
std::shared_ptr<void> holdDevice(const std::shared_ptr<libusb_context>& ctx, libusb_device* dev) {
  return std::shared_ptr<libusb_device>(libusb_ref_device(dev),
                                        [ctx](libusb_device* d) { libusb_unref_device(d); });
}

class LibUsbDevice : public RawDevice {
 public:
  LibUsbDevice(libusb_device* dev, std::shared_ptr<void> keep, unsigned char epOut,
               unsigned char epIn, std::string uid, int vid, int pid)
      : device(dev),
        lifetime(std::move(keep)),
        outEndpoint(epOut),
        inEndpoint(epIn),
        uniqueId(std::move(uid)),
        vendorId(vid),
        productId(pid) {}

  ~LibUsbDevice() override {
    try {
      LibUsbDevice::close();
    } catch (...) {
      // A destructor never throws; close() only fails if logging does.
    }
  }

  LibUsbDevice(const LibUsbDevice&) = delete;
  LibUsbDevice& operator=(const LibUsbDevice&) = delete;

  int getConnectionType() const override { return 0; }
  std::string getUniqueId() const override { return uniqueId; }

  void open() override {
    if (isLogging()) _lg("USB: Open device");
    close();
    checkError(libusb_open(device, &handle), "Can't open device");
    try {
      checkError(libusb_claim_interface(handle, 0),
                 "Can't claim device (run as root or adjust udev rules)");
    } catch (...) {
      // A device whose open() failed is left closed, not half open.
      close();
      throw;
    }
    // Whatever the device still holds answers requests of an earlier host.
    inputSuspect = true;
  }

  void close() override {
    if (handle == nullptr) return;
    libusb_device_handle* h = handle;
    handle = nullptr;
    libusb_release_interface(h, 0);
    libusb_close(h);
    if (isLogging()) _lg("USB: Close device");
  }

  void write(const unsigned char* data, int len) override {
    checkTransfer(data, len);
    // The protocol has no sequence numbers: a reply left over from an earlier
    // request would be read as the answer to this one.
    if (inputSuspect) drainInput();
    if (isDumpRaw()) _dr(false, data, len);
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    bulk(false, outEndpoint, const_cast<unsigned char*>(data), len);
  }

  void read(unsigned char* data, int len) override {
    checkTransfer(data, len);
    bulk(true, inEndpoint, data, len);
    if (isDumpRaw()) _dr(true, data, len);
  }

  void setTimeout(int ms) override {
    // libusb reads a timeout of 0 as "wait forever"; that is refused.
    if (ms <= 0) throw std::invalid_argument((boost::format("Invalid timeout: %i ms.") % ms).str());
    if (isLogging()) _lg((boost::format("DEV: Set timeout=%ims") % ms).str());
    timeout = ms;
  }

  int getTimeout() const override { return timeout; }

  int getIntProperty(int id) const override {
    if (id == 0) return vendorId;
    if (id == 1) return productId;
    return 0;
  }

  void bulk(bool in, unsigned char endpoint, unsigned char* data, int len) {
    if (isTrace())
      _tr((boost::format("USB: bulk %s, ep: 0x%02x, n=%i") % (in ? "in " : "out") %
           static_cast<int>(endpoint) % len)
              .str());
    const char* what = in ? kReadFailed : kWriteFailed;
    const unsigned char address =
        in ? static_cast<unsigned char>(endpoint | LIBUSB_ENDPOINT_IN) : endpoint;
    try {
      transferExactly(
          data, len,
          [&](unsigned char* p, int n, int* moved) {
            return libusb_bulk_transfer(handle, address, p, n, moved,
                                        static_cast<unsigned>(timeout));
          },
          [&](int result) { checkError(result, what); },
          [&]() { checkError(LIBUSB_ERROR_TIMEOUT, what); });
    } catch (...) {
      // A failed or timed-out transfer may still be answered later.
      inputSuspect = true;
      throw;
    }
  }

 private:
  // Reads and drops what the IN endpoint holds until nothing is pending: the
  // replies to requests whose answers were never read (a request of another
  // program that ended before its reply, a transfer that timed out). It runs
  // before a request is sent, so its failures are that write's and carry the
  // write text.
  void drainInput() {
    if (drainBuffer.empty()) drainBuffer.resize(kDrainBufferSize);
    const unsigned char address = static_cast<unsigned char>(inEndpoint | LIBUSB_ENDPOINT_IN);
    const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
    const long long dropped = drainPending(
        drainBuffer.data(), kDrainBufferSize,
        [&](unsigned char* p, int n, int* moved) {
          return libusb_bulk_transfer(handle, address, p, n, moved, kDrainTimeoutMs);
        },
        [&](int result) { checkError(result, kWriteFailed); },
        [&] { return std::chrono::steady_clock::now() >= deadline; },
        [&]() {
          throw std::runtime_error(std::string(kWriteFailed) +
                                   ": the device does not stop sending unrequested data");
        });
    inputSuspect = false;
    if (isTrace())
      _tr((boost::format("USB: drain in , ep: 0x%02x, dropped=%i") % static_cast<int>(inEndpoint) %
           dropped)
              .str());
  }

  void checkTransfer(const unsigned char* data, int len) const {
    if (len < 0)
      throw std::invalid_argument((boost::format("Invalid transfer size: %i.") % len).str());
    if (data == nullptr && len > 0) throw std::invalid_argument("Invalid data pointer.");
    if (handle == nullptr) throw std::logic_error("USB device is not open.");
  }

  libusb_device* device;
  std::shared_ptr<void> lifetime;  // keeps `device` and the libusb context alive
  libusb_device_handle* handle = nullptr;
  unsigned char outEndpoint;
  unsigned char inEndpoint;
  std::string uniqueId;
  int vendorId;
  int productId;
  int timeout = kDefaultTimeoutMs;
  bool inputSuspect = false;               // drain the IN endpoint before the next request
  std::vector<unsigned char> drainBuffer;  // allocated at the first drain
};

}  // namespace

libusb_context* usbContext() { return sharedContext().get(); }

std::vector<LibUsbEnumeratedDevice> enumerateUsbDevices() {
  if (isLogging()) _lg("USB: Enumerate");
  const std::shared_ptr<libusb_context> ctx = sharedContext();
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx.get(), &list);
  checkError(static_cast<int>(n), "Enumeration failed");

  std::vector<LibUsbEnumeratedDevice> result;
  try {
    for (ssize_t i = 0; i < n; ++i) {
      libusb_device* dev = list[i];
      libusb_device_descriptor desc{};
      checkError(libusb_get_device_descriptor(dev, &desc), "Device information gathering failed");
      LibUsbEnumeratedDevice entry;
      entry.vendorId = desc.idVendor;
      entry.productId = desc.idProduct;
      entry.uniqueId = uniqueIdOf(dev);
      entry.device = dev;
      entry.lifetime = holdDevice(ctx, dev);
      try {
        LibUsbDevice probe(dev, entry.lifetime, 0, 0, entry.uniqueId, entry.vendorId,
                           entry.productId);
        probe.open();
        probe.close();
      } catch (const std::exception&) {
        continue;  // not openable or interface 0 held elsewhere: left out
      }
      result.push_back(std::move(entry));
    }
  } catch (...) {
    libusb_free_device_list(list, 1);
    throw;
  }
  // The entries hold references of their own.
  libusb_free_device_list(list, 1);
  if (isLogging()) _lg((boost::format("USB: %i devices found") % result.size()).str());
  return result;
}

std::shared_ptr<RawDevice> createUsbDeviceByEnumerator(const LibUsbEnumeratedDevice& entry,
                                                       unsigned char epO, unsigned char epI) {
  if (entry.device == nullptr) throw std::invalid_argument("Invalid USB device entry.");
  if (isLogging())
    _lg((boost::format("USB: prepare device, uid: %s, epO: 0x%02x, epI: 0x%02x") % entry.uniqueId %
         static_cast<int>(epO) % static_cast<int>(epI))
            .str());
  return std::make_shared<LibUsbDevice>(entry.device, entry.lifetime, epO, epI, entry.uniqueId,
                                        entry.vendorId, entry.productId);
}

std::shared_ptr<RawDevice> createUsbDeviceByIndex(unsigned long index, unsigned short vendorId,
                                                  unsigned short productId, unsigned char epO,
                                                  unsigned char epI) {
  unsigned long matches = 0;
  for (const LibUsbEnumeratedDevice& entry : enumerateUsbDevices()) {
    if (entry.vendorId != vendorId || entry.productId != productId) continue;
    if (matches++ == index) return createUsbDeviceByEnumerator(entry, epO, epI);
  }
  if (isLogging()) _lg("USB: Requested device not in enumeration");
  return nullptr;
}

}  // namespace commapi
