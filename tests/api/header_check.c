/* Compiles and links against the public header alone, as strict C and as C++. */
#include <qelomsr/qelomsr.h>

#include <stdio.h>

int main(void) {
  char version[32];
  char message[256];
  int errorClass = 0;
  int count = -1;
  int id;
  qelomsr_int64 counter = 0;
  QeloMsrGetApiVersion(version, (int)sizeof version);
  id = QeloMsrReadCounter(12345, QELOMSR_ID_COUNTER, &counter);
  __wrapper_error(id, message, (int)sizeof message, &errorClass);
  QeloMsrBeginEnumerate(&count, 0);
  printf("qelomsr %s: error %d class %d \"%s\", %d devices of type 0\n", version, id, errorClass,
         message, count);
  return (errorClass == QELOMSR_ERROR_CLASS_RUNTIME && count == 0) ? 0 : 1;
}
