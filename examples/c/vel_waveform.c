/* Output waveform on a Vel device: a 1 V sine on AO-0, 500 frames per
 * period, queued into the device's output buffer with QeloMsrWriteBlocking
 * (which waits for space). Digital ports are not in the output frame, so
 * their slots stay 0.
 * Usage: vel_waveform [PERIODS] */
#include <math.h>
#include <qelomsr/qelomsr.h>
#include <stdio.h>
#include <stdlib.h>

#include "example_util.h"

#define FRAMES 500

int main(int argc, char** argv) {
  static float values[FRAMES];
  static int ports[2 * FRAMES]; /* DP-0 and DP-1 of every frame */
  int ios[1] = {QELOMSR_ID_ANALOG_OUTPUT(0)};
  const int periods = argc > 1 ? atoi(argv[1]) : 2;
  int handle = 0, i, p;

  for (i = 0; i < FRAMES; ++i) values[i] = (float)sin(2.0 * 3.14159265358979 * i / FRAMES);
  if (open_first(QELOMSR_TYPE_VEL1X, &handle)) return 1;
  CHECK(QeloMsrSetupOutputFrame(handle, ios, 1));
  for (p = 0; p < periods; ++p) CHECK(QeloMsrWriteBlocking(handle, values, ports, FRAMES));
  printf("queued %d frames on AO-0\n", periods * FRAMES);
  QeloMsrClose(handle);
  return 0;
}
