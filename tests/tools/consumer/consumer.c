/* Checks that the installed header and library belong together: the version
 * texts agree and an error record comes back through the library. */
#include <qelomsr/qelomsr.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  char version[32], message[128];
  int handle = 0, errorClass = 0, rc;
  QeloMsrGetApiVersion(version, (int)sizeof version);
  if (strcmp(version, QELOMSR_VERSION_STRING) != 0) {
    fprintf(stderr, "library %s, header %s\n", version, QELOMSR_VERSION_STRING);
    return 1;
  }
  rc = QeloMsrOpen("USB:no-such-device", &handle);
  __wrapper_error(rc, message, (int)sizeof message, &errorClass);
  printf("qelomsr %s; opening an unknown device: %s (class %d)\n", version, message, errorClass);
  return rc != 0 && errorClass == QELOMSR_ERROR_CLASS_RUNTIME ? 0 : 1;
}
