// Saving a stream record as a file, in exactly the layouts the command-line
// tool writes (CSV and HDF5, docs/usage.md "Data files").
#pragma once

#include <string>

#include "stream_record.h"

namespace qpanel {

struct ExportedFile {
  std::string name;  // suggested file name ("qelomsr-USB_1-0-3-20261209T114553.csv")
  std::string contentType;
  std::string bytes;
  size_t rows = 0;  // the record's rows the file holds
};

// format: "csv" or "hdf5"; anything else fails with PanelError (400).
ExportedFile exportRecord(const StreamRecord& record, const std::string& format);

}  // namespace qpanel
