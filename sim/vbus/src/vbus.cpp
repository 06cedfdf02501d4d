// The virtual USB bus: umockdev testbed, sysfs topology, descriptors and the
// usbdevfs ioctl handler that connects libusb's URBs to the device models.
#include "qsim/vbus.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "vbus_topology.h"

namespace qsim {

namespace {

// No bulk continuation: libusb then submits every bulk transfer as one URB,
// so that one host transfer is one bulkOut/bulkIn call of the model.
constexpr uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr int kMaxUrbBytes = 16 * 1024 * 1024;  // the kernel's default usbfs memory limit
constexpr unsigned kHubDescriptorType = 0x29;   // class descriptor of a hub
constexpr int kSpeedHigh = 3;                   // enum usb_device_speed: USB_SPEED_HIGH

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
std::mutex g_vanishedMutex;
std::vector<void*> g_vanished;

void onClientFinalized(gpointer /*data*/, GObject* where) {
  std::lock_guard<std::mutex> lock(g_vanishedMutex);
  g_vanished.push_back(where);
}

bool g_busExists = false;

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

}  // namespace

struct VirtualBus::Impl {
  mutable std::mutex m;  // guards everything below; never held across umockdev calls
  UMockdevTestbed* testbed = nullptr;
  std::string root;
  std::map<std::string, std::shared_ptr<Node>> nodes;  // key: port text
  std::vector<std::shared_ptr<Plug>> plugs;            // every plug ever made
  std::unordered_map<void*, Plug*> clients;            // known live clients
  std::map<int, int> nextDevnum;                       // per bus
  std::vector<GRef<UMockdevIoctlData>> keepAlive;      // data of the ioctl being completed

  // ---- helpers under the lock ----------------------------------------------

  void drainVanished() {
    std::vector<void*> gone;
    {
      std::lock_guard<std::mutex> lock(g_vanishedMutex);
      gone.swap(g_vanished);
    }
    for (void* c : gone) dropClient(c);
  }

  void dropClient(void* c) {
    auto it = clients.find(c);
    if (it == clients.end()) return;
    Plug& plug = *it->second;
    auto* client = static_cast<UMockdevIoctlClient*>(c);
    plug.claims.erase(client);
    auto mine = [client](const Urb& u) { return u.client == client; };
    plug.pending.erase(std::remove_if(plug.pending.begin(), plug.pending.end(), mine),
                       plug.pending.end());
    plug.done.erase(std::remove_if(plug.done.begin(), plug.done.end(), mine), plug.done.end());
    updateReady(plug);
    clients.erase(it);
  }

  void track(Plug& plug, UMockdevIoctlClient* client) {
    if (clients.emplace(client, &plug).second) {
      g_object_weak_ref(G_OBJECT(client), onClientFinalized, nullptr);
    }
  }

  // The node polls writable exactly while completed URBs wait, as usbfs
  // does; a full pipe is not writable, one free page makes it writable.
  static void updateReady(Plug& plug) {
    const bool want = !plug.done.empty();
    if (want == plug.ready || plug.fifo < 0) return;
    static char page[4096];
    if (want) {
      while (read(plug.fifo, page, sizeof page) < 0 && errno == EINTR) {
      }
    } else {
      while (write(plug.fifo, page, sizeof page) > 0 || errno == EINTR) {
      }
    }
    plug.ready = want;
  }

  static bool claimedByOther(const Plug& plug, UMockdevIoctlClient* client) {
    for (const auto& [c, held] : plug.claims) {
      if (held && c != client) return true;
    }
    return false;
  }

  // Claims interface 0 for a client: 0 or an errno.
  int claim(Plug& plug, UMockdevIoctlClient* client) {
    const Node& node = *plug.node;
    if (node.hub) return EBUSY;  // the hub driver holds a hub's interface
    if (plug.claims[client]) return 0;
    if (claimedByOther(plug, client)) {
      // A holder whose connection closed but whose finalisation is still on
      // its way is no holder any more.
      for (auto it = plug.claims.begin(); it != plug.claims.end();) {
        if (it->first != client && !umockdev_ioctl_client_get_connected(it->first)) {
          it = plug.claims.erase(it);
        } else {
          ++it;
        }
      }
      if (claimedByOther(plug, client)) return EBUSY;
    }
    if (node.function->interfaceHeld()) return EBUSY;
    plug.claims[client] = true;
    return 0;
  }

