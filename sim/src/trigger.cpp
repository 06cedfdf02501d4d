// The trigger line: configurations, the scheduled external level changes,
// the self-running source, the wire from another device, the levels the line
// carries and what it drives onto its own wire.
#include "trigger.h"

#include <algorithm>

namespace qsim {

namespace {

// Input configurations (Ka/Vel code, Rix code when enabled) and outputs.
struct CodeMeaning {
  uint32_t kaVel;
  uint32_t rix;
  TriggerEvents events;
  TriggerDrive drive;
};

constexpr CodeMeaning kCodes[] = {
    {2, 0x03, TriggerEvents::Rising, TriggerDrive::None},        // 0x7A501902
    {4, 0x05, TriggerEvents::Falling, TriggerDrive::None},       // 0x7A501903
    {6, 0x07, TriggerEvents::Both, TriggerDrive::None},          // 0x7A501904
    {9, 0x19, TriggerEvents::None, TriggerDrive::WhileRunning},  // 0x7A501900
    {1, 0x09, TriggerEvents::None, TriggerDrive::EveryFrame},    // 0x7A501901
};

const CodeMeaning* meaningOf(Family family, uint32_t code) {
  for (const CodeMeaning& m : kCodes) {
    if ((family == Family::Rix ? m.rix : m.kaVel) == code) return &m;
  }
  return nullptr;  // unknown codes, Rix 0 (disabled) and 0x01: an input that reacts to nothing
}

}  // namespace

TriggerLine::TriggerLine(const DeviceConfig& cfg, int64_t createdNs)
    : family_(cfg.family),
      source_(cfg.triggerSource),
      sourceStartNs_(createdNs),
      cursorNs_(createdNs) {}

void TriggerLine::setCode(uint32_t code, int64_t t) {
  code_ = code;
  report(t);
}

bool TriggerLine::isOutput() const { return drive() != TriggerDrive::None; }

TriggerEvents TriggerLine::events() const {
  const CodeMeaning* m = meaningOf(family_, code_);
  return m ? m->events : TriggerEvents::None;
}

TriggerDrive TriggerLine::drive() const {
  const CodeMeaning* m = meaningOf(family_, code_);
  return m ? m->drive : TriggerDrive::None;
}

bool TriggerLine::isEvent(int edge) const {
  switch (events()) {
    case TriggerEvents::Rising:
      return edge > 0;
    case TriggerEvents::Falling:
      return edge < 0;
    case TriggerEvents::Both:
      return edge != 0;
    case TriggerEvents::None:
      return false;
  }
  return false;
}

bool TriggerLine::gateOpen() const { return events() == TriggerEvents::Falling ? !input_ : input_; }

void TriggerLine::reset(int64_t t) { setCode(family_ == Family::Rix ? 0 : 2, t); }

void TriggerLine::schedule(int64_t t, bool high) {
  if (!queue_.empty()) t = std::max(t, queue_.back().first);
  queue_.emplace_back(t, high);
}

void TriggerLine::schedulePulses(int64_t t, int n, int64_t periodNs) {
  const bool idle = heldHigh();
  if (!queue_.empty()) t = std::max(t, queue_.back().first + periodNs / 2);
  for (int k = 0; k < n; ++k) {
    const int64_t rise = t + k * periodNs;
    queue_.emplace_back(rise, true);
    queue_.emplace_back(rise + periodNs / 2, idle);
  }
}

void TriggerLine::setSource(const std::optional<TriggerSource>& source, int64_t startNs) {
  source_ = source;
  sourceStartNs_ = startNs;
}

bool TriggerLine::sourceHigh(int64_t t) const {
  if (!source_) return false;
  const int64_t period = source_->periodNs();
  const int64_t rel = t - sourceStartNs_;
  if (rel < period) return false;
  const uint64_t k = static_cast<uint64_t>(rel / period);
  if (source_->count != 0 && k > source_->count) return false;
  return rel % period < source_->highNs();
}

bool TriggerLine::nextSourceEdge(int64_t after, int64_t& t) const {
  if (!source_) return false;
  const int64_t period = source_->periodNs();
  const int64_t rel = after - sourceStartNs_;
  if (rel < period) {
    t = sourceStartNs_ + period;
    return true;
  }
  const int64_t k = rel / period;
  const auto within = [&](int64_t pulse) {
    return source_->count == 0 || static_cast<uint64_t>(pulse) <= source_->count;
  };
  if (rel % period < source_->highNs()) {
    if (!within(k)) return false;
    t = sourceStartNs_ + k * period + source_->highNs();
    return true;
  }
  if (!within(k + 1)) return false;
  t = sourceStartNs_ + (k + 1) * period;
  return true;
}

bool TriggerLine::nextChange(int64_t until, bool withSource, int64_t& t) const {
  bool found = false;
  if (!queue_.empty() && queue_.front().first <= until) {
    t = std::max(queue_.front().first, cursorNs_);
    found = true;
  }
  // While the driver holds the line high, the source changes nothing on it.
  int64_t s = 0;
  if (withSource && !manual_ && !wired_ && nextSourceEdge(cursorNs_, s) && s <= until &&
      (!found || s < t)) {
    t = s;
    found = true;
  }
  return found;
}

int TriggerLine::moveTo(int64_t t) {
  const bool before = input_;
  if (!queue_.empty() && queue_.front().first <= t) {
    manual_ = queue_.front().second;
    queue_.pop_front();
  }
  cursorNs_ = std::max(cursorNs_, t);
  input_ = inputAt(cursorNs_);
  return input_ == before ? 0 : (input_ ? 1 : -1);
}

void TriggerLine::settle(int64_t t) {
  cursorNs_ = std::max(cursorNs_, t);
  input_ = inputAt(cursorNs_);
}

int TriggerLine::setWired(int64_t t, bool driven, bool level) {
  const bool before = input_;
  wired_ = driven;
  wiredLevel_ = driven && level;
  settle(t);
  return input_ == before ? 0 : (input_ ? 1 : -1);
}

namespace {

int64_t floorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

}  // namespace

bool TriggerLine::sourceEventsUntil(int64_t until, SourceEvents& out) const {
  if (!source_ || manual_ || wired_ || (!queue_.empty() && queue_.front().first <= until))
    return false;
  const int64_t period = source_->periodNs();
  const int64_t high = source_->highNs();
  // Edges at start + k period + offset, k = 1 .. count, within (cursor, until].
  const auto add = [&](int64_t offset) {
    int64_t first = std::max<int64_t>(1, floorDiv(cursorNs_ - sourceStartNs_ - offset, period) + 1);
    int64_t last = floorDiv(until - sourceStartNs_ - offset, period);
    if (source_->count != 0) last = std::min<int64_t>(last, static_cast<int64_t>(source_->count));
    if (last < first) return;
    const int64_t firstNs = sourceStartNs_ + first * period + offset;
    const int64_t lastNs = sourceStartNs_ + last * period + offset;
    out.firstNs = out.count == 0 ? firstNs : std::min(out.firstNs, firstNs);
    out.lastNs = out.count == 0 ? lastNs : std::max(out.lastNs, lastNs);
    out.count += static_cast<uint64_t>(last - first + 1);
  };
  out = SourceEvents{};
  switch (events()) {
    case TriggerEvents::Rising:
      add(0);
      out.minGapNs = period;
      break;
    case TriggerEvents::Falling:
      add(high);
      out.minGapNs = period;
      break;
    case TriggerEvents::Both:
      add(0);
      add(high);
      out.minGapNs = std::min(high, period - high);
      break;
    case TriggerEvents::None:
      break;
  }
  return true;
}

bool TriggerLine::levelAt(int64_t t) const {
  switch (drive()) {
    case TriggerDrive::WhileRunning:
      return running_;
    case TriggerDrive::EveryFrame:
      return toggle_;
    case TriggerDrive::None:
      break;
  }
  return inputAt(t);
}

void TriggerLine::setRunning(bool running, int64_t t) {
  running_ = running;
  report(t);
}

void TriggerLine::framesTaken(uint64_t n, int64_t t) {
  toggle_ = toggle_ != ((n & 1) != 0);
  report(t);
}

bool TriggerLine::framesTakenAtOnce(Toggles toggles) {
  toggles.level = toggle_ != ((toggles.count & 1) != 0);
  if (!reportsEveryFrame() || !reported_.driven) {
    framesTaken(toggles.count, toggles.lastNs);
    return true;
  }
  if (!listener_->lineToggled(toggles)) return false;
  toggle_ = toggles.level;
  reported_.level = toggles.level;
  return true;
}

void TriggerLine::resetDrive(int64_t t) {
  running_ = toggle_ = false;
  report(t);
}

void TriggerLine::setPowered(bool powered, int64_t t) {
  powered_ = powered;
  report(t);
}

LineDrive TriggerLine::lineDrive() const {
  LineDrive d;
  d.drive = drive();
  d.driven = d.drive != TriggerDrive::None && powered_;
  d.level = d.driven && (d.drive == TriggerDrive::WhileRunning ? running_ : toggle_);
  return d;
}

void TriggerLine::setListener(LineListener* listener) {
  listener_ = listener;
  reported_ = lineDrive();
}

void TriggerLine::report(int64_t t) {
  if (listener_ == nullptr) return;
  const LineDrive d = lineDrive();
  if (d.driven == reported_.driven && d.level == reported_.level) return;
  reported_ = d;
  listener_->lineDriven(t, d.driven, d.level);
}

}  // namespace qsim
