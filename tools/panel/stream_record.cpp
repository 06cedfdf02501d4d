#include "stream_record.h"

#include <algorithm>

namespace qpanel {

StreamRecord::StreamRecord(RecordInfo info, size_t limitBytes) : info_(std::move(info)) {
  const size_t rowBytes = sizeof(double) + sizeof(Cell) * std::max<size_t>(1, channelCount());
  maxRows_ = std::max<size_t>(1, limitBytes / rowBytes);
}

bool StreamRecord::append(double seconds, const Cell* cells) {
  const size_t n = channelCount();
  std::lock_guard<std::mutex> lock(mutex_);
  if (full_) return false;
  if (rows_ >= maxRows_) {
    full_ = true;
    return false;
  }
  const size_t inBlock = rows_ % kRowsPerBlock;
  if (inBlock == 0) {
    auto block = std::make_unique<Block>();
    block->seconds.resize(kRowsPerBlock);
    block->cells.resize(kRowsPerBlock * n);
    blocks_.push_back(std::move(block));
  }
  Block& b = *blocks_.back();
  b.seconds[inBlock] = seconds;
  std::copy(cells, cells + n, b.cells.begin() + static_cast<long>(inBlock * n));
  ++rows_;
  return true;
}

void StreamRecord::markGap() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!full_ && (gaps_.empty() || gaps_.back() != rows_)) gaps_.push_back(rows_);
}

StreamRecord::View StreamRecord::view() const {
  std::lock_guard<std::mutex> lock(mutex_);
  View v;
  v.rows = rows_;
  v.gaps = gaps_;
  // A gap after the last row belongs to rows that never came.
  while (!v.gaps.empty() && v.gaps.back() >= v.rows) v.gaps.pop_back();
  v.full = full_;
  v.channels_ = channelCount();
  for (const auto& b : blocks_) v.blocks_.push_back(b.get());
  return v;
}

size_t StreamRecord::rows() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rows_;
}

bool StreamRecord::full() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return full_;
}

void StreamRecord::markSaved(size_t rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  savedRows_ = std::max(savedRows_, rows);
}

size_t StreamRecord::unsavedRows() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rows_ - savedRows_;
}

double StreamRecord::View::seconds(size_t row) const {
  const auto* block = static_cast<const Block*>(blocks_[row / kRowsPerBlock]);
  return block->seconds[row % kRowsPerBlock];
}

StreamRecord::Cell StreamRecord::View::cell(size_t row, size_t channel) const {
  const auto* block = static_cast<const Block*>(blocks_[row / kRowsPerBlock]);
  return block->cells[(row % kRowsPerBlock) * channels_ + channel];
}

}  // namespace qpanel
