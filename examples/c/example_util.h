/* Small helpers shared by the C examples: error reporting and finding a
 * device of one family. */
#ifndef QELOMSR_EXAMPLE_UTIL_H
#define QELOMSR_EXAMPLE_UTIL_H

#include <qelomsr/qelomsr.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Prints the error record of a failed call and returns 1, or returns 0. */
static inline int report(int rc, const char* what) {
  char message[256];
  int errorClass = 0;
  if (rc == 0) return 0;
  __wrapper_error(rc, message, (int)sizeof message, &errorClass);
  fprintf(stderr, "%s failed: %s (error class %d)\n", what, message, errorClass);
  return 1;
}

/* Fails the example (exit code 1) when a call fails. */
#define CHECK(call)                      \
  do {                                   \
    if (report((call), #call)) return 1; \
  } while (0)

/* Enumerates the devices of one type code and opens the first one. Returns 0
 * and the handle, or 1 after printing why. */
static inline int open_first(int type, int* handle) {
  char ident[QELOMSR_TEXT_BUFFER_SIZE], version[QELOMSR_TEXT_BUFFER_SIZE];
  int count = 0, found = 0;
  if (report(QeloMsrBeginEnumerate(&count, type), "QeloMsrBeginEnumerate")) return 1;
  if (count == 0) {
    fprintf(stderr, "no device of type 0x%08X attached\n", (unsigned)type);
    return 1;
  }
  if (report(QeloMsrGetIdentifier(0, ident, 0, &found, version), "QeloMsrGetIdentifier")) return 1;
  printf("opening %s (firmware %s)\n", ident, version);
  return report(QeloMsrOpen(ident, handle), "QeloMsrOpen");
}

/* Writes a number as the shortest %g text that reads back as the same value:
 * a float32 value when isFloat, else a double. Data files keep every bit. */
static inline void print_exact(FILE* out, double value, int isFloat) {
  char text[40];
  int digits;
  for (digits = 1; digits <= 17; ++digits) {
    snprintf(text, sizeof text, "%.*g", digits, value);
    if (isFloat ? strtof(text, NULL) == (float)value : strtod(text, NULL) == value) break;
  }
  fputs(text, out);
}

#endif
