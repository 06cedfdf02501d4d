/* The typical use of the library: enumerate, identify, open, set the input
 * parameters, read one calibrated value, close. Does this for every attached
 * device; exits with 1 when none is found or a call fails. */
#include <qelomsr/qelomsr.h>
#include <stdio.h>

#include "example_util.h"

static const char* family_name(int type) {
  switch (type) {
    case QELOMSR_TYPE_KA1X:
      return "Ka";
    case QELOMSR_TYPE_VEL1X:
      return "Vel";
    case QELOMSR_TYPE_RIX1X:
      return "Rix";
    default:
      return "?";
  }
}

int main(void) {
  char ident[QELOMSR_TEXT_BUFFER_SIZE], version[QELOMSR_TEXT_BUFFER_SIZE];
  char serial[QELOMSR_TEXT_BUFFER_SIZE], name[32];
  int count = 0, i;

  CHECK(QeloMsrBeginEnumerate(&count, QELOMSR_TYPE_ALL));
  printf("%d device(s) found\n", count);
  if (count == 0) return 1;

  for (i = 0; i < count; ++i) {
    int type = 0, handle = 0, delay = 0;
    float volts = 0.0f;
    const int input = QELOMSR_ID_ANALOG_INPUT(0);

    CHECK(QeloMsrGetIdentifier(i, ident, 0, &type, version));
    CHECK(QeloMsrOpen(ident, &handle));
    CHECK(QeloMsrGetSerialNumber(handle, serial));
    CHECK(QeloMsrGetPeripheralName(handle, input, name, (int)sizeof name));
    /* Range 0 exists on every family: +-10 V on Ka and Vel, 0..3.3 V on Rix;
     * -1 selects the range's default inter-channel delay. */
    CHECK(QeloMsrSetAnalogInputParameters(handle, input, QELOMSR_RANGE_10V, -1, &delay));
    CHECK(QeloMsrReadAnalogInput(handle, input, &volts));
    printf("%s  %-3s  firmware %s  serial %s  %s = %.4f V\n", ident, family_name(type), version,
           serial, name, (double)volts);
    QeloMsrClose(handle);
  }
  return 0;
}
