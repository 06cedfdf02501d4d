// CSV recordings: a header `time_s,<channels>`, one row per frame with every
// number in the shortest text that reads back as the same value, and a
// single-field comment line before the first row after a gap.
#include <cerrno>
#include <charconv>
#include <cstring>

#include "recording.h"

namespace qrec {

namespace {

class CsvRecording : public Recording {
 public:
  // owned: the recording closes the stream.
  CsvRecording(std::FILE* out, bool owned, std::string name, const RecordingInfo& info)
      : out_(out), owned_(owned), name_(std::move(name)) {
    for (const auto& c : info.columns) analog_.push_back(c.analog);
    row_.resize((kNumberTextSize + 1) * (analog_.size() + 1) + 2);
    std::string header = "time_s";
    for (const auto& c : info.columns) header += "," + c.name;
    header += '\n';
    try {
      put(header.data(), header.size());
    } catch (...) {
      if (owned_) std::fclose(out_);
      throw;
    }
  }

  ~CsvRecording() override {
    if (out_ == nullptr) return;
    if (owned_)
      std::fclose(out_);
    else
      std::fflush(out_);
  }

  void frame(double timeSeconds, const double* values) override {
    char* p = appendNumber(row_.data(), timeSeconds);
    for (size_t i = 0; i < analog_.size(); ++i) {
      *p++ = ',';
      if (analog_[i])
        p = appendNumber(p, static_cast<float>(values[i]));
      else
        p = std::to_chars(p, p + 24, static_cast<long long>(values[i])).ptr;
    }
    *p++ = '\n';
    put(row_.data(), static_cast<size_t>(p - row_.data()));
    ++frames_;
  }

  void gap() override {
    const std::string line = gapMarker(frames_) + "\n";
    put(line.data(), line.size());
    gaps_.push_back(frames_);
  }

  void flush() override {
    if (out_ == nullptr) return;
    errno = 0;
    if (std::fflush(out_) != 0) fail();
  }

  void close() override {
    if (out_ == nullptr) return;
    flush();
    if (owned_) {
      std::FILE* f = out_;
      out_ = nullptr;
      errno = 0;
      if (std::fclose(f) != 0) fail();
    }
    out_ = nullptr;
  }

 private:
  void put(const char* data, size_t size) {
    if (out_ == nullptr) throw RecordingError("'" + name_ + "' is already closed");
    errno = 0;
    if (std::fwrite(data, 1, size, out_) != size) fail();
  }

  [[noreturn]] void fail() {
    const int error = errno;
    if (error == 0) throw RecordingError("writing " + name_ + " failed");
    throw RecordingError("writing " + name_ + " failed: " + std::strerror(error), error == EPIPE);
  }

  std::FILE* out_;
  bool owned_;
  std::string name_;
  std::vector<bool> analog_;
  std::vector<char> row_;
};

}  // namespace

std::unique_ptr<Recording> writeCsv(std::FILE* out, const std::string& name,
                                    const RecordingInfo& info) {
  return std::make_unique<CsvRecording>(out, false, name, info);
}

std::unique_ptr<Recording> createCsv(const std::string& path, const RecordingInfo& info) {
  errno = 0;
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) throw RecordingError("cannot create '" + path + "': " + std::strerror(errno));
  return std::make_unique<CsvRecording>(f, true, "'" + path + "'", info);
}

}  // namespace qrec
