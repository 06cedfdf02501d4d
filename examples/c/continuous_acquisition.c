/* Continuous acquisition with overrun handling: AI-0 and AI-1 of the first Ka
 * device at 2000 Hz for a few seconds, drained with QeloMsrReadNonBlocking
 * and a short sleep. An overrun ("Buffer overflow.", class 4) means frames
 * were lost: it is counted and reported, and the acquisition restarted.
 * Usage: continuous_acquisition [SECONDS] */
/* clock_gettime and nanosleep are POSIX, not C99: ask for them before any
 * header, so that the example builds with a plain "cc -std=c99". */
#define _POSIX_C_SOURCE 200809L
#include <qelomsr/qelomsr.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "example_util.h"

/* Frames one read can return with a two-word frame. */
#define MAX_FRAMES (QELOMSR_KA_READ_LIMIT_BYTES / 4)

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
  static float values[MAX_FRAMES * QELOMSR_KA_VALUE_SLOTS];
  static int ports[MAX_FRAMES * QELOMSR_KA_PORT_SLOTS];
  int ios[2] = {QELOMSR_ID_ANALOG_INPUT(0), QELOMSR_ID_ANALOG_INPUT(1)};
  const double seconds = argc > 1 ? atof(argv[1]) : 3.0;
  const struct timespec pause = {0, 5 * 1000 * 1000}; /* 5 ms */
  long long frames = 0;
  int handle = 0, overruns = 0;
  float rate = 0.0f;
  double sum0 = 0.0, start;

  if (open_first(QELOMSR_TYPE_KA1X, &handle)) return 1;
  CHECK(QeloMsrSetupInputFrame(handle, ios, 2));
  CHECK(QeloMsrStartDataAcquisition(handle, 0, 2000.0f, 0, &rate));
  start = now();
  while (now() - start < seconds) {
    int got = 0, f;
    const int rc = QeloMsrReadNonBlocking(handle, values, ports, &got);
    if (rc != 0) {
      char message[256];
      int errorClass = 0;
      __wrapper_error(rc, message, (int)sizeof message, &errorClass);
      if (errorClass != QELOMSR_ERROR_CLASS_RUNTIME || strcmp(message, "Buffer overflow.") != 0)
        return report(rc, "QeloMsrReadNonBlocking");
      ++overruns;
      fprintf(stderr, "overrun after %lld frames: frames lost, restarting\n", frames);
      CHECK(QeloMsrStopDataAcquisition(handle));
      CHECK(QeloMsrStartDataAcquisition(handle, 0, 2000.0f, 0, &rate));
      continue;
    }
    for (f = 0; f < got; ++f) sum0 += values[f * QELOMSR_KA_VALUE_SLOTS + 0];
    frames += got;
    if (got < MAX_FRAMES) nanosleep(&pause, NULL);
  }
  CHECK(QeloMsrStopDataAcquisition(handle));
  printf("%lld frames in %.2f s (%.1f Hz, device rate %.1f Hz), mean AI-0 %.4f V, %d overrun(s)\n",
         frames, now() - start, frames / (now() - start), (double)rate,
         frames ? sum0 / frames : 0.0, overruns);
  QeloMsrClose(handle);
  return 0;
}