  void complete(Plug& plug, Urb&& u, int status, int actual) {
    usbdevfs_urb* h = u.header();
    h->status = status;
    h->actual_length = actual;
    plug.done.push_back(std::move(u));
    updateReady(plug);
  }

  // Asks the model for one IN URB's data. False while the model has none.
  bool serveIn(Plug& plug, Urb& u) {
    Node& node = *plug.node;
    usbdevfs_urb* h = u.header();
    const int len = h->buffer_length;
    const int mps = highSpeedPacket;
    // Room for whole packets: a reply that does not fit the buffer is the
    // babble that the host controller reports as an overflow.
    const size_t room = static_cast<size_t>((std::max(len, 1) + mps - 1) / mps * mps);
    if (plug.scratch.size() < room) plug.scratch.resize(room);
    const int n = node.function->bulkIn(plug.scratch.data(), room);
    if (n == kInPending) return false;
    if (n == kInStall) {
      h->status = -EPIPE;
      h->actual_length = 0;
    } else if (n == kInGone || n < 0) {
      h->status = -ENODEV;
      h->actual_length = 0;
    } else if (n > len) {
      std::memcpy(u.data(), plug.scratch.data(), static_cast<size_t>(len));
      h->status = -EOVERFLOW;
      h->actual_length = len;
    } else {
      if (n > 0) std::memcpy(u.data(), plug.scratch.data(), static_cast<size_t>(n));
      h->status = (n < len && (h->flags & USBDEVFS_URB_SHORT_NOT_OK) != 0) ? -EREMOTEIO : 0;
      h->actual_length = n;
    }
    ++node.stats.bulkIn;
    return true;
  }

  // Serves waiting IN URBs in submission order until the model runs dry.
  void servePending(Plug& plug) {
    while (!plug.pending.empty() && !plug.gone) {
      if (!serveIn(plug, plug.pending.front())) break;
      Urb u = std::move(plug.pending.front());
      plug.pending.pop_front();
      plug.done.push_back(std::move(u));
    }
    updateReady(plug);
  }

  // Makes every waiting URB of a plug fail as for a vanished device.
  void failPending(Plug& plug) {
    while (!plug.pending.empty()) {
      Urb u = std::move(plug.pending.front());
      plug.pending.pop_front();
      complete(plug, std::move(u), -ENODEV, 0);
    }
    updateReady(plug);
  }

