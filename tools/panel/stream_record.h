// Everything one stream delivered, kept in memory so that the page can save it
// as a file afterwards or while the stream still runs: the time of every frame,
// every channel's value exactly as the library gave it (float32 volts, or the
// port, counter or trigger integer) and where frames were lost.
//
// The worker thread appends; any thread may read the rows that were complete
// when it asked (rows never move once written: storage grows in fixed blocks).
// A record has a size limit; when it is full, later frames are not kept and the
// record says so (the page shows it), the stream itself goes on.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../calibration_view.h"

namespace qpanel {

struct RecordedChannel {
  std::string name;
  bool analog = false;                // volts; else an unsigned integer (port, counter, trigger)
  double rangeMin = 0, rangeMax = 0;  // range in volts of an analog channel
  qcli::InputScale scale;             // an analog channel's calibration state and clip limits
};

struct RecordInfo {
  std::string device, family, serial, firmware;
  std::vector<RecordedChannel> channels;
  double rateHz = 0;      // the rate the device runs at
  std::string startTime;  // ISO 8601 with UTC offset and milliseconds (qrec::isoTimeNow)
};

class StreamRecord {
 public:
  // One value as delivered: a float32 for analog channels, else a uint32.
  union Cell {
    float volts;
    uint32_t raw;
  };

  StreamRecord(RecordInfo info, size_t limitBytes);

  const RecordInfo& info() const { return info_; }
  size_t channelCount() const { return info_.channels.size(); }

  // Appends one frame (time and one cell per channel). Returns false when the
  // record is full and the frame was not kept.
  bool append(double seconds, const Cell* cells);
  // Frames were lost before the next appended frame.
  void markGap();

  // A consistent view of the rows written so far; valid while the record lives.
  class View {
   public:
    size_t rows = 0;
    std::vector<size_t> gaps;  // row indexes before which frames were lost
    bool full = false;         // frames after the last row were not kept
    double seconds(size_t row) const;
    Cell cell(size_t row, size_t channel) const;

   private:
    friend class StreamRecord;
    std::vector<const void*> blocks_;
    size_t channels_ = 0;
  };
  View view() const;
  size_t rows() const;
  bool full() const;

  // The first `rows` rows went into a file the page saved.
  void markSaved(size_t rows);
  // Rows that no saved file holds.
  size_t unsavedRows() const;

 private:
  static constexpr size_t kRowsPerBlock = 8192;
  struct Block {
    std::vector<double> seconds;
    std::vector<Cell> cells;
  };

  RecordInfo info_;
  size_t maxRows_;
  mutable std::mutex mutex_;  // guards the fields below (blocks' rows are immutable once counted)
  std::vector<std::unique_ptr<Block>> blocks_;
  size_t rows_ = 0;
  std::vector<size_t> gaps_;
  bool full_ = false;
  size_t savedRows_ = 0;
};

}  // namespace qpanel
