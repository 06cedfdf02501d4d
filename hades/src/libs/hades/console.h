// ANSI console colours of the support library.
#pragma once

#include <ostream>

namespace hades {

// One console colour: foreground codes -1 (default) and 0..15, background
// codes -2 (default) and 16..31.
struct con_color {
  constexpr explicit con_color(int c) : code(c) {}
  int code;
};

namespace con_colors {
constexpr con_color ccf_default{-1};
constexpr con_color ccf_black{0};
constexpr con_color ccf_blue{1};
constexpr con_color ccf_green{2};
constexpr con_color ccf_cyan{3};
constexpr con_color ccf_red{4};
constexpr con_color ccf_magenta{5};
constexpr con_color ccf_brown{6};
constexpr con_color ccf_lightgrey{7};
constexpr con_color ccf_grey{8};
constexpr con_color ccf_lightblue{9};
constexpr con_color ccf_lightgreen{10};
constexpr con_color ccf_lightcyan{11};
constexpr con_color ccf_lightred{12};
constexpr con_color ccf_lightmagenta{13};
constexpr con_color ccf_yellow{14};
constexpr con_color ccf_white{15};

constexpr con_color ccb_default{-2};
constexpr con_color ccb_black{16};
constexpr con_color ccb_blue{17};
constexpr con_color ccb_green{18};
constexpr con_color ccb_cyan{19};
constexpr con_color ccb_red{20};
constexpr con_color ccb_magenta{21};
constexpr con_color ccb_brown{22};
constexpr con_color ccb_lightgrey{23};
constexpr con_color ccb_grey{24};
constexpr con_color ccb_lightblue{25};
constexpr con_color ccb_lightgreen{26};
constexpr con_color ccb_lightcyan{27};
constexpr con_color ccb_lightred{28};
constexpr con_color ccb_lightmagenta{29};
constexpr con_color ccb_yellow{30};
constexpr con_color ccb_white{31};
}  // namespace con_colors

// Switches the terminal colour. The escape sequence always goes to standard
// output (std::cout); `os` is returned unchanged. The last foreground and
// background are remembered, so setting one of them keeps the other.
std::ostream& operator<<(std::ostream& os, const con_color& c);

// The same escape sequence written to `to` (the console sink's own stream).
void write_color(std::ostream& to, const con_color& c);

// Whether standard output (or standard error) is a terminal, where escape
// sequences show as colours rather than as bytes in a file or pipe.
bool is_terminal(bool standardError);

}  // namespace hades
