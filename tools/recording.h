// Data files of an acquisition, written frame by frame while it runs: CSV and
// HDF5 in the layout docs/usage.md describes ("Data files", format 2). The
// command-line tool, the panel and the MQTT logger write their files through
// this interface; it knows nothing of devices or of command lines.
//
//   qrec::RecordingInfo info;            // columns, rate, device identity
//   auto file = qrec::createRecording("run.h5", info);
//   file->frame(0.0, values);            // one value per column
//   file->gap();                         // frames were lost here
//   file->close();                       // throws qrec::RecordingError
//
// Whatever stops a recording, its file ends on a complete record: CSV rows are
// written whole, and after a failed write (a full disk) the file is cut back to
// its last complete row and closed with its trailer where space allows; HDF5
// datasets hold only rows that were written. The RecordingError of such a
// failure is thrown once; close() afterwards only finishes the file.
#pragma once

#include <cstdio>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qrec {

constexpr int kFormatVersion = 2;

// One column of a recording: an input of the frame.
struct Column {
  std::string name;     // as the device names it: AI-0, AI-0/AI-1, DP-0, CNT, TRG, VREF
  bool analog = false;  // a value in volts (a float32 of the library), else a raw integer
  // The limits of an analog input's range in volts; NaN for the others.
  double rangeMinVolts = std::numeric_limits<double>::quiet_NaN();
  double rangeMaxVolts = std::numeric_limits<double>::quiet_NaN();
  // false: the input's calibration record is erased and the nominal
  // conversion applies (values are real but not calibrated).
  bool calibrated = true;
  // The values of the converter's lowest and highest codes in this range
  // (qcli::InputScale): a sample at or beyond them is counted as clipped.
  // NaN: not known, nothing is counted.
  float clipLowVolts = std::numeric_limits<float>::quiet_NaN();
  float clipHighVolts = std::numeric_limits<float>::quiet_NaN();
  // The identifier of the device the column comes from; empty: the
  // recording's device (RecordingInfo::device).
  std::string device;
};

// Who delivered the frames.
struct DeviceIdentity {
  std::string identifier;  // e.g. USB:1-0-3
  std::string family;      // Ka, Vel, Rix; empty when not known
  std::string serial;
  std::string firmware;  // e.g. 1.4
};

// What a recording holds besides its frames.
struct RecordingInfo {
  std::vector<Column> columns;
  double rateHz = 0.0;    // the frame rate the device runs at; -1: frame sample trigger
  std::string device;     // identifier, e.g. USB:1-0-3
  std::string serial;     // the device's serial number
  std::string firmware;   // e.g. 1.4
  std::string family;     // Ka, Vel, Rix; empty when not known
  std::string startTime;  // host time of the acquisition start, isoTimeNow()
  // The other devices of a recording whose columns come from several
  // (Column::device names them).
  std::vector<DeviceIdentity> otherDevices;
};

// How a file is created.
struct FileOptions {
  // false: an existing file is refused (RecordingError::exists); devices and
  // FIFOs (/dev/null) are written to either way.
  bool overwrite = true;
  bool compress = false;  // HDF5: shuffle and deflate (gzip) level 4; CSV: ignored
};

// A failure to create or write a data file, with the system's reason.
class RecordingError : public std::runtime_error {
 public:
  enum class Kind { Other, BrokenPipe, Exists };
  explicit RecordingError(const std::string& message, Kind kind = Kind::Other)
      : std::runtime_error(message), kind_(kind) {}
  // The reader of a pipe went away (| head): nobody wants more data.
  bool brokenPipe() const { return kind_ == Kind::BrokenPipe; }
  // The file exists and FileOptions::overwrite was not given.
  bool exists() const { return kind_ == Kind::Exists; }

 private:
  Kind kind_;
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
  // less); the others are integers (ports, counter, trigger). Throws
  // RecordingError when the file cannot be written.
  void frame(double timeSeconds, const double* values);
  // Frames were lost before the next frame (an overrun): marked once at the
  // current frame count, however often it is called there.
  void gap();
  // Puts everything appended so far into the file. Writers also flush by
  // themselves (CSV when its buffer is full, HDF5 at every chunk); callers
  // flush about once a second so that a slow acquisition reaches the disk.
  virtual void flush() = 0;
  // Flushes, writes the trailer and closes the file; throws RecordingError.
  // Destroying an open recording closes it too, ignoring errors.
  virtual void close() = 0;

  // Frames appended so far; after a failed write, the frames the file holds.
  long long framesWritten() const { return frames_; }
  // Frame counts before which frames were lost, one per gap.
  const std::vector<long long>& gaps() const { return gaps_; }
  // Per column, the samples counted as clipped in framesWritten() frames.
  std::vector<long long> clipped() const;

 protected:
  explicit Recording(const RecordingInfo& info);
  // Stores one frame (clips already counted).
  virtual void appendFrame(double timeSeconds, const double* values) = 0;
  // Marks a gap at frames_ (gaps_ already holds it).
  virtual void appendGap() = 0;

  // The frames appended since the last commit reached the file: their clip
  // counts become the file's.
  void commitClips();
  // Frames before the last commit are in the file, the later ones are lost:
  // the counts go back to the last commit (frames and gaps are the
  // subclass's to correct).
  void dropUncommittedClips();
  // Adds the clips of one frame to the committed counts (for frames
  // recounted after a failed write).
  void countCommittedClips(const double* values);
  bool isClipped(size_t column, double value) const;
  const std::vector<long long>& committedClips() const { return clippedCommitted_; }
  void restoreCommittedClips(const std::vector<long long>& counts) { clippedCommitted_ = counts; }

  long long frames_ = 0;
  std::vector<long long> gaps_;
  std::vector<Column> columns_;

 private:
  std::vector<long long> clippedCommitted_, clippedPending_;
};

// CSV written to an open stream (standard output, for example), which the
// recording flushes but does not close.
std::unique_ptr<Recording> writeCsv(std::FILE* out, const std::string& name,
                                    const RecordingInfo& info);
// A new file, HDF5 for the extensions .h5 and .hdf5 (isHdf5Path), else CSV.
// Throws RecordingError.
std::unique_ptr<Recording> createRecording(const std::string& path, const RecordingInfo& info,
                                           const FileOptions& options = {});
std::unique_ptr<Recording> createCsv(const std::string& path, const RecordingInfo& info,
                                     const FileOptions& options = {});
std::unique_ptr<Recording> createHdf5(const std::string& path, const RecordingInfo& info,
                                      const FileOptions& options = {});
bool isHdf5Path(const std::string& path);

// Refuses, before anything is opened, a path that createRecording would
// refuse for its place: an existing file without overwrite, a folder that
// does not exist or cannot be written. Throws RecordingError.
void checkCanCreate(const std::string& path, const FileOptions& options);

// The host time now as ISO 8601 with milliseconds and the UTC offset:
// 2026-12-09T12:45:53.123+01:00.
std::string isoTimeNow();
// The same for a host time in nanoseconds since 1970 (UTC).
std::string isoTime(long long unixNs);

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
// The double nearest to the shortest decimal of a float32 value: a range
// limit of -0.01f is stored as -0.01, not as -0.009999999776482582.
double float32Decimal(double value);

// The CSV gap marker line for a gap after framesBefore frames, without the
// line end.
std::string gapMarker(long long framesBefore);

// The system's reason for an errno value as it reads inside a sentence:
// "no space left on device".
std::string systemReason(int error);

}  // namespace qrec
