// The virtual USB bus: its public operations (creating the umockdev
// testbed, adding, unplugging, replugging and removing devices and hubs,
// listing them). The parts behind them: vbus_plug.cpp (plugging into the
// testbed), vbus_ioctl.cpp (the usbdevfs ioctl handler), vbus_ep0.cpp
// (control requests); what they share is in vbus_impl.h.
#include "qsim/vbus.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "vbus_impl.h"

namespace qsim {

using vbusimpl::Node;
using vbusimpl::onClientFinalized;
using vbusimpl::Plug;

namespace {

bool g_busExists = false;

}  // namespace

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
