/* Lists the USB devices libusb sees, one line each: unique id (bus, then
 * the port chain from the root hub down), vendor:product. Exit status 0 when
 * the listing worked.
 *
 * With --hotplug PORT ID it also checks that its long-lived libusb context
 * follows an unplug and a replug made through the runner's control socket
 * ($QELOMSR_VBUS_CONTROL): ID disappears and comes back.
 *
 * With --killed-holder ID a child process claims ID, starts a read nobody
 * answers and is killed; the device must then be claimable again. */
#include <libusb.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void unique_id(libusb_device* dev, char* out, size_t room) {
  int chain[16];
  int depth = 0;
  size_t used;
  libusb_device* d;
  for (d = dev; d != NULL && depth < 16; d = libusb_get_parent(d)) {
    chain[depth++] = libusb_get_port_number(d);
  }
  used = (size_t)snprintf(out, room, "USB:%d-", libusb_get_bus_number(dev));
  while (depth-- > 0 && used < room) {
    used += (size_t)snprintf(out + used, room - used, depth > 0 ? "%d-" : "%d", chain[depth]);
  }
}

static int list(libusb_context* ctx, const char* wanted, int print) {
  libusb_device** devs = NULL;
  ssize_t n = libusb_get_device_list(ctx, &devs);
  ssize_t i;
  int found = 0;
  if (n < 0) {
    fprintf(stderr, "libusb_get_device_list: %s\n", libusb_error_name((int)n));
    exit(2);
  }
  for (i = 0; i < n; ++i) {
    struct libusb_device_descriptor desc;
    char id[128];
    if (libusb_get_device_descriptor(devs[i], &desc) != 0) continue;
    unique_id(devs[i], id, sizeof id);
    if (print) printf("%s %04x:%04x\n", id, desc.idVendor, desc.idProduct);
    if (wanted != NULL && strcmp(id, wanted) == 0) found = 1;
  }
  libusb_free_device_list(devs, 1);
  return found;
}

/* Sends one command to the control socket; 0 when it answered "ok". */
static int command(const char* line) {
  const char* path = getenv("QELOMSR_VBUS_CONTROL");
  struct sockaddr_un a;
  char reply[256];
  ssize_t got = 0;
  int fd;
  struct pollfd p;
  if (path == NULL || strlen(path) >= sizeof a.sun_path) return -1;
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  strcpy(a.sun_path, path);
  fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, (struct sockaddr*)&a, sizeof a) != 0) return -1;
  if (write(fd, line, strlen(line)) < 0 || write(fd, "\n", 1) < 0) return -1;
  p.fd = fd;
  p.events = POLLIN;
  while (got < (ssize_t)sizeof reply - 1 && poll(&p, 1, 5000) > 0) {
    ssize_t n = read(fd, reply + got, sizeof reply - 1 - (size_t)got);
    if (n <= 0) break;
    got += n;
    if (reply[got - 1] == '\n') break;
  }
  close(fd);
  reply[got] = '\0';
  return strcmp(reply, "ok\n") == 0 ? 0 : -1;
}

/* Polls for at least 30 s (generous: hotplug events may be slow on a loaded
 * machine) until the id is listed (present) or not. */
static int await(libusb_context* ctx, const char* id, int present) {
  int i;
  for (i = 0; i < 30000; ++i) {
    struct timespec ms = {0, 1000000};
    if (list(ctx, id, 0) == present) return 0;
    nanosleep(&ms, NULL);
  }
  fprintf(stderr, "%s still %s\n", id, present ? "missing" : "listed");
  return -1;
}

/* Opens the device with the unique id and claims interface 0. */
static libusb_device_handle* claim(libusb_context* ctx, const char* wanted, int* result) {
  libusb_device** devs = NULL;
  libusb_device_handle* h = NULL;
  ssize_t n = libusb_get_device_list(ctx, &devs);
  ssize_t i;
  *result = LIBUSB_ERROR_NOT_FOUND;
  for (i = 0; i < n; ++i) {
    char id[128];
    unique_id(devs[i], id, sizeof id);
    if (strcmp(id, wanted) == 0 && libusb_open(devs[i], &h) == 0) {
      *result = libusb_claim_interface(h, 0);
    }
  }
  if (n >= 0) libusb_free_device_list(devs, 1);
  return h;
}

static int killed_holder(const char* id) {
  int ready[2];
  char byte = 0;
  pid_t pid;
  int i;
  if (pipe(ready) != 0) return 2;
  pid = fork();
  if (pid == 0) {
    libusb_context* ctx = NULL;
    unsigned char buf[64];
    int r;
    int moved;
    libusb_device_handle* h;
    libusb_init(&ctx);
    h = claim(ctx, id, &r);
    if (h == NULL || r != 0) _exit(3);
    if (write(ready[1], "x", 1) != 1) _exit(3);
    libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &moved, 20000);
    _exit(4);
  }
  close(ready[1]);
  if (read(ready[0], &byte, 1) != 1) {
    fprintf(stderr, "the holder could not claim %s\n", id);
    return 1;
  }
  kill(pid, SIGKILL);
  waitpid(pid, NULL, 0);
  {
    libusb_context* ctx = NULL;
    libusb_init(&ctx);
    /* The bus learns of the closed connection asynchronously: bounded retry
     * (at least 30 s). */
    for (i = 0; i < 30000; ++i) {
      struct timespec ms = {0, 1000000};
      int r;
      libusb_device_handle* h = claim(ctx, id, &r);
      if (h != NULL) libusb_close(h);
      if (r == 0) {
        printf("claimable after the holder was killed\n");
        libusb_exit(ctx);
        return 0;
      }
      nanosleep(&ms, NULL);
    }
    libusb_exit(ctx);
  }
  fprintf(stderr, "%s stays claimed after its holder was killed\n", id);
  return 1;
}

int main(int argc, char** argv) {
  libusb_context* ctx = NULL;
  int rc = 0;
  if (argc == 3 && strcmp(argv[1], "--killed-holder") == 0) return killed_holder(argv[2]);
  if (libusb_init(&ctx) != 0) {
    fprintf(stderr, "libusb_init failed\n");
    return 2;
  }
  list(ctx, NULL, 1);
  if (argc == 4 && strcmp(argv[1], "--hotplug") == 0) {
    char line[64];
    snprintf(line, sizeof line, "unplug %s", argv[2]);
    if (command(line) != 0 || await(ctx, argv[3], 0) != 0) rc = 1;
    snprintf(line, sizeof line, "replug %s", argv[2]);
    if (rc == 0 && (command(line) != 0 || await(ctx, argv[3], 1) != 0)) rc = 1;
    if (rc == 0) printf("hotplug ok\n");
  }
  libusb_exit(ctx);
  return rc;
}
