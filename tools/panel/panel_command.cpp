#include "panel_command.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <thread>

#include "../cli_device.h"
#include "panel_server.h"

namespace qpanel {

int runPanel(const PanelArgs& args) {
  if (!isLoopbackAddress(args.address))
    throw qcli::UsageError(
        "the panel listens on a loopback address only (127.0.0.1 or ::1), not '" + args.address +
        "'");
  if (args.port < 0 || args.port > 65535) throw qcli::UsageError("the port must be 0 to 65535");

  // Ctrl-C and SIGTERM are taken by sigwait below, never by another thread.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A page that goes away mid-answer must not end the process.
  signal(SIGPIPE, SIG_IGN);

  PanelOptions options;
  options.address = args.address;
  options.port = args.port;
  options.startDevice = args.device;
  PanelServer server(options);
  server.bind();
  const auto urls = server.urls();
  std::fprintf(args.out, "qelomsr panel: serving %s (also %s)\n", urls[0].c_str(), urls[1].c_str());
  std::fprintf(args.out, "Opening a device in the panel resets it. Ctrl-C stops the panel.\n");
  std::fflush(args.out);

  std::thread serving([&server] { server.serve(); });
  int signal = 0;
  sigwait(&stopSignals, &signal);
  std::fprintf(stderr, "qelomsr panel: stopping; closing the devices\n");
  server.stop();
  serving.join();
  return 128 + signal;
}

}  // namespace qpanel
