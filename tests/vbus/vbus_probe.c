/* Lists the USB devices libusb sees, one line each: unique id (bus, then
 * the port chain from the root hub down), vendor:product. Exit status 0 when
 * the listing worked. */
#include <libusb.h>
#include <stdio.h>

int main(void) {
  libusb_context* ctx = NULL;
  libusb_device** list = NULL;
  ssize_t n;
  ssize_t i;
  if (libusb_init(&ctx) != 0) {
    fprintf(stderr, "libusb_init failed\n");
    return 2;
  }
  n = libusb_get_device_list(ctx, &list);
  if (n < 0) {
    fprintf(stderr, "libusb_get_device_list: %s\n", libusb_error_name((int)n));
    return 2;
  }
  for (i = 0; i < n; ++i) {
    struct libusb_device_descriptor desc;
    int chain[16];
    int depth = 0;
    libusb_device* d;
    if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
    for (d = list[i]; d != NULL && depth < 16; d = libusb_get_parent(d)) {
      chain[depth++] = libusb_get_port_number(d);
    }
    printf("USB:%d-", libusb_get_bus_number(list[i]));
    while (depth-- > 0) printf(depth > 0 ? "%d-" : "%d", chain[depth]);
    printf(" %04x:%04x\n", desc.idVendor, desc.idProduct);
  }
  libusb_free_device_list(list, 1);
  libusb_exit(ctx);
  return 0;
}
