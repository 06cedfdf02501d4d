#include "panel_error.h"

#include <qelomsr/qelomsr.h>

namespace qpanel {

int statusForErrorClass(int errorClass) {
  switch (errorClass) {
    case QELOMSR_ERROR_CLASS_OUT_OF_RANGE:
    case QELOMSR_ERROR_CLASS_INVALID_ARGUMENT:
      return kBadRequest;
    case QELOMSR_ERROR_CLASS_LOGIC:
      return kConflict;
    default:
      return kDeviceFailed;
  }
}

}  // namespace qpanel
