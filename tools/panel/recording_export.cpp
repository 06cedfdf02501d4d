#include "recording_export.h"

#include "panel_error.h"

namespace qpanel {

ExportedFile exportRecord(const StreamRecord& record, const std::string& format) {
  (void)record;
  if (format != "csv" && format != "hdf5")
    throw PanelError(kBadRequest, "The format must be \"csv\" or \"hdf5\".");
  throw PanelError(501, "Saving is not wired to the command-line tool's file writers yet.");
}

}  // namespace qpanel
