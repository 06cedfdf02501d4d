#include "api/appversion.h"

#include <string>

#include <qelomsr/qelomsr.h>

#include "appversion_build.h"

namespace appversion {
namespace {
const std::string& hash8() {
  static const std::string value = std::string(QELOMSR_BUILD_GIT_HASH).substr(0, 8);
  return value;
}
const std::string& exact() {
  static const std::string value = std::string(QELOMSR_VERSION_STRING) + "-" + hash8();
  return value;
}
const std::string& complete() {
  static const std::string value =
      exact() + " " + QELOMSR_BUILD_DATETIME + " REL " + QELOMSR_BUILD_INFO;
  return value;
}
}  // namespace

const char* getVersion() { return QELOMSR_VERSION_STRING; }
const char* getExactVersion() { return exact().c_str(); }
const char* getGitHash() { return QELOMSR_BUILD_GIT_HASH; }
const char* getGitHash8() { return hash8().c_str(); }
const char* getGitBranch() { return QELOMSR_BUILD_GIT_BRANCH; }
const char* getGitTag() { return QELOMSR_BUILD_GIT_TAG; }
const char* getBuildDateTime() { return QELOMSR_BUILD_DATETIME; }
const char* getBuildInfo() { return QELOMSR_BUILD_INFO; }
const char* getCompleteVersion() { return complete().c_str(); }
}  // namespace appversion