  int handleControl(Plug& plug, Urb& u);
  // The "driver" links lsusb -t reads: the hub driver on a hub's interface,
  // and for a root hub the host controller's driver (of its parent).
  void linkHubDrivers(const PortPath& path) const;
  // Class requests of a hub (hub descriptor, hub and port status); the reply
  // goes to out, at most room bytes. Returns its length or -errno.
  int handleHubRequest(const Node& hub, uint8_t type, uint8_t request, unsigned value,
                       unsigned index, uint8_t* out, size_t room) const;
  int submit(Plug& plug, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  int reap(Plug& plug, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  int discard(Plug& plug, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  gboolean handleIoctl(Plug& plug, UMockdevIoctlClient* client);

  // ---- plugging (called without the lock) ----------------------------------

  void plugIn(const std::shared_ptr<Node>& node);
  size_t collectRetired();  // returns how many unplugged plugs stay in use
  void plugOut(const std::shared_ptr<Node>& node);
  std::shared_ptr<Node> ensureHub(const PortPath& path);
  std::vector<std::shared_ptr<Node>> subtree(const PortPath& path) const;
  int takeDevnum(int bus);

  static constexpr int highSpeedPacket = 512;
};

namespace {

extern "C" gboolean onIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                            gpointer user) {
  auto* plug = static_cast<Plug*>(user);
  return plug->bus->handleIoctl(*plug, client);
}

// Pointer-sized argument value of an ioctl (DISCARDURB passes the URB address).
unsigned long argValue(UMockdevIoctlData* arg) {
  unsigned long v = 0;
  if (arg->data != nullptr && arg->data_len >= static_cast<int>(sizeof v)) {
    std::memcpy(&v, arg->data, sizeof v);
  }
  return v;
}

GRef<UMockdevIoctlData> resolve(UMockdevIoctlData* data, size_t offset, size_t len) {
  GError* err = nullptr;
  GRef<UMockdevIoctlData> r(umockdev_ioctl_data_resolve(data, offset, len, &err));
  if (err != nullptr) g_error_free(err);
  return r;
}

}  // namespace

int VirtualBus::Impl::handleControl(Plug& plug, Urb& u) {
  usbdevfs_urb* h = u.header();
  if (h->buffer_length < 8) return -EINVAL;
  const uint8_t* s = u.data();
  const uint8_t type = s[0];
  const uint8_t request = s[1];
  const unsigned value = s[2] | (s[3] << 8);
  const unsigned index = s[4] | (s[5] << 8);
  const size_t wLength = s[6] | (s[7] << 8);
  uint8_t* out = u.data() + 8;
  const size_t room = std::min(wLength, static_cast<size_t>(h->buffer_length - 8));
  const Node& node = *plug.node;
  ++plug.node->stats.control;

  auto reply = [&](const uint8_t* data, size_t n) {
    n = std::min(n, room);
    std::memcpy(out, data, n);
    return static_cast<int>(n);
  };
  if (type == (USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_DEVICE)) {
    if (request == USB_REQ_GET_DESCRIPTOR) {
      const unsigned dtype = value >> 8;
      const unsigned dindex = value & 0xFF;
      if (dtype == USB_DT_DEVICE) return reply(node.descriptors.data(), USB_DT_DEVICE_SIZE);
      if (dtype == USB_DT_CONFIG && dindex == 0) {
        return reply(node.descriptors.data() + USB_DT_DEVICE_SIZE,
                     node.descriptors.size() - USB_DT_DEVICE_SIZE);
      }
      if (dtype == USB_DT_STRING) {
        uint8_t buf[256];
        const size_t n = stringDescriptor(node.strings, dindex, buf, sizeof buf);
        if (n > 0) return reply(buf, n);
      }
      return -EPIPE;
    }
    if (request == USB_REQ_GET_STATUS) {
      const uint8_t status[2] = {0, 0};
      return reply(status, sizeof status);
    }
    if (request == USB_REQ_GET_CONFIGURATION) {
      const uint8_t config = 1;
      return reply(&config, 1);
    }
    return -EPIPE;
  }
  if ((type & USB_DIR_IN) == 0 && (type & USB_TYPE_MASK) == USB_TYPE_STANDARD &&
      (request == USB_REQ_SET_CONFIGURATION || request == USB_REQ_SET_INTERFACE ||
       request == USB_REQ_CLEAR_FEATURE || request == USB_REQ_SET_FEATURE)) {
    return 0;
  }
  if (node.hub && (type & USB_TYPE_MASK) == USB_TYPE_CLASS) {
    return handleHubRequest(node, type, request, value, index, out, room);
  }
  return -EPIPE;  // vendor and class requests: these devices have none
}

void VirtualBus::Impl::linkHubDrivers(const PortPath& path) const {
  // A link that cannot be made only leaves lsusb -t without a driver name.
  const std::string interface = root + "/sys" + interfaceSysPathOf(path) + "/driver";
  bool linked = symlink("../../../../bus/usb/drivers/hub", interface.c_str()) == 0;
  if (path.isRoot()) {
    const std::string controller = root + "/sys" + sysPathOf(path) + "/../driver";
    linked = symlink("../bus/platform/drivers/vhci_hcd", controller.c_str()) == 0 && linked;
  }
  static_cast<void>(linked);
}

int VirtualBus::Impl::handleHubRequest(const Node& hub, uint8_t type, uint8_t request,
                                       unsigned value, unsigned index, uint8_t* out,
                                       size_t room) const {
  const auto reply = [&](const uint8_t* data, size_t n) {
    n = std::min(n, room);
    std::memcpy(out, data, n);
    return static_cast<int>(n);
  };
  const uint8_t recipient = type & USB_RECIP_MASK;
  if ((type & USB_DIR_IN) == 0) {
    // Port and hub features (power, reset, enable...): nothing to do here.
    return request == USB_REQ_SET_FEATURE || request == USB_REQ_CLEAR_FEATURE ? 0 : -EPIPE;
  }
  if (request == USB_REQ_GET_DESCRIPTOR && recipient == USB_RECIP_DEVICE &&
      (value >> 8) == kHubDescriptorType) {
    const std::vector<uint8_t> d = hubClassDescriptor(kHubPorts);
    return reply(d.data(), d.size());
  }
  if (request == USB_REQ_GET_STATUS && recipient == USB_RECIP_DEVICE) {
    const uint8_t status[4] = {0, 0, 0, 0};  // local power good, no over-current
    return reply(status, sizeof status);
  }
  if (request == USB_REQ_GET_STATUS && recipient == USB_RECIP_OTHER && index >= 1 &&
      index <= static_cast<unsigned>(kHubPorts)) {
    // Port status: powered; connected, enabled and high-speed while a
    // device is plugged in there.
    uint16_t status = 0x0100;
    for (const auto& [key, node] : nodes) {
      const PortPath& p = node->path;
      if (p.bus != hub.path.bus || p.ports.size() != hub.path.ports.size() + 1 ||
          !p.within(hub.path) || p.ports.back() != static_cast<int>(index)) {
        continue;
      }
      if (node->plug && !node->plug->gone) status |= 0x0001 | 0x0002 | 0x0400;
    }
    const uint8_t bytes[4] = {static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8), 0,
                              0};
    return reply(bytes, sizeof bytes);
  }
  return -EPIPE;
}

int VirtualBus::Impl::submit(Plug& plug, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  Urb u;
  u.client = client;
  u.urb = resolve(arg, 0, sizeof(usbdevfs_urb));
  if (!u.urb) return EFAULT;
  usbdevfs_urb* h = u.header();
  if (h->buffer_length < 0) return EINVAL;
  if (h->buffer_length > kMaxUrbBytes) return ENOMEM;
  if (h->buffer_length > 0) {
    u.buffer =
        resolve(u.urb.get(), offsetof(usbdevfs_urb, buffer), static_cast<size_t>(h->buffer_length));
    if (!u.buffer) return EFAULT;
  }
  Node& node = *plug.node;
  if (plug.gone || (node.function && node.function->unplugged())) return ENODEV;

  if (h->type == USBDEVFS_URB_TYPE_CONTROL) {
    if ((h->endpoint & 0x7F) != 0) return ENOENT;
    const int r = handleControl(plug, u);
    complete(plug, std::move(u), r < 0 ? r : 0, r < 0 ? 0 : r);
    return 0;
  }
  if (h->type != USBDEVFS_URB_TYPE_BULK) return EINVAL;
  if (node.hub) return ENOENT;  // hubs here have no bulk endpoints
  if (h->endpoint != 0x02 && h->endpoint != 0x81) return ENOENT;
  // usbfs claims the interface implicitly for a transfer; fails like a claim.
  if (const int r = claim(plug, client); r != 0) return r;

  if (h->endpoint == 0x02) {
    const int r = node.function->bulkOut(u.data(), static_cast<size_t>(h->buffer_length));
    ++node.stats.bulkOut;
    const int status = r == kOutOk ? 0 : r == kOutStall ? -EPIPE : -ENODEV;
    complete(plug, std::move(u), status, status == 0 ? h->buffer_length : 0);
    servePending(plug);
    return 0;
  }
  plug.pending.push_back(std::move(u));
  const size_t before = plug.pending.size();
  servePending(plug);
  if (plug.pending.size() == before) ++node.stats.pendingIn;
  return 0;
}

int VirtualBus::Impl::reap(Plug& plug, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  auto it = std::find_if(plug.done.begin(), plug.done.end(),
                         [client](const Urb& u) { return u.client == client; });
  if (it == plug.done.end()) return plug.gone ? ENODEV : EAGAIN;
  GRef<UMockdevIoctlData> slot = resolve(arg, 0, sizeof(void*));
  if (!slot) return EFAULT;
  umockdev_ioctl_data_set_ptr(slot.get(), 0, it->urb.get());
  keepAlive.push_back(std::move(slot));
  keepAlive.push_back(std::move(it->urb));
  keepAlive.push_back(std::move(it->buffer));
  plug.done.erase(it);
  updateReady(plug);
  return 0;
}

int VirtualBus::Impl::discard(Plug& plug, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  const unsigned long address = argValue(arg);
  auto it = std::find_if(plug.pending.begin(), plug.pending.end(), [&](const Urb& u) {
    return u.client == client && u.urb->client_addr == address;
  });
  if (it == plug.pending.end()) return EINVAL;  // already completed: the host reaps it
  Urb u = std::move(*it);
  plug.pending.erase(it);
  ++plug.node->stats.discarded;
  complete(plug, std::move(u), -ENOENT, 0);
  return 0;
}

gboolean VirtualBus::Impl::handleIoctl(Plug& plug, UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  long result = 0;
  int error = 0;
  {
    std::lock_guard<std::mutex> lock(m);
    drainVanished();
    track(plug, client);
    const bool gone = plug.gone;
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        GRef<UMockdevIoctlData> d = resolve(arg, 0, sizeof(uint32_t));
        if (!d) {
          error = EFAULT;
        } else {
          const uint32_t caps = kCapabilities;
          std::memcpy(d->data, &caps, sizeof caps);
        }
        break;
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE: {
        GRef<UMockdevIoctlData> d = resolve(arg, 0, sizeof(unsigned));
        unsigned iface = 0;
        if (d) std::memcpy(&iface, d->data, sizeof iface);
        if (!d) {
          error = EFAULT;
        } else if (iface != 0) {
          error = ENOENT;
        } else if (request == USBDEVFS_RELEASEINTERFACE) {
          const bool held = plug.claims[client];
          plug.claims.erase(client);
          error = gone ? ENODEV : held ? 0 : EINVAL;
        } else {
          error = gone ? ENODEV : claim(plug, client);
        }
        break;
      }
      case USBDEVFS_SUBMITURB:
        error = submit(plug, client, arg);
        break;
      case USBDEVFS_REAPURB:  // blocking reap is never needed: answer as the non-blocking one
      case USBDEVFS_REAPURBNDELAY:
        error = reap(plug, client, arg);
        break;
      case USBDEVFS_DISCARDURB:
        error = discard(plug, client, arg);
        break;
      case USBDEVFS_CONNECTINFO: {
        GRef<UMockdevIoctlData> d = resolve(arg, 0, sizeof(usbdevfs_connectinfo));
        if (!d) {
          error = EFAULT;
        } else {
          usbdevfs_connectinfo info{};
          info.devnum = static_cast<unsigned>(plug.devnum);
          std::memcpy(d->data, &info, sizeof info);
        }
        break;
      }
      case USBDEVFS_GET_SPEED:
        if (gone) {
          error = ENODEV;
        } else {
          result = kSpeedHigh;
        }
        break;
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:  // kernel driver (dis)connect: no driver is ever bound
        error = gone ? ENODEV : ENODATA;
        break;
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP:
      case USBDEVFS_RESET:
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_SETCONFIGURATION:
        error = gone ? ENODEV : 0;
        break;
      default:
        error = ENOTTY;
        break;
    }
    // Completing under the lock keeps the resolved data alive until it has
    // been written back; completion never calls back into the bus.
    umockdev_ioctl_client_complete(client, error != 0 ? -1 : result, error);
    keepAlive.clear();
  }
  return TRUE;
}

int VirtualBus::Impl::takeDevnum(int bus) {
  std::lock_guard<std::mutex> lock(m);
  int& next = nextDevnum[bus];
  if (next < 2) next = 2;  // 1 is the root hub's
  for (int tries = 0; tries < 126; ++tries) {
    const int candidate = next;
    next = next >= 127 ? 2 : next + 1;
    bool used = false;
    for (const auto& [key, node] : nodes) {
      if (node->path.bus == bus && node->plug && !node->plug->gone &&
          node->plug->devnum == candidate) {
        used = true;
      }
    }
    if (!used) return candidate;
  }
  throw std::runtime_error("virtual USB bus: no free device number on bus " + std::to_string(bus));
}

// Releases unplugged plugs that no client uses any more: their handler, FIFO
// and socket would otherwise add up over a long test run.
size_t VirtualBus::Impl::collectRetired() {
  std::vector<std::shared_ptr<Plug>> idle;
  size_t held = 0;
  {
    std::lock_guard<std::mutex> lock(m);
    drainVanished();
    for (auto it = plugs.begin(); it != plugs.end();) {
      Plug* p = it->get();
      const bool used =
          std::any_of(clients.begin(), clients.end(), [p](const auto& c) { return c.second == p; });
      if (p->gone && !used && p->done.empty()) {
        idle.push_back(std::move(*it));
        it = plugs.erase(it);
      } else {
        if (p->gone) ++held;
        ++it;
      }
    }
  }
  for (auto& p : idle) {
    if (p->attached) umockdev_testbed_detach_ioctl(testbed, p->devNode.c_str(), nullptr);
    if (p->fifo >= 0) close(p->fifo);
    p->fifo = -1;
  }
  return held;
}

void VirtualBus::Impl::plugIn(const std::shared_ptr<Node>& node) {
  collectRetired();
  if (node->function) node->function->busReset();
  const PortPath& path = node->path;
  const int devnum = path.isRoot() ? 1 : takeDevnum(path.bus);
  auto plug = std::make_shared<Plug>();
  plug->bus = this;
  plug->node = node;
  plug->devnum = devnum;
  char devNode[64];
  std::snprintf(devNode, sizeof devNode, "/dev/bus/usb/%03d/%03d", path.bus, devnum);
  plug->devNode = devNode;

  // A device number used before: the old plug's handler must make room.
  std::shared_ptr<Plug> previous;
  {
    std::lock_guard<std::mutex> lock(m);
    for (auto& p : plugs) {
      if (p->attached && p->devNode == plug->devNode) previous = p;
    }
  }
  if (previous) {
    umockdev_testbed_detach_ioctl(testbed, previous->devNode.c_str(), nullptr);
    std::lock_guard<std::mutex> lock(m);
    previous->attached = false;
  }

  // The handler goes first, so that no client can open the node unanswered.
  plug->handler = GRef<UMockdevIoctlBase>(umockdev_ioctl_base_new());
  g_signal_connect(plug->handler.get(), "handle-ioctl", G_CALLBACK(onIoctl), plug.get());
  GError* err = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed, devNode, plug->handler.get(), &err)) {
    std::string what = err != nullptr ? err->message : "unknown error";
    if (err != nullptr) g_error_free(err);
    throw std::runtime_error("virtual USB bus: cannot attach ioctl handler to " +
                             std::string(devNode) + ": " + what);
  }
  plug->attached = true;
  {
    std::lock_guard<std::mutex> lock(m);
    plugs.push_back(plug);
  }

  // The node is a FIFO instead of umockdev's plain file (see updateReady),
  // made before the device is announced so that no client can open anything
  // else.
  const std::string file = root + devNode;
  g_mkdir_with_parents(file.substr(0, file.rfind('/')).c_str(), 0755);
  unlink(file.c_str());
  if (mkfifo(file.c_str(), 0666) == 0) {
    plug->fifo = open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (plug->fifo >= 0) {
      fcntl(plug->fifo, F_SETPIPE_SZ, 4096);
      plug->ready = true;
      updateReady(*plug);
    }
  }
  // The device, then its interface (as the kernel announces them).
  for (const std::string& record :
       {deviceRecord(path, node->hub, devnum, node->descriptors, node->strings),
        interfaceRecord(path, node->descriptors)}) {
    err = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &err)) {
      std::string what = err != nullptr ? err->message : "unknown error";
      if (err != nullptr) g_error_free(err);
      throw std::runtime_error("virtual USB bus: cannot add " + path.text + ": " + what);
    }
  }
  if (node->hub) linkHubDrivers(path);
  std::lock_guard<std::mutex> lock(m);
  node->plug = plug;
  updateReady(*plug);
}

