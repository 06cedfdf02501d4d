#include "stream_records.h"

namespace qrecord {

std::vector<qrec::Column> columnsOf(const std::vector<qmqtt::BlockChannel>& channels) {
  std::vector<qrec::Column> columns;
  for (const auto& c : channels) {
    qrec::Column column;
    column.name = c.name;
    column.analog = c.type == qmqtt::SampleType::Volts;
    if (column.analog) {
      column.rangeMinVolts = c.rangeMinVolts;
      column.rangeMaxVolts = c.rangeMaxVolts;
      column.calibrated = (c.flags & qmqtt::kChannelUncalibrated) == 0;
      column.clipLowVolts = c.lowestVolts;
      column.clipHighVolts = c.highestVolts;
    }
    columns.push_back(column);
  }
  return columns;
}

void writeFrames(const qmqtt::BlockView& view, uint32_t count, qrec::Recording& file,
                 std::vector<double>& row) {
  for (uint32_t f = 0; f < count && f < view.header.frameCount; ++f) {
    for (size_t c = 0; c < row.size(); ++c) row[c] = view.value(f, c);
    file.frame(view.time(f), row.data());
  }
}

RecordOrder::Step RecordOrder::next(const qmqtt::BlockHeader& h) {
  if (h.sequence < nextSequence_) return Step::Again;
  // A missing sequence number: records were lost on the way (frames, or the
  // gap record of a device overrun); missing frames: the same, counted.
  const bool lost = h.sequence > nextSequence_ || h.firstFrame > nextFrame_;
  nextSequence_ = h.sequence + 1;
  nextFrame_ = h.kind == qmqtt::BlockKind::Frames ? h.firstFrame + h.frameCount : h.firstFrame;
  return lost ? Step::AfterLoss : Step::InOrder;
}

}  // namespace qrecord
