// The usbdevfs ioctl handler of the virtual USB bus: claims of interface 0,
// URBs submitted, reaped and discarded, IN transfers served from the device
// model (or left pending until it has data), and the clients that went away.
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "vbus_impl.h"

namespace qsim {

namespace vbusimpl {

std::mutex g_vanishedMutex;
std::vector<void*> g_vanished;

void onClientFinalized(gpointer /*data*/, GObject* where) {
  std::lock_guard<std::mutex> lock(g_vanishedMutex);
  g_vanished.push_back(where);
}

extern "C" gboolean onIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                            gpointer user) {
  auto* plug = static_cast<Plug*>(user);
  return plug->bus->handleIoctl(*plug, client);
}

}  // namespace vbusimpl

using vbusimpl::g_vanished;
using vbusimpl::g_vanishedMutex;
using vbusimpl::GRef;
using vbusimpl::Node;
using vbusimpl::onClientFinalized;
using vbusimpl::Plug;
using vbusimpl::Urb;

namespace {

// No bulk continuation: libusb then submits every bulk transfer as one URB,
// so that one host transfer is one bulkOut/bulkIn call of the model.
constexpr uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr int kMaxUrbBytes = 16 * 1024 * 1024;  // the kernel's default usbfs memory limit
constexpr int kSpeedHigh = 3;                   // enum usb_device_speed: USB_SPEED_HIGH

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

void VirtualBus::Impl::drainVanished() {
  std::vector<void*> gone;
  {
    std::lock_guard<std::mutex> lock(g_vanishedMutex);
    gone.swap(g_vanished);
  }
  for (void* c : gone) dropClient(c);
}

void VirtualBus::Impl::dropClient(void* c) {
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

void VirtualBus::Impl::track(Plug& plug, UMockdevIoctlClient* client) {
  if (clients.emplace(client, &plug).second) {
    g_object_weak_ref(G_OBJECT(client), onClientFinalized, nullptr);
  }
}

void VirtualBus::Impl::updateReady(Plug& plug) {
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

bool VirtualBus::Impl::claimedByOther(const Plug& plug, UMockdevIoctlClient* client) {
  for (const auto& [c, held] : plug.claims) {
    if (held && c != client) return true;
  }
  return false;
}

int VirtualBus::Impl::claim(Plug& plug, UMockdevIoctlClient* client) {
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

void VirtualBus::Impl::complete(Plug& plug, Urb&& u, int status, int actual) {
  usbdevfs_urb* h = u.header();
  h->status = status;
  h->actual_length = actual;
  plug.done.push_back(std::move(u));
  updateReady(plug);
}

bool VirtualBus::Impl::serveIn(Plug& plug, Urb& u) {
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

void VirtualBus::Impl::servePending(Plug& plug) {
  while (!plug.pending.empty() && !plug.gone) {
    if (!serveIn(plug, plug.pending.front())) break;
    Urb u = std::move(plug.pending.front());
    plug.pending.pop_front();
    plug.done.push_back(std::move(u));
  }
  updateReady(plug);
}

void VirtualBus::Impl::failPending(Plug& plug) {
  while (!plug.pending.empty()) {
    Urb u = std::move(plug.pending.front());
    plug.pending.pop_front();
    complete(plug, std::move(u), -ENODEV, 0);
  }
  updateReady(plug);
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

}  // namespace qsim
