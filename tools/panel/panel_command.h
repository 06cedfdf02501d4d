// `qelomsr panel`: serves the live test panel until Ctrl-C.
#pragma once

#include <cstdio>
#include <string>

namespace qpanel {

struct PanelArgs {
  int port = 8321;
  std::string address = "127.0.0.1";
  std::string device;
  std::FILE* out = stdout;  // where the URL is printed
};

// Returns the exit code: 128 + the signal that stopped the panel (130 for
// Ctrl-C), as the tool's other long-running commands do.
int runPanel(const PanelArgs& args);

}  // namespace qpanel
