// Memory of the data file writers over a long recording: writes minutes of
// frames at a high rate through qrec::Recording (CSV, HDF5, HDF5 compressed),
// flushing once per second of frames as the stream command does, and reports
// how the process's resident memory grows per minute of recording in the
// second half of the run (HDF5's caches, bounded, fill in the first), and how
// fast the frames were written.
//
//   qelomsr_bench_recording [--minutes=20] [--rate=100000] [--channels=4]
//                           [--dir=/tmp] [--out=recording.json] [--smoke]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "recording.h"

namespace {

double residentKiB() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6);
  return 0.0;
}

struct Result {
  std::string name;
  double halfKiB = 0, endKiB = 0, growthKiBPerMinute = 0, framesPerSecond = 0;
  long long frames = 0;
};

Result run(const std::string& name, const std::string& path, const qrec::FileOptions& options,
           int minutes, double rateHz, int channels) {
  qrec::RecordingInfo info;
  for (int c = 0; c < channels; ++c) {
    qrec::Column column;
    column.name = "AI-" + std::to_string(c);
    column.analog = true;
    column.rangeMinVolts = -10.0;
    column.rangeMaxVolts = 10.0;
    column.clipLowVolts = -10.0f;
    column.clipHighVolts = 9.9996948f;
    info.columns.push_back(column);
  }
  info.rateHz = rateHz;
  info.device = "SIM:0";
  info.startTime = qrec::isoTimeNow();
  Result r;
  r.name = name;
  const auto start = std::chrono::steady_clock::now();
  {
    auto file = qrec::createRecording(path, info, options);
    std::vector<double> row(static_cast<size_t>(channels));
    const long long perSecond = static_cast<long long>(rateHz);
    const long long total = perSecond * 60 * minutes;
    for (long long k = 0; k < total; ++k) {
      for (int c = 0; c < channels; ++c)
        row[static_cast<size_t>(c)] =
            static_cast<float>(std::sin(1e-3 * static_cast<double>(k) * (c + 1)) * (c + 1));
      file->frame(static_cast<double>(k) / rateHz, row.data());
      if ((k + 1) % perSecond == 0) file->flush();
      if (k + 1 == total / 2) r.halfKiB = residentKiB();
    }
    r.endKiB = residentKiB();
    file->close();
    r.frames = file->framesWritten();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.growthKiBPerMinute = (r.endKiB - r.halfKiB) / (minutes / 2.0);
  r.framesPerSecond = static_cast<double>(r.frames) / seconds;
  unlink(path.c_str());
  return r;
}

std::string option(int argc, char** argv, const char* name, const std::string& fallback) {
  const std::string prefix = std::string("--") + name + "=";
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) return argv[i] + prefix.size();
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  bool smoke = false;
  for (int i = 1; i < argc; ++i) smoke = smoke || std::strcmp(argv[i], "--smoke") == 0;
  const int minutes = std::atoi(option(argc, argv, "minutes", smoke ? "1" : "20").c_str());
  const double rate = std::atof(option(argc, argv, "rate", smoke ? "1000" : "100000").c_str());
  const int channels = std::atoi(option(argc, argv, "channels", "4").c_str());
  const std::string dir = option(argc, argv, "dir", "/tmp");
  const std::string out = option(argc, argv, "out", "recording.json");
  const std::string stem = dir + "/qelomsr-bench-" + std::to_string(getpid());

  qrec::FileOptions plain, compressed;
  compressed.compress = true;
  std::vector<Result> results;
  try {
    // A CSV writer holds nothing but its buffer: two minutes show it.
    results.push_back(run("csv", stem + ".csv", plain, std::min(minutes, 2), rate, channels));
    results.push_back(run("hdf5", stem + ".h5", plain, minutes, rate, channels));
    results.push_back(run("hdf5_compressed", stem + "-z.h5", compressed, minutes, rate, channels));
  } catch (const qrec::RecordingError& e) {
    std::fprintf(stderr, "qelomsr_bench_recording: %s\n", e.what());
    return 1;
  }
  std::FILE* json = std::fopen(out.c_str(), "w");
  if (json == nullptr) return 1;
  std::fprintf(json, "{\"minutes\": %d, \"rate_hz\": %g, \"channels\": %d, \"writers\": [", minutes,
               rate, channels);
  for (size_t i = 0; i < results.size(); ++i) {
    const Result& r = results[i];
    std::fprintf(json,
                 "%s{\"name\": \"%s\", \"frames\": %lld, \"rss_at_half_kib\": %.0f, "
                 "\"rss_at_end_kib\": %.0f, \"rss_growth_kib_per_minute\": %.1f, "
                 "\"frames_per_second\": %.0f}",
                 i == 0 ? "" : ", ", r.name.c_str(), r.frames, r.halfKiB, r.endKiB,
                 r.growthKiBPerMinute, r.framesPerSecond);
    std::printf("%-16s %10lld frames  RSS %7.0f -> %7.0f KiB  %+7.1f KiB/min  %10.0f frames/s\n",
                r.name.c_str(), r.frames, r.halfKiB, r.endKiB, r.growthKiBPerMinute,
                r.framesPerSecond);
  }
  std::fprintf(json, "]}\n");
  std::fclose(json);
  return 0;
}
