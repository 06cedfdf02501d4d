// Control requests on endpoint 0 of the virtual USB bus: the standard
// requests every device and hub answers (descriptors, status,
// configuration), the class requests of hubs, and the driver links of hubs
// in sysfs.
#include <linux/usb/ch9.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "vbus_impl.h"

namespace qsim {

using vbusimpl::Node;
using vbusimpl::Plug;
using vbusimpl::Urb;

namespace {

constexpr unsigned kHubDescriptorType = 0x29;  // class descriptor of a hub

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

}  // namespace qsim
