// The timeline: its clock and origin, the lock its devices share, and the
// wires between their trigger lines (validated, made, cut, listed).
#include "qsim/timeline.h"

#include <algorithm>
#include <stdexcept>

#include "timeline_impl.h"

namespace qsim {

Timeline::Impl::Impl(std::shared_ptr<Clock> c)
    : clock(c ? std::move(c) : std::make_shared<SteadyClock>()), originNs(clock->nowNs()) {}

void Timeline::Impl::Wire::lineDriven(int64_t t, bool driven, bool level) {
  for (End& r : to) {
    r.member->advanceOwn(t);
    r.member->wiredInput(t, driven, level);
  }
}

bool Timeline::Impl::Wire::lineToggled(const Toggles& toggles) {
  for (End& r : to) {
    r.member->advanceOwn(toggles.firstNs);
    if (!r.member->takesToggles(toggles)) return false;
  }
  for (End& r : to) {
    r.member->takeToggles(toggles);
    r.member->advanceOwn(toggles.lastNs);
  }
  return true;
}

Timeline::Impl::Wire* Timeline::Impl::wireFrom(const TimelineMember* member) {
  for (auto& w : wires) {
    if (w->from.member == member) return w.get();
  }
  return nullptr;
}

Timeline::Impl::Wire* Timeline::Impl::wireTo(const TimelineMember* member) {
  for (auto& w : wires) {
    for (const End& r : w->to) {
      if (r.member == member) return w.get();
    }
  }
  return nullptr;
}

void Timeline::Impl::advanceSourceOf(const TimelineMember* member, int64_t t) {
  // Chains are refused, so a source has no source of its own.
  if (Wire* w = wireTo(member)) w->from.member->advanceOwn(t);
}

void Timeline::Impl::cut(Wire& wire, int64_t t) {
  wire.from.member->advanceOwn(t);
  wire.from.member->setLineListener(nullptr);
  for (End& r : wire.to) {
    r.member->advanceOwn(t);
    r.member->wiredInput(t, false, false);
  }
  wires.erase(
      std::find_if(wires.begin(), wires.end(), [&](const auto& w) { return w.get() == &wire; }));
}

void Timeline::Impl::forget(const TimelineMember* member, int64_t t) {
  if (Wire* w = wireFrom(member)) cut(*w, t);
  Wire* w = wireTo(member);
  if (w == nullptr) return;
  w->from.member->advanceOwn(t);
  w->to.erase(
      std::find_if(w->to.begin(), w->to.end(), [&](const End& r) { return r.member == member; }));
  if (w->to.empty()) cut(*w, t);
}

Timeline::Timeline(std::shared_ptr<Clock> clock)
    : impl_(std::make_unique<Impl>(std::move(clock))) {}

Timeline::~Timeline() = default;

const std::shared_ptr<Clock>& Timeline::clock() const { return impl_->clock; }
int64_t Timeline::originNs() const { return impl_->originNs; }
int64_t Timeline::nowNs() const { return impl_->clock->nowNs(); }

void Timeline::wire(const WireEnd& from, const std::vector<WireEnd>& to) {
  const auto memberOf = [this](const WireEnd& e) {
    if (e.device == nullptr || !e.device->onTimeline(*this)) {
      throw std::invalid_argument("no device '" + e.name + "' on this timeline");
    }
    return &e.device->timelineMember();
  };
  TimelineMember* src = memberOf(from);
  if (to.empty()) throw std::invalid_argument("a wire from " + from.name + " needs a receiver");
  std::vector<Impl::End> ends;
  for (const WireEnd& r : to) {
    TimelineMember* m = memberOf(r);
    if (m == src) throw std::invalid_argument(from.name + " is wired to itself");
    for (const Impl::End& e : ends) {
      if (e.member == m) {
        throw std::invalid_argument(r.name + " is on the wire from " + from.name + " twice");
      }
    }
    ends.push_back({r.name, r.device, m});
  }
  std::lock_guard<std::mutex> lock(impl_->m);
  if (const Impl::Wire* w = impl_->wireTo(src)) {
    throw std::invalid_argument(from.name + " receives on the wire from " + w->from.name +
                                ": wire its receivers to " + w->from.name + " instead");
  }
  for (const Impl::End& e : ends) {
    if (const Impl::Wire* w = impl_->wireTo(e.member); w != nullptr && w->from.member != src) {
      throw std::invalid_argument(e.name + " already receives on the wire from " + w->from.name +
                                  ": a trigger line takes one source");
    }
    if (const Impl::Wire* w = impl_->wireFrom(e.member)) {
      throw std::invalid_argument(e.name + " is the source of a wire to " + w->to.front().name +
                                  ": wire those to " + from.name + " instead");
    }
  }
  const int64_t now = impl_->clock->nowNs();
  src->advanceOwn(now);
  Impl::Wire* wire = impl_->wireFrom(src);
  if (wire == nullptr) {
    impl_->wires.push_back(std::make_unique<Impl::Wire>());
    wire = impl_->wires.back().get();
    wire->from = {from.name, from.device, src};
  }
  // Receivers that leave fall back to their own drivers; the others keep
  // what they see, so that staying on a wire makes no edge.
  for (Impl::End& old : wire->to) {
    const bool stays = std::any_of(ends.begin(), ends.end(),
                                   [&](const Impl::End& e) { return e.member == old.member; });
    if (stays) continue;
    old.member->advanceOwn(now);
    old.member->wiredInput(now, false, false);
  }
  wire->to = ends;
  const LineDrive d = src->lineDrive();
  for (Impl::End& r : wire->to) {
    r.member->advanceOwn(now);
    r.member->wiredInput(now, d.driven, d.level);
  }
  src->setLineListener(wire);
}

bool Timeline::unwire(const DeviceModel& device) {
  if (!device.onTimeline(*this)) return false;
  const TimelineMember* member = &device.timelineMember();
  std::lock_guard<std::mutex> lock(impl_->m);
  if (impl_->wireFrom(member) == nullptr && impl_->wireTo(member) == nullptr) return false;
  impl_->forget(member, impl_->clock->nowNs());
  return true;
}

void Timeline::unwireAll() {
  std::lock_guard<std::mutex> lock(impl_->m);
  const int64_t now = impl_->clock->nowNs();
  while (!impl_->wires.empty()) impl_->cut(*impl_->wires.front(), now);
}

std::vector<WireState> Timeline::wires() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  const int64_t now = impl_->clock->nowNs();
  std::vector<WireState> out;
  for (const auto& w : impl_->wires) {
    w->from.member->advanceOwn(now);
    const LineDrive d = w->from.member->lineDrive();
    WireState s;
    s.from = w->from.name;
    for (const Impl::End& r : w->to) s.to.push_back(r.name);
    s.drive = d.drive;
    s.driven = d.driven;
    s.level = d.driven && d.level;
    out.push_back(std::move(s));
  }
  return out;
}

std::string Timeline::sourceOf(const DeviceModel& device) const {
  if (!device.onTimeline(*this)) return {};
  std::lock_guard<std::mutex> lock(impl_->m);
  const Impl::Wire* w = impl_->wireTo(&device.timelineMember());
  return w != nullptr ? w->from.name : std::string();
}

}  // namespace qsim
