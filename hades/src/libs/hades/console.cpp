#include "hades/src/libs/hades/console.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <iostream>
#include <string>

namespace hades {

namespace {

// ANSI colour digit for the low three bits of a colour code (the code order is
// the PC text-mode palette: black, blue, green, cyan, red, magenta, brown, grey).
char ansiDigit(int code) {
  static const char digits[8] = {'0', '4', '2', '6', '1', '5', '3', '7'};
  return digits[code & 7];
}

}  // namespace

void write_color(std::ostream& to, const con_color& c) {
  static std::string foreground = "0;39";
  static std::string background = "49";
  if (c.code == -1) {
    foreground = "0;39";
  } else if (c.code >= 0 && c.code <= 15) {
    foreground = (c.code & 8) ? "1;3" : "0;3";
    foreground.push_back(ansiDigit(c.code));
  }
  if (c.code == -2) {
    background = "49";
  } else if (c.code >= 16 && c.code <= 31) {
    background = "4";
    background.push_back(ansiDigit(c.code));
  }
  to << "\x1b[0;" << foreground << ';' << background << 'm';
}

std::ostream& operator<<(std::ostream& os, const con_color& c) {
  write_color(std::cout, c);
  return os;
}

bool is_terminal(bool standardError) {
#if defined(_WIN32)
  return _isatty(standardError ? 2 : 1) != 0;
#else
  return isatty(standardError ? STDERR_FILENO : STDOUT_FILENO) != 0;
#endif
}

}  // namespace hades
