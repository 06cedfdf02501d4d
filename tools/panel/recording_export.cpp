// Saving through the command-line tool's data file writers (tools/recording.h),
// so that the panel's files are the tool's files, byte for byte.
#include "recording_export.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "panel_error.h"
#include "recording.h"

namespace qpanel {

namespace {

// Removes the temporary file whatever happens.
struct TemporaryFile {
  std::string path;
  ~TemporaryFile() {
    if (!path.empty()) unlink(path.c_str());
  }
};

std::string fileName(const RecordInfo& info, const char* extension) {
  // qelomsr-USB_1-0-3-2026-12-09T11-45-53.csv
  std::string name = "qelomsr-" + info.device + "-" + info.startTime.substr(0, 19);
  for (size_t i = 0; i < name.size(); ++i)
    if (name[i] == ':') name[i] = i < 8 + info.device.size() ? '_' : '-';
  return name + extension;
}

}  // namespace

ExportedFile exportRecord(const StreamRecord& record, const std::string& format) {
  if (format != "csv" && format != "hdf5")
    throw PanelError(kBadRequest, "The format must be \"csv\" or \"hdf5\".");
  const bool hdf5 = format == "hdf5";
  const char* extension = hdf5 ? ".h5" : ".csv";

  const RecordInfo& source = record.info();
  qrec::RecordingInfo info;
  for (const auto& ch : source.channels) {
    qrec::Column column;
    column.name = ch.name;
    column.analog = ch.analog;
    if (ch.analog) {
      column.rangeMinVolts = ch.rangeMin;
      column.rangeMaxVolts = ch.rangeMax;
      column.calibrated = ch.scale.calibrated;
      column.clipLowVolts = ch.scale.lowestVolts;
      column.clipHighVolts = ch.scale.highestVolts;
    }
    info.columns.push_back(column);
  }
  info.rateHz = source.rateHz;
  info.device = source.device;
  info.family = source.family;
  info.serial = source.serial;
  info.firmware = source.firmware;
  info.startTime = source.startTime;

  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                        "/qelomsr-panel-XXXXXX" + extension;
  const int fd = mkstemps(pattern.data(), static_cast<int>(std::string(extension).size()));
  if (fd < 0) throw PanelError(500, "Cannot create a temporary file for saving.");
  close(fd);
  TemporaryFile temporary{pattern};

  const StreamRecord::View view = record.view();
  try {
    auto file =
        hdf5 ? qrec::createHdf5(temporary.path, info) : qrec::createCsv(temporary.path, info);
    std::vector<double> values(record.channelCount());
    size_t nextGap = 0;
    for (size_t row = 0; row < view.rows; ++row) {
      for (; nextGap < view.gaps.size() && view.gaps[nextGap] == row; ++nextGap) file->gap();
      for (size_t c = 0; c < values.size(); ++c) {
        const StreamRecord::Cell cell = view.cell(row, c);
        values[c] = source.channels[c].analog ? static_cast<double>(cell.volts)
                                              : static_cast<double>(cell.raw);
      }
      file->frame(view.seconds(row), values.data());
    }
    file->close();
  } catch (const qrec::RecordingError& e) {
    throw PanelError(500, std::string("Saving failed: ") + e.what());
  }

  std::ifstream in(temporary.path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in) throw PanelError(500, "Saving failed: the file cannot be read back.");
  return {fileName(source, extension), hdf5 ? "application/x-hdf5" : "text/csv; charset=utf-8",
          bytes.str(), view.rows};
}

}  // namespace qpanel
