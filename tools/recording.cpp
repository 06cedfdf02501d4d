// What both data file formats share: the frame and gap bookkeeping with the
// clip counts, the choice of format by file name, the checks before a file is
// created, the number texts and the start time.
#include "recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "recording_detail.h"

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

Recording::Recording(const RecordingInfo& info)
    : columns_(info.columns),
      clippedCommitted_(info.columns.size(), 0),
      clippedPending_(info.columns.size(), 0) {}

bool Recording::isClipped(size_t column, double value) const {
  const Column& c = columns_[column];
  const float volts = static_cast<float>(value);
  return c.analog && (volts <= c.clipLowVolts || volts >= c.clipHighVolts);
}

void Recording::frame(double timeSeconds, const double* values) {
  appendFrame(timeSeconds, values);
  for (size_t i = 0; i < columns_.size(); ++i)
    if (isClipped(i, values[i])) ++clippedPending_[i];
  ++frames_;
}

void Recording::gap() {
  if (!gaps_.empty() && gaps_.back() == frames_) return;  // the same place: one gap
  appendGap();
  gaps_.push_back(frames_);
}

std::vector<long long> Recording::clipped() const {
  std::vector<long long> counts(clippedCommitted_);
  for (size_t i = 0; i < counts.size(); ++i) counts[i] += clippedPending_[i];
  return counts;
}

void Recording::commitClips() {
  for (size_t i = 0; i < clippedPending_.size(); ++i) {
    clippedCommitted_[i] += clippedPending_[i];
    clippedPending_[i] = 0;
  }
}

void Recording::dropUncommittedClips() {
  for (auto& n : clippedPending_) n = 0;
}

void Recording::countCommittedClips(const double* values) {
  for (size_t i = 0; i < columns_.size(); ++i)
    if (isClipped(i, values[i])) ++clippedCommitted_[i];
}

bool isHdf5Path(const std::string& path) {
  return endsWith(path, ".h5") || endsWith(path, ".hdf5");
}

std::unique_ptr<Recording> createRecording(const std::string& path, const RecordingInfo& info,
                                           const FileOptions& options) {
  return isHdf5Path(path) ? createHdf5(path, info, options) : createCsv(path, info, options);
}

namespace {

// A path that names something other than a regular file or a folder (a
// device such as /dev/null, a FIFO): written to, never replaced.
bool isStream(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

}  // namespace

int createFile(const std::string& path, const FileOptions& options) {
  const int replace = isStream(path) ? 0 : options.overwrite ? O_TRUNC : O_EXCL;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | replace, 0666);
  if (fd >= 0) return fd;
  if (errno == EEXIST) throw RecordingError("'" + path + "' exists", RecordingError::Kind::Exists);
  throw RecordingError("cannot create '" + path + "': " + std::strerror(errno));
}

void checkCanCreate(const std::string& path, const FileOptions& options) {
  struct stat st {};
  if (!options.overwrite && stat(path.c_str(), &st) == 0 && !isStream(path))
    throw RecordingError("'" + path + "' exists", RecordingError::Kind::Exists);
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  if (access(dir.c_str(), W_OK | X_OK) != 0)
    throw RecordingError("cannot create '" + path + "': " + std::strerror(errno));
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

double float32Decimal(double value) {
  return std::strtod(numberText(static_cast<float>(value)).c_str(), nullptr);
}

std::string systemReason(int error) {
  std::string text = std::strerror(error);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' && (text.size() < 2 || text[1] > 'Z'))
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

std::string gapMarker(long long framesBefore) {
  return "# overrun after " + std::to_string(framesBefore) +
         " frames: frames lost; acquisition restarted";
}

std::string isoTime(long long unixNs) {
  const std::time_t seconds = static_cast<std::time_t>(unixNs / 1000000000);
  const long long millis = (unixNs / 1000000) % 1000;
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

std::string isoTimeNow() {
  using namespace std::chrono;
  return isoTime(duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace qrec
