// The command-line options that reach a broker, shared by every subcommand
// that talks MQTT: the URL, the login (a password only from a file or the
// environment, never from the command line) and the TLS files.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "mqtt_client.h"

namespace qmqtt {

struct BrokerArgs {
  std::string url;
  std::string username;
  std::string passwordFile;
  std::string caFile, certFile, keyFile;
  int keepAliveS = 15;
};

// Adds --broker (required unless told) and the login, TLS and keep-alive options.
void addBrokerOptions(CLI::App& sub, BrokerArgs& args, bool required = true);

// The connection options; throws qcli::UsageError for a malformed URL and
// std::runtime_error for a password file that cannot be read.
ConnectOptions connectOptions(const BrokerArgs& args);

// The failure of a command whose login the broker refused (why: the broker's reason).
[[noreturn]] void loginRefused(const std::string& why);

}  // namespace qmqtt
