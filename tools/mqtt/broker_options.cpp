#include "broker_options.h"

#include "cli_device.h"

namespace qmqtt {

void addBrokerOptions(CLI::App& sub, BrokerArgs& args, bool required) {
  auto* url = sub.add_option(
      "--broker", args.url,
      "The MQTT broker: mqtt://HOST[:PORT] (default port 1883) or mqtts://HOST[:PORT] "
      "(TLS, 8883), optionally mqtt://USER@HOST");
  if (required) url->required();
  sub.add_option("--username", args.username, "User name at the broker");
  sub.add_option("--password-file", args.passwordFile,
                 std::string("File whose first line is the password (else the environment "
                             "variable ") +
                     kPasswordVariable + "); never on the command line");
  sub.add_option("--cafile", args.caFile,
                 "CA certificate(s) to check the broker's TLS certificate (PEM)");
  sub.add_option("--cert", args.certFile, "Client certificate for TLS (PEM), with --key");
  sub.add_option("--key", args.keyFile, "Private key of the client certificate (PEM)");
  sub.add_option("--keepalive", args.keepAliveS,
                 "Keep-alive in seconds (at least 5): the broker declares the connection lost "
                 "after 1.5 times this without a word")
      ->capture_default_str()
      ->check(CLI::Range(5, 65535));
}

ConnectOptions connectOptions(const BrokerArgs& args) {
  ConnectOptions options;
  try {
    options.url = parseBrokerUrl(args.url);
  } catch (const std::invalid_argument& e) {
    throw qcli::UsageError(std::string("--broker: ") + e.what());
  }
  options.username = args.username;
  options.password = readPassword(args.passwordFile);
  options.caFile = args.caFile;
  options.certFile = args.certFile;
  options.keyFile = args.keyFile;
  options.keepAliveS = args.keepAliveS;
  return options;
}

void loginRefused(const std::string& why) {
  throw std::runtime_error("the broker refused the login (" + why +
                           "): check --username and the password");
}

}  // namespace qmqtt
