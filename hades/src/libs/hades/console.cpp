#include "hades/src/libs/hades/console.h"

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

std::ostream& operator<<(std::ostream& os, const con_color& c) {
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
  std::cout << "\x1b[0;" << foreground << ';' << background << 'm';
  return os;
}

}  // namespace hades