void VirtualBus::Impl::plugOut(const std::shared_ptr<Node>& node) {
  std::shared_ptr<Plug> plug;
  {
    std::lock_guard<std::mutex> lock(m);
    plug = node->plug;
    if (!plug || plug->gone) return;
    plug->gone = true;
    failPending(*plug);
    plug->claims.clear();
  }
  // The interface goes first, as with the kernel.
  const std::string interface = "/sys" + interfaceSysPathOf(node->path);
  umockdev_testbed_uevent(testbed, interface.c_str(), "remove");
  umockdev_testbed_remove_device(testbed, interface.c_str());
  const std::string sys = "/sys" + sysPathOf(node->path);
  umockdev_testbed_uevent(testbed, sys.c_str(), "remove");
  umockdev_testbed_remove_device(testbed, sys.c_str());
}

std::vector<std::shared_ptr<Node>> VirtualBus::Impl::subtree(const PortPath& path) const {
  std::vector<std::shared_ptr<Node>> out;
  std::lock_guard<std::mutex> lock(m);
  for (const auto& [key, node] : nodes) {
    if (node->path.within(path)) out.push_back(node);
  }
  // Parents before children.
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return a->path.ports.size() < b->path.ports.size();
  });
  return out;
}

std::shared_ptr<Node> VirtualBus::Impl::ensureHub(const PortPath& path) {
  {
    std::lock_guard<std::mutex> lock(m);
    auto it = nodes.find(path.text);
    if (it != nodes.end()) {
      if (!it->second->hub) {
        throw std::invalid_argument("virtual USB bus: port " + path.text +
                                    " holds a device, not a hub");
      }
      return it->second;
    }
  }
  if (!path.isRoot()) ensureHub(path.parent());
  auto node = std::make_shared<Node>();
  node->path = path;
  node->hub = true;
  node->descriptors = hubDescriptors(path.isRoot());
  node->strings = hubStrings(path);
  {
    std::lock_guard<std::mutex> lock(m);
    nodes[path.text] = node;
  }
  plugIn(node);
  return node;
}

