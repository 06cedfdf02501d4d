#include "cli_output.h"

#include <cstdio>

#include "cli_json.h"
#include "cli_process.h"
#include "recording.h"

namespace qcli {

namespace {

std::string bits(int value, int count) {
  std::string text;
  for (int i = count - 1; i >= 0; --i) text += (value >> i) & 1 ? '1' : '0';
  return text;
}

}  // namespace

std::string limitsText(const RangeLimits& range) {
  char text[64];
  std::snprintf(text, sizeof text, "%g .. %g V", static_cast<double>(range.minVolts),
                static_cast<double>(range.maxVolts));
  return text;
}

void warnUncalibrated(const Reading& reading) {
  if (reading.calibrated) return;
  std::fprintf(stderr,
               "qelomsr: warning: %s is uncalibrated in its range %s (erased calibration record): "
               "its values are the nominal conversion\n",
               reading.input.c_str(), rangeName(reading.range.maxVolts).c_str());
}

void warnClipped(const Reading& reading, const std::string& when) {
  std::fprintf(stderr,
               "qelomsr: warning: %s reads at the end of its range (%s)%s: the converter "
               "clipped, the input may lie anywhere beyond it\n",
               reading.input.c_str(), limitsText(reading.range).c_str(), when.c_str());
}

void printReadings(const std::string& device, const std::vector<Reading>& readings,
                   const OutputOptions& output) {
  Json list = Json::array();
  for (const Reading& r : readings) {
    if (output.json)
      list.push_back({{"input", r.input},
                      {"volts", jsonFloat(r.volts)},
                      {"range",
                       {{"name", rangeName(r.range.maxVolts)},
                        {"min_volts", jsonFloat(r.range.minVolts)},
                        {"max_volts", jsonFloat(r.range.maxVolts)}}},
                      {"calibrated", r.calibrated},
                      {"clipped", r.clipped}});
    else
      std::fprintf(out(), "%-10s %s V\n", r.input.c_str(), qrec::numberText(r.volts).c_str());
    warnUncalibrated(r);
    if (r.clipped) warnClipped(r, "");
  }
  if (output.json) printJson({{"device", device}, {"readings", list}});
}

void printWritten(const Written& w) {
  if (w.clamped)
    std::fprintf(stderr,
                 "qelomsr: warning: %s V is outside the range of %s (%s): the output is "
                 "clamped at %s V\n",
                 qrec::numberText(w.requestedVolts).c_str(), w.output.c_str(),
                 limitsText(w.range).c_str(), qrec::numberText(w.setVolts).c_str());
  if (!w.calibrated)
    std::fprintf(stderr,
                 "qelomsr: warning: %s is uncalibrated (erased calibration record): the voltage "
                 "is the nominal conversion of its converter code\n",
                 w.output.c_str());
  // As a float32, like every voltage the tool prints: equal texts mean the
  // converter gives what was asked, up to float noise.
  const std::string produced = qrec::numberText(w.producedVolts);
  if (produced == qrec::numberText(w.setVolts))
    std::fprintf(out(), "%-10s %s V\n", w.output.c_str(), produced.c_str());
  else
    std::fprintf(out(), "%-10s %s V (asked %s V: %sthe nearest the 12-bit converter gives)\n",
                 w.output.c_str(), produced.c_str(), qrec::numberText(w.requestedVolts).c_str(),
                 w.clamped ? ("clamped at " + qrec::numberText(w.setVolts) + " V, ").c_str() : "");
}

void printPort(const PortLevels& p) {
  std::fprintf(out(), "%-6s 0x%02X %s\n", p.port.c_str(), static_cast<unsigned>(p.pins),
               bits(p.pins, p.lines).c_str());
  // Levels written to lines that are inputs are latched but drive nothing.
  const int allLines = (1 << p.lines) - 1;
  const int inputs = allLines & ~p.outputEnable;
  if (p.written >= 0 && inputs != 0)
    std::fprintf(stderr,
                 "qelomsr: warning: the levels 0x%02X were written but the lines %s of %s are "
                 "inputs (opening the device resets every line to an input), so they drive "
                 "nothing there; add --oe MASK to drive them (--oe 0x%02X: every line)\n",
                 static_cast<unsigned>(p.written), bits(inputs, p.lines).c_str(), p.port.c_str(),
                 static_cast<unsigned>(allLines));
}

void printCounter(const std::string& device, const std::string& counter, long long count,
                  bool enabled, const OutputOptions& output) {
  if (output.json)
    printJson({{"device", device}, {"counter", counter}, {"count", count}, {"enabled", enabled}});
  else
    std::fprintf(out(), "%-6s %lld %s\n", counter.c_str(), count, enabled ? "enabled" : "disabled");
}

}  // namespace qcli
