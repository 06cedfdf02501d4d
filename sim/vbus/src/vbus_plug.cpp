// Plugging nodes of the virtual USB bus in and out of the umockdev testbed:
// device numbers, the pollable device node, the sysfs records and uevents,
// hubs created along a port path, and the release of retired plugs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "vbus_impl.h"

namespace qsim {

using vbusimpl::GRef;
using vbusimpl::Node;
using vbusimpl::onIoctl;
using vbusimpl::Plug;

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
  if (node->function) {
    node->function->busReset();
    node->function->setAttached(true);
  }
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
  if (node->function) node->function->setAttached(false);
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

}  // namespace qsim