// ---- VirtualBus ---------------------------------------------------------------

VirtualBus::VirtualBus() : impl_(std::make_unique<Impl>()) {
  if (g_busExists) throw std::logic_error("virtual USB bus: only one bus per process");
  // The testbed resolves the sysfs paths of its uevents through libudev in
  // this process; without the preload they would name the real /sys, and no
  // client would see a hotplug event.
  if (!underUmockdevPreload()) {
    throw std::logic_error(
        "virtual USB bus: the process must run under the umockdev preload "
        "(call qsim::reexecUnderPreload(argv) first)");
  }
  // umockdev's preload sleeps after each emulated ioctl; the default 50 us
  // timer slack would multiply that cost. Threads created later inherit it.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  impl_->testbed = umockdev_testbed_new();
  if (impl_->testbed == nullptr) throw std::runtime_error("virtual USB bus: no umockdev testbed");
  gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
  impl_->root = root;
  g_free(root);
  g_busExists = true;
}

VirtualBus::~VirtualBus() {
  std::vector<std::shared_ptr<Plug>> plugs;
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    plugs = impl_->plugs;
  }
  for (auto& p : plugs) {
    if (p->attached) umockdev_testbed_detach_ioctl(impl_->testbed, p->devNode.c_str(), nullptr);
  }
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->drainVanished();
    for (auto& [client, plug] : impl_->clients) {
      g_object_weak_unref(G_OBJECT(client), onClientFinalized, nullptr);
    }
    impl_->clients.clear();
    for (auto& p : impl_->plugs) {
      p->pending.clear();
      p->done.clear();
      if (p->fifo >= 0) close(p->fifo);
      p->fifo = -1;
    }
  }
  g_object_unref(impl_->testbed);
  g_busExists = false;
}

