/* Output waveform on a Vel device: a 1 V sine on AO-0, 500 frames per
 * period, played at 1000 frames per second.
 *
 * The Vel plays queued output frames paced by its input frame clock: one
 * output frame per input frame of a running acquisition. So this example
 * queues what fits into the output buffer, starts an input acquisition of
 * AI-0 at the output rate, keeps the buffer filled while it counts the input
 * frames, and stops once as many input frames came as output frames were
 * queued: then every frame has been played. AI-0 records what it sees at each
 * output frame (wire AO-0 to AI-0 to watch the sine come back); with FILE.csv
 * it is written there.
 * Usage: vel_waveform [PERIODS] [FILE.csv] */
/* clock_gettime and nanosleep are POSIX, not C99: ask for them before any
 * header, so that the example builds with a plain "cc -std=c99". */
#define _POSIX_C_SOURCE 200809L
#include <math.h>
#include <qelomsr/qelomsr.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "example_util.h"

#define FRAMES 500 /* per period */
#define RATE_HZ 1000.0f
/* Input frames one read can return: AI-0 alone is one 16-bit word. */
#define READ_FRAMES (QELOMSR_VEL_READ_LIMIT_BYTES / 2)
/* Without a single input frame for this long the acquisition has stopped. */
#define STALL_SECONDS 5.0

static double now_seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* Queues as much of the waveform as fits now; *queued counts the frames of
 * all periods queued so far. */
static int queue_frames(int handle, const float* values, int* ports, int* queued, int total) {
  for (;;) {
    const int offset = *queued % FRAMES;
    int count = FRAMES - offset, sent = 0;
    if (count > total - *queued) count = total - *queued;
    if (count == 0) return 0;
    if (report(QeloMsrWriteNonBlocking(handle, (float*)values + offset, ports + 2 * offset, count,
                                       &sent),
               "QeloMsrWriteNonBlocking"))
      return 1;
    if (sent == 0) return 0; /* the buffer is full */
    *queued += sent;
  }
}

int main(int argc, char** argv) {
  static float values[FRAMES];
  static int ports[2 * FRAMES]; /* DP-0 and DP-1 of every frame: not in the frame */
  static float inValues[READ_FRAMES * QELOMSR_VEL_VALUE_SLOTS];
  static int inPorts[READ_FRAMES * QELOMSR_VEL_PORT_SLOTS];
  int outputs[1] = {QELOMSR_ID_ANALOG_OUTPUT(0)};
  int inputs[1] = {QELOMSR_ID_ANALOG_INPUT(0)};
  const int periods = argc > 1 ? atoi(argv[1]) : 2;
  const int total = periods * FRAMES;
  FILE* csv = NULL;
  int handle = 0, queued = 0, played = 0, failed = 0, i;
  float rate = 0.0f;
  double lastFrame;

  if (periods < 1) {
    fprintf(stderr, "usage: vel_waveform [PERIODS >= 1] [FILE.csv]\n");
    return 2;
  }
  for (i = 0; i < FRAMES; ++i) values[i] = (float)sin(2.0 * 3.14159265358979 * i / FRAMES);
  if (argc > 2 && (csv = fopen(argv[2], "w")) == NULL) {
    perror(argv[2]);
    return 1;
  }
  if (open_first(QELOMSR_TYPE_VEL1X, &handle)) return 1;
  CHECK(QeloMsrSetupOutputFrame(handle, outputs, 1));
  CHECK(QeloMsrSetupInputFrame(handle, inputs, 1));
  /* Frames queued before the start play from the first input frame. */
  if (queue_frames(handle, values, ports, &queued, total)) return 1;
  CHECK(QeloMsrStartDataAcquisition(handle, 0, RATE_HZ, 0, &rate));
  if (csv != NULL) fprintf(csv, "time_s,AI-0\n");

  lastFrame = now_seconds();
  while (played < total && !failed) {
    int got = 0;
    if (queued < total && queue_frames(handle, values, ports, &queued, total)) {
      failed = 1;
      break;
    }
    if (report(QeloMsrReadNonBlocking(handle, inValues, inPorts, &got), "QeloMsrReadNonBlocking")) {
      failed = 1;
      break;
    }
    for (i = 0; i < got && played < total; ++i, ++played) {
      if (csv == NULL) continue;
      print_exact(csv, played / (double)rate, 0);
      fputc(',', csv);
      print_exact(csv, inValues[i * QELOMSR_VEL_VALUE_SLOTS], 1);
      fputc('\n', csv);
    }
    if (got > 0) {
      lastFrame = now_seconds();
    } else if (now_seconds() - lastFrame > STALL_SECONDS) {
      fprintf(stderr, "the acquisition delivered no frame for %.0f s\n", STALL_SECONDS);
      failed = 1;
    } else {
      const struct timespec pause = {0, 10 * 1000 * 1000};
      nanosleep(&pause, NULL);
    }
  }
  /* Every queued frame has been played: the pacing acquisition can stop. */
  if (report(QeloMsrStopDataAcquisition(handle), "QeloMsrStopDataAcquisition")) failed = 1;
  QeloMsrClose(handle);
  if (csv != NULL) fclose(csv);
  if (failed) return 1;
  printf("played %d frames (%d periods) on AO-0 at %.6g Hz\n", played, periods, (double)rate);
  return 0;
}
