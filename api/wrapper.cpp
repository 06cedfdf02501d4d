#include "api/wrapper.h"

#include <cstring>

namespace wrapper {

int to_buffer(const std::string& text, char* buffer, int length) {
  // Compared as signed 32-bit values: a text longer than INT_MAX never fits.
  const long long textLength = static_cast<long long>(text.size());
  if (length > textLength) {
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return static_cast<int>(textLength);
  }
  if (length > 0) buffer[0] = '\0';
  return length;
}

}  // namespace wrapper
