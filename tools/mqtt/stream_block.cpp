// Stream blocks of the MQTT wire contract: the writer the server fills frame
// by frame and the parser every reader uses. The layout (little-endian):
//
//   0  4  magic "QMSB"             40  8  rate Hz (float64)
//   4  1  version (1)              48  8  time of the first frame, s (float64)
//   5  1  kind (BlockKind)         56  8  segment start, s (float64)
//   6  2  channel count C          64  8  segment frame (uint64)
//   8  4  header length H          72  8  acquisition start, Unix ns (int64)
//  12  4  frame count N            80     channel table, C entries of
//  16  4  stream id                         u8 type, u8 flags, u8 name length L,
//  20  4  reserved (0)                      L bytes UTF-8 name, f32 range min, f32 max,
//  24  8  sequence number                   f32 lowest and f32 highest converter value
//                                         zero bytes up to H (a multiple of 8)
//  32  8  first frame index         H     N float64 frame times, only when rate < 0
//                                         N x C 4-byte samples, frame by frame
#include <algorithm>
#include <cmath>
#include <cstring>

#include "contract.h"

namespace qmqtt {

namespace {

void put(std::vector<uint8_t>& out, size_t at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get(const uint8_t* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}

uint64_t bitsOf(double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

uint32_t bitsOf(float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

double doubleOf(const uint8_t* in) {
  const uint64_t bits = get(in, 8);
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

float floatOf(const uint8_t* in) {
  const uint32_t bits = static_cast<uint32_t>(get(in, 4));
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The four float32 after a channel's name.
constexpr size_t kChannelValueBytes = 16;

size_t headerBytesFor(const std::vector<BlockChannel>& channels) {
  size_t bytes = kBlockFixedBytes;
  for (const auto& c : channels) bytes += 3 + c.name.size() + kChannelValueBytes;
  return (bytes + 7) / 8 * 8;
}

[[noreturn]] void malformed(const std::string& what) {
  throw ContractError("malformed stream block: " + what);
}

}  // namespace

BlockWriter::BlockWriter(std::vector<BlockChannel> channels, uint32_t streamId, double rateHz,
                         int64_t startUnixNs, uint32_t maxFrames)
    : channels_(std::move(channels)),
      streamId_(streamId),
      rateHz_(rateHz),
      startUnixNs_(startUnixNs),
      maxFrames_(std::min(std::max(maxFrames, 1u), kMaxBlockFrames)),
      headerBytes_(headerBytesFor(channels_)) {
  if (channels_.empty() || channels_.size() > kMaxBlockChannels)
    throw std::invalid_argument("a stream has 1 to 64 channels");
  for (const auto& c : channels_)
    if (c.name.empty() || c.name.size() > 255)
      throw std::invalid_argument("a channel name has 1 to 255 bytes");
  const size_t frameBytes = channels_.size() * 4 + (rateHz_ > 0 ? 0 : 8);
  buffer_.reserve(headerBytes_ + maxFrames_ * frameBytes);
  if (rateHz_ <= 0) times_.reserve(maxFrames_);
}

void BlockWriter::beginFrames(uint64_t firstFrame, double segmentStartS, uint64_t segmentFrame) {
  buffer_.assign(headerBytes_, 0);
  times_.clear();
  firstFrame_ = firstFrame;
  segmentStartS_ = segmentStartS;
  segmentFrame_ = segmentFrame;
  frames_ = 0;
}

void BlockWriter::addFrame(const uint32_t* cells, double timeS) {
  if (frames_ == 0) firstTimeS_ = timeS;
  const size_t at = buffer_.size();
  buffer_.resize(at + channels_.size() * 4);
  for (size_t c = 0; c < channels_.size(); ++c) put(buffer_, at + 4 * c, cells[c], 4);
  if (rateHz_ <= 0) times_.push_back(timeS);
  ++frames_;
}

void BlockWriter::writeHeader(BlockKind kind, uint64_t firstFrame, uint32_t frameCount) {
  std::memcpy(buffer_.data(), kBlockMagic, 4);
  put(buffer_, 4, kBlockVersion, 1);
  put(buffer_, 5, static_cast<uint8_t>(kind), 1);
  put(buffer_, 6, channels_.size(), 2);
  put(buffer_, 8, headerBytes_, 4);
  put(buffer_, 12, frameCount, 4);
  put(buffer_, 16, streamId_, 4);
  put(buffer_, 20, 0, 4);
  put(buffer_, 24, sequence_++, 8);
  put(buffer_, 32, firstFrame, 8);
  put(buffer_, 40, bitsOf(rateHz_), 8);
  put(buffer_, 48, bitsOf(frameCount > 0 ? firstTimeS_ : 0.0), 8);
  put(buffer_, 56, bitsOf(frameCount > 0 ? segmentStartS_ : 0.0), 8);
  put(buffer_, 64, frameCount > 0 ? segmentFrame_ : 0, 8);
  put(buffer_, 72, static_cast<uint64_t>(startUnixNs_), 8);
  size_t at = kBlockFixedBytes;
  for (const auto& c : channels_) {
    put(buffer_, at, static_cast<uint8_t>(c.type), 1);
    put(buffer_, at + 1, c.flags, 1);
    put(buffer_, at + 2, c.name.size(), 1);
    std::memcpy(buffer_.data() + at + 3, c.name.data(), c.name.size());
    at += 3 + c.name.size();
    put(buffer_, at, bitsOf(c.rangeMinVolts), 4);
    put(buffer_, at + 4, bitsOf(c.rangeMaxVolts), 4);
    put(buffer_, at + 8, bitsOf(c.lowestVolts), 4);
    put(buffer_, at + 12, bitsOf(c.highestVolts), 4);
    at += kChannelValueBytes;
  }
}

const std::vector<uint8_t>& BlockWriter::finishFrames() {
  if (!times_.empty()) {
    // Frame times go between the header and the samples.
    buffer_.insert(buffer_.begin() + static_cast<std::ptrdiff_t>(headerBytes_), times_.size() * 8,
                   0);
    for (size_t f = 0; f < times_.size(); ++f)
      put(buffer_, headerBytes_ + 8 * f, bitsOf(times_[f]), 8);
  }
  writeHeader(BlockKind::Frames, firstFrame_, frames_);
  frames_ = 0;  // the next frame begins a new record
  return buffer_;
}

const std::vector<uint8_t>& BlockWriter::gap(uint64_t framesBefore) {
  buffer_.assign(headerBytes_, 0);
  writeHeader(BlockKind::Gap, framesBefore, 0);
  frames_ = 0;
  return buffer_;
}

const std::vector<uint8_t>& BlockWriter::end(uint64_t framesDelivered) {
  buffer_.assign(headerBytes_, 0);
  writeHeader(BlockKind::End, framesDelivered, 0);
  frames_ = 0;
  return buffer_;
}

BlockView parseBlock(const void* data, size_t size) {
  const auto* in = static_cast<const uint8_t*>(data);
  if (size < kBlockFixedBytes) malformed("shorter than its fixed header");
  if (std::memcmp(in, kBlockMagic, 4) != 0) malformed("it does not start with QMSB");
  if (in[4] != kBlockVersion) malformed("layout version " + std::to_string(in[4]));
  BlockView view;
  BlockHeader& h = view.header;
  if (in[5] > static_cast<uint8_t>(BlockKind::End)) malformed("unknown kind");
  h.kind = static_cast<BlockKind>(in[5]);
  const size_t channels = get(in + 6, 2);
  const size_t headerBytes = get(in + 8, 4);
  h.frameCount = static_cast<uint32_t>(get(in + 12, 4));
  h.streamId = static_cast<uint32_t>(get(in + 16, 4));
  h.sequence = get(in + 24, 8);
  h.firstFrame = get(in + 32, 8);
  h.rateHz = doubleOf(in + 40);
  h.firstTimeS = doubleOf(in + 48);
  h.segmentStartS = doubleOf(in + 56);
  h.segmentFrame = get(in + 64, 8);
  h.startUnixNs = static_cast<int64_t>(get(in + 72, 8));
  if (channels == 0 || channels > kMaxBlockChannels) malformed("channel count out of bounds");
  if (h.frameCount > kMaxBlockFrames) malformed("frame count out of bounds");
  if (h.kind != BlockKind::Frames && h.frameCount != 0) malformed("frames in a gap or end record");
  if (!std::isfinite(h.rateHz) || h.rateHz == 0) malformed("rate is not a number or 0");
  if (headerBytes % 8 != 0 || headerBytes > size || headerBytes < kBlockFixedBytes)
    malformed("header length out of bounds");
  size_t at = kBlockFixedBytes;
  view.channels.resize(channels);
  for (auto& c : view.channels) {
    if (at + 3 > headerBytes) malformed("channel table longer than the header");
    if (in[at] > static_cast<uint8_t>(SampleType::Raw)) malformed("unknown sample type");
    c.type = static_cast<SampleType>(in[at]);
    c.flags = in[at + 1];
    const size_t length = in[at + 2];
    if (length == 0 || at + 3 + length + kChannelValueBytes > headerBytes)
      malformed("channel name out of bounds");
    c.name.assign(reinterpret_cast<const char*>(in + at + 3), length);
    at += 3 + length;
    c.rangeMinVolts = floatOf(in + at);
    c.rangeMaxVolts = floatOf(in + at + 4);
    c.lowestVolts = floatOf(in + at + 8);
    c.highestVolts = floatOf(in + at + 12);
    at += kChannelValueBytes;
  }
  if ((at + 7) / 8 * 8 != headerBytes) malformed("header length does not match its channels");
  const size_t timeBytes = h.rateHz < 0 ? size_t{8} * h.frameCount : 0;
  const size_t sampleBytes = size_t{4} * channels * h.frameCount;
  if (size != headerBytes + timeBytes + sampleBytes) malformed("length does not match its frames");
  view.times = in + headerBytes;
  view.samples = in + headerBytes + timeBytes;
  return view;
}

float BlockView::volts(uint32_t frame, size_t channel) const {
  return floatOf(samples + 4 * (static_cast<size_t>(frame) * channels.size() + channel));
}

uint32_t BlockView::raw(uint32_t frame, size_t channel) const {
  return static_cast<uint32_t>(
      get(samples + 4 * (static_cast<size_t>(frame) * channels.size() + channel), 4));
}

double BlockView::value(uint32_t frame, size_t channel) const {
  if (channels[channel].type == SampleType::Volts) return volts(frame, channel);
  return raw(frame, channel);
}

double BlockView::time(uint32_t frame) const {
  if (header.rateHz > 0)
    return header.segmentStartS + static_cast<double>(header.segmentFrame + frame) / header.rateHz;
  return doubleOf(times + 8 * static_cast<size_t>(frame));
}

}  // namespace qmqtt
