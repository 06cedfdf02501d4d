// CSV recordings: `# ` comment lines with what the recording is, the column
// line `time_s,<channels>`, one row per frame with every number in the
// shortest text that reads back as the same value, a comment line before the
// first row after a gap, and a trailer (clip counts, frame count).
//
// Rows are collected in a buffer and written with write(2) in whole rows, so
// that the file ends on a complete row whenever the process stops, even by
// SIGKILL. A failed write (a full disk, a file size limit) cuts the file back
// to its last complete row and appends the trailer if space allows.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "recording.h"
#include "recording_detail.h"

namespace qrec {

namespace {

constexpr size_t kBufferBytes = 64 * 1024;

std::string identityText(const DeviceIdentity& d) {
  std::string text = "# device " + d.identifier;
  if (!d.family.empty()) text += ", family " + d.family;
  if (!d.serial.empty()) text += ", serial " + d.serial;
  if (!d.firmware.empty()) text += ", firmware " + d.firmware;
  return text + "\n";
}

std::string headerText(const RecordingInfo& info) {
  std::string text = "# qelomsr recording, format " + std::to_string(kFormatVersion) + "\n";
  text += identityText({info.device, info.family, info.serial, info.firmware});
  bool severalDevices = !info.otherDevices.empty();
  for (const auto& d : info.otherDevices) text += identityText(d);
  for (const auto& c : info.columns)
    severalDevices = severalDevices || (!c.device.empty() && c.device != info.device);
  text += "# start_time " + info.startTime + "\n";
  text += "# rate_hz " + numberText(info.rateHz) + "\n";
  for (const auto& c : info.columns)
    if (c.analog)
      text += "# range " + c.name + " " + numberText(static_cast<float>(c.rangeMinVolts)) + " .. " +
              numberText(static_cast<float>(c.rangeMaxVolts)) + " V\n";
  for (const auto& c : info.columns)
    if (c.analog && !c.calibrated)
      text += "# uncalibrated " + c.name + ": nominal conversion (erased calibration record)\n";
  if (severalDevices)
    for (const auto& c : info.columns)
      text +=
          "# column " + c.name + " device " + (c.device.empty() ? info.device : c.device) + "\n";
  text += "time_s";
  for (const auto& c : info.columns) text += "," + c.name;
  return text + "\n";
}

class CsvRecording : public Recording {
 public:
  // owned: the recording closes the descriptor.
  CsvRecording(int fd, bool owned, std::string name, const RecordingInfo& info)
      : Recording(info), fd_(fd), owned_(owned), name_(std::move(name)) {
    struct stat st {};
    seekable_ = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    if (seekable_) {
      const bool append = (fcntl(fd_, F_GETFL) & O_APPEND) != 0;
      const off_t at = append ? st.st_size : lseek(fd_, 0, SEEK_CUR);
      fileEnd_ = at < 0 ? 0 : at;
    }
    rowMaxBytes_ = (kNumberTextSize + 1) * (info.columns.size() + 1) + 1;
    buffer_.resize(kBufferBytes + rowMaxBytes_);
    const std::string header = headerText(info);
    size_t done = 0;
    const int error = writeAll(header.data(), header.size(), &done);
    if (error != 0) {
      cutTo(fileEnd_);
      closeDescriptor();
      throwFor(error);
    }
    fileEnd_ += static_cast<off_t>(done);
  }

  ~CsvRecording() override {
    try {
      close();
    } catch (const RecordingError&) {
      // Closing while unwinding from another error: that one is reported.
    }
  }

  void flush() override {
    if (fd_ < 0) return;
    writeOut();
  }

  void close() override {
    if (fd_ < 0) return;
    if (!failed_) {
      writeOut();
      const int error = writeTrailer();
      if (error != 0) throwFor(error);
    }
    if (closeDescriptor() != 0) {
      failed_ = true;
      throw RecordingError("closing " + name_ + " failed: " + systemReason(errno));
    }
  }

 private:
  void appendFrame(double timeSeconds, const double* values) override {
    ensureOpen();
    if (used_ + rowMaxBytes_ > kBufferBytes) writeOut();
    char* const start = buffer_.data() + used_;
    char* p = appendNumber(start, timeSeconds);
    for (size_t i = 0; i < columns_.size(); ++i) {
      *p++ = ',';
      if (columns_[i].analog)
        p = appendNumber(p, static_cast<float>(values[i]));
      else
        p = std::to_chars(p, p + 24, static_cast<long long>(values[i])).ptr;
    }
    *p++ = '\n';
    used_ += static_cast<size_t>(p - start);
  }

  void appendGap() override {
    ensureOpen();
    const std::string line = gapMarker(frames_) + "\n";
    if (used_ + line.size() > kBufferBytes) writeOut();
    std::memcpy(buffer_.data() + used_, line.data(), line.size());
    used_ += line.size();
  }

  void ensureOpen() const {
    if (fd_ < 0 || failed_) throw RecordingError(name_ + " is closed after an error");
  }

