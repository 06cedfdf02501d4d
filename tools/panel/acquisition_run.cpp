#include "acquisition_run.h"

#include <algorithm>
#include <cmath>

#include "float_text.h"
#include "recording.h"

namespace qpanel {

using nlohmann::json;

RunOutput::RunOutput(const DeviceLayout& layout, const qcli::CalibrationView& calibration,
                     const std::vector<int>& ids, RecordInfo info, size_t recordLimitBytes)
    : ids_(ids), info_(std::move(info)), recordLimitBytes_(recordLimitBytes) {
  info_.device = layout.entry.identifier;
  info_.serial = layout.serial;
  info_.firmware = layout.entry.firmware;
  if (layout.family != nullptr) info_.family = layout.family->name;
  for (int id : ids_) {
    const auto slot = layout.frameSlot(id);
    Channel channel{slot.name, slot.analog, slot.slot, {}, 0};
    RecordedChannel recorded;
    recorded.name = slot.name;
    recorded.analog = slot.analog;
    recorded.rangeMin = recorded.rangeMax = std::nan("");
    for (const auto& in : layout.inputs) {
      if (in.id != id) continue;
      const RangeInfo& range = in.ranges[in.range];
      recorded.rangeMin = range.minVolts;
      recorded.rangeMax = range.maxVolts;
      channel.scale = calibration.input(id, range.id);
      recorded.scale = channel.scale;
    }
    names_.push_back(slot.name);
    channels_.push_back(channel);
    info_.channels.push_back(recorded);
  }
  cells_.resize(ids_.size());
  latest_.resize(ids_.size());
  latestClipped_.resize(ids_.size());
}

void RunOutput::begin(double rateHz, int plotStep) {
  info_.rateHz = rateHz;
  info_.startTime = qrec::isoTimeNow();
  record_ = std::make_shared<StreamRecord>(info_, recordLimitBytes_);
  plotStep_ = std::max(1, plotStep);
}

void RunOutput::frame(double seconds, const float* values, const int* ports) {
  openChunk();
  const bool plotted = frames_ % plotStep_ == 0;
  if (plotted) chunk_["t"].push_back(seconds);
  for (size_t c = 0; c < channels_.size(); ++c) {
    Channel& ch = channels_[c];
    bool clipped = false;
    if (ch.analog) {
      cells_[c].volts = values[ch.slot];
      clipped = ch.scale.clipped(cells_[c].volts);
      ch.clipped += clipped ? 1 : 0;
      if (plotted) chunk_["v"][c].push_back(float32Json(cells_[c].volts));
    } else {
      cells_[c].raw = static_cast<uint32_t>(ports[ch.slot]);
      if (plotted) chunk_["v"][c].push_back(cells_[c].raw);
    }
    latestClipped_[c] = clipped;
  }
  record_->append(seconds, cells_.data());
  latest_ = cells_;
  haveLatest_ = true;
  ++frames_;
}

void RunOutput::gap() {
  record_->markGap();
  openChunk();
  chunk_["gaps"].push_back({{"frame", frames_}, {"index", chunk_["t"].size()}});
}

void RunOutput::openChunk() {
  if (!chunk_.is_null()) return;
  // Plot points: times, then one array per channel; gaps name the point index
  // before which frames were lost.
  chunk_ = {{"first", frames_}, {"step", plotStep_}, {"t", json::array()}, {"gaps", json::array()}};
  chunk_["v"] = json::array();
  for (size_t c = 0; c < ids_.size(); ++c) chunk_["v"].push_back(json::array());
}

json RunOutput::takeChunk() {
  json chunk;
  chunk.swap(chunk_);
  // Frames the chunk covers, so that the page can tell a chunk it missed.
  if (!chunk.is_null()) chunk["frames"] = frames_ - chunk["first"].get<long long>();
  return chunk;
}

json RunOutput::latestValues() const {
  json j = json::object();
  for (size_t c = 0; c < channels_.size(); ++c) {
    if (!haveLatest_)
      j[names_[c]] = nullptr;
    else if (channels_[c].analog)
      j[names_[c]] = float32Json(latest_[c].volts);
    else
      j[names_[c]] = latest_[c].raw;
  }
  return j;
}

json RunOutput::latestClipped() const {
  json j = json::array();
  for (size_t c = 0; c < channels_.size(); ++c)
    if (haveLatest_ && latestClipped_[c]) j.push_back(names_[c]);
  return j;
}

json RunOutput::status() const {
  json j = {{"channels", names_}, {"clipped", clipCounts()}, {"frames", frames_}};
  if (record_) {
    j["recordedFrames"] = record_->rows();
    j["recordFull"] = record_->full();
  }
  return j;
}

json RunOutput::clipCounts() const {
  json j = json::array();
  for (const auto& ch : channels_)
    if (ch.analog) j.push_back({{"name", ch.name}, {"clipped", ch.clipped}});
  return j;
}

}  // namespace qpanel
