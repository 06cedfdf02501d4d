// Built when the tool has no data file writers (tools/recording.h): saving
// says so instead of writing files of a layout of its own.
#include "panel_error.h"
#include "recording_export.h"

namespace qpanel {

ExportedFile exportRecord(const StreamRecord&, const std::string& format) {
  if (format != "csv" && format != "hdf5")
    throw PanelError(kBadRequest, "The format must be \"csv\" or \"hdf5\".");
  throw PanelError(501,
                   "This build of the tool has no data file writers: saving is not available.");
}

}  // namespace qpanel
