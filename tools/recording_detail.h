// What the data file writers share inside the recording library and nobody
// else needs.
#pragma once

#include <string>

#include "recording.h"

namespace qrec {

// Creates a file for writing: replaced when options.overwrite, else refused
// when it exists (RecordingError::exists). Returns the open descriptor;
// throws RecordingError with the system's reason.
int createFile(const std::string& path, const FileOptions& options);

}  // namespace qrec
