// Entry points of the C interface for the library's own tests, tools and
// benchmarks that build device objects themselves (for example over the
// in-process emulator). Not exported from the shared library.
#pragma once

#include <boost/shared_ptr.hpp>

#include "api/qelomsrdevice.h"

namespace qelomsr_internal {
// Adds an already opened device to the handle table and returns its handle.
int addOpenDevice(const boost::shared_ptr<QeloMsrDevice>& device);
// Sets the id that the next error record tries first (tests of the numbering).
void setNextErrorId(int id);
}  // namespace qelomsr_internal
