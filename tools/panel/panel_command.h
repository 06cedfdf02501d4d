// `qelomsr panel`: serves the live test panel until Ctrl-C.
#pragma once

#include <string>

namespace qpanel {

struct PanelArgs {
  int port = 8321;
  std::string address = "127.0.0.1";
  std::string device;
};

int runPanel(const PanelArgs& args);

}  // namespace qpanel