void VirtualBus::addDevice(const std::string& port, std::shared_ptr<UsbFunction> function) {
  const PortPath path = PortPath::parse(port);
  if (path.isRoot()) throw std::invalid_argument("virtual USB bus: a device needs a port: " + port);
  if (!function) throw std::invalid_argument("virtual USB bus: no device function for " + port);
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    if (impl_->nodes.count(path.text) != 0) {
      throw std::invalid_argument("virtual USB bus: port " + path.text + " is taken");
    }
  }
  impl_->ensureHub(path.parent());
  auto node = std::make_shared<Node>();
  node->path = path;
  node->descriptors =
      functionDescriptors(function->vendorId(), function->productId(), Impl::highSpeedPacket);
  node->strings = functionStrings(path, function->productId(), function->serialNumber());
  node->function = std::move(function);
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    if (!impl_->nodes.emplace(path.text, node).second) {
      throw std::invalid_argument("virtual USB bus: port " + path.text + " is taken");
    }
  }
  impl_->plugIn(node);
}

void VirtualBus::addHub(const std::string& port) { impl_->ensureHub(PortPath::parse(port)); }

void VirtualBus::unplug(const std::string& port) {
  const PortPath path = PortPath::parse(port);
  auto nodes = impl_->subtree(path);
  if (nodes.empty()) throw std::invalid_argument("virtual USB bus: nothing at port " + port);
  std::reverse(nodes.begin(), nodes.end());  // children first, as the kernel reports them
  for (auto& n : nodes) impl_->plugOut(n);
}

