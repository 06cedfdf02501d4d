/* Finite acquisition to CSV: four analog inputs of the first Ka device at
 * 1000 Hz, 2000 frames, read with QeloMsrReadBlocking.
 * Usage: finite_acquisition [FILE.csv]   (default: standard output) */
#include <qelomsr/qelomsr.h>
#include <stdio.h>
#include <stdlib.h>

#include "example_util.h"

#define CHANNELS 4
#define FRAMES 2000

int main(int argc, char** argv) {
  int ios[CHANNELS], handle = 0, capacity = 0, i, f;
  float rate = 0.0f;
  float* values = malloc(sizeof(float) * FRAMES * QELOMSR_KA_VALUE_SLOTS);
  int* ports = malloc(sizeof(int) * FRAMES * QELOMSR_KA_PORT_SLOTS);
  FILE* out = argc > 1 ? fopen(argv[1], "w") : stdout;
  if (values == NULL || ports == NULL || out == NULL) {
    perror("finite_acquisition");
    return 1;
  }
  if (open_first(QELOMSR_TYPE_KA1X, &handle)) return 1;

  for (i = 0; i < CHANNELS; ++i) {
    int delay = 0;
    ios[i] = QELOMSR_ID_ANALOG_INPUT(i);
    CHECK(QeloMsrSetAnalogInputParameters(handle, ios[i], QELOMSR_RANGE_10V, -1, &delay));
  }
  CHECK(QeloMsrSetupInputFrame(handle, ios, CHANNELS));
  /* A frame count the device buffer can hold ends the acquisition on the
   * device; a longer one runs continuously and is stopped here. */
  CHECK(QeloMsrCalculateMaxBufferedInputFrames(handle, &capacity));
  CHECK(QeloMsrStartDataAcquisition(handle, 0, 1000.0f, FRAMES <= capacity ? FRAMES : 0, &rate));
  CHECK(QeloMsrReadBlocking(handle, values, ports, FRAMES));
  CHECK(QeloMsrStopDataAcquisition(handle));

  fprintf(out, "time_s,AI-0,AI-1,AI-2,AI-3\n");
  for (f = 0; f < FRAMES; ++f) {
    const float* v = values + f * QELOMSR_KA_VALUE_SLOTS;
    print_exact(out, f / (double)rate, 0);
    for (i = 0; i < CHANNELS; ++i) {
      fputc(',', out);
      print_exact(out, v[i], 1);
    }
    fputc('\n', out);
  }
  fprintf(stderr, "%d frames at %.3f Hz\n", FRAMES, (double)rate);
  QeloMsrClose(handle);
  if (out != stdout) fclose(out);
  free(values);
  free(ports);
  return 0;
}
