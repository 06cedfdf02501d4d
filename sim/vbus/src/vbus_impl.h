// What the virtual USB bus holds: its nodes (devices and hubs at their
// ports), each plug-in of a node with the URBs of its clients, and the bus's
// own state. Shared by the parts of the bus: vbus.cpp (the public
// operations), vbus_plug.cpp (plugging nodes in and out of the testbed),
// vbus_ioctl.cpp (the usbdevfs ioctl handler and its URBs) and vbus_ep0.cpp
// (control requests on endpoint 0).
#pragma once

#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "qsim/vbus.h"
#include "vbus_topology.h"

namespace qsim {

namespace vbusimpl {

// Owning reference to a GObject-derived umockdev object.
template <typename T>
class GRef {
 public:
  GRef() = default;
  explicit GRef(T* p) : p_(p) {}
  GRef(GRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  GRef& operator=(GRef&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  GRef(const GRef&) = delete;
  GRef& operator=(const GRef&) = delete;
  ~GRef() {
    if (p_ != nullptr) g_object_unref(p_);
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// Clients whose last reference went away. umockdev 0.17 never emits
// client-vanished, so a weak reference reports it; the notification may run
// on any thread that drops the last reference, also while the bus lock is
// held, hence this separate list that the bus drains under its own lock.
extern std::mutex g_vanishedMutex;
extern std::vector<void*> g_vanished;

void onClientFinalized(gpointer /*data*/, GObject* where);

struct Urb {
  UMockdevIoctlClient* client = nullptr;  // identity only, no reference held
  GRef<UMockdevIoctlData> urb;
  GRef<UMockdevIoctlData> buffer;  // empty for zero-length URBs
  usbdevfs_urb* header() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
  uint8_t* data() const { return buffer ? buffer->data : nullptr; }
};

struct Node;

// One plug-in of a node: its device number, dev node, ioctl handler and the
// URBs of its clients. Retired plugs stay alive (in the "gone" state) for the
// life of the bus, because a client may still hold their dev node open.
struct Plug {
  VirtualBus::Impl* bus = nullptr;
  std::shared_ptr<Node> node;
  int devnum = 0;
  std::string devNode;  // "/dev/bus/usb/001/005"
  GRef<UMockdevIoctlBase> handler;
  bool attached = false;
  bool gone = false;
  int fifo = -1;  // our end of the pollable node
  bool ready = false;
  std::unordered_map<UMockdevIoctlClient*, bool> claims;  // client -> holds interface 0
  std::deque<Urb> pending;                                // IN URBs waiting for data
  std::deque<Urb> done;                                   // completed, waiting to be reaped
  std::vector<uint8_t> scratch;                           // reused IN staging buffer
};

struct Node {
  PortPath path;
  bool hub = false;
  std::shared_ptr<UsbFunction> function;
  std::vector<uint8_t> descriptors;
  UsbStrings strings;
  std::shared_ptr<Plug> plug;  // current plug; null or gone while unplugged
  VbusStats stats;
};

extern "C" gboolean onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer user);

}  // namespace vbusimpl

struct VirtualBus::Impl {
  using GRefData = vbusimpl::GRef<UMockdevIoctlData>;
  using Urb = vbusimpl::Urb;
  using Plug = vbusimpl::Plug;
  using Node = vbusimpl::Node;

  mutable std::mutex m;  // guards everything below; never held across umockdev calls
  UMockdevTestbed* testbed = nullptr;
  std::string root;
  std::map<std::string, std::shared_ptr<Node>> nodes;  // key: port text
  std::vector<std::shared_ptr<Plug>> plugs;            // every plug ever made
  std::unordered_map<void*, Plug*> clients;            // known live clients
  std::map<int, int> nextDevnum;                       // per bus
  std::vector<GRefData> keepAlive;                     // data of the ioctl being completed

  // ---- helpers under the lock (vbus_ioctl.cpp) -------------------------------

  void drainVanished();
  void dropClient(void* c);
  void track(Plug& plug, UMockdevIoctlClient* client);
  // The node polls writable exactly while completed URBs wait, as usbfs
  // does; a full pipe is not writable, one free page makes it writable.
  static void updateReady(Plug& plug);
  static bool claimedByOther(const Plug& plug, UMockdevIoctlClient* client);
  // Claims interface 0 for a client: 0 or an errno.
  int claim(Plug& plug, UMockdevIoctlClient* client);
  void complete(Plug& plug, Urb&& u, int status, int actual);
  // Asks the model for one IN URB's data. False while the model has none.
  bool serveIn(Plug& plug, Urb& u);
  // Serves waiting IN URBs in submission order until the model runs dry.
  void servePending(Plug& plug);
  // Makes every waiting URB of a plug fail as for a vanished device.
  void failPending(Plug& plug);

  // ---- control requests (vbus_ep0.cpp) ---------------------------------------

  int handleControl(Plug& plug, Urb& u);
  // The "driver" links lsusb -t reads: the hub driver on a hub's interface,
  // and for a root hub the host controller's driver (of its parent).
  void linkHubDrivers(const PortPath& path) const;
  // Class requests of a hub (hub descriptor, hub and port status); the reply
  // goes to out, at most room bytes. Returns its length or -errno.
  int handleHubRequest(const Node& hub, uint8_t type, uint8_t request, unsigned value,
                       unsigned index, uint8_t* out, size_t room) const;

  // ---- the ioctls (vbus_ioctl.cpp) -------------------------------------------

  int submit(Plug& plug, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  int reap(Plug& plug, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  int discard(Plug& plug, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  gboolean handleIoctl(Plug& plug, UMockdevIoctlClient* client);

  // ---- plugging, called without the lock (vbus_plug.cpp) ---------------------

  void plugIn(const std::shared_ptr<Node>& node);
  size_t collectRetired();  // returns how many unplugged plugs stay in use
  void plugOut(const std::shared_ptr<Node>& node);
  std::shared_ptr<Node> ensureHub(const PortPath& path);
  std::vector<std::shared_ptr<Node>> subtree(const PortPath& path) const;
  int takeDevnum(int bus);

  static constexpr int highSpeedPacket = 512;
};

}  // namespace qsim