void VirtualBus::replug(const std::string& port) {
  const PortPath path = PortPath::parse(port);
  auto nodes = impl_->subtree(path);
  if (nodes.empty()) throw std::invalid_argument("virtual USB bus: nothing at port " + port);
  // The parent hub must be there for the device to appear.
  if (!path.isRoot()) {
    for (auto& hub : impl_->subtree(path.parent())) {
      if (!path.parent().within(hub->path)) continue;
      std::lock_guard<std::mutex> lock(impl_->m);
      if (!hub->plug || hub->plug->gone) {
        throw std::logic_error("virtual USB bus: the hub above " + port + " is unplugged");
      }
    }
  }
  for (auto& n : nodes) {
    bool present = false;
    {
      std::lock_guard<std::mutex> lock(impl_->m);
      present = n->plug && !n->plug->gone;
    }
    if (!present) impl_->plugIn(n);
  }
}

void VirtualBus::remove(const std::string& port) {
  const PortPath path = PortPath::parse(port);
  unplug(port);
  std::lock_guard<std::mutex> lock(impl_->m);
  for (auto it = impl_->nodes.begin(); it != impl_->nodes.end();) {
    if (it->second->path.within(path)) {
      it = impl_->nodes.erase(it);
    } else {
      ++it;
    }
  }
}

