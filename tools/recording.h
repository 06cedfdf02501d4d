// Data files of an acquisition, written frame by frame while it runs: CSV and
// HDF5 in the layouts docs/usage.md describes ("Data files"). The command-line
// tool and the panel write their files through this interface; it knows
// nothing of devices or of command lines.
//
//   qrec::RecordingInfo info;            // columns, rate, device identity
//   auto file = qrec::createRecording("run.h5", info);
//   file->frame(0.0, values);            // one value per column
//   file->gap();                         // frames were lost here
//   file->close();                       // throws qrec::RecordingError
#pragma once

#include <cstdio>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qrec {

// One column of a recording: an input of the frame.
struct Column {
  std::string name;     // as the device names it: AI-0, AI-0/AI-1, DP-0, CNT, TRG, VREF
  bool analog = false;  // a value in volts (a float32 of the library), else a raw integer
  // The limits of an analog input's range in volts; NaN for the others.
  double rangeMinVolts = std::numeric_limits<double>::quiet_NaN();
  double rangeMaxVolts = std::numeric_limits<double>::quiet_NaN();
};

// What a recording holds besides its frames.
struct RecordingInfo {
  std::vector<Column> columns;
  double rateHz = 0.0;    // the frame rate the device runs at; -1: frame sample trigger
  std::string device;     // identifier, e.g. USB:1-0-3
  std::string serial;     // the device's serial number
  std::string firmware;   // e.g. 1.4
  std::string startTime;  // host time of the acquisition start, isoTimeNow()
};

// A failure to create or write a data file, with the system's reason.
class RecordingError : public std::runtime_error {
 public:
  RecordingError(const std::string& message, bool brokenPipe = false)
      : std::runtime_error(message), brokenPipe_(brokenPipe) {}
  // The reader of a pipe went away (| head): nobody wants more data.
  bool brokenPipe() const { return brokenPipe_; }

 private:
  bool brokenPipe_;
};

class Recording {
 public:
  virtual ~Recording() = default;
  Recording() = default;
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  // Appends one frame: its time in seconds since the start of the acquisition
  // and one value per column, in column order. Analog values are the floats
  // the library delivered (kept with float32 precision, nothing more, nothing
  // less); the others are integers (ports, counter, trigger).
  virtual void frame(double timeSeconds, const double* values) = 0;
  // Frames were lost before the next frame (an overrun; the acquisition was
  // restarted). Marked at the current frame count.
  virtual void gap() = 0;
  // Puts everything appended so far into the file. Writers also flush by
  // themselves (HDF5 at every chunk); callers flush now and then so that a
  // slow acquisition reaches the disk.
  virtual void flush() = 0;
  // Flushes and closes the file; throws RecordingError. Destroying an open
  // recording closes it too, ignoring errors.
  virtual void close() = 0;

  long long framesWritten() const { return frames_; }
  const std::vector<long long>& gaps() const { return gaps_; }

 protected:
  long long frames_ = 0;
  std::vector<long long> gaps_;  // frame counts before which frames were lost
};

// CSV written to an open stream (standard output, for example), which the
// recording flushes but does not close.
std::unique_ptr<Recording> writeCsv(std::FILE* out, const std::string& name,
                                    const RecordingInfo& info);
// A new file, HDF5 for the extensions .h5 and .hdf5 (isHdf5Path), else CSV.
// An existing file is replaced. Throws RecordingError.
std::unique_ptr<Recording> createRecording(const std::string& path, const RecordingInfo& info);
std::unique_ptr<Recording> createCsv(const std::string& path, const RecordingInfo& info);
std::unique_ptr<Recording> createHdf5(const std::string& path, const RecordingInfo& info);
bool isHdf5Path(const std::string& path);

// The host time now as ISO 8601 with milliseconds and the UTC offset:
// 2026-12-09T12:45:53.123+01:00.
std::string isoTimeNow();

// The shortest text that reads back as the same value: a float32 as a
// float32 (0.0000012345678, never 0.000001), a double as a double, without
// an exponent.
std::string numberText(float value);
std::string numberText(double value);
// The same, appended to a buffer of at least kNumberTextSize characters
// without allocation; returns the new end.
constexpr int kNumberTextSize = 64;
char* appendNumber(char* out, float value);
char* appendNumber(char* out, double value);

// The CSV gap marker line for a gap after framesBefore frames, without the
// line end.
std::string gapMarker(long long framesBefore);

}  // namespace qrec
