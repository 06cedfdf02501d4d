// The wire contract of `qelomsr serve` on MQTT, shared by the server, the
// central logger (`qelomsr record`) and the tool's commands that reach a
// served device: the topic names, the JSON fields of calls and answers, the
// broker URL and the binary layout of stream blocks. docs/usage.md ("Serving
// devices over MQTT") documents all of it byte by byte; a client in another
// language needs only that text.
//
//   qelomsr/<node>/status                         retained "online" / "offline" (last will)
//   qelomsr/<node>/devices/<id>/info              retained JSON: identity, channels, ranges
//   qelomsr/<node>/devices/<id>/state             retained JSON: open, stream, last error
//   qelomsr/<node>/devices/<id>/values/<channel>  retained JSON: the latest single reading
//   qelomsr/<node>/devices/<id>/call              MQTT 5 requests (response topic, correlation)
//   qelomsr/<node>/devices/<id>/stream            stream blocks, QoS 1
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qmqtt {

// ---- topics ------------------------------------------------------------------

constexpr const char* kTopicRoot = "qelomsr";
// Leaves under qelomsr/<node>/ and qelomsr/<node>/devices/<id>/.
constexpr const char* kStatus = "status";
constexpr const char* kInfo = "info";
constexpr const char* kState = "state";
constexpr const char* kValues = "values";
constexpr const char* kCall = "call";
constexpr const char* kStream = "stream";
// Payloads of the status topic.
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

// qelomsr/<node>/status
std::string statusTopic(const std::string& node);
// qelomsr/<node>/devices/<id>/<leaf>; node and id may be the wildcard "+".
std::string deviceTopic(const std::string& node, const std::string& device, const char* leaf);
// qelomsr/<node>/devices/<id>/values/<channel>, the channel as channelTopicName gives it.
std::string valueTopic(const std::string& node, const std::string& device,
                       const std::string& channel);
// A channel name as one topic level: "/" (differential inputs, AI-0/AI-1)
// becomes "-" (AI-0-AI-1). The payload names the channel as the device does.
std::string channelTopicName(const std::string& channel);

// The parts of qelomsr/<node>/devices/<id>/<leaf>[/<more>], or nothing for
// any other topic.
struct DeviceTopic {
  std::string node;
  std::string device;
  std::string leaf;
  std::string rest;  // after the leaf (the channel of a value topic), else empty
};
std::optional<DeviceTopic> parseDeviceTopic(const std::string& topic);

// A node name: 1 to 64 characters, none of them "/", "+", "#", a space or a
// control character. Throws std::invalid_argument saying what is wrong.
void checkNodeName(const std::string& node);

// ---- broker URL --------------------------------------------------------------

// mqtt://HOST[:PORT] (default port 1883) or mqtts://HOST[:PORT] (TLS, 8883),
// optionally with a user name (mqtt://USER@HOST); an IPv6 address in brackets
// (mqtt://[::1]:1883). A password in the URL is refused: it would show in
// process lists and shell histories.
struct BrokerUrl {
  std::string host;
  int port = 1883;
  bool tls = false;
  std::string username;  // empty: none in the URL
};
// Throws std::invalid_argument with a message that names the fault.
BrokerUrl parseBrokerUrl(const std::string& text);

// ---- calls -------------------------------------------------------------------

// The largest call payload a server reads; a bigger one gets an error answer.
constexpr size_t kMaxCallBytes = 16384;

// Operation names (the "op" field of a request).
constexpr const char* kOpRead = "read";        // channels -> values
constexpr const char* kOpWrite = "write";      // output, volts
constexpr const char* kOpPort = "port";        // port [, outputEnable] [, levels]
constexpr const char* kOpRange = "range";      // input, range
constexpr const char* kOpCounter = "counter";  // [counter] [, enable] [, reset]
constexpr const char* kOpStart = "start";      // channels, rateHz | trigger, ...
constexpr const char* kOpStop = "stop";

// Fields of requests. Channels are named as the device names them, analog
// inputs optionally with a range ("AI-0:1V", the grammar of the tool).
constexpr const char* kFieldOp = "op";
constexpr const char* kFieldChannels = "channels";            // read, start: list of names
constexpr const char* kFieldOutput = "output";                // write: AO-n
constexpr const char* kFieldVolts = "volts";                  // write; answers of write
constexpr const char* kFieldPort = "port";                    // port: DP-n
constexpr const char* kFieldOutputEnable = "outputEnable";    // port: mask, bit set = output
constexpr const char* kFieldLevels = "levels";                // port: output levels
constexpr const char* kFieldInput = "input";                  // range: AI-n
constexpr const char* kFieldRange = "range";                  // range: "1V"
constexpr const char* kFieldCounter = "counter";              // counter: CNT (optional)
constexpr const char* kFieldEnable = "enable";                // counter: true / false
constexpr const char* kFieldReset = "reset";                  // counter: true
constexpr const char* kFieldRateHz = "rateHz";                // start
constexpr const char* kFieldTrigger = "trigger";              // start: none, start, sample
constexpr const char* kFieldTriggerConfig = "triggerConfig";  // start: in-a, in-b, in-c
constexpr const char* kFieldFrames = "frames";                // start: 0 = until stopped

// Fields of answers: {"ok": true, ...} or {"ok": false, "error": TEXT, "class": N},
// the class being the library's error class (QELOMSR_ERROR_CLASS_...).
constexpr const char* kFieldOk = "ok";
constexpr const char* kFieldError = "error";
constexpr const char* kFieldClass = "class";

// ---- stream blocks -----------------------------------------------------------

// Every record on a stream topic starts with these four bytes.
constexpr char kBlockMagic[4] = {'Q', 'M', 'S', 'B'};
constexpr uint8_t kBlockVersion = 1;
// Size of the fixed part of the header; the channel table follows it.
constexpr size_t kBlockFixedBytes = 80;
// Bounds a reader enforces (and a writer keeps).
constexpr size_t kMaxBlockChannels = 64;
constexpr uint32_t kMaxBlockFrames = 1u << 20;

enum class BlockKind : uint8_t {
  Frames = 0,  // frameCount frames from firstFrame on
  Gap = 1,     // the device overran: frames were lost before firstFrame (no frames)
  End = 2,     // the stream ended; firstFrame is the number of frames it delivered
};

enum class SampleType : uint8_t {
  Volts = 0,  // float32: a calibrated analog value in volts
  Raw = 1,    // uint32: a port, the counter, the trigger line
};

// Channel flags.
constexpr uint8_t kChannelUncalibrated = 0x01;  // nominal conversion: an erased record

struct BlockChannel {
  std::string name;  // as the device names it
  SampleType type = SampleType::Volts;
  uint8_t flags = 0;
  float rangeMinVolts = 0;  // the range in force for Volts; NaN for Raw
  float rangeMaxVolts = 0;
  // The values of the converter's lowest and highest codes in that range: a
  // sample at or beyond them was clipped. NaN for Raw.
  float lowestVolts = 0;
  float highestVolts = 0;
};

struct BlockHeader {
  BlockKind kind = BlockKind::Frames;
  uint32_t streamId = 0;      // the acquisition this record belongs to (per device)
  uint64_t sequence = 0;      // 0, 1, 2 ... per stream, one per record of any kind
  uint64_t firstFrame = 0;    // index of the first frame among all frames of the stream
  uint32_t frameCount = 0;    // frames in this record
  double rateHz = 0;          // the rate the device runs at; -1: one frame per trigger event
  double firstTimeS = 0;      // time of the first frame, seconds since the acquisition start
  double segmentStartS = 0;   // time of the current run of frames since the last restart
  uint64_t segmentFrame = 0;  // index of the first frame within that run
  int64_t startUnixNs = 0;    // host time of the acquisition start, ns since 1970 (UTC)
};

// Builds the records of one stream: one buffer, reused for every record, so
// that adding frames allocates nothing.
class BlockWriter {
 public:
  BlockWriter(std::vector<BlockChannel> channels, uint32_t streamId, double rateHz,
              int64_t startUnixNs, uint32_t maxFrames);

  // Starts a frames record. The sequence number is the writer's own.
  void beginFrames(uint64_t firstFrame, double segmentStartS, uint64_t segmentFrame);
  // Adds a frame: one 4-byte cell per channel (a float32 or a uint32 bit
  // pattern, as SampleType says) and its time in seconds.
  void addFrame(const uint32_t* cells, double timeS);
  uint32_t frames() const { return frames_; }
  bool full() const { return frames_ >= maxFrames_; }

  // The finished record, valid until the writer's next use; frames() is 0
  // again after it. Frames records with no frames are not worth sending:
  // callers check frames() first.
  const std::vector<uint8_t>& finishFrames();
  const std::vector<uint8_t>& gap(uint64_t framesBefore);
  const std::vector<uint8_t>& end(uint64_t framesDelivered);

  uint64_t nextSequence() const { return sequence_; }
  const std::vector<BlockChannel>& channels() const { return channels_; }

 private:
  void writeHeader(BlockKind kind, uint64_t firstFrame, uint32_t frameCount);

  std::vector<BlockChannel> channels_;
  uint32_t streamId_;
  double rateHz_;
  int64_t startUnixNs_;
  uint32_t maxFrames_;
  size_t headerBytes_;
  std::vector<uint8_t> buffer_;
  std::vector<double> times_;  // per-frame times of a stream on trigger events
  uint64_t sequence_ = 0;
  uint64_t firstFrame_ = 0;
  double segmentStartS_ = 0;
  uint64_t segmentFrame_ = 0;
  double firstTimeS_ = 0;
  uint32_t frames_ = 0;
};

// A malformed record or request: the text says what is wrong.
class ContractError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A parsed record. Samples and times point into the buffer given to
// parseBlock, which must outlive the view.
struct BlockView {
  BlockHeader header;
  std::vector<BlockChannel> channels;
  const uint8_t* times = nullptr;    // frameCount float64 (streams on trigger events only)
  const uint8_t* samples = nullptr;  // frameCount x channels 4-byte cells, frame by frame

  float volts(uint32_t frame, size_t channel) const;
  uint32_t raw(uint32_t frame, size_t channel) const;
  // The cell as a double: volts for Volts, the integer for Raw.
  double value(uint32_t frame, size_t channel) const;
  // Seconds since the acquisition start: segmentStartS + (segmentFrame +
  // frame) / rateHz for a timed stream (every reader computes the same double
  // as a local recording), the frame's own time on trigger events.
  double time(uint32_t frame) const;
};

// Checks every field and length against the layout; throws ContractError.
BlockView parseBlock(const void* data, size_t size);

}  // namespace qmqtt
