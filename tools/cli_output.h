// What the device commands print, from the values they got: the same text,
// JSON and warnings whether the values came from a device opened here or
// from a device served on a broker (remote/).
#pragma once

#include <string>
#include <vector>

#include "cli_commands.h"

namespace qcli {

// "-10 .. 10 V".
std::string limitsText(const RangeLimits& range);

// A single reading of an analog input in the range it was read in.
struct Reading {
  std::string input;
  float volts = 0;
  RangeLimits range;
  bool calibrated = true;
  bool clipped = false;
};
// One line per reading ("AI-0       1.25 V") or one JSON document for
// device; a warning for every uncalibrated or clipped reading.
void printReadings(const std::string& device, const std::vector<Reading>& readings,
                   const OutputOptions& output);
// The warnings of a reading, also for the rows of slow logging (when: where
// it happened, e.g. " in row 4").
void warnUncalibrated(const Reading& reading);
void warnClipped(const Reading& reading, const std::string& when);

// A written analog output: the voltage asked for, the value set (clamped to
// the range), and what the converter produces for it.
struct Written {
  std::string output;
  double requestedVolts = 0;
  float setVolts = 0;
  bool clamped = false;
  RangeLimits range;
  float producedVolts = 0;
  bool calibrated = true;
};
void printWritten(const Written& written);

// A digital port after dio: its pin levels, its number of lines, and what
// was written (-1: nothing) under which output enable mask.
struct PortLevels {
  std::string port;
  int pins = 0;
  int lines = 8;
  int written = -1;
  int outputEnable = 0;
};
void printPort(const PortLevels& port);

void printCounter(const std::string& device, const std::string& counter, long long count,
                  bool enabled, const OutputOptions& output);

}  // namespace qcli
