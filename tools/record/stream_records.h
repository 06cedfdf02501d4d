// What every reader of a served device's stream records (contract.h) does
// the same way: the columns of a recording from the records' channel table,
// the frames of a record as rows, and the order of the records, so that a
// lost record or a device overrun becomes a gap at its exact row and a
// record delivered twice (QoS 1) is written once. The central logger
// (stream_logger.h) and `qelomsr --broker URL stream` use them.
#pragma once

#include <cstdint>
#include <vector>

#include "contract.h"
#include "recording.h"

namespace qrecord {

// The columns of the channels: range, calibration state and clip limits as
// the server sent them.
std::vector<qrec::Column> columnsOf(const std::vector<qmqtt::BlockChannel>& channels);

// Writes the first count frames of a frames record into file; row holds a
// value per channel.
void writeFrames(const qmqtt::BlockView& view, uint32_t count, qrec::Recording& file,
                 std::vector<double>& row);

// Follows the sequence numbers and frame indices of one stream's records.
class RecordOrder {
 public:
  enum class Step {
    Again,      // delivered before: skip it
    InOrder,    // the next record
    AfterLoss,  // records or frames before it were lost: a gap comes first
  };
  Step next(const qmqtt::BlockHeader& header);
  // The index of the frame the next frames record should begin with.
  uint64_t nextFrame() const { return nextFrame_; }

 private:
  uint64_t nextSequence_ = 0;
  uint64_t nextFrame_ = 0;
};

}  // namespace qrecord
