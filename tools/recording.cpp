// What both data file formats share: the choice of format by file name, the
// number texts and the start time.
#include "recording.h"

#include <charconv>
#include <chrono>
#include <ctime>

namespace qrec {

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    const char c = text[text.size() - suffix.size() + i];
    if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != suffix[i]) return false;
  }
  return true;
}

}  // namespace

bool isHdf5Path(const std::string& path) {
  return endsWith(path, ".h5") || endsWith(path, ".hdf5");
}

std::unique_ptr<Recording> createRecording(const std::string& path, const RecordingInfo& info) {
  return isHdf5Path(path) ? createHdf5(path, info) : createCsv(path, info);
}

namespace {

// Positional notation (0.00003636808, not 3.636808e-05), as the Python
// package writes it, so that both write the same text; a value too large or
// too small for that in kNumberTextSize characters (only doubles can be)
// keeps the exponent.
template <typename T>
char* appendShortest(char* out, T value) {
  const auto fixed = std::to_chars(out, out + kNumberTextSize, value, std::chars_format::fixed);
  if (fixed.ec == std::errc()) return fixed.ptr;
  return std::to_chars(out, out + kNumberTextSize, value).ptr;
}

}  // namespace

char* appendNumber(char* out, float value) { return appendShortest(out, value); }

char* appendNumber(char* out, double value) { return appendShortest(out, value); }

std::string numberText(float value) {
  char text[kNumberTextSize];
  return std::string(text, appendNumber(text, value));
}

std::string numberText(double value) {
  char text[kNumberTextSize];
  return std::string(text, appendNumber(text, value));
}

std::string gapMarker(long long framesBefore) {
  return "# overrun after " + std::to_string(framesBefore) +
         " frames: frames lost; acquisition restarted";
}

std::string isoTimeNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const long long millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char date[32], offset[8];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  std::strftime(offset, sizeof offset, "%z", &local);  // +0100
  char text[48];
  std::snprintf(text, sizeof text, "%s.%03lld%.3s:%.2s", date, millis < 0 ? 0 : millis, offset,
                offset + 3);
  return text;
}

}  // namespace qrec
