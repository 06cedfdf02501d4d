// The bench subcommand: the highest frame rate the device accepts (found by
// starting and stopping at once, which is quick and certain), then the
// highest rate the host sustains for the channels, by trials that double the
// rate and then halve the interval between the last rate sustained and the
// first that failed.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cli_acquisition.h"
#include "cli_commands.h"
#include "cli_process.h"

namespace qcli {

namespace {

// Sustained-rate search: stop when the interval is within this share of
// the rate, or after this many halvings.
constexpr double kSustainedResolution = 0.02;
constexpr int kMaxHalvings = 8;
// Accepted-rate search: far finer, each probe costs a few requests.
constexpr double kAcceptedResolution = 1e-4;
constexpr int kMaxProbes = 64;

// The highest rate the device accepts, at most `limit` (0: none): doubling
// from `first`, then halving the interval to the first rate refused.
// Returns the rate the device runs at there, 0 when it refuses `first`.
double highestAccepted(const Device& device, double first, double limit) {
  double lo = first;
  double runs = acceptedRate(device, first);
  if (runs <= 0) return 0.0;
  double hi = 0;
  for (int i = 0; i < kMaxProbes && hi == 0; ++i) {
    const double next = limit > 0 ? std::min(2 * lo, limit) : 2 * lo;
    if (next <= lo) return runs;  // the limit itself is accepted
    const double r = acceptedRate(device, next);
    if (r > 0) {
      lo = next;
      runs = r;
    } else {
      hi = next;
    }
  }
  for (int i = 0; i < kMaxProbes && hi - lo > kAcceptedResolution * lo; ++i) {
    const double mid = 0.5 * (lo + hi);
    const double r = acceptedRate(device, mid);
    if (r > 0) {
      lo = mid;
      runs = r;
    } else {
      hi = mid;
    }
  }
  return runs;
}

struct Trial {
  AcquisitionResult result;
  bool sustained = false;
};

class Bench {
 public:
  Bench(const Device& device, const BenchArgs& args) : device_(device), args_(args) {
    options_.seconds = args.seconds;
    options_.restartOnOverrun = true;
  }

  int run() {
    options_.inputs = inputs();
    std::string names;
    for (int id : options_.inputs) names += (names.empty() ? "" : ",") + device_.nameOf(id);
    std::vector<int> ids(options_.inputs);
    check(QeloMsrSetupInputFrame(device_.handle(), ids.data(), static_cast<int>(ids.size())));
    const double accepted = highestAccepted(device_, args_.rate, args_.maxRate);
    if (accepted <= 0) {
      // Refused like a stream's rate, with the same words.
      options_.rate = args_.rate;
      acquire(device_, options_, nullptr);
    }
    std::FILE* o = out();
    std::fprintf(o, "device %s (%s), channels %s, %.3g s per trial\n",
                 device_.entry().identifier.c_str(), device_.family().name, names.c_str(),
                 args_.seconds);
    std::fprintf(o, "the device accepts rates up to %.6g Hz%s\n", accepted,
                 args_.maxRate > 0 && accepted >= args_.maxRate ? " (--max-rate)" : "");
    std::fprintf(o, "%12s %12s %12s %10s %12s %8s %9s  %s\n", "requested", "device_hz",
                 "achieved_hz", "frames", "frames/read", "cpu_%", "overruns", "result");
    std::fflush(o);

    double lo = 0, hi = 0, best = 0;
    for (double rate = args_.rate; hi == 0;) {
      if (!trial(rate, best)) return interrupted();
      if (last_.sustained)
        lo = rate;
      else
        hi = rate;
      if (hi == 0 && rate >= accepted) break;
      rate = std::min(2 * rate, accepted);
    }
    for (int i = 0; i < kMaxHalvings && lo > 0 && hi > 0 && hi - lo > kSustainedResolution * hi;
         ++i) {
      const double mid = 0.5 * (lo + hi);
      if (!trial(mid, best)) return interrupted();
      (last_.sustained ? lo : hi) = mid;
    }
    if (best > 0)
      std::fprintf(o, "highest rate sustained: %.6g Hz%s\n", best,
                   hi == 0 ? " (the highest tried)" : "");
    else
      std::fprintf(o, "no rate sustained: every trial had overruns, down to %.6g Hz\n", args_.rate);
    return kExitSuccess;
  }

 private:
  std::vector<int> inputs() const {
    if (!args_.channels.empty())
      return applyChannels(
          device_, splitList(args_.channels), "",
          {kKindAnalogInput, kKindDiffInput, kKindDigitalPort, kKindCounter, kKindTrigger});
    for (const auto& p : device_.peripherals())
      if (kindOf(p.id) == kKindAnalogInput) return {p.id};
    throw UsageError(std::string("the ") + device_.family().name + " has no analog input");
  }

  // Runs one trial and prints its row; false when interrupted.
  bool trial(double rate, double& best) {
    options_.rate = rate;
    last_ = Trial();
    std::string failure;
    try {
      last_.result = acquire(device_, options_, nullptr);
      last_.sustained = last_.result.overruns == 0 && !last_.result.interrupted;
    } catch (const ApiError& e) {
      // Overruns without end: restarts that never delivered a frame.
      failure = e.what();
    } catch (const std::runtime_error& e) {
      failure = e.what();
    }
    const AcquisitionResult& r = last_.result;
    if (last_.sustained) best = std::max(best, r.deviceRate);
    // Over a short run the start and the last read's latency, not the rate,
    // decide frames / elapsed.
    char achieved[32] = "-";
    if (r.elapsed >= kMinSecondsForAchievedRate)
      std::snprintf(achieved, sizeof achieved, "%.1f", static_cast<double>(r.frames) / r.elapsed);
    std::fprintf(out(), "%12.6g %12.6g %12s %10lld %12.1f %8.1f %9d  %s\n", rate, r.deviceRate,
                 achieved, r.frames, r.reads > 0 ? static_cast<double>(r.frames) / r.reads : 0.0,
                 r.elapsed > 0 ? 100.0 * r.cpuSeconds / r.elapsed : 0.0, r.overruns,
                 !failure.empty()  ? ("failed: " + failure).c_str()
                 : r.interrupted   ? "interrupted"
                 : last_.sustained ? "sustained"
                                   : "overruns");
    std::fflush(out());
    return !r.interrupted && !stopRequested();
  }

  int interrupted() const { return exitCodeForSignal(stopSignal()); }

  const Device& device_;
  const BenchArgs& args_;
  AcquisitionOptions options_;
  Trial last_;
};

}  // namespace

void checkBench(const BenchArgs& args) {
  if (!(args.rate >= 1.0) || !(args.seconds > 0.0))
    throw UsageError("--rate must be at least 1 Hz and --seconds positive");
  if (!(args.maxRate >= 0.0) || !std::isfinite(args.maxRate))
    throw UsageError("--max-rate must be a finite rate in Hz");
  if (args.maxRate > 0 && args.maxRate < args.rate)
    throw UsageError("--max-rate must not be below --rate");
}

int runBench(const Device& device, const BenchArgs& args) {
  checkBench(args);
  Bench bench(device, args);
  return bench.run();
}

}  // namespace qcli