  // Writes the buffer; on failure the file keeps its complete rows and the
  // error is thrown.
  void writeOut() {
    if (used_ == 0 || failed_) return;
    size_t done = 0;
    const int error = writeAll(buffer_.data(), used_, &done);
    if (error != 0) {
      keepCompleteRows(done);
      fail(error);
    }
    fileEnd_ += static_cast<off_t>(used_);
    used_ = 0;
    committedFrames_ = frames_;
    committedGaps_ = gaps_.size();
    commitClips();
  }

  // The first `done` bytes of the buffer reached the file: cut it back to
  // the last line end among them and count the rows and gaps it now holds.
  void keepCompleteRows(size_t done) {
    size_t cut = done;
    while (cut > 0 && buffer_[cut - 1] != '\n') --cut;
    dropUncommittedClips();
    std::vector<double> values(columns_.size(), 0.0);
    long long rows = 0;
    size_t gaps = 0;
    for (size_t at = 0; at < cut;) {
      const char* line = buffer_.data() + at;
      const size_t length =
          static_cast<size_t>(static_cast<const char*>(std::memchr(line, '\n', cut - at)) - line);
      if (line[0] == '#') {
        gaps += std::strncmp(line, "# overrun", 9) == 0 ? 1 : 0;
      } else {
        readRow(line, line + length, values.data());
        countCommittedClips(values.data());
        ++rows;
      }
      at += length + 1;
    }
    fileEnd_ += static_cast<off_t>(cut);
    cutTo(fileEnd_);
    frames_ = committedFrames_ + rows;
    gaps_.resize(committedGaps_ + gaps);
    used_ = 0;
  }

  // The analog values of a row this recording wrote (the others stay 0).
  void readRow(const char* begin, const char* end, double* values) const {
    const char* p = static_cast<const char*>(std::memchr(begin, ',', end - begin));
    for (size_t i = 0; i < columns_.size() && p != nullptr && p < end; ++i) {
      float value = 0.0f;
      std::from_chars(p + 1, end, value);
      values[i] = value;
      p = static_cast<const char*>(std::memchr(p + 1, ',', end - p - 1));
    }
  }

  // After a failed write: the trailer if space allows, then the error.
  [[noreturn]] void fail(int error) {
    if (error != EPIPE) writeTrailer();
    throwFor(error);
  }

  [[noreturn]] void throwFor(int error) {
    failed_ = true;
    throw RecordingError(
        "writing " + name_ + " failed: " + systemReason(error),
        error == EPIPE ? RecordingError::Kind::BrokenPipe : RecordingError::Kind::Other);
  }

  // The clip counts and the number of rows; nothing of it stays in the file
  // when it does not fit whole. Returns 0 or the errno of the failure.
  int writeTrailer() {
    std::string text;
    const std::vector<long long> counts = clipped();
    for (size_t i = 0; i < columns_.size(); ++i)
      if (columns_[i].analog)
        text += "# clipped " + columns_[i].name + " " + std::to_string(counts[i]) + "\n";
    text += "# end: " + std::to_string(frames_) + " frames\n";
    size_t done = 0;
    const int error = writeAll(text.data(), text.size(), &done);
    if (error != 0)
      cutTo(fileEnd_);
    else
      fileEnd_ += static_cast<off_t>(done);
    return error;
  }

  // Writes all bytes, going on after a signal or a short write; returns 0
  // or the errno that stopped it, with the bytes written before in *done.
  int writeAll(const char* data, size_t size, size_t* done) {
    *done = 0;
    while (*done < size) {
      const ssize_t n = ::write(fd_, data + *done, size - *done);
      if (n > 0) {
        *done += static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return n < 0 ? errno : ENOSPC;  // a write of nothing: no room
      }
    }
    return 0;
  }

  // Removes everything after `end` from a regular file (nothing can be taken
  // back from a pipe).
  void cutTo(off_t end) {
    if (!seekable_) return;
    if (ftruncate(fd_, end) == 0) lseek(fd_, end, SEEK_SET);
  }

  int closeDescriptor() {
    const int fd = fd_;
    fd_ = -1;
    return owned_ ? ::close(fd) : 0;
  }

  int fd_;
  bool owned_;
  std::string name_;
  bool seekable_ = false;
  bool failed_ = false;
  off_t fileEnd_ = 0;  // where the last complete line in the file ends
  std::vector<char> buffer_;
  size_t used_ = 0;
  size_t rowMaxBytes_ = 0;
  long long committedFrames_ = 0;  // rows in the file
  size_t committedGaps_ = 0;       // gap lines in the file
};

}  // namespace

std::unique_ptr<Recording> writeCsv(std::FILE* out, const std::string& name,
                                    const RecordingInfo& info) {
  std::fflush(out);  // what the stream holds comes first
  return std::make_unique<CsvRecording>(fileno(out), false, name, info);
}

std::unique_ptr<Recording> createCsv(const std::string& path, const RecordingInfo& info,
                                     const FileOptions& options) {
  return std::make_unique<CsvRecording>(createFile(path, options), true, "'" + path + "'", info);
}

}  // namespace qrec