void VirtualBus::kick(const std::string& port) {
  const PortPath path = PortPath::parse(port);
  std::lock_guard<std::mutex> lock(impl_->m);
  auto it = impl_->nodes.find(path.text);
  if (it == impl_->nodes.end()) throw std::invalid_argument("virtual USB bus: nothing at " + port);
  if (it->second->plug) impl_->servePending(*it->second->plug);
}

size_t VirtualBus::releaseRetired() { return impl_->collectRetired(); }

void VirtualBus::kickAll() {
  std::lock_guard<std::mutex> lock(impl_->m);
  for (const auto& [key, node] : impl_->nodes) {
    if (node->plug) impl_->servePending(*node->plug);
  }
}

std::vector<VbusEntry> VirtualBus::list() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  std::vector<VbusEntry> out;
  for (const auto& [key, node] : impl_->nodes) {
    VbusEntry e;
    e.port = node->path.text;
    e.uniqueId = node->path.uniqueId();
    e.sysPath = "/sys" + sysPathOf(node->path);
    e.hub = node->hub;
    e.present = node->plug && !node->plug->gone;
    if (e.present) e.devNode = node->plug->devNode;
    e.vendorId = descriptorVendor(node->descriptors);
    e.productId = descriptorProduct(node->descriptors);
    out.push_back(std::move(e));
  }
  return out;
}

std::shared_ptr<UsbFunction> VirtualBus::function(const std::string& port) const {
  const PortPath path = PortPath::parse(port);
  std::lock_guard<std::mutex> lock(impl_->m);
  auto it = impl_->nodes.find(path.text);
  return it == impl_->nodes.end() ? nullptr : it->second->function;
}

VbusStats VirtualBus::stats(const std::string& port) const {
  const PortPath path = PortPath::parse(port);
  std::lock_guard<std::mutex> lock(impl_->m);
  auto it = impl_->nodes.find(path.text);
  if (it == impl_->nodes.end()) throw std::invalid_argument("virtual USB bus: nothing at " + port);
  return it->second->stats;
}

std::string VirtualBus::rootDir() const { return impl_->root; }

std::string VirtualBus::uniqueIdOf(const std::string& port) {
  return PortPath::parse(port).uniqueId();
}

}  // namespace qsim
